#include "executor/run_result.h"

#include <utility>

#include "common/text.h"

namespace portico {

std::string_view outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::success: return "success";
    case Outcome::validation_error: return "validation_error";
    case Outcome::not_found: return "not_found";
    case Outcome::unknown_type: return "unknown_type";
    case Outcome::docker_unavailable: return "docker_unavailable";
    case Outcome::timed_out: return "timed_out";
    case Outcome::failed: return "failed";
    case Outcome::output_limit: return "output_limit";
    case Outcome::cancelled: return "cancelled";
  }
  return "failed";
}

namespace {

Value optional_value(const auto& v) { return v ? Value(*v) : Value(); }

}  // namespace

template <typename Self>
ExecutionResult RunResult::build(Self&& self) {
  ExecutionResult r = ExecutionResult::object();
  r["success"] = self.success();
  auto runner_fields = [&] {
    if (self.runner == Runner::process) r["pid"] = optional_value(self.pid);
    if (self.runner == Runner::container) {
      r["container_id"] = optional_value(self.container_id);
      r["image_id"] = optional_value(self.image_id);
    }
  };
  switch (self.outcome) {
    case Outcome::success:
      r["returncode"] = self.returncode;
      runner_fields();
      r["stdout"] = std::forward<Self>(self).out;
      r["stderr"] = std::forward<Self>(self).err;
      r["file_outputs"] = std::forward<Self>(self).file_outputs;
      break;
    case Outcome::validation_error:
      r["validation_error"] = true;
      r["errors"] = self.errors;
      r["error"] = self.error;
      break;
    case Outcome::timed_out:
      r["timed_out"] = true;
      r["returncode"] = nullptr;
      runner_fields();
      r["error"] = self.error;
      break;
    default:
      r["error"] = self.error;
      runner_fields();
  }
  return r;
}

ExecutionResult RunResult::to_value() const& { return build(*this); }
ExecutionResult RunResult::to_value() && { return build(std::move(*this)); }

RunResult RunResult::not_found(const std::string& alias_name) {
  RunResult r;
  r.outcome = Outcome::not_found;
  r.error = "Alias " + quoted(alias_name) + " not found";
  return r;
}

RunResult RunResult::validation_failed(std::vector<std::string> errors) {
  RunResult r;
  r.outcome = Outcome::validation_error;
  r.error = "Parameter validation failed: ";
  for (size_t i = 0; i < errors.size(); ++i) r.error += (i ? ", " : "") + errors[i];
  r.errors = std::move(errors);
  return r;
}

RunResult RunResult::unknown_type(const Value& type) {
  RunResult r;
  r.outcome = Outcome::unknown_type;
  r.error = "Unknown alias type: " + quoted(type);
  return r;
}

RunResult RunResult::docker_unavailable(const std::string& why) {
  RunResult r;
  r.outcome = Outcome::docker_unavailable;
  r.error = "Docker not available: " + why;
  return r;
}

}  // namespace portico
