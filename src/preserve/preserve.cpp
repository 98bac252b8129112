#include "preserve/preserve.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "common/fd.h"
#include "common/text.h"
#include "logging/logging.h"

namespace portico::preserve {

const std::set<std::string> PRESERVE_VALUES{"none", "false", "flatten", "yes", "true"};
const std::set<std::string> _DISABLED_VALUES{"none", "false"};
const std::set<std::string> STREAM_NAMES{"stdout", "stderr"};
const char* const DEFAULT_LOG_DIR = "/var/log/portico";
const char* const DEFAULT_CORRELATION_ID = "unknown";

namespace {

// A name taken from an alias or a command must stay one or more plain components.
void check_relative(const std::string& name, const char* what) {
  if (!name.empty() && name.front() == '/') throw std::invalid_argument(std::string(what) + " is absolute: " + quoted(name));
  size_t start = 0;
  while (start <= name.size()) {
    const size_t end = std::min(name.find('/', start), name.size());
    if (name.compare(start, end - start, "..") == 0 && end - start == 2)
      throw std::invalid_argument(std::string(what) + " climbs out of the log directory: " + quoted(name));
    start = end + 1;
  }
}

void walk(const std::string& dir, const std::string& rel, const std::string& root, std::vector<Entry>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> files, subdirs;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat lst, st;
    if (::lstat(path.c_str(), &lst) != 0) continue;
    if (S_ISDIR(lst.st_mode)) {
      subdirs.push_back(name);
    } else if (S_ISLNK(lst.st_mode)) {
      // Links to directories are not followed; links to files only when they stay inside.
      if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
      const auto target = real_path(path);
      if (!target || !path_within(*target, root)) {
        app_log()->warn("Not preserving " + quoted(path) + ": it links outside the volume");
        continue;
      }
      if (S_ISREG(st.st_mode)) files.push_back(name);
    } else if (S_ISREG(lst.st_mode)) {
      files.push_back(name);
    }
  }
  ::closedir(d);
  std::sort(files.begin(), files.end());
  for (const auto& f : files) out.emplace_back(rel.empty() ? f : rel + "/" + f, dir + "/" + f);
  for (const auto& s : subdirs) walk(dir + "/" + s, rel.empty() ? s : rel + "/" + s, root, out);
}

}  // namespace

std::string normalize_preserve(const Value& value) {
  std::string text;
  if (value.is_null()) text = "none";
  else if (value.is_boolean()) text = value.get<bool>() ? "True" : "False";
  else text = text_form(value);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool is_preserve_enabled(const Value& value) { return !_DISABLED_VALUES.count(normalize_preserve(value)); }

std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir) {
  std::vector<Entry> out;
  if (!is_dir) {
    struct stat lst, st;
    if (::lstat(local_path.c_str(), &lst) != 0 || ::stat(local_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return out;
    if (S_ISLNK(lst.st_mode)) {
      const std::string parent = local_path.substr(0, local_path.rfind('/'));
      const auto target = real_path(local_path);
      const auto root = real_path(parent.empty() ? "/" : parent);
      if (!target || !root || !path_within(*target, *root)) {
        app_log()->warn("Not preserving " + quoted(local_path) + ": it links outside the volume");
        return out;
      }
    }
    const size_t slash = local_path.rfind('/');
    out.emplace_back(slash == std::string::npos ? local_path : local_path.substr(slash + 1), local_path);
    return out;
  }
  const auto root = real_path(local_path);
  if (!root) return out;
  struct stat lst;
  if (::lstat(local_path.c_str(), &lst) != 0 || !S_ISDIR(lst.st_mode)) return out;
  walk(local_path, "", *root, out);
  return out;
}

std::string _dest_path(const std::string& rel_path, const std::string& preserve_mode, const Value& prefix,
                       const std::string& log_dir, const Value& correlation_id) {
  if (!correlation_id.is_string()) throw std::invalid_argument("correlation id must be text");
  if (!prefix.is_null() && !prefix.is_string()) throw std::invalid_argument("preservePrefix must be text");
  const std::string cid = correlation_id.get<std::string>();
  const std::string pre = prefix.is_string() ? prefix.get<std::string>() : "";
  check_relative(rel_path, "preserved file name");
  check_relative(pre, "preservePrefix");
  check_relative(cid, "correlation id");
  if (cid.find('/') != std::string::npos) throw std::invalid_argument("correlation id holds '/': " + quoted(cid));
  if (preserve_mode == "flatten") {
    std::string flat = rel_path;
    std::replace(flat.begin(), flat.end(), '/', '_');
    std::string name = cid;
    if (!pre.empty()) name += "_" + pre;
    name += "_" + flat;
    return path_join({log_dir, name});
  }
  const std::string base = pre.empty() ? path_join({log_dir, cid}) : path_join({log_dir, cid, pre});
  return path_join({base, rel_path});
}

}  // namespace portico::preserve

namespace portico::preserve {

std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir, const std::string& preserve_mode,
                                         const Value& prefix, const std::string& log_dir, const Value& correlation_id) {
  std::vector<std::string> errors;
  for (const auto& [rel_path, abs_path] : compute_entries(local_path, is_dir)) {
    const std::string dest = _dest_path(rel_path, preserve_mode, prefix, log_dir, correlation_id);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(dest).parent_path(), ec);
    if (!ec) std::filesystem::copy_file(abs_path, dest, std::filesystem::copy_options::overwrite_existing, ec);
    struct stat st;
    if (!ec && ::stat(abs_path.c_str(), &st) == 0) {
      ::chmod(dest.c_str(), st.st_mode & 07777);
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      if (::utimensat(AT_FDCWD, dest.c_str(), times, 0) != 0) ec = std::error_code(errno, std::generic_category());
    }
    if (ec) errors.push_back("failed to preserve " + quoted(abs_path) + " to " + quoted(dest) + ": " + ec.message());
  }
  return errors;
}

void preserve_volumes(const std::vector<VolumeSpec>& specs, const Value& log_dir_v,
                      const std::optional<std::string>& correlation_id) {
  if (specs.empty()) return;
  const std::string log_dir = truthy(log_dir_v) ? text_form(log_dir_v) : DEFAULT_LOG_DIR;
  const Value cid = correlation_id && !correlation_id->empty() ? *correlation_id : DEFAULT_CORRELATION_ID;
  auto log = app_log();
  for (const auto& volume : specs) {
    try {
      for (const auto& m :
           preserve_volume(volume.local_path, volume.is_dir, volume.mode, volume.prefix, log_dir, cid))
        log->error("Volume preserve failed: " + m);
    } catch (const std::exception& e) {
      log->error("Volume preserve failed for " + quoted(volume.local_path) + ": " + e.what());
    }
  }
}

}  // namespace portico::preserve
