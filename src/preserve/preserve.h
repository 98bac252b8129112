#pragma once
// Copies of a run's volumes and captured streams, kept in LogDir after the
// run directory is gone, grouped by correlation id.
//
// Thread rules: free functions without state; any thread, any number at once.

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"

namespace portico::preserve {

extern const std::set<std::string> PRESERVE_VALUES;    // none, false, flatten, yes, true
extern const std::set<std::string> _DISABLED_VALUES;   // none, false
extern const std::set<std::string> STREAM_NAMES;       // stderr, stdout
extern const char* const DEFAULT_LOG_DIR;              // "/var/log/portico"
extern const char* const DEFAULT_CORRELATION_ID;       // "unknown"

// The lower-cased text form of a volume's `preserve` value ("none" when absent).
std::string normalize_preserve(const Value& value);
// False exactly for "none" and "false" (any case) and an absent value.
bool is_preserve_enabled(const Value& value);

// (rel_path, abs_path) of each file a preserved volume contributes: a single
// file by its own name, or a directory's files walked top-down with each
// directory's files in name order before its subdirectories. Links that lead
// outside the volume are left out: the command controls what it leaves behind.
using Entry = std::pair<std::string, std::string>;
std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir);

// Where one preserved file goes. Throws std::invalid_argument for a prefix or
// correlation id that is not text, and for names that would climb out of LogDir.
std::string _dest_path(const std::string& rel_path, const std::string& preserve_mode, const Value& prefix,
                       const std::string& log_dir, const Value& correlation_id);

// One volume to copy after a run: its backing file or directory, whether it
// is a directory, the normalised preserve mode and the preservePrefix value.
struct VolumeSpec {
  std::string local_path;
  bool is_dir = false;
  std::string mode;
  Value prefix;

  bool operator==(const VolumeSpec&) const = default;
};

// Copies one volume's files (content, permission bits, times); one message
// per file that could not be copied.
std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir, const std::string& preserve_mode,
                                         const Value& prefix, const std::string& log_dir, const Value& correlation_id);
// All volumes of a run; failures are logged, never raised.
void preserve_volumes(const std::vector<VolumeSpec>& specs, const Value& log_dir,
                      const std::optional<std::string>& correlation_id);

// preserveStreams as a list of stream entries: true -> stderr then stdout.
Value expand_preserve_streams(const Value& raw);
std::string _stream_filename(const Value& entry);
std::string _stream_dest_path(const std::string& filename, bool flatten, const std::string& log_dir,
                              const std::string& correlation_id);
// Writes each captured, non-empty stream named by the entries; write failures
// are logged and skipped. An entry that is not a map with `stream` throws.
void preserve_streams(const Value& entries, const std::optional<std::string>& out,
                      const std::optional<std::string>& err, const Value& log_dir,
                      const std::optional<std::string>& correlation_id);

}  // namespace portico::preserve
