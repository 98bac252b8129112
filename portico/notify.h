#pragma once
// The service manager's notify protocol (systemd units of Type=notify), sent
// through libsystemd's sd_notify. Without NOTIFY_SOCKET every call does nothing.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace portico::app {

class ServiceNotifier {
 public:
  ServiceNotifier() = default;
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Starts a thread that sends READY=1 once `listening` holds, then, when the
  // unit sets a watchdog, WATCHDOG=1 at half its interval for as long as
  // `alive` answers true. Returns at once.
  void start(std::function<bool()> listening, std::function<bool()> alive);
  void reloading();  // RELOADING=1
  void reloaded();   // READY=1 after a reload
  void stopping();   // STOPPING=1; also ends the thread

 private:
  void run(const std::function<bool()>& listening, const std::function<bool()>& alive);
  bool wait(std::chrono::microseconds d);  // false once stopping

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace portico::app
