#pragma once
// The configuration store: one object that holds the settings and the alias
// definitions and records reload events. Libraries take the narrowest of its
// parts that they use; the start-up sequence and the watcher take the whole.

#include "interfaces/alias_catalog.h"
#include "interfaces/reload_events.h"
#include "interfaces/settings_source.h"

namespace portico {

class ConfigStore : public SettingsSource, public AliasCatalog, public ReloadEvents {
 public:
  ~ConfigStore() override = default;
};

}  // namespace portico
