// POSIX implementation of the system layer (native builds: tests, fuzzing, benchmarks).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "rdr/Sys.h"

namespace rdr {

bool SocketsStartup(int* versionObtained) {
  if (versionObtained) *versionObtained = 2;
  return true;
}
void SocketsCleanup() {}

int LastSocketError() { return errno; }
bool IsInterrupted(int err) { return err == EINTR; }
bool IsConnectionReset(int err) { return err == ECONNRESET; }

static int WaitFor(SocketHandle s, short events, int timeoutMs) {
  pollfd p{static_cast<int>(s), events, 0};
  return ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
}
int WaitReadable(SocketHandle s, int timeoutMs) { return WaitFor(s, POLLIN, timeoutMs); }
int WaitWritable(SocketHandle s, int timeoutMs) { return WaitFor(s, POLLOUT, timeoutMs); }

long SocketRecv(SocketHandle s, void* buf, std::size_t len) {
  return static_cast<long>(::recv(static_cast<int>(s), buf, len, 0));
}
long SocketRecvAll(SocketHandle s, void* buf, std::size_t len) {
  return static_cast<long>(::recv(static_cast<int>(s), buf, len, MSG_WAITALL));
}
long SocketSend(SocketHandle s, const void* buf, std::size_t len) {
  return static_cast<long>(::send(static_cast<int>(s), buf, len, MSG_NOSIGNAL));
}

void SocketShutdown(SocketHandle s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }
void SocketClose(SocketHandle s) { ::close(static_cast<int>(s)); }

bool SocketPair(SocketHandle out[2]) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  out[0] = fds[0];
  out[1] = fds[1];
  return true;
}

void SystemErrorText(int err, char* buf, std::size_t len) {
  if (!len) return;
  const char* t = std::strerror(err);
  std::snprintf(buf, len, "%s", t ? t : "Unknown error");
}

std::uint64_t GetTimeMicroseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

void DebugOutput(const char* text) { std::fputs(text, stderr); }

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace rdr
