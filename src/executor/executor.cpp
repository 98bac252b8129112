#include "executor/executor.h"

#include <filesystem>
#include <system_error>

#include "common/text.h"
#include "executor/files.h"
#include "interfaces/alias_catalog.h"
#include "interfaces/logging.h"
#include "interfaces/settings_source.h"
#include "scratch/scratch.h"

namespace portico {

OutputLimitExceeded::OutputLimitExceeded(const std::string& what, uint64_t limit)
    : std::runtime_error(std::string(kOutputLimitError) + what + " passed " + std::to_string(limit) + " bytes") {}

Outcome _failure_outcome(const std::exception& e) {
  return dynamic_cast<const OutputLimitExceeded*>(&e) ? Outcome::output_limit : Outcome::failed;
}

namespace {

// The alias with its completed parameters, or the answer that refuses the request.
struct Admission {
  AliasPtr alias;
  Value params;
  std::optional<RunResult> refusal;
};

Admission admit(const AliasCatalog& aliases, const std::string& alias_name, const Value& parameters) {
  Admission a;
  a.alias = aliases.alias(alias_name);
  if (!a.alias || a.alias->empty()) {
    a.refusal = RunResult::not_found(alias_name);
    return a;
  }
  a.params = a.alias->parameters->apply_defaults(parameters.is_object() ? parameters : Value::object());
  auto errors = a.alias->parameters->validate(a.params);
  if (!errors.empty()) a.refusal = RunResult::validation_failed(std::move(errors));
  return a;
}

}  // namespace

RunResult Executor::run(const std::string& alias_name, const Value& parameters, const RunControl* control) {
  Admission a = admit(services_.aliases, alias_name, parameters);
  if (a.refusal) return std::move(*a.refusal);
  switch (a.alias->type) {
    case AliasType::process: return _execute_process(*a.alias, a.params, control);
    case AliasType::container: return _execute_container(*a.alias, a.params, control);
    case AliasType::other: break;
  }
  return RunResult::unknown_type(a.alias->type_value);
}

std::optional<RunResult> Executor::check(const std::string& alias_name, const Value& parameters) {
  return admit(services_.aliases, alias_name, parameters).refusal;
}

RunContext Executor::run_context() const {
  return {services_.renderer, services_.settings.settings(), services_.logging.get_correlation_id()};
}

Value Executor::_resolve_timeout(const AliasDefinition& alias) const {
  return _resolve_timeout(alias, *services_.settings.settings());
}

Value Executor::_resolve_timeout(const AliasDefinition& alias, const Settings& settings) {
  Value alias_timeout = alias.timeout;
  if (!truthy(alias_timeout)) alias_timeout = 60;
  const Seconds max_t = settings.max_timeout;
  if (max_t.count() > 0 && alias_timeout.is_number() && alias_timeout.get<double>() > max_t.count())
    return max_t.value();
  return alias_timeout;
}

Value Executor::_short_id(const Value& full_id) {
  if (full_id.is_null()) return nullptr;
  const std::string text = text_form(full_id);
  if (text.empty()) return nullptr;
  const auto colon = text.rfind(':');
  const std::string tail = colon == std::string::npos ? text : text.substr(colon + 1);
  return tail.substr(0, 12);
}

std::string _prepare_shared_dir(const RunContext& run) {
  const std::string shared_dir = run.settings->shared_dir;
  std::error_code ec;
  std::filesystem::create_directories(shared_dir, ec);
  if (ec) throw std::system_error(ec, "cannot create " + shared_dir);
  return shared_dir;
}

std::optional<std::string> _create_run_dir(const RunContext& run, const std::string& shared_dir,
                                           const AliasDefinition& alias) {
  if (!scratch::needs_run_dir(alias)) return std::nullopt;
  return scratch::create(shared_dir, alias, run.correlation_id)["run_dir"].get<std::string>();
}

}  // namespace portico
