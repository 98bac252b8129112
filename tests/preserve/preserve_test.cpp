#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "logging/logging.h"
#include "preserve/preserve.h"
#include "support/map_config.h"
#include "support/support.h"

namespace portico::preserve {
namespace {

namespace fs = std::filesystem;
using test::slurp;
using test::TempDir;

TEST(PreserveSettings, NormaliseAndEnable) {
  EXPECT_EQ(normalize_preserve(Value()), "none");
  EXPECT_EQ(normalize_preserve(Value(true)), "true");
  EXPECT_EQ(normalize_preserve(Value("Flatten")), "flatten");
  EXPECT_EQ(normalize_preserve(Value(" yes")), " yes");
  EXPECT_FALSE(is_preserve_enabled(Value("NONE")));
  EXPECT_FALSE(is_preserve_enabled(Value(false)));
  EXPECT_FALSE(is_preserve_enabled(Value()));
  EXPECT_TRUE(is_preserve_enabled(Value("no")));
  EXPECT_TRUE(is_preserve_enabled(Value(0)));
}

TEST(PreserveEntries, WalkOrderFilesFirstThenSubdirectories) {
  TempDir d;
  d.write("v/b.txt", "b");
  d.write("v/a.txt", "a");
  d.write("v/sub/c.txt", "c");
  const auto e = compute_entries(d / "v", true);
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0], (Entry{"a.txt", d / "v/a.txt"}));
  EXPECT_EQ(e[1], (Entry{"b.txt", d / "v/b.txt"}));
  EXPECT_EQ(e[2], (Entry{"sub/c.txt", d / "v/sub/c.txt"}));
  EXPECT_TRUE(compute_entries(d / "v", false).empty());
  EXPECT_TRUE(compute_entries(d / "missing", true).empty());
  EXPECT_EQ(compute_entries(d / "v/a.txt", false), (std::vector<Entry>{{"a.txt", d / "v/a.txt"}}));
}

TEST(PreserveEntries, LinksOutOfTheVolumeAreLeftOut) {
  TempDir d;
  d.write("secret", "top secret");
  d.write("v/ok.txt", "ok");
  fs::create_symlink(d / "secret", d / "v/leak.txt");
  fs::create_symlink(d / "v/ok.txt", d / "v/alias.txt");
  fs::create_symlink(d.str(), d / "v/up");
  const auto e = compute_entries(d / "v", true);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].first, "alias.txt");
  EXPECT_EQ(e[1].first, "ok.txt");
  fs::create_directories(d / "f");
  fs::create_symlink(d / "secret", d / "f/file.txt");
  EXPECT_TRUE(compute_entries(d / "f/file.txt", false).empty());
}

TEST(PreserveEntries, DestinationLayouts) {
  const Value c1("c1");
  EXPECT_EQ(_dest_path("sub/x.txt", "flatten", Value(), "/var/log/portico", c1), "/var/log/portico/c1_sub_x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "flatten", Value("db"), "/var/log/portico", c1), "/var/log/portico/c1_db_sub_x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "flatten", Value(""), "/l", c1), "/l/c1_sub_x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "yes", Value(), "/var/log/portico", c1), "/var/log/portico/c1/sub/x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "true", Value("db"), "/var/log/portico", c1), "/var/log/portico/c1/db/sub/x.txt");
  EXPECT_THROW(_dest_path("x", "yes", Value(3), "/l", c1), std::invalid_argument);
  EXPECT_THROW(_dest_path("x", "yes", Value("../../etc"), "/l", c1), std::invalid_argument);
  EXPECT_THROW(_dest_path("x", "yes", Value("/etc"), "/l", c1), std::invalid_argument);
}

class Streams : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg.set("LogDir", logs.str());
    cfg.set("AppLog", "app.log");
    service.setup_logging(cfg);
  }
  TempDir logs;
  test::MapConfig cfg;
  LoggingService service;
};

TEST_F(Streams, ExpandAndWrite) {
  EXPECT_TRUE(expand_preserve_streams(Value(false)).empty());
  EXPECT_TRUE(expand_preserve_streams(Value()).empty());
  EXPECT_TRUE(expand_preserve_streams(Value::array()).empty());
  EXPECT_EQ(expand_preserve_streams(Value(true)).dump(), R"([{"stream":"stderr"},{"stream":"stdout"}])");
  const Value entries = Value::parse(R"([{"stream":"stdout","filename":"run.txt","flatten":true},
    {"stream":"stdout","filename":""},{"stream":"stderr"},{"stream":"stdin"}])");
  preserve_streams(entries, std::string("out"), std::string(""), logs.str(), std::string("c1"));
  EXPECT_EQ(slurp(logs / "c1_run.txt"), "out");
  EXPECT_EQ(slurp(logs / "c1/stdout.log"), "out");
  EXPECT_FALSE(fs::exists(logs / "c1/stderr.log"));  // empty streams leave no file
  preserve_streams(entries, std::nullopt, std::nullopt, logs.str(), std::string("c2"));
  EXPECT_FALSE(fs::exists(logs / "c2"));
  EXPECT_THROW(preserve_streams(Value::parse(R"([{"filename":"x"}])"), std::string("o"), std::nullopt, logs.str(),
                                std::string("c3")),
               std::runtime_error);
}

TEST_F(Streams, WriteFailuresAreLoggedAndSkipped) {
  logs.write("blocked", "a file where a directory should be");
  const Value entries = Value::parse(R"([{"stream":"stdout"},{"stream":"stderr","flatten":true}])");
  preserve_streams(entries, std::string("o"), std::string("e"), logs / "blocked", std::string("c4"));
  EXPECT_NE(slurp(logs / "app.log").find("ERROR portico Stream preserve failed: failed to preserve stdout to '" +
                                         logs / "blocked/c4/stdout.log" + "': "),
            std::string::npos);
  EXPECT_NE(slurp(logs / "app.log").find("failed to preserve stderr"), std::string::npos);
}

}  // namespace
}  // namespace portico::preserve
