#pragma once
// Command line of the gateway program: options, configuration file choice and
// the overrides handed to the configuration store.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/settings_source.h"

namespace portico::app {

extern const char* const DEFAULT_CONFIG;  // "/etc/portico/portico.conf"

// The program's version: that of the Debian package that installed this
// executable, else the build's stamp, else "unknown".
const std::string& version();
// The version of the installed package (portico, portico-pure or
// portico-dbg) whose file list holds `exe`, from dpkg's database in `dpkg_dir`.
std::optional<std::string> _package_version(const std::string& exe, const std::string& dpkg_dir);

struct CliToKey {
  const char* option;  // without dashes: "pid-file"
  const char* key;     // "PidFile"
  const char* placeholder;
  const char* help;
};
extern const std::vector<CliToKey> CLI_TO_KEY;

struct Args {
  std::optional<std::string> config;
  bool daemon = false;
  // Option field (as in CLI_TO_KEY) -> value exactly as typed; last one wins.
  std::vector<std::pair<std::string, std::string>> values;
};

// What the caller should do after parsing.
struct ParseOutcome {
  int exit_status = -1;  // -1: continue; otherwise exit with it
  Args args;
};

// Parses argv. Help and version go to `out`, usage errors to `err`.
ParseOutcome parse_args(int argc, char** argv, std::FILE* out, std::FILE* err);

// One entry per present option, in CLI_TO_KEY order; absent when none.
std::optional<Overrides> build_overrides(const Args& args);

std::optional<std::string> _missing_config_warning(const std::string& config_path, bool is_default);

}  // namespace portico::app
