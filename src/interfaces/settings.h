#pragma once
// The service's settings, one typed field per configuration key, each with its
// built-in default. The configuration store makes one on every load and hands
// it out as an immutable snapshot; checks and conversions happen there, so a
// reader takes a field as it is.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "common/value.h"

namespace portico {

// Seconds as the operator wrote them. Messages show 3 as "3" and 3.0 as "3.0",
// so a whole number is kept apart from one written with a fraction.
class Seconds {
 public:
  constexpr Seconds() = default;
  // Whole numbers only: a fraction goes through fractional() and is never truncated.
  template <std::integral T>
  constexpr Seconds(T whole) : number_(static_cast<long long>(whole)) {}
  static Seconds fractional(double s) {
    Seconds out;
    out.number_.emplace<double>(s);
    return out;
  }
  constexpr double count() const {
    return std::holds_alternative<long long>(number_) ? static_cast<double>(std::get<long long>(number_))
                                                      : std::get<double>(number_);
  }
  // An integer or a float, the way it was written.
  Value value() const {
    return std::holds_alternative<long long>(number_) ? Value(std::get<long long>(number_))
                                                      : Value(std::get<double>(number_));
  }
  bool operator==(const Seconds&) const = default;

 private:
  std::variant<long long, double> number_;
};

struct Settings {
  std::string pid_file = "/run/portico.pid";
  std::string auth_dir = "/etc/portico/auth";
  std::string alias_dir = "/etc/portico/aliases";
  std::string shared_dir = "/tmp/portico";  // an empty value in the file means this default
  std::string external_dir;

  std::string listen_address = "127.0.0.1";
  int listen_port = 8080;
  bool ssl_enabled = false;
  std::optional<std::string> ssl_cert;
  std::optional<std::string> ssl_key;

  std::string log_level = "info";            // lower case; "warn" is stored as "warning"
  std::string log_dir = "/var/log/portico";  // an empty value in the file means this default
  std::string audit_log = "audit.log";
  std::string app_log = "app.log";  // "path [level] [format]" as written; logging parses it
  std::optional<std::string> logs_api_key;    // absent: the logs route answers 404
  std::optional<std::string> health_api_key;  // absent: health shows no details

  Seconds auth_reload = 30;  // 0: no polling
  Seconds alias_reload = 30;
  std::optional<bool> container;  // absent: detect
  Seconds max_timeout = 0;        // 0: no cap
  // Lower case; a word that names no policy is kept and acts as "no".
  std::string refresh_image = "no";
  std::string prefetch_image = "no";

  std::size_t max_concurrent_runs = 64;
  std::size_t max_request_bytes = 1048576;
  std::uint64_t max_output_bytes = 67108864;
  std::optional<std::size_t> max_queued_runs;  // absent: as many as max_concurrent_runs
  std::size_t max_header_bytes = 16384;
  std::size_t max_connections = 4096;
  Seconds request_header_timeout = 10;
  Seconds request_timeout = 30;
  Seconds keepalive_timeout = 5;
  std::size_t auth_failure_limit = 10;  // 0: no sign-in throttling
  std::string job_database = "jobs.sqlite3";  // relative: under log_dir
  std::size_t job_retention_days = 30;        // 0: keep every job
  std::size_t job_output_bytes = 1048576;     // per stream, buffered for event streams

  bool operator==(const Settings&) const = default;
};

}  // namespace portico
