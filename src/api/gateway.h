#pragma once
// The routes of the API and what they share: sign-in, the run queue, the
// pools and the metrics. Health, metrics and refusals are answered on the
// I/O thread; password checks, runs and file reads each have their own pool,
// so none of them waits behind another.
//
// Thread rules: handle() from the I/O threads; stop() once, after the
// connections are gone.

#include <memory>
#include <string>

#include "api/exchange.h"
#include "api/metrics.h"
#include "api/pool.h"
#include "api/router.h"
#include "api/signin.h"
#include "common/value.h"
#include "interfaces/interfaces.h"

namespace portico {
class Executor;
class FileAuthStore;
}  // namespace portico

namespace portico::api {

struct GatewayOptions {
  size_t run_threads = 64;
  size_t run_queue = 64;
  size_t auth_failure_limit = 10;
  std::string version = "unknown";
};

class Gateway final : public RequestHandler {
 public:
  Gateway(ConfigStore& config, FileAuthStore& auth, Logging& logging, Executor& executor, GatewayOptions options);
  ~Gateway() override;

  void handle(const ExchangePtr& ex) override;
  // Lets admitted runs and checks finish, then joins the pools.
  void stop();
  Metrics& metrics() { return metrics_; }

 private:
  void run(const ExchangePtr& ex);
  void admit_run(const ExchangePtr& ex, const std::string& alias, std::string body);
  void execute(const ExchangePtr& ex, const std::string& alias, Value params);
  void list_aliases(const ExchangePtr& ex);
  void show_alias(const ExchangePtr& ex);
  void health(const ExchangePtr& ex);
  void logs(const ExchangePtr& ex);

  // One audit line; `user` as the client gave it, `alias` or null.
  void audit(const Exchange& ex, const std::string& user, const Value& alias, const std::string& outcome,
             const Value& status, const Value& exit_status = Value());
  // A run request that ended before running: audit line, metrics, answer.
  void end_run(const ExchangePtr& ex, const std::string& alias, const std::string& outcome, Answer answer);

  ConfigStore& config_;
  FileAuthStore& auth_;
  Logging& logging_;
  Executor& executor_;
  const GatewayOptions options_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  Metrics metrics_;
  WorkPool runs_;
  WorkPool checks_;
  WorkPool work_;  // short blocking work: preserved files, large bodies
  SignIn signin_;
  Router router_;
};

// Compares secrets without revealing where they differ or how long they are.
bool secret_equals(std::string_view a, std::string_view b);

}  // namespace portico::api
