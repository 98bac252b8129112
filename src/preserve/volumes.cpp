// Copies of a run's preserved volumes in LogDir.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "common/fd.h"
#include "common/text.h"
#include "logging/logging.h"
#include "preserve/internal.h"
#include "preserve/preserve.h"

namespace portico::preserve {
namespace {

enum class Copied { yes, failed, outside };

std::string os_text(int err) { return std::generic_category().message(err); }

// The checks are made on the descriptor that is read, so a link swapped in
// after the walk still cannot lead the copy out of the volume.
Copied copy_one(const std::string& from, const std::string& to, const std::string& root, std::string& why) {
  const auto fail = [&why](std::string text) {
    why = std::move(text);
    return Copied::failed;
  };
  struct stat st;
  // Opening a FIFO or a device node could block or act on hardware: look first.
  if (::stat(from.c_str(), &st) != 0) return fail(os_text(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  UniqueFd in = open_fd(from, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (!in) return fail(os_text(errno));
  if (::fstat(in.get(), &st) != 0) return fail(os_text(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  const auto real = real_path(from);
  struct stat at_real;
  if (!real || !path_within(*real, root) || ::stat(real->c_str(), &at_real) != 0 || at_real.st_dev != st.st_dev ||
      at_real.st_ino != st.st_ino)
    return Copied::outside;

  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ec);
  if (ec) return fail(ec.message());
  UniqueFd out(_open_dest(to, 0600));
  if (!out) return fail(os_text(errno));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(os_text(errno));
    if (n == 0) break;
    for (ssize_t off = 0; off < n;) {
      const ssize_t w = ::write(out.get(), buf + off, static_cast<size_t>(n - off));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return fail(os_text(errno));
      off += w;
    }
  }
  // Setuid, setgid and sticky stay behind: the gateway would otherwise turn
  // whatever the command left into a setuid program owned by the gateway's user.
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::fchmod(out.get(), st.st_mode & 0777) != 0 || ::futimens(out.get(), times) != 0) return fail(os_text(errno));
  if (::close(out.release()) != 0 && errno != EINTR) return fail(os_text(errno));
  return Copied::yes;
}

}  // namespace

std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir, const std::string& preserve_mode,
                                         const Value& prefix, const std::string& log_dir, const Value& correlation_id) {
  std::vector<std::string> errors;
  const auto entries = compute_entries(local_path, is_dir);
  if (entries.empty()) return errors;
  for (const auto& [name, what] : {std::pair{&prefix, "preservePrefix"}, {&correlation_id, "correlation id"}}) {
    if (!name->is_string()) continue;  // _dest_path rejects it below
    if (const auto why = _escape_reason(name->get_ref<const std::string&>(), what)) {
      app_log()->warn("Not preserving " + quoted(local_path) + ": " + *why);
      return errors;
    }
  }
  const auto root = _volume_root(local_path, is_dir);
  if (!root) return errors;
  for (const auto& [rel_path, abs_path] : entries) {
    const std::string dest = _dest_path(rel_path, preserve_mode, prefix, log_dir, correlation_id);
    std::string why;
    switch (copy_one(abs_path, dest, *root, why)) {
      case Copied::yes:
        break;
      case Copied::failed:
        errors.push_back("failed to preserve " + quoted(abs_path) + " to " + quoted(dest) + ": " + why);
        break;
      case Copied::outside:
        app_log()->warn("Not preserving " + quoted(abs_path) + ": it links outside the volume");
        break;
    }
  }
  return errors;
}

void preserve_volumes(const std::vector<VolumeSpec>& specs, const Value& log_dir,
                      const std::optional<std::string>& correlation_id) {
  if (specs.empty()) return;
  const std::string dir = _effective_log_dir(log_dir);
  const Value cid = _effective_correlation_id(correlation_id);
  auto log = app_log();
  for (const auto& volume : specs) {
    try {
      const auto& v = volume;
      for (const auto& message : preserve_volume(v.local_path, v.is_dir, v.mode, v.prefix, dir, cid))
        log->error("Volume preserve failed: " + message);
    } catch (const std::exception& e) {
      log->error("Volume preserve failed for " + quoted(volume.local_path) + ": " + e.what());
    } catch (...) {
      log->error("Volume preserve failed for " + quoted(volume.local_path) + ": unknown failure");
    }
  }
}

}  // namespace portico::preserve
