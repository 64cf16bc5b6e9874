#include "RecordedStreams.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "app/Log.h"
#include "decoders/Decoders.h"
#include "decoders/RectHeader.h"
#include "rdr/Exception.h"
#include "tests/unit/decoders/MemoryFramebuffer.h"
#include "tests/unit/decoders_compressed/RfbTestClient.h"

extern char** environ;

namespace bench {

const char* ServerName(Server s) {
  switch (s) {
    case Server::Xvnc: return "Xvnc";
    case Server::X11vnc: return "x11vnc";
    default: return "libvncserver";
  }
}

PixelFormat BenchFormat(int bpp) {
  PixelFormat pf;
  if (bpp == 4) {
    pf.redShift = 16, pf.greenShift = 8, pf.blueShift = 0;
  } else if (bpp == 2) {
    pf.bitsPerPixel = 16, pf.depth = 16, pf.redMax = 31, pf.greenMax = 63, pf.blueMax = 31;
    pf.redShift = 11, pf.greenShift = 5, pf.blueShift = 0;
  } else {
    pf.bitsPerPixel = 8, pf.depth = 8, pf.redMax = 7, pf.greenMax = 7, pf.blueMax = 3;
    pf.redShift = 0, pf.greenShift = 3, pf.blueShift = 6;
  }
  return pf;
}

std::uint32_t ColourMask(const PixelFormat& pf) {
  return static_cast<std::uint32_t>(pf.redMax) << pf.redShift | static_cast<std::uint32_t>(pf.greenMax) << pf.greenShift |
         static_cast<std::uint32_t>(pf.blueMax) << pf.blueShift;
}

bool ShowsScreen(const std::uint8_t* pixels, std::size_t stride, const PixelFormat& pf, const Image& screen) {
  if (pf.bitsPerPixel != 32) return false;
  const std::uint32_t mask = ColourMask(pf);
  for (int y = 0; y < screen.height; y++)
    for (int x = 0; x < screen.width; x++) {
      std::uint32_t v;
      std::memcpy(&v, pixels + y * stride + static_cast<std::size_t>(x) * 4, 4);
      if ((v & mask) != (screen.At(x, y) & mask)) return false;
    }
  return true;
}

std::vector<std::vector<Move>> WindowDrags(int width, int height, int steps) {
  std::uint64_t s = 99;
  auto below = [&s](int n) {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return static_cast<int>((s >> 11) % static_cast<std::uint64_t>(n));
  };
  std::vector<std::vector<Move>> out;
  const int w = width / 3, h = height / 3;
  for (int u = 0; u < steps; u++) {
    // One window per update: moves that overlap each other in one update make the
    // servers send the overlap as pixels.
    Move m{20 + below(width - w - 40), 20 + below(height - h - 40), w, h, below(33) - 16, 0};
    m.dy = u % 4 == 3 ? 0 : below(33) - 16;
    out.push_back({m});
  }
  return out;
}

std::string ProgramDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<std::size_t>(n));
  return p.substr(0, p.rfind('/'));
}

namespace {

// A child process with its standard input and output on pipes (for the painters), or
// with an extra descriptor 3 that it writes its display number to (-displayfd).
class Child {
public:
  enum Mode { Plain, Commands, DisplayFd };
  Child(const std::vector<std::string>& argv, Mode mode, const std::string& display, const std::string& log) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (mode == Commands) {
      if (pipe(in) != 0 || pipe(out) != 0) return;
      posix_spawn_file_actions_adddup2(&fa, in[0], 0);
      posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
      if (mode == DisplayFd) {
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_adddup2(&fa, out[1], 3);
      }
    }
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> env;
    for (char** e = environ; *e; e++)
      if (std::string(*e).rfind("DISPLAY=", 0) != 0) env.push_back(*e);
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (in[0] >= 0) close(in[0]);
    if (out[1] >= 0) close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Child() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 250; i++) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      usleep(20000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool Started() const { return pid_ > 0; }

  // A line from the child's output (without its end), waiting at most `seconds`.
  bool ReadLine(std::string* line, double seconds) {
    line->clear();
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
      pollfd p{from_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) return false;
      char c;
      if (read(from_, &c, 1) != 1) return false;
      if (c == '\n') return true;
      *line += c;
    }
  }
  // Sends a command and waits for its "ok".
  bool Command(const std::string& line, double seconds = 60) {
    const std::string l = line + "\n";
    if (write(to_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return false;
    std::string answer;
    const bool ok = ReadLine(&answer, seconds) && answer == "ok";
    if (!ok) std::fprintf(stderr, "painter: \"%s\" answered \"%s\"\n", line.c_str(), answer.c_str());
    return ok;
  }

private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// Reads the socket and keeps every byte, so that the messages the decoders walked
// through can be cut out afterwards (Pos() is an offset into All()).
class RecordingInStream : public rdr::InStream {
public:
  explicit RecordingInStream(int fd) : fd_(fd) { data_.reserve(1 << 20), ptr_ = end_ = data_.data(); }
  std::size_t Pos() override { return static_cast<std::size_t>(ptr_ - data_.data()); }
  const std::vector<std::uint8_t>& All() const { return data_; }
  // True when data are buffered or arrive within ms.
  bool WaitData(int ms) {
    if (Avail() > 0) return true;
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }

protected:
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override {
    const std::size_t pos = Pos();
    while (data_.size() - pos < itemSize) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 60000) <= 0) throw rdr::TimedOut();
      const std::size_t at = data_.size();
      data_.resize(at + (1 << 20));
      const ssize_t n = recv(fd_, data_.data() + at, 1 << 20, 0);
      data_.resize(at + static_cast<std::size_t>(n > 0 ? n : 0));
      if (n <= 0) throw rdr::EndOfStream("read");
    }
    ptr_ = data_.data() + pos;
    end_ = data_.data() + data_.size();
    return std::min(nItems, Avail() / itemSize);
  }

private:
  int fd_;
  std::vector<std::uint8_t> data_;
};

void Put(std::vector<std::uint8_t>& b, const std::uint8_t* p, std::size_t n) { b.insert(b.end(), p, p + n); }

bool SameAsScreen(const MemoryFramebuffer& fb, const Image& im) {
  const Framebuffer& f = fb.fb();
  return ShowsScreen(f.At(0, 0), f.stride, f.format, im);
}

std::string FramesFile(const std::vector<Image>& screens, const std::string& folder) {
  static std::mutex m;
  std::lock_guard<std::mutex> g(m);
  const std::string path = folder + "/screens.rgbx";
  struct stat st;
  const std::size_t size = static_cast<std::size_t>(screens[0].width) * screens[0].height * 4 * screens.size();
  if (stat(path.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) > size) return path;
  const std::string tmp = path + ".part";
  {
    std::ofstream f(tmp, std::ios::binary);
    f << screens[0].width << ' ' << screens[0].height << ' ' << screens.size() << '\n';
    std::vector<std::uint8_t> row(static_cast<std::size_t>(screens[0].width) * 4);
    for (const Image& im : screens)
      for (int y = 0; y < im.height; y++) {
        for (int x = 0; x < im.width; x++) {
          const std::uint32_t v = im.At(x, y);
          row[x * 4] = static_cast<std::uint8_t>(v >> 16), row[x * 4 + 1] = static_cast<std::uint8_t>(v >> 8);
          row[x * 4 + 2] = static_cast<std::uint8_t>(v), row[x * 4 + 3] = 0;
        }
        f.write(reinterpret_cast<const char*>(row.data()), static_cast<std::streamsize>(row.size()));
      }
  }
  std::rename(tmp.c_str(), path.c_str());
  return path;
}

// An X server started with -displayfd: its display name once it is ready.
std::string StartX(std::unique_ptr<Child>& x, const std::vector<std::string>& argv, const std::string& log) {
  x.reset(new Child(argv, Child::DisplayFd, "", log));
  std::string number;
  if (!x->Started() || !x->ReadLine(&number, 30) || number.empty()) return "";
  return ":" + number;
}

// Records one plan; throws std::runtime_error or rdr::Exception on failure.
Stream RecordNow(const RecordingPlan& plan, const std::vector<Image>& screens, const std::string& folder) {
  const int w = screens[0].width, h = screens[0].height;
  const std::string frames = FramesFile(screens, folder);
  const std::string log = folder + "/" + ServerName(plan.server) + ".log";
  const int port = FreePort();
  std::unique_ptr<Child> x, server, painter;
  const std::string geometry = std::to_string(w) + "x" + std::to_string(h);
  std::string display;
  switch (plan.server) {
    case Server::Xvnc:
      display = StartX(x, {"Xvnc", "-displayfd", "3", "-geometry", geometry, "-depth", "24", "-rfbport",
                           std::to_string(port), "-localhost", "-SecurityTypes", "None", "-AlwaysShared",
                           "-nolisten", "tcp"},
                       log);
      break;
    case Server::X11vnc:
      display = StartX(x, {"Xvfb", "-displayfd", "3", "-screen", "0", geometry + "x24", "-nolisten", "tcp", "-noreset"},
                       log);
      break;
    case Server::LibVncServer:
      painter.reset(new Child({ProgramDir() + "/bench_vncserver_recorder", frames, std::to_string(port)}, Child::Commands,
                              "", log));
      break;
  }
  if (plan.server != Server::LibVncServer) {
    if (display.empty()) throw std::runtime_error("the X server did not start (see " + log + ")");
    painter.reset(new Child({ProgramDir() + "/bench_xpainter", frames}, Child::Commands, display, log));
  }
  if (!painter->Started() || !painter->Command("p 0")) throw std::runtime_error("the painter failed (see " + log + ")");
  if (plan.server == Server::X11vnc) {
    server.reset(new Child({"x11vnc", "-display", display, "-rfbport", std::to_string(port), "-localhost", "-nopw",
                            "-shared", "-forever", "-quiet", "-nocursor", "-noxfixes", "-noxdamage", "-norc", "-nowf",
                            "-nowcr", "-nosel", "-nobell", "-wait", "2", "-defer", "2"},
                           Child::Plain, "", log));
  }
  const int fd = rfbtest::Connect(port, 30);
  if (fd < 0) throw std::runtime_error(std::string(ServerName(plan.server)) + " not reachable (see " + log + ")");
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};

  Stream s;
  s.server = ServerName(plan.server);
  s.name = plan.name;
  s.encoding = plan.encoding;
  s.bytesPerPixel = plan.bytesPerPixel;
  s.quality = plan.quality;
  s.moves = plan.moves;
  RecordingInStream in(fd);
  const rfbtest::ServerInit si = rfbtest::Handshake(fd, in);
  if (si.width != w || si.height != h) throw std::runtime_error("the server's screen has the wrong size");
  std::vector<std::int32_t> encodings = {plan.encoding};
  if (plan.quality >= 0) encodings.push_back(-32 + plan.quality);
  const PixelFormat pf = BenchFormat(plan.bytesPerPixel);
  rfbtest::SendFormatAndEncodings(fd, pf, encodings);
  MemoryFramebuffer fb(w, h, pf);
  DecoderState st(fb);
  st.quality = plan.quality;
  bool outstanding = false;
  // One server message: a FramebufferUpdate is decoded (which finds its end) and kept.
  auto message = [&] {
    const std::size_t start = in.Pos();
    const int type = rfbtest::ReadMessage(st, in);
    if (type == 1) throw std::runtime_error("the server sent a colour map");
    if (type != 0) return;
    Put(s.bytes, in.All().data() + start, in.Pos() - start);
    s.updates++;
    outstanding = false;
  };
  auto request = [&](bool incremental) {
    rfbtest::RequestUpdate(fd, incremental, w, h);
    outstanding = true;
  };
  // x11vnc finds changes by polling and sends them in pieces: a screen is complete when
  // nothing more comes for a while after each piece has been answered by a new request.
  const bool polling = plan.server == Server::X11vnc;
  auto complete = [&] {
    if (!polling) {
      while (outstanding) message();
      return;
    }
    do {
      while (outstanding) message();
      request(true);
    } while (in.WaitData(1500));
  };
  request(false);
  complete();
  const std::vector<std::vector<Move>> drags = plan.moves ? WindowDrags(w, h, static_cast<int>(screens.size()) - 1)
                                                          : std::vector<std::vector<Move>>();
  for (std::size_t k = 1; k < screens.size(); k++) {
    if (plan.moves) {
      for (const Move& m : drags[k - 1])
        if (!painter->Command("m " + std::to_string(m.sx) + " " + std::to_string(m.sy) + " " + std::to_string(m.w) +
                              " " + std::to_string(m.h) + " " + std::to_string(m.dx) + " " + std::to_string(m.dy)))
          throw std::runtime_error("the painter failed");
    } else if (!painter->Command("p " + std::to_string(k))) {
      throw std::runtime_error("the painter failed");
    }
    if (!outstanding) request(true);
    complete();
  }
  // A lossless recording of new screens must end on the last screen as painted.
  if (plan.bytesPerPixel == 4 && plan.quality < 0 && !plan.moves && !SameAsScreen(fb, screens.back())) {
    if (polling)  // a late piece
      for (int i = 0; i < 10 && !SameAsScreen(fb, screens.back()); i++) complete();
    if (!SameAsScreen(fb, screens.back())) throw std::runtime_error("the recording does not end on the last screen");
  }
  painter->Command("q", 2);
  s.bytes.push_back(2);  // Bell: the end of the recording
  return s;
}

std::string FileName(const RecordingPlan& plan) {
  std::string name = plan.name;
  for (char& c : name)
    if (c == '+') c = '_';
  // v1: the screens of MakeScreen, 30 of 1920 x 1080 (or moves), the formats of BenchFormat.
  return std::string(ServerName(plan.server)) + "-" + name + "-" + std::to_string(plan.bytesPerPixel * 8) + ".v1.rfb";
}

}  // namespace

bool IsRecorded(const RecordingPlan& plan, const std::string& folder) {
  struct stat st;
  return stat((folder + "/" + FileName(plan)).c_str(), &st) == 0 && st.st_size > 0;
}

bool Recorded(const RecordingPlan& plan, const std::vector<Image>& screens, const std::string& folder, Stream* out,
              std::string* why) {
  mkdir(folder.c_str(), 0755);
  const std::string path = folder + "/" + FileName(plan);
  *out = Stream();
  out->server = ServerName(plan.server);
  out->name = plan.name;
  out->encoding = plan.encoding;
  out->bytesPerPixel = plan.bytesPerPixel;
  out->quality = plan.quality;
  out->moves = plan.moves;
  {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (f) {
      out->bytes.resize(static_cast<std::size_t>(f.tellg()));
      f.seekg(0);
      f.read(reinterpret_cast<char*>(out->bytes.data()), static_cast<std::streamsize>(out->bytes.size()));
      if (f && !out->bytes.empty() && out->bytes.back() == 2) return true;
    }
  }
  try {
    *out = RecordNow(plan, screens, folder);
  } catch (const std::exception& e) {
    *why = e.what();
    return false;
  } catch (const rdr::Exception& e) {
    *why = e.str();
    return false;
  }
  const std::string tmp = path + ".part";
  {
    std::ofstream f(tmp, std::ios::binary);
    f.write(reinterpret_cast<const char*>(out->bytes.data()), static_cast<std::streamsize>(out->bytes.size()));
  }
  std::rename(tmp.c_str(), path.c_str());
  return true;
}

}  // namespace bench
