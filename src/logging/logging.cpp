#include "logging/logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/details/log_msg.h>
#include <spdlog/formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "common/fd.h"
#include "common/text.h"
#include "common/thread.h"
#include "common/timestamp.h"
#include "interfaces/settings_source.h"
#include "logging/internal.h"
#include "logging/log_file.h"

namespace portico {
namespace {

thread_local std::optional<std::string> t_correlation_id;

const char* level_name(spdlog::level::level_enum l) {
  switch (l) {
    case spdlog::level::trace:
    case spdlog::level::debug: return "DEBUG";
    case spdlog::level::info: return "INFO";
    case spdlog::level::warn: return "WARNING";
    case spdlog::level::err: return "ERROR";
    case spdlog::level::critical: return "CRITICAL";
    default: return "NOTSET";
  }
}

std::string timestamp(std::chrono::system_clock::time_point tp) {
  return format_time(tp, Zone::local, "%Y-%m-%d %H:%M:%S", ',');
}

// Messages may carry client-supplied text: a line break in one must not be
// able to forge a second log line.
void append_escaped_line(std::string& out, std::string_view msg) {
  for (char c : msg) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out.push_back(c);
  }
}

class LineFormatter final : public spdlog::formatter {
 public:
  explicit LineFormatter(bool json) : json_(json) {}

  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    const std::string_view text(msg.payload.data(), msg.payload.size());
    std::string line;
    if (json_) {
      Value rec = Value::object();
      rec["time"] = timestamp(msg.time);
      rec["level"] = level_name(msg.level);
      rec["logger"] = "portico";
      if (t_correlation_id) rec["correlation_id"] = *t_correlation_id;
      rec["message"] = std::string(text);
      line = rec.dump(-1, ' ', false, Value::error_handler_t::replace);
    } else {
      line = timestamp(msg.time);
      line += ' ';
      line += level_name(msg.level);
      line += " portico ";
      if (t_correlation_id) {
        line += '[';
        line += *t_correlation_id;
        line += "] ";
      }
      append_escaped_line(line, text);
    }
    line.push_back('\n');
    dest.append(line.data(), line.data() + line.size());
  }

  std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<LineFormatter>(json_); }

 private:
  bool json_;
};

// The application log as an spdlog sink; each line goes out with one write().
class ReopenableSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit ReopenableSink(std::string path)
      : file_(std::make_shared<logging_internal::LogFile>("app", std::move(path), kAppBacklogBytes)) {
    file_->open();
  }

  const std::shared_ptr<logging_internal::LogFile>& file() const { return file_; }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t buf;
    formatter_->format(msg, buf);
    file_->write(std::string(buf.data(), buf.size()));
  }
  void flush_() override {}

 private:
  std::shared_ptr<logging_internal::LogFile> file_;
};

struct Root {
  std::shared_ptr<spdlog::sinks::dist_sink_mt> dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
  std::shared_ptr<spdlog::logger> logger;

  Root() {
    auto err = std::make_shared<ReopenableSink>("-");
    err->set_formatter(std::make_unique<LineFormatter>(false));
    dist->set_sinks({err});
    logger = std::make_shared<spdlog::logger>("portico", dist);
    logger->set_level(spdlog::level::info);
    spdlog::drop("portico");
    spdlog::register_logger(logger);
  }
};

Root& root() {
  static Root r;
  return r;
}

std::string resolve_log_path(const std::string& log_dir, const std::string& path) {
  if (path == "-") return path;
  return path_join({log_dir, path});
}

}  // namespace

std::shared_ptr<spdlog::logger> app_log() { return root().logger; }

std::optional<std::string> current_correlation_id() { return t_correlation_id; }

CorrelationScope::CorrelationScope(std::string id) : previous_(std::move(t_correlation_id)) {
  t_correlation_id = std::move(id);
}

CorrelationScope::~CorrelationScope() { t_correlation_id = std::move(previous_); }

spdlog::level::level_enum parse_level(const std::string& name) {
  const std::string n = ascii_lower(name);
  if (n == "debug") return spdlog::level::debug;
  if (n == "info") return spdlog::level::info;
  if (n == "warning" || n == "warn") return spdlog::level::warn;
  if (n == "error") return spdlog::level::err;
  if (n == "critical") return spdlog::level::critical;
  throw std::invalid_argument("unknown log level " + quoted(name));
}

AppLogSpec parse_app_log(const std::string& app_log_text) {
  std::istringstream in(app_log_text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty() || words.size() > 3) throw std::invalid_argument("expected \"path [level] [format]\", got " + quoted(app_log_text));
  AppLogSpec out{words[0], "", "text"};
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string w = ascii_lower(words[i]);
    if (w == "text" || w == "json") {
      out.format = w;
    } else {
      parse_level(w);
      if (!out.level.empty()) throw std::invalid_argument("two levels in " + quoted(app_log_text));
      out.level = w;
    }
  }
  return out;
}

void log_alerts_to_syslog(bool on) { logging_internal::alerts_to_syslog(on); }

struct LoggingService::State {
  std::shared_ptr<logging_internal::LogFile> app;  // the file behind the app sink
  std::shared_ptr<logging_internal::LogFile> audit;

  std::mutex flusher_mu;
  std::condition_variable flusher_cv;
  bool flusher_stop = false;
  std::thread flusher;
};

LoggingService::LoggingService() : state_(std::make_unique<State>()) {}
LoggingService::~LoggingService() { stop_flusher(); }

void LoggingService::setup_logging(const SettingsSource& config) {
  const std::shared_ptr<const Settings> settings = config.settings();
  const std::string& log_dir = settings->log_dir;
  const auto base_level = parse_level(settings->log_level);
  const AppLogSpec parsed = parse_app_log(settings->app_log);
  const std::string& audit_target = settings->audit_log;

  auto sink = std::make_shared<ReopenableSink>(resolve_log_path(log_dir, parsed.path));
  sink->set_formatter(std::make_unique<LineFormatter>(parsed.format == "json"));
  const auto level = parsed.level.empty() ? base_level : parse_level(parsed.level);
  sink->set_level(level);
  std::shared_ptr<logging_internal::LogFile> audit;
  if (!audit_target.empty() && audit_target != "none") {
    audit = std::make_shared<logging_internal::LogFile>("audit", resolve_log_path(log_dir, audit_target),
                                                        kAuditBacklogBytes);
    audit->open();
  }

  std::lock_guard<std::mutex> lock(mu_);
  Root& r = root();
  r.dist->set_sinks({sink});
  r.logger->set_level(level);
  state_->app = sink->file();
  state_->audit = std::move(audit);
}

void LoggingService::reopen_logs() {
  std::shared_ptr<logging_internal::LogFile> files[2];
  {
    std::lock_guard<std::mutex> lock(mu_);
    files[0] = state_->app;
    files[1] = state_->audit;
  }
  std::string failures;
  for (const auto& f : files) {
    if (!f) continue;
    try {
      f->open();
    } catch (const std::exception& e) {
      failures += (failures.empty() ? "" : "; ") + std::string(e.what());
    }
  }
  if (!failures.empty()) throw std::runtime_error(failures);
}

std::optional<std::string> LoggingService::get_correlation_id() const { return t_correlation_id; }

void LoggingService::audit(const Value& record) {
  std::string line = record.dump(-1, ' ', false, Value::error_handler_t::replace);
  line.push_back('\n');
  std::shared_ptr<logging_internal::LogFile> file;
  {
    std::lock_guard<std::mutex> lock(mu_);
    file = state_->audit;
  }
  if (file) file->write(std::move(line));
}

bool LoggingService::flush() {
  std::shared_ptr<logging_internal::LogFile> app, audit;
  {
    std::lock_guard<std::mutex> lock(mu_);
    app = state_->app;
    audit = state_->audit;
  }
  bool empty = true;
  for (const auto& f : {audit, app})
    if (f && !f->flush()) empty = false;
  return empty;
}

void LoggingService::start_flusher() {
  std::lock_guard<std::mutex> l(state_->flusher_mu);
  if (state_->flusher.joinable()) return;
  state_->flusher_stop = false;
  state_->flusher = start_quiet_thread([this] {
    pthread_setname_np(pthread_self(), "portico-logs");
    std::unique_lock<std::mutex> l(state_->flusher_mu);
    while (!state_->flusher_cv.wait_for(l, std::chrono::seconds(1), [this] { return state_->flusher_stop; })) {
      l.unlock();
      flush();
      l.lock();
    }
  });
}

void LoggingService::stop_flusher() {
  {
    std::lock_guard<std::mutex> l(state_->flusher_mu);
    state_->flusher_stop = true;
  }
  state_->flusher_cv.notify_all();
  if (state_->flusher.joinable()) state_->flusher.join();
  if (flush()) return;
  for (const auto& d : log_health().details)
    if (d.value("backlog_records", 0) > 0)
      logging_internal::alert(d.value("name", std::string()) + " log " + d.value("path", std::string()) + ": " +
                              std::to_string(d.value("backlog_records", 0)) + " lines could not be written");
}

LogHealth LoggingService::log_health() const {
  std::vector<logging_internal::LogFileStatus> statuses;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& f : {state_->app, state_->audit})
      if (f) statuses.push_back(f->status());
  }
  LogHealth out;
  std::string failures = "# HELP portico_log_write_failures_total Writes to a log file that failed.\n"
                         "# TYPE portico_log_write_failures_total counter\n";
  std::string dropped = "# HELP portico_log_lines_dropped_total Log lines lost because too many were waiting.\n"
                        "# TYPE portico_log_lines_dropped_total counter\n";
  std::string waiting = "# HELP portico_log_lines_waiting Log lines waiting for their file to take them.\n"
                        "# TYPE portico_log_lines_waiting gauge\n";
  for (const auto& st : statuses) {
    const std::string label = "{log=\"" + st.name + "\"} ";
    failures += "portico_log_write_failures_total" + label + std::to_string(st.write_failures) + "\n";
    dropped += "portico_log_lines_dropped_total" + label + std::to_string(st.dropped) + "\n";
    waiting += "portico_log_lines_waiting" + label + std::to_string(st.backlog) + "\n";
    out.details[st.name] = Value{{"name", st.name},
                                 {"path", st.path},
                                 {"failing", st.failing},
                                 {"error", st.error.empty() ? Value() : Value(st.error)},
                                 {"write_failures", st.write_failures},
                                 {"lines_dropped", st.dropped},
                                 {"backlog_records", st.backlog}};
    if (st.failing) {
      const std::string reason = st.name + " log writes are failing (" + st.error + ")";
      out.degraded = out.degraded ? *out.degraded + "; " + reason : reason;
    }
  }
  out.metrics = failures + dropped + waiting;
  return out;
}

std::string LoggingService::app_log_path() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_->app ? state_->app->path() : "-";
}

std::string LoggingService::audit_log_path() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_->audit ? state_->audit->path() : "";
}

}  // namespace portico
