#include <gtest/gtest.h>
#include <signal.h>

#include <httplib.h>

#include <cstdlib>
#include <filesystem>

#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

const std::string kRegistryImage = registry() + "/portico-test/busybox:latest";
const std::string kMissingImage = registry() + "/portico-test/missing:latest";

class Pulls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!docker_socket_present()) PORTICO_NO_DOCKER("no socket at DOCKER_HOST");
    site.default_users();
    site.alias_file("10-hello.yaml", "hello:\n  type: process\n  command: echo hello\n");
  }
  Exit start(std::vector<std::string> extra = {}, const std::map<std::string, std::string>& env = {}) {
    site.write_conf();
    std::vector<std::string> args{"--config", site.conf_path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_portico(args, 20000, env);
  }
  Site site;
};

TEST_F(Pulls, PrefetchAtStartupIsLoggedAndAFailedOneStopsStartUp) {
  site.alias_file("20-c.yaml", "c:\n  type: container\n  image: " + kRegistryImage +
                                   "\n  prefetchImage: on-start\n  command: echo hi\n"
                                   "d:\n  type: container\n  image: " + kRegistryImage + "\n  refreshImage: on-start\n");
  {
    Server server(site);
    ASSERT_TRUE(server.wait_ready()) << server.err();
    EXPECT_TRUE(contains(site.app_log(), "Pulled image '" + kRegistryImage + "' at startup (prefetch)\n"));
  }
  site.alias_file("30-bad.yaml", "bad:\n  type: container\n  image: " + kMissingImage + "\n  prefetchImage: on-start\n");
  const Exit e = start();
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "ERROR: Failed to prefetch image '" + kMissingImage + "' at startup: ")) << e.err;
}

TEST_F(Pulls, RefreshOnStartSkipsImagesThatAreNotPresent) {
  site.alias_file("20-c.yaml", "c:\n  type: container\n  image: portico-test/never-pulled:latest\n  refreshImage: on-start\n");
  Server server(site);
  ASSERT_TRUE(server.wait_ready()) << server.err();
  EXPECT_FALSE(contains(site.app_log(), "Pulled image"));
}

TEST_F(Pulls, UnreachableEngine) {
  site.alias_file("20-c.yaml", "c:\n  type: container\n  image: x\n  prefetchImage: on-start\n");
  const std::map<std::string, std::string> env{{"DOCKER_HOST", "unix://" + site.path("closed.sock")}};
  Exit e = start({}, env);
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "ERROR: Cannot reach Docker to refresh/prefetch images at startup: ")) << e.err;
  e = start({"--container", "1"}, env);
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "ERROR: Portico is running in a container and at least one alias has type 'container', "
                              "but the Docker socket is not reachable. Mount the Docker socket (e.g. -v "
                              "/var/run/docker.sock:/var/run/docker.sock).\n"))
      << e.err;
}

TEST_F(Pulls, ReloadPrefetchBlocksOnlyForChangedImages) {
  site.set("AliasReload", "0");
  Server server(site);
  ASSERT_TRUE(server.wait_ready()) << server.err();
  auto client = server.client();
  auto status_of = [&](const std::string& alias) {
    auto r = client->Get(("/v1/aliases/" + alias).c_str(), httplib::Headers{{"Authorization", basic_auth("alice", "wonderland")}});
    return r ? r->status : -1;
  };
  site.alias_file("20-new.yaml", "fresh:\n  type: container\n  image: " + kRegistryImage +
                                     "\n  prefetchImage: on-config-change\n");
  server.signal(SIGHUP);
  EXPECT_TRUE(eventually([&] { return status_of("fresh") == 200; }, std::chrono::seconds(10)));
  EXPECT_TRUE(contains(site.app_log(), "Prefetched image '" + kRegistryImage + "' for alias(es) fresh after configuration change"));
  site.alias_file("30-bad.yaml", "broken:\n  type: container\n  image: " + kMissingImage +
                                     "\n  prefetchImage: on-config-change\n");
  server.signal(SIGHUP);
  EXPECT_TRUE(eventually([&] { return contains(site.app_log(), "Alias reload: Failed to prefetch image '" + kMissingImage); },
                         std::chrono::seconds(10)));
  EXPECT_EQ(status_of("broken"), 404);  // the reload was refused
  EXPECT_EQ(status_of("fresh"), 200);

  // Same image, another key changed: the failed pull is logged but does not block.
  std::filesystem::remove(site.path("aliases/30-bad.yaml"));
  site.alias_file("40-same.yaml", "same:\n  type: container\n  image: " + kMissingImage + "\n");
  server.signal(SIGHUP);
  EXPECT_TRUE(eventually([&] { return status_of("same") == 200; }, std::chrono::seconds(10)));
  site.alias_file("40-same.yaml", "same:\n  type: container\n  image: " + kMissingImage +
                                      "\n  prefetchImage: on-config-change\n  description: changed\n");
  server.signal(SIGHUP);
  EXPECT_TRUE(eventually([&] {
    auto r = client->Get("/v1/aliases/same", httplib::Headers{{"Authorization", basic_auth("alice", "wonderland")}});
    return r && contains(r->body, "changed");
  }, std::chrono::seconds(10)));
  EXPECT_TRUE(contains(site.app_log(), "ERROR portico Failed to prefetch image '" + kMissingImage + "' for alias(es) same: "));
}

TEST_F(Pulls, ContainerAliasesOverHttp) {
  site.alias_file("20-c.yaml", "greet:\n  type: container\n  image: portico-test/busybox:latest\n"
                               "  command: echo hello {{ who | shell }}\n"
                               "  parameters:\n    who: {type: string}\n"
                               "nap:\n  type: container\n  image: portico-test/busybox:latest\n"
                               "  command: sleep 30\n  timeout: 1\n");
  Server server(site);
  ASSERT_TRUE(server.wait_ready()) << server.err();
  auto client = server.client();
  client->set_read_timeout(30, 0);
  const httplib::Headers auth{{"Authorization", basic_auth("alice", "wonderland")}};
  auto r = client->Post("/v1/run/greet", auth, R"({"who": "a b; id"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  const Value ok = Value::parse(r->body);
  EXPECT_EQ(ok["stdout"], "hello a b; id\n");
  EXPECT_EQ(ok["container_id"].get<std::string>().size(), 12u);
  r = client->Post("/v1/run/nap", auth, "", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 504) << r->body;
  EXPECT_EQ(Value::parse(r->body)["timed_out"], true) << r->body;
}

}  // namespace
}  // namespace portico::test
