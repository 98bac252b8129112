// Containers the gateway started are never left behind, even when the Engine
// goes away in the middle of a run. The Engine is shared, so it is never
// stopped: the gateway reaches it through a proxy that the test cuts.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "integration/harness.h"

namespace portico::test {
namespace {

int unix_socket(const std::string& path, bool listening) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  const auto* a = reinterpret_cast<const sockaddr*>(&addr);
  const bool ok = listening ? ::bind(fd, a, sizeof addr) == 0 && ::listen(fd, 64) == 0 : ::connect(fd, a, sizeof addr) == 0;
  if (!ok) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Forwards connections on `path` to the Engine's socket until cut.
class EngineProxy {
 public:
  EngineProxy(std::string engine_socket, std::string path) : engine_(std::move(engine_socket)), path_(std::move(path)) {
    open();
  }
  ~EngineProxy() { cut(); }

  void open() {
    listener_ = unix_socket(path_, true);
    if (listener_ < 0) throw std::runtime_error("cannot listen on " + path_);
    acceptor_ = std::thread([this] {
      for (int c; (c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        const int e = unix_socket(engine_, false);
        fds_.push_back(c);
        if (e < 0) continue;
        fds_.push_back(e);
        pumps_.emplace_back([this, c, e] { pump(c, e); });
      }
    });
  }
  // From the gateway's side the Engine is gone: connections break, new ones are refused.
  void cut() {
    if (listener_ < 0) return;
    ::shutdown(listener_, SHUT_RDWR);
    ::unlink(path_.c_str());
    acceptor_.join();  // from here on nobody else touches fds_ and pumps_
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : pumps_) t.join();
    pumps_.clear();
    for (int fd : fds_) ::close(fd);
    fds_.clear();
    ::close(listener_);
    listener_ = -1;
  }
  int waits() const { return waits_.load(); }

 private:
  void pump(int client, int engine) {
    pollfd p[2] = {{client, POLLIN, 0}, {engine, POLLIN, 0}};
    char buf[65536];
    while (::poll(p, 2, -1) > 0) {
      const int from = (p[0].revents != 0) ? 0 : 1;
      const ssize_t n = ::read(p[from].fd, buf, sizeof buf);
      if (n <= 0) break;
      if (from == 0 && std::string_view(buf, static_cast<size_t>(n)).find("/wait HTTP/1.1") != std::string_view::npos)
        ++waits_;
      if (::write(p[1 - from].fd, buf, static_cast<size_t>(n)) != n) break;
    }
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(engine, SHUT_RDWR);
  }

  std::string engine_, path_;
  int listener_ = -1;
  std::thread acceptor_;
  std::vector<int> fds_;
  std::vector<std::thread> pumps_;
  std::atomic<int> waits_{0};
};

std::string docker_out(const std::string& args) {
  std::string out;
  FILE* p = popen(("docker " + args + " 2>/dev/null").c_str(), "r");
  char buf[256];
  while (p && fgets(buf, sizeof buf, p)) out += buf;
  if (p) pclose(p);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(Leftovers, AnEngineCutMidRunIs503AndItsContainerGoesOnceTheEngineIsBack) {
  if (!docker_socket_present()) PORTICO_NO_DOCKER("no socket at DOCKER_HOST");
  Site site;
  site.default_users();
  site.alias_file("c.yaml", "nap:\n  type: container\n  image: portico-test/busybox:latest\n  command: sleep 60\n"
                            "hi:\n  type: container\n  image: portico-test/busybox:latest\n  command: echo hi\n");
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string instance = std::string(host) + ":" + site.path("portico.pid");
  // Left by an earlier gateway of this installation that died: goes at start-up.
  const std::string earlier =
      docker_out("run -d --label io.portico.managed=true --label io.portico.correlation-id=earlier --label "
                 "io.portico.instance=" + instance + " portico-test/busybox:latest true");
  ASSERT_FALSE(earlier.empty());
  docker_out("wait " + earlier);
  auto exists = [](const std::string& filter) { return !docker_out("ps -aq --filter '" + filter + "'").empty(); };

  EngineProxy proxy(std::string(std::getenv("DOCKER_HOST")).substr(7), site.path("engine.sock"));
  Server server(site, {}, {{"DOCKER_HOST", "unix://" + site.path("engine.sock")}});
  ASSERT_TRUE(server.wait_ready()) << server.err();
  EXPECT_TRUE(eventually([&] { return !exists("id=" + earlier.substr(0, 12)); }, std::chrono::seconds(20)));

  auto client = server.client();
  const httplib::Headers auth{{"Authorization", basic_auth("alice", "wonderland")}};
  auto running = std::async(std::launch::async, [&] { return client->Post("/v1/run/nap", auth, "", "application/json"); });
  ASSERT_TRUE(eventually([&] { return proxy.waits() > 0; }, std::chrono::seconds(30)));
  proxy.cut();
  const auto r = running.get();
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->status, 503) << r->body;
  const std::string cid = r->get_header_value("X-Correlation-ID");
  const std::string mine = "label=io.portico.correlation-id=" + cid;
  EXPECT_TRUE(exists(mine)) << "the cut left no container behind: the test shows nothing";
  EXPECT_NE(site.app_log().find("Container execution error: "), std::string::npos);

  proxy.open();
  EXPECT_TRUE(eventually([&] { return !exists(mine); }, std::chrono::seconds(30))) << site.app_log();
  const auto again = server.client()->Post("/v1/run/hi", auth, "", "application/json");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200) << again->body;
  EXPECT_FALSE(exists("label=io.portico.instance=" + instance));
}

}  // namespace
}  // namespace portico::test
