#pragma once
// Request bodies as JSON, parsed without trusting their shape: nesting is
// limited and the time is linear in the size (an object's keys are appended,
// not searched for one by one).

#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace portico::api {

constexpr size_t kMaxBodyDepth = 64;

// The value, or absent with `error` set to the public text ("Request body is
// not valid JSON", "Request body nests too deeply"). A key given twice keeps
// its first place and its last value, as the library's own parser does.
std::optional<Value> parse_json_body(std::string_view text, std::string& error, size_t max_depth = kMaxBodyDepth);

}  // namespace portico::api
