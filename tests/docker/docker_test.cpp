#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "docker/docker.h"
#include "support/support.h"

namespace portico::docker {
namespace {

const char* kImage = "portico-test/busybox:latest";
const char* kRegistryImage = "127.0.0.1:5000/portico-test/busybox:latest";

// The real Engine from scripts/test-docker; under CI its absence is a failure.
std::shared_ptr<Client> engine() {
  try {
    return Client::from_env();
  } catch (const DockerError&) {
    return nullptr;
  }
}
#define REQUIRE_ENGINE(c)                                                                  \
  auto c = engine();                                                                       \
  if (!c) {                                                                                \
    const char* ci = std::getenv("CI");                                                    \
    if (ci && std::string(ci) == "true") FAIL() << "no Docker Engine (run scripts/test-docker)"; \
    GTEST_SKIP() << "no Docker Engine; run scripts/test-docker";                           \
  }

std::string frame(int stream, const std::string& payload) {
  std::string h(8, '\0');
  h[0] = static_cast<char>(stream);
  const uint32_t n = static_cast<uint32_t>(payload.size());
  h[4] = static_cast<char>(n >> 24);
  h[5] = static_cast<char>(n >> 16);
  h[6] = static_cast<char>(n >> 8);
  h[7] = static_cast<char>(n);
  return h + payload;
}

TEST(ShellWords, QuotingWithoutExpansion) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split_shell_words("sh -c 'echo $HOME'"), (V{"sh", "-c", "echo $HOME"}));
  EXPECT_EQ(split_shell_words(R"(a "b c" d\ e "x\"y" 'it''s' "\$v" "\n")"),
            (V{"a", "b c", "d e", "x\"y", "its", "$v", "\\n"}));
  EXPECT_EQ(split_shell_words("  "), V{});
  EXPECT_EQ(split_shell_words("''"), V{""});
  EXPECT_THROW(split_shell_words("'open"), std::runtime_error);
  EXPECT_THROW(split_shell_words("\"open"), std::runtime_error);
}

TEST(References, SplitAtDigestOrLastTagColon) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(split_reference("busybox"), (P{"busybox", "latest"}));
  EXPECT_EQ(split_reference("nginx:1.25"), (P{"nginx", "1.25"}));
  EXPECT_EQ(split_reference("localhost:5000/img"), (P{"localhost:5000/img", "latest"}));
  EXPECT_EQ(split_reference("localhost:5000/img:v2"), (P{"localhost:5000/img", "v2"}));
  EXPECT_EQ(split_reference("r.io/a/b@sha256:abc"), (P{"r.io/a/b", "sha256:abc"}));
}

TEST(Errors, ImageNotFoundOnlyForItsOwnMessages) {
  EXPECT_TRUE(is_image_not_found(404, "No such image: x:latest"));
  EXPECT_TRUE(is_image_not_found(404, "pull access denied for x, repository does not exist or may require login"));
  EXPECT_FALSE(is_image_not_found(404, "manifest unknown"));
  EXPECT_FALSE(is_image_not_found(500, "No such image: x"));
}

TEST(Frames, DemultiplexAcrossArbitraryChunks) {
  const std::string long_line(70000, 'x');
  const std::string stream = frame(1, "out1\n") + frame(2, "err\n") + frame(1, long_line.substr(0, 40000)) +
                             frame(1, long_line.substr(40000) + "\n");
  for (size_t chunk : {1, 3, 7, 8, 9, 4096}) {
    FrameDemux out(1), err(2);
    for (size_t i = 0; i < stream.size(); i += chunk) {
      out.feed(std::string_view(stream).substr(i, chunk));
      err.feed(std::string_view(stream).substr(i, chunk));
    }
    EXPECT_EQ(out.data(), "out1\n" + long_line + "\n") << chunk;
    EXPECT_EQ(err.data(), "err\n") << chunk;
  }
}

// An Engine that answers /version and then fails in the middle of a pull.
class BrokenEngine final : public Transport {
 public:
  Response request(const std::string&, const std::string& path, const std::string&,
                   const std::function<bool(std::string_view)>& on_data, bool) override {
    if (path == "/version") return {200, R"({"ApiVersion":"1.43"})"};
    if (on_data) on_data("{\"status\":\"Pulling\"}\n{\"error\":\"unexpected EOF\"}\n");
    return {200, ""};
  }
};

TEST(Client, NegotiatesAtMostItsOwnVersionAndSeesErrorsInsideAStream) {
  Client c(std::make_shared<BrokenEngine>());
  EXPECT_EQ(c.api_version(), "1.41");
  try {
    c.pull("x");
    FAIL() << "pull succeeded";
  } catch (const ImageNotFound&) {
    FAIL() << "a broken stream is not a missing image";
  } catch (const DockerError& e) {
    EXPECT_NE(std::string(e.what()).find("unexpected EOF"), std::string::npos);
  }
}

TEST(Client, UnreachableOrMalformedHosts) {
  test::TempDir dir;
  const char* before = std::getenv("DOCKER_HOST");
  const std::string saved = before ? before : "";
  setenv("DOCKER_HOST", ("unix://" + dir / "closed.sock").c_str(), 1);
  EXPECT_THROW(Client::from_env(), DockerError);
  setenv("DOCKER_HOST", "tcp://example.invalid", 1);
  EXPECT_THROW(Client::from_env(), DockerError);
  if (saved.empty()) unsetenv("DOCKER_HOST");
  else setenv("DOCKER_HOST", saved.c_str(), 1);
}

class Engine : public ::testing::Test {};

TEST_F(Engine, ImagesInspectAndPull) {
  REQUIRE_ENGINE(c);
  c->ping();
  EXPECT_TRUE(c->inspect_image(kImage).contains("Id"));
  EXPECT_THROW(c->inspect_image("portico-test/absent:none"), ImageNotFound);
  c->pull(kRegistryImage);
  EXPECT_TRUE(c->inspect_image(kRegistryImage).contains("Id"));
  EXPECT_THROW(c->pull("127.0.0.1:5000/portico-test/absent"), DockerError);
}

TEST_F(Engine, RunWaitLogsAndRemove) {
  REQUIRE_ENGINE(c);
  RunSpec run_spec{kImage, std::string("sh -c 'echo \"a  b\" $X; echo oops >&2; exit 3'"), {{"X", "x y"}}, {}};
  const std::string id = c->run(run_spec);
  EXPECT_EQ(c->wait(id), 3);
  EXPECT_EQ(c->logs(id, true, false), "a  b x y\n");
  EXPECT_EQ(c->logs(id, false, true), "oops\n");
  EXPECT_EQ(c->inspect_container(id)["Image"].get<std::string>().rfind("sha256:", 0), 0u);
  c->remove(id, true);
  EXPECT_THROW(c->inspect_container(id), DockerError);
  c->remove(id, true);  // already gone: fine
}

TEST_F(Engine, KillEndsAWait) {
  REQUIRE_ENGINE(c);
  const std::string id = c->run({kImage, std::string("sleep 30"), {}, {}});
  c->kill(id);
  EXPECT_NE(c->wait(id), 0);
  c->remove(id, true);
}

TEST_F(Engine, MissingImagesAndFailedStartsLeaveNothingBehind) {
  REQUIRE_ENGINE(c);
  // Create answers "No such image", the pull then meets a registry's "manifest unknown": a
  // general failure, not the image-not-found one.
  try {
    c->run({"127.0.0.1:5000/portico-test/absent:latest", std::nullopt, {}, {}});
    FAIL() << "run succeeded";
  } catch (const ImageNotFound& e) {
    FAIL() << "manifest unknown is not image-not-found: " << e.what();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 404);
  }
  // The command does not exist in the image: start fails, the container must go.
  try {
    c->run({kImage, std::string("/no/such/program-91c2"), {}, {}});
    FAIL() << "start succeeded";
  } catch (const DockerError&) {
  }
  const std::string cmd = "docker ps -a --no-trunc --filter ancestor=" + std::string(kImage) +
                          " --format '{{.Command}}' | grep -c program-91c2";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[32] = {};
  fgets(buf, sizeof buf, p);
  pclose(p);
  EXPECT_EQ(std::string(buf), "0\n");
}

}  // namespace
}  // namespace portico::docker
