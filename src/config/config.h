#pragma once
// The configuration store: settings from the `Key value` configuration file
// plus command-line overrides, and alias definitions from the alias directory.
//
// Settings and aliases are immutable snapshots held by std::shared_ptr; readers
// copy the pointer under a short lock and never wait for file I/O, so request
// threads see either the old or the new set of a concurrent (re)load, never a mix.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/config_store.h"

namespace portico {

class FileConfigStore final : public ConfigStore {
 public:
  // Called by reload_aliases() with the alias maps in effect and about to take
  // effect; any error (or exception) cancels the reload. Runs with reloads
  // locked, so it must not call apply_aliases or reload_aliases itself.
  using ReloadHook = std::function<Errors(const Value& before, const Value& after)>;

  // Starts with the built-in defaults and no aliases.
  FileConfigStore();
  ~FileConfigStore() override;
  FileConfigStore(const FileConfigStore&) = delete;
  FileConfigStore& operator=(const FileConfigStore&) = delete;

  // SettingsSource. A missing file means built-in defaults. On any problem nothing changes.
  void load(const std::string& path, const std::optional<Overrides>& overrides) override;
  // Keys match case-insensitively; null for an unknown key or one without a value.
  Value get(const std::string& key) const override;
  std::shared_ptr<const Settings> settings() const override;
  // What the last successful load() accepted but would surprise an operator
  // (for example `Container yes`, which means the host), one text per value
  // naming the file and line or the command line. Logging does not exist yet
  // while loading, so the caller reports them.
  std::vector<std::string> load_warnings() const;

  // AliasCatalog. Reads AliasDir; logs a warning for each alias of an unknown type.
  std::pair<Value, Errors> load_aliases() override;
  // Null means no aliases; throws std::invalid_argument for anything but an
  // object and for a definition the loader would refuse.
  void apply_aliases(const Value& aliases) override;
  AliasPtr alias(const std::string& name) const override;
  Value get_alias(const std::string& name) const override;
  std::vector<Value> get_all_aliases() const override;
  Value get_alias_map() const override;
  // Reloads are serialised with each other; reads never wait for them.
  Errors reload_aliases() override;
  void set_reload_hook(ReloadHook hook);

  // ReloadEvents.
  void record_startup_success() override;
  void record_auth_reload(bool success) override;
  void record_alias_reload(bool success) override;
  // {"started_at", "auth_reload": {"last", "success", "count", "failures"},
  //  "alias_reload": {...}, "aliases"}; times are UTC ISO-8601 text or null,
  // count is every reload attempt, failures those that failed.
  Value status() const override;

 private:
  struct AliasSet;
  struct Events;

  std::shared_ptr<const AliasSet> alias_set() const;

  mutable std::mutex snapshot_mu_;  // guards the two pointer swaps and load_warnings_
  std::shared_ptr<const Settings> settings_;
  std::vector<std::string> load_warnings_;
  std::shared_ptr<const AliasSet> aliases_;

  std::mutex reload_mu_;  // one alias reload at a time; also guards hook_
  ReloadHook hook_;

  mutable std::mutex events_mu_;
  std::unique_ptr<Events> events_;
};

}  // namespace portico
