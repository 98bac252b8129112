#pragma once
// Image pull policies of container aliases: when an image is pulled outside
// Docker's own implicit pull.

#include <set>
#include <string>

#include "common/value.h"

namespace portico::imagery {

// Published policy values, for validating configuration.
extern const std::set<std::string> REFRESH_IMAGE_VALUES;   // always, on-start, no
extern const std::set<std::string> PREFETCH_IMAGE_VALUES;  // on-start, on-config-change, no

// The alias's own setting wins (also "no"); a missing or null one falls back
// to the global default; a false-like value is "no"; the text is lower-cased
// and not otherwise checked. Never fails for a map-like alias definition.
std::string effective_refresh_image(const Value& alias_cfg, const Value& global_default);
std::string effective_prefetch_image(const Value& alias_cfg, const Value& global_default);

}  // namespace portico::imagery
