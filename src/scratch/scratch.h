#pragma once
// Run directories: the private working directory of one run under SharedDir,
// named by the request's correlation id. Stateless; any thread.

#include <optional>
#include <string>

#include "common/value.h"
#include "interfaces/alias.h"

namespace portico::scratch {

// Whether the alias exchanges files with its command through a run directory.
bool needs_run_dir(const AliasDefinition& alias);
// Whether a container alias mounts a volume whose host path depends on SharedDir.
bool needs_external_dir(const AliasDefinition& alias);
// Whether a container alias has a volume without `source` (generated under "auto").
bool needs_auto_dir(const AliasDefinition& alias);
bool _has_file_output_sources(const AliasDefinition& alias);

// Creates SharedDir/<id> (and its "auto" subdirectory when needed) and returns
// {"run_dir": path, "auto_dir": path or null}. A missing or empty id becomes a
// fresh UUID. Throws std::system_error when a directory cannot be created and
// std::invalid_argument for an id that is not a single path component.
Value create(const std::string& shared_dir, const AliasDefinition& alias,
             const std::optional<std::string>& correlation_id = std::nullopt);

// Removes the directory and everything below it; never fails.
void cleanup(const std::optional<std::string>& run_dir);

}  // namespace portico::scratch
