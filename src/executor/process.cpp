#include "executor/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/text.h"
#include "executor/executor.h"
#include "executor/files.h"
#include "interfaces/interfaces.h"
#include "logging/logging.h"
#include "preserve/preserve.h"
#include "scratch/scratch.h"

namespace portico {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDrainGrace = std::chrono::seconds(2);

std::pair<UniqueFd, UniqueFd> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw_os_error(errno, "pipe");
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// What the child tells the parent when it fails before exec: the step and errno.
struct ChildFailure {
  int step;
  int err;
};
const char* const kChildSteps[] = {"start the command", "set supplementary groups", "set group id", "set user id",
                                   "execute /bin/sh"};

[[noreturn]] void child_fail(int fd, int step) {
  ChildFailure f{step, errno};
  [[maybe_unused]] ssize_t n = ::write(fd, &f, sizeof f);
  _exit(127);
}

// Only async-signal-safe calls between fork and execve: the service is threaded.
[[noreturn]] void child_main(const char* const argv[], char* const envp[], int out_w, int err_w, int report_w,
                             const ChildIdentity& id) {
  setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) signal(s, SIG_DFL);
  if (dup2(out_w, STDOUT_FILENO) < 0 || dup2(err_w, STDERR_FILENO) < 0) child_fail(report_w, 0);
  if (setgroups(id.groups.size(), id.groups.data()) != 0) child_fail(report_w, 1);
  if (setgid(id.gid) != 0) child_fail(report_w, 2);
  if (setuid(id.uid) != 0) child_fail(report_w, 3);
  // Keep only the report pipe (close-on-exec) besides the standard streams.
  if (report_w > 3) close_range(3, static_cast<unsigned>(report_w - 1), 0);
  close_range(static_cast<unsigned>(report_w + 1), ~0U, 0);
  execve("/bin/sh", const_cast<char* const*>(argv), envp);
  child_fail(report_w, 4);
}

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
  std::vector<char*> envp;
  if (env.is_object()) {
    for (auto it = env.begin(); it != env.end(); ++it) {
      const std::string value = text_form(it.value());
      if (it.key().find('=') != std::string::npos || it.key().find('\0') != std::string::npos ||
          value.find('\0') != std::string::npos)
        throw std::runtime_error("invalid environment variable " + quoted(it.key()));
      env_strings.push_back(it.key() + "=" + value);
    }
    for (auto& s : env_strings) envp.push_back(s.data());
  } else {
    for (char** e = environ; e && *e; ++e) envp.push_back(*e);
  }
  envp.push_back(nullptr);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};

  auto [out_r, out_w] = make_pipe();
  auto [err_r, err_w] = make_pipe();

  if (!identity) {
    // posix_spawn uses a vfork-style clone: much cheaper than fork for a large process.
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&fa, out_w.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err_w.get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, const_cast<char* const*>(argv), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error(std::string("Cannot execute /bin/sh: ") + std::strerror(rc));
    pid_ = pid;
  } else {
    auto [report_r, report_w] = make_pipe();
    const pid_t pid = fork();
    if (pid < 0) throw_os_error(errno, "fork");
    if (pid == 0) child_main(argv, envp.data(), out_w.get(), err_w.get(), report_w.get(), *identity);
    pid_ = pid;
    setpgid(pid_, pid_);  // also here: the group must exist before anyone signals it
    report_w.reset();
    ChildFailure f{};
    ssize_t n;
    do n = ::read(report_r.get(), &f, sizeof f);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof f)) {
      reap();
      throw std::runtime_error(std::string("Cannot ") + kChildSteps[f.step] + " for the command: " +
                               std::strerror(f.err));
    }
  }
  out_ = std::move(out_r);
  err_ = std::move(err_r);
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
}

ShellChild::~ShellChild() {
  if (pid_ > 0 && !reaped_) {
    kill_group();
    reap();
  }
}

void ShellChild::kill_group() {
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
}

int ShellChild::reap() {
  int status = 0;
  pid_t r;
  do r = waitpid(pid_, &status, 0);
  while (r < 0 && errno == EINTR);
  reaped_ = true;
  return status;
}

ChildOutput ShellChild::communicate(double timeout_s, uint64_t max_bytes) {
  ChildOutput result;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_s));
  auto until = deadline;
  bool exited = !pidfd_;  // without a pidfd, learn of the exit from the pipes
  char buf[65536];

  auto pump = [&](bool watch_exit) {
    while (out_ || err_ || (watch_exit && !exited)) {
      pollfd fds[3];
      int n = 0;
      int idx_out = -1, idx_err = -1, idx_pid = -1;
      if (out_) { idx_out = n; fds[n++] = {out_.get(), POLLIN, 0}; }
      if (err_) { idx_err = n; fds[n++] = {err_.get(), POLLIN, 0}; }
      if (watch_exit && !exited) { idx_pid = n; fds[n++] = {pidfd_.get(), POLLIN, 0}; }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return false;
      const int rc = poll(fds, static_cast<nfds_t>(n), static_cast<int>(std::min<long long>(left, 1000)));
      if (rc < 0) {
        if (errno == EINTR) continue;
        throw_os_error(errno, "poll");
      }
      auto drain = [&](int idx, UniqueFd& fd, std::string& into, const char* name) {
        if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
        const ssize_t got = ::read(fd.get(), buf, sizeof buf);
        if (got > 0) {
          const uint64_t room = max_bytes - std::min<uint64_t>(into.size(), max_bytes);
          into.append(buf, static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(got), room)));
          // Stop the writer now, but keep reading so nothing blocks on a full pipe.
          // After a time-out the run has failed already: what is drained is only cut.
          if (static_cast<uint64_t>(got) > room && !result.over_limit && !result.timed_out) {
            result.over_limit = name;
            kill_group();
            until = std::min(until, Clock::now() + kDrainGrace);
          }
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          fd.reset();
        }
      };
      drain(idx_out, out_, result.out, "stdout");
      drain(idx_err, err_, result.err, "stderr");
      if (idx_pid >= 0 && (fds[idx_pid].revents & POLLIN)) exited = true;
    }
    return true;
  };

  if (pump(true) && !result.over_limit) {
    result.returncode = decode_status(reap());
    return result;
  }
  if (!result.over_limit) {
    result.timed_out = true;
    kill_group();
    until = Clock::now() + kDrainGrace;
    pump(false);
  }
  out_.reset();
  err_.reset();
  reap();
  return result;
}

ExecutionResult Executor::_execute_process(const Value& alias_cfg, const Value& params) {
  auto log = logger();
  const std::string shared_dir = _prepare_shared_dir();
  const std::optional<std::string> run_dir = _create_run_dir(shared_dir, alias_cfg);
  const Value preserve_cfg = alias_cfg.is_object() && alias_cfg.contains("preserveStreams")
                                 ? alias_cfg["preserveStreams"] : Value();
  const auto stream_entries = preserve::expand_preserve_streams(preserve_cfg);

  Value pid;  // null until the child has started
  std::optional<std::string> captured_stdout, captured_stderr;
  ExecutionResult result;
  try {
    const Value cmd_v = alias_cfg.value("command", Value());
    const std::string command = renderer().render(cmd_v.is_string() ? cmd_v.get<std::string>() : "", params, run_dir);
    const Value env = _build_env(alias_cfg, params, run_dir);
    const Value files = alias_cfg.value("files", Value());
    if (files.is_array())
      for (const auto& file_def : files) _create_process_file(file_def, params, run_dir);
    _precreate_output_dirs(alias_cfg, params, run_dir);
    const Value timeout = _resolve_timeout(alias_cfg);
    std::optional<ChildIdentity> identity;
    const Value user = alias_cfg.value("user", Value());
    if (truthy(user)) {
      identity = lookup_identity(text_form(user));
      // Running as that user already: nothing to switch (and no privilege to do it).
      if (geteuid() != 0 && identity->uid == geteuid() && identity->gid == getegid()) identity.reset();
    }
    log->debug("Executing process: " + quoted(command));

    ShellChild child(command, env, identity);
    pid = child.pid();
    const uint64_t max_bytes = _max_output_bytes();
    ChildOutput out = child.communicate(timeout.is_number() ? timeout.get<double>() : 60.0, max_bytes);
    if (out.over_limit) {
      captured_stdout = lenient_text(std::move(out.out));
      captured_stderr = lenient_text(std::move(out.err));
      throw OutputLimitExceeded(out.over_limit, max_bytes);
    }
    if (out.timed_out) {
      captured_stdout = lenient_text(std::move(out.out));
      captured_stderr = lenient_text(std::move(out.err));
      result = ExecutionResult::object();
      result["success"] = false;
      result["timed_out"] = true;
      result["returncode"] = nullptr;
      result["pid"] = pid;
      result["error"] = "Command timed out after " + plain_decimal(timeout) + " seconds";
    } else {
      captured_stdout = decode_text(std::move(out.out), "stdout");
      captured_stderr = decode_text(std::move(out.err), "stderr");
      Value file_outputs = _collect_output_files(alias_cfg, params, run_dir, max_bytes);
      result = ExecutionResult::object();
      result["success"] = true;
      result["returncode"] = out.returncode;
      result["pid"] = pid;
      result["stdout"] = *captured_stdout;
      result["stderr"] = *captured_stderr;
      result["file_outputs"] = std::move(file_outputs);
    }
  } catch (const std::exception& e) {
    log->error(std::string("Process execution error: ") + e.what());
    result = ExecutionResult::object();
    result["success"] = false;
    result["error"] = e.what();
    result["pid"] = pid;
  }
  preserve::preserve_streams(stream_entries, captured_stdout, captured_stderr, config().get("LogDir"),
                             logging().get_correlation_id());
  if (run_dir) scratch::cleanup(run_dir);
  return result;
}

}  // namespace portico
