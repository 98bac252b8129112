#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/text.h"
#include "executor/fixture.h"
#include "support/support.h"

namespace portico {
namespace {

namespace fs = std::filesystem;

class ContainerRuns : public test::ExecutorFixture {
 protected:
  void SetUp() override {
    if (!test::docker_socket_present()) PORTICO_NO_DOCKER("no socket at DOCKER_HOST");
    ExecutorFixture::SetUp();
  }
  // Containers of the test image whose command mentions `marker` (other tests run at the same time).
  static size_t containers(const std::string& marker) {
    const std::string cmd = "docker ps -a --no-trunc --filter ancestor=portico-test/busybox:latest --format '{{.ID}} {{.Command}}' | grep -c -- '" + marker + "'";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[32] = {};
    fgets(buf, sizeof buf, p);
    pclose(p);
    return std::stoul(buf);
  }
};

// A registry the real Engine pulls from, which refuses every repository as a
// public registry refuses an anonymous pull of a repository it does not have
// (a token, then 401 insufficient_scope), and takes `delay` over its first
// answer about a repository named "slow". The loopback registry of the test
// rig can do neither.
class RefusingRegistry {
 public:
  explicit RefusingRegistry(std::chrono::milliseconds delay = {}) : delay_(delay) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    const std::string realm = "Bearer realm=\"http://" + host() + "/token\",service=\"refusing\"";
    server_.Get(".*", [this, realm](const httplib::Request& req, httplib::Response& res) {
      res.set_header("Docker-Distribution-API-Version", "registry/2.0");
      const std::string unauthorized = R"({"errors":[{"code":"UNAUTHORIZED","message":"authentication required"}]})";
      if (req.path == "/token") {
        res.set_content(R"({"token":"t"})", "application/json");
      } else if (req.path == "/v2/" && req.has_header("Authorization")) {
        res.set_content("{}", "application/json");
      } else if (req.path == "/v2/") {
        res.status = 401;
        res.set_header("WWW-Authenticate", realm);
        res.set_content(unauthorized, "application/json");
      } else {
        if (req.path.find("/slow/") != std::string::npos && !slept_.exchange(true)) std::this_thread::sleep_for(delay_);
        res.status = 401;
        res.set_header("WWW-Authenticate", realm + ",error=\"insufficient_scope\"");
        res.set_content(unauthorized, "application/json");
      }
    });
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~RefusingRegistry() {
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server_.stop();
    thread_.join();
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  std::chrono::milliseconds delay_;
  std::atomic<bool> slept_{false};
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

int docker_cli(const std::string& args) { return std::system(("docker " + args + " >/dev/null 2>&1").c_str()); }

std::vector<std::string> keys_of(const Value& v) {
  std::vector<std::string> out;
  for (auto it = v.begin(); it != v.end(); ++it) out.push_back(it.key());
  return out;
}

TEST_F(ContainerRuns, CompletedRunSeparatesStreamsAndPassesOnlyItsEnvironment) {
  const Value r = run(R"({"type":"container","image":"portico-test/busybox:latest",
    "command":"sh -c 'echo $GREETING $HOME; echo bad >&2; exit 2'",
    "environment":{"GREETING":"{{ who }}"},"parameters":{"who":{"type":"string"}}})",
                      Value{{"who", "hi there"}});
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "returncode", "container_id", "image_id", "stdout",
                                                  "stderr", "file_outputs"}));
  EXPECT_EQ(r["success"], true) << r.dump();
  EXPECT_EQ(r["returncode"], 2);
  EXPECT_EQ(r["stdout"], "hi there /\n");
  EXPECT_EQ(r["stderr"], "bad\n");
  EXPECT_EQ(r["container_id"].get<std::string>().size(), 12u);
  EXPECT_EQ(r["image_id"].get<std::string>().size(), 12u);
  EXPECT_EQ(containers(r["container_id"].get<std::string>()), 0u);
}

TEST_F(ContainerRuns, NothingOfTheServiceEnvironmentReachesTheContainer) {
  setenv("PORTICO_TEST_SECRET", "s3cret", 1);
  const Value r = run(R"({"type":"container","image":"portico-test/busybox:latest","command":"env",
    "environment":{"ONLY":"this"}})");
  unsetenv("PORTICO_TEST_SECRET");
  ASSERT_EQ(r["success"], true) << r.dump();
  const std::string out = r["stdout"];
  EXPECT_NE(out.find("ONLY=this\n"), std::string::npos) << out;
  for (const char* leaked : {"PORTICO_TEST_SECRET", "DOCKER_HOST", "PORTICO_TEST_REGISTRY", "s3cret"})
    EXPECT_EQ(out.find(leaked), std::string::npos) << leaked << " in " << out;
}

TEST_F(ContainerRuns, VolumesOutputsAndPreservation) {
  CorrelationScope scope("22222222-2222-4333-8444-555555555555");
  const Value r = run(R"({"type":"container","image":"portico-test/busybox:latest",
    "command":"sh -c 'cat /in/config.txt > /out/copy.txt; echo made > /out/made.txt'",
    "volumes":[{"source":"in/config.txt","location":"/in/config.txt","content":"value={{ v }}","mode":"ro"},
               {"source":"out/","location":"/out","preserve":"yes"}],
    "output":{"single_value":{"source":"out/copy.txt"}},
    "parameters":{"v":{"type":"integer"}}})",
                      Value{{"v", 7}});
  ASSERT_EQ(r["success"], true) << r.dump();
  EXPECT_EQ(r["file_outputs"]["out/copy.txt"], "value=7");
  EXPECT_EQ(test::slurp(dir / "logs/22222222-2222-4333-8444-555555555555/made.txt"), "made\n");
  EXPECT_EQ(test::slurp(dir / "logs/22222222-2222-4333-8444-555555555555/copy.txt"), "value=7");
  EXPECT_TRUE(fs::is_empty(dir / "shared"));
}

// A stream entry that preservation rejects used to cost the volumes and leave the run directory behind.
TEST_F(ContainerRuns, PreservationThatThrowsStillKeepsVolumesAndRemovesTheRunDirectory) {
  CorrelationScope scope("66666666-2222-4333-8444-555555555555");
  // The loader refuses such an entry now; the guard must hold for any failure all the same.
  EXPECT_THROW(cfg.set_alias("bad", Value::parse(R"({"type":"container","preserveStreams":["stdout"]})")),
               std::invalid_argument);
  AliasDefinition alias = *config_internal::parse_alias(Value::parse(R"({"type":"container","image":"portico-test/busybox:latest",
    "command":"sh -c 'echo kept > /out/k.txt'","volumes":[{"source":"out/","location":"/out","preserve":"yes"}]})"));
  alias.stream_entries = Value::parse(R"(["stdout"])");
  EXPECT_THROW(ex._execute_container(alias, Value::object()), std::runtime_error);
  EXPECT_EQ(test::slurp(dir / "logs/66666666-2222-4333-8444-555555555555/k.txt"), "kept\n");
  EXPECT_TRUE(fs::is_empty(dir / "shared"));
}

TEST_F(ContainerRuns, ObserverSeesOutputAndCancelKillsAndRemovesTheContainer) {
  cfg.set_alias("a", Value::parse(R"({"type":"container","image":"portico-test/busybox:latest",
    "command":"sh -c 'echo one; sleep 31.9'","timeout":60})"));
  std::atomic<bool> cancel{false};
  std::string seen;
  RunControl control;
  control.cancel = &cancel;
  control.on_output = [&](std::string_view stream, std::string_view bytes) {
    if (stream == "stdout") seen.append(bytes);
    cancel = true;
  };
  const auto t0 = std::chrono::steady_clock::now();
  const RunResult r = ex.run("a", Value::object(), &control);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  EXPECT_EQ(r.outcome, Outcome::cancelled);
  EXPECT_EQ(keys_of(r.to_value()), (std::vector<std::string>{"success", "error", "container_id", "image_id"}));
  EXPECT_EQ(seen, "one\n");
  EXPECT_EQ(containers("31.9"), 0u) << app_log();
}

TEST_F(ContainerRuns, TimeOutKillsAndRemovesTheContainer) {
  const auto t0 = std::chrono::steady_clock::now();
  const Value r = run(R"({"type":"container","image":"portico-test/busybox:latest","command":"sleep 30","timeout":2,
    "preserveStreams":true})");
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(elapsed, std::chrono::seconds(2));
  EXPECT_LT(elapsed, std::chrono::seconds(8));
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "timed_out", "returncode", "container_id", "image_id",
                                                  "error"}));
  EXPECT_EQ(r["error"], "Container timed out after 2 seconds");
  EXPECT_EQ(containers(r["container_id"].get<std::string>()), 0u);
}

TEST_F(ContainerRuns, OutputPastTheLimitStopsTheContainerAtOnce) {
  cfg.set("MaxOutputBytes", 65536);
  Value r = run(R"({"type":"container","image":"portico-test/busybox:latest","command":"sh -c 'yes ab | head -c 65536'"})");
  ASSERT_EQ(r["success"], true) << r.dump();
  std::string expected;
  while (expected.size() < 65536) expected += "ab\n";
  expected.resize(65536);
  EXPECT_EQ(r["stdout"], expected);

  CorrelationScope scope("55555555-2222-4333-8444-555555555555");
  for (const auto& [command, stream] : {std::pair{"sh -c 'yes portico-flood-c3'", "stdout"},
                                        {"sh -c 'yes portico-flood-c4 >&2'", "stderr"}}) {
    const auto t0 = std::chrono::steady_clock::now();
    r = run(std::string(R"({"type":"container","image":"portico-test/busybox:latest","timeout":60,
      "preserveStreams":true,"command":")") + command + "\"}");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20)) << command;
    EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "error", "container_id", "image_id"}));
    EXPECT_EQ(r["error"], std::string("Output limit exceeded: ") + stream + " passed 65536 bytes") << r.dump();
    EXPECT_EQ(test::slurp(dir / ("logs/55555555-2222-4333-8444-555555555555/" + std::string(stream) + ".log")).size(),
              65536u);
  }
  EXPECT_EQ(containers("portico-flood-c"), 0u);
}

TEST_F(ContainerRuns, FailuresAreResults) {
  // A registry that cannot be reached says nothing about the image's existence.
  Value r = run(R"({"type":"container","image":"127.0.0.1:1/portico-test/busybox:latest"})");
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "error", "container_id", "image_id"}));
  EXPECT_TRUE(r["container_id"].is_null());
  EXPECT_EQ(r["error"].get<std::string>().find("Container image not found"), std::string::npos) << r.dump();
  EXPECT_NE(app_log().find("Container execution error: "), std::string::npos);
  r = run(R"({"type":"container","image":"portico-test/busybox:latest","command":"/no/such/program-7f3a"})");
  EXPECT_EQ(r["success"], false);
  EXPECT_EQ(containers("program-7f3a"), 0u);
}

TEST_F(ContainerRuns, RefreshAlwaysPullsFromTheRegistry) {
  const std::string reg = test::registry();
  const Value r = run(R"({"type":"container","image":")" + reg + R"(/portico-test/busybox:latest",
    "refreshImage":"Always","command":"echo fresh"})");
  EXPECT_EQ(r["stdout"], "fresh\n") << r.dump();
  const Value bad = run(R"({"type":"container","image":")" + reg + R"(/portico-test/gone:latest",
    "refreshImage":"always","command":"true"})");
  EXPECT_NE(app_log().find("Image refresh (pull) failed for '" + reg + "/portico-test/gone:latest': "),
            std::string::npos);
  EXPECT_EQ(bad["success"], false);
}

TEST_F(ContainerRuns, UnreachableEngineIsDockerUnavailable) {
  const std::string saved = std::getenv("DOCKER_HOST");
  setenv("DOCKER_HOST", ("unix://" + dir / "closed.sock").c_str(), 1);
  Executor fresh({cfg, cfg, renderer, logging});
  cfg.set_alias("c", Value::parse(R"({"type":"container","image":"x","volumes":[{"location":"/a"}]})"));
  const Value r = fresh.execute_alias("c", Value::object());
  setenv("DOCKER_HOST", saved.c_str(), 1);
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "error"}));
  EXPECT_EQ(r["error"].get<std::string>().rfind("Docker not available: ", 0), 0u);
  EXPECT_NE(app_log().find("Docker client unavailable: "), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir / "shared"));
}

TEST_F(ContainerRuns, ShellWordsUtf8AndEveryVolumeForm) {
  dir.write("host/data.txt", "from host");
  const std::string alias = R"({"type":"container","image":"portico-test/busybox:latest",
    "command":"sh -c 'echo $HOME; printf \"\\377ok\"; cat /h/data.txt /a /f; touch /h/x 2>/dev/null || echo ro'",
    "volumes":[{"source":")" + dir / "host" + R"(","location":"/h","mode":"rw"},
               {"location":"/a","content":"auto {{ n }}"},
               {"source":"f.txt","location":"/f","content":" file"}],
    "parameters":{"n":{"type":"integer"}}})";
  const Value r = run(alias, Value{{"n", 1}});
  ASSERT_EQ(r["success"], true) << r.dump();
  // $HOME expands inside the container's shell, to the container's own home.
  EXPECT_EQ(r["stdout"], "/\n\xef\xbf\xbdokfrom hostauto 1 filero\n");
}

TEST_F(ContainerRuns, LinksPlantedByTheContainerAreNotFollowed) {
  dir.write("secret.txt", "top secret");
  const std::string alias = R"({"type":"container","image":"portico-test/busybox:latest",
    "command":"sh -c 'ln -s )" + dir / "secret.txt" + R"( /out/leak.txt; echo fine > /out/ok.txt'",
    "volumes":[{"source":"out/","location":"/out"}],
    "output":{"multiple_values":[{"source":"out/leak.txt"},{"source":"out/ok.txt"}]}})";
  const Value r = run(alias);
  ASSERT_EQ(r["success"], true) << r.dump();
  EXPECT_EQ(r["file_outputs"]["out/leak.txt"], "");
  EXPECT_EQ(r["file_outputs"]["out/ok.txt"], "fine\n");
}

TEST_F(ContainerRuns, AnImageNoRegistryHasIsImageNotFound) {
  RefusingRegistry registry;
  const std::string image = registry.host() + "/portico-test/denied:latest";
  const Value r = run(R"({"type":"container","image":")" + image + R"(","command":"true"})");
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "error", "container_id", "image_id"}));
  EXPECT_EQ(r["success"], false);
  const std::string error = r["error"];
  EXPECT_EQ(error.rfind("Container image not found: ", 0), 0u) << error;
  EXPECT_NE(error.find("repository does not exist"), std::string::npos) << error;
  EXPECT_TRUE(r["container_id"].is_null());
  EXPECT_EQ(app_log().find("Container execution error"), std::string::npos);  // not logged by the executor
}

// The loopback registry answers manifest unknown both for a repository it does
// not hold and for a tag it does not hold.
TEST_F(ContainerRuns, AnImageTheNamedRegistryDoesNotHoldIsImageNotFound) {
  for (const std::string& image : std::vector<std::string>{test::registry() + "/portico-test/never-pushed-" + uuid4_hex() + ":1",
                                  test::registry() + "/portico-test/busybox:no-such-tag"}) {
    const Value r = run(R"({"type":"container","image":")" + image + R"(","command":"true"})");
    EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "error", "container_id", "image_id"}));
    const std::string error = r["error"];
    EXPECT_EQ(error.rfind("Container image not found: ", 0), 0u) << error;
    EXPECT_NE(error.find("manifest unknown"), std::string::npos) << error;
    EXPECT_TRUE(r["container_id"].is_null() && r["image_id"].is_null());
  }
  EXPECT_EQ(app_log().find(" ERROR "), std::string::npos) << app_log();  // nothing logged by the executor
}

TEST_F(ContainerRuns, TimeSpentRefreshingIsChargedAgainstTheTimeOut) {
  // The refresh fails after 2 s and the run goes on with the local copy; of the
  // 3 s time-out about 1 s is left, too little for `sleep 2`.
  RefusingRegistry registry(std::chrono::milliseconds(2000));
  const std::string image = registry.host() + "/portico-test/slow:latest";
  ASSERT_EQ(docker_cli("tag portico-test/busybox:latest " + image), 0);
  const auto t0 = std::chrono::steady_clock::now();
  const Value r = run(R"({"type":"container","image":")" + image + R"(","refreshImage":"always",
    "command":"sh -c 'sleep 2; echo slept'","timeout":3})");
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  docker_cli("rmi " + image);
  EXPECT_NE(app_log().find("Image refresh (pull) failed for '" + image + "': "), std::string::npos) << app_log();
  EXPECT_EQ(r["timed_out"], true) << r.dump();
  EXPECT_EQ(r["error"], "Container timed out after 3 seconds");
  EXPECT_GE(elapsed, std::chrono::seconds(3));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  EXPECT_EQ(containers("slept"), 0u);
}

TEST_F(ContainerRuns, WithoutACommandTheImageDefaultRuns) {
  Value r = run(R"({"type":"container","image":"portico-test/busybox-cmd:latest"})");
  EXPECT_EQ(r["success"], true) << r.dump();
  EXPECT_EQ(r["stdout"], "default command\n");
  // An image without a default command cannot start without one: a general failure, nothing left behind.
  r = run(R"({"type":"container","image":"portico-test/busybox:latest","command":""})");
  EXPECT_EQ(r["success"], false);
  EXPECT_NE(r["error"].get<std::string>().find("ommand specified"), std::string::npos) << r.dump();
  EXPECT_NE(app_log().find("Container execution error: "), std::string::npos);
}

TEST_F(ContainerRuns, BindSourcesInSharedDirAreTranslatedToExternalDir) {
  // As if the gateway ran in a container whose SharedDir is the host's dir/external.
  const std::string cid = "33333333-3333-4333-8444-555555555555";
  CorrelationScope scope(cid);
  cfg.set("ExternalDir", dir / "external");
  dir.write("external/" + cid + "/in.txt", "seen by the Engine on the host side");
  dir.write("host.txt", ", and a host path as it is");
  const Value r = run(R"({"type":"container","image":"portico-test/busybox:latest","command":"cat /in /h",
    "volumes":[{"source":"in.txt","location":"/in","content":"written in SharedDir"},
               {"source":")" + dir / "host.txt" + R"(","location":"/h"}]})");
  ASSERT_EQ(r["success"], true) << r.dump();
  EXPECT_EQ(r["stdout"], "seen by the Engine on the host side, and a host path as it is");
  EXPECT_FALSE(fs::exists(dir / ("shared/" + cid)));
}

}  // namespace
}  // namespace portico
