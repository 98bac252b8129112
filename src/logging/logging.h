#pragma once
// The logging service: application log ("portico" logger), audit log and
// per-thread correlation ids.
//
// Line layout: "YYYY-mm-dd HH:MM:SS,mmm LEVEL portico [correlation-id] message"
// (the id only inside a request). `AppLog` is "path [level] [format]" with
// format text or json; relative paths lie under `LogDir`; "-" is standard error.

#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "interfaces/logging.h"

namespace portico {

// The application logger named "portico". Before setup_logging() it writes to
// standard error. Safe from any thread.
std::shared_ptr<spdlog::logger> app_log();
// The logger object that the executor writes to: the same "portico" logger.
inline std::shared_ptr<spdlog::logger> logger() { return app_log(); }

// Sets the calling thread's correlation id for its lifetime; restores the
// previous one when it ends. Used by request threads.
class CorrelationScope {
 public:
  explicit CorrelationScope(std::string id);
  ~CorrelationScope();
  CorrelationScope(const CorrelationScope&) = delete;
  CorrelationScope& operator=(const CorrelationScope&) = delete;

 private:
  std::optional<std::string> previous_;
};

// Parsed `AppLog` text.
struct AppLogSpec {
  std::string path;    // "-" for standard error
  std::string level;   // empty: LogLevel applies
  std::string format;  // "text" or "json"
};
// Throws std::invalid_argument with a readable message for a bad app_log_text.
AppLogSpec parse_app_log(const std::string& app_log_text);
// Throws std::invalid_argument for an unknown level name.
spdlog::level::level_enum parse_level(const std::string& name);

// Log lines that cannot be written (full disk, I/O error) wait in memory, up
// to these many bytes per log, and are written in order once the file takes
// them; lines beyond are dropped and counted. A write that stops part-way is
// cut back off the file. The first failure and the recovery are reported on
// standard error, or to syslog after log_alerts_to_syslog(true).
constexpr size_t kAuditBacklogBytes = 8 << 20;
constexpr size_t kAppBacklogBytes = 1 << 20;

// For a daemon, whose standard error leads nowhere.
void log_alerts_to_syslog(bool on);

class LoggingService final : public Logging {
 public:
  LoggingService();
  ~LoggingService() override;
  void setup_logging(const SettingsSource& config) override;
  // Reopens each file; when one cannot be reopened the others still are, it
  // keeps its previous descriptor, and the failure is thrown at the end.
  void reopen_logs() override;
  std::optional<std::string> get_correlation_id() const override;
  void audit(const Value& record) override;
  LogHealth log_health() const override;

  // A thread that retries waiting lines every second. Started by the program
  // once it has daemonised (a thread does not survive fork); stop_flusher()
  // makes a last attempt and reports what could not be written.
  void start_flusher();
  void stop_flusher();
  // Writes what waits now; true when nothing is left.
  bool flush();

  // Where the files went, for tests and the health endpoint.
  std::string app_log_path() const;
  std::string audit_log_path() const;

 private:
  struct State;
  mutable std::mutex mu_;
  std::unique_ptr<State> state_;
};

}  // namespace portico
