#include "logging/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

namespace portico::logging_internal {
namespace {

std::atomic<bool> g_syslog{false};

}  // namespace

void alerts_to_syslog(bool on) {
  if (on && !g_syslog.exchange(true)) openlog("portico", LOG_PID, LOG_DAEMON);
  if (!on) g_syslog = false;
}

void alert(const std::string& message) {
  if (g_syslog) {
    syslog(LOG_ERR, "%s", message.c_str());
    return;
  }
  const std::string line = "portico: " + message + "\n";
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

LogFile::LogFile(std::string name, std::string path, size_t backlog_limit)
    : name_(std::move(name)), path_(std::move(path)), limit_(backlog_limit) {}

void LogFile::open() {
  if (path_ == "-") return;
  std::error_code ec;
  const auto parent = std::filesystem::path(path_).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  UniqueFd fd = open_fd(path_, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (!fd) throw_os_error(errno, "cannot open log file " + path_);
  std::lock_guard<std::mutex> l(mu_);
  fd_ = std::move(fd);
  open_fragment_ = false;  // any fragment stays behind in the old file
}

std::vector<std::string> LogFile::take_alerts() { return std::exchange(alerts_, {}); }

void LogFile::write(std::string line) {
  std::vector<std::string> alerts;
  {
    std::lock_guard<std::mutex> l(mu_);
    // What waits goes first, so lines reach the file in the order they were made.
    if (drain() && write_now(line)) {
      if (failing_) recovered();
    } else if (backlog_bytes_ + line.size() <= limit_) {
      backlog_bytes_ += line.size();
      backlog_.push_back(std::move(line));
    } else {
      if (episode_dropped_++ == 0)
        alerts_.push_back(name_ + " log " + path_ + ": " + std::to_string(backlog_bytes_) +
                          " bytes of lines are waiting; further lines are dropped and counted until the file takes "
                          "them again");
      ++dropped_;
    }
    alerts = take_alerts();
  }
  for (const auto& m : alerts) alert(m);
}

bool LogFile::flush() {
  std::vector<std::string> alerts;
  bool empty;
  {
    std::lock_guard<std::mutex> l(mu_);
    const bool waited = !backlog_.empty();
    empty = drain();
    if (empty && waited && failing_) recovered();
    alerts = take_alerts();
  }
  for (const auto& m : alerts) alert(m);
  return empty;
}

bool LogFile::drain() {
  while (!backlog_.empty()) {
    if (!write_now(backlog_.front())) return false;
    backlog_bytes_ -= backlog_.front().size();
    backlog_.pop_front();
  }
  return true;
}

bool LogFile::write_now(const std::string& data) {
  const int fd = path_ == "-" ? STDERR_FILENO : fd_.get();
  if (fd < 0) {
    failed(EBADF);
    return false;
  }
  std::string with_break;
  const std::string* out = &data;
  if (open_fragment_) {
    with_break = "\n" + data;
    out = &with_break;
  }
  struct stat before {};
  const bool regular = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
  size_t done = 0;
  int err = 0;
  while (done < out->size()) {
    const ssize_t n = ::write(fd, out->data() + done, out->size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      err = n < 0 ? errno : EIO;
      break;
    }
  }
  if (done == out->size()) {
    open_fragment_ = false;
    return true;
  }
  if (done > 0) {
    // Cut the fragment off again; only when the file is exactly as this write
    // left it (a rotation may have truncated it meanwhile).
    struct stat after {};
    const bool ours = regular && ::fstat(fd, &after) == 0 &&
                      after.st_size == before.st_size + static_cast<off_t>(done);
    if (!ours || ::ftruncate(fd, before.st_size) != 0) open_fragment_ = true;
  }
  failed(err);
  return false;
}

void LogFile::failed(int err) {
  ++failures_;
  last_error_ = err;
  if (!failing_) {
    failing_ = true;
    episode_failures_ = episode_dropped_ = 0;
    alerts_.push_back(name_ + " log " + path_ + ": write failed (" + std::strerror(err) +
                      "); lines are kept in memory and written once the file takes them");
  }
  ++episode_failures_;
}

void LogFile::recovered() {
  failing_ = false;
  std::string msg = name_ + " log " + path_ + ": writing again after " + std::to_string(episode_failures_) +
                    " failed attempts";
  if (episode_dropped_) msg += "; " + std::to_string(episode_dropped_) + " lines were dropped";
  alerts_.push_back(std::move(msg));
}

LogFileStatus LogFile::status() const {
  std::lock_guard<std::mutex> l(mu_);
  LogFileStatus s;
  s.name = name_;
  s.path = path_;
  s.failing = failing_;
  if (last_error_) s.error = std::strerror(last_error_);
  s.write_failures = failures_;
  s.dropped = dropped_;
  s.backlog = backlog_.size();
  return s;
}

}  // namespace portico::logging_internal
