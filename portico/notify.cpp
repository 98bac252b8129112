#include "portico/notify.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <cstring>
#include <string>

#include "common/thread.h"
#include "logging/logging.h"

namespace portico::app {
namespace {

void send(const char* state) {
  const int rc = sd_notify(0, state);
  if (rc < 0) app_log()->warn(std::string("Cannot notify the service manager: ") + std::strerror(-rc));
}

}  // namespace

ServiceNotifier::~ServiceNotifier() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServiceNotifier::start(std::function<bool()> listening, std::function<bool()> alive) {
  if (!std::getenv("NOTIFY_SOCKET")) return;
  thread_ = start_quiet_thread([this, listening = std::move(listening), alive = std::move(alive)] {
    pthread_setname_np(pthread_self(), "portico-notify");
    run(listening, alive);
  });
}

bool ServiceNotifier::wait(std::chrono::microseconds d) {
  std::unique_lock<std::mutex> l(mu_);
  return !cv_.wait_for(l, d, [this] { return stop_; });
}

void ServiceNotifier::run(const std::function<bool()>& listening, const std::function<bool()>& alive) {
  while (!listening())
    if (!wait(std::chrono::milliseconds(20))) return;
  send("READY=1\nSTATUS=Serving");
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
  // Pings stop when the stores or the server stop answering, and the
  // service manager then restarts the service.
  while (wait(std::chrono::microseconds(usec / 2)))
    if (alive()) send("WATCHDOG=1");
}

void ServiceNotifier::reloading() { sd_notify(0, "RELOADING=1\nSTATUS=Reloading authentication and aliases"); }

void ServiceNotifier::reloaded() { sd_notify(0, "READY=1\nSTATUS=Serving"); }

void ServiceNotifier::stopping() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  sd_notify(0, "STOPPING=1\nSTATUS=Shutting down");
}

}  // namespace portico::app
