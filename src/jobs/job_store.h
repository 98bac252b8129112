#pragma once
// The history of jobs: one SQLite row per job, its final result kept as JSON.
//
// Thread rules: every member may be called from any thread; calls are
// serialised on the one connection.

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"

struct sqlite3;

namespace portico::jobs {

enum class Status { queued, running, succeeded, failed, timed_out, cancelled, interrupted };

std::string_view status_name(Status s);
std::optional<Status> parse_status(std::string_view name);
// Whether a job in this status can still change.
bool is_finished(Status s);

struct Job {
  std::string id;  // the run's correlation id
  std::string alias;
  std::string user;
  Status status = Status::queued;
  std::string created;  // ISO-8601 UTC times
  std::optional<std::string> started;
  std::optional<std::string> finished;
  std::optional<Value> result;  // the execution result, once finished

  // The job object of the HTTP API; `with_result` adds the result.
  Value to_value(bool with_result) const;
};

struct JobQuery {
  std::optional<std::string> user;  // none: everyone's jobs
  std::optional<std::string> alias;
  std::optional<Status> status;
  std::optional<std::string> before;  // a job id: only older jobs
  size_t limit = 50;
};

struct JobPage {
  std::vector<Job> jobs;                   // newest first, without results
  std::optional<std::string> next_before;  // the id to ask with for the next page
};

class JobStore {
 public:
  // Opens or creates the database in WAL mode; throws std::runtime_error
  // naming the path and SQLite's reason when it cannot.
  explicit JobStore(const std::string& path);
  ~JobStore();
  JobStore(const JobStore&) = delete;
  JobStore& operator=(const JobStore&) = delete;

  // Jobs left queued or running by an earlier process become interrupted,
  // finished at `now`; returns how many.
  size_t interrupt_unfinished(const std::string& now);
  // Throws when the id is already taken.
  void add(const Job& job);
  // Each returns false, changing nothing, when the job is unknown or its
  // status no longer allows the change (a finished job never changes).
  bool mark_running(const std::string& id, const std::string& now);
  bool finish(const std::string& id, Status status, const Value& result, const std::string& now);

  // Takes back a job that was never admitted; false when unknown.
  bool remove(const std::string& id);

  std::optional<Job> get(const std::string& id) const;
  JobPage list(const JobQuery& query) const;
  // Removes finished jobs that finished before `cutoff`; returns how many.
  size_t prune(const std::string& cutoff);

 private:
  mutable std::mutex mu_;
  sqlite3* db_ = nullptr;
  std::string path_;
};

}  // namespace portico::jobs
