// Our decoders against libvncclient on streams recorded from real servers (TigerVNC's
// Xvnc, x11vnc, libvncserver; see RecordedStreams.h), and against their codecs alone.
//
//   bench_decoders [--rounds N] [--only TEXT] [--recordings DIR] [--record-only] [--ours-only]
//
// --only keeps the rows whose "server encoding bpp" contains TEXT; --ours-only decodes
// those rows with our decoders alone, for a profiler.
//
// Each recording (30 screens of 1920 x 1080) is replayed over loopback TCP, the same bytes
// the same way to both sides: to our decoders through the session's socket stream (its
// buffer size), and to libvncclient after an RFB handshake. Both framebuffers are written
// in full before timing starts; ours lives on from run to run, as a viewer's does, and
// each run is a new session to the decoders (fresh compression streams). Runs are
// interleaved (ours, libvncclient, the codecs alone) and the medians reported: CPU time of
// the decoding thread (it stays meaningful on a busy machine) and wall time. The final
// framebuffers of both sides are compared under the colour mask, and each against the
// last screen where it is known. Then the socket stream's buffer size is
// measured on a few of the streams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
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
#include "session/RfbSession.h"
#include "tests/unit/decoders/MemoryFramebuffer.h"

namespace {

using bench::Times;

constexpr int kWidth = 1920, kHeight = 1080, kScreens = 30;

struct Counts {
  std::uint64_t updates = 0, pixels = 0;
};

// The FramebufferUpdate reader's loop, without the shell: message type, rectangle count,
// headers, decoders; the Bell ends the recording.
Counts DecodeStream(DecoderState& st, rdr::InStream& in) {
  Counts c;
  for (;;) {
    const unsigned type = in.ReadU8();
    if (type == 2) return c;
    in.Skip(1);
    const unsigned n = in.ReadU16();
    c.updates++;
    for (unsigned i = 0; i < n; i++) {
      const RectHeader r = RectHeader::Read(in);
      c.pixels += static_cast<std::uint64_t>(r.w) * r.h;
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
  LoopbackServer(const std::vector<std::uint8_t>& data, bool handshake, const PixelFormat& pf) {
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
    thread_ = std::thread([this, &data, handshake, pf] { Serve(data, handshake, pf); });
  }
  ~LoopbackServer() {
    thread_.join();
    close(listen_);
  }
  int Port() const { return port_; }

private:
  void Serve(const std::vector<std::uint8_t>& data, bool handshake, const PixelFormat& pf) {
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
      std::uint8_t init[24 + 5] = {kWidth >> 8, kWidth & 255, kHeight >> 8, kHeight & 255};
      pf.ToWire(init + 4);
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

// Our decoders over loopback through the socket stream the session uses.
Times OursFromSocket(const bench::Stream& s, DecoderState& st, std::size_t bufferSize,
                     std::uint64_t* reads = nullptr) {
  LoopbackServer server(s.bytes, false, bench::BenchFormat(s.bytesPerPixel));
  int fd = Connect(server.Port());
  Times t;
  {
    rdr::FdInStream in(fd, 0, bufferSize);
    bench::Stopwatch watch;
    DecodeStream(st, in);
    t = watch.Elapsed();
    if (reads) *reads = in.ReadCalls();
  }
  close(fd);
  return t;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Samples {
  std::vector<double> cpu, wall;
  void Add(const Times& t) { cpu.push_back(t.cpu), wall.push_back(t.wall); }
  Times MedianTimes() const { return {Median(wall), Median(cpu)}; }
};

// The two framebuffers compared under the format's colour mask (see ColourMask).
bool SameFramebuffer(const MemoryFramebuffer& ours, const std::vector<std::uint8_t>& theirs) {
  const Framebuffer& fb = ours.fb();
  const std::size_t bpp = static_cast<std::size_t>(fb.bytesPerPixel);
  const std::size_t row = static_cast<std::size_t>(fb.width) * bpp;
  if (theirs.size() != row * fb.height) return false;
  const std::uint32_t mask = bench::ColourMask(fb.format);
  for (int y = 0; y < fb.height; y++) {
    const std::uint8_t* a = fb.At(0, y);
    const std::uint8_t* b = theirs.data() + row * y;
    for (std::size_t x = 0; x < row; x += bpp) {
      std::uint32_t u = 0, v = 0;
      std::memcpy(&u, a + x, bpp);
      std::memcpy(&v, b + x, bpp);
      if ((u ^ v) & mask) return false;
    }
  }
  return true;
}

// What a row must reach: ours / libvncclient in CPU time, and where the inflated bytes
// are the pixels (Zlib), the share of the codec's own speed (codec time / our time).
// ZRLE and Tight write several bytes of pixels per inflated byte, so the codec's speed is
// no bound for them: their rest column (our time outside the codecs and the pixel writes)
// shows what is the decoder's own.
struct Target {
  double ratio = 0;
  double codecShare = 0;
};

Target TargetFor(const bench::Stream& s) {
  switch (s.encoding) {
    case rfbenc::kRaw:
    case rfbenc::kCopyRect:
    case rfbenc::kRRE:
    case rfbenc::kCoRRE:
    case rfbenc::kHextile:
    case rfbenc::kZRLE: return {1.5, 0};
    case rfbenc::kZlib: return {1.5, 0.95};
    case rfbenc::kTight: return {s.lossless ? 1.5 : 1.2, 0};
    default: return {0, 0};
  }
}

struct Options {
  int rounds = 5;
  std::string only;
  std::string folder;
  bool recordOnly = false;
  bool oursOnly = false;  // for a profiler: only our decoders, no table
};


std::string LoadAverage() {
  FILE* f = std::fopen("/proc/loadavg", "r");
  char buf[64] = "?";
  if (f) {
    if (!std::fgets(buf, sizeof buf, f)) buf[0] = 0;
    std::fclose(f);
  }
  std::string s(buf);
  return s.substr(0, s.find(' ', s.find(' ', s.find(' ') + 1) + 1));
}

std::vector<bench::RecordingPlan> Plans() {
  using bench::Server;
  struct Enc {
    const char* name;
    int encoding, quality;
    bool moves;
  };
  // What each server sends when it is offered only that encoding (and Raw).
  const Enc xvnc[] = {{"Raw", 0, -1, false},  {"CopyRect", 1, -1, false}, {"RRE", 2, -1, false},
                      {"Hextile", 5, -1, false}, {"ZRLE", 16, -1, false},  {"Tight", 7, -1, false},
                      {"Tight+JPEG", 7, 8, false}};
  const Enc libvnc[] = {{"Raw", 0, -1, false},     {"CopyRect", 1, -1, false}, {"RRE", 2, -1, false},
                        {"CoRRE", 4, -1, false},   {"Hextile", 5, -1, false},  {"Zlib", 6, -1, false},
                        {"ZRLE", 16, -1, false},   {"ZYWRLE", 17, 5, false},   {"Tight", 7, -1, false},
                        {"Tight+JPEG", 7, 8, false}, {"Opalo", 9, -1, false}};
  std::vector<bench::RecordingPlan> plans;
  for (Server server : {Server::Xvnc, Server::X11vnc, Server::LibVncServer}) {
    const bool tiger = server == Server::Xvnc;
    for (const Enc* it = tiger ? std::begin(xvnc) : std::begin(libvnc); it != (tiger ? std::end(xvnc) : std::end(libvnc));
         ++it) {
      const Enc& e = *it;
      // Window drags need a server that sees them as copies: x11vnc sees only pixels.
      const bool moves = e.encoding == 1;
      if (moves && server == Server::X11vnc) continue;
      for (int bpp : {4, 2, 1}) {
        if (e.quality >= 0 && e.encoding == 7 && bpp == 1) continue;  // no JPEG at 8 bits
        bench::RecordingPlan s;
        s.server = server, s.name = e.name, s.encoding = e.encoding, s.quality = e.quality;
        s.bytesPerPixel = bpp, s.moves = moves;
        plans.push_back(s);
      }
    }
  }
  return plans;
}


}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.folder = bench::ProgramDir() + "/recordings";
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) o.rounds = std::max(1, std::atoi(argv[++i]));
    else if (a == "--only" && i + 1 < argc) o.only = argv[++i];
    else if (a == "--recordings" && i + 1 < argc) o.folder = argv[++i];
    else if (a == "--record-only") o.recordOnly = true;
    else if (a == "--ours-only") o.oursOnly = true;
    else {
      std::fprintf(stderr, "usage: %s [--rounds N] [--only TEXT] [--recordings DIR] [--record-only] [--ours-only]\n", argv[0]);
      return 2;
    }
  }
  kebLog.SetLevel(-1);

  // Recordings missing from the folder are made, four servers at a time.
  std::vector<bench::RecordingPlan> plans = Plans();
  std::vector<bench::Image> screens;
  if (!std::all_of(plans.begin(), plans.end(), [&](const bench::RecordingPlan& s) { return bench::IsRecorded(s, o.folder); }))
    for (int f = 0; f < kScreens; f++) screens.push_back(bench::MakeScreen(kWidth, kHeight, 4, f));
  std::vector<bench::Stream> streams(plans.size());
  std::vector<std::string> failures(plans.size());
  std::vector<char> ok(plans.size(), 0);
  {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; t++)
      pool.emplace_back([&] {
        for (std::size_t i; (i = next++) < plans.size();) {
          const std::string row = std::string(bench::ServerName(plans[i].server)) + " " + plans[i].name + " " +
                                  std::to_string(plans[i].bytesPerPixel * 8);
          if (!o.only.empty() && row.find(o.only) == std::string::npos) continue;
          ok[i] = bench::Recorded(plans[i], screens, o.folder, &streams[i], &failures[i]);
        }
      });
    for (std::thread& t : pool) t.join();
  }
  if (o.recordOnly) return 0;

  std::printf("Decoders on recorded streams: %d screens of %dx%d per stream, replayed over loopback TCP.\n"
              "Medians of %d interleaved runs (ours, libvncclient, codecs alone); load average at the start %s.\n"
              "Mpx/s = decoded pixels per second of the decoding thread's CPU time. cpu and wall: ours / libvncclient.\n"
              "codec: codec time / our time on the same payload (1.00 = as fast as inflate, libjpeg-turbo, LZO alone).\n"
              "rest: the share of our time outside the codecs and the pixel writes themselves (each rectangle's\n"
              "pixels but JPEG images', which the codec writes, copied row by row into a bitmap like ours):\n"
              "1 - (codec + writes) / ours. Zlib, whose inflated bytes are the pixels, must reach codec >= 0.95;\n"
              "ZRLE and Tight write several bytes of pixels per inflated byte, so for them codec is information\n"
              "and rest shows the decoder's own work (ZRLE's tiles and runs, Tight's filters, the reads).\n"
              "fb: the final framebuffers of both sides compared under the pixel format's colour mask, and for\n"
              "lossless 32-bit recordings of new screens each side against the last screen, after every run.\n\n",
              kScreens, kWidth, kHeight, o.rounds, LoadAverage().c_str());
  std::printf("%-13s %-11s %3s %7s %6s %7s %9s %9s %6s %6s %6s %6s  %-22s %s\n", "server", "encoding", "bpp", "MB",
              "upd", "Mpx", "ours", "libvnc", "cpu", "wall", "codec", "rest", "fb", "verdict");

  int met = 0, missed = 0, unrecorded = 0;
  bench::Image lastScreen;
  std::vector<const bench::Stream*> readingPath;
  for (std::size_t i = 0; i < plans.size(); i++) {
    if (!o.only.empty() && !ok[i] && failures[i].empty()) continue;
    const bench::RecordingPlan& plan = plans[i];
    if (!ok[i]) {
      std::printf("%-13s %-11s %3d  not recorded: %s\n", bench::ServerName(plan.server), plan.name.c_str(),
                  plan.bytesPerPixel * 8, failures[i].c_str());
      unrecorded++;
      continue;
    }
    bench::Stream& s = streams[i];
    s.lossless = plan.quality < 0;
    s.blocks = bench::CodecBlocks(s, &s.writes);
    if (!s.lossless && s.encoding == rfbenc::kTight &&
        std::none_of(s.blocks.begin(), s.blocks.end(), [](const bench::Block& b) { return b.kind == bench::Block::Jpeg; })) {
      std::printf("%-13s %-11s %3d  the server sends no JPEG in this format\n", s.server.c_str(), s.name.c_str(),
                  s.bytesPerPixel * 8);
      continue;
    }
    const PixelFormat pf = bench::BenchFormat(s.bytesPerPixel);
    MemoryFramebuffer fb(kWidth, kHeight, pf);
    DecoderState st(fb);
    st.quality = s.quality;
    // Warm-up from memory: counts, and the caches of the first run.
    Counts counts;
    {
      rdr::MemInStream in(s.bytes.data(), s.bytes.size());
      counts = DecodeStream(st, in);
    }
    if (o.oursOnly) {
      for (int r = 0; r < o.rounds; r++) {
        st.Reset();
        OursFromSocket(s, st, RfbSession::kSocketBufferSize);
      }
      continue;
    }
    Samples ours, theirs, codec, writes;
    // The pixel writes alone go to a bitmap of their own, as large as ours and written once.
    std::vector<std::uint8_t> writeFb(s.writes.empty() ? 0 : fb.fb().stride * kHeight, 128);
    bool same = true, theirsFailed = false;
    // A lossless 32-bit recording of new screens must leave both sides on the last screen:
    // checked after every run.
    const bool screenKnown = s.lossless && !s.moves && s.bytesPerPixel == 4;
    bool oursShows = screenKnown, theirsShow = screenKnown;
    if (screenKnown && lastScreen.px.empty()) lastScreen = bench::MakeScreen(kWidth, kHeight, 4, kScreens - 1);
    if (!s.blocks.empty()) bench::CodecTime(s);  // warm
    for (int r = 0; r < o.rounds; r++) {
      fb.region.clear();
      st.Reset();
      ours.Add(OursFromSocket(s, st, RfbSession::kSocketBufferSize));
      if (screenKnown) oursShows = oursShows && bench::ShowsScreen(fb.fb().At(0, 0), fb.fb().stride, pf, lastScreen);
      std::vector<std::uint8_t> theirFb;
      LoopbackServer server(s.bytes, true, pf);
      const Times t = bench::RunLibVncClient(server.Port(), pf, s.quality, &theirFb);
      if (t.cpu < 0) {
        theirsFailed = true;
      } else {
        theirs.Add(t);
        same = same && SameFramebuffer(fb, theirFb);
        if (screenKnown)
          theirsShow = theirsShow && bench::ShowsScreen(theirFb.data(), std::size_t(kWidth) * 4, pf, lastScreen);
      }
      if (!s.blocks.empty()) codec.Add(bench::CodecTime(s));
      if (!s.writes.empty()) writes.Add(bench::WriteTime(s, writeFb.data(), fb.fb().stride));
    }
    const double mpx = static_cast<double>(counts.pixels) / 1e6;
    const Times us = ours.MedianTimes();
    std::printf("%-13s %-11s %3d %7.1f %6llu %7.1f %9.0f", s.server.c_str(), s.name.c_str(), s.bytesPerPixel * 8,
                s.bytes.size() / 1e6, static_cast<unsigned long long>(counts.updates), mpx, mpx / us.cpu);
    const Target target = TargetFor(s);
    bool meets = true;
    std::string goal;
    double ratio = 0;
    if (theirsFailed) {
      std::printf(" %9s %6s %6s", "failed", "-", "-");
      meets = false;
    } else {
      const Times them = theirs.MedianTimes();
      ratio = them.cpu / us.cpu;
      std::printf(" %9.0f %6.2f %6.2f", mpx / them.cpu, ratio, them.wall / us.wall);
    }
    if (target.ratio > 0) {
      char g[64];
      std::snprintf(g, sizeof g, "cpu >= %.1f", target.ratio);
      goal = g;
      meets = meets && ratio >= target.ratio;
    }
    if (!s.blocks.empty()) {
      const double share = codec.MedianTimes().cpu / us.cpu;
      const double rest = 1 - (codec.MedianTimes().cpu + writes.MedianTimes().cpu) / us.cpu;
      std::printf(" %6.2f %6.2f", share, rest);
      if (target.codecShare > 0) {
        char g[64];
        std::snprintf(g, sizeof g, ", codec >= %.2f", target.codecShare);
        goal += g;
        meets = meets && share >= target.codecShare;
      }
    } else {
      std::printf(" %6s %6s", "-", "-");
    }
    // Where the last screen is known, each side is checked against it ("= screen").
    std::string fbText = theirsFailed ? "-" : same ? "same" : s.lossless ? "DIFF" : "DIFF (lossy)";
    if (screenKnown) {
      if (theirsFailed) fbText = oursShows ? "ours = screen" : "ours != screen";
      else if (same) fbText = oursShows ? "same = screen" : "same != screen";
      else fbText = std::string("DIFF: ") + (oursShows ? "ours = screen" : theirsShow ? "libvnc = screen" : "neither = screen");
      if (!oursShows) meets = false;
    }
    std::string verdict = theirsFailed ? "libvncclient failed" : goal.empty() ? "-" : (meets ? "met (" : "NOT met (") + goal + ")";
    if (!goal.empty() && meets) met++;
    if (!goal.empty() && !meets) missed++;
    std::printf("  %-22s %s\n", fbText.c_str(), verdict.c_str());
    std::fflush(stdout);
    if (s.server == "Xvnc" && s.bytesPerPixel == 4 && s.encoding != rfbenc::kCopyRect && s.encoding != rfbenc::kRRE)
      readingPath.push_back(&s);
  }

  // The socket stream's buffer: the session's size against smaller and larger ones.
  if (!readingPath.empty() && !o.oursOnly) {
    const std::size_t sizes[] = {8 << 10, 64 << 10, 256 << 10, 1 << 20};
    std::printf("\nReading path: our decoders through the socket stream with these buffer sizes (the session uses"
                " %zu KiB);\nCPU ms per stream and reads per update, medians of %d interleaved runs.\n",
                RfbSession::kSocketBufferSize >> 10, o.rounds);
    std::printf("%-13s %-11s", "server", "encoding");
    for (std::size_t size : sizes) std::printf("   %4zu KiB: ms  reads", size >> 10);
    std::printf("\n");
    for (const bench::Stream* s : readingPath) {
      MemoryFramebuffer fb(kWidth, kHeight, bench::BenchFormat(s->bytesPerPixel));
      DecoderState st(fb);
      st.quality = s->quality;
      std::vector<double> cpu[4], reads[4];
      std::uint64_t updates = 0;
      {
        rdr::MemInStream in(s->bytes.data(), s->bytes.size());
        updates = DecodeStream(st, in).updates;
      }
      for (int r = 0; r < o.rounds; r++)
        for (int k = 0; k < 4; k++) {
          st.Reset();
          std::uint64_t n = 0;
          cpu[k].push_back(OursFromSocket(*s, st, sizes[k], &n).cpu);
          reads[k].push_back(static_cast<double>(n) / static_cast<double>(updates));
        }
      std::printf("%-13s %-11s", s->server.c_str(), s->name.c_str());
      for (int k = 0; k < 4; k++) std::printf("   %12.1f %6.1f", Median(cpu[k]) * 1e3, Median(reads[k]));
      std::printf("\n");
    }
  }
  std::printf("\n%d rows met their targets, %d did not; %d not recorded.\n", met, missed, unrecorded);
  return 0;
}
