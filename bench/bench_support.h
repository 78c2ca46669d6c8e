#pragma once
// What the benchmarks share: this process's CPU time, for a share of one core.

#include <sys/resource.h>

namespace whorlgen::bench {

// User and system time of the whole process so far, in seconds.
inline double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace whorlgen::bench
