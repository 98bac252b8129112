#include <gtest/gtest.h>
#include <signal.h>

#include <httplib.h>

#include <filesystem>
#include <future>
#include <thread>

#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

class Reload : public ::testing::Test {
 protected:
  void start(const std::string& alias_reload = "3600", const std::string& auth_reload = "3600") {
    site.default_users();
    site.alias_file("10-hello.yaml", "hello:\n  type: process\n  command: echo hello\n");
    site.set("AliasReload", alias_reload);
    site.set("AuthReload", auth_reload);
    server = std::make_unique<Server>(site);
    ASSERT_TRUE(server->wait_ready()) << server->err();
    client = server->client();
  }
  int status_of(const std::string& alias) {
    auto r = client->Post(("/v1/run/" + alias).c_str(), httplib::Headers{{"Authorization", basic_auth("alice", "wonderland")}},
                          "", "application/json");
    return r ? r->status : -1;
  }
  Site site;
  std::unique_ptr<Server> server;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(Reload, AliasFilesAreFollowedThroughFileEvents) {
  start();
  EXPECT_EQ(status_of("extra"), 404);
  site.alias_file("20-extra.yaml", "extra:\n  type: process\n  command: echo extra\n");
  EXPECT_TRUE(eventually([&] { return status_of("extra") == 200; }, 5s)) << site.app_log();
  EXPECT_TRUE(contains(site.app_log(), "Alias file event: " + site.path("aliases/20-extra.yaml")));
  fs::rename(site.path("aliases/20-extra.yaml"), site.path("aliases/20-extra.yaml.off"));
  EXPECT_TRUE(eventually([&] { return status_of("extra") == 404; }, 5s));
  site.alias_file("20-extra.yaml", "extra:\n  type: process\n  command: echo again\n");
  EXPECT_TRUE(eventually([&] { return status_of("extra") == 200; }, 5s));
  fs::remove(site.path("aliases/20-extra.yaml"));
  EXPECT_TRUE(eventually([&] { return status_of("extra") == 404; }, 5s));
  EXPECT_EQ(status_of("hello"), 200);
}

TEST_F(Reload, PollingAloneWhenFileEventsAreUnavailable) {
  setenv("PORTICO_DISABLE_INOTIFY", "1", 1);
  start("1", "0");
  unsetenv("PORTICO_DISABLE_INOTIFY");
  EXPECT_TRUE(contains(site.app_log(), "watchdog not available; using periodic polling only"));
  // An editor-style save: write a temporary file, then rename it into place.
  site.alias_file("20-extra.yaml.tmp", "extra:\n  type: process\n  command: echo extra\n");
  fs::rename(site.path("aliases/20-extra.yaml.tmp"), site.path("aliases/20-extra.yaml"));
  EXPECT_TRUE(eventually([&] { return status_of("extra") == 200; }, 5s));
  EXPECT_TRUE(contains(site.app_log(), "Alias directory change detected (periodic check), reloading"));
  EXPECT_TRUE(contains(site.app_log(), "Config watcher started (AuthReload=0s, AliasReload=1s)"));
}

TEST_F(Reload, SighupWithABrokenAliasFileKeepsServing) {
  start("0", "0");
  EXPECT_TRUE(contains(site.app_log(), "Config auto-reload disabled (AuthReload=0, AliasReload=0)"));
  site.alias_file("20-bad.yaml", "bad:\n  type: process\n  timeout: soon\n");
  server->signal(SIGHUP);
  EXPECT_TRUE(eventually([&] { return contains(site.app_log(), "Alias reload: "); }, 5s));
  const std::string log = site.app_log();
  EXPECT_TRUE(contains(log, "SIGHUP received — reopening log files and reloading configuration"));
  EXPECT_TRUE(contains(log, "Auth configuration reloaded successfully"));
  EXPECT_EQ(status_of("hello"), 200);
}

TEST_F(Reload, SighupRecreatesALogFileMovedAway) {
  start("0", "0");
  fs::rename(site.path("logs/app.log"), site.path("logs/app.log.1"));
  server->signal(SIGHUP);
  EXPECT_TRUE(eventually([&] { return contains(site.app_log(), "Alias configuration reloaded successfully"); }, 5s));
  EXPECT_TRUE(contains(slurp(site.path("logs/app.log.1")), "SIGHUP received"));
}

TEST_F(Reload, SigtermLetsARunningRequestFinish) {
  site.alias_file("20-slow.yaml", "slow:\n  type: process\n  command: sleep 1; echo done\n");
  start("0", "0");
  auto pending = std::async(std::launch::async, [&] {
    auto c = server->client();
    auto r = c->Post("/v1/run/slow", httplib::Headers{{"Authorization", basic_auth("alice", "wonderland")}}, "",
                     "application/json");
    return r ? r->status * 1000 + (contains(r->body, "done") ? 1 : 0) : -1;
  });
  std::this_thread::sleep_for(300ms);
  server->signal(SIGTERM);
  EXPECT_EQ(pending.get(), 200001);
  EXPECT_EQ(server->wait_exit(10s), 0);
  const std::string log = site.app_log();
  EXPECT_TRUE(contains(log, "SIGTERM received — initiating graceful shutdown\n"));
  EXPECT_EQ(log.substr(log.rfind(" INFO portico ")), " INFO portico Portico shutdown complete\n");
  EXPECT_FALSE(fs::exists(site.path("portico.pid")));
}

TEST_F(Reload, SigintIsNamedInTheShutdownLine) {
  start("0", "0");
  server->signal(SIGINT);
  EXPECT_EQ(server->wait_exit(10s), 0);
  EXPECT_TRUE(contains(site.app_log(), "SIGINT (Ctrl-C) received — initiating graceful shutdown"));
}

}  // namespace
}  // namespace portico::test
