// libvncclient as the reference decoder, used as a black box through its public API:
// it connects to the benchmark's loopback server, goes through the handshake and decodes
// updates until the Bell that ends the recording.
#include "VncClientPeer.h"

#include "BenchClock.h"

#include <rfb/rfbclient.h>

#include <cstdlib>
#include <cstring>

namespace bench {

namespace {
bool gotBell = false;
void OnBell(rfbClient*) { gotBell = true; }
}  // namespace

Times RunLibVncClient(int port, int bytesPerPixel) {
  rfbEnableClientLogging = FALSE;
  rfbClient* client = bytesPerPixel == 4   ? rfbGetClient(8, 3, 4)
                      : bytesPerPixel == 2 ? rfbGetClient(5, 3, 2)
                                           : rfbGetClient(2, 3, 1);
  client->serverHost = strdup("127.0.0.1");
  client->serverPort = port;
  client->Bell = OnBell;
  client->appData.encodingsString = "raw copyrect rre corre hextile tight ultra zlib zrle zywrle";
  gotBell = false;
  if (!rfbInitClient(client, nullptr, nullptr)) return {-1, -1};  // frees the client on failure
  Stopwatch watch;
  while (!gotBell)
    if (!HandleRFBServerMessage(client)) break;
  Times t = watch.Elapsed();
  bool ok = gotBell;
  rfbClientCleanup(client);
  return ok ? t : Times{-1, -1};
}

}  // namespace bench
