#include "common/text.h"
#include "executor/process.h"
#include "interfaces/interfaces.h"

extern char** environ;

namespace portico {

std::string _env_value(const Value& var_def) { return text_form(var_def); }

Value _build_env(const Value& alias_cfg, const Value& params, const std::optional<std::string>& run_dir) {
  const Value* defs = nullptr;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find("environment");
    if (it != alias_cfg.end() && it->is_object() && !it->empty()) defs = &*it;
  }
  if (!defs) return nullptr;
  Value env = Value::object();
  for (char** e = environ; e && *e; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (auto it = defs->begin(); it != defs->end(); ++it)
    env[it.key()] = renderer().render(_env_value(it.value()), params, run_dir);
  return env;
}

}  // namespace portico
