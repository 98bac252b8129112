#pragma once
// The file-system side of a run: volumes and their host paths, input files,
// output directories and the collection of output files. Private to the
// executor library. Every function works only on the run directory and the
// values it is given, so concurrent runs may call them on their own threads.
//
// Failures are not caught here: they propagate (std::system_error,
// std::runtime_error, TemplateError) to the runner, which reports them.

#include <fcntl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "executor/executor.h"
#include "interfaces/settings.h"
#include "preserve/preserve.h"

namespace portico {

// What one run takes from the service as it starts, and keeps to its end.
struct RunContext {
  const TemplateRenderer& renderer;
  std::shared_ptr<const Settings> settings;
  std::optional<std::string> correlation_id;
};

// One volume whose content is copied into LogDir after the run.
using PreserveSpec = preserve::VolumeSpec;

// (host path -> {"bind", "mode"} in insertion order, volumes to preserve).
using VolumeBuild = std::pair<Value, std::vector<PreserveSpec>>;

// Turns the alias's `volumes` into Docker bind mounts, writing the backing
// files of auto and file volumes and creating directory volumes under
// `run_dir`. `run_dir` may be absent only when every volume is a host volume.
VolumeBuild _build_volumes(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                           const std::optional<std::string>& run_dir, const std::string& shared_dir,
                           const std::string& external_dir);

// Writes the rendered `content_template` to `local_path`, creating its parent directories.
void _write_volume_file(const TemplateRenderer& renderer, const std::string& local_path,
                        const std::string& content_template, const Value& params);

// The path under which the Docker host sees `local_path`: unchanged without an
// ExternalDir, else ExternalDir joined with the path relative to SharedDir.
std::string _to_host_path(const std::string& local_path, const std::string& shared_dir,
                          const std::string& external_dir);

// Creates the directories the command is expected to write its outputs into.
void _precreate_output_dirs(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                            const std::optional<std::string>& run_dir);

// Writes one input file of a process alias below `run_dir` (always present
// for an alias with input files; absent throws).
void _create_process_file(const TemplateRenderer& renderer, const InputFile& file_def, const Value& params,
                          const std::optional<std::string>& run_dir);

// The `file_outputs` map: unrendered source -> file text or Base64 ZIP archive.
// A file or archive (before Base64) larger than `max_bytes` throws
// OutputLimitExceeded naming its source, as soon as that is certain.
Value _collect_output_files(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                            const std::optional<std::string>& run_dir,
                            uint64_t max_bytes = kDefaultMaxOutputBytes);

// The bound on one output, and the name its failure gives (the source as the
// alias wrote it).
struct OutputBound {
  uint64_t max_bytes;
  std::string source;
  [[noreturn]] void passed() const { throw OutputLimitExceeded(source, max_bytes); }
};

// How a file a command left is opened for reading: never blocking on a FIFO,
// never becoming a controlling terminal.
inline constexpr int kOutputReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Whether an open descriptor really leads below `root`; without /proc there is
// nothing to ask (true), and the callers' own path checks have to do.
bool fd_within(int fd, const std::string& root);

// The path a rendered relative template names below `run_dir`. A template the
// operator wrote absolute is joined as written; a relative one whose
// rendering is absolute or climbs out through ".." throws std::runtime_error.
std::string _run_dir_path(const std::string& run_dir, const std::string& template_text,
                          const std::string& rendered, const std::string& what);

// A file source's text (UTF-8 with U+FFFD replacement, newlines normalised),
// or the empty text when it cannot be read. With `root`, a file whose real
// path lies outside `root` is never opened and reads as empty. A file larger
// than the bound is not read at all.
std::string _read_output_text(const std::string& path, const std::optional<std::string>& root,
                              const OutputBound& bound);

// The Base64 text of a ZIP archive of the regular files below `dir`. With
// `root`, files reached through links that lead outside `root` are left out.
// Archiving stops once the archive is bound to pass the bound or has.
std::string _archive_directory(const std::string& dir, const std::optional<std::string>& root,
                               const OutputBound& bound);

// mkdir -p; an existing directory is fine, anything else in the way throws.
void _make_dirs(const std::string& path);

// The run's SharedDir, created if missing; throws when it cannot be.
std::string _prepare_shared_dir(const RunContext& run);
// The run's directory when the alias needs one, named by the correlation id.
std::optional<std::string> _create_run_dir(const RunContext& run, const std::string& shared_dir,
                                           const AliasDefinition& alias);
// The outcome of a failure a runner caught: output_limit for OutputLimitExceeded, else failed.
Outcome _failure_outcome(const std::exception& e);

}  // namespace portico
