#include "executor/spawner.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "executor/executor.h"
#include "executor/process.h"
#include "executor/spawn_protocol.h"
#include "logging/logging.h"

extern char** environ;

namespace portico {
namespace {

// Far longer than a start takes even on a loaded machine; only a spawner that
// is stopped or wedged reaches it.
constexpr int kStartLimitMs = 10000;

const char* const kStepTexts[spawn::kStepCount] = {
    "pass the command to the process spawner", "create pipes", "start a process", "connect the output pipes",
    "set supplementary groups", "set group id", "set user id", "execute /bin/sh"};

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

// A descriptor moved above 4, so that placing the spawner's descriptors 3
// and 4 cannot overwrite it.
UniqueFd above_targets(UniqueFd fd) {
  if (!fd || fd.get() > 4) return fd;
  return UniqueFd(fcntl(fd.get(), F_DUPFD_CLOEXEC, 5));
}

std::pair<UniqueFd, UniqueFd> seqpacket_pair() {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) throw_os_error(errno, "socketpair");
  return {UniqueFd(sv[0]), UniqueFd(sv[1])};
}

// The one spawner process of the gateway, and the socket to it.
class SpawnerProcess {
 public:
  static SpawnerProcess& shared() {
    static SpawnerProcess instance;
    return instance;
  }

  ~SpawnerProcess() {
    // It exits when its socket closes; the runs it started end with their channels.
    sock_.reset();
    if (pid_ > 0) waitpid(pid_, nullptr, WNOHANG);
  }

  void start(size_t reserve) {
    std::lock_guard lock(mu_);
    reserve_ = reserve;
    if (!sock_) start_locked();
  }

  // Hands `channel` to the spawner, starting it (again) when needed. A
  // spawner found dead is reaped and logged, and the handover retried once
  // with a new one: a message it never received started nothing. Returns the
  // generation of the spawner that took it.
  uint64_t open_run(UniqueFd channel) {
    const spawn::Open msg;
    const int fd = channel.get();
    std::lock_guard lock(mu_);
    for (int attempt = 0;; ++attempt) {
      if (!sock_) start_locked();
      const int err = spawn::send_message(sock_.get(), &msg, sizeof msg, &fd, 1);
      if (err == 0) return generation_;
      if (attempt > 0 || (err != EPIPE && err != ECONNRESET && err != ENOTCONN))
        throw_os_error(err, "cannot reach the process spawner");
      note_death_locked();
    }
  }

 private:
  SpawnerProcess() = default;

  void start_locked() {
    // The program is opened once and every later start runs that same file,
    // so that a package upgrade cannot pair this gateway with another version.
    if (!program_) {
      const std::string path = spawner_path();
      program_ = above_targets(UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
      if (!program_) throw std::runtime_error("Cannot start the process spawner " + path + ": " + std::strerror(errno));
      path_ = path;
    }
    auto [mine, theirs_low] = seqpacket_pair();
    UniqueFd theirs = above_targets(std::move(theirs_low));
    if (!theirs) throw_os_error(errno, "fcntl");
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&fa, theirs.get(), 3);
    posix_spawn_file_actions_adddup2(&fa, program_.get(), 4);
    posix_spawn_file_actions_addclosefrom_np(&fa, 5);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // The spawner keeps this many run leaders forked ahead of demand.
    std::string reserve = std::to_string(reserve_);
    char* const argv[] = {const_cast<char*>("portico-spawner"), reserve_ ? reserve.data() : nullptr, nullptr};
    pid_t pid = -1;
    const std::string pinned = "/proc/self/fd/4";
    int rc = posix_spawn(&pid, pinned.c_str(), &fa, &attr, argv, environ);
    if (rc == ENOENT) rc = posix_spawn(&pid, path_.c_str(), &fa, &attr, argv, environ);  // no /proc
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("Cannot start the process spawner " + path_ + ": " + std::strerror(rc));
    pid_ = pid;
    sock_ = std::move(mine);
    logger()->debug("Process spawner started: " + path_ + " (pid " + std::to_string(pid_) + ")");
  }

  void note_death_locked() {
    sock_.reset();
    int status = 0;
    pid_t r = 0;
    // Its socket closed as it exited; give the exit a moment to complete.
    for (int i = 0; i < 100 && (r = waitpid(pid_, &status, WNOHANG)) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (r == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    log_death(status);
  }

 public:
  // Whether the spawner that was sent `generation`'s handover has died since;
  // it is then reaped and logged, and the next handover starts a new one.
  // A killed spawner closes its sockets before it can be reaped, and on a
  // loaded machine the rest of its exit may wait for a CPU for a long time:
  // its end of the socket closing is the sign, not the reaping.
  bool died_since(uint64_t generation) {
    std::lock_guard lock(mu_);
    if (generation != generation_) return true;  // someone else found it dead already
    if (pid_ <= 0) return false;
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      bool dead = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!dead && peer_closed_locked()) {
        // Leaders close their copies, so only an exiting spawner closes its end.
        kill(pid_, SIGKILL);
        pid_t r;
        while ((r = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        dead = r == pid_;
      }
      if (dead) {
        sock_.reset();
        log_death(status);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  uint64_t generation() {
    std::lock_guard lock(mu_);
    return generation_;
  }

 private:
  bool peer_closed_locked() const {
    if (!sock_) return false;
    pollfd p{sock_.get(), 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR));
  }

  void log_death(int status) {
    logger()->error("Process spawner (pid " + std::to_string(pid_) + ") " + describe_status(status) +
                    "; starting a new one");
    pid_ = -1;
    ++generation_;
  }

  std::mutex mu_;
  UniqueFd program_;
  std::string path_;
  pid_t pid_ = -1;
  size_t reserve_ = 0;  // 0: the spawner's own default
  uint64_t generation_ = 0;  // counts the spawners found dead
  UniqueFd sock_;
};

// The request: header and payload, in messages of at most kMaxMessage bytes.
void send_request(int channel, const std::string& command, const std::vector<std::string>& env,
                  const std::optional<ChildIdentity>& identity) {
  spawn::Request h;
  std::string payload;
  if (identity) {
    h.switch_user = 1;
    h.uid = identity->uid;
    h.gid = identity->gid;
    h.ngroups = static_cast<uint32_t>(identity->groups.size());
    payload.append(reinterpret_cast<const char*>(identity->groups.data()), identity->groups.size() * sizeof(gid_t));
  }
  payload.append(command.c_str(), command.size() + 1);
  h.command_bytes = command.size() + 1;
  for (const auto& e : env) payload.append(e.c_str(), e.size() + 1);
  h.env_count = static_cast<uint32_t>(env.size());
  h.payload_bytes = payload.size();
  if (payload.size() > spawn::kMaxPayload) throw std::runtime_error("command line and environment are too large");

  std::string first(reinterpret_cast<const char*>(&h), sizeof h);
  const size_t head = std::min(payload.size(), spawn::kMaxMessage - sizeof h);
  first.append(payload, 0, head);
  int err = spawn::send_message(channel, first.data(), first.size());
  for (size_t off = head; err == 0 && off < payload.size(); off += spawn::kMaxMessage)
    err = spawn::send_message(channel, payload.data() + off, std::min(spawn::kMaxMessage, payload.size() - off));
  if (err != 0) throw_os_error(err, "cannot pass the command to the process spawner");
}

}  // namespace

std::string spawner_path() {
  if (const char* env = std::getenv("PORTICO_SPAWNER"); env && *env) return env;
  std::string beside;
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    const std::string dir = std::string(exe, static_cast<size_t>(n)).substr(0, std::string_view(exe, n).rfind('/') + 1);
    beside = dir + "portico-spawner";
    if (access(beside.c_str(), X_OK) == 0) return beside;
    // An installed tree (a package, or `cmake --install` to any prefix) keeps it in libexec.
    const std::string installed = dir + "../libexec/portico-spawner";
    if (access(installed.c_str(), X_OK) == 0) return installed;
  }
  if (access(PORTICO_SPAWNER_INSTALLED, X_OK) == 0 || beside.empty()) return PORTICO_SPAWNER_INSTALLED;
  return beside;  // named in the error: where a build puts it
}

std::optional<std::string> process_spawner_problem() {
  const std::string path = spawner_path();
  if (access(path.c_str(), X_OK) != 0)
    return "Cannot start the process spawner " + path + ": " + std::strerror(errno);
  return std::nullopt;
}

void start_process_spawner(size_t reserve) { SpawnerProcess::shared().start(reserve); }

namespace {

// The channel of a run whose leader took the request, or an empty one when
// the handover was lost with a spawner that died as it was sent (nothing of
// the run was started then).
UniqueFd hand_over(const std::string& command, const std::vector<std::string>& env,
                   const std::optional<ChildIdentity>& identity, bool may_retry) {
  auto [channel, leader_end] = seqpacket_pair();
  const uint64_t generation = SpawnerProcess::shared().open_run(std::move(leader_end));
  try {
    send_request(channel.get(), command, env, identity);
  } catch (const std::system_error&) {
    if (may_retry && SpawnerProcess::shared().died_since(generation)) return UniqueFd();
    throw;
  }
  pollfd pfd{channel.get(), POLLIN, 0};
  int rc;
  do rc = poll(&pfd, 1, kStartLimitMs);
  while (rc < 0 && errno == EINTR);
  if (rc == 0)
    throw std::runtime_error("The process spawner did not start the command within " +
                             std::to_string(kStartLimitMs / 1000) + " seconds");
  // A closed channel with nothing to read: no leader ever held it. Closed
  // with our request still unread, it reports ECONNRESET instead of an end.
  const bool closed = (pfd.revents & (POLLHUP | POLLERR)) && [&] {
    char probe;
    const ssize_t got = ::recv(channel.get(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }();
  if (closed && may_retry && SpawnerProcess::shared().died_since(generation)) return UniqueFd();
  return std::move(channel);
}

}  // namespace

SpawnedShell spawn_shell(const std::string& command, const std::vector<std::string>& env,
                         const std::optional<ChildIdentity>& identity) {
  UniqueFd channel = hand_over(command, env, identity, true);
  if (!channel) channel = hand_over(command, env, identity, false);

  spawn::Started started;
  spawn::Failed failed;
  char answer[sizeof failed];
  int fds[2], nfds = 0;
  const ssize_t n = spawn::receive_message(channel.get(), answer, sizeof answer, fds, 2, &nfds);
  if (n == static_cast<ssize_t>(sizeof started) && nfds == 2) {
    std::memcpy(&started, answer, sizeof started);
    if (started.type == spawn::kStarted) {
      SpawnedShell shell;
      shell.pid = started.pid;
      shell.out = UniqueFd(fds[0]);
      shell.err = UniqueFd(fds[1]);
      shell.channel = std::move(channel);
      return shell;
    }
  }
  for (int i = 0; i < nfds; ++i) close(fds[i]);
  if (n == static_cast<ssize_t>(sizeof failed)) {
    std::memcpy(&failed, answer, sizeof failed);
    const int step = failed.step >= 0 && failed.step < spawn::kStepCount ? failed.step : 0;
    if (failed.type == spawn::kFailed)
      throw std::runtime_error(std::string("Cannot ") + kStepTexts[step] + " for the command: " +
                               std::strerror(failed.err));
  }
  throw std::runtime_error("The process spawner stopped before it started the command");
}

}  // namespace portico
