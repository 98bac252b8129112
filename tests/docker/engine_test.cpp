// The client against the real Engine and loopback registry of scripts/test-docker.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "common/text.h"
#include "docker/docker.h"
#include "support/support.h"

namespace portico::docker {
namespace {

const std::string kImage = "portico-test/busybox:latest";
const std::string kRegistry = test::registry() + "/portico-test/client";  // tags latest, v2, run

bool has(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      client = Client::from_env();
    } catch (const DockerError& e) {
      PORTICO_NO_DOCKER(e.what());
    }
    raw = make_curl_transport(endpoint_from_env());
    label = "portico.docker-test=" + uuid4_hex();
  }
  void TearDown() override {
    if (!client) return;
    for (const auto& id : labelled()) client->remove(id, true);
  }

  Response engine(const std::string& method, const std::string& path) {
    return raw->request({method, "/v" + client->api_version() + path, "", "", false});
  }
  // Ids of every container, running or not, that carries this test's label.
  std::vector<std::string> labelled() {
    const Response r = engine("GET", "/containers/json?all=1&filters=%7B%22label%22%3A%5B%22" +
                                         label.substr(0, label.find('=')) + "%3D" + label.substr(label.find('=') + 1) +
                                         "%22%5D%7D");
    EXPECT_EQ(r.status, 200) << r.body;
    std::vector<std::string> ids;
    for (const auto& c : Value::parse(r.body)) ids.push_back(c["Id"]);
    return ids;
  }
  RunOptions run_options(std::optional<std::string> command, const std::string& image = kImage) {
    RunOptions s{image, std::move(command), {}, {}};
    s.labels[label.substr(0, label.find('='))] = label.substr(label.find('=') + 1);
    return s;
  }
  void drop_image(const std::string& ref) {
    const long status = engine("DELETE", "/images/" + ref).status;
    ASSERT_TRUE(status == 200 || status == 404) << ref << ": " << status;
  }

  std::shared_ptr<Client> client;
  std::shared_ptr<Transport> raw;
  std::string label;
};

TEST_F(Engine, PingAndInspect) {
  EXPECT_EQ(client->api_version(), "1.41");
  client->ping();
  const Value img = client->inspect_image(kImage);
  EXPECT_EQ(img["Id"].get<std::string>().rfind("sha256:", 0), 0u);
  try {
    client->inspect_image("portico-test/absent:none");
    FAIL();
  } catch (const ImageNotFound& e) {
    EXPECT_EQ(e.status, 404);
    EXPECT_TRUE(has(e.explanation, "No such image: portico-test/absent:none")) << e.explanation;
  }
  try {
    client->inspect_container("portico-no-such-container");
    FAIL();
  } catch (const ImageNotFound&) {
    FAIL() << "a missing container is not a missing image";
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 404);
  }
}

TEST_F(Engine, PullFromTheLoopbackRegistryByTagWithoutTagAndByDigest) {
  drop_image(kRegistry + ":latest");
  drop_image(kRegistry + ":v2");
  client->pull(kRegistry);  // no tag: latest
  EXPECT_NO_THROW(client->inspect_image(kRegistry + ":latest"));
  EXPECT_THROW(client->inspect_image(kRegistry + ":v2"), ImageNotFound);
  client->pull(kRegistry + ":v2");
  const Value pulled = client->inspect_image(kRegistry + ":v2");

  std::string digest;
  for (const auto& d : pulled["RepoDigests"])
    if (d.get<std::string>().rfind(kRegistry + "@", 0) == 0) digest = d;
  ASSERT_FALSE(digest.empty()) << pulled["RepoDigests"].dump();
  drop_image(kRegistry + ":latest");
  drop_image(kRegistry + ":v2");
  client->pull(digest);
  EXPECT_EQ(client->inspect_image(digest)["Id"], pulled["Id"]);
}

TEST_F(Engine, PullsThatCannotWork) {
  // A repository the registry does not hold, and a tag it does not hold of one it does.
  for (const std::string& ref : {test::registry() + "/portico-test/never-pushed-" + uuid4_hex(), kRegistry + ":no-such-tag"}) {
    try {
      client->pull(ref);
      FAIL() << ref;
    } catch (const ImageNotFound& e) {
      EXPECT_EQ(e.status, 404);
      EXPECT_EQ(registry_error_code(e.explanation), "manifest unknown") << e.what();
    }
  }
  try {
    client->pull("127.0.0.1:1/portico-test/busybox:latest");  // nothing listens there
    FAIL();
  } catch (const ImageNotFound& e) {
    FAIL() << "an unreachable registry is not a missing image: " << e.what();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 500);
    EXPECT_TRUE(has(e.what(), "refused")) << e.what();
  }
}

TEST_F(Engine, RunWithEnvAndAQuotedCommandThenWaitLogsAndRemove) {
  RunOptions s = run_options("sh -c 'echo \"a  b\" $X; echo oops >&2; exit 3'");
  s.env = {{"X", "x  y"}};
  const std::string id = client->run(s);
  EXPECT_EQ(client->wait(id), 3);
  // The quoted words reach the container's shell intact; $X is expanded, and split, only there.
  EXPECT_EQ(client->logs(id, true, false), "a  b x y\n");
  EXPECT_EQ(client->logs(id, false, true), "oops\n");
  EXPECT_EQ(client->inspect_container(id)["Image"], client->inspect_image(kImage)["Id"]);
  client->remove(id, true);
  EXPECT_THROW(client->inspect_container(id), DockerError);
  EXPECT_NO_THROW(client->remove(id, true));
}

TEST_F(Engine, LongLinesComeBackWholeFromSplitFrames) {
  const std::string id = client->run(run_options("sh -c 'head -c 200000 /dev/zero | tr \"\\0\" x; echo; echo end'"));
  EXPECT_EQ(client->wait(id), 0);
  EXPECT_EQ(client->logs(id, true, false), std::string(200000, 'x') + "\nend\n");
  EXPECT_EQ(client->logs(id, false, true), "");
}

TEST_F(Engine, AKillFromAnotherThreadEndsAWait) {
  const std::string id = client->run(run_options("sleep 60"));
  auto waited = std::async(std::launch::async, [&] { return client->wait(id); });
  EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  const auto start = std::chrono::steady_clock::now();
  client->kill(id);
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(waited.get(), 137);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_THROW(client->kill(id), DockerError);  // no longer running
  client->remove(id, true);
  EXPECT_TRUE(labelled().empty());
}

TEST_F(Engine, FailedCreatesAndStartsLeaveNoContainer) {
  RunOptions bad_mode = run_options("true");
  bad_mode.binds = {{"/nonexistent/portico-" + uuid4_hex(), "/data", "sideways"}};
  EXPECT_THROW(client->run(bad_mode), DockerError);
  try {
    client->run(run_options("/no/such/program"));
    FAIL() << "start succeeded";
  } catch (const ImageNotFound& e) {
    FAIL() << e.what();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 400);
    EXPECT_TRUE(has(e.explanation, "/no/such/program")) << e.what();
  }
  EXPECT_TRUE(labelled().empty());
}

TEST_F(Engine, RunPullsAMissingImageAndFailsWhenNoRegistryHasIt) {
  drop_image(kRegistry + ":run");
  const std::string id = client->run(run_options("echo pulled", kRegistry + ":run"));
  EXPECT_EQ(client->wait(id), 0);
  EXPECT_EQ(client->logs(id, true, true), "pulled\n");

  try {
    client->run(run_options("true", test::registry() + "/portico-test/absent:latest"));
    FAIL();
  } catch (const ImageNotFound& e) {
    EXPECT_TRUE(has(e.what(), "/images/create?tag=latest&fromImage=127.0.0.1%3A" + test::registry().substr(10) + "%2Fportico-test%2Fabsent")) << e.what();
  }
}

TEST_F(Engine, OneClientServesManyThreads) {
  std::vector<std::future<std::string>> runs;
  for (int i = 0; i < 4; ++i)
    runs.push_back(std::async(std::launch::async, [&, i] {
      const std::string id = client->run(run_options("echo " + std::to_string(i)));
      client->wait(id);
      std::string out = client->logs(id, true, false);
      client->remove(id, true);
      return out;
    }));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(runs[i].get(), std::to_string(i) + "\n");
}

}  // namespace
}  // namespace portico::docker
