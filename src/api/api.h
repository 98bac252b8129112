#pragma once
// The HTTP(S) API: runs aliases for authenticated clients and answers health,
// metrics and log queries.
//
// Routes (JSON unless said otherwise; every response carries X-Correlation-ID):
//   POST /v1/run/{alias}          run an alias; body: JSON object of parameters
//   POST /v1/jobs/{alias}         the same as a job: 202 at once
//   GET  /v1/jobs[/{id}]          the caller's jobs, or one with its result
//   GET  /v1/jobs/{id}/events     its output and status as an event stream
//   DELETE /v1/jobs/{id}          cancel it
//   GET  /v1/openapi.json         what the caller may run, as OpenAPI
//   GET  /v1/aliases              aliases the caller may run
//   GET  /v1/aliases/{alias}      one of them
//   GET  /health                  liveness; details with X-API-Key = HealthApiKey
//   GET  /metrics                 Prometheus text
//   GET  /v1/logs/{id}            preserved files of one run (X-API-Key = LogsApiKey)
//
// Connections are served by a few I/O threads (see api/session.h); runs,
// password checks and file reads each have their own pool (api/gateway.h).
//
// Thread rules: start() blocks the calling thread, which becomes one of the
// I/O threads; graceful_shutdown() may be called from any thread, also before
// start() has bound its socket.

#include <memory>
#include <string>

#include "common/value.h"
#include "executor/run_result.h"
#include "interfaces/api_server.h"
#include "interfaces/auth_store.h"
#include "interfaces/config_store.h"
#include "interfaces/logging.h"

namespace portico {

class Executor;
namespace jobs {
class JobStore;
}

// The HTTP status that answers a run's outcome.
int status_for(Outcome outcome);

class HttpApiServer final : public ApiServer {
 public:
  // `jobs` is the job history, opened by the caller: start-up refuses to
  // serve without it.
  HttpApiServer(const ConfigStore& config, AuthStore& auth, Logging& logging, Executor& executor, jobs::JobStore& jobs);
  ~HttpApiServer() override;

  // Binds ListenAddress:ListenPort (TLS when SslEnabled) and serves until
  // graceful_shutdown(), which stops accepting, closes idle connections, lets
  // requests in progress (runs included) finish and answer, then returns.
  // Throws std::runtime_error when it cannot listen.
  void start() override;
  void graceful_shutdown() override;
  // Shown in the health details.
  void set_version(const std::string& version);

  // The bound port once listening (0 before); waits up to the given time.
  int wait_until_listening(int timeout_ms) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace portico
