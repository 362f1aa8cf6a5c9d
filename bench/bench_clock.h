// Wall and CPU time and peak memory for the benchmarks.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <ctime>

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// CPU time of the process (user + system), in seconds: on a shared machine
// the wall clock also counts the other processes.
inline double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Peak resident set size of the process so far, in MiB.
inline double PeakRssMiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_maxrss) / 1024.0;
}
inline long PeakRssMb() { return long(PeakRssMiB()); }
