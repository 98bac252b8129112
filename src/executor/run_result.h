#pragma once
// What one run of an alias came to. The executor decides the outcome where it
// happens; the API maps it to a status, a metric label and an audit line.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"

namespace portico {

enum class Outcome {
  success,             // ran to completion, whatever its exit status
  validation_error,    // parameters refused
  not_found,           // no such alias
  unknown_type,        // the alias's type is neither process nor container
  docker_unavailable,  // no Engine to run a container on, or it went away mid-run
  timed_out,
  failed,
  output_limit,        // a stream or output passed MaxOutputBytes
  cancelled,           // stopped on the caller's request
};

// The label of an outcome in metrics and audit lines: "success", "not_found", ...
std::string_view outcome_name(Outcome outcome);

// The execution result map: keys in the fixed order of its outcome.
using ExecutionResult = Value;

struct RunResult {
  // Whose fields the result carries: none for results decided before a run.
  enum class Runner { none, process, container };

  Outcome outcome = Outcome::failed;
  Runner runner = Runner::none;
  std::string error;                                  // every outcome but success
  std::vector<std::string> errors;                    // validation_error only
  long long returncode = 0;                           // success only
  std::optional<long long> pid;                       // process: absent until the child started
  std::optional<std::string> container_id, image_id;  // container: absent until known
  std::string out, err;                               // success only: the captured streams
  Value file_outputs = Value::object();               // success only

  bool success() const { return outcome == Outcome::success; }

  // The map that goes over the wire; the rvalue form moves the captured text.
  ExecutionResult to_value() const&;
  ExecutionResult to_value() &&;

  static RunResult not_found(const std::string& alias_name);
  static RunResult validation_failed(std::vector<std::string> errors);
  static RunResult unknown_type(const Value& type);
  static RunResult docker_unavailable(const std::string& why);

 private:
  template <typename Self>
  static ExecutionResult build(Self&& self);
};

}  // namespace portico
