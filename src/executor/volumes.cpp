// Container volumes, their host paths, output directories, and the path rules
// shared by every file the executor writes or reads in a run directory.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/fd.h"
#include "common/text.h"
#include "executor/files.h"
#include "interfaces/template_renderer.h"
#include "preserve/preserve.h"

namespace portico {
namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Absolute, lexically normalised components ("." dropped, ".." folded, links untouched).
std::vector<std::string> normal_components(const std::string& path) {
  std::string full = path;
  if (full.empty() || full.front() != '/') {
    std::string cwd(4096, '\0');
    while (!::getcwd(cwd.data(), cwd.size())) {
      if (errno != ERANGE) throw_os_error(errno, "cannot determine the working directory");
      cwd.resize(cwd.size() * 2);
    }
    cwd.resize(cwd.find('\0'));
    full = path_join({cwd, path});
  }
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= full.size()) {
    size_t end = full.find('/', pos);
    if (end == std::string::npos) end = full.size();
    std::string_view part(full.data() + pos, end - pos);
    if (part == "..") {
      if (!out.empty()) out.pop_back();
    } else if (!part.empty() && part != ".") {
      out.emplace_back(part);
    }
    pos = end + 1;
  }
  return out;
}

std::string parent_of(const std::string& path) {
  size_t pos = path.rfind('/');
  return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

std::string strip_trailing_slashes(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

void _make_dirs(const std::string& path) {
  if (path.empty()) throw_os_error(ENOENT, "cannot create directory ''");
  size_t pos = path.front() == '/' ? 1 : 0;
  for (;;) {
    size_t end = path.find('/', pos);
    std::string prefix = path.substr(0, end);
    if (!prefix.empty() && prefix.back() != '/' && !is_directory(prefix)) {
      if (::mkdir(prefix.c_str(), 0777) != 0) {
        int err = errno;
        if (!is_directory(prefix)) throw_os_error(err, "cannot create directory " + portico::quoted(prefix));
      }
    }
    if (end == std::string::npos) break;
    pos = end + 1;
  }
}

std::string _run_dir_path(const std::string& run_dir, const std::string& template_text,
                          const std::string& rendered, const std::string& what) {
  // The system would cut the path at a NUL byte, after it has been checked.
  if (rendered.find('\0') != std::string::npos)
    throw std::runtime_error(what + " " + portico::quoted(rendered) + " contains a NUL byte");
  // A path the operator wrote absolute is theirs to choose; one that only a
  // parameter made absolute or climbing is not.
  if (!template_text.empty() && template_text.front() == '/') return path_join({run_dir, rendered});
  if (!rendered.empty() && rendered.front() == '/')
    throw std::runtime_error(what + " " + portico::quoted(rendered) + " must stay inside the run directory");
  long depth = 0;
  size_t pos = 0;
  while (pos <= rendered.size()) {
    size_t end = rendered.find('/', pos);
    if (end == std::string::npos) end = rendered.size();
    std::string_view part(rendered.data() + pos, end - pos);
    if (part == "..") {
      if (--depth < 0)
        throw std::runtime_error(what + " " + portico::quoted(rendered) + " must stay inside the run directory");
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    pos = end + 1;
  }
  return path_join({run_dir, rendered});
}

void _write_volume_file(const TemplateRenderer& renderer, const std::string& local_path,
                        const std::string& content_template, const Value& params) {
  if (local_path.find('/') != std::string::npos) {
    std::string parent = parent_of(local_path);
    _make_dirs(parent.empty() ? "/" : parent);
  }
  const std::string content = renderer.render(content_template, params);
  write_file(local_path, content, 0666);
}

std::string _to_host_path(const std::string& local_path, const std::string& shared_dir,
                          const std::string& external_dir) {
  if (external_dir.empty()) return local_path;
  const auto target = normal_components(local_path);
  const auto base = normal_components(shared_dir);
  size_t common = 0;
  while (common < target.size() && common < base.size() && target[common] == base[common]) ++common;
  std::string rel;
  for (size_t i = common; i < base.size(); ++i) rel += rel.empty() ? ".." : "/..";
  for (size_t i = common; i < target.size(); ++i) {
    if (!rel.empty()) rel += '/';
    rel += target[i];
  }
  if (rel.empty()) rel = ".";
  return path_join({external_dir, rel});
}

VolumeBuild _build_volumes(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                           const std::optional<std::string>& run_dir, const std::string& shared_dir,
                           const std::string& external_dir) {
  VolumeBuild result{Value::object(), {}};
  auto& [volume_map, preserve_specs] = result;

  auto need_run_dir = [&]() -> const std::string& {
    if (!run_dir || run_dir->empty())
      throw std::runtime_error("a volume without an absolute source needs a run directory");
    return *run_dir;
  };
  auto mount = [](const std::string& bind, const std::string& mode) {
    Value rec = Value::object();
    rec["bind"] = bind;
    rec["mode"] = mode;
    return rec;
  };

  for (const VolumeDefinition& vol : alias.volumes) {
    const std::string& location = vol.location;
    std::string local_path;
    bool is_dir = false;
    if (!vol.source) {
      local_path = path_join({need_run_dir(), "auto", uuid4_hex()});
      _write_volume_file(renderer, local_path, vol.content, params);
      volume_map[_to_host_path(local_path, shared_dir, external_dir)] = mount(location, "rw");
    } else {
      const std::string& src = *vol.source;
      if (!src.empty() && src.front() == '/') {
        volume_map[src] = mount(location, "ro");
        continue;
      }
      is_dir = !src.empty() && src.back() == '/';
      const std::string rendered = renderer.render(src, params);
      local_path = _run_dir_path(need_run_dir(), src, rendered, "Volume source");
      if (is_dir)
        _make_dirs(local_path);
      else
        _write_volume_file(renderer, local_path, vol.content, params);
      volume_map[_to_host_path(local_path, shared_dir, external_dir)] =
          mount(location, vol.mode.empty() ? "rw" : vol.mode);
    }

    if (vol.preserve) preserve_specs.push_back({local_path, is_dir, vol.preserve_mode, vol.preserve_prefix});
  }
  return result;
}

void _precreate_output_dirs(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                            const std::optional<std::string>& run_dir) {
  if (!run_dir || run_dir->empty()) return;
  for (const std::string& src : alias.output_sources) {
    if (src.empty() || src.front() == '%') continue;
    const std::string rel = renderer.render(src, params);
    if (rel.empty()) continue;
    if (rel.back() == '/') {
      _make_dirs(_run_dir_path(*run_dir, src, strip_trailing_slashes(rel), "Output source"));
    } else {
      const std::string parent = parent_of(_run_dir_path(*run_dir, src, rel, "Output source"));
      if (!parent.empty() && parent != *run_dir) _make_dirs(parent);
    }
  }
}

}  // namespace portico
