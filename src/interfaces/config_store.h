#pragma once
// The configuration store as the libraries call it. `portico` builds one at
// start-up and hands it to the objects that use it through their constructors.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "interfaces/alias.h"
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

// Settings and alias definitions. All calls may come from any thread; reads
// see either the old or the new definitions of a concurrent reload, never a mix.
class ConfigStore {
 public:
  virtual ~ConfigStore() = default;
  // Reads the file (built-in defaults when it does not exist), applies the
  // overrides; throws ConfigError listing every problem.
  virtual void load(const std::string& path, const std::optional<Overrides>& overrides) = 0;
  // The value of a key, or null when it has none.
  virtual Value get(const std::string& key) const = 0;
  // Every key of the last successful load (built-in defaults before one).
  virtual std::shared_ptr<const Settings> settings() const = 0;
  // Loads the alias directory: (object name -> definition, errors).
  virtual std::pair<Value, Errors> load_aliases() = 0;
  virtual void apply_aliases(const Value& aliases) = 0;
  // The definition as the loader made it, or null when no alias of that name is loaded.
  virtual AliasPtr alias(const std::string& name) const = 0;
  // The definition, or null when no alias of that name is loaded.
  virtual Value get_alias(const std::string& name) const = 0;
  // All definitions, in file-name order then order within the file.
  virtual std::vector<Value> get_all_aliases() const = 0;
  // The current name -> definition object.
  virtual Value get_alias_map() const = 0;
  // All or nothing: on any error the previous aliases stay in effect.
  virtual Errors reload_aliases() = 0;
  virtual void record_startup_success() = 0;
  virtual void record_auth_reload(bool success) = 0;
  virtual void record_alias_reload(bool success) = 0;
  // What the record calls kept, for the health endpoint.
  virtual Value status() const = 0;
};

}  // namespace portico
