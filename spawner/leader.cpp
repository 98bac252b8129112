// A run leader: a fork of the spawner that serves one run at a time. It
// starts the shell and stays its parent; as a child subreaper it inherits
// every orphan of the run, a `setsid` grandchild or a daemonising script
// included, so that at the end it can find and kill them all. Leaders are
// kept for later runs, because a fork costs far more than a run's messages.
// A cgroup per run (cgroup.kill) would do the same where a delegated cgroup v2
// tree exists; this needs no privilege, no delegation and no cgroup per run,
// and works on cgroup v1 hosts, so it is used everywhere.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "executor/spawn_protocol.h"
#include "spawner/internal.h"

namespace portico::spawner {
namespace {

using spawn::Request;

struct Run {
  Request header;
  char* payload = nullptr;
  const gid_t* groups = nullptr;
  const char* argv[4] = {"sh", "-c", nullptr, nullptr};
  char** envp = nullptr;
};

void fail(int channel, int32_t step, int err) {
  const spawn::Failed failed{spawn::kFailed, step, err};
  spawn::send_message(channel, &failed, sizeof failed);
}

// Reads and checks the header and the payload; false when the gateway sent
// something else or went away.
bool receive_request(int channel, Run& run) {
  static char first[spawn::kMaxMessage];
  const ssize_t n = spawn::receive_message(channel, first, sizeof first);
  if (n < static_cast<ssize_t>(sizeof(Request))) return false;
  Request& h = run.header;
  std::memcpy(&h, first, sizeof h);
  const uint64_t groups_bytes = uint64_t{h.ngroups} * sizeof(gid_t);
  if (h.type != spawn::kRequest || h.payload_bytes > spawn::kMaxPayload || h.ngroups > 65536 ||
      h.command_bytes == 0 || groups_bytes + h.command_bytes > h.payload_bytes)
    return false;
  run.payload = static_cast<char*>(std::malloc(h.payload_bytes ? h.payload_bytes : 1));
  if (!run.payload) return false;
  uint64_t got = static_cast<uint64_t>(n) - sizeof h;
  if (got > h.payload_bytes) return false;
  std::memcpy(run.payload, first + sizeof h, got);
  while (got < h.payload_bytes) {
    const uint64_t want = h.payload_bytes - got < spawn::kMaxMessage ? h.payload_bytes - got : spawn::kMaxMessage;
    const ssize_t m = spawn::receive_message(channel, run.payload + got, want);
    if (m <= 0) return false;
    got += static_cast<uint64_t>(m);
  }

  run.groups = reinterpret_cast<const gid_t*>(run.payload);
  char* command = run.payload + groups_bytes;
  // The command ends with its one NUL; the environment is NUL-terminated texts.
  if (std::memchr(command, '\0', h.command_bytes) != command + h.command_bytes - 1) return false;
  run.argv[2] = command;
  char* env = command + h.command_bytes;
  char* const end = run.payload + h.payload_bytes;
  if (h.env_count > static_cast<uint64_t>(end - env)) return false;
  run.envp = static_cast<char**>(std::malloc((size_t{h.env_count} + 1) * sizeof(char*)));
  if (!run.envp) return false;
  for (uint32_t i = 0; i < h.env_count; ++i) {
    char* nul = static_cast<char*>(std::memchr(env, '\0', static_cast<size_t>(end - env)));
    if (!nul) return false;
    run.envp[i] = env;
    env = nul + 1;
  }
  run.envp[h.env_count] = nullptr;
  return env == end;
}

struct ChildSetup {
  const Run* run;
  int out_w, err_w, report_w;
};

[[noreturn]] void report_failure(int report_w, int32_t step) {
  const int32_t msg[2] = {step, errno};
  [[maybe_unused]] ssize_t n = write(report_w, msg, sizeof msg);
  _exit(127);
}

// The shell's side, between fork and exec. Only async-signal-safe calls: with
// vfork it shares the leader's memory until execve.
[[noreturn]] void exec_child(const ChildSetup& s) {
  auto report = [&](int32_t step) { report_failure(s.report_w, step); };
  setpgid(0, 0);
  for (int sig : kIgnoredSignals) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(s.out_w, STDOUT_FILENO) < 0 || dup2(s.err_w, STDERR_FILENO) < 0) report(spawn::kStepStreams);
  const Request& h = s.run->header;
  if (h.switch_user) {
    if (setgroups(h.ngroups, s.run->groups) != 0) report(spawn::kStepGroups);
    if (setgid(h.gid) != 0) report(spawn::kStepGid);
    if (setuid(h.uid) != 0) report(spawn::kStepUid);
  }
  // Only the standard streams and the report pipe (close-on-exec) stay.
  if (s.report_w > 3) close_range(3, static_cast<unsigned>(s.report_w - 1), 0);
  close_range(static_cast<unsigned>(s.report_w + 1), ~0U, 0);
  execve("/bin/sh", const_cast<char* const*>(s.run->argv), s.run->envp);
  report_failure(s.report_w, spawn::kStepExec);
}

pid_t start_child(const ChildSetup& setup) {
  // Sanitizer runtimes do not follow a child that shares their memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const pid_t pid = fork();
#else
  const pid_t pid = vfork();
#endif
  if (pid == 0) exec_child(setup);
  return pid;
}

void drain(int sigchld_fd) {
  signalfd_siginfo info;
  while (read(sigchld_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
}

// Reaps orphans that have died; true once the shell itself has exited (it is
// left unreaped, so that its pid, the id of its process group, stays ours).
bool shell_exited(pid_t shell) {
  for (;;) {
    siginfo_t si{};
    if (waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) != 0 || si.si_pid == 0) return false;
    if (si.si_pid == shell) return true;
    waitpid(si.si_pid, nullptr, 0);
  }
}

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Kills and reaps the shell and every process the run left, then reports on
// `channel` (when someone still listens). A process deeper in the tree becomes
// our child once its parent dies, so this repeats until nothing is left.
// Returns how many processes refused to die.
uint32_t finish(int channel, pid_t shell, int sigchld_fd) {
  kill(-shell, SIGKILL);
  int status = 0;
  uint32_t survivors = 0;
  double refused_since = 0;
  for (;;) {
    int st;
    pid_t pid;
    while ((pid = waitpid(-1, &st, WNOHANG)) > 0)
      if (pid == shell) status = st;
    if (pid < 0 && errno == ECHILD) break;
    uint32_t killed = 0, refused = 0;
    for_each_child([&](pid_t child) {
      if (kill(child, SIGKILL) == 0) ++killed;
      else if (errno == EPERM) ++refused;
    });
    // A process we may not signal (one that gained privileges) would keep
    // this loop alive forever; give up on it after a second.
    if (killed == 0 && refused > 0) {
      if (refused_since == 0) refused_since = now_s();
      if (now_s() - refused_since > 1.0) {
        survivors = refused;
        break;
      }
    } else {
      refused_since = 0;
    }
    pollfd pfd{sigchld_fd, POLLIN, 0};
    poll(&pfd, 1, 10);
    drain(sigchld_fd);
  }
  if (channel >= 0) {
    const spawn::Exited exited{spawn::kExited, status, survivors};
    spawn::send_message(channel, &exited, sizeof exited);
  }
  return survivors;
}

// Serves the run of `channel` from its request to its end.
uint32_t serve(int channel, int sigchld_fd) {
  Run run;
  struct Release {
    Run& run;
    ~Release() {
      std::free(run.envp);
      std::free(run.payload);
    }
  } release{run};
  if (!receive_request(channel, run)) {
    fail(channel, spawn::kStepRequest, EPROTO);
    return 0;
  }
  int out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    fail(channel, spawn::kStepPipes, errno);
    for (int fd : {out[0], out[1], err[0], err[1]})
      if (fd >= 0) close(fd);
    return 0;
  }
  const pid_t shell = start_child({&run, out[1], err[1], report[1]});
  const int fork_errno = errno;
  close(out[1]);
  close(err[1]);
  close(report[1]);
  int32_t failure[2] = {spawn::kStepFork, fork_errno};
  ssize_t n = sizeof failure;
  if (shell > 0) {
    do n = read(report[0], failure, sizeof failure);
    while (n < 0 && errno == EINTR);
  }
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof failure)) {
    if (shell > 0) waitpid(shell, nullptr, 0);
    fail(channel, failure[0], failure[1]);
    close(out[0]);
    close(err[0]);
    return 0;
  }

  const spawn::Started started{spawn::kStarted, shell};
  const int streams[2] = {out[0], err[0]};
  const bool told = spawn::send_message(channel, &started, sizeof started, streams, 2) == 0;
  close(out[0]);
  close(err[0]);
  if (!told) return finish(-1, shell, sigchld_fd);

  for (;;) {
    pollfd fds[2] = {{channel, POLLIN, 0}, {sigchld_fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents & POLLIN) {
      drain(sigchld_fd);
      if (shell_exited(shell)) return finish(channel, shell, sigchld_fd);
    }
    if (fds[0].revents) {
      spawn::Kill msg;
      const ssize_t got = spawn::receive_message(channel, &msg, sizeof msg);
      if (got == static_cast<ssize_t>(sizeof msg) && msg.type == spawn::kKill)
        return finish(channel, shell, sigchld_fd);
      // The gateway closed the channel: nobody waits for the answer.
      if (got == 0 || (got < 0 && got != -EAGAIN && got != -EMSGSIZE)) return finish(-1, shell, sigchld_fd);
    }
  }
}

}  // namespace

void run_leader(int control, int idle_w, int sigchld_fd) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  prctl(PR_SET_NAME, "portico-run");
  const int32_t me = getpid();
  for (;;) {
    spawn::Open msg;
    int channel = -1, nfds = 0;
    const ssize_t n = spawn::receive_message(control, &msg, sizeof msg, &channel, 1, &nfds);
    if (n == 0 || (n < 0 && n != -EMSGSIZE)) _exit(0);  // retired, or the spawner is gone
    if (nfds != 1) continue;
    if (n != static_cast<ssize_t>(sizeof msg) || msg.type != spawn::kOpen) {
      close(channel);
      continue;
    }
    const uint32_t survivors = serve(channel, sigchld_fd);
    close(channel);
    // What we could not kill would be taken for part of the next run.
    if (survivors > 0) _exit(kLeftSurvivors);
    [[maybe_unused]] ssize_t w = write(idle_w, &me, sizeof me);
  }
}

}  // namespace portico::spawner
