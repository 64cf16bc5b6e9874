// The small system layer under the streams: sockets, clock and error texts.
// Winsock on Windows, POSIX elsewhere; callers never see either API.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rdr {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// Starts the socket library where one needs starting (Winsock); true on success.
bool SocketsStartup(int* versionObtained);
void SocketsCleanup();

// The last socket error of this thread (WSAGetLastError or errno).
int LastSocketError();
bool IsInterrupted(int err);
bool IsConnectionReset(int err);

// Waits until the socket is readable. timeoutMs < 0 waits for ever, 0 polls.
// Returns select's result: >0 readable, 0 timed out, <0 error (LastSocketError()).
int WaitReadable(SocketHandle s, int timeoutMs);
// Same for writability.
int WaitWritable(SocketHandle s, int timeoutMs);

// recv/send: bytes transferred, 0 when the peer closed (recv), <0 on error.
long SocketRecv(SocketHandle s, void* buf, std::size_t len);
// recv that waits until all len bytes have come (fewer only at the peer's close, on an
// error or an interruption): one call for a block whose length the caller knows.
long SocketRecvAll(SocketHandle s, void* buf, std::size_t len);
long SocketSend(SocketHandle s, const void* buf, std::size_t len);

void SocketShutdown(SocketHandle s);
void SocketClose(SocketHandle s);

// A connected pair of stream sockets over loopback (for tests and in-process pipes).
bool SocketPair(SocketHandle out[2]);

// The C runtime's text for an error number ("Unknown error" for Winsock numbers on Windows).
void SystemErrorText(int err, char* buf, std::size_t len);

// Monotonic time in microseconds.
std::uint64_t GetTimeMicroseconds();

// A high-resolution counter reading in microseconds, without overflow for any uptime:
// whole seconds and the remainder are scaled separately.
inline std::uint64_t CounterToMicroseconds(std::uint64_t counter, std::uint64_t frequency) {
  return (counter / frequency) * 1000000u + (counter % frequency) * 1000000u / frequency;
}

// Writes a line to the developer channel (the debugger on Windows, stderr elsewhere).
void DebugOutput(const char* text);

void SleepMs(int ms);

}  // namespace rdr
