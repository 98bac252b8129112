#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/text.h"
#include "config/internal.h"
#include "scratch/scratch.h"
#include "support/support.h"

namespace portico::scratch {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Definitions as the alias loader makes them.
AliasDefinition alias(const char* json) { return *config_internal::parse_alias(Value::parse(json)); }

TEST(RunDirDecision, ProcessAliases) {
  EXPECT_TRUE(needs_run_dir(alias(R"({"type":"process","files":[{"location":"in.txt"}]})")));
  EXPECT_FALSE(needs_run_dir(alias(R"({"type":"process","output":{"single_value":{"source":"%stdOut"}}})")));
  EXPECT_TRUE(needs_run_dir(alias(R"({"type":"process","output":{"single_value":{"source":"out/result.txt"}}})")));
  EXPECT_FALSE(needs_run_dir(alias(R"({"type":"process","output":{"multiple_values":[{"source":"%exitCode"}]}})")));
  EXPECT_TRUE(needs_run_dir(alias(R"({"type":"process","output":{"multiple_values":[{"source":"x"},{"source":"dir/"}]}})")));
  EXPECT_FALSE(needs_run_dir(alias(R"({"type":"process","files":[]})")));
}

TEST(RunDirDecision, ContainerAliasesAndUnknownTypes) {
  EXPECT_FALSE(needs_run_dir(alias(R"({"type":"container","volumes":[{"source":"/data","location":"/d"}]})")));
  EXPECT_TRUE(needs_run_dir(alias(R"({"type":"container","volumes":[{"source":"data","location":"/d"}]})")));
  const AliasDefinition autovol = alias(R"({"type":"container","volumes":[{"location":"/d"}]})");
  EXPECT_TRUE(needs_run_dir(autovol));
  EXPECT_TRUE(needs_auto_dir(autovol));
  EXPECT_TRUE(needs_external_dir(autovol));
  EXPECT_FALSE(needs_auto_dir(alias(R"({"type":"container","volumes":[{"source":"","location":"/d"}]})")));
  EXPECT_FALSE(needs_run_dir(alias(R"({"type":"Container","volumes":[{"location":"/d"}]})")));
  EXPECT_FALSE(needs_run_dir(alias(R"({"files":[{"location":"x"}]})")));
}

TEST(RunDirLifecycle, CreateNamesByCorrelationIdAndCleansUp) {
  TempDir shared;
  const AliasDefinition proc = alias(R"({"type":"process","files":[{"location":"in"}]})");
  const Value info = create(shared.str() + "/", proc, std::string("3f2a9c"));
  EXPECT_EQ(info.dump(), Value({{"run_dir", shared / "3f2a9c"}, {"auto_dir", nullptr}}).dump());
  EXPECT_TRUE(fs::is_directory(shared / "3f2a9c"));

  const AliasDefinition ctr = alias(R"({"type":"container","volumes":[{"location":"/x"}]})");
  const Value info2 = create(shared.str(), ctr);
  const std::string run_dir = info2["run_dir"];
  EXPECT_TRUE(is_uuid(fs::path(run_dir).filename().string()));
  EXPECT_EQ(info2["auto_dir"], run_dir + "/auto");
  EXPECT_TRUE(fs::is_directory(run_dir + "/auto"));

  // A read-only subdirectory left by a command must not keep the rest alive.
  fs::create_directories(run_dir + "/ro/deep");
  std::ofstream(run_dir + "/ro/deep/f") << "x";
  chmod((run_dir + "/ro").c_str(), 0500);
  cleanup(run_dir);
  EXPECT_FALSE(fs::exists(run_dir));
  cleanup(info["run_dir"].get<std::string>());
  EXPECT_FALSE(fs::exists(shared / "3f2a9c"));
  cleanup(std::nullopt);
  cleanup(std::string());
  cleanup(shared / "does-not-exist");
}

TEST(RunDirLifecycle, RefusesUnsafeNamesAndBlockedPaths) {
  TempDir shared;
  const AliasDefinition proc = alias(R"({"type":"process"})");
  EXPECT_THROW(create(shared.str(), proc, std::string("../escape")), std::invalid_argument);
  EXPECT_THROW(create(shared.str(), proc, std::string("..")), std::invalid_argument);
  shared.write("file", "x");
  EXPECT_THROW(create(shared / "file", proc, std::string("id")), std::system_error);
}

}  // namespace
}  // namespace portico::scratch
