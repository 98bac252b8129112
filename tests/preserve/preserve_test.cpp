#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <sstream>

#include "logging/logging.h"
#include "preserve/preserve.h"
#include "support/map_config.h"
#include "support/support.h"

namespace portico::preserve {
namespace {

namespace fs = std::filesystem;
using test::slurp;
using test::TempDir;

// Every test logs into its own app.log so that log lines can be checked.
class Preserve : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg.set("LogDir", logs.str());
    cfg.set("LogLevel", "info");
    cfg.set("AppLog", "app.log");
    cfg.set("AuditLog", "none");
    service.setup_logging(cfg);
  }
  std::string log_text() const { return slurp(logs / "app.log"); }
  size_t log_count(const std::string& needle) const {
    size_t n = 0;
    std::istringstream in(log_text());
    for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
    return n;
  }
  // Files below `dir`, relative, sorted.
  static std::vector<std::string> tree(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (!e.is_directory()) out.push_back(fs::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
  }

  TempDir logs, run;
  test::MapConfig cfg;
  LoggingService service;
};

TEST(PreserveSettings, NormaliseAndEnable) {
  EXPECT_EQ(normalize_preserve(Value()), "none");
  EXPECT_EQ(normalize_preserve(Value(true)), "true");
  EXPECT_EQ(normalize_preserve(Value("Flatten")), "flatten");
  EXPECT_EQ(normalize_preserve(Value(" yes")), " yes");
  EXPECT_EQ(normalize_preserve(Value(1.5)), "1.5");
  EXPECT_FALSE(is_preserve_enabled(Value("NONE")));
  EXPECT_FALSE(is_preserve_enabled(Value("False")));
  EXPECT_FALSE(is_preserve_enabled(Value(false)));
  EXPECT_FALSE(is_preserve_enabled(Value()));
  EXPECT_TRUE(is_preserve_enabled(Value("no")));
  EXPECT_TRUE(is_preserve_enabled(Value(" none")));
  EXPECT_TRUE(is_preserve_enabled(Value(0)));
}

TEST_F(Preserve, WalkOrderFilesFirstThenSubdirectories) {
  run.write("v/b.txt", "b");
  run.write("v/a.txt", "a");
  run.write("v/sub/c.txt", "c");
  run.write("v/sub/deeper/d.txt", "d");
  run.write("v/sub/Z.txt", "Z");
  // Directory volumes arrive with a trailing "/"; paths must not double it.
  const auto e = compute_entries(run / "v/", true);
  const std::vector<Entry> want{{"a.txt", run / "v/a.txt"},
                                {"b.txt", run / "v/b.txt"},
                                {"sub/Z.txt", run / "v/sub/Z.txt"},
                                {"sub/c.txt", run / "v/sub/c.txt"},
                                {"sub/deeper/d.txt", run / "v/sub/deeper/d.txt"}};
  EXPECT_EQ(e, want);
  EXPECT_TRUE(compute_entries(run / "v", false).empty());
  EXPECT_TRUE(compute_entries(run / "missing/", true).empty());
  EXPECT_TRUE(compute_entries(run / "missing.txt", false).empty());
  EXPECT_EQ(compute_entries(run / "v/a.txt", false), (std::vector<Entry>{{"a.txt", run / "v/a.txt"}}));
}

TEST_F(Preserve, LinksOutOfTheVolumeAreLeftOutWithAWarning) {
  run.write("secret", "top secret");
  run.write("v/ok.txt", "ok");
  fs::create_symlink(run / "secret", run / "v/leak.txt");
  fs::create_symlink("../secret", run / "v/relative-leak.txt");
  fs::create_symlink(run / "v/leak.txt", run / "v/chain.txt");  // inside, but ends outside
  fs::create_symlink(run / "v/ok.txt", run / "v/alias.txt");
  fs::create_symlink(run.str(), run / "v/up");  // a directory: never followed
  fs::create_symlink(run / "v/gone", run / "v/dangling");
  std::vector<std::string> names;
  for (const auto& [rel, abs] : compute_entries(run / "v/", true)) names.push_back(rel);
  // A dangling link stays listed: its copy fails and says so.
  EXPECT_EQ(names, (std::vector<std::string>{"alias.txt", "dangling", "ok.txt"}));
  EXPECT_EQ(log_count("WARNING portico Not preserving '" + run / "v/leak.txt" + "': it links outside the volume"), 1u);
  EXPECT_EQ(log_count("it links outside the volume"), 3u);

  // A file volume may be a link within its own directory, not beyond it.
  run.write("f/real.ini", "x");
  fs::create_symlink(run / "secret", run / "f/app.ini");
  fs::create_symlink("real.ini", run / "f/inside.ini");
  EXPECT_TRUE(compute_entries(run / "f/app.ini", false).empty());
  EXPECT_EQ(compute_entries(run / "f/inside.ini", false), (std::vector<Entry>{{"inside.ini", run / "f/inside.ini"}}));
  // Nor may a directory volume be a link out of its parent.
  fs::create_directories(run / "outside");
  run.write("outside/x.txt", "x");
  fs::create_directories(run / "r");
  fs::create_symlink(run / "outside", run / "r/vol");
  EXPECT_TRUE(compute_entries(run / "r/vol/", true).empty());
  EXPECT_EQ(log_count("Not preserving '" + run / "r/vol/" + "'"), 1u);
}

TEST(PreserveDestinations, LayoutsAndRefusals) {
  const Value c1("c1");
  EXPECT_EQ(_dest_path("sub/x.txt", "flatten", Value(), "/var/log/portico", c1), "/var/log/portico/c1_sub_x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "flatten", Value("db"), "/var/log/portico", c1),
            "/var/log/portico/c1_db_sub_x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "flatten", Value(""), "/l", c1), "/l/c1_sub_x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "yes", Value(), "/var/log/portico", c1), "/var/log/portico/c1/sub/x.txt");
  EXPECT_EQ(_dest_path("sub/x.txt", "true", Value("db"), "/var/log/portico", c1), "/var/log/portico/c1/db/sub/x.txt");
  EXPECT_EQ(_dest_path("x", "Flatten", Value(""), "/l", c1), "/l/c1/x");  // only exactly "flatten" flattens
  EXPECT_EQ(_dest_path("x", "yes", Value("a/b"), "/l", c1), "/l/c1/a/b/x");
  EXPECT_THROW(_dest_path("x", "yes", Value(3), "/l", c1), std::invalid_argument);
  EXPECT_THROW(_dest_path("x", "yes", Value(), "/l", Value(7)), std::invalid_argument);
  for (const char* bad : {"../../etc", "/etc", "a/../..", ".."})
    for (const char* mode : {"yes", "flatten"}) {
      EXPECT_THROW(_dest_path("x", mode, Value(bad), "/l", c1), std::invalid_argument) << bad;
      EXPECT_THROW(_dest_path("x", mode, Value(), "/l", Value(bad)), std::invalid_argument) << bad;
    }
  EXPECT_THROW(_dest_path("x", "yes", Value(std::string("..\0x", 4)), "/l", Value("c1")), std::invalid_argument);
  EXPECT_EQ(_dest_path("x", "yes", Value("..a"), "/l", c1), "/l/c1/..a/x");
}

TEST_F(Preserve, CopiesKeepContentPermissionsAndTimesButNotSetuid) {
  run.write("v/tool", "#!/bin/sh\n");
  run.write("v/data.txt", "new");
  ::chmod((run / "v/tool").c_str(), 04755);
  ::chmod((run / "v/data.txt").c_str(), 0604);
  const struct timespec times[2] = {{1000000000, 0}, {1200000000, 500}};
  ::utimensat(AT_FDCWD, (run / "v/data.txt").c_str(), times, 0);
  fs::create_symlink("data.txt", run / "v/link.txt");
  logs.write("c1/data.txt", "an older, longer copy");

  EXPECT_TRUE(preserve_volume(run / "v/", true, "true", Value(), logs.str(), Value("c1")).empty());
  struct stat st;
  ASSERT_EQ(::stat((logs / "c1/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat((logs / "c1/data.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500);
  EXPECT_EQ(slurp(logs / "c1/data.txt"), "new");
  // A link inside the volume is preserved as its target's content.
  EXPECT_EQ(slurp(logs / "c1/link.txt"), "new");
  EXPECT_FALSE(fs::is_symlink(logs / "c1/link.txt"));
}

TEST_F(Preserve, VolumesLandInTheirLayouts) {
  run.write("db/a.txt", "a");
  run.write("db/sub/b.txt", "b");
  run.write("cfg/app.ini", "ini");
  const std::vector<VolumeSpec> specs{{run / "db/", true, "flatten", Value("db")},
                                      {run / "cfg/app.ini", false, "yes", Value()},
                                      {run / "cfg/deleted.ini", false, "true", Value()}};
  preserve_volumes(specs, Value(logs / "out"), std::string("c1"));
  EXPECT_EQ(tree(logs / "out"), (std::vector<std::string>{"c1/app.ini", "c1_db_a.txt", "c1_db_sub_b.txt"}));
  EXPECT_EQ(slurp(logs / "out/c1_db_sub_b.txt"), "b");
  preserve_volumes(specs, Value(logs / "out2"), std::nullopt);
  EXPECT_TRUE(fs::exists(logs / "out2/unknown/app.ini"));
  preserve_volumes({}, Value(logs / "untouched"), std::string("c1"));
  EXPECT_FALSE(fs::exists(logs / "untouched"));
  EXPECT_EQ(log_text(), "");  // a deleted volume is silently absent
}

TEST_F(Preserve, FailuresAreLoggedPerFileAndPerVolume) {
  run.write("v/a.txt", "a");
  run.write("v/b.txt", "b");
  logs.write("blocked", "a file where a directory should be");
  preserve_volumes({{run / "v/", true, "true", Value()}}, Value(logs / "blocked"), std::string("c1"));
  EXPECT_EQ(log_count("ERROR portico Volume preserve failed: failed to preserve '" + run / "v/a.txt" + "' to '" +
                      logs / "blocked/c1/a.txt" + "': "),
            1u);
  EXPECT_EQ(log_count("Volume preserve failed: failed to preserve"), 2u);

  // A prefix that is not text abandons its volume only.
  run.write("f/keep.txt", "k");
  preserve_volumes({{run / "v/", true, "true", Value(5)}, {run / "f/keep.txt", false, "true", Value()}},
                   Value(logs / "out"), std::string("c2"));
  EXPECT_EQ(log_count("ERROR portico Volume preserve failed for '" + run / "v/" + "': "), 1u);
  EXPECT_EQ(tree(logs / "out"), (std::vector<std::string>{"c2/keep.txt"}));
}

TEST_F(Preserve, FilesThatCannotBeCopiedAreReportedNotRead) {
  run.write("v/ok.txt", "ok");
  ASSERT_EQ(::mkfifo((run / "v/pipe").c_str(), 0644), 0);  // reading it would block forever
  fs::create_symlink(run / "v/gone", run / "v/dangling");
  const auto errors = preserve_volume(run / "v/", true, "true", Value(), logs.str(), Value("c1"));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("failed to preserve '" + run / "v/dangling" + "' to '" + logs / "c1/dangling" + "': ", 0),
            0u);
  EXPECT_EQ(errors[1], "failed to preserve '" + run / "v/pipe" + "' to '" + logs / "c1/pipe" + "': not a regular file");
  EXPECT_EQ(tree(logs / "c1"), (std::vector<std::string>{"ok.txt"}));
}

TEST_F(Preserve, PlantedLinksAndHostileNamesNeverLeaveTheirPlace) {
  run.write("secret", "top secret");
  run.write("v/result.txt", "fine");
  fs::create_symlink(run / "secret", run / "v/shadow.txt");
  preserve_volumes({{run / "v/", true, "true", Value()}}, Value(logs / "out"), std::string("c1"));
  EXPECT_EQ(tree(logs / "out"), (std::vector<std::string>{"c1/result.txt"}));
  EXPECT_EQ(log_count("WARNING portico Not preserving '" + run / "v/shadow.txt" + "'"), 1u);

  // Prefixes and ids that climb out are refused for the whole volume, with a warning.
  const std::string target = logs / "escaped";
  preserve_volumes({{run / "v/", true, "flatten", Value("../escaped")}, {run / "v/", true, "yes", Value(target)}},
                   Value(logs / "out2"), std::string("c1"));
  preserve_volumes({{run / "v/", true, "yes", Value()}}, Value(logs / "out3"), std::string("../escaped"));
  EXPECT_FALSE(fs::exists(target));
  EXPECT_FALSE(fs::exists(logs / "out2"));
  EXPECT_FALSE(fs::exists(logs / "out3"));
  EXPECT_EQ(log_count("WARNING portico Not preserving '" + run / "v/" + "': preservePrefix '../escaped' leads"), 1u);
  EXPECT_EQ(log_count("leads out of the log directory"), 3u);
  EXPECT_EQ(log_count("ERROR"), 0u);
}

TEST_F(Preserve, StreamsExpandAndWrite) {
  EXPECT_TRUE(expand_preserve_streams(Value(false)).empty());
  EXPECT_TRUE(expand_preserve_streams(Value()).empty());
  EXPECT_TRUE(expand_preserve_streams(Value::array()).empty());
  EXPECT_EQ(expand_preserve_streams(Value(true)).dump(), R"([{"stream":"stderr"},{"stream":"stdout"}])");
  // A mistyped setting is not ignored: its elements fail at the end of the run.
  EXPECT_EQ(expand_preserve_streams(Value("é!")).dump(), R"(["é","!"])");
  EXPECT_EQ(expand_preserve_streams(Value{{"stream", "stdout"}}).dump(), R"(["stream"])");
  EXPECT_THROW(expand_preserve_streams(Value(2)), std::invalid_argument);

  const Value entries = Value::parse(R"([{"stream":"stdout","filename":"run.txt","flatten":true},
    {"stream":"stdout","filename":""},{"stream":"stderr"},{"stream":"stdin"},{"stream":"stdout","flatten":0}])");
  preserve_streams(entries, std::string("out\xff!"), std::string(""), logs.str(), std::string("c1"));
  EXPECT_EQ(slurp(logs / "c1_run.txt"), "out\xEF\xBF\xBD!");
  EXPECT_EQ(slurp(logs / "c1/stdout.log"), "out\xEF\xBF\xBD!");
  EXPECT_FALSE(fs::exists(logs / "c1/stderr.log"));  // empty streams leave no file
  preserve_streams(entries, std::nullopt, std::nullopt, logs.str(), std::string("c2"));
  EXPECT_FALSE(fs::exists(logs / "c2"));
  const Value both = expand_preserve_streams(Value(true));
  preserve_streams(both, std::string("o"), std::nullopt, Value(logs / "d"), std::nullopt);
  EXPECT_EQ(tree(logs / "d"), (std::vector<std::string>{"unknown/stdout.log"}));

  // Entries before a malformed one are written; the failure goes to the caller.
  const Value bad = Value::parse(R"([{"stream":"stderr","filename":"first.log"},{"filename":"x"}])");
  EXPECT_THROW(preserve_streams(bad, std::nullopt, std::string("e"), logs.str(), std::string("c3")),
               std::runtime_error);
  EXPECT_EQ(slurp(logs / "c3/first.log"), "e");
  EXPECT_THROW(preserve_streams(expand_preserve_streams(Value("stdout")), std::string("o"), std::nullopt, logs.str(),
                                std::string("c4")),
               std::runtime_error);
}

TEST_F(Preserve, StreamWriteFailuresAreLoggedAndSkipped) {
  logs.write("blocked", "a file where a directory should be");
  const Value entries =
      Value::parse(R"([{"stream":"stdout"},{"stream":"stderr","flatten":true},{"stream":"stderr","filename":"ok"}])");
  preserve_streams(entries, std::string("o"), std::string("e"), Value(logs / "blocked"), std::string("c4"));
  EXPECT_EQ(log_count("ERROR portico Stream preserve failed: failed to preserve stdout to '" +
                      logs / "blocked/c4/stdout.log" + "': "),
            1u);
  EXPECT_EQ(log_count("Stream preserve failed: failed to preserve stderr to '" + logs / "blocked/c4_stderr.log"), 1u);
  EXPECT_EQ(log_count("Stream preserve failed"), 3u);
}

TEST_F(Preserve, StreamNamesThatClimbOutAreRefused) {
  const std::string outside = run / "planted";
  const Value entries = Value::array(
      {Value{{"stream", "stdout"}, {"filename", outside}}, Value{{"stream", "stdout"}, {"filename", "../../planted"}},
       Value{{"stream", "stdout"}, {"filename", "../planted"}, {"flatten", true}},
       Value{{"stream", "stderr"}, {"filename", "fine.log"}}});
  preserve_streams(entries, std::string("o"), std::string("e"), Value(logs / "l"), std::string("c1"));
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_EQ(tree(logs / "l"), (std::vector<std::string>{"c1/fine.log"}));
  EXPECT_EQ(log_count("WARNING portico Not preserving stdout: file name '" + outside + "' leads out of the log"), 1u);
  EXPECT_EQ(log_count("leads out of the log directory"), 3u);

  preserve_streams(expand_preserve_streams(Value(true)), std::string("o"), std::nullopt, Value(logs / "m"),
                   std::string("../../m"));
  EXPECT_FALSE(fs::exists(logs / "m"));
  EXPECT_EQ(log_count("Not preserving stdout: correlation id '../../m' leads out of the log directory"), 1u);
}

}  // namespace
}  // namespace portico::preserve
