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
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/fd.h"
#include "common/text.h"

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
  const auto secs = std::chrono::time_point_cast<std::chrono::seconds>(tp);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp - secs).count();
  const std::time_t t = std::chrono::system_clock::to_time_t(secs);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ",%03d", static_cast<int>(ms));
  return buf;
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

// Appends whole lines with one write() each, so concurrent writers and other
// processes appending to the same file never interleave inside a line.
class AppendFile {
 public:
  explicit AppendFile(std::string path) : path_(std::move(path)) { open(); }

  void open() {
    if (path_ == "-") return;
    std::error_code ec;
    const auto parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    int fd;
    do fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os_error(errno, "cannot open log file " + path_);
    fd_.reset(fd);
  }

  void write_line(const char* data, size_t len) {
    const int fd = path_ == "-" ? STDERR_FILENO : fd_.get();
    while (len > 0) {
      const ssize_t n = ::write(fd, data, len);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // a full disk must not take the service down with it
      }
      data += n;
      len -= static_cast<size_t>(n);
    }
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  UniqueFd fd_;
};

class ReopenableSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit ReopenableSink(std::string path) : file_(std::move(path)) {}

  void reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    file_.open();
  }
  const std::string& path() const { return file_.path(); }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t buf;
    formatter_->format(msg, buf);
    file_.write_line(buf.data(), buf.size());
  }
  void flush_() override {}

 private:
  AppendFile file_;
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

struct LoggingService::State {
  std::shared_ptr<ReopenableSink> app;
  std::unique_ptr<AppendFile> audit;
  std::mutex audit_mu;
};

LoggingService::LoggingService() : state_(std::make_unique<State>()) {}
LoggingService::~LoggingService() = default;

void LoggingService::setup_logging(const ConfigStore& config) {
  const Value dir_v = config.get("LogDir");
  const std::string log_dir = dir_v.is_string() ? dir_v.get<std::string>() : "/var/log/portico";
  const Value level_v = config.get("LogLevel");
  const auto base_level = parse_level(level_v.is_string() ? level_v.get<std::string>() : "info");
  const Value app_v = config.get("AppLog");
  const AppLogSpec parsed = parse_app_log(app_v.is_string() ? app_v.get<std::string>() : "app.log");
  const Value audit_v = config.get("AuditLog");
  const std::string audit_spec = audit_v.is_string() ? audit_v.get<std::string>() : "";

  auto sink = std::make_shared<ReopenableSink>(resolve_log_path(log_dir, parsed.path));
  sink->set_formatter(std::make_unique<LineFormatter>(parsed.format == "json"));
  const auto level = parsed.level.empty() ? base_level : parse_level(parsed.level);
  sink->set_level(level);
  std::unique_ptr<AppendFile> audit;
  if (!audit_spec.empty() && audit_spec != "none")
    audit = std::make_unique<AppendFile>(resolve_log_path(log_dir, audit_spec));

  std::lock_guard<std::mutex> lock(mu_);
  Root& r = root();
  r.dist->set_sinks({sink});
  r.logger->set_level(level);
  state_->app = sink;
  std::lock_guard<std::mutex> alock(state_->audit_mu);
  state_->audit = std::move(audit);
}

void LoggingService::reopen_logs() {
  std::lock_guard<std::mutex> lock(mu_);
  if (state_->app) state_->app->reopen();
  std::lock_guard<std::mutex> alock(state_->audit_mu);
  if (state_->audit) state_->audit->open();
}

std::optional<std::string> LoggingService::get_correlation_id() const { return t_correlation_id; }

void LoggingService::audit(const Value& record) {
  std::string line = record.dump(-1, ' ', false, Value::error_handler_t::replace);
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(state_->audit_mu);
  if (state_->audit) state_->audit->write_line(line.data(), line.size());
}

std::string LoggingService::app_log_path() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_->app ? state_->app->path() : "-";
}

std::string LoggingService::audit_log_path() const {
  std::lock_guard<std::mutex> lock(state_->audit_mu);
  return state_->audit ? state_->audit->path() : "";
}

}  // namespace portico
