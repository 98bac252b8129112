#include <gtest/gtest.h>

#include "portico/cli.h"
#include "portico/process.h"
#include "support/support.h"

#include <cstdlib>

namespace portico::app {
namespace {

ParseOutcome parse(std::vector<std::string> args) {
  args.insert(args.begin(), "portico");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::FILE* devnull = std::fopen("/dev/null", "w");
  ParseOutcome o = parse_args(static_cast<int>(args.size()), argv.data(), devnull, devnull);
  std::fclose(devnull);
  return o;
}

TEST(Overrides, FollowTheTableOrderAndKeepEmptyValues) {
  EXPECT_EQ(CLI_TO_KEY.size(), 22u);
  const ParseOutcome o = parse({"--prefetch-image", "no", "--log-dir", "", "--pid-file=/p", "--listen-port", "1",
                                "--listen-port", "2", "--daemon"});
  ASSERT_EQ(o.exit_status, -1);
  EXPECT_TRUE(o.args.daemon);
  const auto ov = build_overrides(o.args);
  ASSERT_TRUE(ov.has_value());
  EXPECT_EQ(*ov, (Overrides{{"PidFile", "/p"}, {"ListenPort", "2"}, {"LogDir", ""}, {"PrefetchImage", "no"}}));
}

TEST(Overrides, NoOptionsMeansNoOverrideMapAtAll) {
  const ParseOutcome o = parse({});
  EXPECT_FALSE(build_overrides(o.args).has_value());
  EXPECT_FALSE(o.args.config.has_value());
  EXPECT_EQ(parse({"--config", "/etc/portico/portico.conf"}).args.config, "/etc/portico/portico.conf");
}

TEST(Version, ComesFromThePackageThatInstalledThisProgram) {
  test::TempDir dpkg;
  dpkg.write("info/portico.list", "/.\n/usr\n/usr/bin\n/usr/bin/portico\n/usr/lib/portico/libexecutor.so\n");
  dpkg.write("status", "Package: other\nStatus: install ok installed\nVersion: 9\n\n"
                       "Package: portico\nStatus: install ok installed\nArchitecture: amd64\nVersion: 1.2.3-1\n");
  EXPECT_EQ(_package_version("/usr/bin/portico", dpkg.str()), "1.2.3-1");
  EXPECT_EQ(_package_version("/home/dev/portico/build/portico/portico", dpkg.str()), std::nullopt);
  dpkg.write("status", "Package: portico\nStatus: deinstall ok config-files\nVersion: 1.2.3-1\n\n");
  EXPECT_EQ(_package_version("/usr/bin/portico", dpkg.str()), std::nullopt);
  EXPECT_EQ(_package_version("/usr/bin/portico", dpkg / "missing"), std::nullopt);
}

TEST(MissingConfigWarning, OnlyForTheDefaultPath) {
  EXPECT_EQ(_missing_config_warning("/nonexistent/p.conf", true),
            "Config file not found: /nonexistent/p.conf. Starting with default settings.");
  EXPECT_FALSE(_missing_config_warning("/nonexistent/p.conf", false).has_value());
  EXPECT_FALSE(_missing_config_warning("/", true).has_value());  // a directory counts as existing
}

TEST(ContainerMode, SettingWinsAndOnlyOneOrTrueMeanContainer) {
  for (const char* yes : {"1", "true", "TRUE", "True"})
    EXPECT_EQ(_container_mode_description(Value(yes)), "Running on container (configured)") << yes;
  for (const char* no : {"0", "false", "yes", "on", ""})
    EXPECT_EQ(_container_mode_description(Value(no)), "Running on host (configured)") << no;
  EXPECT_TRUE(_is_running_in_container(Value(true)));
  EXPECT_FALSE(_is_running_in_container(Value(false)));
  EXPECT_TRUE(_is_running_in_container(Value(1)));
  setenv("container", "", 1);
  EXPECT_EQ(_container_mode_description(Value()), "Running on container (DETECTED)");
  EXPECT_TRUE(_external_dir_startup_warning(Value(), Value("")).has_value());
  EXPECT_FALSE(_external_dir_startup_warning(Value(), Value("/srv/shared")).has_value());
  unsetenv("container");
  EXPECT_FALSE(_external_dir_startup_warning(Value("0"), Value()).has_value());
}

}  // namespace
}  // namespace portico::app
