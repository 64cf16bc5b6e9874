// Winsock/Win32 implementation of the system layer (the product).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "rdr/Sys.h"

namespace rdr {

bool SocketsStartup(int* versionObtained) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return false;
  if (versionObtained) *versionObtained = LOBYTE(data.wVersion);
  return true;
}
void SocketsCleanup() { WSACleanup(); }

int LastSocketError() { return WSAGetLastError(); }
bool IsInterrupted(int err) { return err == WSAEINTR; }
bool IsConnectionReset(int err) { return err == WSAECONNRESET; }

static int WaitFor(SocketHandle s, bool write, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(s), &set);
  timeval tv;
  timeval* ptv = nullptr;
  if (timeoutMs >= 0) {
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    ptv = &tv;
  }
  return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, ptv);
}
int WaitReadable(SocketHandle s, int timeoutMs) { return WaitFor(s, false, timeoutMs); }
int WaitWritable(SocketHandle s, int timeoutMs) { return WaitFor(s, true, timeoutMs); }

long SocketRecv(SocketHandle s, void* buf, std::size_t len) {
  int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  return recv(static_cast<SOCKET>(s), static_cast<char*>(buf), n, 0);
}
long SocketRecvAll(SocketHandle s, void* buf, std::size_t len) {
  // MSG_WAITALL needs a blocking stream socket; where a stack refuses the flag the block
  // is read the ordinary way, a piece per call.
  static std::atomic<bool> refused{false};
  int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  if (!refused) {
    int r = recv(static_cast<SOCKET>(s), static_cast<char*>(buf), n, MSG_WAITALL);
    if (r != SOCKET_ERROR) return r;
    const int err = WSAGetLastError();
    if (err != WSAEOPNOTSUPP && err != WSAEINVAL) return r;
    refused = true;
  }
  return recv(static_cast<SOCKET>(s), static_cast<char*>(buf), n, 0);
}
long SocketSend(SocketHandle s, const void* buf, std::size_t len) {
  int n = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  return send(static_cast<SOCKET>(s), static_cast<const char*>(buf), n, 0);
}

void SocketShutdown(SocketHandle s) { shutdown(static_cast<SOCKET>(s), SD_BOTH); }
void SocketClose(SocketHandle s) { closesocket(static_cast<SOCKET>(s)); }

bool SocketPair(SocketHandle out[2]) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  int len = sizeof a;
  SOCKET c = INVALID_SOCKET, s = INVALID_SOCKET;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0 && listen(listener, 1) == 0) {
    c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (c != INVALID_SOCKET && connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
      s = accept(listener, nullptr, nullptr);
  }
  closesocket(listener);
  if (s == INVALID_SOCKET) {
    if (c != INVALID_SOCKET) closesocket(c);
    return false;
  }
  BOOL one = TRUE;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  out[0] = static_cast<SocketHandle>(c);
  out[1] = static_cast<SocketHandle>(s);
  return true;
}

void SystemErrorText(int err, char* buf, std::size_t len) {
  if (!len) return;
  // The C runtime's text: Winsock numbers read "Unknown error", which the connection
  // thread's messages have always shown.
  const char* t = std::strerror(err);
  std::snprintf(buf, len, "%s", t ? t : "Unknown error");
}

std::uint64_t GetTimeMicroseconds() {
  static LARGE_INTEGER freq = [] {
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f)) f.QuadPart = 0;
    return f;
  }();
  LARGE_INTEGER now;
  if (freq.QuadPart > 0 && QueryPerformanceCounter(&now)) {
    return CounterToMicroseconds(static_cast<std::uint64_t>(now.QuadPart),
                                 static_cast<std::uint64_t>(freq.QuadPart));
  }
  return static_cast<std::uint64_t>(GetTickCount64()) * 1000u;
}

void DebugOutput(const char* text) { OutputDebugStringA(text); }

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

}  // namespace rdr
