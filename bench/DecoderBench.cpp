// Decode throughput of the simple decoders (Raw, CopyRect, RRE, CoRRE, Hextile) on
// recorded-style update streams, side by side with libvncclient decoding the same streams,
// and Raw against a plain memcpy of the same bytes.
//
//   bench_decoders [seconds-per-measurement]
//
// Each stream is decoded (a) by our decoders from memory, (b) by our decoders from a
// loopback TCP socket through rdr::FdInStream, and (c) by libvncclient from a loopback TCP
// socket; (b) and (c) read the same bytes the same way, so their ratio compares decoders.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "BenchStreams.h"
#include "VncClientPeer.h"
#include "app/Log.h"
#include "decoders/Decoders.h"
#include "rdr/FdInStream.h"
#include "rdr/MemInStream.h"
#include "tests/unit/decoders/MemoryFramebuffer.h"

namespace {

using Clock = std::chrono::steady_clock;

PixelFormat FormatFor(int bpp) {
  PixelFormat pf;  // 32 bits: red in bits 16-23, as the streams are made
  pf.redShift = 16, pf.greenShift = 8, pf.blueShift = 0;
  if (bpp == 2) {
    pf.bitsPerPixel = 16, pf.depth = 16, pf.redMax = 31, pf.greenMax = 63, pf.blueMax = 31;
    pf.redShift = 11, pf.greenShift = 5, pf.blueShift = 0;
  } else if (bpp == 1) {
    pf.bitsPerPixel = 8, pf.depth = 8, pf.redMax = 7, pf.greenMax = 7, pf.blueMax = 3;
    pf.redShift = 0, pf.greenShift = 3, pf.blueShift = 6;
  }
  return pf;
}

// The FramebufferUpdate reader's loop, without the shell: message type, rectangle count,
// headers, decoders; the Bell ends the recording.
void DecodeStream(DecoderState& st, rdr::InStream& in) {
  for (;;) {
    const unsigned type = in.ReadU8();
    if (type == 2) return;
    in.Skip(1);
    const unsigned n = in.ReadU16();
    for (unsigned i = 0; i < n; i++) {
      RectHeader r = RectHeader::Read(in);
      if (!dec::DecodeRectangle(st, in, r)) {
        std::fprintf(stderr, "unexpected encoding %d\n", r.encoding);
        std::exit(1);
      }
    }
  }
}

bool WriteAll(int fd, const void* data, std::size_t len) {
  const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t len) {
  std::uint8_t* p = static_cast<std::uint8_t*>(data);
  while (len > 0) {
    ssize_t n = recv(fd, p, len, 0);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

// A one-connection loopback server: accepts, optionally performs the server side of the
// RFB 3.8 handshake (security None), sends the recording and discards whatever the client
// sends until it closes.
class LoopbackServer {
public:
  LoopbackServer(const std::vector<std::uint8_t>& data, bool handshake, int w, int h, int bpp) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 1) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      std::perror("loopback server");
      std::exit(1);
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, &data, handshake, w, h, bpp] { Serve(data, handshake, w, h, bpp); });
  }
  ~LoopbackServer() {
    thread_.join();
    close(listen_);
  }
  int Port() const { return port_; }

private:
  void Serve(const std::vector<std::uint8_t>& data, bool handshake, int w, int h, int bpp) {
    int fd = accept(listen_, nullptr, nullptr);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool ok = true;
    if (handshake) {
      std::uint8_t buf[64];
      ok = WriteAll(fd, "RFB 003.008\n", 12) && ReadAll(fd, buf, 12);
      const std::uint8_t types[] = {1, 1};  // one security type: None
      ok = ok && WriteAll(fd, types, 2) && ReadAll(fd, buf, 1);
      const std::uint8_t result[] = {0, 0, 0, 0};
      ok = ok && WriteAll(fd, result, 4) && ReadAll(fd, buf, 1);  // ClientInit
      std::uint8_t init[24 + 5] = {static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w),
                                   static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h)};
      FormatFor(bpp).ToWire(init + 4);
      init[23] = 5;
      std::memcpy(init + 24, "bench", 5);
      ok = ok && WriteAll(fd, init, sizeof init);
    }
    std::thread drain([fd] {
      std::uint8_t sink[4096];
      while (recv(fd, sink, sizeof sink, 0) > 0) {
      }
    });
    if (ok) WriteAll(fd, data.data(), data.size());
    shutdown(fd, SHUT_WR);
    drain.join();
    close(fd);
  }

  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Runs fn (returning seconds, or < 0 on failure) until `budget` seconds have passed and at
// least 3 times; returns the best.
double Best(double budget, const std::function<double()>& fn) {
  double best = 1e30, spent = 0;
  for (int i = 0; i < 3 || spent < budget; i++) {
    double s = fn();
    if (s < 0) return -1;
    best = std::min(best, s);
    spent += s;
    if (i > 200) break;
  }
  return best;
}

double OursFromMemory(const bench::Stream& s, int w, int h, int bpp) {
  MemoryFramebuffer fb(w, h, FormatFor(bpp));
  DecoderState st(fb);
  rdr::MemInStream in(s.bytes.data(), s.bytes.size());
  auto t0 = Clock::now();
  DecodeStream(st, in);
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double OursFromSocket(const bench::Stream& s, int w, int h, int bpp) {
  MemoryFramebuffer fb(w, h, FormatFor(bpp));
  DecoderState st(fb);
  LoopbackServer server(s.bytes, false, w, h, bpp);
  int fd = Connect(server.Port());
  double seconds;
  {
    rdr::FdInStream in(fd);
    auto t0 = Clock::now();
    DecodeStream(st, in);
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  }
  close(fd);
  return seconds;
}

double TheirsFromSocket(const bench::Stream& s, int w, int h, int bpp) {
  LoopbackServer server(s.bytes, true, w, h, bpp);
  return bench::RunLibVncClient(server.Port(), bpp);
}

// A plain memcpy of the Raw rectangles' pixel bytes to where they go in the framebuffer.
double MemcpyOfRaw(const bench::Stream& s, int w, int h, int bpp) {
  std::vector<std::uint8_t> dst(Framebuffer::StrideFor(w, bpp) * h);
  struct Chunk {
    std::size_t from, to, len;
  };
  std::vector<Chunk> chunks;  // found before the clock starts
  std::size_t p = 0;
  const std::size_t stride = Framebuffer::StrideFor(w, bpp);
  while (s.bytes[p] == 0) {
    unsigned n = s.bytes[p + 2] << 8 | s.bytes[p + 3];
    p += 4;
    for (unsigned i = 0; i < n; i++) {
      unsigned y = s.bytes[p + 2] << 8 | s.bytes[p + 3];
      unsigned rw = s.bytes[p + 4] << 8 | s.bytes[p + 5], rh = s.bytes[p + 6] << 8 | s.bytes[p + 7];
      p += 12;
      std::size_t len = static_cast<std::size_t>(rw) * rh * bpp;
      chunks.push_back({p, y * stride, len});
      p += len;
    }
  }
  auto t0 = Clock::now();
  for (const Chunk& c : chunks) std::memcpy(dst.data() + c.to, s.bytes.data() + c.from, c.len);
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (dst[dst.size() / 2] == 0x5A && dst[1] == 0xA5) std::puts("");  // keep the copy
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 1.0;
  kebLog.SetLevel(-1);
  const int W = 1920, H = 1080, frames = 6;
  std::printf("Decoder throughput, %dx%d screens, %d frames per stream; megapixels per second (best of runs)\n",
              W, H, frames);
  std::printf("%-9s %4s %9s %8s %11s %11s %11s %10s %10s\n", "encoding", "bpp", "MB", "Mpixels", "ours-mem",
              "ours-socket", "libvnc-sock", "ratio-sock", "ratio-mem");
  bool allMet = true;
  for (int bpp : {4, 2, 1}) {
    std::vector<bench::Image> screens;
    for (int f = 0; f < frames; f++) screens.push_back(bench::MakeScreen(W, H, bpp, f));
    std::vector<bench::Stream> streams;
    streams.push_back(bench::EncodeRaw(screens));
    streams.push_back(bench::EncodeCopyRect(W, H, 200));
    streams.push_back(bench::EncodeRRE(screens));
    streams.push_back(bench::EncodeCoRRE(screens));
    streams.push_back(bench::EncodeHextile(screens));
    for (const bench::Stream& s : streams) {
      const double mp = static_cast<double>(s.pixels) / 1e6;
      const double mem = Best(budget, [&] { return OursFromMemory(s, W, H, bpp); });
      const double sock = Best(budget, [&] { return OursFromSocket(s, W, H, bpp); });
      const double theirs = Best(budget, [&] { return TheirsFromSocket(s, W, H, bpp); });
      const double ratioSock = theirs > 0 ? theirs / sock : 0, ratioMem = theirs > 0 ? theirs / mem : 0;
      std::printf("%-9s %4d %9.1f %8.1f %11.0f %11.0f %11.0f %10.2f %10.2f\n", s.name.c_str(), bpp * 8,
                  s.bytes.size() / 1e6, mp, mp / mem, mp / sock, theirs > 0 ? mp / theirs : 0.0, ratioSock, ratioMem);
      if (ratioSock < 1.5) allMet = false;
      if (s.name == "Raw") {
        const double copy = Best(budget, [&] { return MemcpyOfRaw(s, W, H, bpp); });
        std::printf("%-9s %4d   Raw from memory %.2f ms, memcpy of the same %.1f MB %.2f ms: Raw/memcpy %.2f\n",
                    "", bpp * 8, mem * 1e3, s.payload / 1e6, copy * 1e3, mem / copy);
        if (mem / copy > 1.3) allMet = false;
      }
      std::fflush(stdout);
    }
  }
  std::printf("targets (socket ratio >= 1.5 on every encoding, Raw/memcpy <= 1.3): %s\n", allMet ? "met" : "NOT met");
  return 0;
}
