#pragma once
// Process-level operations of the gateway: daemon, PID file, the error log
// used before logging exists, container detection.

#include <optional>
#include <string>

#include "common/value.h"

namespace portico::app {

extern const char* const kPreInitLog;  // "/var/log/portico/app.log"

// Double fork; returns in the detached grandchild. Exits 1 when a fork fails.
void _daemonize();
// Writes the decimal pid without a line end, or exits 1.
void _write_pid(const std::string& path);
// Never fails.
void _remove_pid(const std::string& path);
// Appends one error line; never fails.
void _log_pre_init_error(const std::string& msg);

// Whether the service runs in a container: the setting when present, else
// /.dockerenv, /run/.containerenv or a "container" environment variable.
bool _is_running_in_container(const Value& container_setting);
std::string _container_mode_description(const Value& container_setting);
std::optional<std::string> _external_dir_startup_warning(const Value& container_setting, const Value& external_dir);

}  // namespace portico::app
