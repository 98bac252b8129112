#include <gtest/gtest.h>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "executor/fixture.h"
#include "support/support.h"

namespace portico {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

size_t count_entries(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
  return n;
}

// Children of this process, zombies included.
size_t count_children() {
  size_t n = 0;
  const std::string me = std::to_string(getpid());
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = test::slurp(e.path().string() + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    // fields after ") ": state ppid ...
    size_t p = stat.find(' ', paren + 2);
    if (p == std::string::npos) continue;
    const std::string ppid = stat.substr(p + 1, stat.find(' ', p + 1) - p - 1);
    if (ppid == me) ++n;
  }
  return n;
}

bool process_with_cmdline(const std::string& needle) {
  for (const auto& e : fs::directory_iterator("/proc")) {
    if (e.path().filename().string().find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmd = test::slurp(e.path().string() + "/cmdline");
    for (char& c : cmd)
      if (c == '\0') c = ' ';
    if (cmd.find(needle) != std::string::npos) {
      const std::string stat = test::slurp(e.path().string() + "/stat");
      const size_t paren = stat.rfind(')');
      if (paren != std::string::npos && stat[paren + 2] != 'Z') return true;
    }
  }
  return false;
}

class ProcessRuns : public test::ExecutorFixture {};

std::vector<std::string> keys_of(const Value& v) {
  std::vector<std::string> out;
  for (auto it = v.begin(); it != v.end(); ++it) out.push_back(it.key());
  return out;
}

TEST_F(ProcessRuns, CompletedRunsKeepExitStatusAndNormaliseNewlines) {
  Value r = run(R"({"type":"process","command":"exit 3"})");
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "returncode", "pid", "stdout", "stderr", "file_outputs"}));
  EXPECT_EQ(r["success"], true);
  EXPECT_EQ(r["returncode"], 3);
  EXPECT_EQ(r["stdout"], "");
  EXPECT_TRUE(r["pid"].is_number_integer());
  r = run(R"({"type":"process","command":"printf 'a\\r\\nb\\rc'; printf err >&2"})");
  EXPECT_EQ(r["stdout"], "a\nb\nc");
  EXPECT_EQ(r["stderr"], "err");
  r = run(R"({"type":"process","command":"kill -TERM $$"})");
  EXPECT_EQ(r["returncode"], -15);
  r = run(R"({"type":"process"})");
  EXPECT_EQ(r["returncode"], 0);
  // Large output on both pipes at once does not stall.
  r = run(R"({"type":"process","command":"head -c 300000 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero | tr '\\0' y >&2"})");
  EXPECT_EQ(r["stdout"].get<std::string>().size(), 300000u);
  EXPECT_EQ(r["stderr"].get<std::string>().size(), 300000u);
}

TEST_F(ProcessRuns, EnvironmentIsInheritedOrExtended) {
  setenv("PORTICO_TEST_INHERITED", "yes", 1);
  Value r = run(R"({"type":"process","command":"echo $PORTICO_TEST_INHERITED-$EXTRA"})");
  EXPECT_EQ(r["stdout"], "yes-\n");
  r = run(R"({"type":"process","command":"echo $PORTICO_TEST_INHERITED-$EXTRA-$FLAG-$RATIO",
             "environment":{"EXTRA":"{{ who }}","FLAG":true,"RATIO":0.5},
             "parameters":{"who":{"type":"string"}}})",
          Value{{"who", "x y"}});
  EXPECT_EQ(r["stdout"], "yes-x y-true-0.5\n");
}

TEST_F(ProcessRuns, TimeOutKillsTheWholeGroupAndDoesNotWaitForStragglers) {
  const auto t0 = Clock::now();
  Value r = run(R"({"type":"process","command":"sleep 100.25 & sleep 100.25; echo never","timeout":1})");
  const auto took = Clock::now() - t0;
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "timed_out", "returncode", "pid", "error"}));
  EXPECT_EQ(r["error"], "Command timed out after 1 seconds");
  EXPECT_TRUE(r["returncode"].is_null());
  EXPECT_LT(took, std::chrono::seconds(4));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(process_with_cmdline("sleep 100.25"));

  // A descendant that left the group keeps the pipe open; the call still returns.
  const auto t1 = Clock::now();
  r = run(R"({"type":"process","command":"setsid sleep 100.5 & sleep 100.5","timeout":0.5})");
  EXPECT_EQ(r["error"], "Command timed out after 0.5 seconds");
  EXPECT_LT(Clock::now() - t1, std::chrono::seconds(4));
  system("pkill -f 'sleep 100.5'");
}

TEST_F(ProcessRuns, StreamPastTheOutputLimitKillsTheGroupAndFailsTheRun) {
  cfg.set("MaxOutputBytes", 4096);
  // Exactly at the limit, on both streams: untouched.
  Value r = run(R"({"type":"process","command":"head -c 4096 /dev/zero | tr '\\0' a; head -c 4096 /dev/zero >&2"})");
  ASSERT_EQ(r["success"], true) << r.dump();
  EXPECT_EQ(r["stdout"], std::string(4096, 'a'));
  EXPECT_EQ(r["stderr"], std::string(4096, '\0'));
  for (const auto& [command, stream] : {std::pair{"head -c 4097 /dev/zero", "stdout"}, {"head -c 4097 /dev/zero >&2", "stderr"}}) {
    r = run(std::string(R"({"type":"process","command":")") + command + "\"}");
    EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "error", "pid"})) << command;
    EXPECT_EQ(r["error"], std::string("Output limit exceeded: ") + stream + " passed 4096 bytes");
    EXPECT_TRUE(r["pid"].is_number_integer());
  }

  // An endless writer behind a pipeline: every member of the group stops at
  // once, long before the time-out, and preservation gets what was kept.
  CorrelationScope scope("44444444-2222-4333-8444-555555555555");
  const auto t0 = Clock::now();
  r = run(R"({"type":"process","command":"yes portico-flood-7c1 | cat","timeout":60,
    "files":[{"location":"in.txt"}],"preserveStreams":true})");
  // Under the two seconds after which the pipes would be closed on a writer never killed.
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1900));
  EXPECT_EQ(r["error"], "Output limit exceeded: stdout passed 4096 bytes");
  std::string expected;
  while (expected.size() < 4096) expected += "portico-flood-7c1\n";
  expected.resize(4096);
  EXPECT_EQ(test::slurp(dir / "logs/44444444-2222-4333-8444-555555555555/stdout.log"), expected);
  EXPECT_EQ(count_entries(dir / "shared"), 0u);
  EXPECT_NE(app_log().find("ERROR portico Process execution error: Output limit exceeded: stdout passed 4096 bytes"),
            std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(process_with_cmdline("yes portico-flood-7c1"));
}

TEST_F(ProcessRuns, FailuresAreResultsAndLogged) {
  Value r = run(R"({"type":"process","command":"true","user":"no-such-user-here"})");
  EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "error", "pid"}));
  EXPECT_TRUE(r["pid"].is_null());
  EXPECT_NE(r["error"].get<std::string>().find("'no-such-user-here'"), std::string::npos);
  EXPECT_NE(app_log().find("ERROR portico Process execution error: " + r["error"].get<std::string>()), std::string::npos);
  r = run(R"({"type":"process","command":"printf '\\377'"})");
  EXPECT_EQ(r["success"], false);
  EXPECT_TRUE(r["pid"].is_number());
  r = run(R"({"type":"process","command":"echo {{ missing }}"})");
  EXPECT_EQ(r["success"], false);
  EXPECT_NE(r["error"].get<std::string>().find("missing"), std::string::npos);
}

TEST_F(ProcessRuns, UserSwitchDropsTheServicesGroups) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  struct passwd* pw = getpwnam("nobody");
  if (!pw) GTEST_SKIP() << "no user nobody";
  const Value r = run(R"({"type":"process","command":"id -u; id -G","user":"nobody"})");
  ASSERT_EQ(r["success"], true) << r.dump();
  const std::string out = r["stdout"];
  EXPECT_EQ(out.substr(0, out.find('\n')), std::to_string(pw->pw_uid));
  // Root's group 0 must not survive the switch.
  const std::string groups = out.substr(out.find('\n') + 1);
  EXPECT_EQ((" " + groups).find(" 0 "), std::string::npos) << groups;
  EXPECT_EQ((" " + groups).find(" 0\n"), std::string::npos) << groups;
}

TEST_F(ProcessRuns, StreamsArePreservedAndRunDirectoriesRemoved) {
  CorrelationScope scope("11111111-2222-4333-8444-555555555555");
  const Value r = run(R"({"type":"process","command":"cat {{ run_dir | shell }}/in.txt; echo oops >&2",
    "files":[{"location":"in.txt","content":"hello {{ who }}"}],
    "parameters":{"who":{"type":"string"}},
    "preserveStreams":true})",
                      Value{{"who", "there"}});
  EXPECT_EQ(r["stdout"], "hello there");
  EXPECT_EQ(test::slurp(dir / "logs/11111111-2222-4333-8444-555555555555/stdout.log"), "hello there");
  EXPECT_EQ(test::slurp(dir / "logs/11111111-2222-4333-8444-555555555555/stderr.log"), "oops\n");
  EXPECT_EQ(count_entries(dir / "shared"), 0u);
}

TEST_F(ProcessRuns, ManyRunsLeakNoDescriptorProcessOrDirectory) {
  run(R"({"type":"process","command":"true"})");  // warm-up: lazily opened files
  const size_t fds = count_entries("/proc/self/fd");
  const size_t children = count_children();
  const char* aliases[] = {
      R"({"type":"process","command":"echo hi","output":{"single_value":{"source":"out.txt"}}})",
      R"({"type":"process","command":"sleep 5","timeout":0.2})",
      R"({"type":"process","command":"true","user":"no-such-user-here"})",
      R"({"type":"process","command":"exit 1","files":[{"location":"x","content":"y"}]})",
  };
  for (int i = 0; i < 40; ++i) run(aliases[i % 4]);
  EXPECT_EQ(count_entries("/proc/self/fd"), fds);
  EXPECT_EQ(count_children(), children);
  EXPECT_EQ(count_entries(dir / "shared"), 0u);
}

TEST_F(ProcessRuns, ChildSeesOnlyTheStandardDescriptors) {
  const Value r = run(R"({"type":"process","command":"ls /proc/self/fd | sort -n | tr '\\n' ' '"})");
  // ls itself opens one descriptor for the directory it lists.
  EXPECT_EQ(r["stdout"], "0 1 2 3 ");
}

}  // namespace
}  // namespace portico
