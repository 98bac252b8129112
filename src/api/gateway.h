#pragma once
// The routes of the API and what they share: sign-in, the run queue, the
// pools and the metrics. Health, metrics and refusals are answered on the
// I/O thread; password checks, runs and file reads each have their own pool,
// so none of them waits behind another.
//
// Thread rules: handle() from the I/O threads; stop() once, after the
// connections are gone.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "api/exchange.h"
#include "api/metrics.h"
#include "api/pool.h"
#include "api/router.h"
#include "api/signin.h"
#include "common/value.h"
#include "executor/run_result.h"
#include "interfaces/auth_store.h"
#include "interfaces/config_store.h"
#include "interfaces/logging.h"
#include "jobs/job_store.h"
#include "jobs/live_job.h"

namespace portico {
class Executor;
}  // namespace portico

namespace portico::api {

struct GatewayOptions {
  size_t run_threads = 64;
  size_t run_queue = 64;
  size_t auth_failure_limit = 10;
  size_t job_output_bytes = 1 << 20;
  size_t job_retention_days = 30;  // 0: keep every job
  std::string version = "unknown";
};

class Gateway final : public RequestHandler {
 public:
  Gateway(const ConfigStore& config, AuthStore& auth, Logging& logging, Executor& executor, jobs::JobStore& jobs,
          GatewayOptions options);
  ~Gateway() override;

  void handle(const ExchangePtr& ex) override;
  // From now on a queued job ends as interrupted when its turn comes, without starting.
  void stop_jobs() { stopping_jobs_.store(true); }
  // Lets admitted runs and checks finish, then joins the pools.
  void stop();
  Metrics& metrics() { return metrics_; }

 private:
  // Who asked for a run, as its audit line names them; outlives the request for a job.
  struct Caller {
    std::string correlation_id;
    std::string user;
    std::optional<std::string> method;  // how they signed in
    std::string client;
    std::chrono::steady_clock::time_point started;
  };
  static Caller caller_of(const Exchange& ex);
  // A new history row for the caller's run, created now.
  static jobs::Job row_for(const Caller& who, const std::string& alias, jobs::Status status);

  void run(const ExchangePtr& ex, bool as_job);
  void admit_run(const ExchangePtr& ex, const std::string& alias, std::string body, bool as_job);
  void execute(const ExchangePtr& ex, const std::string& alias, Value params);
  // The result as a client sees it: its error replaced by the public text; logs the run.
  Value public_result(const Caller& who, const std::string& alias, RunResult& result);

  // Jobs (jobs_route.cpp).
  void submit_job(const ExchangePtr& ex, const std::string& alias, Value params);
  void run_job(const std::shared_ptr<jobs::LiveJob>& job, const Caller& who, Value params);
  // Runs the alias with the job's output observer and cancel flag, counted as
  // in flight; the executor's exceptions propagate.
  RunResult run_observed(const std::shared_ptr<jobs::LiveJob>& job, const std::string& alias, const Value& params);
  // Ends a job's row and event stream with the result its client sees.
  // No result: the job never ran (interrupted).
  // `before_write` runs once watchers have the end and before the row is written.
  void record_end(const std::shared_ptr<jobs::LiveJob>& job, jobs::Status status, std::shared_ptr<const Value> result,
                  bool recorded = true, const std::function<void()>& before_write = nullptr);
  // Runs short blocking work (file and history reads); 503 when the pool is full.
  void on_work_pool(const ExchangePtr& ex, std::function<void()> task);
  // Calls `then` with the user whose jobs the caller may see, or none for every job.
  void job_access(const ExchangePtr& ex, std::function<void(std::optional<std::string>)> then);
  // The job as the caller may see it: live or from the history; none when unknown or not theirs.
  std::optional<jobs::Job> find_job(const std::string& id, const std::optional<std::string>& user,
                                    std::shared_ptr<jobs::LiveJob>* live = nullptr);
  void show_job(const ExchangePtr& ex);
  void list_jobs(const ExchangePtr& ex);
  void cancel_job(const ExchangePtr& ex);
  void job_events(const ExchangePtr& ex);
  void prune_jobs();
  void list_aliases(const ExchangePtr& ex);
  void show_alias(const ExchangePtr& ex);
  void health(const ExchangePtr& ex);
  void console(const ExchangePtr& ex);
  void logs(const ExchangePtr& ex);

  // One audit line; `user` as the client gave it, `alias` or null.
  void audit(const Exchange& ex, const std::string& user, const Value& alias, const std::string& outcome,
             const Value& status, const Value& exit_status = Value());
  void audit(const Caller& who, const Value& alias, const std::string& outcome, const Value& status,
             const Value& exit_status = Value());
  // A run request that ended before running: audit line, metrics, answer.
  void end_run(const ExchangePtr& ex, const std::string& alias, const std::string& outcome, Answer answer);

  const ConfigStore& config_;
  AuthStore& auth_;
  Logging& logging_;
  Executor& executor_;
  jobs::JobStore& jobs_;
  const GatewayOptions options_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  Metrics metrics_;
  WorkPool runs_;
  WorkPool checks_;
  WorkPool work_;  // short blocking work: preserved files, large bodies
  SignIn signin_;
  Router router_;
  jobs::JobBoard board_;
  std::atomic<bool> stopping_jobs_{false};
  std::mutex prune_mu_;
  std::chrono::steady_clock::time_point next_prune_{};
};

// 429 for a run or job the full run queue cannot take.
Answer too_many_runs();

// The job status a run's outcome comes to.
jobs::Status job_status(Outcome outcome);


}  // namespace portico::api
