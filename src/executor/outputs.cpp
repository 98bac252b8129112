// Collection of the files a command leaves in its run directory: single files
// as text, directories as Base64-encoded ZIP archives (archive.cpp).
//
// The command controls the run directory's content, so nothing here may be
// steered outside it by a symbolic link: every path is resolved before it is
// opened, and every opened descriptor is checked again, so a link swapped in
// between the two cannot redirect the read.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/fd.h"
#include "common/text.h"
#include "executor/files.h"
#include "interfaces/template_renderer.h"

namespace portico {

bool fd_within(int fd, const std::string& root) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::string target(4096, '\0');
  ssize_t n = ::readlink(link, target.data(), target.size());
  if (n < 0 || static_cast<size_t>(n) >= target.size()) return true;
  target.resize(static_cast<size_t>(n));
  return path_within(target, root);
}

std::string _read_output_text(const std::string& path, const std::optional<std::string>& root,
                              const OutputBound& bound) {
  std::string target = path;
  int flags = kOutputReadFlags;
  if (root) {
    auto resolved = real_path(path);
    if (!resolved || !path_within(*resolved, *root)) return "";
    target = std::move(*resolved);
    flags |= O_NOFOLLOW;
  }
  UniqueFd fd = open_fd(target, flags);
  if (!fd) return "";
  struct stat st;
  // Only regular files: a pipe or device could block or never end.
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  if (root && !fd_within(fd.get(), *root)) return "";
  if (static_cast<uint64_t>(st.st_size) > bound.max_bytes) bound.passed();
  std::string bytes;
  bytes.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    if (n == 0) break;
    // It may still be growing.
    if (bytes.size() + static_cast<uint64_t>(n) > bound.max_bytes) bound.passed();
    bytes.append(buf, static_cast<size_t>(n));
  }
  std::string text = to_utf8(std::move(bytes));
  normalize_newlines_in_place(text);
  return text;
}

Value _collect_output_files(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                            const std::optional<std::string>& run_dir, uint64_t max_bytes) {
  Value file_outputs = Value::object();
  if (!run_dir || run_dir->empty() || alias.output_sources.empty()) return file_outputs;

  // Links are judged against the real run directory; when it is gone there
  // is nothing inside it to read.
  const std::optional<std::string> root = real_path(*run_dir);
  for (const std::string& src : alias.output_sources) {
    if (src.empty() || src == "%stdOut" || src == "%stdErr" || src == "%exitCode") continue;
    const std::string rel = renderer.render(src, params);
    const bool as_written = src.front() == '/';
    const OutputBound bound{max_bytes, src};
    std::string value;
    if (!rel.empty() && rel.back() == '/') {
      std::string stripped = rel;
      while (!stripped.empty() && stripped.back() == '/') stripped.pop_back();
      const std::string abs_dir = _run_dir_path(*run_dir, src, stripped, "Output source");
      if (as_written)
        value = _archive_directory(abs_dir, std::nullopt, bound);
      else if (root)
        value = _archive_directory(abs_dir, root, bound);
    } else {
      const std::string abs_path = _run_dir_path(*run_dir, src, rel, "Output source");
      if (as_written)
        value = _read_output_text(abs_path, std::nullopt, bound);
      else if (root)
        value = _read_output_text(abs_path, root, bound);
    }
    file_outputs[src] = std::move(value);
  }
  return file_outputs;
}

}  // namespace portico
