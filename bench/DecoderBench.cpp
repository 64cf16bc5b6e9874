// Decode throughput of the decoders (Raw, CopyRect, RRE, CoRRE, Hextile, Tight with and
// without JPEG, Opalo) on recorded-style update streams, side by side with libvncclient
// decoding the same streams; Raw against a plain memcpy of the same bytes, and the
// compressed encodings against their codecs alone on the same blocks.
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "BenchClock.h"
#include "BenchStreams.h"
#include "CodecTime.h"
#include "RecordedStreams.h"
#include "VncClientPeer.h"
#include "app/Log.h"
#include "decoders/Decoders.h"
#include "rdr/FdInStream.h"
#include "rdr/MemInStream.h"
#include "tests/unit/decoders/MemoryFramebuffer.h"

namespace {

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

using bench::Times;

// Runs fn (returning times, or < 0 on failure) until `budget` seconds of wall time have
// passed and at least 3 times; returns the best wall and the best CPU time.
Times Best(double budget, const std::function<Times()>& fn) {
  Times best{1e30, 1e30};
  double spent = 0;
  for (int i = 0; (i < 3 || spent < budget) && i < 300; i++) {
    Times t = fn();
    if (t.wall < 0) return t;
    best.wall = std::min(best.wall, t.wall);
    best.cpu = std::min(best.cpu, t.cpu);
    spent += t.wall;
  }
  return best;
}

Times OursFromMemory(const bench::Stream& s, DecoderState& st) {
  rdr::MemInStream in(s.bytes.data(), s.bytes.size());
  bench::Stopwatch watch;
  DecodeStream(st, in);
  return watch.Elapsed();
}

Times OursFromSocket(const bench::Stream& s, DecoderState& st, int w, int h, int bpp) {
  LoopbackServer server(s.bytes, false, w, h, bpp);
  int fd = Connect(server.Port());
  Times t;
  {
    rdr::FdInStream in(fd);
    bench::Stopwatch watch;
    DecodeStream(st, in);
    t = watch.Elapsed();
  }
  close(fd);
  return t;
}

Times TheirsFromSocket(const bench::Stream& s, int w, int h, int bpp) {
  LoopbackServer server(s.bytes, true, w, h, bpp);
  return bench::RunLibVncClient(server.Port(), bpp);
}

// A plain memcpy of the Raw rectangles' pixel bytes to where they go in the framebuffer.
class RawMemcpy {
public:
  RawMemcpy(const bench::Stream& s, int w, int h, int bpp) : s_(s), dst_(Framebuffer::StrideFor(w, bpp) * h) {
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
        chunks_.push_back({p, y * stride, len});
        p += len;
      }
    }
  }
  Times Run() {
    bench::Stopwatch watch;
    for (const Chunk& c : chunks_) std::memcpy(dst_.data() + c.to, s_.bytes.data() + c.from, c.len);
    Times t = watch.Elapsed();
    if (dst_[dst_.size() / 2] == 0x5A && dst_[1] == 0xA5) std::puts("");  // keep the copy
    return t;
  }

private:
  struct Chunk {
    std::size_t from, to, len;
  };
  const bench::Stream& s_;
  std::vector<std::uint8_t> dst_;
  std::vector<Chunk> chunks_;
};

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 1.0;
  kebLog.SetLevel(-1);
  const int W = 1920, H = 1080, frames = 6;
  std::printf("Decoder throughput on %dx%d screens, %d frames per stream, in megapixels per second of the\n"
              "decoding thread's CPU time (best of runs). ratio = ours / libvncclient, both reading the same\n"
              "bytes from a loopback socket; \"wall\" is the same ratio in wall time; \"mem\" compares our\n"
              "decoders reading from memory with libvncclient's socket figure.\n\n",
              W, H, frames);
  std::printf("%-9s %4s %7s %8s %9s %9s %9s %7s %7s %7s\n", "encoding", "bpp", "MB", "Mpixels", "ours-mem", "ours-sock",
              "libvnc", "ratio", "wall", "mem");
  bool allMet = true;
  // The screens as libvncserver serves them (it translates them into each session format).
  std::vector<bench::Image> screens32;
  for (int f = 0; f < frames; f++) screens32.push_back(bench::MakeScreen(W, H, 4, f));
  for (int bpp : {4, 2, 1}) {
    std::vector<bench::Image> screens;
    for (int f = 0; f < frames; f++) screens.push_back(bench::MakeScreen(W, H, bpp, f));
    std::vector<bench::Stream> streams;
    streams.push_back(bench::EncodeRaw(screens));
    streams.push_back(bench::EncodeCopyRect(W, H, 200));
    streams.push_back(bench::EncodeRRE(screens));
    streams.push_back(bench::EncodeCoRRE(screens));
    streams.push_back(bench::EncodeHextile(screens));
    streams.push_back(bench::EncodeTight(screens));
    if (bpp == 4) streams.push_back(bench::EncodeTight(screens, 75));
    streams.push_back(bench::EncodeOpalo(screens));
    // Zlib, ZRLE and ZYWRLE recorded from libvncserver (ZYWRLE at libvncclient's default
    // quality, 5), and the same updates recompressed for the zstd and xz encodings.
    streams.push_back(bench::RecordFromLibVncServer(screens32, "Zlib", 6, -1, bpp));
    streams.push_back(bench::RecordFromLibVncServer(screens32, "ZRLE", 16, -1, bpp));
    streams.push_back(bench::RecordFromLibVncServer(screens32, "ZYWRLE", 17, 5, bpp));
    streams.push_back(bench::Recompress(streams[streams.size() - 3], "ZSTD", false));
    streams.push_back(bench::Recompress(streams[streams.size() - 3], "ZSTDRLE", false));
    streams.push_back(bench::Recompress(streams[streams.size() - 3], "ZSTDYWRLE", false));
    streams.push_back(bench::Recompress(streams[streams.size() - 5], "XZ", true));
    streams.push_back(bench::Recompress(streams[streams.size() - 5], "XZYW", true));
    for (const bench::Stream& s : streams) {
      const double mp = static_cast<double>(s.pixels) / 1e6;
      // The framebuffer lives on from run to run, as a viewer's does.
      MemoryFramebuffer fb(W, H, FormatFor(bpp));
      DecoderState st(fb);
      st.quality = s.quality;
      // Each run is a new session to the decoders (a recording starts fresh compression
      // streams), as after a reconnect.
      const Times mem = Best(budget, [&] {
        fb.region.clear();
        st.Reset();
        return OursFromMemory(s, st);
      });
      const Times sock = Best(budget, [&] {
        fb.region.clear();
        st.Reset();
        return OursFromSocket(s, st, W, H, bpp);
      });
      if (!s.libvncclient) {
        std::printf("%-9s %4d %7.1f %8.1f %9.0f %9.0f %9s\n", s.name.c_str(), bpp * 8, s.bytes.size() / 1e6, mp,
                    mp / mem.cpu, mp / sock.cpu, "-");
      } else {
        const Times theirs = Best(budget, [&] { return TheirsFromSocket(s, W, H, bpp); });
        if (theirs.wall < 0) {
          std::printf("%-9s %4d libvncclient failed\n", s.name.c_str(), bpp * 8);
          allMet = false;
          continue;
        }
        const double ratio = theirs.cpu / sock.cpu;
        std::printf("%-9s %4d %7.1f %8.1f %9.0f %9.0f %9.0f %7.2f %7.2f %7.2f\n", s.name.c_str(), bpp * 8,
                    s.bytes.size() / 1e6, mp, mp / mem.cpu, mp / sock.cpu, mp / theirs.cpu, ratio,
                    theirs.wall / sock.wall, theirs.cpu / mem.cpu);
        if (ratio < 1.5) allMet = false;
      }
      if (!s.blocks.empty()) {
        // The decoder from memory against its codecs alone on the same blocks.
        const Times codec = Best(budget, [&] { return bench::CodecTime(s); });
        std::printf("%-9s %4d   from memory %.2f ms, codecs alone %.2f ms: decoder/codec %.2f\n", "", bpp * 8,
                    mem.cpu * 1e3, codec.cpu * 1e3, mem.cpu / codec.cpu);
        if (codec.cpu < 0 || mem.cpu / codec.cpu > 1.3) allMet = false;
      }
      if (s.name == "Raw") {
        RawMemcpy memcpyOfRaw(s, W, H, bpp);
        const Times copy = Best(budget, [&] { return memcpyOfRaw.Run(); });
        std::printf("%-9s %4d   Raw from memory %.2f ms, memcpy of the same %.1f MB %.2f ms: Raw/memcpy %.2f\n", "",
                    bpp * 8, mem.cpu * 1e3, s.payload / 1e6, copy.cpu * 1e3, mem.cpu / copy.cpu);
        if (mem.cpu / copy.cpu > 1.3) allMet = false;
      }
      std::fflush(stdout);
    }
  }
  std::printf("\ntargets (ratio >= 1.5 on every encoding, Raw/memcpy and decoder/codec <= 1.3): %s\n",
              allMet ? "met" : "NOT met");
  return 0;
}
