#pragma once
// Copies of a run's volumes and captured streams, kept in LogDir after the
// run directory is gone, grouped by correlation id.
//
// Thread rules: free functions without state; any thread, any number at once.
// Concurrent runs with different correlation ids write to different places;
// otherwise the last copy of a name wins. Logs through the "portico" logger.

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"

namespace portico::preserve {

extern const std::set<std::string> PRESERVE_VALUES;    // none, false, flatten, yes, true
extern const std::set<std::string> _DISABLED_VALUES;   // none, false
extern const std::set<std::string> STREAM_NAMES;       // stderr, stdout (ascending)
extern const char* const kDefaultLogDir;               // "/var/log/portico"
extern const char* const kDefaultCorrelationId;        // "unknown"

// ---- Settings and entries ----

// The lower-cased text form of a volume's `preserve` value ("none" when absent,
// "true"/"false" for booleans, plain decimal for numbers). Blanks are kept.
std::string normalize_preserve(const Value& value);
// False exactly for an absent value and for "none" and "false" in any case.
bool is_preserve_enabled(const Value& value);

// (rel_path, abs_path) of one file a preserved volume contributes.
using Entry = std::pair<std::string, std::string>;

// A single-file volume gives its own name when it is a regular file (or a link
// to one); a directory is walked top-down, each directory's files in name order
// before its subdirectories, links to directories not followed. Missing or
// unreadable paths give nothing. A link that resolves outside the volume (the
// file's parent directory for a file volume) is left out with a warning: the
// command controls what it leaves behind.
std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir);

// Where one preserved file goes: "flatten" puts
// log_dir/<id>[_<prefix>]_<rel_path with "/" as "_">, any other mode
// log_dir/<id>[/<prefix>]/<rel_path>. A null or empty prefix is left out.
// Throws std::invalid_argument when prefix or correlation id is not text, or
// when a name is absolute or holds a ".." component (it would leave log_dir).
std::string _dest_path(const std::string& rel_path, const std::string& preserve_mode, const Value& prefix,
                       const std::string& log_dir, const Value& correlation_id);

// ---- Volumes ----

// One volume to copy after a run: its backing file or directory, whether it
// is a directory, the normalised preserve mode and the preservePrefix value.
struct VolumeSpec {
  std::string local_path;
  bool is_dir = false;
  std::string mode;
  Value prefix;

  bool operator==(const VolumeSpec&) const = default;
};

// Copies one volume's files (content, permission bits without setuid, setgid
// and sticky, access and modification times), overwriting earlier copies.
// Returns one "failed to preserve ..." message per file that could not be
// copied. log_dir and correlation_id are used as given. A prefix or id that
// would lead out of log_dir skips the volume with a warning. Throws what
// _dest_path throws.
std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir, const std::string& preserve_mode,
                                         const Value& prefix, const std::string& log_dir, const Value& correlation_id);
// All volumes of a run, in order; an absent or empty log_dir or correlation id
// takes the default. Failures are logged, never raised.
void preserve_volumes(const std::vector<VolumeSpec>& specs, const Value& log_dir,
                      const std::optional<std::string>& correlation_id);

// ---- Streams ----

// preserveStreams as a list of stream entries: falsy -> none; true -> stderr
// then stdout; a sequence -> its elements unchecked. Any other value yields
// what iterating it yields (a text's characters, a map's keys), which
// preserve_streams later rejects; a number throws std::invalid_argument.
Value expand_preserve_streams(const Value& raw);
// The entry's `filename` when truthy, else "<stream>.log".
std::string _stream_filename(const Value& entry);
std::string _stream_dest_path(const std::string& filename, bool flatten, const std::string& log_dir,
                              const std::string& correlation_id);
// Writes each captured, non-empty stream named by the entries (invalid UTF-8
// becomes U+FFFD). Write failures are logged at error level and skipped; a
// file name or id that would lead out of LogDir is skipped with a warning.
// An entry that is not a map with `stream` throws std::runtime_error (earlier
// entries are already written).
void preserve_streams(const Value& entries, const std::optional<std::string>& out,
                      const std::optional<std::string>& err, const Value& log_dir,
                      const std::optional<std::string>& correlation_id);

}  // namespace portico::preserve
