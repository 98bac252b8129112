#include "jobs/job_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace portico::jobs {
namespace {

constexpr std::array<std::string_view, 7> kStatusNames = {"queued",    "running",   "succeeded",  "failed",
                                                          "timed_out", "cancelled", "interrupted"};

// One prepared statement, finalised however the call ends.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql, const std::string& path) : db_(db), path_(path) {
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) fail();
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int i, const std::string& text) {
    if (sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK) fail();
    return *this;
  }
  Statement& bind(int i, const std::optional<std::string>& text) {
    if (!text) {
      if (sqlite3_bind_null(stmt_, i) != SQLITE_OK) fail();
      return *this;
    }
    return bind(i, *text);
  }
  Statement& bind(int i, int64_t n) {
    if (sqlite3_bind_int64(stmt_, i, n) != SQLITE_OK) fail();
    return *this;
  }
  // True while there is a row to read.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) fail();
    return false;
  }
  std::optional<std::string> text(int col) const {
    const auto* p = sqlite3_column_text(stmt_, col);
    if (!p) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
  }
  int changes() const { return sqlite3_changes(db_); }

 private:
  [[noreturn]] void fail() const { throw std::runtime_error("Job database " + path_ + ": " + sqlite3_errmsg(db_)); }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  const std::string& path_;
};

constexpr std::string_view kColumns = "id, alias, user, status, created, started, finished";

Job read_job(const Statement& st) {
  Job j;
  j.id = st.text(0).value_or("");
  j.alias = st.text(1).value_or("");
  j.user = st.text(2).value_or("");
  j.status = parse_status(st.text(3).value_or("")).value_or(Status::interrupted);
  j.created = st.text(4).value_or("");
  j.started = st.text(5);
  j.finished = st.text(6);
  return j;
}

}  // namespace

std::string_view status_name(Status s) { return kStatusNames[static_cast<size_t>(s)]; }

std::optional<Status> parse_status(std::string_view name) {
  for (size_t i = 0; i < kStatusNames.size(); ++i)
    if (kStatusNames[i] == name) return static_cast<Status>(i);
  return std::nullopt;
}

bool is_finished(Status s) { return s != Status::queued && s != Status::running; }

Value Job::to_value(bool with_result) const {
  Value v = Value::object();
  v["job_id"] = id;
  v["status"] = status_name(status);
  v["alias"] = alias;
  v["user"] = user;
  v["created"] = created;
  v["started"] = started ? Value(*started) : Value();
  v["finished"] = finished ? Value(*finished) : Value();
  if (with_result) v["result"] = result ? *result : Value();
  return v;
}

JobStore::JobStore(const std::string& path) : path_(path) {
  // Results hold commands' output: only the service may read them. SQLite
  // gives its -wal and -shm files the database file's permissions.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("Job database " + path + ": " + std::strerror(errno));
  ::close(fd);
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("Job database " + path + ": " + why);
  }
  char* err = nullptr;
  const int rc = sqlite3_exec(db_,
                              "PRAGMA busy_timeout = 5000;"
                              "PRAGMA journal_mode = WAL;"
                              "PRAGMA synchronous = NORMAL;"
                              "CREATE TABLE IF NOT EXISTS jobs ("
                              "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                              "  id TEXT NOT NULL UNIQUE,"
                              "  alias TEXT NOT NULL,"
                              "  user TEXT NOT NULL,"
                              "  status TEXT NOT NULL,"
                              "  created TEXT NOT NULL,"
                              "  started TEXT,"
                              "  finished TEXT,"
                              "  result TEXT);"
                              "CREATE INDEX IF NOT EXISTS jobs_by_user ON jobs(user, seq);",
                              nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    const std::string why = err ? err : sqlite3_errmsg(db_);
    sqlite3_free(err);
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("Job database " + path + ": " + why);
  }
}

JobStore::~JobStore() { sqlite3_close(db_); }

size_t JobStore::interrupt_unfinished(const std::string& now) {
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_, "UPDATE jobs SET status = 'interrupted', finished = ? WHERE status IN ('queued', 'running')", path_);
  st.bind(1, now).step();
  return static_cast<size_t>(st.changes());
}

void JobStore::add(const Job& job) {
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_,
               "INSERT INTO jobs (id, alias, user, status, created, started, finished, result) "
               "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
               path_);
  st.bind(1, job.id).bind(2, job.alias).bind(3, job.user).bind(4, std::string(status_name(job.status)));
  st.bind(5, job.created).bind(6, job.started).bind(7, job.finished);
  st.bind(8, job.result ? std::optional<std::string>(job.result->dump(-1, ' ', false, Value::error_handler_t::replace)) : std::nullopt);
  st.step();
}

bool JobStore::mark_running(const std::string& id, const std::string& now) {
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_, "UPDATE jobs SET status = 'running', started = ? WHERE id = ? AND status = 'queued'", path_);
  st.bind(1, now).bind(2, id).step();
  return st.changes() == 1;
}

bool JobStore::finish(const std::string& id, Status status, const Value& result, const std::string& now) {
  if (!is_finished(status)) throw std::invalid_argument("finish: " + std::string(status_name(status)) + " is not an end");
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_,
               "UPDATE jobs SET status = ?, finished = ?, result = ? WHERE id = ? AND status IN ('queued', 'running')",
               path_);
  st.bind(1, std::string(status_name(status))).bind(2, now);
  st.bind(3, result.is_null() ? std::nullopt : std::optional<std::string>(result.dump(-1, ' ', false, Value::error_handler_t::replace))).bind(4, id).step();
  return st.changes() == 1;
}

bool JobStore::remove(const std::string& id) {
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_, "DELETE FROM jobs WHERE id = ?", path_);
  st.bind(1, id).step();
  return st.changes() == 1;
}

std::optional<Job> JobStore::get(const std::string& id) const {
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_, "SELECT " + std::string(kColumns) + ", result FROM jobs WHERE id = ?", path_);
  st.bind(1, id);
  if (!st.step()) return std::nullopt;
  Job j = read_job(st);
  if (auto r = st.text(7)) j.result = Value::parse(*r);
  return j;
}

JobPage JobStore::list(const JobQuery& q) const {
  std::string sql = "SELECT " + std::string(kColumns) + " FROM jobs WHERE 1";
  std::vector<std::string> args;
  if (q.user) sql += " AND user = ?", args.push_back(*q.user);
  if (q.alias) sql += " AND alias = ?", args.push_back(*q.alias);
  if (q.status) sql += " AND status = ?", args.push_back(std::string(status_name(*q.status)));
  if (q.before) sql += " AND seq < (SELECT seq FROM jobs WHERE id = ?)", args.push_back(*q.before);
  sql += " ORDER BY seq DESC LIMIT ?";
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_, sql, path_);
  for (size_t i = 0; i < args.size(); ++i) st.bind(static_cast<int>(i + 1), args[i]);
  // One row more than asked says whether another page follows.
  st.bind(static_cast<int>(args.size() + 1), static_cast<int64_t>(q.limit) + 1);
  JobPage page;
  while (st.step()) page.jobs.push_back(read_job(st));
  if (page.jobs.size() > q.limit) {
    page.jobs.pop_back();
    page.next_before = page.jobs.empty() ? std::nullopt : std::optional<std::string>(page.jobs.back().id);
  }
  return page;
}

size_t JobStore::prune(const std::string& cutoff) {
  std::lock_guard<std::mutex> l(mu_);
  Statement st(db_, "DELETE FROM jobs WHERE finished IS NOT NULL AND finished < ?", path_);
  st.bind(1, cutoff).step();
  return static_cast<size_t>(st.changes());
}

}  // namespace portico::jobs
