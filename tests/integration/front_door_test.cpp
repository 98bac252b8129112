// The front door against clients that try to stall, flood or crash it: the
// real program, raw sockets where the framing is the attack.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <httplib.h>

#include <filesystem>
#include <thread>

#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

std::string header_value(const std::string& raw, const std::string& name) {
  const size_t at = raw.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t start = at + name.size() + 4;
  return raw.substr(start, raw.find("\r\n", start) - start);
}

std::string body_of(const std::string& raw) {
  const size_t at = raw.find("\r\n\r\n");
  return at == std::string::npos ? "" : raw.substr(at + 4);
}

size_t thread_count(pid_t pid) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) ++n;
  return n;
}

class FrontDoor : public ::testing::Test {
 protected:
  void start(const std::map<std::string, std::string>& settings = {}) {
    site.default_users();
    site.alias_file("a.yaml",
                    "hello:\n  type: process\n  command: echo hello\n"
                    "greet:\n  type: process\n  command: printf '%s' {{ name | shell }}\n"
                    "  parameters:\n    name: {type: string, required: true}\n"
                    "hold:\n  type: process\n  command: sleep 2\n"
                    "mark:\n  type: process\n  command: touch " + site.path("marker") + "\n");
    for (const auto& [k, v] : settings) site.set(k, v);
    server = std::make_unique<Server>(site);
    ASSERT_TRUE(server->wait_ready()) << server->err();
    client = server->client();
  }

  httplib::Result post(const std::string& alias, const std::string& user = "alice", const std::string& pw = "wonderland") {
    return client->Post(("/v1/run/" + alias).c_str(), {{"Authorization", basic_auth(user, pw)}}, "", "application/json");
  }

  // The request sent alone on a fresh connection; everything the server answers before closing.
  std::string exchange(const std::string& request, std::chrono::milliseconds limit = 5s) {
    RawConnection c(site.port());
    c.send(request);
    return c.read_until_closed(limit);
  }

  Site site;
  std::unique_ptr<Server> server;
  std::unique_ptr<httplib::Client> client;
};

const std::string kAlice = "Authorization: " + basic_auth("alice", "wonderland") + "\r\n";

std::string chunked(const std::string& body, size_t piece) {
  std::string out;
  for (size_t at = 0; at < body.size(); at += piece) {
    const std::string part = body.substr(at, piece);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

TEST_F(FrontDoor, LimitsAndFramingErrorsAreRefusedBeforeAnyWorkAndTheConnectionCloses) {
  start({{"MaxRequestBytes", "4096"}});
  std::string at_limit = R"({"name":"x"})";
  at_limit += std::string(4096 - at_limit.size(), ' ');
  const std::string run = "POST /v1/run/greet HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";
  struct Case {
    std::string name, request;
    int status;
    std::string error;
  } cases[] = {
      {"length not a number", run + "Content-Length: abc\r\n\r\n", 400, "Invalid Content-Length"},
      {"length then chunked", run + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400,
       "Invalid Transfer-Encoding"},
      {"chunked then length", run + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n", 400,
       "Invalid Content-Length"},
      {"coding other than chunked", run + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 400,
       "Invalid Transfer-Encoding"},
      // Refused from the header, without credentials and without waiting for ten gigabytes.
      {"length far too large", run + "Content-Length: 10000000000\r\n\r\n", 413, "Request body too large"},
      {"chunked too large", run + kAlice + "Transfer-Encoding: chunked\r\n\r\n" + chunked(at_limit + " ", 1000), 413,
       "Request body too large"},
      {"length one too large", run + kAlice + "Content-Length: 4097\r\n\r\n" + at_limit + " ", 413,
       "Request body too large"},
      {"target too long", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 414, "Request target too long"},
      {"request line never ends", "GET /" + std::string(40000, 'a'), 414, "Request target too long"},
      {"header too large", "GET /health HTTP/1.1\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n", 431,
       "Request header too large"},
      {"not HTTP", "HELLO THERE\r\n\r\n", 400, "Bad request"},
      {"chunk size not hex", run + kAlice + "Transfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n", 400,
       "Bad request"},
  };
  for (const auto& c : cases) {
    const auto t0 = Clock::now();
    const std::string raw = exchange(c.request);
    EXPECT_LT(Clock::now() - t0, 3s) << c.name << ": the connection was not closed";
    EXPECT_EQ(statuses(raw), std::vector<int>{c.status}) << c.name << "\n" << raw.substr(0, 300);
    EXPECT_EQ(Value::parse(body_of(raw), nullptr, false), Value({{"error", c.error}})) << c.name;
    EXPECT_EQ(header_value(raw, "X-Correlation-ID").size(), 36u) << c.name;
    EXPECT_EQ(header_value(raw, "Connection"), "close") << c.name;
  }
  // A body of exactly the limit is taken in both framings.
  for (const std::string& framing : {"Content-Length: 4096\r\n\r\n" + at_limit,
                                     "Transfer-Encoding: chunked\r\n\r\n" + chunked(at_limit, 1000)}) {
    const std::string raw = exchange(run + kAlice + "Connection: close\r\n" + framing);
    EXPECT_EQ(statuses(raw), std::vector<int>{200}) << raw.substr(0, 300);
    EXPECT_TRUE(contains(raw, R"("stdout":"x")"));
  }
  const std::string metrics = client->Get("/metrics")->body;
  EXPECT_TRUE(contains(metrics, "portico_http_refusals_total{status=\"413\"} 3")) << metrics;
  EXPECT_FALSE(contains(slurp(site.path("logs/audit.log")), "\"status\":431")) << "framing refusals write no audit line";
}

TEST_F(FrontDoor, PipelinedRequestsAreAnsweredInOrderOnOneConnection) {
  start();
  RawConnection c(site.port());
  c.send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n"
         "POST /v1/run/hello HTTP/1.1\r\nHost: x\r\n" + kAlice + "Content-Length: 0\r\n\r\n"
         "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n"
         "HEAD /health HTTP/1.1\r\nHost: x\r\n\r\n"
         "POST /health HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"
         "GET /health HTTP/1.0\r\n\r\n");
  const std::string raw = c.read_until_closed();
  EXPECT_EQ(statuses(raw), (std::vector<int>{200, 200, 404, 200, 405, 200})) << raw;
  EXPECT_LT(raw.find("\"status\":\"ok\""), raw.find("hello\\n"));
  EXPECT_EQ(count(raw, R"({"status":"ok"})"), 2u) << "HEAD answers without a body";
  EXPECT_TRUE(contains(raw, "Allow: GET\r\n"));
  EXPECT_TRUE(c.closed_by_server()) << "HTTP/1.0 without keep-alive closes after its answer";
}

// Hundreds of clients that send nothing, or a header byte now and then, cost
// no thread, do not delay anyone else, and are cut off at the header deadline.
TEST_F(FrontDoor, SlowAndIdleConnectionsNeitherStallOthersNorStayForever) {
  start({{"RequestHeaderTimeout", "1.5"}, {"KeepAliveTimeout", "1"}});
  const size_t threads_before = thread_count(server->pid());
  std::vector<std::unique_ptr<RawConnection>> idle, slow;
  for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<RawConnection>(site.port()));
  for (int i = 0; i < 100; ++i) slow.push_back(std::make_unique<RawConnection>(site.port()));
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    const std::string header = "GET /health HTTP/1.1\r\nX-Slow: " + std::string(100, 'a');
    for (size_t i = 0; trickling && i < header.size(); ++i) {
      for (auto& s : slow) s->send(header.substr(i, 1));
      std::this_thread::sleep_for(50ms);
    }
  });
  std::this_thread::sleep_for(200ms);
  const auto t0 = Clock::now();
  auto health = client->Get("/health");
  const auto health_time = Clock::now() - t0;
  auto run = post("hello");
  ASSERT_TRUE(health && run);
  EXPECT_EQ(health->status, 200);
  EXPECT_LT(health_time, 500ms);
  EXPECT_EQ(run->status, 200);
  EXPECT_LT(thread_count(server->pid()), threads_before + 4) << "a connection must not cost a thread";

  // Past the header deadline every one of them has been answered 408 and closed.
  std::this_thread::sleep_for(1500ms);
  trickling = false;
  trickle.join();
  size_t timed_out = 0;
  for (auto* group : {&idle, &slow})
    for (auto& c : *group) timed_out += statuses(c->read_until_closed(2s)) == std::vector<int>{408} && c->closed_by_server();
  EXPECT_EQ(timed_out, 400u);
  EXPECT_TRUE(eventually([&] { return contains(client->Get("/metrics")->body, "portico_connections_open 1\n"); }, 3s));
}

TEST_F(FrontDoor, ConnectionsBeyondTheCapAreRefusedWith503AndIdleOnesDoNotHoldUpAStop) {
  start({{"MaxConnections", "20"}});
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 20; ++i) held.push_back(std::make_unique<RawConnection>(site.port()));
  ASSERT_TRUE(eventually([&] {
    const std::string raw = exchange("GET /health HTTP/1.1\r\nHost: x\r\n\r\n", 2s);
    return statuses(raw) == std::vector<int>{503} && contains(raw, R"({"error":"Too many connections"})") &&
           header_value(raw, "X-Correlation-ID").size() == 36;
  }, 3s));
  held.clear();
  EXPECT_TRUE(eventually([&] { return statuses(exchange("GET /health HTTP/1.0\r\n\r\n", 2s)) == std::vector<int>{200}; }, 3s));
  // Idle clients do not hold up a stop.
  for (int i = 0; i < 10; ++i) held.push_back(std::make_unique<RawConnection>(site.port()));
  server->signal(SIGTERM);
  EXPECT_EQ(server->wait_exit(3s), 0);
}

TEST_F(FrontDoor, DeepAndWideBodiesAreRefusedQuicklyAndTheServerLives) {
  start();
  auto send_body = [&](const std::string& body) {
    return client->Post("/v1/run/greet", {{"Authorization", basic_auth("alice", "wonderland")}}, body,
                        "application/json");
  };
  // 100,000 nested objects in 600 KB once overflowed the stack and took every run in flight with it.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
  deep += "1" + std::string(100000, '}');
  auto r = send_body(deep);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(r->body, R"({"error":"Request body nests too deeply"})");
  // 40,000 keys once cost seconds of CPU to parse (how the time grows is shown on the parser alone).
  std::string wide = "{\"name\":\"x\"";
  for (int i = 0; i < 40000; ++i) wide += ",\"k" + std::to_string(i) + "\":1";
  wide += "}";
  r = send_body(wide);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(Value::parse(r->body)["validation_error"], true);
  EXPECT_EQ(post("hello")->status, 200);
}

TEST_F(FrontDoor, FailedSignInsAreThrottledPerAddressAndNameAndAudited) {
  start({{"AuthFailureLimit", "3"}});
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(post("hello", "alice", "guess" + std::to_string(i))->status, 401);
    EXPECT_EQ(post("hello", "mallory", "guess")->status, 401);  // unknown names are throttled alike
  }
  for (const char* user : {"alice", "mallory"}) {
    auto r = post("hello", user, "guess");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 429);
    const int retry = std::atoi(r->get_header_value("Retry-After").c_str());
    EXPECT_GE(retry, 55);
    EXPECT_LE(retry, 60);
  }
  EXPECT_EQ(post("hello", "alice", "wonderland")->status, 429) << "throttled before any password is checked";
  EXPECT_EQ(post("hello", "bob", "builder")->status, 200) << "another user is unaffected";

  const std::string audit = slurp(site.path("logs/audit.log"));
  EXPECT_EQ(count(audit, R"("user":"alice","auth":null,"client":"127.0.0.1","alias":"hello","outcome":"unauthorized","status":401)"), 3u) << audit;
  EXPECT_EQ(count(audit, R"("user":"mallory","auth":null,"client":"127.0.0.1","alias":"hello","outcome":"unauthorized")"), 3u);
  EXPECT_EQ(count(audit, R"("outcome":"auth_throttled","status":429)"), 3u);
  const std::string metrics = client->Get("/metrics")->body;
  EXPECT_TRUE(contains(metrics, "portico_sign_in_failures_total{outcome=\"unauthorized\"} 6")) << metrics;
  EXPECT_TRUE(contains(metrics, "portico_sign_in_failures_total{outcome=\"auth_throttled\"} 3"));
}

// One run thread and one place in the queue: a third run is told to come back,
// health never waits, and a queued run whose client left never starts.
TEST_F(FrontDoor, AFullRunQueueAnswers429AndAbandonedQueuedRunsNeverStart) {
  start({{"MaxConcurrentRuns", "1"}, {"MaxQueuedRuns", "1"}});
  auto metric = [&](const std::string& line) { return contains(client->Get("/metrics")->body, line + "\n"); };
  std::thread first([&] { EXPECT_EQ(server->client()->Post("/v1/run/hold", {{"Authorization", basic_auth("alice", "wonderland")}}, "", "application/json")->status, 200); });
  ASSERT_TRUE(eventually([&] { return metric("portico_runs_in_flight 1"); }, 5s));
  RawConnection queued(site.port());
  queued.send("POST /v1/run/mark HTTP/1.1\r\nHost: x\r\n" + kAlice + "Content-Length: 0\r\n\r\n");
  ASSERT_TRUE(eventually([&] { return metric("portico_runs_queued 1"); }, 5s));

  auto r = post("hold");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 429);
  EXPECT_EQ(r->body, R"({"success":false,"error":"Too many runs in progress; retry later"})");
  EXPECT_EQ(r->get_header_value("Retry-After"), "1");
  const auto t0 = Clock::now();
  EXPECT_EQ(client->Get("/health")->status, 200);
  EXPECT_LT(Clock::now() - t0, 500ms);

  queued.close();
  first.join();
  EXPECT_TRUE(eventually([&] { return metric("portico_runs_total{alias=\"mark\",outcome=\"client_gone\"} 1"); }, 5s));
  EXPECT_FALSE(std::filesystem::exists(site.path("marker")));
  // The metric is counted just before the audit line is written.
  EXPECT_TRUE(eventually([&] { return contains(slurp(site.path("logs/audit.log")), R"("alias":"mark","outcome":"client_gone")"); }, 5s));
  EXPECT_TRUE(contains(site.app_log(), "Run of alias 'mark' by 'alice' not started: the client has gone"));
}

}  // namespace
}  // namespace portico::test
