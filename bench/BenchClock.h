// Timing for the benchmarks: wall time, and the CPU time of the calling thread, which
// stays meaningful on a busy machine (time spent waiting for the other side of a socket
// or for a core is not counted; the reads' system calls are).
#pragma once

#include <time.h>

#include <algorithm>

namespace bench {

struct Times {
  double wall = 0, cpu = 0;
};

inline double Now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class Stopwatch {
public:
  Stopwatch() : wall_(Now(CLOCK_MONOTONIC)), cpu_(Now(CLOCK_THREAD_CPUTIME_ID)) {}
  Times Elapsed() const { return {Now(CLOCK_MONOTONIC) - wall_, Now(CLOCK_THREAD_CPUTIME_ID) - cpu_}; }

private:
  double wall_, cpu_;
};

}  // namespace bench
