// A minimal RFB 3.8 client for the decoder tests against servers (the scripted test server
// and real servers on loopback): security None, SetPixelFormat, SetEncodings and update
// requests. It decodes FramebufferUpdates with the viewer's decoders into a memory
// framebuffer. POSIX only: the servers run natively.
#pragma once

#ifndef _WIN32

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Fixture.h"
#include "rdr/FdInStream.h"
#include "session/RfbSession.h"

extern char** environ;

namespace rfbtest {

inline void WriteAll(int fd, const std::vector<std::uint8_t>& b) {
  std::size_t done = 0;
  while (done < b.size()) {
    ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    done += static_cast<std::size_t>(n);
  }
}

// Connects to 127.0.0.1:port, retrying for up to `seconds` (a server still starting).
inline int Connect(int port, double seconds = 10) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    close(fd);
    if (std::chrono::steady_clock::now() > until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

struct ServerInit {
  int width = 0, height = 0;
  PixelFormat pf;
  std::string name;
};

// The client side of the handshake up to ServerInit, on a socket stream.
inline ServerInit Handshake(int fd, rdr::InStream& in) {
  std::uint8_t version[12];
  in.ReadBytes(version, 12);
  if (std::string(reinterpret_cast<char*>(version), 4) != "RFB ") throw std::runtime_error("not an RFB server");
  WriteAll(fd, Bytes().raw({'R', 'F', 'B', ' ', '0', '0', '3', '.', '0', '0', '8', '\n'}).b);
  const unsigned n = in.ReadU8();
  if (n == 0) throw std::runtime_error("server refused the connection");
  bool none = false;
  for (unsigned i = 0; i < n; i++) none |= in.ReadU8() == 1;
  if (!none) throw std::runtime_error("server offers no security type None");
  WriteAll(fd, Bytes().u8(1).b);
  if (in.ReadU32() != 0) throw std::runtime_error("security result: failed");
  WriteAll(fd, Bytes().u8(1).b);  // ClientInit: shared
  // The server's claims are bounded as the viewer bounds them: a side above its largest
  // framebuffer is refused (the viewer would ask its user), and of the desktop name at
  // most what the viewer keeps is kept, the rest read and dropped.
  ServerInit si;
  si.width = in.ReadU16();
  si.height = in.ReadU16();
  if (si.width > RfbSession::kMaxFramebufferSide || si.height > RfbSession::kMaxFramebufferSide)
    throw std::runtime_error("framebuffer of " + std::to_string(si.width) + " x " + std::to_string(si.height) +
                             " pixels: a side is above " + std::to_string(RfbSession::kMaxFramebufferSide));
  si.pf = PixelFormat::Read(in);
  const std::uint32_t nameLength = in.ReadU32();
  si.name.resize(std::min<std::size_t>(nameLength, RfbSession::kDesktopNameCapacity));
  in.ReadBytes(si.name.data(), si.name.size());
  in.Skip(nameLength - si.name.size());
  return si;
}

inline void SendFormatAndEncodings(int fd, const PixelFormat& pf, const std::vector<std::int32_t>& encodings) {
  std::uint8_t wire[PixelFormat::kWireSize];
  pf.ToWire(wire);
  Bytes b;
  b.u8(0).u8(0).u8(0).u8(0).raw(std::vector<std::uint8_t>(wire, wire + sizeof wire));
  b.u8(2).u8(0).u16(static_cast<unsigned>(encodings.size()));
  for (std::int32_t e : encodings) b.u32(static_cast<std::uint32_t>(e));
  WriteAll(fd, b.b);
}

inline void RequestUpdate(int fd, bool incremental, int w, int h) {
  WriteAll(fd, Bytes().u8(3).u8(incremental).u16(0).u16(0).u16(w).u16(h).b);
}

// Reads one server message; a FramebufferUpdate is decoded. Returns the message type.
inline int ReadMessage(DecoderState& st, rdr::InStream& in) {
  const int type = in.ReadU8();
  switch (type) {
    case 0: {
      in.Skip(1);
      const unsigned n = in.ReadU16();
      // An XZ list counts one rectangle per sub-rectangle.
      std::uint64_t step = 1;
      for (std::uint64_t i = 0; i < n; i += step) {
        step = 1;
        RectHeader r = RectHeader::Read(in);
        st.rectanglesReceived++;
        if (r.encoding == rfbenc::kLastRect) break;
        if (r.encoding == rfbenc::kXZ || r.encoding == rfbenc::kXZYW) step = dec::XzSubRectangleCount(r);
        if (r.encoding == rfbenc::kRichCursor || r.encoding == rfbenc::kXCursor) {
          dec::DecodeCursorShape(st, in, r, true);
          continue;
        }
        if (r.encoding == rfbenc::kPointerPos) continue;
        if (!dec::DecodeRectangle(st, in, r)) throw std::runtime_error("unexpected encoding " + std::to_string(r.encoding));
      }
      return 0;
    }
    case 1: {  // colour map entries
      in.Skip(1 + 2);
      in.Skip(static_cast<std::size_t>(in.ReadU16()) * 6);
      return 1;
    }
    case 2: return 2;
    case 3: {
      in.Skip(3);
      in.Skip(in.ReadU32());
      return 3;
    }
    default: throw std::runtime_error("unexpected server message " + std::to_string(type));
  }
}

// Every server message from the stream until it ends, as the decoders see them.
inline void DecodeAll(DecoderState& st, rdr::InStream& in, std::size_t len) {
  while (in.Pos() < len) ReadMessage(st, in);
}

// Reads everything the server sends until it closes (at most `seconds`).
inline std::vector<std::uint8_t> ReadToEnd(int fd, rdr::FdInStream& in, double seconds = 30) {
  std::vector<std::uint8_t> out(in.GetPtr(), in.GetEnd());  // what the stream holds already
  in.SetPtr(in.GetEnd());
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::uint8_t buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    if (std::chrono::steady_clock::now() > until) throw std::runtime_error("server did not end the stream");
  }
  return out;
}

// A server process of the test: started with argv, killed and reaped at the end.
class Process {
public:
  explicit Process(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
  }
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Wait();
    }
  }
  bool Started() const { return pid_ > 0; }
  // Exit status, or -1 (killed or not started).
  int Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Waits up to `seconds` for the process to end; returns its status or -2 if it runs on.
  int WaitFor(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -2;
  }

private:
  pid_t pid_ = -1;
};

// Waits for a file to hold a port number.
inline int WaitForPortFile(const std::string& path, double seconds = 15) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    std::ifstream f(path);
    int port = 0;
    if (f >> port && port > 0) return port;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

inline std::string TempPath(const std::string& stem) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/" + stem + "." + std::to_string(getpid()) + "." +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

// The framebuffer as 8-bit RGB: component * 255 / maximum, as the test server's model.
inline std::vector<std::uint8_t> ToRgb(const MemoryFramebuffer& m) {
  const Framebuffer& fb = m.fb();
  const PixelFormat& pf = fb.format;
  std::vector<std::uint8_t> rgb;
  for (int y = 0; y < fb.height; y++)
    for (int x = 0; x < fb.width; x++) {
      std::uint32_t v = m.Pixel(x, y);
      if (pf.bigEndian)
        v = fb.bytesPerPixel == 4   ? __builtin_bswap32(v)
            : fb.bytesPerPixel == 2 ? __builtin_bswap16(static_cast<std::uint16_t>(v))
                                    : v;
      rgb.push_back(static_cast<std::uint8_t>(((v >> pf.redShift) & pf.redMax) * 255 / pf.redMax));
      rgb.push_back(static_cast<std::uint8_t>(((v >> pf.greenShift) & pf.greenMax) * 255 / pf.greenMax));
      rgb.push_back(static_cast<std::uint8_t>(((v >> pf.blueShift) & pf.blueMax) * 255 / pf.blueMax));
    }
  return rgb;
}

inline double Psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); i++) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(a.size())));
}

}  // namespace rfbtest

#endif  // _WIN32
