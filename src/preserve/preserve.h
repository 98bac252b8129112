#pragma once
// Copies of a run's volumes and captured streams kept in LogDir.

#include <optional>
#include <string>

#include "common/value.h"

namespace portico::preserve {

// The stream names a preserveStreams entry may name.
extern const char* const STREAM_NAMES[2];

std::string normalize_preserve(const Value& value);
bool is_preserve_enabled(const Value& value);
Value expand_preserve_streams(const Value& raw);
void preserve_streams(const Value& entries, const std::optional<std::string>& out,
                      const std::optional<std::string>& err, const Value& log_dir,
                      const std::optional<std::string>& correlation_id);

}  // namespace portico::preserve
