#pragma once
// Keeps the running service in step with AuthDir and AliasDir: periodic
// polling of modification times plus inotify events, both feeding one change
// test per directory, so a change is reloaded once by whichever sees it first.
// Neither acts on a directory whose files are still being written.
//
// Thread rules: start() and stop() are called by the program's main or signal
// thread; the polling thread ("portico-config-watcher") and the inotify thread
// call the reloads; the stores must accept overlapping reloads.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "interfaces/auth_store.h"
#include "interfaces/config_store.h"

namespace portico {

// Path -> modification time in seconds (sub-second precision).
using Snapshot = std::map<std::string, double>;

class ConfigWatcher {
 public:
  // Full name of the polling thread; the kernel keeps its first 15 characters.
  static constexpr const char* kThreadName = "portico-config-watcher";
  // A directory is reloaded once its files have been quiet this long, so an
  // in-place save (truncate, then write) is never read half written.
  static constexpr std::chrono::milliseconds kSettleDelay{200};
  // Events keep postponing a reload at most this long.
  static constexpr std::chrono::milliseconds kMaxSettle{2000};

  ConfigWatcher();
  ~ConfigWatcher();
  ConfigWatcher(const ConfigWatcher&) = delete;
  ConfigWatcher& operator=(const ConfigWatcher&) = delete;

  // Reads AuthReload, AliasReload, AuthDir and AliasDir and starts watching
  // (nothing when both intervals are 0). Returns at once.
  void start(ConfigStore& config_instance, AuthStore& auth_instance);
  // Ends watching: the inotify thread and the polling thread are gone when it
  // returns (a reload in progress is finished first). Safe to call repeatedly.
  void stop();

  // YAML entries directly in the directory; empty when it cannot be listed.
  static Snapshot _snapshot(const std::string& directory);
  // Replaces `known` and returns true when a fresh snapshot differs from it.
  // The caller holds the lock that belongs to `known`.
  static bool _has_changed(const std::string& directory, Snapshot& known);
  static bool _is_yaml(std::string_view path);
  // Whether an entry was modified less than kSettleDelay ago.
  static bool _settling(const Snapshot& snap);

  void _reload_auth();
  void _reload_aliases();

  // For tests and health details.
  bool polling() const;
  bool observing() const;

 private:
  class Observer;
  friend class Observer;

  void _poll_loop(double auth_reload, double alias_reload, std::string auth_dir, std::string alias_dir);
  void _start_os_watcher(const std::string& auth_dir, const std::string& alias_dir, double auth_reload,
                         double alias_reload);
  // An event from the observer thread for one of the two directories.
  void on_event(bool auth, const std::string& source_path);

  ConfigStore* _config = nullptr;
  AuthStore* _auth = nullptr;
  std::string auth_dir_, alias_dir_;

  mutable std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  bool _stop = false;
  std::thread _thread;
  std::unique_ptr<Observer> _observer;

  Snapshot _auth_mtimes, _alias_mtimes;
  std::mutex _auth_lock, _alias_lock;
};

extern ConfigWatcher config_watcher;

}  // namespace portico
