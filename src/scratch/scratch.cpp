#include "scratch/scratch.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/text.h"
#include "logging/logging.h"

namespace portico::scratch {
namespace {

void create_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw std::system_error(ec, "cannot create run directory " + path);
  if (!std::filesystem::is_directory(path, ec))
    throw std::system_error(std::make_error_code(std::errc::not_a_directory), "cannot create run directory " + path);
}

}  // namespace

bool _has_file_output_sources(const AliasDefinition& alias) {
  return std::any_of(alias.output_sources.begin(), alias.output_sources.end(),
                     [](const std::string& s) { return !s.empty() && s[0] != '%'; });
}

bool needs_external_dir(const AliasDefinition& alias) {
  if (alias.type != AliasType::container) return false;
  return std::any_of(alias.volumes.begin(), alias.volumes.end(),
                     [](const VolumeDefinition& v) { return !v.source || !v.source->starts_with('/'); });
}

bool needs_auto_dir(const AliasDefinition& alias) {
  if (alias.type != AliasType::container) return false;
  return std::any_of(alias.volumes.begin(), alias.volumes.end(), [](const VolumeDefinition& v) { return !v.source; });
}

bool needs_run_dir(const AliasDefinition& alias) {
  switch (alias.type) {
    case AliasType::process: return !alias.files.empty() || _has_file_output_sources(alias);
    case AliasType::container: return needs_external_dir(alias) || _has_file_output_sources(alias);
    case AliasType::other: return false;
  }
  return false;
}

Value create(const std::string& shared_dir, const AliasDefinition& alias,
             const std::optional<std::string>& correlation_id) {
  const std::string name = correlation_id && !correlation_id->empty() ? *correlation_id : uuid4();
  // The name becomes a path component that is later removed recursively.
  if (name == "." || name == ".." || name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
    throw std::invalid_argument("unsafe run directory name " + quoted(name));
  std::string run_dir = shared_dir;
  while (run_dir.size() > 1 && run_dir.back() == '/') run_dir.pop_back();
  run_dir = run_dir == "/" ? "/" + name : run_dir + "/" + name;
  create_dirs(run_dir);
  Value info = Value::object();
  info["run_dir"] = run_dir;
  info["auto_dir"] = nullptr;
  if (needs_auto_dir(alias)) {
    const std::string auto_dir = run_dir + "/auto";
    create_dirs(auto_dir);
    info["auto_dir"] = auto_dir;
  }
  return info;
}

void cleanup(const std::optional<std::string>& run_dir) {
  if (!run_dir || run_dir->empty()) return;
  try {
    std::error_code ec;
    std::filesystem::remove_all(*run_dir, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
      // Remove what can be removed; a read-only subdirectory must not keep the rest.
      for (auto it = std::filesystem::recursive_directory_iterator(
               *run_dir, std::filesystem::directory_options::skip_permission_denied, ec);
           !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
      }
      std::filesystem::remove_all(*run_dir, ec);
      if (ec && ec != std::errc::no_such_file_or_directory) throw std::system_error(ec, *run_dir);
    }
  } catch (const std::exception& e) {
    app_log()->debug(std::string("Run-dir cleanup error (ignored): ") + e.what());
  }
}

}  // namespace portico::scratch
