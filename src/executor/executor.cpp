#include "executor/executor.h"

#include <filesystem>
#include <system_error>

#include "common/text.h"
#include "executor/files.h"
#include "scratch/scratch.h"
#include "interfaces/interfaces.h"

namespace portico {

Executor executor;

OutputLimitExceeded::OutputLimitExceeded(const std::string& what, uint64_t limit)
    : std::runtime_error(std::string(OUTPUT_LIMIT_ERROR) + what + " passed " + std::to_string(limit) + " bytes") {}

Outcome _failure_outcome(const std::exception& e) {
  return dynamic_cast<const OutputLimitExceeded*>(&e) ? Outcome::output_limit : Outcome::failed;
}

RunResult Executor::run(const std::string& alias_name, const Value& parameters, const RunControl* control) {
  Value params = parameters.is_object() ? parameters : Value::object();
  const Value alias_cfg = config().get_alias(alias_name);
  if (alias_cfg.is_null() || alias_cfg.empty()) return RunResult::not_found(alias_name);

  params = validator().apply_defaults(std::move(params), alias_cfg);
  auto errors = validator().validate_parameters(params, alias_cfg);
  if (!errors.empty()) return RunResult::validation_failed(std::move(errors));

  Value type;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find("type");
    if (it != alias_cfg.end()) type = *it;
  }
  if (type.is_string()) {
    const auto& t = type.get_ref<const std::string&>();
    if (t == "process") return _execute_process(alias_cfg, params, control);
    if (t == "container") return _execute_container(alias_cfg, params, control);
  }
  return RunResult::unknown_type(type);
}

std::optional<RunResult> Executor::check(const std::string& alias_name, const Value& parameters) {
  const Value alias_cfg = config().get_alias(alias_name);
  if (alias_cfg.is_null() || alias_cfg.empty()) return RunResult::not_found(alias_name);
  Value params = validator().apply_defaults(parameters.is_object() ? parameters : Value::object(), alias_cfg);
  auto errors = validator().validate_parameters(params, alias_cfg);
  if (!errors.empty()) return RunResult::validation_failed(std::move(errors));
  return std::nullopt;
}

Value Executor::_resolve_timeout(const Value& alias_cfg) {
  Value alias_timeout;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find("timeout");
    if (it != alias_cfg.end()) alias_timeout = *it;
  }
  if (!truthy(alias_timeout)) alias_timeout = 60;
  const Seconds max_t = config().settings()->max_timeout;
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

uint64_t Executor::_max_output_bytes() { return config().settings()->max_output_bytes; }

std::string _prepare_shared_dir() {
  const std::string shared_dir = config().settings()->shared_dir;
  std::error_code ec;
  std::filesystem::create_directories(shared_dir, ec);
  if (ec) throw std::system_error(ec, "cannot create " + shared_dir);
  return shared_dir;
}

std::optional<std::string> _create_run_dir(const std::string& shared_dir, const Value& alias_cfg) {
  if (!scratch::needs_run_dir(alias_cfg)) return std::nullopt;
  return scratch::create(shared_dir, alias_cfg, logging().get_correlation_id())["run_dir"].get<std::string>();
}

}  // namespace portico
