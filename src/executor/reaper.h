#pragma once
// Containers the gateway started are never left behind.
//
// Every container a run creates carries these labels:
//   io.portico.managed=true            Portico made it
//   io.portico.instance=HOST:PIDFILE   the gateway installation that made it
//   io.portico.correlation-id=ID       the run (its X-Correlation-ID)
// One installation (one PID file on one host) runs one gateway at a time, so
// a container of our instance that no run of this process has in progress is
// a leftover: of a run whose removal failed, or of an earlier process that
// died. The reaper removes them:
//   - remove_later(): a removal that failed is retried in the background with
//     back-off until it succeeds;
//   - sweep(): at start() and then periodically, exited, created and dead
//     containers of our instance whose run is not in progress are removed.
//     Running ones are left alone until they exit: should two gateways ever
//     share an instance name by mistake, neither kills the other's runs.
// Containers of another instance, and unlabelled ones, are never touched.
//
// Thread rules: every member may be called from any thread. One worker
// thread, started by start() and joined by stop(), does all Engine calls.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace portico {

namespace docker { class Client; }

inline constexpr const char* kLabelManaged = "io.portico.managed";
inline constexpr const char* kLabelInstance = "io.portico.instance";
inline constexpr const char* kLabelCorrelation = "io.portico.correlation-id";

// The labels of a run's container; an empty instance is left out.
std::map<std::string, std::string> container_labels(const std::string& correlation_id, const std::string& instance);

struct ReaperTiming {
  std::chrono::milliseconds sweep_interval{std::chrono::seconds(60)};
  std::chrono::milliseconds first_retry{500};
  std::chrono::milliseconds max_retry{std::chrono::seconds(30)};
  size_t max_pending = 4096;  // beyond this a failed removal is left to the sweep
};

class ContainerReaper {
 public:
  // The Docker client to use; may throw when the Engine is unreachable.
  using ClientSource = std::function<std::shared_ptr<docker::Client>()>;
  // Whether sweeping is worth an Engine call (e.g. a container alias exists).
  using Wanted = std::function<bool()>;

  ContainerReaper(ClientSource client, std::string instance, Wanted wanted = {}, ReaperTiming timing = {});
  ~ContainerReaper();  // stop()
  ContainerReaper(const ContainerReaper&) = delete;
  ContainerReaper& operator=(const ContainerReaper&) = delete;

  const std::string& instance() const { return instance_; }

  // Starts the worker: a sweep at once, then every sweep_interval.
  void start();
  // Joins the worker. Removals still pending get one last attempt unless the
  // Engine was unreachable at the last try; what remains is logged.
  void stop();

  // Marks a run in progress for as long as it lives: the sweep leaves its
  // containers alone. Take it before the container is created.
  class Run {
   public:
    Run(ContainerReaper& reaper, std::string correlation_id);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

   private:
    ContainerReaper& reaper_;
    std::multiset<std::string>::iterator it_;
  };

  // Hands over a container whose removal failed (`why`): it is force-removed
  // in the background, retried with back-off until the Engine agrees.
  void remove_later(const std::string& container_id, const std::string& why);
  size_t pending() const;

  // One sweep now, on the caller's thread; returns how many were removed.
  size_t sweep();

 private:
  void loop();
  void retry_pending(bool last);
  std::shared_ptr<docker::Client> client_or_log(const char* purpose);

  ClientSource client_;
  const std::string instance_;
  Wanted wanted_;
  const ReaperTiming timing_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::multiset<std::string> in_progress_;  // correlation ids
  std::map<std::string, std::string> pending_;  // container id -> why its removal failed
  std::chrono::steady_clock::time_point next_retry_{};
  std::chrono::milliseconds backoff_;
  bool stopping_ = false;
  bool engine_down_ = false;  // the last attempt could not reach the Engine
  std::thread worker_;
};

}  // namespace portico
