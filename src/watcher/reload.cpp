#include "watcher/reload.h"

#include <string>

#include "logging/logging.h"

namespace portico {

bool reload_half(ConfigHalf half, AliasCatalog& aliases, AuthStore& auth, ReloadEvents& events,
                 std::string_view error_prefix) {
  const bool users = half == ConfigHalf::auth;
  Errors errors;
  try {
    errors = users ? auth.load_auth_config() : aliases.reload_aliases();
  } catch (const std::exception& e) {
    errors = {e.what()};
  }
  auto log = app_log();
  for (const auto& e : errors) log->error(std::string(error_prefix) + e);
  if (errors.empty()) log->info(users ? "Auth configuration reloaded successfully" : "Alias configuration reloaded successfully");
  if (users) events.record_auth_reload(errors.empty());
  else events.record_alias_reload(errors.empty());
  return errors.empty();
}

}  // namespace portico
