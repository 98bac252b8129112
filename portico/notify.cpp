#include "portico/notify.h"

#include <dlfcn.h>
#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/thread.h"
#include "logging/logging.h"

namespace portico::app {
namespace {

// libsystemd and the six libraries it pulls in cost about 0.8 MB of resident
// memory; only a gateway run by a service manager needs them, so they are
// opened on first use, never at start.
struct Systemd {
  decltype(&::sd_notify) notify = nullptr;
  decltype(&::sd_watchdog_enabled) watchdog_enabled = nullptr;
};

const Systemd& systemd() {
  static const Systemd api = [] {
    Systemd s;
    void* lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);  // never unloaded
    if (!lib) {
      const char* why = dlerror();
      app_log()->warn(std::string("Cannot notify the service manager: ") + (why ? why : "libsystemd not found"));
      return s;
    }
    s.notify = reinterpret_cast<decltype(s.notify)>(dlsym(lib, "sd_notify"));
    s.watchdog_enabled = reinterpret_cast<decltype(s.watchdog_enabled)>(dlsym(lib, "sd_watchdog_enabled"));
    return s;
  }();
  return api;
}

int notify_manager(int unset_environment, const char* state) {
  return systemd().notify ? systemd().notify(unset_environment, state) : -ENOSYS;
}

int watchdog_usec(int unset_environment, uint64_t* usec) {
  return systemd().watchdog_enabled ? systemd().watchdog_enabled(unset_environment, usec) : 0;
}

void send(const char* state) {
  const int rc = notify_manager(0, state);
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
  if (watchdog_usec(0, &usec) <= 0 || usec == 0) return;
  // Pings stop when the stores or the server stop answering, and the
  // service manager then restarts the service.
  while (wait(std::chrono::microseconds(usec / 2)))
    if (alive()) send("WATCHDOG=1");
}

void ServiceNotifier::reloading() {
  if (std::getenv("NOTIFY_SOCKET")) notify_manager(0, "RELOADING=1\nSTATUS=Reloading authentication and aliases");
}

void ServiceNotifier::reloaded() {
  if (std::getenv("NOTIFY_SOCKET")) notify_manager(0, "READY=1\nSTATUS=Serving");
}

void ServiceNotifier::stopping() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (std::getenv("NOTIFY_SOCKET")) notify_manager(0, "STOPPING=1\nSTATUS=Shutting down");
}

}  // namespace portico::app
