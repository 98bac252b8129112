// Runs: sign-in, body, admission to the run queue, execution on a run thread.
// A full queue answers 429 at once; a queued run whose client has left is
// never started. Every run that starts is recorded in the job history.

#include "api/api.h"
#include "api/gateway.h"
#include "api/json_body.h"
#include "common/text.h"
#include "common/timestamp.h"
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
    case Outcome::cancelled: return std::string(kRunCancelledError);
    default: return "Execution failed";
  }
}

double elapsed(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(Exchange::Clock::now() - since).count();
}

}  // namespace

Answer too_many_runs() {
  Answer a = json_answer(429, Value{{"success", false}, {"error", "Too many runs in progress; retry later"}});
  a.headers.emplace_back("Retry-After", "1");
  return a;
}

Gateway::Caller Gateway::caller_of(const Exchange& ex) {
  Caller c;
  c.correlation_id = ex.correlation_id();
  c.user = ex.principal() ? ex.principal()->name : "-";
  if (ex.principal()) c.method = ex.principal()->method;
  c.client = ex.client();
  c.started = ex.started();
  return c;
}

void Gateway::end_run(const ExchangePtr& ex, const std::string& alias, const std::string& outcome, Answer answer) {
  metrics_.record_run(alias, outcome, elapsed(ex->started()));
  audit(*ex, ex->principal()->name, alias, outcome, answer.status);
  ex->reply(std::move(answer));
}

void Gateway::run(const ExchangePtr& ex, bool as_job) {
  const std::string alias = ex->params()[0];
  signin_.check(ex, alias, [this, ex, alias, as_job] {
    if (!may_run(*ex->principal(), alias))  // indistinguishable from an alias that does not exist
      return end_run(ex, alias, "not_found", json_answer(404, RunResult::not_found(alias).to_value()));
    ex->read_body([this, ex, alias, as_job](int refused) {
      if (refused) {
        metrics_.record_run(alias, "bad_request", elapsed(ex->started()));
        return audit(*ex, ex->principal()->name, alias, "bad_request", refused);
      }
      std::string body = ex->take_body();
      // A job is written to the history before it is answered: off the I/O thread.
      if (!as_job && body.size() <= kParseInline) return admit_run(ex, alias, std::move(body), false);
      auto parse = [this, ex, alias, as_job, body = std::move(body)]() mutable {
        admit_run(ex, alias, std::move(body), as_job);
      };
      if (!work_.try_submit(std::move(parse))) end_run(ex, alias, "queue_full", too_many_runs());
    });
  });
}

void Gateway::admit_run(const ExchangePtr& ex, const std::string& alias, std::string body, bool as_job) {
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
  if (as_job) return submit_job(ex, alias, std::move(params));
  metrics_.runs_queued.fetch_add(1);
  auto task = [this, ex, alias, params = std::move(params)]() mutable { execute(ex, alias, std::move(params)); };
  if (!runs_.try_submit(std::move(task))) {
    metrics_.runs_queued.fetch_sub(1);
    return end_run(ex, alias, "queue_full", too_many_runs());
  }
  ex->watch_client();
}

RunResult Gateway::run_observed(const std::shared_ptr<jobs::LiveJob>& job, const std::string& alias,
                                const Value& params) {
  RunControl control;
  control.on_output = [&job](std::string_view stream, std::string_view bytes) { job->output(stream, bytes); };
  control.cancel = &job->cancel_flag();
  metrics_.runs_in_flight.fetch_add(1);
  struct Done {
    std::atomic<int64_t>& n;
    ~Done() { n.fetch_sub(1); }
  } done{metrics_.runs_in_flight};
  return executor_.run(alias, params, &control);
}

Value Gateway::public_result(const Caller& who, const std::string& alias, RunResult& result) {
  const std::string outcome(outcome_name(result.outcome));
  const int status = status_for(result.outcome);
  if (!result.success()) {
    if (result.outcome != Outcome::validation_error && result.outcome != Outcome::not_found &&
        result.outcome != Outcome::cancelled)
      app_log()->warn("Run of alias " + quoted(alias) + " failed: " + result.error);
    result.error = public_error(result);
  }
  app_log()->info("Run of alias " + quoted(alias) + " by " + quoted(who.user) + ": " + outcome + " (" +
                  std::to_string(status) + ")");
  const Value exit_status = result.success() ? Value(result.returncode) : Value();
  metrics_.record_run(alias, outcome, elapsed(who.started));
  audit(who, alias, outcome, status, exit_status);
  return std::move(result).to_value();
}

void Gateway::execute(const ExchangePtr& ex, const std::string& alias, Value params) {
  metrics_.runs_queued.fetch_sub(1);
  CorrelationScope scope(ex->correlation_id());
  const Caller who = caller_of(*ex);
  if (ex->client_gone()) {
    app_log()->info("Run of alias " + quoted(alias) + " by " + quoted(who.user) + " not started: the client has gone");
    metrics_.record_run(alias, "client_gone", elapsed(who.started));
    audit(who, alias, "client_gone", Value());
    return ex->abandon();
  }
  // The history shows synchronous runs beside jobs; one that cannot be
  // recorded still runs.
  const jobs::Job row = row_for(who, alias, jobs::Status::running);
  auto live = std::make_shared<jobs::LiveJob>(row, options_.job_output_bytes);
  bool recorded = true;
  try {
    jobs_.add(row);
  } catch (const std::exception& e) {
    recorded = false;
    app_log()->error(std::string("Cannot record the run in the job history: ") + e.what());
  }
  board_.put(live);
  RunResult result;
  try {
    result = run_observed(live, alias, params);
  } catch (const std::exception& e) {
    app_log()->error("Request POST " + ex->request().path + " failed: " + e.what());
    Answer a = error_answer(500, "Internal error");
    record_end(live, jobs::Status::failed, std::make_shared<const Value>(Value{{"error", "Internal error"}}), recorded);
    return end_run(ex, alias, "failed", std::move(a));
  }
  params = Value();
  const int status = status_for(result.outcome);
  auto answer = std::make_shared<const Value>(public_result(who, alias, result));
  // The client need not wait for the history's write.
  record_end(live, job_status(result.outcome), answer, recorded, [&] { ex->reply(json_answer(status, answer)); });
}

}  // namespace portico::api
