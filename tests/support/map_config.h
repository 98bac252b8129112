#pragma once
// An in-memory configuration store for tests that need a few keys and aliases
// without files. Keys not set keep their built-in defaults.

#include <map>
#include <mutex>
#include <stdexcept>

#include "config/internal.h"
#include "interfaces/config_store.h"

namespace portico::test {

class MapConfig final : public ConfigStore {
 public:
  void set(const std::string& key, Value v) {
    std::lock_guard<std::mutex> l(mu_);
    values_[key] = std::move(v);
  }
  // Throws std::invalid_argument for a definition the alias loader would refuse.
  void set_alias(const std::string& name, Value def) {
    AliasPtr parsed = config_internal::parse_alias(def);
    std::lock_guard<std::mutex> l(mu_);
    aliases_[name] = std::move(def);
    parsed_[name] = std::move(parsed);
  }

  void load(const std::string&, const std::optional<Overrides>&) override {}
  Value get(const std::string& key) const override { return config_internal::setting_value(*settings(), key); }
  std::shared_ptr<const Settings> settings() const override {
    auto s = std::make_shared<Settings>();
    std::lock_guard<std::mutex> l(mu_);
    for (const auto& [key, value] : values_)
      if (!config_internal::assign_setting(*s, key, value)) throw std::invalid_argument("unknown setting " + key);
    return s;
  }
  std::pair<Value, Errors> load_aliases() override { return {get_alias_map(), {}}; }
  void apply_aliases(const Value& a) override {
    std::map<std::string, AliasPtr> parsed;
    for (const auto& [name, def] : a.items()) parsed[name] = config_internal::parse_alias(def);
    std::lock_guard<std::mutex> l(mu_);
    aliases_ = a;
    parsed_ = std::move(parsed);
  }
  AliasPtr alias(const std::string& name) const override {
    std::lock_guard<std::mutex> l(mu_);
    auto it = parsed_.find(name);
    return it == parsed_.end() ? nullptr : it->second;
  }
  Value get_alias(const std::string& name) const override {
    std::lock_guard<std::mutex> l(mu_);
    auto it = aliases_.find(name);
    return it == aliases_.end() ? Value() : *it;
  }
  std::vector<Value> get_all_aliases() const override {
    std::lock_guard<std::mutex> l(mu_);
    std::vector<Value> out;
    for (const auto& [k, v] : aliases_.items()) out.push_back(v);
    return out;
  }
  Value get_alias_map() const override {
    std::lock_guard<std::mutex> l(mu_);
    return aliases_;
  }
  Errors reload_aliases() override { return {}; }
  void record_startup_success() override {}
  void record_auth_reload(bool) override {}
  void record_alias_reload(bool) override {}
  Value status() const override { return Value::object(); }

 private:
  mutable std::mutex mu_;
  std::map<std::string, Value> values_;
  Value aliases_ = Value::object();
  std::map<std::string, AliasPtr> parsed_;
};

}  // namespace portico::test
