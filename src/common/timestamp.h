#pragma once
// Every time the service writes: log lines, audit lines, job rows, messages.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace portico {

enum class Zone { utc, local };

// `pattern` (strftime) for the time in the zone, then, when `ms_separator` is
// given, the separator and the milliseconds as three digits.
inline std::string format_time(std::chrono::system_clock::time_point at, Zone zone, const char* pattern,
                               char ms_separator = 0) {
  const auto secs = std::chrono::floor<std::chrono::seconds>(at);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - secs).count();
  const std::time_t t = std::chrono::system_clock::to_time_t(secs);
  std::tm tm{};
  if (zone == Zone::utc) gmtime_r(&t, &tm);
  else localtime_r(&t, &tm);
  char buf[96];
  size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
  if (ms_separator) std::snprintf(buf + n, sizeof buf - n, "%c%03d", ms_separator, static_cast<int>(ms));
  return buf;
}

// Audit lines and job rows: "2026-12-10T02:37:14.123Z". The text sorts in
// time order, which the job history relies on.
inline std::string utc_timestamp_ms(std::chrono::system_clock::time_point at = std::chrono::system_clock::now()) {
  return format_time(at, Zone::utc, "%Y-%m-%dT%H:%M:%S", '.') + "Z";
}

}  // namespace portico
