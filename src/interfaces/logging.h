#pragma once
// The logging service as the libraries call it.

#include <optional>
#include <string>

#include "common/value.h"

namespace portico {

class SettingsSource;

// What the logs report about themselves, for the health and metrics endpoints.
struct LogHealth {
  std::optional<std::string> degraded;  // why writes fail; safe to show anyone
  Value details = Value::object();      // per log: path, state, counters
  std::string metrics;                  // Prometheus text of the counters
};

// Application log set-up and correlation ids. The application logger itself is
// the spdlog logger named "portico" (see logging/logging.h for `app_log()`).
class Logging {
 public:
  virtual ~Logging() = default;
  virtual void setup_logging(const SettingsSource& config) = 0;
  virtual void reopen_logs() = 0;
  // The calling thread's request id, or absent outside a request.
  virtual std::optional<std::string> get_correlation_id() const = 0;
  // One audit record (a JSON object) as one line of the audit log.
  virtual void audit(const Value& record) = 0;
  virtual LogHealth log_health() const { return {}; }
};

}  // namespace portico
