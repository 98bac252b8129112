#include "imagery/imagery.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "common/duration.h"
#include "common/text.h"
#include "logging/logging.h"

namespace portico::imagery {

const std::set<std::string> REFRESH_IMAGE_VALUES{"always", "on-start", "no"};
const std::set<std::string> PREFETCH_IMAGE_VALUES{"on-start", "on-config-change", "no"};

namespace {

std::string policy_text(const Value& v) { return truthy(v) ? ascii_lower(text_form(v)) : "no"; }

}  // namespace

PullPolicy pull_policy(const Value& v) {
  const std::string text = policy_text(v);
  if (text == "always") return PullPolicy::always;
  if (text == "on-start") return PullPolicy::on_start;
  if (text == "on-config-change") return PullPolicy::on_config_change;
  if (text == "no") return PullPolicy::no;
  return PullPolicy::other;
}

namespace {

std::string effective_policy(const Value& alias_cfg, const char* key, const Value& global_default) {
  Value v;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find(key);
    if (it != alias_cfg.end()) v = *it;
  }
  if (v.is_null()) v = global_default;
  return policy_text(v);
}

}  // namespace

std::string effective_refresh_image(const Value& alias_cfg, const Value& global_default) {
  return effective_policy(alias_cfg, "refreshImage", global_default);
}

std::string effective_prefetch_image(const Value& alias_cfg, const Value& global_default) {
  return effective_policy(alias_cfg, "prefetchImage", global_default);
}

namespace {
std::mutex g_client_mu;
std::shared_ptr<docker::Client> g_client;
}  // namespace

std::shared_ptr<docker::Client> get_client() {
  std::lock_guard<std::mutex> l(g_client_mu);
  if (!g_client) g_client = docker::Client::from_env();
  return g_client;
}

bool _image_exists_locally(const docker::Client& client, const std::string& image) {
  try {
    client.inspect_image(image);
    return true;
  } catch (const docker::ImageNotFound&) {
    return false;
  }
}

double refresh_before_run(const docker::Client& client, const AliasDefinition& alias, const Value& refresh_default,
                          const Value& timeout) {
  const std::string& image = alias.image;
  if (image.empty()) return 0.0;
  if (alias.refresh_image.value_or(pull_policy(refresh_default)) != PullPolicy::always) return 0.0;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto log = app_log();
  try {
    std::packaged_task<void()> task([&] { client.pull(image); });
    auto outcome = task.get_future();
    std::thread worker(std::move(task));
    const bool in_time = !timeout.is_number() ||
                         outcome.wait_for(seconds_to_duration(timeout.get<double>())) ==
                             std::future_status::ready;
    worker.join();  // a pull cannot be interrupted: the time-out decides the message only
    if (!in_time) {
      log->error("Image refresh (pull) for " + quoted(image) + " timed out after " + plain_decimal(timeout) +
                 "s; running with existing/implicit image");
    } else {
      outcome.get();
    }
  } catch (const std::exception& e) {
    log->error("Image refresh (pull) failed for " + quoted(image) + ": " + e.what() +
               "; running with existing/implicit image");
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

namespace {

std::string container_image(const Value& cfg) {
  if (!cfg.is_object()) return "";
  const Value type = cfg.value("type", Value());
  if (!type.is_string() || type.get<std::string>() != "container") return "";
  const Value image = cfg.value("image", Value());
  return image.is_string() ? image.get<std::string>() : "";
}

}  // namespace

std::vector<std::string> startup_pull(const std::vector<Value>& aliases, const Value& refresh_default,
                                      const Value& prefetch_default, std::shared_ptr<docker::Client> client) {
  std::vector<std::pair<std::string, std::string>> image_mode;  // insertion-ordered
  auto mode_of = [&](const std::string& image) -> std::string* {
    for (auto& [k, v] : image_mode)
      if (k == image) return &v;
    return nullptr;
  };
  for (const auto& cfg : aliases) {
    const std::string image = container_image(cfg);
    if (image.empty()) continue;
    const PullPolicy prefetch = pull_policy(Value(effective_prefetch_image(cfg, prefetch_default)));
    const PullPolicy refresh = pull_policy(Value(effective_refresh_image(cfg, refresh_default)));
    std::string* current = mode_of(image);
    if (prefetch == PullPolicy::on_start || prefetch == PullPolicy::on_config_change) {
      if (current) *current = "prefetch";
      else image_mode.emplace_back(image, "prefetch");
    } else if (refresh == PullPolicy::on_start && !(current && *current == "prefetch")) {
      if (current) *current = "refresh";
      else image_mode.emplace_back(image, "refresh");
    }
  }
  std::vector<std::string> errors;
  if (image_mode.empty()) return errors;
  try {
    if (!client) client = get_client();
  } catch (const std::exception& e) {
    return {std::string("Cannot reach Docker to refresh/prefetch images at startup: ") + e.what()};
  }
  for (const auto& [image, mode] : image_mode) {
    if (mode == "refresh" && !_image_exists_locally(*client, image)) continue;
    try {
      client->pull(image);
      app_log()->info("Pulled image " + quoted(image) + " at startup (" + mode + ")");
    } catch (const std::exception& e) {
      errors.push_back("Failed to " + std::string(mode == "prefetch" ? "prefetch" : "refresh") + " image " +
                       quoted(image) + " at startup: " + e.what());
    }
  }
  return errors;
}

std::vector<std::string> reload_pull(const Value& previous_aliases, const Value& new_aliases,
                                     const Value& prefetch_default, std::shared_ptr<docker::Client> client) {
  struct Change {
    std::string name, image;
    bool image_changed;
  };
  std::vector<Change> changed;
  if (new_aliases.is_object()) {
    for (auto it = new_aliases.begin(); it != new_aliases.end(); ++it) {
      const Value& new_cfg = it.value();
      const std::string image = container_image(new_cfg);
      if (image.empty() || pull_policy(Value(effective_prefetch_image(new_cfg, prefetch_default))) != PullPolicy::on_config_change)
        continue;
      const Value old_cfg =
          previous_aliases.is_object() && previous_aliases.contains(it.key()) ? previous_aliases[it.key()] : Value();
      if (!old_cfg.is_null() && old_cfg == new_cfg) continue;
      const bool image_changed = old_cfg.is_null() || old_cfg.value("image", Value()) != new_cfg.value("image", Value());
      changed.push_back({it.key(), image, image_changed});
    }
  }
  std::vector<std::string> blocking;
  if (changed.empty()) return blocking;
  const bool any_new_image = std::any_of(changed.begin(), changed.end(), [](const Change& c) { return c.image_changed; });
  auto log = app_log();
  try {
    if (!client) client = get_client();
  } catch (const std::exception& e) {
    const std::string msg = std::string("Cannot reach Docker to prefetch changed alias images: ") + e.what();
    log->error(msg);
    if (any_new_image) blocking.push_back(msg);
    return blocking;
  }
  std::vector<std::pair<std::string, std::vector<const Change*>>> by_image;
  for (const auto& c : changed) {
    auto it = std::find_if(by_image.begin(), by_image.end(), [&](const auto& e) { return e.first == c.image; });
    if (it == by_image.end()) by_image.push_back({c.image, {&c}});
    else it->second.push_back(&c);
  }
  for (const auto& [image, entries] : by_image) {
    std::string names;
    bool blocks = false;
    for (const Change* c : entries) {
      names += (names.empty() ? "" : ", ") + c->name;
      blocks = blocks || c->image_changed;
    }
    try {
      client->pull(image);
      log->info("Prefetched image " + quoted(image) + " for alias(es) " + names + " after configuration change");
    } catch (const std::exception& e) {
      const std::string msg = "Failed to prefetch image " + quoted(image) + " for alias(es) " + names + ": " + e.what();
      log->error(msg);
      if (blocks) blocking.push_back(msg);
    }
  }
  return blocking;
}

}  // namespace portico::imagery
