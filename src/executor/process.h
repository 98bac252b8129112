#pragma once
// Private to the executor: environments and child processes of process runs.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/fd.h"
#include "common/value.h"
#include "executor/executor.h"
#include "executor/start_gate.h"

namespace portico {

// Text form of one environment definition: booleans "true"/"false", text
// unchanged, numbers in plain decimal.
std::string _env_value(const Value& var_def);

// The environment of a process run: the service's own plus the alias's
// rendered variables (name -> text, insertion-ordered), or null to inherit.
Value _build_env(const TemplateRenderer& renderer, const AliasDefinition& alias, const Value& params,
                 const std::optional<std::string>& run_dir);

// Identity a child switches to before it runs the command.
struct ChildIdentity {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};
// Looks a user up; throws std::runtime_error naming the user when unknown.
ChildIdentity lookup_identity(const std::string& user);

struct ChildOutput {
  std::string out, err;
  bool timed_out = false;
  bool cancelled = false;
  const char* over_limit = nullptr;  // "stdout" or "stderr": the first stream that passed the limit
  int returncode = 0;                // exit status, or the negative signal number

  bool ended_early() const { return timed_out || cancelled || over_limit; }
};

// One child running "/bin/sh -c command" in a process group of its own, with
// both output streams on pipes, started by the spawner under a run leader
// that ends every process of the run when the shell exits, on a time-out, or
// when this object goes away before its run ended; so no path can leak one.
class ShellChild {
 public:
  ShellChild(const std::string& command, const Value& env, const std::optional<ChildIdentity>& identity);
  ~ShellChild();
  ShellChild(const ShellChild&) = delete;
  ShellChild& operator=(const ShellChild&) = delete;

  pid_t pid() const { return pid_; }
  // Reads both streams and waits for the exit within `timeout_s` seconds. On
  // a time-out every process of the run is killed and the pipes are drained
  // for a short grace period at most. Throws when the run's leader is lost.
  // A stream that passes `max_bytes` keeps its first `max_bytes` bytes; the
  // run is killed at once and the rest is drained the same way, unkept.
  // `control` (optional) sees each piece kept and may cancel the run, which
  // ends it the same way.
  ChildOutput communicate(double timeout_s, uint64_t max_bytes, const RunControl* control = nullptr);

 private:
  using Clock = std::chrono::steady_clock;

  // Reads both pipes and the leader's report until all have ended (true) or
  // `until` passes (false); a run ended early moves `until` to its grace period.
  bool pump(ChildOutput& result, Clock::time_point& until, uint64_t max_bytes, const RunControl* control);
  // Asks the leader to kill the shell and all its descendants.
  void kill_tree();
  // Takes the leader's report from the channel.
  void read_exit();

  StartGate::Slot slot_;  // until the shell exits or has run for the gate's hold
  Clock::time_point slot_until_;
  pid_t pid_ = -1;
  bool exited_ = false;
  bool leader_lost_ = false;
  int status_ = 0;
  UniqueFd out_, err_, channel_;
};

}  // namespace portico
