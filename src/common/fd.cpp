#include "common/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace portico {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

UniqueFd open_fd(const std::string& path, int flags, int mode) {
  int raw;
  do raw = ::open(path.c_str(), flags, mode);
  while (raw < 0 && errno == EINTR);
  return UniqueFd(raw);
}

void throw_os_error(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

void write_file(const std::string& path, const std::string& data, int mode) {
  UniqueFd fd = open_fd(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (!fd) throw_os_error(errno, "cannot open " + path);
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd.get(), data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, "cannot write " + path);
    }
    off += static_cast<size_t>(n);
  }
  if (::close(fd.release()) != 0 && errno != EINTR) throw_os_error(errno, "cannot write " + path);
}

std::string read_file(const std::string& path) {
  UniqueFd fd = open_fd(path, O_RDONLY | O_CLOEXEC);
  if (!fd) throw_os_error(errno, "cannot open " + path);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, "cannot read " + path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::optional<std::string> real_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

bool path_within(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/');
}

}  // namespace portico
