#pragma once
// Private to the executor: the owner of a run's directory and of what the run
// leaves in LogDir.

#include <optional>
#include <string>
#include <vector>

#include "common/value.h"
#include "executor/files.h"

namespace portico {

// The run's directory under SharedDir when its alias needs one (created by
// the constructor), removed when the guard goes, however the run ended: a
// failed preparation or a throwing preservation cannot leave it behind.
// `run` must outlive the guard.
class RunDirectory {
 public:
  RunDirectory(const RunContext& run, const std::string& shared_dir, const AliasDefinition& alias);
  ~RunDirectory();
  RunDirectory(const RunDirectory&) = delete;
  RunDirectory& operator=(const RunDirectory&) = delete;

  const std::optional<std::string>& path() const { return path_; }

  // Keeps the captured streams named by `stream_entries` and, with a run
  // directory, the volumes of preserve_specs, in LogDir. A failure of stream
  // preservation propagates once the volumes are kept.
  void finish(const Value& stream_entries);

  // What the run read from its streams; absent when nothing was read.
  std::optional<std::string> captured_stdout, captured_stderr;
  std::vector<PreserveSpec> preserve_specs;

 private:
  const RunContext& run_;
  std::optional<std::string> path_;
};

}  // namespace portico
