#include "executor/reaper.h"

#include <pthread.h>

#include <algorithm>
#include <vector>

#include "common/thread.h"
#include "common/value.h"
#include "docker/docker.h"
#include "logging/logging.h"

namespace portico {
namespace {

std::string short_id(const std::string& id) { return id.substr(0, 12); }

}  // namespace

std::map<std::string, std::string> container_labels(const std::string& correlation_id, const std::string& instance) {
  std::map<std::string, std::string> labels{{kLabelManaged, "true"}, {kLabelCorrelation, correlation_id}};
  if (!instance.empty()) labels[kLabelInstance] = instance;
  return labels;
}

ContainerReaper::ContainerReaper(ClientSource client, std::string instance, Wanted wanted, ReaperTiming timing)
    : client_(std::move(client)),
      instance_(std::move(instance)),
      wanted_(std::move(wanted)),
      timing_(timing),
      backoff_(timing.first_retry) {}

ContainerReaper::~ContainerReaper() { stop(); }

void ContainerReaper::start() {
  std::lock_guard<std::mutex> l(mu_);
  if (worker_.joinable()) return;
  stopping_ = false;
  worker_ = start_quiet_thread([this] { loop(); });
}

void ContainerReaper::stop() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!worker_.joinable()) return;
    stopping_ = true;
  }
  cv_.notify_all();
  worker_.join();
}

ContainerReaper::Run::Run(ContainerReaper& reaper, std::string correlation_id) : reaper_(reaper) {
  std::lock_guard<std::mutex> l(reaper_.mu_);
  it_ = reaper_.in_progress_.insert(std::move(correlation_id));
}

ContainerReaper::Run::~Run() {
  std::lock_guard<std::mutex> l(reaper_.mu_);
  reaper_.in_progress_.erase(it_);
}

void ContainerReaper::remove_later(const std::string& container_id, const std::string& why) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (pending_.count(container_id)) return;
    if (pending_.size() >= timing_.max_pending) {
      app_log()->warn("Container " + short_id(container_id) + " could not be removed (" + why +
                      "); too many removals are pending, so the periodic clean-up will remove it once it has stopped");
      return;
    }
    if (pending_.empty()) {
      backoff_ = timing_.first_retry;
      next_retry_ = std::chrono::steady_clock::now() + backoff_;
    }
    pending_.emplace(container_id, why);
  }
  app_log()->warn("Container " + short_id(container_id) + " could not be removed (" + why +
                  "); retrying in the background");
  cv_.notify_all();
}

size_t ContainerReaper::pending() const {
  std::lock_guard<std::mutex> l(mu_);
  return pending_.size();
}

std::shared_ptr<docker::Client> ContainerReaper::client_or_log(const char* purpose) {
  try {
    return client_();
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> l(mu_);
    if (!engine_down_) app_log()->warn(std::string("Docker Engine unreachable for ") + purpose + ": " + e.what());
    engine_down_ = true;
    return nullptr;
  }
}

void ContainerReaper::retry_pending(bool last) {
  std::vector<std::string> ids;
  {
    std::lock_guard<std::mutex> l(mu_);
    for (const auto& [id, why] : pending_) ids.push_back(id);
  }
  if (ids.empty()) return;
  bool down = true;
  if (auto client = client_or_log("removing containers")) {
    down = false;
    for (const auto& id : ids) {
      try {
        client->remove(id, true);
        std::lock_guard<std::mutex> l(mu_);
        pending_.erase(id);
        app_log()->info("Removed container " + short_id(id) + " after its removal had failed");
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> l(mu_);
        if (auto it = pending_.find(id); it != pending_.end()) it->second = e.what();
        // All the others would fail the same way.
        if (docker::is_unreachable(e)) {
          down = true;
          break;
        }
      }
    }
  }
  std::lock_guard<std::mutex> l(mu_);
  engine_down_ = down;
  if (pending_.empty()) {
    backoff_ = timing_.first_retry;
    return;
  }
  if (last) return;
  backoff_ = std::min(backoff_ * 2, timing_.max_retry);
  next_retry_ = std::chrono::steady_clock::now() + backoff_;
}

size_t ContainerReaper::sweep() {
  if (wanted_ && !wanted_()) return 0;
  auto client = client_or_log("the container clean-up");
  if (!client) return 0;
  Value found;
  try {
    found = client->list_containers(Value{{"label", Value::array({std::string(kLabelInstance) + "=" + instance_})},
                                          {"status", Value::array({"exited", "created", "dead"})}});
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> l(mu_);
    if (!engine_down_) app_log()->warn(std::string("Container clean-up failed: ") + e.what());
    engine_down_ = docker::is_unreachable(e);
    return 0;
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    engine_down_ = false;
  }
  size_t removed = 0;
  for (const Value& c : found) {
    // The Engine filtered already; check again rather than remove what is not ours.
    const Value labels = c.value("Labels", Value());
    if (!labels.is_object() || labels.value(kLabelInstance, Value()) != instance_) continue;
    const std::string state = c.value("State", Value()).is_string() ? c["State"].get<std::string>() : "";
    if (state != "exited" && state != "created" && state != "dead") continue;
    const Value cid_v = labels.value(kLabelCorrelation, Value());
    const std::string cid = cid_v.is_string() ? cid_v.get<std::string>() : "";
    const std::string id = c["Id"];
    {
      // Listed before this check: a run that is still in progress took its
      // mark before its container existed, so it is seen here.
      std::lock_guard<std::mutex> l(mu_);
      if (in_progress_.count(cid)) continue;
    }
    try {
      client->remove(id, true);
      ++removed;
      std::lock_guard<std::mutex> l(mu_);
      pending_.erase(id);
      app_log()->info("Removed leftover container " + short_id(id) + " of run " + (cid.empty() ? "-" : cid));
    } catch (const std::exception& e) {
      app_log()->warn("Could not remove leftover container " + short_id(id) + ": " + e.what());
      if (docker::is_unreachable(e)) break;
    }
  }
  return removed;
}

void ContainerReaper::loop() {
  pthread_setname_np(pthread_self(), "portico-reaper");
  auto next_sweep = std::chrono::steady_clock::now();  // leftovers of an earlier process go first
  std::unique_lock<std::mutex> l(mu_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (!pending_.empty() && now >= next_retry_) {
      l.unlock();
      retry_pending(false);
      l.lock();
      continue;
    }
    if (now >= next_sweep) {
      l.unlock();
      try {
        sweep();
      } catch (const std::exception& e) {
        app_log()->error(std::string("Container clean-up failed: ") + e.what());
      }
      l.lock();
      next_sweep = std::chrono::steady_clock::now() + timing_.sweep_interval;
      continue;
    }
    auto wake = next_sweep;
    if (!pending_.empty()) wake = std::min(wake, next_retry_);
    cv_.wait_until(l, wake);
  }
  if (!pending_.empty() && !engine_down_) {
    l.unlock();
    retry_pending(true);
    l.lock();
  }
  for (const auto& [id, why] : pending_)
    app_log()->warn("Container " + short_id(id) + " was not removed before shutdown (" + why +
                    "); the next start removes it once it has stopped");
}

}  // namespace portico
