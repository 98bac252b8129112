#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

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
