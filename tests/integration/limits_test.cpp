// Runs whose output passes MaxOutputBytes fail at once, and the gateway's
// memory stays within a small multiple of the limit whatever a command prints.

#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <cstdint>

#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

constexpr uint64_t kLimit = 2 << 20;

// Shadow memory and quarantines of a sanitizer build say nothing of the gateway's own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif

class OutputLimit : public ::testing::Test {
 protected:
  void SetUp() override {
    site.default_users();
    site.set("MaxOutputBytes", std::to_string(kLimit));
    site.alias_file("10-p.yaml",
                    "flood:\n  type: process\n  command: yes portico-flood-i1\n  timeout: 60\n"
                    "bigfile:\n  type: process\n  command: head -c 5000000 /dev/zero > {{ run_dir }}/f.txt\n"
                    "  output:\n    single_value: {source: f.txt}\n"
                    "bigdir:\n  type: process\n"
                    "  command: head -c 5000000 /dev/urandom > {{ run_dir }}/out/r.bin\n"
                    "  output:\n    single_value: {source: out/}\n");
  }
  void start() {
    server = std::make_unique<Server>(site);
    ASSERT_TRUE(server->wait_ready()) << server->err();
    client = server->client();
    client->set_read_timeout(90, 0);
  }
  // Fails with a 500 and the short public text; returns the seconds it took.
  double expect_refused(const std::string& alias) {
    const auto t0 = std::chrono::steady_clock::now();
    auto r = client->Post(("/v1/run/" + alias).c_str(), {{"Authorization", basic_auth("alice", "wonderland")}}, "",
                          "application/json");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(r) << alias;
    if (!r) return took.count();
    EXPECT_EQ(r->status, 500) << alias << ": " << r->body;
    const Value v = Value::parse(r->body);
    EXPECT_EQ(v["success"], false);
    EXPECT_EQ(v.value("error", ""), "Output limit exceeded") << alias;
    return took.count();
  }
  // Peak resident memory of the gateway so far.
  uint64_t peak_rss() const {
    const std::string status = slurp("/proc/" + std::to_string(server->pid()) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6)) * 1024;
  }
  void expect_bounded_memory() {
    if (kInstrumented) return;
    const uint64_t peak = peak_rss();
    EXPECT_GT(peak, 0u);
    EXPECT_LT(peak, 2 * kLimit + 50'000'000) << peak / 1e6 << " MB";
  }

  Site site;
  std::unique_ptr<Server> server;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(OutputLimit, ProcessStreamsFilesAndDirectories) {
  start();
  EXPECT_LT(expect_refused("flood"), 10.0);
  expect_refused("bigfile");
  expect_refused("bigdir");
  expect_bounded_memory();

  const std::string log = site.app_log();
  EXPECT_TRUE(contains(log, "Process execution error: Output limit exceeded: stdout passed 2097152 bytes")) << log;
  EXPECT_TRUE(contains(log, "Output limit exceeded: f.txt passed 2097152 bytes"));
  EXPECT_TRUE(contains(log, "Output limit exceeded: out/ passed 2097152 bytes"));
  EXPECT_TRUE(contains(slurp(site.path("logs/audit.log")), "\"outcome\":\"output_limit\""));
  const auto metrics = client->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_TRUE(contains(metrics->body, "portico_runs_total{alias=\"flood\",outcome=\"output_limit\"} 1")) << metrics->body;
}

TEST_F(OutputLimit, EndlessContainer) {
  if (!docker_socket_present()) PORTICO_NO_DOCKER("no socket at DOCKER_HOST");
  site.alias_file("20-c.yaml", "cflood:\n  type: container\n  image: portico-test/busybox:latest\n"
                               "  command: sh -c 'yes portico-flood-i2'\n  timeout: 60\n");
  start();
  EXPECT_LT(expect_refused("cflood"), 30.0);
  expect_bounded_memory();
  EXPECT_TRUE(contains(site.app_log(), "Container execution error: Output limit exceeded: stdout passed 2097152 bytes"));
}

}  // namespace
}  // namespace portico::test
