#pragma once
// Seconds from the configuration as a clock duration.

#include <algorithm>
#include <chrono>
#include <cmath>

namespace portico {

// An alias may give any finite time-out; converting a huge one straight to
// nanoseconds overflows and would put the deadline in the past. A century is
// as good as forever for a run.
inline std::chrono::steady_clock::duration seconds_to_duration(double seconds) {
  constexpr double kLongest = 100.0 * 365 * 24 * 3600;
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(std::min(seconds, kLongest)));
}

}  // namespace portico
