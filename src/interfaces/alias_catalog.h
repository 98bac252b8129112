#pragma once
// The alias half of the configuration store.

#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "interfaces/alias.h"
#include "interfaces/errors.h"

namespace portico {

// Any thread; reads see either the old or the new definitions of a
// concurrent reload, never a mix.
class AliasCatalog {
 public:
  virtual ~AliasCatalog() = default;
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
};

}  // namespace portico
