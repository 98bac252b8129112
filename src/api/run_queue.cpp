// Runs: sign-in, body, admission to the run queue, execution on a run thread.
// A full queue answers 429 at once; a queued run whose client has left is
// never started.

#include "api/api.h"
#include "api/gateway.h"
#include "api/json_body.h"
#include "auth/auth.h"
#include "common/text.h"
#include "executor/executor.h"
#include "logging/logging.h"

namespace portico::api {
namespace {

// Bodies up to this size are parsed on the I/O thread; larger ones on the work pool.
constexpr size_t kParseInline = 64 * 1024;

// What a client is told of a failed run; the full error stays in the log.
std::string public_error(const RunResult& result) {
  switch (result.outcome) {
    case Outcome::validation_error:
    case Outcome::not_found: return result.error;
    case Outcome::timed_out: return "Execution timed out";
    case Outcome::docker_unavailable: return "Container service unavailable";
    case Outcome::output_limit: return "Output limit exceeded";
    default: return "Execution failed";
  }
}

double elapsed(const Exchange& ex) {
  return std::chrono::duration<double>(Exchange::Clock::now() - ex.started()).count();
}

Answer busy(const char* message) {
  Answer a = json_answer(429, Value{{"success", false}, {"error", message}});
  a.headers.emplace_back("Retry-After", "1");
  return a;
}

}  // namespace

void Gateway::end_run(const ExchangePtr& ex, const std::string& alias, const std::string& outcome, Answer answer) {
  metrics_.record_run(alias, outcome, elapsed(*ex));
  audit(*ex, ex->principal()->name, alias, outcome, answer.status);
  ex->reply(std::move(answer));
}

void Gateway::run(const ExchangePtr& ex) {
  const std::string alias = ex->params()[0];
  signin_.check(ex, alias, [this, ex, alias] {
    if (!FileAuthStore::may_run(*ex->principal(), alias))  // indistinguishable from an alias that does not exist
      return end_run(ex, alias, "not_found", json_answer(404, RunResult::not_found(alias).to_value()));
    ex->read_body([this, ex, alias](int refused) {
      if (refused) {
        metrics_.record_run(alias, "bad_request", elapsed(*ex));
        return audit(*ex, ex->principal()->name, alias, "bad_request", refused);
      }
      std::string body = ex->take_body();
      if (body.size() <= kParseInline) return admit_run(ex, alias, std::move(body));
      auto parse = [this, ex, alias, body = std::move(body)]() mutable { admit_run(ex, alias, std::move(body)); };
      if (!work_.try_submit(std::move(parse))) end_run(ex, alias, "queue_full", busy("Too many runs in progress; retry later"));
    });
  });
}

void Gateway::admit_run(const ExchangePtr& ex, const std::string& alias, std::string body) {
  Value params = Value::object();
  if (!body.empty()) {
    if (ex->field("Content-Type").substr(0, 16) != "application/json")
      return end_run(ex, alias, "bad_request", error_answer(415, "Content-Type must be application/json"));
    std::string error;
    auto parsed = parse_json_body(body, error);
    body = std::string();
    if (!parsed) return end_run(ex, alias, "bad_request", error_answer(400, error));
    if (!parsed->is_object())
      return end_run(ex, alias, "bad_request", error_answer(400, "Request body must be a JSON object of parameters"));
    params = std::move(*parsed);
  }
  metrics_.runs_queued.fetch_add(1);
  auto task = [this, ex, alias, params = std::move(params)]() mutable { execute(ex, alias, std::move(params)); };
  if (!runs_.try_submit(std::move(task))) {
    metrics_.runs_queued.fetch_sub(1);
    return end_run(ex, alias, "queue_full", busy("Too many runs in progress; retry later"));
  }
  ex->watch_client();
}

void Gateway::execute(const ExchangePtr& ex, const std::string& alias, Value params) {
  metrics_.runs_queued.fetch_sub(1);
  CorrelationScope scope(ex->correlation_id());
  const std::string& user = ex->principal()->name;
  if (ex->client_gone()) {
    app_log()->info("Run of alias " + quoted(alias) + " by " + quoted(user) + " not started: the client has gone");
    metrics_.record_run(alias, "client_gone", elapsed(*ex));
    audit(*ex, user, alias, "client_gone", Value());
    return ex->abandon();
  }
  metrics_.runs_in_flight.fetch_add(1);
  RunResult result;
  try {
    result = executor_.run(alias, params);
  } catch (const std::exception& e) {
    metrics_.runs_in_flight.fetch_sub(1);
    app_log()->error("Request POST " + ex->request().path + " failed: " + e.what());
    return end_run(ex, alias, "failed", error_answer(500, "Internal error"));
  }
  metrics_.runs_in_flight.fetch_sub(1);
  params = Value();
  const std::string outcome(outcome_name(result.outcome));
  const int status = status_for(result.outcome);
  if (!result.success()) {
    if (result.outcome != Outcome::validation_error && result.outcome != Outcome::not_found)
      app_log()->warn("Run of alias " + quoted(alias) + " failed: " + result.error);
    result.error = public_error(result);
  }
  app_log()->info("Run of alias " + quoted(alias) + " by " + quoted(user) + ": " + outcome + " (" +
                  std::to_string(status) + ")");
  const Value exit_status = result.success() ? Value(result.returncode) : Value();
  metrics_.record_run(alias, outcome, elapsed(*ex));
  audit(*ex, user, alias, outcome, status, exit_status);
  ex->reply(json_answer(status, std::move(result).to_value()));
}

}  // namespace portico::api
