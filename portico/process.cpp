#include "portico/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "common/timestamp.h"

namespace portico::app {

const char* const kPreInitLog = "/var/log/portico/app.log";

void _daemonize() {
  pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "ERROR: daemon fork #1 failed: %s\n", std::strerror(errno));
    std::exit(1);
  }
  if (pid > 0) std::exit(0);
  if (setsid() < 0) {
    std::fprintf(stderr, "ERROR: setsid failed: %s\n", std::strerror(errno));
    std::exit(1);
  }
  pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "ERROR: daemon fork #2 failed: %s\n", std::strerror(errno));
    std::exit(1);
  }
  if (pid > 0) std::exit(0);
  std::fflush(stdout);
  std::fflush(stderr);
  const int fd = ::open("/dev/null", O_RDWR);
  if (fd >= 0) {
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO) ::close(fd);
  }
}

void _write_pid(const std::string& path) {
  const std::string text = std::to_string(getpid());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = 0;
  if (fd < 0) {
    err = errno;
  } else {
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) err = errno ? errno : EIO;
    if (::close(fd) != 0 && !err) err = errno;
  }
  if (err) {
    std::fprintf(stderr, "ERROR: cannot write PID file %s: %s\n", path.c_str(), std::strerror(err));
    std::exit(1);
  }
}

void _remove_pid(const std::string& path) { ::unlink(path.c_str()); }

void _log_pre_init_error(const std::string& msg) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(kPreInitLog).parent_path(), ec);
  if (ec) return;
  const int fd = ::open(kPreInitLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return;
  const std::string stamp = format_time(std::chrono::system_clock::now(), Zone::local, "%Y-%m-%d %H:%M:%S", ',');
  const std::string line = stamp + " ERROR portico " + msg + "\n";
  [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
}

bool _is_running_in_container(const Value& setting) {
  if (setting.is_null()) {
    struct stat st;
    if (::lstat("/.dockerenv", &st) == 0) return true;
    if (::lstat("/run/.containerenv", &st) == 0) return true;
    return std::getenv("container") != nullptr;
  }
  std::string text = setting.is_boolean() ? (setting.get<bool>() ? "true" : "false") : text_form(setting);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text == "1" || text == "true";
}

std::string _container_mode_description(const Value& setting) {
  const bool in_container = _is_running_in_container(setting);
  const std::string source = setting.is_null() ? "DETECTED" : "configured";
  return "Running on " + std::string(in_container ? "container" : "host") + " (" + source + ")";
}

std::optional<std::string> _external_dir_startup_warning(const Value& setting, const Value& external_dir) {
  const bool empty = external_dir.is_null() || (external_dir.is_string() && external_dir.get<std::string>().empty());
  if (_is_running_in_container(setting) && empty)
    return std::string(
        "Portico is running in a container but ExternalDir is not set; this is fine as long as no alias mounts a "
        "SharedDir-relative volume in a sibling container");
  return std::nullopt;
}

}  // namespace portico::app
