#pragma once
// Pieces of the configuration store shared between its source files.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/interfaces.h"

namespace portico::config_internal {

// The canonical spelling of a settings key, or the empty text for an unknown one.
std::string canonical_key(std::string_view key);

// Every key in canonical order with its built-in default.
Value default_settings();

// Defaults, then the file's lines (`text` absent: no file), then the overrides.
// Problems, and warnings about accepted values that do something unexpected,
// come in file order, then override order.
std::pair<Value, Errors> parse_settings(const std::string& path, const std::optional<std::string>& text,
                                        const std::optional<Overrides>& overrides,
                                        std::vector<std::string>* warnings = nullptr);

struct AliasLoad {
  Value aliases = Value::object();
  Errors errors;
  std::vector<std::string> warnings;
  std::vector<std::string> files;  // the files read, for messages
};

// Reads every alias file of the directory and checks every definition.
AliasLoad load_alias_directory(const std::string& dir);

}  // namespace portico::config_internal
