#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "logging/internal.h"
#include "logging/logging.h"
#include "support/map_config.h"
#include "support/support.h"

namespace portico {
namespace {

using test::MapConfig;
using test::slurp;
using test::TempDir;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg.set("LogDir", dir.str());
    cfg.set("LogLevel", "info");
    cfg.set("AppLog", "app.log");
    cfg.set("AuditLog", "audit.log");
  }
  TempDir dir;
  MapConfig cfg;
  LoggingService service;
};

TEST_F(LoggingTest, LinesHaveTheApplicationLayout) {
  service.setup_logging(cfg);
  app_log()->info("Portico version 1.0 starting");
  app_log()->warn("careful");
  app_log()->debug("hidden at info level");
  const auto lines = lines_of(slurp(dir / "app.log"));
  ASSERT_EQ(lines.size(), 2u);
  const std::regex layout(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (INFO|WARNING) portico .*)");
  EXPECT_TRUE(std::regex_match(lines[0], layout)) << lines[0];
  EXPECT_NE(lines[0].find(" INFO portico Portico version 1.0 starting"), std::string::npos);
  EXPECT_NE(lines[1].find(" WARNING portico careful"), std::string::npos);
}

TEST_F(LoggingTest, CorrelationIdBelongsToTheCallingThread) {
  service.setup_logging(cfg);
  EXPECT_FALSE(service.get_correlation_id().has_value());
  std::optional<std::string> seen_elsewhere = "unset";
  {
    CorrelationScope scope("11111111-2222-4333-8444-555555555555");
    EXPECT_EQ(service.get_correlation_id(), "11111111-2222-4333-8444-555555555555");
    std::thread([&] { seen_elsewhere = service.get_correlation_id(); }).join();
    app_log()->info("inside");
    {
      CorrelationScope nested("nested");
      EXPECT_EQ(current_correlation_id(), "nested");
    }
    EXPECT_EQ(current_correlation_id(), "11111111-2222-4333-8444-555555555555");
  }
  EXPECT_FALSE(seen_elsewhere.has_value());
  EXPECT_FALSE(current_correlation_id().has_value());
  EXPECT_NE(slurp(dir / "app.log").find("INFO portico [11111111-2222-4333-8444-555555555555] inside"),
            std::string::npos);
}

TEST_F(LoggingTest, LineBreaksInMessagesCannotForgeLines) {
  service.setup_logging(cfg);
  app_log()->error("bad input\n2030-01-01 00:00:00,000 INFO portico forged");
  const auto lines = lines_of(slurp(dir / "app.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("bad input\\n2030"), std::string::npos);
}

TEST_F(LoggingTest, AppLogSpecSetsLevelAndJsonFormat) {
  cfg.set("AppLog", "sub/portico.json debug json");
  service.setup_logging(cfg);
  EXPECT_EQ(service.app_log_path(), dir / "sub/portico.json");
  {
    CorrelationScope scope("abc");
    app_log()->debug("quote \" and \xff byte");
  }
  const auto lines = lines_of(slurp(dir / "sub/portico.json"));
  ASSERT_EQ(lines.size(), 1u);
  const Value rec = Value::parse(lines[0]);
  EXPECT_EQ(rec["level"], "DEBUG");
  EXPECT_EQ(rec["logger"], "portico");
  EXPECT_EQ(rec["correlation_id"], "abc");
  EXPECT_EQ(rec["message"].get<std::string>().substr(0, 9), "quote \" a");
}

TEST_F(LoggingTest, AbsolutePathsIgnoreLogDir) {
  TempDir other;
  cfg.set("AppLog", other / "elsewhere.log");
  service.setup_logging(cfg);
  app_log()->info("here");
  EXPECT_NE(slurp(other / "elsewhere.log").find("here"), std::string::npos);
}

TEST_F(LoggingTest, ReopenRecreatesAFileMovedAway) {
  service.setup_logging(cfg);
  app_log()->info("before rotation");
  std::filesystem::rename(dir / "app.log", dir / "app.log.1");
  std::filesystem::rename(dir / "audit.log", dir / "audit.log.1");
  app_log()->info("still into the moved file");
  service.reopen_logs();
  app_log()->info("after rotation");
  service.audit(Value{{"alias", "x"}});
  EXPECT_NE(slurp(dir / "app.log.1").find("still into the moved file"), std::string::npos);
  const std::string fresh = slurp(dir / "app.log");
  EXPECT_NE(fresh.find("after rotation"), std::string::npos);
  EXPECT_EQ(fresh.find("before rotation"), std::string::npos);
  EXPECT_EQ(slurp(dir / "audit.log"), "{\"alias\":\"x\"}\n");
}

TEST_F(LoggingTest, AuditLinesStayWholeUnderConcurrency) {
  service.setup_logging(cfg);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        service.audit(Value{{"thread", t}, {"i", i}, {"pad", std::string(300, 'x')}});
        app_log()->info("thread {} line {}", t, i);
      }
    });
  for (auto& th : threads) th.join();
  const auto audit = lines_of(slurp(dir / "audit.log"));
  ASSERT_EQ(audit.size(), 1600u);
  for (const auto& l : audit) ASSERT_NO_THROW(Value::parse(l)) << l;
  EXPECT_EQ(lines_of(slurp(dir / "app.log")).size(), 1600u);
}

// Stands in for a full disk without privileges: past RLIMIT_FSIZE a write
// stops part-way, and the next one fails (EFBIG instead of ENOSPC).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);
    rlimit l{bytes, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &l);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

// Standard error into a file for the life of the object.
class StderrCapture {
 public:
  StderrCapture() : saved_(dup(2)) {
    const int fd = ::open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() {
    dup2(saved_, 2);
    ::close(saved_);
  }
  std::string text() const { return slurp(dir_ / "err"); }

 private:
  TempDir dir_;
  int saved_;
};

size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// The fault: on a full disk audit lines were lost without a trace and a line
// cut off part-way ran into the next one, while the service said all was well.
TEST_F(LoggingTest, AFullDiskLosesNoAuditLineAndLeavesNoFragment) {
  StderrCapture err;
  service.setup_logging(cfg);
  service.audit(Value{{"n", 0}});
  const std::string audit = dir / "audit.log";
  auto audit_lines = [&] {
    std::vector<int> ns;
    for (const auto& l : lines_of(slurp(audit))) {
      const Value v = Value::parse(l, nullptr, false);
      EXPECT_TRUE(v.is_object()) << "not a whole JSON line: " << l.substr(0, 80);
      if (v.is_object()) ns.push_back(v["n"].get<int>());
    }
    return ns;
  };
  const std::string big(1 << 20, 'x');
  int made = 1;
  {
    FileSizeLimit full(std::filesystem::file_size(audit) + 700);
    for (; made <= 20; ++made) service.audit(Value{{"n", made}, {"pad", std::string(200, 'x')}});
    for (int i = 0; i < 9; ++i, ++made) service.audit(Value{{"n", made}, {"pad", big}});  // passes the backlog bound
    const LogHealth h = service.log_health();
    ASSERT_TRUE(h.degraded);
    EXPECT_EQ(*h.degraded, "audit log writes are failing (File too large)");
    EXPECT_EQ(h.details["audit"]["failing"], true);
    EXPECT_NE(h.metrics.find("portico_log_lines_dropped_total{log=\"audit\"} 2\n"), std::string::npos) << h.metrics;
    EXPECT_EQ(h.metrics.find("portico_log_write_failures_total{log=\"audit\"} 0\n"), std::string::npos);
    EXPECT_LT(audit_lines().size(), 20u);
    EXPECT_FALSE(service.flush());
  }
  EXPECT_TRUE(service.flush());
  EXPECT_FALSE(service.log_health().degraded);
  std::vector<int> expected;
  for (int n = 0; n < made - 2; ++n) expected.push_back(n);  // the last two did not fit the backlog
  EXPECT_EQ(audit_lines(), expected);
  const std::string alerts = err.text();
  EXPECT_EQ(count_of(alerts, "audit log " + audit + ": write failed (File too large)"), 1u) << alerts;
  EXPECT_EQ(count_of(alerts, "further lines are dropped and counted"), 1u) << alerts;
  EXPECT_EQ(count_of(alerts, "; 2 lines were dropped"), 1u) << alerts;
}

TEST(AppLogSpec, ParsesAndRejects) {
  auto s = parse_app_log("app.log");
  EXPECT_EQ(s.path, "app.log");
  EXPECT_EQ(s.level, "");
  EXPECT_EQ(s.format, "text");
  s = parse_app_log("/var/log/p.log JSON warning");
  EXPECT_EQ(s.format, "json");
  EXPECT_EQ(s.level, "warning");
  EXPECT_THROW(parse_app_log(""), std::invalid_argument);
  EXPECT_THROW(parse_app_log("a b c d"), std::invalid_argument);
  EXPECT_THROW(parse_app_log("a verbose"), std::invalid_argument);
  EXPECT_THROW(parse_app_log("a info debug"), std::invalid_argument);
}

TEST(AppLogSpec, UnwritableDestinationFailsSetup) {
  MapConfig cfg;
  cfg.set("LogDir", "/proc/portico-cannot-exist");
  cfg.set("AppLog", "app.log");
  LoggingService service;
  EXPECT_THROW(service.setup_logging(cfg), std::system_error);
}

}  // namespace
}  // namespace portico
