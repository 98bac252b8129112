#pragma once
// Pieces of the configuration store shared between its source files.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/alias.h"
#include "interfaces/settings_source.h"
#include "interfaces/settings.h"

namespace portico::config_internal {

// Every key in canonical order with its value in `settings`.
Value setting_values(const Settings& settings);

// The value of one key (any letter case) as get() answers it; null for an unknown key.
Value setting_value(const Settings& settings, std::string_view key);

// Sets the field of a key from a value of the converted form, unchecked (for
// stores that are not loaded from a file); false for an unknown key.
bool assign_setting(Settings& settings, std::string_view key, const Value& value);

// Defaults, then the file's lines (`text` absent: no file), then the overrides.
// Problems, and warnings about accepted values that do something unexpected,
// come in file order, then override order.
std::pair<Settings, Errors> parse_settings(const std::string& path, const std::optional<std::string>& text,
                                           const std::optional<Overrides>& overrides,
                                           std::vector<std::string>* warnings = nullptr);

// The typed form of a definition the checks accepted.
AliasPtr build_alias(Value def);
// Checks a definition as the loader does and builds it; throws
// std::invalid_argument with the first problem when the loader would refuse it.
AliasPtr parse_alias(const Value& def);

struct AliasLoad {
  Value aliases = Value::object();
  std::vector<std::pair<std::string, AliasPtr>> definitions;  // in the order of `aliases`
  Errors errors;
  std::vector<std::string> warnings;
  std::vector<std::string> files;  // the files read, for messages
};

// Reads every alias file of the directory and checks every definition.
AliasLoad load_alias_directory(const std::string& dir);

}  // namespace portico::config_internal
