// The routes, and the answers that need no pool.

#include <algorithm>
#include <chrono>
#include <thread>

#include "api/api.h"
#include "api/gateway.h"
#include "api/openapi.h"
#include "common/secret.h"
#include "common/text.h"
#include "common/timestamp.h"
#include "executor/executor.h"
#include "logging/logging.h"

namespace portico {

int status_for(Outcome outcome) {
  switch (outcome) {
    case Outcome::success: return 200;
    case Outcome::validation_error: return 400;
    case Outcome::not_found: return 404;
    case Outcome::timed_out: return 504;
    case Outcome::docker_unavailable: return 503;
    case Outcome::unknown_type:
    case Outcome::failed:
    case Outcome::output_limit:
    case Outcome::cancelled: return 500;
  }
  return 500;
}

namespace api {
namespace {

using boost::beast::http::verb;

size_t check_threads() { return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, 4); }

Value describe(const std::string& name, const Value& def) {
  Value out = Value::object();
  out["name"] = name;
  out["type"] = def.value("type", Value());
  out["description"] = def.value("description", Value());
  out["parameters"] = def.contains("parameters") && def["parameters"].is_object() ? def["parameters"] : Value::object();
  return out;
}

}  // namespace

Gateway::Gateway(const ConfigStore& config, AuthStore& auth, Logging& logging, Executor& executor, jobs::JobStore& jobs,
                 GatewayOptions options)
    : config_(config),
      auth_(auth),
      logging_(logging),
      executor_(executor),
      jobs_(jobs),
      options_(std::move(options)),
      runs_("portico-run", options_.run_threads, options_.run_queue),
      checks_("portico-signin", check_threads(), 128),
      work_("portico-work", 2, 64),
      signin_(auth, checks_, options_.auth_failure_limit, metrics_,
              [this](const Exchange& ex, const std::string& user, const Value& alias, const std::string& outcome,
                     int status) { audit(ex, user, alias, outcome, status); }) {
  router_.add(verb::post, "/v1/run/{alias}", [this](const ExchangePtr& ex) { run(ex, false); });
  router_.add(verb::post, "/v1/jobs/{alias}", [this](const ExchangePtr& ex) { run(ex, true); });
  router_.add(verb::get, "/v1/jobs", [this](const ExchangePtr& ex) { list_jobs(ex); });
  router_.add(verb::get, "/v1/jobs/{id}", [this](const ExchangePtr& ex) { show_job(ex); });
  router_.add(verb::delete_, "/v1/jobs/{id}", [this](const ExchangePtr& ex) { cancel_job(ex); });
  router_.add(verb::get, "/v1/jobs/{id}/events", [this](const ExchangePtr& ex) { job_events(ex); });
  router_.add(verb::get, "/v1/aliases", [this](const ExchangePtr& ex) { list_aliases(ex); });
  router_.add(verb::get, "/v1/aliases/{alias}", [this](const ExchangePtr& ex) { show_alias(ex); });
  router_.add(verb::get, "/v1/openapi.json", [this](const ExchangePtr& ex) {
    signin_.check(ex, Value(), [this, ex] {
      const auto& who = *ex->principal();
      Value doc = openapi_document(
          config_.get_alias_map(), [&who](const std::string& name) { return may_run(who, name); },
          options_.version);
      audit(*ex, who.name, Value(), "ok", 200);
      ex->reply(json_answer(200, std::move(doc)));
    });
  });
  router_.add(verb::get, "/health", [this](const ExchangePtr& ex) { health(ex); });
  router_.add(verb::get, "/metrics", [this](const ExchangePtr& ex) {
    Answer a;
    a.content_type = "text/plain; version=0.0.4";
    a.body = metrics_.render() + logging_.log_health().metrics;
    ex->reply(std::move(a));
  });
  router_.add(verb::get, "/v1/logs/{correlation_id}",
              [this](const ExchangePtr& ex) { on_work_pool(ex, [this, ex] { logs(ex); }); });
}

Gateway::~Gateway() { stop(); }

void Gateway::stop() {
  checks_.stop();
  work_.stop();
  runs_.stop();
}

void Gateway::handle(const ExchangePtr& ex) {
  const std::string& path = ex->request().path;
  if (ex->request().method == verb::get && (path == "/" || path.starts_with("/console")) &&
      (path.size() <= 8 || path[8] == '/'))
    return console(ex);
  auto found = router_.find(ex->request().method, ex->request().path);
  if (!found) return ex->reply(error_answer(400, "Bad request"));
  if (!found->handler) {
    if (found->allow.empty()) return ex->reply(error_answer(404, "Not found"));
    Answer a = error_answer(405, "Method not allowed");
    a.headers.emplace_back("Allow", found->allow);
    return ex->reply(std::move(a));
  }
  ex->set_params(std::move(found->params));
  (*found->handler)(ex);
}

void Gateway::audit(const Exchange& ex, const std::string& user, const Value& alias, const std::string& outcome,
                    const Value& status, const Value& exit_status) {
  Caller who = caller_of(ex);
  who.user = user;
  audit(who, alias, outcome, status, exit_status);
}

void Gateway::audit(const Caller& who, const Value& alias, const std::string& outcome, const Value& status,
                    const Value& exit_status) {
  const double seconds = std::chrono::duration<double>(Exchange::Clock::now() - who.started).count();
  Value rec = Value::object();
  rec["time"] = utc_timestamp_ms();
  rec["correlation_id"] = who.correlation_id;
  rec["user"] = who.user;
  rec["auth"] = who.method ? Value(*who.method) : Value();
  rec["client"] = who.client;
  rec["alias"] = alias;
  rec["outcome"] = outcome;
  rec["status"] = status;
  rec["exit_status"] = exit_status;
  rec["duration_ms"] = static_cast<long long>(seconds * 1000);
  logging_.audit(rec);
}

void Gateway::list_aliases(const ExchangePtr& ex) {
  signin_.check(ex, Value(), [this, ex] {
    Value list = Value::array();
    const Value all = config_.get_alias_map();
    for (const auto& [name, def] : all.items())
      if (may_run(*ex->principal(), name)) list.push_back(describe(name, def));
    audit(*ex, ex->principal()->name, Value(), "ok", 200);
    ex->reply(json_answer(200, Value{{"aliases", std::move(list)}}));
  });
}

void Gateway::show_alias(const ExchangePtr& ex) {
  const std::string name = ex->params()[0];
  signin_.check(ex, name, [this, ex, name] {
    const Value def = config_.get_alias(name);
    if (def.is_null() || !may_run(*ex->principal(), name)) {
      audit(*ex, ex->principal()->name, name, "not_found", 404);
      return ex->reply(error_answer(404, "Alias " + quoted(name) + " not found"));
    }
    audit(*ex, ex->principal()->name, name, "ok", 200);
    ex->reply(json_answer(200, describe(name, def)));
  });
}

void Gateway::health(const ExchangePtr& ex) {
  const std::string expected = config_.settings()->health_api_key.value_or("");
  const std::string_view given = ex->field("X-API-Key");
  const bool has_key = ex->request().fields.count("X-API-Key") > 0;
  if (!expected.empty() && has_key && !secret_equals(given, expected))
    return ex->reply(error_answer(401, "Invalid API key"));
  const LogHealth logs = logging_.log_health();
  Value body{{"status", logs.degraded ? "degraded" : "ok"}};
  if (logs.degraded) body["reason"] = *logs.degraded;
  if (!expected.empty() && has_key) {
    body["logs"] = logs.details;
    body["version"] = options_.version;
    body["uptime_seconds"] =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
    body["aliases"] = config_.get_alias_map().size();
    body["users"] = auth_.user_count();
    body["jwt_keys"] = auth_.public_key_count();
    body["runs_in_flight"] = metrics_.runs_in_flight.load();
    body["runs_queued"] = metrics_.runs_queued.load();
    body["events"] = config_.status();
  }
  ex->reply(json_answer(200, std::move(body)));
}

}  // namespace api
}  // namespace portico
