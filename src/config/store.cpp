#include <time.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "common/timestamp.h"
#include "common/fd.h"
#include "common/text.h"
#include "config/config.h"
#include "config/internal.h"
#include "logging/logging.h"

namespace portico {

struct FileConfigStore::AliasSet {
  Value map = Value::object();
  std::unordered_map<std::string, AliasPtr> index;

  AliasSet() = default;
  AliasSet(Value m, const std::vector<std::pair<std::string, AliasPtr>>& definitions) : map(std::move(m)) {
    for (const auto& [name, def] : definitions) index.emplace(name, def);
  }
};

struct FileConfigStore::Events {
  struct Outcome {
    Value last;  // time of the last attempt
    Value success;
    long long count = 0;
    long long failures = 0;

    void record(bool ok, const std::string& when) {
      last = when;
      success = ok;
      ++count;
      if (!ok) ++failures;
    }
    Value to_value() const {
      return Value{{"last", last}, {"success", success}, {"count", count}, {"failures", failures}};
    }
  };
  Value started_at;
  Outcome auth, alias;
};

namespace {

std::string utc_now() { return format_time(std::chrono::system_clock::now(), Zone::utc, "%Y-%m-%dT%H:%M:%SZ"); }

// Reads AliasDir and logs a warning for each alias of an unknown type.
config_internal::AliasLoad read_alias_dir(const std::string& dir) {
  auto loaded = config_internal::load_alias_directory(dir);
  if (!loaded.warnings.empty()) {
    auto log = app_log();
    for (const auto& w : loaded.warnings) log->warn(w);
  }
  return loaded;
}

}  // namespace

FileConfigStore::FileConfigStore()
    : settings_(std::make_shared<const Settings>()),
      aliases_(std::make_shared<const AliasSet>()),
      events_(std::make_unique<Events>()) {}

FileConfigStore::~FileConfigStore() = default;

std::shared_ptr<const Settings> FileConfigStore::settings() const {
  std::lock_guard<std::mutex> l(snapshot_mu_);
  return settings_;
}

std::shared_ptr<const FileConfigStore::AliasSet> FileConfigStore::alias_set() const {
  std::lock_guard<std::mutex> l(snapshot_mu_);
  return aliases_;
}

void FileConfigStore::load(const std::string& path, const std::optional<Overrides>& overrides) {
  std::optional<std::string> text;
  try {
    text = read_file(path);
  } catch (const std::system_error& e) {
    const int err = e.code().value();
    if (err != ENOENT && err != ENOTDIR) throw ConfigError({path + ": " + e.code().message()});
  }
  std::vector<std::string> warnings;
  auto [values, errors] = config_internal::parse_settings(path, text, overrides, &warnings);
  if (!errors.empty()) throw ConfigError(std::move(errors));
  auto fresh = std::make_shared<const Settings>(std::move(values));
  std::lock_guard<std::mutex> l(snapshot_mu_);
  settings_ = std::move(fresh);
  load_warnings_ = std::move(warnings);
}

std::vector<std::string> FileConfigStore::load_warnings() const {
  std::lock_guard<std::mutex> l(snapshot_mu_);
  return load_warnings_;
}

Value FileConfigStore::get(const std::string& key) const { return config_internal::setting_value(*settings(), key); }

std::pair<Value, Errors> FileConfigStore::load_aliases() {
  auto loaded = read_alias_dir(settings()->alias_dir);
  return {std::move(loaded.aliases), std::move(loaded.errors)};
}

void FileConfigStore::apply_aliases(const Value& aliases) {
  if (!aliases.is_null() && !aliases.is_object())
    throw std::invalid_argument("aliases must be a map of names to definitions");
  std::vector<std::pair<std::string, AliasPtr>> definitions;
  if (aliases.is_object()) {
    for (auto it = aliases.begin(); it != aliases.end(); ++it) {
      try {
        definitions.emplace_back(it.key(), config_internal::parse_alias(it.value()));
      } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("alias " + quoted(it.key()) + ": " + e.what());
      }
    }
  }
  auto fresh = std::make_shared<const AliasSet>(aliases.is_null() ? Value::object() : aliases, definitions);
  std::lock_guard<std::mutex> rl(reload_mu_);
  std::lock_guard<std::mutex> l(snapshot_mu_);
  aliases_ = std::move(fresh);
}

AliasPtr FileConfigStore::alias(const std::string& name) const {
  const auto set = alias_set();
  auto it = set->index.find(name);
  return it == set->index.end() ? nullptr : it->second;
}

Value FileConfigStore::get_alias(const std::string& name) const {
  const AliasPtr def = alias(name);
  return def ? def->raw : Value();
}

std::vector<Value> FileConfigStore::get_all_aliases() const {
  const auto set = alias_set();
  std::vector<Value> out;
  out.reserve(set->map.size());
  for (const auto& def : set->map) out.push_back(def);
  return out;
}

Value FileConfigStore::get_alias_map() const { return alias_set()->map; }

Errors FileConfigStore::reload_aliases() {
  std::lock_guard<std::mutex> rl(reload_mu_);
  const std::string dir = settings()->alias_dir;
  auto loaded = read_alias_dir(dir);
  if (!loaded.errors.empty()) return loaded.errors;
  Value fresh = std::move(loaded.aliases);
  // Start-up refuses to run without aliases; a file caught empty while it is
  // rewritten must not take every alias away either.
  if (fresh.empty()) {
    std::string where;
    for (const auto& f : loaded.files) where += (where.empty() ? "" : ", ") + f;
    return {"No aliases configured in " + (where.empty() ? dir : where) +
            "; the previous aliases stay in effect"};
  }
  Errors errors;
  const auto current = alias_set();
  if (hook_) {
    try {
      errors = hook_(current->map, fresh);
    } catch (const std::exception& e) {
      errors = {std::string("alias reload hook failed: ") + e.what()};
    }
    if (!errors.empty()) return errors;
  }
  auto next = std::make_shared<const AliasSet>(std::move(fresh), loaded.definitions);
  std::lock_guard<std::mutex> l(snapshot_mu_);
  aliases_ = std::move(next);
  return {};
}

void FileConfigStore::set_reload_hook(ReloadHook hook) {
  std::lock_guard<std::mutex> rl(reload_mu_);
  hook_ = std::move(hook);
}

void FileConfigStore::record_startup_success() {
  const std::string now = utc_now();
  std::lock_guard<std::mutex> l(events_mu_);
  events_->started_at = now;
}

void FileConfigStore::record_auth_reload(bool success) {
  const std::string now = utc_now();
  std::lock_guard<std::mutex> l(events_mu_);
  events_->auth.record(success, now);
}

void FileConfigStore::record_alias_reload(bool success) {
  const std::string now = utc_now();
  std::lock_guard<std::mutex> l(events_mu_);
  events_->alias.record(success, now);
}

Value FileConfigStore::status() const {
  const size_t alias_count = alias_set()->map.size();
  std::lock_guard<std::mutex> l(events_mu_);
  return Value{{"started_at", events_->started_at},
               {"auth_reload", events_->auth.to_value()},
               {"alias_reload", events_->alias.to_value()},
               {"aliases", alias_count}};
}

}  // namespace portico
