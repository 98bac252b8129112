// The client without an Engine: text helpers, endpoint parsing, and a scripted
// Transport that answers (and fails) exactly as a test needs.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "docker/docker.h"
#include "support/support.h"

namespace portico::docker {
namespace {

using Words = std::vector<std::string>;

std::string frame(int stream, const std::string& payload) {
  std::string h(8, '\0');
  h[0] = static_cast<char>(stream);
  const auto n = static_cast<uint32_t>(payload.size());
  h[4] = static_cast<char>(n >> 24);
  h[5] = static_cast<char>(n >> 16);
  h[6] = static_cast<char>(n >> 8);
  h[7] = static_cast<char>(n);
  return h + payload;
}

bool has(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

// ---- text helpers ------------------------------------------------------------

TEST(ShellWords, QuotingWithoutExpansion) {
  EXPECT_EQ(split_shell_words("sh -c 'echo $HOME'"), (Words{"sh", "-c", "echo $HOME"}));
  EXPECT_EQ(split_shell_words("sh -c 'echo \"a b\" $X'"), (Words{"sh", "-c", "echo \"a b\" $X"}));
  EXPECT_EQ(split_shell_words(R"(a "b c" d\ e "x\"y" 'it''s' "\$v" "\n" "\\")"),
            (Words{"a", "b c", "d e", "x\"y", "its", "$v", "\\n", "\\"}));
  EXPECT_EQ(split_shell_words("a\"b\"'c'd *.txt ~ ${X} ; | >f"), (Words{"abcd", "*.txt", "~", "${X}", ";", "|", ">f"}));
  EXPECT_EQ(split_shell_words(" \t a\\\nb \n c\r\n"), (Words{"ab", "c"}));
  EXPECT_EQ(split_shell_words("  "), Words{});
  EXPECT_EQ(split_shell_words("'' \"\""), (Words{"", ""}));
  EXPECT_EQ(split_shell_words("'a\\b' \"it's\""), (Words{"a\\b", "it's"}));
  EXPECT_THROW(split_shell_words("'open"), std::invalid_argument);
  EXPECT_THROW(split_shell_words("say \"open"), std::invalid_argument);
  EXPECT_THROW(split_shell_words("trailing\\"), std::invalid_argument);
}

TEST(References, SplitAtDigestOrTheLastColonWithoutASlashAfterIt) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(split_reference("busybox"), (P{"busybox", "latest"}));
  EXPECT_EQ(split_reference("nginx:1.25"), (P{"nginx", "1.25"}));
  EXPECT_EQ(split_reference("localhost:5000/img"), (P{"localhost:5000/img", "latest"}));
  EXPECT_EQ(split_reference("localhost:5000/img:v2"), (P{"localhost:5000/img", "v2"}));
  EXPECT_EQ(split_reference("localhost:5000/a/b@sha256:abc"), (P{"localhost:5000/a/b", "sha256:abc"}));
  EXPECT_EQ(split_reference("img:1.0@sha256:abc"), (P{"img:1.0", "sha256:abc"}));
}

// Texts as Engines of several versions word them for several registries.
TEST(Errors, ImageNotFoundByStatusAndRegistryCode) {
  struct Case {
    long status;
    const char* message;
    bool image_request, not_found;
  };
  const Case cases[] = {
      {404, "manifest for r:5000/x:1 not found: manifest unknown: manifest unknown", true, true},
      {404, "repository r:5000/x not found: name unknown: repository name not known to registry", true, true},
      {404, "pull access denied for x, repository does not exist or may require 'docker login': denied: requested "
            "access to the resource is denied", true, true},
      {404, "pull access denied for x, repository does not exist or may require 'docker login'", true, true},
      {404, "No such image: x:latest", true, true},
      {404, "failed to resolve reference \"r:5000/x:1\": r:5000/x:1: not found", true, true},
      {404, "No such image: x:latest", false, true},  // container create
      {404, "No such container: abc", false, false},
      {404, "manifest for x:1 not found: unauthorized: authentication required", true, false},
      {500, "unauthorized: authentication required", true, false},
      {500, "toomanyrequests: You have reached your pull rate limit", true, false},
      {500, "Get \"https://r:5000/v2/\": dial tcp: connection refused", true, false},
      {500, "No such image: x", true, false},
      {200, "manifest for x:1 not found: manifest unknown: manifest unknown", true, true},  // inside a pull's progress
      {200, "image with reference x was found but does not match the specified platform", true, true},
      {200, "unexpected EOF", true, false},
      {200, "toomanyrequests: too many requests", true, false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_image_not_found(c.status, c.message, c.image_request), c.not_found) << c.message;
  EXPECT_EQ(registry_error_code("manifest for x not found: MANIFEST UNKNOWN: manifest unknown"), "manifest unknown");
  EXPECT_EQ(registry_error_code("access denied for x: denied: no"), "denied");
  EXPECT_EQ(registry_error_code("resource is undenied: x"), std::nullopt);
}

TEST(Frames, DemultiplexWhateverTheChunkBoundaries) {
  const std::string long_line(70000, 'x');
  const std::string stream = frame(1, "out1\n") + frame(2, "err\n") + frame(1, "") + frame(0, "in-as-out ") +
                             frame(1, long_line.substr(0, 16384)) + frame(2, "e2\n") +
                             frame(1, long_line.substr(16384) + "\n");
  for (size_t chunk : {1, 3, 7, 8, 9, 4096, 100000}) {
    FrameDemux out(true, false), err(false, true), both(true, true);
    for (size_t i = 0; i < stream.size(); i += chunk)
      for (FrameDemux* d : {&out, &err, &both}) d->feed(std::string_view(stream).substr(i, chunk));
    for (FrameDemux* d : {&out, &err, &both}) {
      d->finish();
      EXPECT_FALSE(d->error()) << chunk << ": " << *d->error();
    }
    EXPECT_EQ(out.data(), "out1\nin-as-out " + long_line + "\n") << chunk;
    EXPECT_EQ(err.data(), "err\ne2\n") << chunk;
    EXPECT_EQ(both.data().size(), out.data().size() + err.data().size()) << chunk;
  }
}

TEST(Frames, EngineErrorsUnframedInputAndCutStreamsAreErrors) {
  FrameDemux sys(true, true);
  sys.feed(frame(1, "partial output\n") + frame(3, "log driver broke"));
  ASSERT_TRUE(sys.error());
  EXPECT_TRUE(has(*sys.error(), "log driver broke"));

  FrameDemux raw(true, false);  // a TTY's raw text read as if it were framed
  raw.feed("hello world\r\n");
  ASSERT_TRUE(raw.error());

  FrameDemux cut(true, false);
  cut.feed(frame(1, "0123456789").substr(0, 12));
  EXPECT_FALSE(cut.error());
  cut.finish();
  EXPECT_TRUE(cut.error());

  FrameDemux cut_header(true, false);
  cut_header.feed(frame(1, "ok") + std::string("\x01\0\0", 3));
  cut_header.finish();
  EXPECT_TRUE(cut_header.error());
}

// ---- where the Engine is -------------------------------------------------------

TEST(Endpoints, FromDockerHost) {
  auto ep = parse_endpoint("", "", "");
  EXPECT_EQ(ep.socket_path, "/var/run/docker.sock");
  EXPECT_EQ(parse_endpoint("unix://", "", "").socket_path, "/var/run/docker.sock");
  EXPECT_EQ(parse_endpoint("unix:///tmp/d.sock", "1", "").socket_path, "/tmp/d.sock");  // TLS means nothing on a socket
  EXPECT_FALSE(parse_endpoint("unix:///tmp/d.sock", "1", "").tls);
  ep = parse_endpoint("tcp://10.0.0.5:2375", "", "");
  EXPECT_EQ(ep.socket_path, "");
  EXPECT_EQ(ep.base_url, "http://10.0.0.5:2375");
  EXPECT_EQ(parse_endpoint("tcp://[::1]:2375/", "", "").base_url, "http://[::1]:2375");
  EXPECT_EQ(parse_endpoint("tcp://h:2375/prefix/", "", "").base_url, "http://h:2375/prefix");
  for (const char* bad : {"tcp://host", "tcp://host:", "tcp://host:x1", "tcp://host:70000", "tcp://[::1]", "ssh://u@h",
                          "npipe:////./pipe/docker", "/var/run/docker.sock"}) {
    try {
      parse_endpoint(bad, "", "");
      ADD_FAILURE() << bad << " was accepted";
    } catch (const DockerError& e) {
      EXPECT_EQ(e.status, 0);
      EXPECT_TRUE(has(e.what(), bad)) << e.what();
    }
  }
}

TEST(Endpoints, TlsNeedsTheThreeFilesFromTheCertPathOrHome) {
  test::TempDir dir;
  EXPECT_THROW(parse_endpoint("tcp://h:2376", "1", dir.str()), DockerError);
  for (const char* f : {"ca.pem", "cert.pem", "key.pem"}) dir.write(f, "x");
  auto ep = parse_endpoint("tcp://h:2376", "1", dir.str());
  EXPECT_TRUE(ep.tls);
  EXPECT_EQ(ep.base_url, "https://h:2376");
  EXPECT_EQ(ep.ca_file, dir / "ca.pem");
  EXPECT_EQ(ep.key_file, dir / "key.pem");
  EXPECT_FALSE(parse_endpoint("tcp://h:2376", "", dir.str()).tls);  // an empty DOCKER_TLS_VERIFY is off

  const char* home = std::getenv("HOME");
  const std::string saved = home ? home : "";
  for (const char* f : {"ca.pem", "cert.pem", "key.pem"}) dir.write(std::string(".docker/") + f, "x");
  setenv("HOME", dir.str().c_str(), 1);
  ep = parse_endpoint("tcp://h:2376", "yes", "");
  if (home) setenv("HOME", saved.c_str(), 1);
  else unsetenv("HOME");
  EXPECT_EQ(ep.cert_file, dir / ".docker/cert.pem");
}

// ---- a scripted Engine --------------------------------------------------------

// Answers like a transport: a 2xx body goes to `on_data` in pieces of `chunk` bytes.
Response answer(const OnData& on_data, long status, const std::string& body, size_t chunk = 7,
                const std::string& content_type = "application/json") {
  Response head{status, status < 300 ? "OK" : status == 404 ? "Not Found" : "Error", content_type, ""};
  if (status < 200 || status >= 300 || !on_data) return Response{status, head.reason, content_type, body};
  for (size_t i = 0; i < body.size(); i += chunk)
    if (!on_data(head, std::string_view(body).substr(i, chunk))) break;
  return head;
}

class FakeEngine : public Transport {
 public:
  using Handler = std::function<Response(const Request&, const OnData&)>;
  explicit FakeEngine(Handler h, std::string version = R"({"ApiVersion":"1.41"})")
      : handler_(std::move(h)), version_(std::move(version)) {}
  Response request(const Request& rq, const OnData& on_data) override {
    if (rq.path == "/version") return Response{200, "OK", "application/json", version_};
    {
      std::lock_guard<std::mutex> l(mu_);
      seen_.push_back(rq);
    }
    return handler_(rq, on_data);
  }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> l(mu_);
    std::vector<std::string> out;
    for (const auto& r : seen_) out.push_back(r.method + " " + r.path);
    return out;
  }
  std::vector<Request> seen() {
    std::lock_guard<std::mutex> l(mu_);
    return seen_;
  }

 private:
  Handler handler_;
  std::string version_;
  std::mutex mu_;
  std::vector<Request> seen_;
};

std::pair<std::shared_ptr<FakeEngine>, Client> fake(FakeEngine::Handler h, std::string version = R"({"ApiVersion":"1.41"})") {
  auto engine = std::make_shared<FakeEngine>(std::move(h), std::move(version));
  return {engine, Client(engine)};
}

TEST(Negotiation, TheEnginesVersionAtMost141) {
  auto ok = [](const Request&, const OnData&) { return Response{200, "OK", "text/plain", "OK"}; };
  EXPECT_EQ(fake(ok, R"({"ApiVersion":"1.43"})").second.api_version(), "1.41");
  auto [engine, c] = fake(ok, R"({"ApiVersion":"1.40","Version":"19.03"})");
  EXPECT_EQ(c.api_version(), "1.40");
  c.ping();
  EXPECT_EQ(engine->calls(), Words{"GET /v1.40/_ping"});

  for (const char* bad : {R"({"Version":"20.10"})", R"({"ApiVersion":"1.41/../../x"})", R"({"ApiVersion":"1.12"})",
                          R"({"ApiVersion":141})", "<html>", "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["}) {
    try {
      fake(ok, bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const DockerError& e) {
      EXPECT_TRUE(has(e.what(), "Error while fetching server API version: ")) << e.what();
    }
  }
}

TEST(Negotiation, FailuresOfTheVersionCallCarryTheirCause) {
  class Down : public Transport {
    Response request(const Request&, const OnData&) override { throw DockerError(0, "connect: Connection refused"); }
  };
  try {
    Client c(std::make_shared<Down>());
    FAIL();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(std::string(e.what()), "Error while fetching server API version: connect: Connection refused");
  }
  class Broken : public Transport {
    Response request(const Request&, const OnData&) override {
      return Response{500, "Internal Server Error", "application/json", R"({"message":"engine on fire"})"};
    }
  };
  try {
    Client c(std::make_shared<Broken>());
    FAIL();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 500);
    EXPECT_EQ(e.explanation, "engine on fire");
    EXPECT_TRUE(has(e.what(), "500 Server Error for http+docker://localhost/version")) << e.what();
  }
}

TEST(Answers, ErrorsCarryTheEnginesMessageAndOnlyImageAnswersAreImageNotFound) {
  auto [engine, c] = fake([](const Request& rq, const OnData& on_data) {
    if (has(rq.path, "/images/"))
      return answer(on_data, 404, R"({"message":"No such image: x:latest"})");
    if (has(rq.path, "/containers/gone"))
      return answer(on_data, 404, R"({"message":"No such container: gone"})");
    if (has(rq.path, "/containers/html")) return answer(on_data, 502, "  <html>bad gateway</html>\n");
    if (has(rq.path, "/containers/garbage")) return answer(on_data, 200, "{\"Id\":");
    if (has(rq.path, "/containers/deep")) return answer(on_data, 200, std::string(100000, '[') + std::string(100000, ']'));
    return answer(on_data, 200, "[1]");
  });
  try {
    c.inspect_image("x");
    FAIL();
  } catch (const ImageNotFound& e) {
    EXPECT_EQ(std::string(e.what()),
              "404 Client Error for http+docker://localhost/v1.41/images/x/json: Not Found (\"No such image: x:latest\")");
    EXPECT_EQ(e.explanation, "No such image: x:latest");
  }
  try {
    c.inspect_container("gone");
    FAIL();
  } catch (const ImageNotFound&) {
    FAIL() << "a missing container is not a missing image";
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 404);
  }
  try {
    c.inspect_container("html");
    FAIL();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.explanation, "<html>bad gateway</html>");
  }
  for (const char* id : {"garbage", "deep", "array"}) EXPECT_THROW(c.inspect_container(id), DockerError) << id;
}

TEST(Answers, ReferencesAndIdsAreEncodedIntoPaths) {
  auto [engine, c] = fake([](const Request& rq, const OnData& on_data) {
    return answer(on_data, has(rq.path, "/json") ? 200 : 204, "{}");
  });
  c.inspect_image("localhost:5000/a/b@sha256:ab");
  c.inspect_image("x?all=1#frag ../y");
  c.inspect_container("../images/x");
  c.kill("abc");
  c.remove("abc", true);
  c.remove("abc", false);
  EXPECT_EQ(engine->calls(), (Words{"GET /v1.41/images/localhost:5000/a/b@sha256:ab/json",
                                    "GET /v1.41/images/x%3Fall%3D1%23frag%20../y/json",
                                    "GET /v1.41/containers/..%2Fimages%2Fx/json", "POST /v1.41/containers/abc/kill",
                                    "DELETE /v1.41/containers/abc?force=true", "DELETE /v1.41/containers/abc"}));
}

TEST(Answers, RemovingAContainerThatIsGoneIsFineOtherRefusalsAreNot) {
  auto [engine, c] = fake([](const Request& rq, const OnData& on_data) {
    if (has(rq.path, "gone")) return answer(on_data, 404, R"({"message":"No such container: gone"})");
    return answer(on_data, 409, R"({"message":"removal of container busy is already in progress"})");
  });
  EXPECT_NO_THROW(c.remove("gone", true));
  EXPECT_THROW(c.remove("busy", true), DockerError);
}

// ---- pull ---------------------------------------------------------------------

TEST(Pull, QueryNamesRepositoryAndTag) {
  auto [engine, c] = fake([](const Request&, const OnData& on_data) {
    return answer(on_data, 200, "{\"status\":\"Pulling\"}\r\n{\"status\":\"Done\"}\r\n");
  });
  c.pull("localhost:5000/img");
  c.pull("localhost:5000/img:v2");
  c.pull("a/b@sha256:ab");
  EXPECT_EQ(engine->calls(), (Words{"POST /v1.41/images/create?tag=latest&fromImage=localhost%3A5000%2Fimg",
                                    "POST /v1.41/images/create?tag=v2&fromImage=localhost%3A5000%2Fimg",
                                    "POST /v1.41/images/create?tag=sha256%3Aab&fromImage=a%2Fb"}));
  for (const auto& rq : engine->seen()) EXPECT_TRUE(rq.unbounded);
}

TEST(Pull, AnErrorInsideTheProgressIsAFailure) {
  const std::string progress = "{\"status\":\"Pulling fs layer\",\"id\":\"a\"}\r\n";
  auto pull_with = [&](const std::string& stream, size_t chunk) {
    auto [engine, c] = fake([&](const Request&, const OnData& on_data) { return answer(on_data, 200, stream, chunk); });
    c.pull("img");
  };
  for (size_t chunk : {1, 5, 64, 100000}) {
    try {
      pull_with(progress + R"({"errorDetail":{"message":"unexpected EOF"},"error":"unexpected EOF"})" "\r\n" + progress,
                chunk);
      ADD_FAILURE() << "pull succeeded";
    } catch (const ImageNotFound&) {
      ADD_FAILURE() << "a broken download is not a missing image";
    } catch (const DockerError& e) {
      EXPECT_EQ(std::string(e.what()), "unexpected EOF");
    }
  }
  // No newline after the last line, and a line far too long to be progress before it.
  try {
    pull_with(progress + std::string(3 << 20, 'x') + "\n" +
                  R"({"error":"pull access denied for img, repository does not exist or may require 'docker login'"})",
              65536);
    FAIL() << "pull succeeded";
  } catch (const ImageNotFound& e) {
    EXPECT_EQ(e.status, 404);
  }
  EXPECT_NO_THROW(pull_with(progress + "not json\n" + R"({"error_count":0})" + "\n", 3));
}

TEST(Pull, RefusalsAndBrokenConnections) {
  auto refuse = fake([](const Request&, const OnData& on_data) {
    return answer(on_data, 404, R"({"message":"manifest for r:5000/x:latest not found: manifest unknown: manifest unknown"})");
  });
  try {
    refuse.second.pull("r:5000/x");
    FAIL();
  } catch (const ImageNotFound& e) {
    EXPECT_EQ(e.status, 404);
    EXPECT_TRUE(has(e.what(), "manifest unknown"));
  }
  auto limited = fake([](const Request&, const OnData& on_data) {
    return answer(on_data, 500, R"({"message":"toomanyrequests: You have reached your pull rate limit"})");
  });
  try {
    limited.second.pull("r:5000/x");
    FAIL();
  } catch (const ImageNotFound&) {
    FAIL() << "a rate limit is not a missing image";
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 500);
  }
  // The Engine goes away in the middle of the download.
  auto broken = fake([](const Request&, const OnData& on_data) -> Response {
    answer(on_data, 200, "{\"status\":\"Downloading\"}\r\n{\"status\":\"Downl");
    throw DockerError(0, "Error while talking to the Docker Engine: Connection reset by peer");
  });
  try {
    broken.second.pull("x");
    FAIL();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 0);
    EXPECT_TRUE(has(e.what(), "reset by peer"));
  }
}

// ---- run ---------------------------------------------------------------------------

TEST(Run, TheCreateBodyCarriesWordsEnvBindsAndLabels) {
  auto [engine, c] = fake([](const Request& rq, const OnData& on_data) {
    if (has(rq.path, "/create")) return answer(on_data, 201, R"({"Id":"c1","Warnings":[]})");
    return answer(on_data, 204, "");
  });
  RunOptions run_options{"img", std::string("sh -c 'echo \"a b\" $X'"), {{"X", "1 2"}, {"EMPTY", ""}},
               {{"/h/in", "/in", "ro"}, {"/h/out", "/out", "rw"}}, {{"portico.test", "t"}}};
  EXPECT_EQ(c.run(run_options), "c1");
  const auto seen = engine->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].content_type, "application/json");
  const Value body = Value::parse(seen[0].body);
  EXPECT_EQ(body["Image"], "img");
  EXPECT_EQ(body["Cmd"], Value::parse(R"(["sh","-c","echo \"a b\" $X"])"));
  EXPECT_EQ(body["Env"], Value::parse(R"(["X=1 2","EMPTY="])"));
  EXPECT_EQ(body["HostConfig"]["Binds"], Value::parse(R"(["/h/in:/in:ro","/h/out:/out:rw"])"));
  EXPECT_EQ(body["Labels"]["portico.test"], "t");
  EXPECT_EQ(seen[1].method + " " + seen[1].path, "POST /v1.41/containers/c1/start");

  RunOptions no_command{"img", std::nullopt, {}, {}};
  c.run(no_command);
  EXPECT_FALSE(Value::parse(engine->seen()[2].body).contains("Cmd"));
}

TEST(Run, BadCommandsAndBindsAreRefusedBeforeTheEngineIsAsked) {
  auto [engine, c] = fake([](const Request&, const OnData& on_data) { return answer(on_data, 201, R"({"Id":"c1"})"); });
  EXPECT_THROW(c.run({"img", std::string("echo 'open"), {}, {}}), std::invalid_argument);
  EXPECT_THROW(c.run({"img", std::nullopt, {}, {{"/h/a:/etc", "/in", "rw"}}}), std::invalid_argument);
  EXPECT_THROW(c.run({"img", std::nullopt, {}, {{"/h", "/in:/x", "rw"}}}), std::invalid_argument);
  EXPECT_TRUE(engine->calls().empty());
}

TEST(Run, AMissingImageIsPulledOnceThenCreatedAgain) {
  std::atomic<int> creates{0};
  auto [engine, c] = fake([&](const Request& rq, const OnData& on_data) {
    if (has(rq.path, "/containers/create"))
      return ++creates == 1 ? answer(on_data, 404, R"({"message":"No such image: r:5000/img:latest"})")
                            : answer(on_data, 201, R"({"Id":"c2"})");
    if (has(rq.path, "/images/create")) return answer(on_data, 200, "{\"status\":\"Downloaded newer image\"}\r\n");
    return answer(on_data, 204, "");
  });
  EXPECT_EQ(c.run({"r:5000/img", std::nullopt, {}, {}}), "c2");
  EXPECT_EQ(engine->calls(), (Words{"POST /v1.41/containers/create",
                                    "POST /v1.41/images/create?tag=latest&fromImage=r%3A5000%2Fimg",
                                    "POST /v1.41/containers/create", "POST /v1.41/containers/c2/start"}));
}

TEST(Run, AnImageNoRegistryKnowsIsImageNotFoundOtherPullFailuresAreNot) {
  for (const auto& [pull_answer, want_not_found] :
       std::vector<std::pair<std::string, bool>>{
           {R"({"message":"pull access denied for nosuch, repository does not exist or may require 'docker login'"})", true},
           {R"({"message":"manifest for nosuch:latest not found: manifest unknown: manifest unknown"})", true},
           {R"({"message":"repository nosuch not found: name unknown: repository name not known to registry"})", true},
           {R"({"message":"unauthorized: authentication required"})", false}}) {
    auto [engine, c] = fake([&](const Request& rq, const OnData& on_data) {
      if (has(rq.path, "/containers/create")) return answer(on_data, 404, R"({"message":"No such image: nosuch:latest"})");
      return answer(on_data, want_not_found ? 404 : 500, pull_answer);
    });
    try {
      c.run({"nosuch", std::nullopt, {}, {}});
      ADD_FAILURE() << "run succeeded";
    } catch (const ImageNotFound& e) {
      EXPECT_TRUE(want_not_found) << e.what();
      EXPECT_TRUE(has(e.what(), "/images/create")) << e.what();
    } catch (const DockerError& e) {
      EXPECT_FALSE(want_not_found) << e.what();
    }
    EXPECT_EQ(engine->calls().size(), 2u);  // no second create
  }
}

TEST(Run, AContainerWhoseStartFailsIsRemoved) {
  for (bool connection_breaks : {false, true}) {
    auto [engine, c] = fake([&](const Request& rq, const OnData& on_data) -> Response {
      if (has(rq.path, "/containers/create")) return answer(on_data, 201, R"({"Id":"c3"})");
      if (has(rq.path, "/start")) {
        if (connection_breaks) throw DockerError(0, "Connection reset by peer");
        return answer(on_data, 400, R"({"message":"exec: \"/nope\": stat /nope: no such file or directory"})");
      }
      return answer(on_data, 204, "");
    });
    try {
      c.run({"img", std::string("/nope"), {}, {}});
      ADD_FAILURE() << "run succeeded";
    } catch (const ImageNotFound&) {
      ADD_FAILURE() << "a failed start is not a missing image";
    } catch (const DockerError& e) {
      EXPECT_EQ(e.status, connection_breaks ? 0 : 400);
    }
    EXPECT_EQ(engine->calls(), (Words{"POST /v1.41/containers/create", "POST /v1.41/containers/c3/start",
                                      "DELETE /v1.41/containers/c3?force=true"}));
  }
}

TEST(Run, ACreateAnswerWithoutAnIdIsAFailure) {
  auto [engine, c] = fake([](const Request&, const OnData& on_data) { return answer(on_data, 201, R"({"Id":""})"); });
  EXPECT_THROW(c.run({"img", std::nullopt, {}, {}}), DockerError);
  EXPECT_EQ(engine->calls().size(), 1u);
}

// ---- wait and logs -------------------------------------------------------------

TEST(Wait, StatusCodeOrZeroAndNoTimeLimit) {
  std::string body;
  auto [engine, c] = fake([&](const Request&, const OnData& on_data) { return answer(on_data, 200, body); });
  for (const auto& [b, code] : std::vector<std::pair<std::string, long long>>{
           {R"({"Error":null,"StatusCode":3})", 3}, {R"({"StatusCode":137})", 137}, {"{}", 0}, {R"({"StatusCode":null})", 0}}) {
    body = b;
    EXPECT_EQ(c.wait("c"), code) << b;
  }
  for (const char* bad : {"", "{\"StatusCode\":", R"({"StatusCode":"0"})", R"({"StatusCode":1.5})", "[0]"}) {
    body = bad;
    EXPECT_THROW(c.wait("c"), DockerError) << bad;
  }
  EXPECT_TRUE(engine->seen().back().unbounded);
  EXPECT_EQ(engine->calls().back(), "POST /v1.41/containers/c/wait");
}

TEST(Logs, FramedOrRawByTtyAndBrokenStreamsFail) {
  bool tty = false;
  std::string stream;
  bool break_after = false;
  auto [engine, c] = fake([&](const Request& rq, const OnData& on_data) -> Response {
    if (has(rq.path, "/json"))
      return answer(on_data, 200, std::string(R"({"Id":"c","Config":{"Tty":)") + (tty ? "true" : "false") + "}}");
    answer(on_data, 200, stream, 3, "application/vnd.docker.raw-stream");
    if (break_after) throw DockerError(0, "Connection reset by peer");
    return Response{200, "OK", "", ""};
  });
  stream = frame(1, "out\n") + frame(2, "err\n") + frame(1, std::string(70000, 'y'));
  EXPECT_EQ(c.logs("c", true, false), "out\n" + std::string(70000, 'y'));
  EXPECT_EQ(c.logs("c", false, true), "err\n");
  EXPECT_EQ(engine->calls().back(), "GET /v1.41/containers/c/logs?stdout=0&stderr=1&timestamps=0&follow=0&tail=all");
  EXPECT_FALSE(engine->seen().back().unbounded);

  break_after = true;
  try {
    c.logs("c", true, false);
    FAIL();
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 0);
  }
  break_after = false;
  stream = frame(1, "out\n") + frame(3, "failed to read log file");
  try {
    c.logs("c", true, false);
    FAIL();
  } catch (const DockerError& e) {
    EXPECT_TRUE(has(e.what(), "failed to read log file")) << e.what();
  }
  stream = frame(1, "cut off").substr(0, 10);
  EXPECT_THROW(c.logs("c", true, false), DockerError);

  tty = true;
  stream = "hi\r\n\x01\x02";
  EXPECT_EQ(c.logs("c", true, true), stream);
}

TEST(Logs, BoundedReadsStopAtTheLimitAndFollowingOnlyCounts) {
  const std::string stream = frame(1, std::string(5000, 'o')) + frame(2, "err\n") + frame(1, std::string(5000, 'p'));
  size_t delivered = 0;
  auto [engine, c] = fake([&](const Request& rq, const OnData& on_data) -> Response {
    if (has(rq.path, "/json")) return answer(on_data, 200, R"({"Id":"c","Config":{"Tty":false}})");
    delivered = 0;
    const OnData counting = [&](const Response& head, std::string_view chunk) {
      delivered += chunk.size();
      return on_data(head, chunk);
    };
    return answer(counting, 200, stream, 100, "application/vnd.docker.multiplexed-stream");
  });
  bool over = true;
  EXPECT_EQ(c.logs("c", true, false, 10000, over), std::string(5000, 'o') + std::string(5000, 'p'));
  EXPECT_FALSE(over);
  EXPECT_EQ(c.logs("c", true, false, 6000, over), std::string(5000, 'o') + std::string(1000, 'p'));
  EXPECT_TRUE(over);
  EXPECT_LT(delivered, stream.size() - 3000);  // the rest was never read

  // Following hands over each stream's pieces as they come and stops when asked.
  std::atomic<bool> cancel{false};
  std::string out, err;
  c.watch_output("c", [&](bool is_stderr, std::string_view piece) {
    (is_stderr ? err : out).append(piece);
    return out.size() <= 5000;
  }, &cancel);
  EXPECT_EQ(err, "err\n");
  EXPECT_EQ(out.substr(0, 5001), std::string(5000, 'o') + "p");
  EXPECT_LT(delivered, stream.size());
  EXPECT_EQ(engine->calls().back(), "GET /v1.41/containers/c/logs?stdout=1&stderr=1&timestamps=0&follow=1&tail=all");
  EXPECT_TRUE(engine->seen().back().unbounded);
  EXPECT_EQ(engine->seen().back().cancel, &cancel);
}

// ---- the libcurl transport against a scripted socket ----------------------------

// Serves canned raw answers on a UNIX socket, one connection each; with
// `hold`, each connection then stays open and silent until the end.
class CannedServer {
 public:
  explicit CannedServer(std::vector<std::string> answers, bool hold = false) : answers_(std::move(answers)) {
    path_ = dir_ / "engine.sock";
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0)
      throw std::runtime_error("cannot listen on " + path_);
    thread_ = std::thread([this, hold] {
      for (const std::string& a : answers_) {
        const int conn = ::accept(fd_, nullptr, nullptr);
        if (conn < 0) return;
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
          const ssize_t n = ::read(conn, buf, sizeof buf);
          if (n <= 0) break;
          request.append(buf, static_cast<size_t>(n));
        }
        {
          std::lock_guard<std::mutex> l(mu_);
          requests_.push_back(request);
        }
        for (size_t off = 0; off < a.size();) {
          const ssize_t n = ::write(conn, a.data() + off, a.size() - off);
          if (n <= 0) break;
          off += static_cast<size_t>(n);
        }
        if (hold) held_.push_back(conn);
        else ::close(conn);
      }
    });
  }
  ~CannedServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
    for (int conn : held_) ::close(conn);
  }
  std::shared_ptr<Transport> transport() const {
    Endpoint ep;
    ep.socket_path = path_;
    ep.base_url = "http://localhost";
    return make_curl_transport(ep);
  }
  std::string request(size_t i) {
    std::lock_guard<std::mutex> l(mu_);
    return i < requests_.size() ? requests_[i] : "";
  }

 private:
  test::TempDir dir_;
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> answers_;
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
  std::vector<int> held_;
};

TEST(CurlTransport, StatusReasonTypeAndBodies) {
  const std::string err = R"({"message":"No such image: x:latest"})";
  CannedServer server({"HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: " +
                           std::to_string(err.size()) + "\r\n\r\n" + err,
                       "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.docker.multiplexed-stream\r\n"
                       "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"});
  auto t = server.transport();
  Response r = t->request({"POST", "/v1.41/containers/create", "{\"Image\":\"x\"}", "application/json", false});
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.reason, "Not Found");
  EXPECT_EQ(r.content_type, "application/json");
  EXPECT_EQ(r.body, err);
  EXPECT_TRUE(has(server.request(0), "POST /v1.41/containers/create HTTP/1.1\r\n"));
  EXPECT_TRUE(has(server.request(0), "Content-Type: application/json\r\n"));

  std::string streamed, type;
  r = t->request({"GET", "/v1.41/containers/c/logs", "", "", false}, [&](const Response& head, std::string_view chunk) {
    type = head.content_type;
    streamed.append(chunk);
    return true;
  });
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(streamed, "abcde");
  EXPECT_EQ(type, "application/vnd.docker.multiplexed-stream");
}

TEST(CurlTransport, CutConnectionsAndThrowingCallbacks) {
  CannedServer server({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b",
                       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
                       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"});
  auto t = server.transport();
  std::string got;
  try {
    t->request({"POST", "/v1.41/images/create", "", "", true}, [&](const Response&, std::string_view c) {
      got.append(c);
      return true;
    });
    FAIL() << "a cut answer was taken as whole";
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 0);
  }
  EXPECT_EQ(got, "only ten b");

  struct Mine {};
  EXPECT_THROW(t->request({"GET", "/x", "", "", false}, [](const Response&, std::string_view) -> bool { throw Mine{}; }),
               Mine);
  // Stopping on purpose is not an error.
  const Response r = t->request({"GET", "/x", "", "", false}, [](const Response&, std::string_view) { return false; });
  EXPECT_EQ(r.status, 200);
}

TEST(CurlTransport, CancellingEndsASilentStreamWithoutAnError) {
  CannedServer server({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"}, true);
  std::atomic<bool> cancel{false};
  Request rq{"GET", "/v1.41/containers/c/logs?follow=1", "", "", true};
  rq.cancel = &cancel;
  std::string got;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel = true;
  });
  const auto t0 = std::chrono::steady_clock::now();
  const Response r = server.transport()->request(rq, [&](const Response&, std::string_view chunk) {
    got.append(chunk);
    return true;
  });
  canceller.join();
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(got, "abc");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
}

TEST(CurlTransport, ACancelledRequestGivesUpOnASilentEngine) {
  // Listening but never accepting: the request goes out and no answer ever comes.
  test::TempDir dir;
  const std::string path = dir / "silent.sock";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  Endpoint ep;
  ep.socket_path = path;
  ep.base_url = "http://localhost";
  auto t = make_curl_transport(ep);

  std::atomic<bool> cancel{false};
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel = true;
  });
  const auto t0 = std::chrono::steady_clock::now();
  Request rq{"POST", "/v1.41/containers/c/wait", "", "", true};
  rq.cancel = &cancel;
  try {
    t->request(rq);
    ADD_FAILURE() << "a silent Engine answered";
  } catch (const DockerError& e) {
    EXPECT_EQ(e.status, 0);
    EXPECT_TRUE(has(e.what(), "POST /v1.41/containers/c/wait")) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  canceller.join();
  ::close(fd);
}

TEST(FromEnv, AClosedSocketFailsWithTheCause) {
  test::TempDir dir;
  const std::string path = dir / "closed.sock";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);  // bound but never listening: refused
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  const char* before = std::getenv("DOCKER_HOST");
  const std::string saved = before ? before : "";
  auto attempt = [](const std::string& host) -> std::string {
    setenv("DOCKER_HOST", host.c_str(), 1);
    try {
      Client::from_env();
      return "created";
    } catch (const DockerError& e) {
      EXPECT_EQ(e.status, 0);
      return e.what();
    }
  };
  const std::string refused = attempt("unix://" + path);
  const std::string missing = attempt("unix://" + dir / "missing.sock");
  const std::string no_port = attempt("tcp://127.0.0.1");
  if (before) setenv("DOCKER_HOST", saved.c_str(), 1);
  else unsetenv("DOCKER_HOST");
  ::close(fd);

  EXPECT_TRUE(has(refused, "Error while fetching server API version: ")) << refused;
  EXPECT_TRUE(has(refused, "Connection refused")) << refused;
  EXPECT_TRUE(has(missing, "No such file or directory")) << missing;
  EXPECT_TRUE(has(no_port, "needs a port")) << no_port;
}

}  // namespace
}  // namespace portico::docker
