// Jobs against the real program: submission, watching, cancelling, the
// history across restarts, and who may see what.

#include <gtest/gtest.h>
#include <signal.h>

#include <httplib.h>

#include <thread>

#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

using namespace std::chrono_literals;

struct Event {
  std::string name;
  Value data;
};

// The events of a stream that the server ended.
std::vector<Event> parse_events(const std::string& raw) {
  std::vector<Event> out;
  const size_t start = raw.find("\r\n\r\n");
  std::string_view rest = start == std::string::npos ? "" : std::string_view(raw).substr(start + 4);
  while (!rest.empty()) {
    const size_t end = rest.find("\n\n");
    const std::string_view block = rest.substr(0, end);
    rest = end == std::string_view::npos ? "" : rest.substr(end + 2);
    if (block.empty() || block.front() == ':') continue;
    Event e;
    const size_t nl = block.find('\n');
    e.name = std::string(block.substr(7, nl - 7));  // "event: "
    e.data = Value::parse(block.substr(nl + 7));    // "data: "
    out.push_back(std::move(e));
  }
  return out;
}

std::string text_of(const std::vector<Event>& events, const std::string& stream) {
  std::string s;
  for (const auto& e : events)
    if (e.name == stream) s += e.data.get<std::string>();
  return s;
}

std::vector<std::string> statuses_of(const std::vector<Event>& events) {
  std::vector<std::string> s;
  for (const auto& e : events)
    if (e.name == "status") s.push_back(e.data["status"]);
  return s;
}

class Jobs : public ::testing::Test {
 protected:
  void SetUp() override {
    site.default_users();
    site.set("LogsApiKey", "logs-key");
    site.alias_file("a.yaml",
                    "hello:\n  type: process\n  command: echo hello\n"
                    // Pieces apart in time, a UTF-8 character split between two of them.
                    "talk:\n  type: process\n"
                    "  command: printf 'one '; sleep 0.3; printf 'two\\303' ; sleep 0.3; printf '\\251\\n'; echo oops >&2\n"
                    "loud:\n  type: process\n  command: for i in 1 2 3 4 5 6 7 8; do printf '%2000s' '' | tr ' ' x; sleep 0.1; done\n"
                    "nap:\n  type: process\n  command: sleep {{ seconds | shell }}\n"
                    "  parameters:\n    seconds: {type: integer, required: true, max: 60}\n");
  }

  void start() {
    server = std::make_unique<Server>(site);
    ASSERT_TRUE(server->wait_ready()) << server->err();
    client = server->client();
  }

  httplib::Headers as(const std::string& user) {
    if (user == "key") return {{"X-API-Key", "logs-key"}};
    return {{"Authorization", basic_auth(user, user == "alice" ? "wonderland" : "builder")}};
  }

  // The job's id after a 202.
  std::string submit(const std::string& alias, const std::string& body = "", const std::string& user = "alice") {
    auto r = client->Post(("/v1/jobs/" + alias).c_str(), as(user), body, "application/json");
    if (!r || r->status != 202) {
      ADD_FAILURE() << alias << ": " << (r ? std::to_string(r->status) + " " + r->body : "no answer");
      return "";
    }
    const Value v = Value::parse(r->body);
    EXPECT_EQ(v["status"], "queued");
    EXPECT_EQ(r->get_header_value("Location"), "/v1/jobs/" + v["job_id"].get<std::string>());
    EXPECT_EQ(r->get_header_value("X-Correlation-ID"), v["job_id"]);
    return v["job_id"];
  }

  std::pair<int, Value> get(const std::string& path, const std::string& user = "alice") {
    auto r = client->Get(path.c_str(), as(user));
    if (!r) return {0, Value()};
    return {r->status, Value::parse(r->body, nullptr, false)};
  }

  Value wait_status(const std::string& id, const std::string& status, std::chrono::milliseconds limit = 10s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    Value job;
    do {
      job = get("/v1/jobs/" + id).second;
      if (job.value("status", "") == status) return job;
      std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < until);
    ADD_FAILURE() << id << " never became " << status << ": " << job.dump();
    return job;
  }

  std::vector<Event> watch(const std::string& id, const std::string& user = "alice") {
    RawConnection c(site.port());
    std::string auth;
    for (const auto& [k, v] : as(user)) auth += k + ": " + v + "\r\n";
    // HTTP/1.0: the stream ends with the connection, unframed.
    c.send("GET /v1/jobs/" + id + "/events HTTP/1.0\r\nHost: x\r\n" + auth + "\r\n");
    const std::string raw = c.read_until_closed(20s);
    EXPECT_NE(raw.find("Content-Type: text/event-stream"), std::string::npos) << raw.substr(0, 300);
    return parse_events(raw);
  }

  Site site;
  std::unique_ptr<Server> server;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(Jobs, AJobAnswersAtOnceStreamsItsOutputInOrderAndKeepsTheResultARunWouldGive) {
  site.set("JobOutputBytes", "4096");
  start();
  const std::string id = submit("talk");
  const auto events = watch(id);
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(text_of(events, "stdout"), "one two\xc3\xa9\n");  // the split character arrives whole
  EXPECT_EQ(text_of(events, "stderr"), "oops\n");
  EXPECT_GT(std::count_if(events.begin(), events.end(), [](const Event& e) { return e.name == "stdout"; }), 1)
      << "output came in one piece at the end, not as it happened";
  EXPECT_EQ(statuses_of(events), (std::vector<std::string>{"queued", "running", "succeeded"}));
  const Event& end = events.back();
  ASSERT_EQ(end.name, "end");
  EXPECT_EQ(end.data["status"], "succeeded");
  EXPECT_EQ(end.data["result"]["stdout"], "one two\xc3\xa9\n");

  // The job as the API keeps it: the synchronous answer, times in order.
  auto [status, job] = get("/v1/jobs/" + id);
  ASSERT_EQ(status, 200);
  auto sync = client->Post("/v1/run/talk", as("alice"), "", "application/json");
  Value expected = Value::parse(sync->body);
  expected["pid"] = job["result"]["pid"];
  EXPECT_EQ(job["result"], expected);
  EXPECT_EQ(job["alias"], "talk");
  EXPECT_EQ(job["user"], "alice");
  EXPECT_LE(job["created"].get<std::string>(), job["started"].get<std::string>());
  EXPECT_LE(job["started"].get<std::string>(), job["finished"].get<std::string>());

  // A watcher after the end gets the same story at once; over HTTP/1.1 in
  // chunks, on a connection that then serves the next request.
  client->set_keep_alive(true);
  auto late_raw = client->Get(("/v1/jobs/" + id + "/events").c_str(), as("alice"));
  ASSERT_TRUE(late_raw);
  EXPECT_EQ(late_raw->get_header_value("Transfer-Encoding"), "chunked");
  const auto late = parse_events("\r\n\r\n" + late_raw->body);
  EXPECT_EQ(text_of(late, "stdout"), "one two\xc3\xa9\n");
  EXPECT_EQ(late.back().data["result"], job["result"]);
  EXPECT_EQ(client->Get("/health")->status, 200);

  // Past the bound the stream says it was cut; the result keeps everything.
  const auto loud = watch(submit("loud"));
  EXPECT_EQ(std::count_if(loud.begin(), loud.end(), [](const Event& e) { return e.name == "truncated"; }), 1);
  EXPECT_LE(text_of(loud, "stdout").size(), 8000u);
  EXPECT_EQ(loud.back().data["result"]["stdout"].get<std::string>(), std::string(16000, 'x'));

  // What the run would refuse is refused at once, as the run would answer, and leaves no job.
  auto bad = client->Post("/v1/jobs/nap", as("alice"), R"({"seconds": 99})", "application/json");
  EXPECT_EQ(bad->status, 400);
  EXPECT_EQ(Value::parse(bad->body)["validation_error"], true);
  EXPECT_EQ(client->Post("/v1/jobs/nope", as("alice"), "", "application/json")->status, 404);

  // The history: newest first, synchronous runs included, filtered and paged.
  auto [ls, list] = get("/v1/jobs?limit=2");
  ASSERT_EQ(ls, 200) << list.dump();
  ASSERT_EQ(list["jobs"].size(), 2u);
  EXPECT_EQ(list["jobs"][1]["alias"], "talk");  // the synchronous run
  EXPECT_FALSE(list["jobs"][0].contains("result"));
  auto [ps, page2] = get("/v1/jobs?limit=2&before=" + list["next_before"].get<std::string>());
  ASSERT_EQ(ps, 200);
  EXPECT_EQ(page2["jobs"][0]["job_id"], id);
  EXPECT_EQ(page2["next_before"], Value());
  EXPECT_EQ(get("/v1/jobs?alias=loud&status=succeeded").second["jobs"].size(), 1u);
  EXPECT_EQ(get("/v1/jobs?status=sleeping").first, 400);
  EXPECT_EQ(get("/v1/jobs?limit=501").first, 400);
}

TEST_F(Jobs, CancelEndsAQueuedJobUnstartedAndARunningOneWithItsProcessesAndAFullQueueMakesNoJob) {
  site.set("MaxConcurrentRuns", "1");
  site.set("MaxQueuedRuns", "1");
  start();
  const std::string running = submit("nap", R"({"seconds": 30})");
  wait_status(running, "running");
  const std::string queued = submit("nap", R"({"seconds": 1})");
  auto full = client->Post("/v1/jobs/hello", as("alice"), "", "application/json");
  EXPECT_EQ(full->status, 429);
  EXPECT_EQ(get("/v1/jobs").second["jobs"].size(), 2u) << "a refused job left a row";

  auto c1 = client->Delete(("/v1/jobs/" + queued).c_str(), as("alice"));
  EXPECT_EQ(c1->status, 200);
  EXPECT_EQ(Value::parse(c1->body)["status"], "cancelled");
  EXPECT_EQ(get("/v1/jobs/" + queued).second["started"], Value()) << "a cancelled queued job started";

  auto c2 = client->Delete(("/v1/jobs/" + running).c_str(), as("alice"));
  EXPECT_EQ(c2->status, 202);
  const Value job = wait_status(running, "cancelled", 5s);
  EXPECT_EQ(job["result"]["success"], false);
  EXPECT_EQ(job["result"]["error"], "Run cancelled");
  const pid_t pid = job["result"].value("pid", 0);
  ASSERT_GT(pid, 0);
  EXPECT_NE(::kill(pid, 0), 0) << "the cancelled job's process is still there";
  EXPECT_EQ(client->Delete(("/v1/jobs/" + running).c_str(), as("alice"))->status, 409);
  // The pool is free again.
  wait_status(submit("hello"), "succeeded");
}

TEST_F(Jobs, AJobIsOnlyItsOwnersAndTheLogsKeyHoldersEverywhere) {
  start();
  const std::string id = submit("hello");
  wait_status(id, "succeeded");
  EXPECT_EQ(get("/v1/jobs/" + id, "bob").first, 404);
  EXPECT_EQ(client->Delete(("/v1/jobs/" + id).c_str(), as("bob"))->status, 404);
  EXPECT_EQ(client->Get(("/v1/jobs/" + id + "/events").c_str(), as("bob"))->status, 404);
  EXPECT_EQ(get("/v1/jobs", "bob").second["jobs"].size(), 0u);
  EXPECT_EQ(get("/v1/jobs/" + id, "key").first, 200);
  EXPECT_EQ(get("/v1/jobs", "key").second["jobs"].size(), 1u);
  EXPECT_EQ(client->Get("/v1/jobs")->status, 401);
  EXPECT_EQ(client->Get(("/v1/jobs/" + id).c_str(), {{"X-API-Key", "wrong"}})->status, 401);
}

TEST_F(Jobs, AStopInterruptsQueuedJobsAndACrashInterruptsRunningOnesAtTheNextStart) {
  site.set("MaxConcurrentRuns", "1");
  start();
  const std::string finishing = submit("nap", R"({"seconds": 1})");
  wait_status(finishing, "running");
  const std::string waiting = submit("hello");
  server->signal(SIGTERM);
  ASSERT_EQ(server->wait_exit(15s), 0);

  start();
  EXPECT_EQ(get("/v1/jobs/" + finishing).second["status"], "succeeded") << "a running job was not waited for";
  EXPECT_EQ(get("/v1/jobs/" + waiting).second["status"], "interrupted");
  EXPECT_EQ(get("/v1/jobs/" + waiting).second["started"], Value());

  const std::string crashed = submit("nap", R"({"seconds": 30})");
  wait_status(crashed, "running");
  server->signal(SIGKILL);
  server->wait_exit(5s);
  start();
  const Value job = get("/v1/jobs/" + crashed).second;
  EXPECT_EQ(job["status"], "interrupted");
  EXPECT_NE(job["finished"], Value());
}

TEST_F(Jobs, AJobDatabaseThatCannotBeOpenedIsAStartUpRefusal) {
  site.set("JobDatabase", site.path("no/such/dir/jobs.sqlite3"));
  site.write_conf();
  const Exit e = run_portico({"--config", site.conf_path()});
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.err.find("Job database " + site.path("no/such/dir/jobs.sqlite3")), std::string::npos) << e.err;
}

}  // namespace
}  // namespace portico::test
