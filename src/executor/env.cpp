#include "common/text.h"
#include "executor/process.h"
#include "interfaces/template_renderer.h"

extern char** environ;

namespace portico {

std::string _env_value(const Value& var_def) { return text_form(var_def); }

Value _build_env(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                 const std::optional<std::string>& run_dir) {
  if (alias.environment.empty()) return nullptr;
  Value env = Value::object();
  for (char** e = environ; e && *e; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : alias.environment) env[name] = renderer.render(value, params, run_dir);
  return env;
}

}  // namespace portico
