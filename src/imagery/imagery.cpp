#include "imagery/imagery.h"

#include <cctype>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "logging/logging.h"

namespace portico::imagery {

const std::set<std::string> REFRESH_IMAGE_VALUES{"always", "on-start", "no"};
const std::set<std::string> PREFETCH_IMAGE_VALUES{"on-start", "on-config-change", "no"};

namespace {

std::string effective_policy(const Value& alias_cfg, const char* key, const Value& global_default) {
  Value v;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find(key);
    if (it != alias_cfg.end()) v = *it;
  }
  if (v.is_null()) v = global_default;
  if (!truthy(v)) return "no";
  std::string text = text_form(v);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
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

double refresh_before_run(const docker::Client& client, const Value& alias_cfg, const Value& refresh_default,
                          const Value& timeout) {
  const Value image_v = alias_cfg.is_object() ? alias_cfg.value("image", Value()) : Value();
  if (!image_v.is_string() || image_v.get<std::string>().empty()) return 0.0;
  const std::string image = image_v.get<std::string>();
  if (effective_refresh_image(alias_cfg, refresh_default) != "always") return 0.0;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto log = app_log();
  try {
    std::packaged_task<void()> task([&] { client.pull(image); });
    auto outcome = task.get_future();
    std::thread worker(std::move(task));
    const bool in_time = !timeout.is_number() ||
                         outcome.wait_for(std::chrono::duration<double>(timeout.get<double>())) ==
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

}  // namespace portico::imagery
