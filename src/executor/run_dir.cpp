#include "executor/run_dir.h"

#include <exception>

#include "preserve/preserve.h"
#include "scratch/scratch.h"

namespace portico {

RunDirectory::RunDirectory(const RunContext& run, const std::string& shared_dir, const AliasDefinition& alias)
    : run_(run), path_(_create_run_dir(run, shared_dir, alias)) {}

RunDirectory::~RunDirectory() { scratch::cleanup(path_); }

void RunDirectory::finish(const Value& stream_entries) {
  std::exception_ptr streams_failed;
  try {
    preserve::preserve_streams(stream_entries, captured_stdout, captured_stderr, Value(run_.settings->log_dir),
                               run_.correlation_id);
  } catch (...) {
    // A malformed entry must not cost the volumes too.
    streams_failed = std::current_exception();
  }
  if (path_ && !preserve_specs.empty())
    preserve::preserve_volumes(preserve_specs, Value(run_.settings->log_dir), run_.correlation_id);
  if (streams_failed) std::rethrow_exception(streams_failed);
}

}  // namespace portico
