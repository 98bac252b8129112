#pragma once
// The UTC timestamps of audit lines and job rows: "2026-12-10T02:37:14.123Z".
// Their text sorts in time order, which the job history relies on.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace portico {

inline std::string utc_timestamp_ms(std::chrono::system_clock::time_point at = std::chrono::system_clock::now()) {
  const std::time_t t = std::chrono::system_clock::to_time_t(at);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return buf;
}

}  // namespace portico
