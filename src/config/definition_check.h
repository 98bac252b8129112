#pragma once
// Checks of one alias definition beyond its YAML form: what no part of the
// gateway can use is refused, and what is accepted but ignored, replaced by a
// default or read unexpectedly gets a warning.

#include <string>
#include <variant>
#include <vector>

#include "common/value.h"

namespace portico::config_internal {

// Where in a definition a finding is: keys and sequence indexes from the top.
using Step = std::variant<std::string, size_t>;
using Path = std::vector<Step>;

Path operator+(Path path, Step step);
// volumes[0].preserve
std::string path_text(const Path& path);

struct Finding {
  Path at;
  std::string text;
  bool warning;
};

// Every finding for the definition, in the order of its keys.
std::vector<Finding> check_definition(const Value& def);

}  // namespace portico::config_internal
