#include "executor/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/duration.h"
#include "common/text.h"
#include "executor/executor.h"
#include "executor/files.h"
#include "executor/run_dir.h"
#include "executor/spawn_protocol.h"
#include "executor/spawner.h"
#include "executor/start_gate.h"
#include "interfaces/template_renderer.h"
#include "logging/logging.h"

namespace portico {
namespace {

constexpr auto kDrainGrace = std::chrono::seconds(2);

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

// Both reuse the captured bytes: a stream may be as large as MaxOutputBytes.
std::string decode_text(std::string&& bytes, const char* stream) {
  if (!is_utf8(bytes)) throw std::runtime_error(std::string("Output on ") + stream + " is not valid UTF-8 text");
  normalize_newlines_in_place(bytes);
  return std::move(bytes);
}

// What a run that did not complete leaves for stream preservation.
std::string lenient_text(std::string&& bytes) {
  std::string text = to_utf8(std::move(bytes));
  normalize_newlines_in_place(text);
  return text;
}

}  // namespace

ChildIdentity lookup_identity(const std::string& user) {
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  int rc;
  while ((rc = getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE) buf.resize(buf.size() * 2);
  if (rc != 0) throw std::runtime_error("getpwnam(): cannot look up " + quoted(user) + ": " + std::strerror(rc));
  if (!found) throw std::runtime_error("getpwnam(): name not found: " + quoted(user));
  ChildIdentity id{pw.pw_uid, pw.pw_gid, {}};
  int n = 32;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  while (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) groups.resize(static_cast<size_t>(n) + 32);
  groups.resize(static_cast<size_t>(n));
  id.groups = std::move(groups);
  return id;
}

ShellChild::ShellChild(const std::string& command, const Value& env, const std::optional<ChildIdentity>& identity) {
  if (command.find('\0') != std::string::npos) throw std::runtime_error("command line contains a NUL character");
  std::vector<std::string> env_strings;
  if (env.is_object()) {
    for (auto it = env.begin(); it != env.end(); ++it) {
      const std::string value = text_form(it.value());
      if (it.key().find('=') != std::string::npos || it.key().find('\0') != std::string::npos ||
          value.find('\0') != std::string::npos)
        throw std::runtime_error("invalid environment variable " + quoted(it.key()));
      env_strings.push_back(it.key() + "=" + value);
    }
  } else {
    for (char** e = environ; e && *e; ++e) env_strings.emplace_back(*e);
  }
  slot_ = StartGate::shared().enter();
  SpawnedShell shell = spawn_shell(command, env_strings, identity);
  slot_until_ = Clock::now() + StartGate::kHold;
  pid_ = shell.pid;
  out_ = std::move(shell.out);
  err_ = std::move(shell.err);
  channel_ = std::move(shell.channel);
}

ShellChild::~ShellChild() {
  slot_.leave();
  if (!channel_) return;
  // Wait, briefly, for the leader to confirm that nothing of the run is left.
  kill_tree();
  pollfd pfd{channel_.get(), POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(std::chrono::milliseconds(kDrainGrace).count())) > 0) {
    try {
      read_exit();
    } catch (const std::exception&) {
    }
  }
}

void ShellChild::kill_tree() {
  const spawn::Kill msg;
  if (channel_) spawn::send_message(channel_.get(), &msg, sizeof msg);
}

void ShellChild::read_exit() {
  spawn::Exited msg;
  const ssize_t n = spawn::receive_message(channel_.get(), &msg, sizeof msg);
  if (n == -EAGAIN || n == -EINTR) return;
  channel_.reset();
  exited_ = true;
  if (n != static_cast<ssize_t>(sizeof msg) || msg.type != spawn::kExited) {
    leader_lost_ = true;
    return;
  }
  status_ = msg.status;
  if (msg.survivors > 0)
    logger()->warn("Process " + std::to_string(pid_) + ": " + std::to_string(msg.survivors) +
                   " descendant(s) refused to be killed and outlive the run");
}

bool ShellChild::pump(ChildOutput& result, Clock::time_point& until, uint64_t max_bytes, const RunControl* control) {
  const std::atomic<bool>* cancel = control ? control->cancel : nullptr;
  char buf[65536];
  // Every process of the run is killed; the pipes are drained for a grace period at most.
  auto end_early = [&] {
    kill_tree();
    until = std::min(until, Clock::now() + kDrainGrace);
  };
  while (out_ || err_ || !exited_) {
    if (cancel && !result.ended_early() && cancel->load()) {
      result.cancelled = true;
      end_early();
    }
    pollfd fds[3];
    int n = 0;
    int idx_out = -1, idx_err = -1, idx_exit = -1;
    if (out_) { idx_out = n; fds[n++] = {out_.get(), POLLIN, 0}; }
    if (err_) { idx_err = n; fds[n++] = {err_.get(), POLLIN, 0}; }
    if (!exited_) { idx_exit = n; fds[n++] = {channel_.get(), POLLIN, 0}; }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    // A cancel is only seen between polls: keep them short when one may come.
    long long wait_ms = std::min<long long>(left, cancel ? 100 : 1000);
    if (slot_.held()) {
      const auto hold = std::chrono::duration_cast<std::chrono::milliseconds>(slot_until_ - Clock::now()).count();
      if (hold <= 0) slot_.leave();
      else wait_ms = std::min<long long>(wait_ms, hold);
    }
    const int rc = poll(fds, static_cast<nfds_t>(n), static_cast<int>(wait_ms));
    if (rc < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, "poll");
    }
    auto drain = [&](int idx, UniqueFd& fd, std::string& into, const char* name) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      const ssize_t got = ::read(fd.get(), buf, sizeof buf);
      if (got > 0) {
        const uint64_t room = max_bytes - std::min<uint64_t>(into.size(), max_bytes);
        const size_t kept = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(got), room));
        into.append(buf, kept);
        if (kept && control && control->on_output) control->on_output(name, std::string_view(buf, kept));
        // Stop the writer now, but keep reading so nothing blocks on a full pipe.
        // A run that already ended early has failed: what is drained is only cut.
        if (static_cast<uint64_t>(got) > room && !result.ended_early()) {
          result.over_limit = name;
          end_early();
        }
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        fd.reset();
      }
    };
    drain(idx_out, out_, result.out, "stdout");
    drain(idx_err, err_, result.err, "stderr");
    if (idx_exit >= 0 && fds[idx_exit].revents) read_exit();
    // Both pipes at their end mean the shell has exited (or left them to a
    // descendant): either way its start is over, before the leader's report.
    if (exited_ || (!out_ && !err_)) slot_.leave();
  }
  return true;
}

ChildOutput ShellChild::communicate(double timeout_s, uint64_t max_bytes, const RunControl* control) {
  ChildOutput result;
  auto until = Clock::now() + seconds_to_duration(timeout_s);
  if (pump(result, until, max_bytes, control) && !result.ended_early()) {
    if (leader_lost_) throw std::runtime_error("The run's process leader ended before the command did");
    result.returncode = decode_status(status_);
    return result;
  }
  if (!result.ended_early()) {
    result.timed_out = true;
    kill_tree();
    until = Clock::now() + kDrainGrace;
    if (!pump(result, until, max_bytes, control))
      logger()->warn("Process " + std::to_string(pid_) + " and its descendants were not all gone " +
                     std::to_string(std::chrono::seconds(kDrainGrace).count()) + " s after the time-out");
  }
  // The leader goes on killing; nobody waits for its report any more.
  channel_.reset();
  out_.reset();
  err_.reset();
  return result;
}

namespace {

// Who the child runs as: the alias's user, unless that is who runs already
// (then there is nothing to switch, and no privilege to do it).
std::optional<ChildIdentity> child_identity(const AliasDefinition& alias) {
  if (alias.user.empty()) return std::nullopt;
  ChildIdentity identity = lookup_identity(alias.user);
  if (geteuid() != 0 && identity.uid == geteuid() && identity.gid == getegid()) return std::nullopt;
  return identity;
}

// The steps of a process run whose failures become its result: rendering,
// input files, the child and its outputs. The captured streams go to `dir`.
void run_process(const RunContext& run, const AliasDefinition& alias, const Value& params, const RunControl* control,
                 RunDirectory& dir, RunResult& result) {
  const auto& run_dir = dir.path();
  const TemplateRenderer& renderer = run.renderer;
  const std::string command = renderer.render(alias.command, params, run_dir);
  const Value env = _build_env(renderer, alias, params, run_dir);
  for (const InputFile& file_def : alias.files) _create_process_file(renderer, file_def, params, run_dir);
  _precreate_output_dirs(renderer, alias, params, run_dir);
  const Value timeout = Executor::_resolve_timeout(alias, *run.settings);
  const std::optional<ChildIdentity> identity = child_identity(alias);
  logger()->debug("Executing process: " + quoted(command));

  ShellChild child(command, env, identity);
  result.pid = child.pid();
  const uint64_t max_bytes = run.settings->max_output_bytes;
  ChildOutput out = child.communicate(timeout.is_number() ? timeout.get<double>() : 60.0, max_bytes, control);
  if (out.ended_early()) {
    dir.captured_stdout = lenient_text(std::move(out.out));
    dir.captured_stderr = lenient_text(std::move(out.err));
    if (out.over_limit) throw OutputLimitExceeded(out.over_limit, max_bytes);
    result.outcome = out.cancelled ? Outcome::cancelled : Outcome::timed_out;
    result.error = out.cancelled ? std::string(kRunCancelledError)
                                 : "Command timed out after " + plain_decimal(timeout) + " seconds";
    return;
  }
  dir.captured_stdout = decode_text(std::move(out.out), "stdout");
  dir.captured_stderr = decode_text(std::move(out.err), "stderr");
  result.file_outputs = _collect_output_files(renderer, alias, params, run_dir, max_bytes);
  result.outcome = Outcome::success;
  result.returncode = out.returncode;
  result.out = *dir.captured_stdout;
  result.err = *dir.captured_stderr;
}

}  // namespace

RunResult Executor::_execute_process(const AliasDefinition& alias, const Value& params, const RunControl* control) {
  const RunContext run = run_context();
  RunDirectory dir(run, _prepare_shared_dir(run), alias);

  RunResult result;
  result.runner = RunResult::Runner::process;
  try {
    run_process(run, alias, params, control, dir, result);
  } catch (const std::exception& e) {
    logger()->error(std::string("Process execution error: ") + e.what());
    result.outcome = _failure_outcome(e);
    result.error = e.what();
  }
  dir.finish(alias.stream_entries);
  return result;
}

}  // namespace portico
