#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <httplib.h>

#include <filesystem>
#include <set>
#include <thread>

#include "integration/harness.h"

namespace portico::test {
namespace {

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

// Alive and not a zombie waiting for a reaper.
bool alive(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
}

const char* kHello = "hello:\n  type: process\n  command: echo hello\n";

Exit start(Site& site, std::vector<std::string> extra = {}) {
  site.write_conf();
  std::vector<std::string> args{"--config", site.conf_path()};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_portico(args);
}

TEST(Startup, RefusesWithoutAuthentication) {
  Site site;
  site.alias_file("a.yaml", kHello);
  const Exit e = start(site);
  EXPECT_EQ(e.status, 1);
  const std::string msg = "No authentication configured: no users and no JWT public keys found in " +
                          site.path("auth") + ". At least one form of authentication is required.";
  EXPECT_EQ(e.err, "ERROR: " + msg + "\n");
  EXPECT_TRUE(contains(site.app_log(), " ERROR portico " + msg));
  EXPECT_FALSE(std::filesystem::exists(site.path("portico.pid")));
}

TEST(Startup, RefusesBrokenAuthenticationFiles) {
  Site site;
  site.alias_file("a.yaml", kHello);
  site.auth_file("users.yaml", "users:\n  eve:\n    password: plaintext\n");
  const Exit e = start(site);
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "ERROR: ")) << e.err;
  EXPECT_TRUE(contains(e.err, "eve")) << e.err;
}

TEST(Startup, RefusesAliasErrorsAndAppliesNothing) {
  Site site;
  site.default_users();
  site.alias_file("a.yaml", kHello);
  site.alias_file("b.yaml", "broken:\n  type: process\n  timeout: -1\nbad2:\n  environment: [x]\n");
  const Exit e = start(site);
  EXPECT_EQ(e.status, 1);
  size_t n = 0;
  for (size_t p = 0; (p = e.err.find("ERROR: ", p)) != std::string::npos; ++p) ++n;
  EXPECT_EQ(n, 2u) << e.err;
  EXPECT_LT(e.err.find("broken"), e.err.find("bad2"));
}

TEST(Startup, RefusesAnEmptyAliasDirectory) {
  Site site;
  site.default_users();
  const Exit e = start(site);
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.err, "ERROR: No aliases configured in " + site.path("aliases") + ". At least one alias is required.\n");
}

TEST(Startup, UnwritablePidFileIsFatal) {
  Site site;
  site.default_users();
  site.alias_file("a.yaml", kHello);
  site.set("PidFile", site.path("no-such-dir/portico.pid"));
  const Exit e = start(site);
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "ERROR: cannot write PID file " + site.path("no-such-dir/portico.pid") + ": ")) << e.err;
}

TEST(Startup, LogsVersionAndContainerModeThenServes) {
  Site site;
  site.default_users();
  site.alias_file("a.yaml", kHello);
  Server server(site);
  ASSERT_TRUE(server.wait_ready()) << server.err();
  const std::string log = site.app_log();
  EXPECT_TRUE(contains(log, " INFO portico Portico version ")) << log;
  EXPECT_TRUE(contains(log, " INFO portico Running on host (configured)")) << log;
  EXPECT_EQ(slurp(site.path("portico.pid")), std::to_string(server.pid()));
  // Without container aliases the Engine client's libcurl is never loaded,
  // nor libsystemd without a service manager.
  const std::string maps = slurp("/proc/" + std::to_string(server.pid()) + "/maps");
  EXPECT_FALSE(contains(maps, "libcurl")) << maps;
  EXPECT_FALSE(contains(maps, "libsystemd")) << maps;
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(std::chrono::seconds(10)), 0);
  const std::string after = site.app_log();
  EXPECT_TRUE(contains(after, "SIGTERM received — initiating graceful shutdown")) << after;
  EXPECT_EQ(after.substr(after.rfind(" INFO portico ")), " INFO portico Portico shutdown complete\n");
  EXPECT_FALSE(std::filesystem::exists(site.path("portico.pid")));
}

// Values with a meaning that may surprise their author start the gateway and
// are reported with their place: on the terminal and in the log for settings
// (read before logging exists), in the log for aliases.
TEST(Startup, SurprisingValuesAreWarnedAboutAndServed) {
  Site site;
  site.default_users();
  site.set("Container", "yes");
  site.set("AliasReload", "2.5");
  site.alias_file("a.yaml", std::string(kHello) + "  timeout: 0\n");
  Server server(site);
  ASSERT_TRUE(server.wait_ready()) << server.err();
  const std::string container = ": Container: 'yes' means not in a container: only 1 and true (in any letter case) "
                                "mean a container, auto detects";
  EXPECT_TRUE(contains(server.err(), "WARNING: " + site.conf_path() + ":")) << server.err();
  EXPECT_TRUE(contains(server.err(), container)) << server.err();
  const std::string log = site.app_log();
  EXPECT_TRUE(contains(log, " WARNING portico " + site.conf_path() + ":")) << log;
  EXPECT_TRUE(contains(log, container)) << log;
  EXPECT_TRUE(contains(log, " INFO portico Running on host (configured)")) << log;
  EXPECT_TRUE(contains(log, "AliasReload=2.5s)")) << log;
  EXPECT_TRUE(contains(log, " WARNING portico " + site.path("aliases/a.yaml") +
                                ":4: alias 'hello': timeout 0 means the default of 60 seconds")) << log;
}

TEST(Startup, DaemonModeWritesTheDaemonsPid) {
  Site site;
  site.default_users();
  site.alias_file("a.yaml", kHello);
  site.write_conf();
  const Exit e = run_portico({"--config", site.conf_path(), "--daemon"});
  EXPECT_EQ(e.status, 0);
  pid_t daemon_pid = 0;
  for (int i = 0; i < 200 && !daemon_pid; ++i) {
    const std::string text = slurp(site.path("portico.pid"));
    if (!text.empty()) daemon_pid = std::stoi(text);
    else std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_GT(daemon_pid, 0);
  EXPECT_EQ(slurp(site.path("portico.pid")).find('\n'), std::string::npos);
  EXPECT_TRUE(alive(daemon_pid));
  EXPECT_NE(getsid(daemon_pid), daemon_pid);  // not a session leader: no terminal can come back
  kill(daemon_pid, SIGTERM);
  for (int i = 0; i < 400 && alive(daemon_pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_FALSE(alive(daemon_pid));
  EXPECT_FALSE(std::filesystem::exists(site.path("portico.pid")));
}

// Regression: a stop that landed between the listener's bind and its accept
// loop was lost, and the daemon served on after SIGTERM.
TEST(Startup, SigtermRightAfterTheListenerIsBoundIsNotLost) {
  for (int round = 0; round < 5; ++round) {
    Site site;
    site.default_users();
    site.alias_file("a.yaml", kHello);
    Server server(site);
    // "Listening on" is logged after the bind and before the accept loop starts.
    for (int i = 0; i < 2000 && !contains(site.app_log(), "Listening on http://"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(std::chrono::seconds(10)), 0) << "round " << round;
  }
}

// The live children of `parent` named `comm`.
std::set<pid_t> children_named(pid_t parent, const std::string& comm) {
  std::set<pid_t> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = slurp(e.path().string() + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || stat.substr(0, paren + 1).find("(" + comm + ")") == std::string::npos) continue;
    if (stat[paren + 2] != 'Z' && std::stoi(stat.substr(paren + 4)) == parent) found.insert(std::stoi(name));
  }
  return found;
}

// A child of `parent` named `comm` (live), or 0.
pid_t child_named(pid_t parent, const std::string& comm) {
  const std::set<pid_t> found = children_named(parent, comm);
  return found.empty() ? 0 : *found.begin();
}

// The spawner is part of the program: without it start-up is refused while the
// terminal still shows why; a quiet one keeps a run leader ready for each run
// that may come at once, so a burst forks none; a killed one is replaced, with
// the same reserve; none outlives the gateway.
TEST(Startup, ProcessSpawnerIsRequiredReplacedAndEndsWithTheGateway) {
  Site site;
  site.default_users();
  site.alias_file("a.yaml", std::string(kHello) + "nap: {type: process, command: sleep 0.3}\n");
  site.set("MaxConcurrentRuns", "5");  // not the spawner's own default
  site.write_conf();
  const Exit e = run_portico({"--config", site.conf_path()}, 20000, {{"PORTICO_SPAWNER", site.path("missing")}});
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.err, "ERROR: Cannot start the process spawner " + site.path("missing") + ": No such file or directory\n");

  Server server(site);
  ASSERT_TRUE(server.wait_ready());
  const pid_t first = child_named(server.pid(), "portico-spawner");
  ASSERT_NE(first, 0);
  auto leaders = [](pid_t spawner) { return children_named(spawner, "portico-run"); };
  ASSERT_TRUE(eventually([&] { return leaders(first).size() == 5; }, std::chrono::seconds(10)));
  const std::set<pid_t> ready = leaders(first);
  std::vector<std::thread> burst;
  for (int i = 0; i < 5; ++i)
    burst.emplace_back([&] {
      const auto r = server.client()->Post("/v1/run/nap", {{"Authorization", basic_auth("alice", "wonderland")}}, "",
                                           "application/json");
      EXPECT_TRUE(r && r->status == 200);
    });
  for (auto& t : burst) t.join();
  EXPECT_EQ(leaders(first), ready);
  kill(first, SIGKILL);
  const auto r = server.client()->Post("/v1/run/hello", {{"Authorization", basic_auth("alice", "wonderland")}}, "",
                                       "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << site.app_log();
  EXPECT_TRUE(contains(r->body, "\"stdout\":\"hello\\n\"")) << r->body;
  EXPECT_TRUE(contains(site.app_log(), "Process spawner (pid " + std::to_string(first) +
                                           ") was killed by signal 9; starting a new one"));
  const pid_t second = child_named(server.pid(), "portico-spawner");
  EXPECT_NE(second, 0);
  EXPECT_NE(second, first);
  EXPECT_TRUE(eventually([&] { return leaders(second).size() == 5; }, std::chrono::seconds(10)));
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(std::chrono::seconds(10)), 0);
  EXPECT_TRUE(eventually([&] { return !alive(second); }, std::chrono::seconds(2)));
}

}  // namespace
}  // namespace portico::test
