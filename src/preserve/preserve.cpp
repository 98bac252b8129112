#include "preserve/preserve.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <stdexcept>

#include "common/fd.h"
#include "common/text.h"
#include "logging/logging.h"
#include "preserve/internal.h"

namespace portico::preserve {

const std::set<std::string> PRESERVE_VALUES{"none", "false", "flatten", "yes", "true"};
const std::set<std::string> _DISABLED_VALUES{"none", "false"};
const std::set<std::string> STREAM_NAMES{"stdout", "stderr"};
const char* const kDefaultLogDir = "/var/log/portico";
const char* const kDefaultCorrelationId = "unknown";

namespace {

void warn_link_out(const std::string& path) {
  app_log()->warn("Not preserving " + quoted(path) + ": it links outside the volume");
}

}  // namespace

std::optional<std::string> _escape_reason(const std::string& name, const char* what) {
  const auto why = [&] { return std::string(what) + " " + quoted(name) + " leads out of the log directory"; };
  // open() would stop at a NUL and see a different name from the one checked.
  if (name.find('\0') != std::string::npos) return why();
  if (!name.empty() && name.front() == '/') return why();
  size_t start = 0;
  while (start <= name.size()) {
    const size_t end = std::min(name.find('/', start), name.size());
    if (end - start == 2 && name.compare(start, 2, "..") == 0) return why();
    start = end + 1;
  }
  return std::nullopt;
}

std::string _effective_log_dir(const Value& log_dir) { return truthy(log_dir) ? text_form(log_dir) : kDefaultLogDir; }

std::string _effective_correlation_id(const std::optional<std::string>& correlation_id) {
  return correlation_id && !correlation_id->empty() ? *correlation_id : kDefaultCorrelationId;
}

int _open_dest(const std::string& path, int mode) {
  return open_fd(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode).release();
}

std::optional<std::string> _volume_root(const std::string& local_path, bool is_dir) {
  std::string path = local_path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const auto parent_real = real_path(parent);
  struct stat lst;
  if (!parent_real || ::lstat(path.c_str(), &lst) != 0) return std::nullopt;
  if (S_ISLNK(lst.st_mode)) {
    const auto target = real_path(path);
    if (!target) return std::nullopt;
    if (!path_within(*target, *parent_real)) {
      warn_link_out(local_path);
      return std::nullopt;
    }
  }
  return is_dir ? real_path(path) : parent_real;
}

void _list_dir(const std::string& dir, const std::string& root, std::vector<std::string>& files,
               std::vector<std::string>& subdirs) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return;
  while (const dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = path_join({dir, name});
    struct stat lst, st;
    if (::lstat(path.c_str(), &lst) != 0) continue;
    if (S_ISDIR(lst.st_mode)) {
      subdirs.push_back(name);
      continue;
    }
    if (S_ISLNK(lst.st_mode) && ::stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      const auto target = real_path(path);
      if (!target || !path_within(*target, root)) {
        warn_link_out(path);
        continue;
      }
    }
    files.push_back(name);
  }
}

std::string normalize_preserve(const Value& value) {
  std::string text;
  if (value.is_null()) text = "none";
  else if (value.is_boolean()) text = value.get<bool>() ? "true" : "false";
  else text = text_form(value);
  return ascii_lower(text);
}

bool is_preserve_enabled(const Value& value) { return !_DISABLED_VALUES.count(normalize_preserve(value)); }

std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir) {
  std::vector<Entry> out;
  const auto root = _volume_root(local_path, is_dir);
  if (!root) return out;
  if (!is_dir) {
    struct stat st;
    if (::stat(local_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return out;
    const size_t slash = local_path.rfind('/');
    out.emplace_back(slash == std::string::npos ? local_path : local_path.substr(slash + 1), local_path);
    return out;
  }
  // Iterative, so that a command's deeply nested tree cannot exhaust the stack.
  struct Pending {
    std::string dir, rel;
  };
  std::vector<Pending> pending{{local_path, ""}};
  while (!pending.empty()) {
    const Pending here = std::move(pending.back());
    pending.pop_back();
    std::vector<std::string> files, subdirs;
    _list_dir(here.dir, *root, files, subdirs);
    std::sort(files.begin(), files.end());
    for (const auto& f : files) out.emplace_back(here.rel.empty() ? f : here.rel + "/" + f, path_join({here.dir, f}));
    for (auto s = subdirs.rbegin(); s != subdirs.rend(); ++s)
      pending.push_back({path_join({here.dir, *s}), here.rel.empty() ? *s : here.rel + "/" + *s});
  }
  return out;
}

std::string _dest_path(const std::string& rel_path, const std::string& preserve_mode, const Value& prefix,
                       const std::string& log_dir, const Value& correlation_id) {
  if (!correlation_id.is_string()) throw std::invalid_argument("correlation id is not text: " + quoted(correlation_id));
  if (!prefix.is_null() && !prefix.is_string())
    throw std::invalid_argument("preservePrefix is not text: " + quoted(prefix));
  const std::string& cid = correlation_id.get_ref<const std::string&>();
  const std::string pre = prefix.is_string() ? prefix.get<std::string>() : "";
  for (const auto& [name, what] :
       {std::pair{&rel_path, "file name"}, std::pair{&pre, "preservePrefix"}, std::pair{&cid, "correlation id"}})
    if (const auto why = _escape_reason(*name, what)) throw std::invalid_argument(*why);
  if (preserve_mode == "flatten") {
    std::string flat = rel_path;
    std::replace(flat.begin(), flat.end(), '/', '_');
    return path_join({log_dir, cid + (pre.empty() ? "" : "_" + pre) + "_" + flat});
  }
  const std::string base = pre.empty() ? path_join({log_dir, cid}) : path_join({log_dir, cid, pre});
  return path_join({base, rel_path});
}

}  // namespace portico::preserve
