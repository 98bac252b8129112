// The clean-up of leftover containers against the real Engine: what it may
// remove, and removals retried until an Engine that was away comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "common/text.h"
#include "docker/docker.h"
#include "executor/fixture.h"
#include "executor/reaper.h"

namespace portico {
namespace {

class Reaper : public test::ExecutorFixture {
 protected:
  void SetUp() override {
    try {
      client = docker::Client::from_env();
    } catch (const docker::DockerError& e) {
      PORTICO_NO_DOCKER(e.what());
    }
    ExecutorFixture::SetUp();
  }
  void TearDown() override {
    if (client)
      for (const auto& id : ids(Value{{"label", Value::array({"portico.reaper-test=" + test_label})}}))
        client->remove(id, true);
    ExecutorFixture::TearDown();
  }
  // A container of `instance` for run `cid`; waited for unless it should keep running.
  std::string container(const std::string& instance, const std::string& cid, bool keep_running = false) {
    docker::RunOptions options{"portico-test/busybox:latest", keep_running ? "sleep 60" : "true", {}, {},
                         container_labels(cid, instance)};
    options.labels["portico.reaper-test"] = test_label;
    const std::string id = client->run(options);
    if (!keep_running) client->wait(id);
    return id;
  }
  std::set<std::string> ids(const Value& filters) {
    std::set<std::string> out;
    for (const auto& c : client->list_containers(filters)) out.insert(c["Id"].get<std::string>());
    return out;
  }
  std::set<std::string> remaining() { return ids(Value{{"label", Value::array({"portico.reaper-test=" + test_label})}}); }

  std::shared_ptr<docker::Client> client;
  const std::string test_label = uuid4_hex();
  const std::string ours = "reaper-test:" + uuid4_hex();
};

TEST_F(Reaper, SweepRemovesOnlyStoppedContainersOfThisInstanceWithNoRunInProgress) {
  ContainerReaper reaper([this] { return client; }, ours);
  const std::string leftover = container(ours, "done");
  const std::string busy = container(ours, "busy");
  const std::string running = container(ours, "other", true);
  const std::string foreign = container("another-gateway:" + uuid4_hex(), "done");
  {
    ContainerReaper::Run in_progress(reaper, "busy");
    EXPECT_EQ(reaper.sweep(), 1u);
    EXPECT_EQ(remaining(), (std::set<std::string>{busy, running, foreign}));
  }
  EXPECT_EQ(reaper.sweep(), 1u);  // the run is over: its container is a leftover now
  EXPECT_EQ(remaining(), (std::set<std::string>{running, foreign}));
  EXPECT_NE(app_log().find("Removed leftover container " + leftover.substr(0, 12) + " of run done"),
            std::string::npos);
  // Without a container alias the Engine is not even asked.
  bool asked = false;
  ContainerReaper idle([&] { asked = true; return client; }, ours, [] { return false; });
  EXPECT_EQ(idle.sweep(), 0u);
  EXPECT_FALSE(asked);
}

TEST_F(Reaper, AFailedRemovalIsRetriedUntilTheEngineIsBackAndShutdownDoesNotWaitForIt) {
  const std::string running = container(ours, "gone", true);
  std::atomic<int> refusals{3};
  ReaperTiming quick;
  quick.first_retry = std::chrono::milliseconds(20);
  quick.sweep_interval = std::chrono::hours(1);
  ContainerReaper reaper(
      [&]() -> std::shared_ptr<docker::Client> {
        if (refusals-- > 0) throw docker::DockerError(0, "Connection to the Docker Engine failed: refused");
        return client;
      },
      ours, [] { return false; }, quick);
  reaper.start();
  reaper.remove_later(running, "the Engine went away");
  ASSERT_TRUE(test::eventually([&] { return reaper.pending() == 0; }, std::chrono::seconds(15)));
  EXPECT_LT(refusals.load(), 0);
  EXPECT_TRUE(remaining().empty());  // force-removed although it was still running
  reaper.stop();

  // An Engine that never comes back: stop() gives up and says what was left.
  ContainerReaper stuck([]() -> std::shared_ptr<docker::Client> { throw docker::DockerError(0, "refused"); }, ours,
                        [] { return false; }, quick);
  stuck.start();
  stuck.remove_later("0123456789abcdef", "refused");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto t0 = std::chrono::steady_clock::now();
  stuck.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_NE(app_log().find("Container 0123456789ab was not removed before shutdown (refused)"), std::string::npos)
      << app_log();
}

}  // namespace
}  // namespace portico
