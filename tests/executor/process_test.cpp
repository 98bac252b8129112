#include <gtest/gtest.h>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>

#include "executor/fixture.h"
#include "executor/start_gate.h"
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

// A live (not zombie) process whose command line contains `needle`, or 0.
pid_t find_process(const std::string& needle) {
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmd = test::slurp(e.path().string() + "/cmdline");
    for (char& c : cmd)
      if (c == '\0') c = ' ';
    if (cmd.find(needle) != std::string::npos) {
      const std::string stat = test::slurp(e.path().string() + "/stat");
      const size_t paren = stat.rfind(')');
      if (paren != std::string::npos && stat[paren + 2] != 'Z') return std::stoi(name);
    }
  }
  return 0;
}

bool process_with_cmdline(const std::string& needle) { return find_process(needle) != 0; }

// The spawner this test process started, or 0.
pid_t spawner_child() {
  const std::string me = std::to_string(getpid());
  for (const auto& e : fs::directory_iterator("/proc")) {
    if (e.path().filename().string().find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = test::slurp(e.path().string() + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || stat.find("(portico-spawner)") == std::string::npos) continue;
    if (stat.substr(paren + 4, me.size() + 1) == me + " " && stat[paren + 2] != 'Z')
      return std::stoi(e.path().filename().string());
  }
  return 0;
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
  // A time-out too large for the clock is not a deadline in the past.
  r = run(R"({"type":"process","command":"sleep 0.2; echo done","timeout":1e300})");
  EXPECT_EQ(r["stdout"], "done\n");
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
  // An environment far larger than one message to the spawner arrives whole.
  const std::string big(100000, 'x');
  r = run(R"({"type":"process","command":"printf %s \"$A$B$C\" | wc -c",
             "environment":{"A":"{{ v }}","B":"{{ v }}","C":"{{ v }}"},
             "parameters":{"v":{"type":"string","max_length":200000}}})",
          Value{{"v", big}});
  EXPECT_EQ(r["stdout"], "300000\n") << r.dump().substr(0, 300);
}

// Nothing a run started outlives it, however it ended, and the answer does not
// wait for a descendant that holds the pipes.
TEST_F(ProcessRuns, NoDescendantOutlivesItsRun) {
  struct Case {
    const char* what;
    const char* alias;
    const char* marker;
    bool timed_out;
  };
  const Case cases[] = {
      {"setsid grandchild holding the pipes", R"({"type":"process","command":"setsid sleep 100.1 & echo started"})",
       "sleep 100.1", false},
      {"daemonising script", R"({"type":"process",
        "command":"sh -c 'setsid sh -c \"sleep 100.2 & sleep 100.2\" </dev/null >/dev/null 2>&1 &'; echo started"})",
       "sleep 100.2", false},
      {"group and setsid stragglers at the time-out",
       R"({"type":"process","command":"sleep 100.3 & setsid sleep 100.3 & sleep 100.3; echo never","timeout":0.5})",
       "sleep 100.3", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto t0 = Clock::now();
    const Value r = run(c.alias);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(c.timed_out ? 1900 : 1500));
    if (c.timed_out) {
      EXPECT_EQ(keys_of(r), (std::vector<std::string>{"success", "timed_out", "returncode", "pid", "error"}));
      EXPECT_EQ(r["error"], "Command timed out after 0.5 seconds");
    } else {
      EXPECT_EQ(r["success"], true) << r.dump();
      EXPECT_EQ(r["stdout"], "started\n");
    }
    // The leader reports only once everything is reaped: no wait needed here.
    EXPECT_FALSE(process_with_cmdline(c.marker));
  }

  // A shell killed from outside ends the run at once, stragglers included.
  Value r;
  std::thread runner([&] { r = run(R"({"type":"process","command":"setsid sleep 100.4 & sleep 100.4; true","timeout":30})"); });
  pid_t shell = 0;
  test::eventually([&] { return (shell = find_process("sleep 100.4 & sleep 100.4; true")) != 0; }, std::chrono::seconds(5));
  const auto t0 = Clock::now();
  if (shell) kill(shell, SIGKILL);
  runner.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(r["returncode"], -9) << r.dump();
  EXPECT_EQ(r["pid"], shell);
  EXPECT_FALSE(process_with_cmdline("sleep 100.4"));
}

// A dead spawner costs no run: those in flight finish under their own
// leaders, and the next run gets a new spawner, logged.
TEST_F(ProcessRuns, GatewaySurvivesAKilledSpawner) {
  run(R"({"type":"process","command":"true"})");
  const pid_t spawner = spawner_child();
  ASSERT_NE(spawner, 0);
  Value in_flight;
  std::thread runner([&] { in_flight = run(R"({"type":"process","command":"sleep 0.31; echo survived"})"); });
  test::eventually([] { return process_with_cmdline("sleep 0.31; echo survived"); }, std::chrono::seconds(5));
  kill(spawner, SIGKILL);
  runner.join();
  EXPECT_EQ(in_flight["stdout"], "survived\n") << in_flight.dump();

  const Value next = run(R"({"type":"process","command":"echo again"})");
  EXPECT_EQ(next["stdout"], "again\n") << next.dump();
  EXPECT_NE(spawner_child(), 0);
  EXPECT_NE(spawner_child(), spawner);
  EXPECT_NE(app_log().find("ERROR portico Process spawner (pid " + std::to_string(spawner) +
                           ") was killed by signal 9; starting a new one"),
            std::string::npos)
      << app_log();
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

// A stream entry that preservation rejects used to leave the run directory behind.
// The loader refuses such an entry now; the guard must hold for any failure all the same.
TEST_F(ProcessRuns, PreservationThatThrowsStillRemovesTheRunDirectory) {
  const char* with_entry = R"({"type":"process","command":"echo hi","files":[{"location":"in.txt"}],
    "preserveStreams":[{"filename":"x.log"}]})";
  EXPECT_THROW(cfg.set_alias("bad", Value::parse(with_entry)), std::invalid_argument);
  AliasDefinition alias = *config_internal::parse_alias(
      Value::parse(R"({"type":"process","command":"echo hi","files":[{"location":"in.txt"}]})"));
  alias.stream_entries = Value::parse(R"([{"filename":"x.log"}])");
  EXPECT_THROW(ex._execute_process(alias, Value::object()), std::runtime_error);
  EXPECT_EQ(count_entries(dir / "shared"), 0u);
}

TEST_F(ProcessRuns, ObserverSeesEachPieceAndCancelEndsTheWholeTree) {
  CorrelationScope scope("77777777-2222-4333-8444-555555555555");
  cfg.set_alias("a", Value::parse(R"({"type":"process","command":"echo one; echo two >&2; sleep 31.7 | cat",
    "files":[{"location":"in.txt"}],"preserveStreams":true,"timeout":60})"));
  std::atomic<bool> cancel{false};
  std::string seen_out, seen_err;
  RunControl control;
  control.cancel = &cancel;
  control.on_output = [&](std::string_view stream, std::string_view bytes) {
    (stream == "stdout" ? seen_out : seen_err).append(bytes);
    if (stream == "stderr") cancel = true;
  };
  const auto t0 = Clock::now();
  const RunResult r = ex.run("a", Value::object(), &control);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(r.outcome, Outcome::cancelled);
  EXPECT_EQ(keys_of(r.to_value()), (std::vector<std::string>{"success", "error", "pid"}));
  EXPECT_EQ(r.error, "Run cancelled");
  EXPECT_EQ(seen_out, "one\n");
  EXPECT_EQ(seen_err, "two\n");
  EXPECT_EQ(test::slurp(dir / "logs/77777777-2222-4333-8444-555555555555/stdout.log"), "one\n");
  EXPECT_EQ(count_entries(dir / "shared"), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(process_with_cmdline("sleep 31.7"));
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

// Waiters are admitted in arrival order, one per freed slot.
TEST(StartGate, AdmitsInArrivalOrder) {
  StartGate gate(1);
  StartGate::Slot first = gate.enter();
  std::mutex mu;
  std::vector<int> order;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&, i] {
      StartGate::Slot slot = gate.enter();
      std::lock_guard lock(mu);
      order.push_back(i);
    });
    while (gate.waiting() < static_cast<size_t>(i + 1)) std::this_thread::yield();
  }
  first.leave();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

// A run leaves the start gate after its hold: however many long runs there
// are, a short one is not queued behind them. Timed from when every long run
// is under way, since starts may be slow on a loaded or instrumented build.
TEST_F(ProcessRuns, LongRunsDoNotHoldBackShortOnes) {
  cfg.set_alias("nap", Value::parse(R"({"type":"process","command":"sleep 3.25"})"));
  cfg.set_alias("quick", Value::parse(R"({"type":"process","command":"echo quick"})"));
  constexpr int kNaps = 8;
  std::vector<std::thread> naps;
  for (int i = 0; i < kNaps; ++i) naps.emplace_back([&] { ex.execute_alias("nap", Value::object()); });
  auto sleeping = [] {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
      std::string cmd = test::slurp(e.path().string() + "/cmdline");
      n += cmd.rfind("sleep", 0) == 0 && cmd.find("3.25") != std::string::npos;
    }
    return n;
  };
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (sleeping() < kNaps && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(sleeping(), kNaps);
  const auto start = Clock::now();
  const Value r = ex.execute_alias("quick", Value::object());
  // Held back, it would wait for a nap to end: over 3 s from here.
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(r["stdout"], "quick\n");
  for (auto& t : naps) t.join();
}

TEST_F(ProcessRuns, ChildSeesOnlyTheStandardDescriptors) {
  const Value r = run(R"({"type":"process","command":"ls /proc/self/fd | sort -n | tr '\\n' ' '"})");
  // ls itself opens one descriptor for the directory it lists.
  EXPECT_EQ(r["stdout"], "0 1 2 3 ");
}

}  // namespace
}  // namespace portico
