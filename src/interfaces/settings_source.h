#pragma once
// The settings half of the configuration store.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "interfaces/errors.h"
#include "interfaces/settings.h"

namespace portico {

// Unusable configuration: carries every problem found, in order.
class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(Errors errs)
      : std::runtime_error(errs.empty() ? std::string("configuration error") : errs.front()),
        errors(std::move(errs)) {}
  Errors errors;
};

// Ordered configuration overrides: key -> text exactly as typed.
using Overrides = std::vector<std::pair<std::string, std::string>>;

// Any thread; a read sees the settings of one load, never a mix of two.
class SettingsSource {
 public:
  virtual ~SettingsSource() = default;
  // Reads the file (built-in defaults when it does not exist), applies the
  // overrides; throws ConfigError listing every problem.
  virtual void load(const std::string& path, const std::optional<Overrides>& overrides) = 0;
  // The value of a key, or null when it has none.
  virtual Value get(const std::string& key) const = 0;
  // Every key of the last successful load (built-in defaults before one).
  virtual std::shared_ptr<const Settings> settings() const = 0;
};

}  // namespace portico
