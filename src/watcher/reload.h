#pragma once
// One reload of one half of the configuration, done the same way whether a
// file change or SIGHUP asked for it.

#include <string_view>

#include "interfaces/alias_catalog.h"
#include "interfaces/auth_store.h"
#include "interfaces/reload_events.h"

namespace portico {

enum class ConfigHalf { auth, aliases };

// Reloads users and keys, or aliases: each error is logged after
// `error_prefix` ("Auth reload: ", say), success with the half's own line,
// and the outcome is recorded in `events` for the health details. A store
// that throws counts as a failed reload of its half; nothing escapes.
// Returns whether the reload succeeded.
bool reload_half(ConfigHalf half, AliasCatalog& aliases, AuthStore& auth, ReloadEvents& events,
                 std::string_view error_prefix);

}  // namespace portico
