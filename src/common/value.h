#pragma once
// Dynamic values: alias definitions, parameters and results. Object keys keep
// their insertion order, which serialised results rely on.

#include <nlohmann/json.hpp>
#include <string>

namespace YAML { class Node; }

namespace portico {

using Value = nlohmann::ordered_json;

// Converts a parsed YAML node once, on loading. Quoted scalars stay text;
// plain scalars resolve as YAML 1.1 does (null, booleans in their usual
// spellings, decimal/0x/0o integers, floats including .inf and .nan).
// Throws std::runtime_error for an alias, merge key or non-text mapping key.
Value yaml_to_value(const YAML::Node& node);

// Resolves one plain (unquoted) YAML scalar.
Value resolve_plain_scalar(const std::string& text);

// Python-style truth value: null, false, 0, 0.0, "" and empty containers are false.
bool truthy(const Value& v);

// The member `key` of a map, or nullptr when `map` is no map or the member is
// missing or null.
const Value* given_member(const Value& map, const char* key);

}  // namespace portico
