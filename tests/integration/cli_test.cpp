#include <gtest/gtest.h>

#include "integration/harness.h"

namespace portico::test {
namespace {

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

TEST(CommandLine, HelpListsEveryOptionWithPlaceholders) {
  for (const char* flag : {"-h", "--help", "--hel"}) {
    const Exit e = run_portico({flag});
    EXPECT_EQ(e.status, 0) << flag;
    EXPECT_TRUE(contains(e.out, "Portico - Secure Execution Gateway"));
    EXPECT_TRUE(contains(e.out, "--ssl-enabled true|false|1|0"));
    EXPECT_TRUE(contains(e.out, "--prefetch-image on-start|on-config-change|no"));
    EXPECT_TRUE(contains(e.out, "Override AppLog from configuration (path [level] [format])"));
    EXPECT_TRUE(contains(e.out, "Configuration file path (default: /etc/portico/portico.conf)"));
    EXPECT_TRUE(contains(e.out, "Detach from the terminal and run as a background daemon"));
    EXPECT_EQ(e.err, "");
  }
}

TEST(CommandLine, VersionNeedsNoConfiguration) {
  const Exit e = run_portico({"--version", "--config", "/nonexistent/portico.conf"});
  EXPECT_EQ(e.status, 0);
  EXPECT_TRUE(e.out.rfind("Portico ", 0) == 0) << e.out;
  EXPECT_EQ(e.out.back(), '\n');
  EXPECT_NE(e.out, "Portico \n");
}

TEST(CommandLine, BadCommandLinesExitWithStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"--no-such-option"}, {"positional"}, {"--config"}, {"--listen-port"},
      {"--a", "x"},  // ambiguous: auth-dir, alias-dir, audit-log, app-log, ...
      {"--daemon=yes"}, {"-x"},
  };
  for (const auto& args : bad) {
    const Exit e = run_portico(args);
    EXPECT_EQ(e.status, 2) << args[0];
    EXPECT_TRUE(contains(e.err, "usage: portico")) << e.err;
    EXPECT_TRUE(contains(e.err, "error:")) << e.err;
    EXPECT_EQ(e.out, "");
  }
}

TEST(CommandLine, ExplicitMissingConfigIsAnErrorAndReachesThePreInitLog) {
  const std::string missing = "/nonexistent-portico-dir/portico.conf";
  const Exit e = run_portico({"--config", missing});
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.err, "ERROR: Configuration file not found: " + missing + "\n");
  const std::string log = slurp("/var/log/portico/app.log");
  if (!log.empty()) {
    EXPECT_TRUE(contains(log, " ERROR portico Configuration file not found: " + missing));
  }
}

TEST(CommandLine, EveryConfigErrorIsReportedInOrder) {
  TempDir dir;
  const std::string conf = dir.write("portico.conf", "ListenPort http\nBogusKey 1\n");
  const Exit e = run_portico({"--config", conf, "--max-timeout", "soon"});
  EXPECT_EQ(e.status, 1);
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < e.err.size();) {
    const size_t nl = e.err.find('\n', pos);
    lines.push_back(e.err.substr(pos, nl - pos));
    pos = nl + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << e.err;
  for (const auto& l : lines) EXPECT_EQ(l.rfind("CONFIG ERROR: ", 0), 0u) << l;
  EXPECT_TRUE(contains(lines[0], "ListenPort"));
  EXPECT_TRUE(contains(lines[1], "BogusKey"));
  EXPECT_TRUE(contains(lines[2], "MaxTimeout"));
}

TEST(CommandLine, OverridesWinAndTheLastOccurrenceCounts) {
  // A non-numeric port on the command line reaches the store, which refuses it;
  // the second occurrence replaces the first.
  TempDir dir;
  const std::string conf = dir.write("portico.conf", "ListenPort 8080\n");
  Exit e = run_portico({"--config", conf, "--listen-port", "1234", "--listen-port", "nope"});
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "CONFIG ERROR: ")) << e.err;
  EXPECT_TRUE(contains(e.err, "nope")) << e.err;
  // Unambiguous prefixes and --opt=value are accepted.
  e = run_portico({"--config=" + conf, "--listen-p=nope"});
  EXPECT_TRUE(contains(e.err, "nope")) << e.err;
}

}  // namespace
}  // namespace portico::test
