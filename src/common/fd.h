#pragma once
// Owning wrapper for one file descriptor. Descriptors are opened close-on-exec
// everywhere so that no child inherits one by accident.

#include <optional>
#include <string>
#include <utility>

namespace portico {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes the current descriptor (errors ignored: the descriptor is gone either way).
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// open(2), retried while a signal interrupts it; an empty UniqueFd on failure, errno set.
UniqueFd open_fd(const std::string& path, int flags, int mode = 0);

// Throws std::system_error naming the operation and the path with the OS message.
[[noreturn]] void throw_os_error(int err, const std::string& what);

// Writes a whole file atomically enough for our use (truncate + write); throws on error.
void write_file(const std::string& path, const std::string& data, int mode = 0644);
// Reads a whole file; throws std::system_error naming the path.
std::string read_file(const std::string& path);

// The canonical absolute path (links resolved), or absent when it does not exist.
std::optional<std::string> real_path(const std::string& path);
// Whether the canonical `path` is `root` or lies below it.
bool path_within(const std::string& path, const std::string& root);

}  // namespace portico
