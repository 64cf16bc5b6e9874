// libvncclient as the reference decoder, used as a black box through its public API:
// it connects to the benchmark's loopback server, goes through the handshake and decodes
// updates until the Bell that ends the recording.
#include "VncClientPeer.h"

#include <rfb/rfbclient.h>

#include <cstdlib>
#include <cstring>

namespace bench {

namespace {
bool gotBell = false;
void OnBell(rfbClient*) { gotBell = true; }

// libvncclient's own allocator leaves the pages untouched, so that the first update
// would pay for the first write to each page (about 38 ms for 8 MB here) inside the
// timing; ours is written when it is made. Both are written before timing starts.
rfbBool TouchedFramebuffer(rfbClient* client) {
  std::free(client->frameBuffer);
  const std::size_t size = static_cast<std::size_t>(client->width) * client->height * client->format.bitsPerPixel / 8;
  client->frameBuffer = static_cast<uint8_t*>(std::malloc(size));
  if (!client->frameBuffer) return FALSE;
  std::memset(client->frameBuffer, 128, size);
  return TRUE;
}
}  // namespace

Times RunLibVncClient(int port, const PixelFormat& pf, int quality, std::vector<std::uint8_t>* framebuffer) {
  rfbEnableClientLogging = FALSE;
  rfbClient* client = rfbGetClient(8, 3, pf.bitsPerPixel / 8);
  client->format.bitsPerPixel = pf.bitsPerPixel;
  client->format.depth = pf.depth;
  client->format.bigEndian = pf.bigEndian;
  client->format.trueColour = pf.trueColour;
  client->format.redMax = pf.redMax, client->format.greenMax = pf.greenMax, client->format.blueMax = pf.blueMax;
  client->format.redShift = pf.redShift, client->format.greenShift = pf.greenShift;
  client->format.blueShift = pf.blueShift;
  client->serverHost = strdup("127.0.0.1");
  client->serverPort = port;
  client->Bell = OnBell;
  client->MallocFrameBuffer = TouchedFramebuffer;
  client->appData.encodingsString = "raw copyrect rre corre hextile zlib tight ultra zrle zywrle";
  if (quality >= 0) client->appData.qualityLevel = quality;
  gotBell = false;
  if (!rfbInitClient(client, nullptr, nullptr)) return {-1, -1};  // frees the client on failure
  Stopwatch watch;
  while (!gotBell)
    if (!HandleRFBServerMessage(client)) break;
  Times t = watch.Elapsed();
  const bool ok = gotBell;
  if (ok && framebuffer)
    framebuffer->assign(client->frameBuffer,
                        client->frameBuffer + std::size_t(client->width) * client->height * pf.bitsPerPixel / 8);
  std::free(client->frameBuffer);  // ours (TouchedFramebuffer)
  client->frameBuffer = nullptr;
  rfbClientCleanup(client);
  return ok ? t : Times{-1, -1};
}

}  // namespace bench
