// Jobs: runs whose answer is not waited for. They share the run queue, the
// checks, the audit and the executor with synchronous runs; their rows live
// in the job history and their output reaches watchers as an event stream.

#include <charconv>

#include "api/api.h"
#include "api/gateway.h"
#include "api/router.h"
#include "common/secret.h"
#include "common/text.h"
#include "common/timestamp.h"
#include "executor/executor.h"
#include "logging/logging.h"

namespace portico::api {
namespace {

constexpr size_t kMaxPage = 500;
constexpr auto kPruneEvery = std::chrono::hours(1);

Answer not_found(const std::string& id) { return error_answer(404, "Job " + quoted(id) + " not found"); }

// The watcher's end of a job's event stream.
class JobEvents final : public AnswerStream {
 public:
  explicit JobEvents(std::shared_ptr<jobs::LiveJob> job) : job_(std::move(job)) {}
  bool next(std::string& out) override { return job_->read(offset_, out); }
  void wait(std::function<void()> ready) override { job_->wait(offset_, std::move(ready)); }

 private:
  std::shared_ptr<jobs::LiveJob> job_;
  size_t offset_ = 0;
};

// name=value pairs of a query string; absent when one is malformed.
std::optional<std::vector<std::pair<std::string, std::string>>> query_pairs(std::string_view q) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!q.empty()) {
    const size_t amp = q.find('&');
    const std::string_view pair = q.substr(0, amp);
    q = amp == std::string_view::npos ? std::string_view() : q.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    auto name = decode_query_value(pair.substr(0, eq));
    auto value = decode_query_value(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    out.emplace_back(std::move(*name), std::move(*value));
  }
  return out;
}

}  // namespace

jobs::Status job_status(Outcome outcome) {
  switch (outcome) {
    case Outcome::success: return jobs::Status::succeeded;
    case Outcome::timed_out: return jobs::Status::timed_out;
    case Outcome::cancelled: return jobs::Status::cancelled;
    default: return jobs::Status::failed;
  }
}

jobs::Job Gateway::row_for(const Caller& who, const std::string& alias, jobs::Status status) {
  jobs::Job row;
  row.id = who.correlation_id;
  row.alias = alias;
  row.user = who.user;
  row.status = status;
  row.created = utc_timestamp_ms();
  if (status == jobs::Status::running) row.started = row.created;
  return row;
}

void Gateway::submit_job(const ExchangePtr& ex, const std::string& alias, Value params) {
  const Caller who = caller_of(*ex);
  // A request the run would refuse is refused now, as POST /v1/run would, and leaves no job.
  if (auto refusal = executor_.check(alias, params)) {
    const int status = status_for(refusal->outcome);
    return ex->reply(json_answer(status, public_result(who, alias, *refusal)));
  }
  const jobs::Job row = row_for(who, alias, jobs::Status::queued);
  try {
    jobs_.add(row);
  } catch (const std::exception& e) {
    app_log()->error(std::string("Cannot record the job: ") + e.what());
    return end_run(ex, alias, "failed", error_answer(500, "Internal error"));
  }
  auto live = std::make_shared<jobs::LiveJob>(row, options_.job_output_bytes);
  board_.put(live);
  metrics_.runs_queued.fetch_add(1);
  if (!runs_.try_submit([this, live, who, params = std::move(params)]() mutable { run_job(live, who, std::move(params)); })) {
    metrics_.runs_queued.fetch_sub(1);
    board_.remove(row.id);
    try {
      jobs_.remove(row.id);
    } catch (const std::exception& e) {
      app_log()->error(std::string("Cannot remove the refused job: ") + e.what());
    }
    return end_run(ex, alias, "queue_full", too_many_runs());
  }
  app_log()->info("Job of alias " + quoted(alias) + " by " + quoted(who.user) + " queued");
  audit(who, alias, "queued", 202);
  Answer a = json_answer(202, Value{{"job_id", row.id}, {"status", "queued"}});
  a.headers.emplace_back("Location", "/v1/jobs/" + row.id);
  ex->reply(std::move(a));
}

void Gateway::run_job(const std::shared_ptr<jobs::LiveJob>& job, const Caller& who, Value params) {
  metrics_.runs_queued.fetch_sub(1);
  CorrelationScope scope(who.correlation_id);
  const std::string& alias = job->alias();
  if (stopping_jobs_.load()) {
    app_log()->info("Job of alias " + quoted(alias) + " not started: the service is stopping");
    audit(who, alias, "interrupted", Value());
    return record_end(job, jobs::Status::interrupted, nullptr);
  }
  const std::string started = utc_timestamp_ms();
  if (!job->start(started)) return;  // cancelled while queued: already ended
  try {
    jobs_.mark_running(job->id(), started);
  } catch (const std::exception& e) {
    app_log()->error(std::string("Cannot record the job as running: ") + e.what());
  }
  RunResult result;
  try {
    result = run_observed(job, alias, params);
  } catch (const std::exception& e) {
    result = RunResult();
    result.outcome = Outcome::failed;
    result.error = e.what();
  }
  params = Value();
  const jobs::Status status = job_status(result.outcome);
  record_end(job, status, std::make_shared<const Value>(public_result(who, alias, result)));
}

void Gateway::record_end(const std::shared_ptr<jobs::LiveJob>& job, jobs::Status status,
                         std::shared_ptr<const Value> result, bool recorded,
                         const std::function<void()>& before_write) {
  const std::string now = utc_timestamp_ms();
  const bool changed = job->finish(status, result, now);
  if (before_write) before_write();
  if (changed && recorded) {
    try {
      jobs_.finish(job->id(), status, result ? *result : Value(), now);
    } catch (const std::exception& e) {
      app_log()->error(std::string("Cannot record the end of job ") + job->id() + ": " + e.what());
    }
  }
  board_.remove(job->id());
  prune_jobs();
}

void Gateway::prune_jobs() {
  if (options_.job_retention_days == 0) return;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> l(prune_mu_);
    if (now < next_prune_) return;
    next_prune_ = now + kPruneEvery;
  }
  const auto cutoff = std::chrono::system_clock::now() - std::chrono::hours(24) * options_.job_retention_days;
  try {
    if (const size_t n = jobs_.prune(utc_timestamp_ms(cutoff)))
      app_log()->info("Removed " + std::to_string(n) + " jobs older than " +
                      std::to_string(options_.job_retention_days) + " days from the job history");
  } catch (const std::exception& e) {
    app_log()->error(std::string("Cannot prune the job history: ") + e.what());
  }
}

void Gateway::job_access(const ExchangePtr& ex, std::function<void(std::optional<std::string>)> then) {
  const std::string key = config_.settings()->logs_api_key.value_or("");
  if (!key.empty() && ex->request().fields.count("X-API-Key") > 0) {
    if (!secret_equals(ex->field("X-API-Key"), key)) return ex->reply(error_answer(401, "Invalid API key"));
    return then(std::nullopt);
  }
  signin_.check(ex, Value(), [ex, then = std::move(then)] { then(ex->principal()->name); });
}

std::optional<jobs::Job> Gateway::find_job(const std::string& id, const std::optional<std::string>& user,
                                           std::shared_ptr<jobs::LiveJob>* live) {
  std::optional<jobs::Job> job;
  if (auto found = board_.find(id)) {
    job = found->snapshot();
    if (live) *live = std::move(found);
  } else {
    job = jobs_.get(id);
  }
  if (job && user && job->user != *user) return std::nullopt;  // someone else's job does not exist
  return job;
}

void Gateway::on_work_pool(const ExchangePtr& ex, std::function<void()> task) {
  if (work_.try_submit(std::move(task))) return;
  Answer busy = error_answer(503, "Server busy; retry later");
  busy.headers.emplace_back("Retry-After", "1");
  ex->reply(std::move(busy));
}

void Gateway::show_job(const ExchangePtr& ex) {
  job_access(ex, [this, ex](std::optional<std::string> user) {
    on_work_pool(ex, [this, ex, user] {
      const std::string& id = ex->params()[0];
      auto job = find_job(id, user);
      if (user) audit(*ex, *user, job ? Value(job->alias) : Value(), job ? "ok" : "not_found", job ? 200 : 404);
      if (!job) return ex->reply(not_found(id));
      ex->reply(json_answer(200, job->to_value(true)));
    });
  });
}

void Gateway::list_jobs(const ExchangePtr& ex) {
  job_access(ex, [this, ex](std::optional<std::string> user) {
    jobs::JobQuery q;
    q.user = user;
    auto pairs = query_pairs(ex->request().query);
    if (!pairs) return ex->reply(error_answer(400, "Malformed query string"));
    for (const auto& [name, value] : *pairs) {
      if (name == "alias") {
        q.alias = value;
      } else if (name == "status") {
        q.status = jobs::parse_status(value);
        if (!q.status) return ex->reply(error_answer(400, "Unknown job status " + quoted(value)));
      } else if (name == "before") {
        q.before = value;
      } else if (name == "limit") {
        size_t n = 0;
        const auto r = std::from_chars(value.data(), value.data() + value.size(), n);
        if (r.ec != std::errc() || r.ptr != value.data() + value.size() || n < 1 || n > kMaxPage)
          return ex->reply(error_answer(400, "limit must be a whole number from 1 to " + std::to_string(kMaxPage)));
        q.limit = n;
      }
    }
    on_work_pool(ex, [this, ex, q, user] {
      const jobs::JobPage page = jobs_.list(q);
      Value list = Value::array();
      for (const auto& job : page.jobs) {
        // A live job's row may lag behind it by a moment; the live state is the truth.
        auto live = board_.find(job.id);
        list.push_back(live ? live->snapshot().to_value(false) : job.to_value(false));
      }
      if (user) audit(*ex, *user, Value(), "ok", 200);
      ex->reply(json_answer(200, Value{{"jobs", std::move(list)},
                                       {"next_before", page.next_before ? Value(*page.next_before) : Value()}}));
    });
  });
}

void Gateway::cancel_job(const ExchangePtr& ex) {
  job_access(ex, [this, ex](std::optional<std::string> user) {
    on_work_pool(ex, [this, ex, user] {
      const std::string& id = ex->params()[0];
      std::shared_ptr<jobs::LiveJob> live;
      auto job = find_job(id, user, &live);
      const Value alias = job ? Value(job->alias) : Value();
      auto answer = [&](const std::string& outcome, Answer a) {
        if (user) audit(*ex, *user, alias, outcome, a.status);
        ex->reply(std::move(a));
      };
      if (!job) return answer("not_found", not_found(id));
      const auto state = live ? live->cancel() : jobs::LiveJob::Cancel::finished;
      if (state == jobs::LiveJob::Cancel::finished) {
        Value body{{"error", "Job " + quoted(id) + " has already finished"}};
        body["job"] = (live ? live->snapshot() : *job).to_value(false);
        return answer("conflict", json_answer(409, std::move(body)));
      }
      app_log()->info("Job " + id + " cancelled by " + quoted(user.value_or("the logs key holder")));
      if (state == jobs::LiveJob::Cancel::queued) {
        RunResult cancelled;
        cancelled.outcome = Outcome::cancelled;
        cancelled.error = std::string(kRunCancelledError);
        Caller who{id, job->user, std::nullopt, ex->client(), ex->started()};
        record_end(live, jobs::Status::cancelled, std::make_shared<const Value>(public_result(who, job->alias, cancelled)));
        return answer("ok", json_answer(200, live->snapshot().to_value(false)));
      }
      // A running job ends once its process tree or container is gone.
      answer("ok", json_answer(202, live->snapshot().to_value(false)));
    });
  });
}

void Gateway::job_events(const ExchangePtr& ex) {
  job_access(ex, [this, ex](std::optional<std::string> user) {
    auto answer = [this, ex, user](std::shared_ptr<jobs::LiveJob> live) {
      if (user) audit(*ex, *user, live ? Value(live->alias()) : Value(), live ? "ok" : "not_found", live ? 200 : 404);
      if (!live) return ex->reply(not_found(ex->params()[0]));
      Answer a;
      a.content_type = "text/event-stream; charset=utf-8";
      a.stream = std::make_shared<JobEvents>(std::move(live));
      ex->reply(std::move(a));
    };
    // A job in progress is watched at once; only a finished one needs the history.
    if (auto live = board_.find(ex->params()[0])) return answer(user && live->owner() != *user ? nullptr : live);
    on_work_pool(ex, [this, ex, user, answer] {
      auto job = find_job(ex->params()[0], user);
      answer(job ? jobs::LiveJob::replay(std::move(*job), options_.job_output_bytes) : nullptr);
    });
  });
}

}  // namespace portico::api
