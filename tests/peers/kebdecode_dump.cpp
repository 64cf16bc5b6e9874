// The decoder tests' minimal RFB 3.8 client (tests/unit/decoders_compressed/
// RfbTestClient.h) as a program with the command line and output of
// tests/rfbserver/vncclient_dump.c, so that pytest drives the viewer's decoders and
// libvncclient the same way against real servers and the scripted test server.
//
// kebdecode_dump HOST PORT PIXFMT ENCODINGS UPDATES OUTFILE
//   PIXFMT    bpp,depth,bigendian,rmax,gmax,bmax,rshift,gshift,bshift
//   ENCODINGS names or numbers separated by blanks: raw copyrect rre corre hextile zlib
//             tight zlibhex opalo opalo2 zrle zywrle xz xzyw zstd tightzstd
//             zstdhex zstdrle zstdywrle lastrect, jpeg=N (quality level N),
//             compress=N (compression level N)
//   UPDATES   number of complete FramebufferUpdates with pixels in them to wait for; an
//             incremental request follows each update. The client stops after that
//             many, or when the server closes the connection (then fewer is a failure).
//   OUTFILE   "W H\n" then W*H RGB triplets decoded from the client's pixel format
// With VNCDUMP_QUIET_MS=N in the environment it reads on after UPDATES updates until the
// server has sent nothing for N milliseconds (a real server may refine what it sent).
// Exit code 0 when UPDATES updates arrived; a stream error exits 1 with its text.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Exception.h"
#include "app/Log.h"
#include "rdr/Exception.h"
#include "tests/unit/decoders_compressed/RfbTestClient.h"

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "kebdecode_dump: %s\n", what);
  return 1;
}

bool ParseEncodings(const std::string& text, std::vector<std::int32_t>& out) {
  static const std::map<std::string, std::int32_t> names = {
      {"raw", 0},        {"copyrect", 1},   {"rre", 2},      {"corre", 4},     {"hextile", 5},
      {"zlib", 6},       {"tight", 7},      {"zlibhex", 8},  {"opalo", 9},
      {"opalo2", 10},    {"zrle", 16},      {"zywrle", 17},  {"xz", 18},       {"xzyw", 19},
      {"zstd", 25},      {"tightzstd", 26}, {"zstdhex", 27}, {"zstdrle", 28},  {"zstdywrle", 29},
      {"lastrect", -224}};
  std::istringstream words(text);
  std::string w;
  while (words >> w) {
    if (w.rfind("jpeg=", 0) == 0)
      out.push_back(-32 + std::atoi(w.c_str() + 5));
    else if (w.rfind("compress=", 0) == 0)
      out.push_back(-256 + std::atoi(w.c_str() + 9));
    else if (names.count(w))
      out.push_back(names.at(w));
    else if (std::isdigit(static_cast<unsigned char>(w[0])) || w[0] == '-')
      out.push_back(static_cast<std::int32_t>(std::strtol(w.c_str(), nullptr, 0)));
    else
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s HOST PORT PIXFMT ENCODINGS UPDATES OUTFILE\n", argv[0]);
    return 2;
  }
  kebLog.SetLevel(-1);
  int f[9];
  if (std::sscanf(argv[3], "%d,%d,%d,%d,%d,%d,%d,%d,%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7],
                  &f[8]) != 9)
    return Fail("bad PIXFMT");
  PixelFormat pf;
  pf.bitsPerPixel = static_cast<std::uint8_t>(f[0]);
  pf.depth = static_cast<std::uint8_t>(f[1]);
  pf.bigEndian = static_cast<std::uint8_t>(f[2]);
  pf.redMax = static_cast<std::uint16_t>(f[3]), pf.greenMax = static_cast<std::uint16_t>(f[4]);
  pf.blueMax = static_cast<std::uint16_t>(f[5]);
  pf.redShift = static_cast<std::uint8_t>(f[6]), pf.greenShift = static_cast<std::uint8_t>(f[7]);
  pf.blueShift = static_cast<std::uint8_t>(f[8]);
  if (!pf.IsValid()) return Fail("pixel format not usable");
  std::vector<std::int32_t> encodings;
  if (!ParseEncodings(argv[4], encodings)) return Fail("bad ENCODINGS");
  if (std::strcmp(argv[1], "127.0.0.1") != 0) return Fail("HOST must be 127.0.0.1");
  const int wanted = std::atoi(argv[5]);
  const char* quietEnv = std::getenv("VNCDUMP_QUIET_MS");
  const int quietMs = quietEnv ? std::atoi(quietEnv) : 0;

  const int fd = rfbtest::Connect(std::atoi(argv[2]), 5);
  if (fd < 0) return Fail("cannot connect");
  int updates = 0;
  std::unique_ptr<MemoryFramebuffer> fb;
  std::unique_ptr<DecoderState> st;
  try {
    rdr::FdInStream in(fd, 20000);
    const rfbtest::ServerInit si = rfbtest::Handshake(fd, in);
    fb = std::make_unique<MemoryFramebuffer>(si.width, si.height, pf);
    fb->Fill(0);
    st = std::make_unique<DecoderState>(*fb);
    // A server that leaves right after a message may reset the connection under our
    // next one: the send fails, and the server's close is then read like any other end.
    auto send = [](auto&& message) {
      try {
        message();
      } catch (const std::runtime_error&) {
      }
    };
    send([&] { rfbtest::SendFormatAndEncodings(fd, pf, encodings); });
    // As the viewer's "quality" option, jpeg=N both announces the level and picks the
    // ZYWRLE wavelet level.
    for (std::int32_t e : encodings)
      if (e >= -32 && e <= -23) st->quality = e + 32;
    send([&] { rfbtest::RequestUpdate(fd, false, si.width, si.height); });
    for (;;) {
      if (updates >= wanted && (quietMs <= 0 || (in.Avail() == 0 && rdr::WaitReadable(fd, quietMs) == 0))) break;
      const std::uint64_t rectsBefore = st->rectanglesReceived;
      int type;
      try {
        type = rfbtest::ReadMessage(*st, in);
      } catch (const rdr::EndOfStream&) {
        break;  // the server is done
      }
      if (type == 0) {
        // Only updates with rectangles count (a server may answer with an empty one).
        if (st->rectanglesReceived != rectsBefore) updates++;
        send([&] { rfbtest::RequestUpdate(fd, true, si.width, si.height); });
      }
    }
  } catch (const rdr::Exception& e) {
    std::fprintf(stderr, "kebdecode_dump: %s\n", e.str());
    return 1;
  } catch (const Exception& e) {
    std::fprintf(stderr, "kebdecode_dump: %s\n", e.Message() ? e.Message() : "error");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kebdecode_dump: %s\n", e.what());
    return 1;
  }
  close(fd);
  if (!fb) return Fail("no framebuffer");
  FILE* out = std::fopen(argv[6], "wb");
  if (!out) return Fail("cannot write OUTFILE");
  const std::vector<std::uint8_t> rgb = rfbtest::ToRgb(*fb);
  std::fprintf(out, "%d %d\n", fb->fb().width, fb->fb().height);
  if (!rgb.empty()) std::fwrite(rgb.data(), 1, rgb.size(), out);  // an empty desktop has no pixels
  std::fclose(out);
  if (updates < wanted) {
    std::fprintf(stderr, "kebdecode_dump: %d of %d updates\n", updates, wanted);
    return 1;
  }
  return 0;
}
