// The program under faults an operator meets on a production host: files
// rewritten under it, a full or read-only log directory, a service manager.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "common/fd.h"
#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

const char* kHello = "hello:\n  type: process\n  command: echo hello\n";

httplib::Headers as(const std::string& user, const std::string& password) {
  return {{"Authorization", basic_auth(user, password)}};
}

int run(httplib::Client& c, const std::string& alias, const std::string& user = "alice",
        const std::string& password = "wonderland") {
  auto r = c.Post(("/v1/run/" + alias).c_str(), as(user, password), "", "application/json");
  return r ? r->status : -1;
}

Value health(httplib::Client& c) {
  auto r = c.Get("/health", {{"X-API-Key", "health-secret"}});
  return r ? Value::parse(r->body, nullptr, false) : Value();
}

// How `echo > file` and editors that save in place write: truncate, then the
// text in two writes.
void rewrite_in_place(const std::string& path, const std::string& text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  ASSERT_TRUE(fd);
  const size_t half = text.size() / 2;
  std::this_thread::sleep_for(2ms);
  ASSERT_EQ(::write(fd.get(), text.data(), half), static_cast<ssize_t>(half));
  std::this_thread::sleep_for(2ms);
  ASSERT_EQ(::write(fd.get(), text.data() + half, text.size() - half), static_cast<ssize_t>(text.size() - half));
}

// How `mv` and `sed -i` save.
void replace_by_rename(const std::string& path, const std::string& text) {
  write_file(path + ".tmp", text);
  fs::rename(path + ".tmp", path);
}

class Durability : public ::testing::Test {
 protected:
  void SetUp() override {
    site.default_users();
    site.alias_file("10-hello.yaml", kHello);
    site.set("HealthApiKey", "health-secret");
  }
  void start(const std::map<std::string, std::string>& env = {}) {
    server = std::make_unique<Server>(site, std::vector<std::string>{}, env);
    ASSERT_TRUE(server->wait_ready()) << server->err();
    client = server->client();
  }
  Site site;
  std::unique_ptr<Server> server;
  std::unique_ptr<httplib::Client> client;
};

// The fault: the first event of an in-place save reloaded the file while it
// was empty, and every client got 401 until the next event.
TEST_F(Durability, InPlaceRewritesLockNobodyOutAndTheLastSaveCounts) {
  site.set("AuthReload", "1");
  site.set("AliasReload", "1");
  // Carol's sign-ins fail until her save is loaded: they must not be throttled meanwhile.
  site.set("AuthFailureLimit", "0");
  start();
  const std::string users = site.path("auth/users.yaml"), aliases = site.path("aliases/10-hello.yaml");
  const std::string users_text = slurp(users);
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0}, wrong{0};
  std::thread signing_in([&] {
    auto c = server->client();
    while (!stop) {
      auto r = c->Get("/v1/aliases", as("alice", "wonderland"));
      (r && r->status == 200 && contains(r->body, "\"hello\"") ? ok : wrong)++;
    }
  });
  for (int i = 0; i < 20; ++i) {
    rewrite_in_place(users, users_text + "# save " + std::to_string(i) + "\n");
    rewrite_in_place(aliases, std::string(kHello) + "# save " + std::to_string(i) + "\n");
    std::this_thread::sleep_for(50ms);
  }
  rewrite_in_place(users, users_text + "  carol:\n    password: \"" + hash_password("c") + "\"\n    aliases: [hello]\n");
  EXPECT_TRUE(eventually([&] { return run(*client, "hello", "carol", "c") == 200; }, 10s)) << site.app_log();
  stop = true;
  signing_in.join();
  EXPECT_EQ(wrong, 0) << "answers other than 200 with hello listed";
  EXPECT_GT(ok, 20);
}

TEST_F(Durability, AReloadThatWouldLeaveNoUsersOrNoAliasesIsRefused) {
  site.set("AuthReload", "1");
  site.set("AliasReload", "1");
  // Carol's sign-ins fail until her save is loaded: they must not be throttled meanwhile.
  site.set("AuthFailureLimit", "0");
  start();
  const std::string users = site.path("auth/users.yaml"), aliases = site.path("aliases/10-hello.yaml");
  replace_by_rename(users, "");
  replace_by_rename(aliases, "# nothing yet\n");
  const std::string auth_error = "Auth reload error: No authentication configured: no users and no JWT public keys found in " +
                                 users + "; the previous authentication configuration stays in effect";
  const std::string alias_error =
      "Alias reload error: No aliases configured in " + aliases + "; the previous aliases stay in effect";
  EXPECT_TRUE(eventually([&] { return contains(site.app_log(), auth_error) && contains(site.app_log(), alias_error); },
                         10s))
      << site.app_log();
  const Value h = health(*client);
  EXPECT_EQ(h["events"]["auth_reload"]["failures"], 1) << h.dump();
  EXPECT_EQ(h["events"]["alias_reload"]["failures"], 1) << h.dump();
  EXPECT_EQ(run(*client, "hello"), 200);
}

TEST_F(Durability, SighupWithAReadOnlyLogDirStillReloads) {
  auto logs = Tmpfs::mount(4 << 20);
  if (!logs) GTEST_SKIP() << "a tmpfs of its own needs root";
  site.set("LogDir", logs->path());
  start();
  site.alias_file("20-extra.yaml", "extra:\n  type: process\n  command: echo extra\n");
  logs->cover_read_only();
  server->signal(SIGHUP);
  EXPECT_TRUE(eventually([&] { return run(*client, "extra") == 200; }, 5s));
  logs->uncover();
  const std::string log = slurp(logs->path() + "/app.log");
  EXPECT_TRUE(contains(log, "Cannot reopen log files: ")) << log;
  EXPECT_TRUE(contains(log, "Read-only file system")) << log;
  EXPECT_TRUE(contains(log, "Alias configuration reloaded successfully")) << log;
}

// The fault: on a full log disk audit records went missing or ran into each
// other while /health said ok and nothing logged or counted the loss.
TEST_F(Durability, AFullLogDirDegradesHealthAndLosesNoAuditRecord) {
  auto logs = Tmpfs::mount(1 << 20);
  if (!logs) GTEST_SKIP() << "a tmpfs of its own needs root";
  site.set("LogDir", logs->path());
  start();
  const std::string filler = logs->path() + "/filler";
  {
    UniqueFd fd(::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const std::string block(4096, '\0');
    while (::write(fd.get(), block.data(), block.size()) > 0) {
    }
  }
  constexpr int kRuns = 25;
  for (int i = 0; i < kRuns; ++i) EXPECT_EQ(run(*client, "hello"), 200);
  Value h = health(*client);
  EXPECT_EQ(h["status"], "degraded");
  EXPECT_TRUE(contains(h.value("reason", ""), "audit log writes are failing (No space left on device)")) << h.dump();
  auto metrics = client->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_TRUE(contains(metrics->body, "portico_log_write_failures_total{log=\"audit\"} "));
  EXPECT_FALSE(contains(metrics->body, "portico_log_write_failures_total{log=\"audit\"} 0\n"));

  fs::remove(filler);
  EXPECT_TRUE(eventually([&] { return health(*client)["status"] == "ok"; }, 10s));
  const std::string audit = logs->path() + "/audit.log";
  std::set<std::string> ids;
  std::istringstream in(slurp(audit));
  for (std::string line; std::getline(in, line);) {
    const Value rec = Value::parse(line, nullptr, false);
    ASSERT_TRUE(rec.is_object()) << "not a whole JSON line: " << line;
    ids.insert(rec["correlation_id"].get<std::string>());
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(kRuns));
  EXPECT_TRUE(contains(server->err(), "audit log " + audit + ": write failed (No space left on device)")) << server->err();
  EXPECT_TRUE(contains(server->err(), "audit log " + audit + ": writing again after ")) << server->err();
}

// A datagram socket standing in for the service manager's NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
  }
  // Waits for a message with a line equal to `line`; the messages passed on the way are kept.
  bool expect(const std::string& line, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      pollfd p{fd_.get(), POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[4096];
      const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (n <= 0) continue;
      const std::string msg(buf, static_cast<size_t>(n));
      seen += msg + "|";
      if (("\n" + msg + "\n").find("\n" + line + "\n") != std::string::npos) return true;
    }
  }
  std::string seen;

 private:
  std::string path_;
  UniqueFd fd_;
};

TEST_F(Durability, TheServiceManagerHearsReadyWatchdogReloadAndStop) {
  NotifySocket manager(site.path("notify.sock"));
  server = std::make_unique<Server>(site, std::vector<std::string>{},
                                    std::map<std::string, std::string>{{"NOTIFY_SOCKET", site.path("notify.sock")},
                                                                       {"WATCHDOG_USEC", "300000"}});
  ASSERT_TRUE(manager.expect("READY=1", 15s)) << manager.seen << server->err();
  client = server->client();
  EXPECT_TRUE(client->Get("/health")) << "READY=1 came before the server listened";
  EXPECT_TRUE(manager.expect("WATCHDOG=1", 2s)) << manager.seen;
  EXPECT_TRUE(manager.expect("WATCHDOG=1", 2s)) << manager.seen;
  server->signal(SIGHUP);
  EXPECT_TRUE(manager.expect("RELOADING=1", 5s)) << manager.seen;
  EXPECT_TRUE(manager.expect("READY=1", 5s)) << manager.seen;
  server->signal(SIGTERM);
  EXPECT_TRUE(manager.expect("STOPPING=1", 5s)) << manager.seen;
  EXPECT_EQ(server->wait_exit(10s), 0);
}

}  // namespace
}  // namespace portico::test
