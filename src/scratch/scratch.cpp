#include "scratch/scratch.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/text.h"
#include "logging/logging.h"

namespace portico::scratch {
namespace {

bool is_type(const Value& cfg, const char* type) {
  auto it = cfg.find("type");
  return it != cfg.end() && it->is_string() && it->get_ref<const std::string&>() == type;
}

const Value& member(const Value& cfg, const char* key) {
  static const Value kNull;
  if (!cfg.is_object()) return kNull;
  auto it = cfg.find(key);
  return it == cfg.end() ? kNull : *it;
}

const Value& volumes(const Value& cfg) {
  static const Value kEmpty = Value::array();
  const Value& v = member(cfg, "volumes");
  return v.is_array() ? v : kEmpty;
}

void create_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw std::system_error(ec, "cannot create run directory " + path);
  if (!std::filesystem::is_directory(path, ec))
    throw std::system_error(std::make_error_code(std::errc::not_a_directory), "cannot create run directory " + path);
}

}  // namespace

bool _has_file_output_sources(const Value& alias_config) {
  const Value& output = member(alias_config, "output");
  if (!output.is_object()) return false;
  auto is_file_source = [](const Value& entry) {
    if (!entry.is_object()) return false;
    const Value& src = member(entry, "source");
    if (!src.is_string()) return false;
    const auto& s = src.get_ref<const std::string&>();
    return !s.empty() && s[0] != '%';
  };
  if (is_file_source(member(output, "single_value"))) return true;
  const Value& multiple = member(output, "multiple_values");
  if (multiple.is_array())
    for (const auto& entry : multiple)
      if (is_file_source(entry)) return true;
  return false;
}

bool needs_external_dir(const Value& alias_config) {
  if (!alias_config.is_object() || !is_type(alias_config, "container")) return false;
  for (const auto& vol : volumes(alias_config)) {
    const Value& src = member(vol, "source");
    if (src.is_null()) return true;
    if (!src.is_string() || src.get_ref<const std::string&>().rfind('/', 0) != 0) return true;
  }
  return false;
}

bool needs_auto_dir(const Value& alias_config) {
  if (!alias_config.is_object() || !is_type(alias_config, "container")) return false;
  for (const auto& vol : volumes(alias_config))
    if (member(vol, "source").is_null()) return true;
  return false;
}

bool needs_run_dir(const Value& alias_config) {
  if (!alias_config.is_object()) return false;
  if (is_type(alias_config, "process")) {
    const Value& files = member(alias_config, "files");
    if (truthy(files)) return true;
    return _has_file_output_sources(alias_config);
  }
  if (is_type(alias_config, "container"))
    return needs_external_dir(alias_config) || _has_file_output_sources(alias_config);
  return false;
}

Value create(const std::string& shared_dir, const Value& alias_config,
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
  if (needs_auto_dir(alias_config)) {
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
