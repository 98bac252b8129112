#pragma once
// Helpers shared by the volume and stream halves of the library; not installed.

#include <optional>
#include <string>
#include <vector>

#include "common/value.h"

namespace portico::preserve {

// Why a name taken from an alias or a request could place a copy outside
// LogDir (absolute, a ".." component, a NUL byte), or absent when it cannot.
std::optional<std::string> _escape_reason(const std::string& name, const char* what);

// LogDir as configured, or the default when absent or empty.
std::string _effective_log_dir(const Value& log_dir);
std::string _effective_correlation_id(const std::optional<std::string>& correlation_id);

// Opens (creating or truncating) a file to write a copy into. A link in its
// place is refused rather than written through. Returns -1 with errno set.
int _open_dest(const std::string& path, int mode);

// The directory that a volume's links must resolve within: the directory
// itself, or a file volume's parent. Absent when the path does not exist or is
// itself a link leading out of its parent directory (logged as a warning).
std::optional<std::string> _volume_root(const std::string& local_path, bool is_dir);

// One directory's names, split into files to copy (regular files, links to
// non-directories that stay within `root`, dangling links and special files,
// whose copy then fails visibly) and real subdirectories to walk. Links to
// directories are not followed; links out of `root` are dropped with a warning.
void _list_dir(const std::string& dir, const std::string& root, std::vector<std::string>& files,
               std::vector<std::string>& subdirs);

}  // namespace portico::preserve
