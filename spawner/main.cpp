// portico-spawner: starts the process-alias children of one gateway.
//
// The gateway starts it once, with its end of a SOCK_SEQPACKET socket on
// descriptor 3. It is single-threaded and links only the C library, so a
// fork of it costs little and may do anything; a fork of the many-threaded
// gateway costs far more and may only make async-signal-safe calls.
// It hands each run to a run leader (see leader.cpp), forking one when none
// is free. While the gateway is quiet it forks leaders ahead of demand until
// there are as many as the reserve the gateway names (argv[1], the runs it may
// have at once), so that a burst of runs does not wait for as many forks.
// It exits when the gateway's end of the socket closes.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "executor/spawn_protocol.h"
#include "spawner/internal.h"

namespace portico::spawner {

bool list_children(void (*f)(pid_t, void*), void* ctx) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(getpid()));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    // Space-separated pids; a pid split across two reads is carried over.
    char buf[4096];
    long pid = 0;
    bool in_number = false;
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] >= '0' && buf[i] <= '9') {
          pid = pid * 10 + (buf[i] - '0');
          in_number = true;
        } else if (in_number) {
          f(static_cast<pid_t>(pid), ctx);
          pid = 0;
          in_number = false;
        }
      }
    }
    if (in_number) f(static_cast<pid_t>(pid), ctx);
    close(fd);
    return true;
  }
  // Kernels built without CONFIG_PROC_CHILDREN: find them by their parent.
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  const pid_t me = getpid();
  while (dirent* e = readdir(proc)) {
    char* end;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    char stat_path[64], stat[512];
    std::snprintf(stat_path, sizeof stat_path, "/proc/%ld/stat", pid);
    const int sfd = open(stat_path, O_RDONLY | O_CLOEXEC);
    if (sfd < 0) continue;
    const ssize_t n = read(sfd, stat, sizeof stat - 1);
    close(sfd);
    if (n <= 0) continue;
    stat[n] = '\0';
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
    const char* paren = nullptr;
    for (const char* p = stat; *p; ++p)
      if (*p == ')') paren = p;
    int ppid;
    char state;
    if (paren && std::sscanf(paren + 1, " %c %d", &state, &ppid) == 2 && ppid == me) f(static_cast<pid_t>(pid), ctx);
  }
  closedir(proc);
  return true;
}

namespace {

// Beyond the reserve, idle leaders are retired once idle for kIdleLimit seconds.
constexpr size_t kDefaultReserve = 4;
constexpr size_t kMaxReserve = 256;
constexpr double kIdleLimit = 10.0;
// Spare leaders are forked only after this long without a message from the
// gateway, so that the forks never compete with runs or with start-up.
constexpr double kQuiet = 0.2;

// The spawner's command line, rewritten in each leader so that `ps -f` and
// the like tell the reserve of idle leaders from the spawner.
char* g_args = nullptr;
size_t g_args_size = 0;

void show_as_leader() {
  if (!g_args) return;
  constexpr char kName[] = "portico-run";
  std::memset(g_args, 0, g_args_size);
  std::memcpy(g_args, kName, std::min(sizeof kName, g_args_size) - 1);
}

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Leader {
  pid_t pid;
  int control;  // -1 once retired: it exits when it sees the end of it
  bool idle;
  double idle_since;
};

// The leaders, live or retired until reaped. Anything else that becomes our
// child is an orphan of a leader that died, and is killed.
class Pool {
 public:
  Pool(int sock, int idle_r, int idle_w, int sigchld_fd, const rlimit& files, size_t reserve)
      : sock_(sock), idle_r_(idle_r), idle_w_(idle_w), sigchld_fd_(sigchld_fd), files_(files), reserve_(reserve) {}
  ~Pool() {
    for (size_t i = 0; i < count_; ++i)
      if (leaders_[i].control >= 0) close(leaders_[i].control);
    std::free(leaders_);
  }

  // Hands a run's channel to an idle leader, or to a new one.
  void dispatch(int channel) {
    const spawn::Open msg;
    for (;;) {
      Leader* l = most_recently_idle();
      if (!l) l = fork_leader();
      if (!l) {
        const spawn::Failed failed{spawn::kFailed, spawn::kStepFork, errno};
        spawn::send_message(channel, &failed, sizeof failed);
        return;
      }
      if (spawn::send_message(l->control, &msg, sizeof msg, &channel, 1) == 0) {
        l->idle = false;
        return;
      }
      retire(*l);  // it died and is not reaped yet
    }
  }

  void take_idle_reports() {
    int32_t pids[256];
    ssize_t n;
    while ((n = read(idle_r_, pids, sizeof pids)) > 0)
      for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof(int32_t)); ++i)
        if (Leader* l = find(pids[i]); l && l->control >= 0) mark_idle(*l);
  }

  void reap() {
    signalfd_siginfo info;
    while (read(sigchld_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    bool orphans = false;
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      Leader* l = find(pid);
      // A leader that ends normally has already ended its run's processes.
      if (!l || !WIFEXITED(status) || WEXITSTATUS(status) != 0) orphans = true;
      if (l) remove(*l);
    }
    if (orphans) kill_orphans();
  }

  bool short_of_reserve() const { return live() < reserve_; }

  // A leader forked ahead of demand; false when the fork failed.
  bool fork_spare() {
    Leader* l = fork_leader();
    if (l) mark_idle(*l);
    return l != nullptr;
  }

  // Retires idle leaders beyond the reserve that have waited too long;
  // returns the milliseconds until the next one is due, or -1.
  int retire_idle() {
    const double now = now_s();
    const size_t n = live();
    for (size_t surplus = n > reserve_ ? n - reserve_ : 0; surplus > 0; --surplus) {
      Leader* oldest = nullptr;
      for (size_t i = 0; i < count_; ++i)
        if (leaders_[i].idle && (!oldest || leaders_[i].idle_since < oldest->idle_since)) oldest = &leaders_[i];
      if (!oldest) break;
      if (now - oldest->idle_since < kIdleLimit)
        return static_cast<int>((oldest->idle_since + kIdleLimit - now) * 1000) + 1;
      retire(*oldest);
    }
    return -1;
  }

 private:
  // Leaders that take runs, busy or idle; not those retired and not yet reaped.
  size_t live() const {
    size_t n = 0;
    for (size_t i = 0; i < count_; ++i) n += leaders_[i].control >= 0;
    return n;
  }

  static void mark_idle(Leader& l) {
    l.idle = true;
    l.idle_since = now_s();
  }

  Leader* find(pid_t pid) {
    for (size_t i = 0; i < count_; ++i)
      if (leaders_[i].pid == pid) return &leaders_[i];
    return nullptr;
  }

  Leader* most_recently_idle() {
    Leader* best = nullptr;
    for (size_t i = 0; i < count_; ++i)
      if (leaders_[i].idle && (!best || leaders_[i].idle_since > best->idle_since)) best = &leaders_[i];
    return best;
  }

  void retire(Leader& l) {
    if (l.control >= 0) close(l.control);
    l.control = -1;
    l.idle = false;
  }

  void remove(Leader& l) {
    retire(l);
    l = leaders_[--count_];
  }

  Leader* fork_leader() {
    if (count_ == capacity_) {
      const size_t cap = capacity_ ? capacity_ * 2 : 64;
      void* grown = std::realloc(leaders_, cap * sizeof(Leader));
      if (!grown) return nullptr;
      leaders_ = static_cast<Leader*>(grown);
      capacity_ = cap;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return nullptr;
    const pid_t pid = fork();
    if (pid == 0) {
      // Only the spawner may hold the others' control sockets: a retired
      // leader must see the end of its own.
      for (size_t i = 0; i < count_; ++i)
        if (leaders_[i].control >= 0) close(leaders_[i].control);
      close(sv[0]);
      close(sock_);
      close(idle_r_);
      setrlimit(RLIMIT_NOFILE, &files_);
      show_as_leader();
      run_leader(sv[1], idle_w_, sigchld_fd_);
    }
    const int err = errno;
    close(sv[1]);
    if (pid < 0) {
      close(sv[0]);
      errno = err;
      return nullptr;
    }
    leaders_[count_] = {pid, sv[0], false, 0};
    return &leaders_[count_++];
  }

  void kill_orphans() {
    for_each_child([&](pid_t pid) {
      if (!find(pid)) kill(pid, SIGKILL);
    });
  }

  int sock_, idle_r_, idle_w_, sigchld_fd_;
  rlimit files_;
  size_t reserve_;
  Leader* leaders_ = nullptr;
  size_t count_ = 0, capacity_ = 0;
};

// Descriptors 0-2 must stay taken, or a pipe could land on one of them and be
// overwritten when a child's streams are set up. A placeholder is
// close-on-exec, so a child still sees the descriptor closed, as the gateway had it.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0) {
      const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
      if (null_fd >= 0 && null_fd != fd) {
        dup3(null_fd, fd, O_CLOEXEC);
        close(null_fd);
      }
    }
}

}  // namespace
}  // namespace portico::spawner

int main(int argc, char** argv) {
  using namespace portico;
  using namespace portico::spawner;
  if (argc > 0) {
    g_args = argv[0];
    g_args_size = static_cast<size_t>(argv[argc - 1] + std::strlen(argv[argc - 1]) + 1 - argv[0]);
  }
  size_t reserve = kDefaultReserve;
  if (argc > 1) {
    char* end;
    const unsigned long n = std::strtoul(argv[1], &end, 10);
    if (*end == '\0' && end != argv[1]) reserve = n < kMaxReserve ? n : kMaxReserve;
  }
  const int sock = 3;
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET) {
    std::fprintf(stderr, "portico-spawner: started by the portico gateway only (descriptor 3 is its socket)\n");
    return 2;
  }
  fcntl(sock, F_SETFD, FD_CLOEXEC);
  close_range(4, ~0U, 0);  // 4 held this program for the gateway's exec
  hold_standard_descriptors();

  // Out of the terminal's foreground group, so that Ctrl-C reaches only the
  // gateway, which finishes the runs in flight before it stops.
  setpgid(0, 0);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  // The gateway may start us through /proc/self/fd/N, which would be our name.
  prctl(PR_SET_NAME, "portico-spawner");
  // One control socket per leader is ours; runs get the gateway's own limit back.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  rlimit raised = files;
  raised.rlim_cur = raised.rlim_max;
  setrlimit(RLIMIT_NOFILE, &raised);
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) signal(s, SIG_DFL);
  for (int s : kIgnoredSignals) signal(s, SIG_IGN);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_SETMASK, &chld, nullptr);
  const int sigchld_fd = signalfd(-1, &chld, SFD_NONBLOCK | SFD_CLOEXEC);
  if (sigchld_fd < 0) {
    std::perror("portico-spawner: signalfd");
    return 1;
  }

  // Leaders report that they are free again on one pipe: writes of a pid are atomic.
  int idle[2];
  if (pipe2(idle, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("portico-spawner: pipe");
    return 1;
  }
  fcntl(idle[1], F_SETFL, 0);

  Pool pool(sock, idle[0], idle[1], sigchld_fd, files, reserve);
  double last_message = now_s();
  for (;;) {
    int timeout_ms = pool.retire_idle();
    const bool spare_due = pool.short_of_reserve();
    if (spare_due) {
      const int quiet_ms = std::max(0, static_cast<int>((last_message + kQuiet - now_s()) * 1000) + 1);
      if (timeout_ms < 0 || quiet_ms < timeout_ms) timeout_ms = quiet_ms;
    }
    pollfd fds[3] = {{sock, POLLIN, 0}, {sigchld_fd, POLLIN, 0}, {idle[0], POLLIN, 0}};
    const int ready = poll(fds, 3, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::perror("portico-spawner: poll");
      return 1;
    }
    if (ready == 0) {
      // A fork that failed (a process limit, say) is tried again after another quiet spell.
      if (spare_due && now_s() - last_message >= kQuiet && !pool.fork_spare()) last_message = now_s();
      continue;
    }
    if (fds[1].revents & POLLIN) pool.reap();
    if (fds[2].revents & POLLIN) pool.take_idle_reports();
    if (!fds[0].revents) continue;
    last_message = now_s();
    spawn::Open open_msg;
    int channel = -1, nfds = 0;
    const ssize_t n = spawn::receive_message(sock, &open_msg, sizeof open_msg, &channel, 1, &nfds);
    if (n == 0 || (n < 0 && n != -EAGAIN && n != -EMSGSIZE)) break;  // the gateway is gone
    if (nfds != 1) continue;
    if (n == static_cast<ssize_t>(sizeof open_msg) && open_msg.type == spawn::kOpen) pool.dispatch(channel);
    close(channel);
  }
  // Idle leaders exit now; busy ones when their run ends.
  return 0;
}
