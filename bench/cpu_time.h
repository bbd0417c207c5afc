// CPU time of this process's threads, for the benchmarks' CPU figures.
#pragma once

#include <pthread.h>
#include <time.h>

#include <thread>

namespace ov::bench {

// Seconds of CPU a clock has counted (CLOCK_PROCESS_CPUTIME_ID, CLOCK_THREAD_CPUTIME_ID or a
// thread's own clock); 0 when it cannot be read.
inline double CpuSeconds(clockid_t clock) {
  timespec ts{};
  if (::clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU time consumed so far by another thread of this process.
inline double ThreadCpuSeconds(std::thread& thread) {
  clockid_t clock{};
  if (::pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return 0;
  return CpuSeconds(clock);
}

}  // namespace ov::bench
