#pragma once
// When the service started and how its configuration reloads went.

#include "common/value.h"

namespace portico {

// Any thread.
class ReloadEvents {
 public:
  virtual ~ReloadEvents() = default;
  virtual void record_startup_success() = 0;
  virtual void record_auth_reload(bool success) = 0;
  virtual void record_alias_reload(bool success) = 0;
  // What the record calls kept, for the health endpoint.
  virtual Value status() const = 0;
};

}  // namespace portico
