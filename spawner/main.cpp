// portico-spawner: starts the process-alias children of one gateway.
//
// The gateway starts it once, with its end of a SOCK_SEQPACKET socket on
// descriptor 3. It is single-threaded and links only the C library, so a
// fork of it costs little and may do anything; a fork of the many-threaded
// gateway costs far more and may only make async-signal-safe calls.
// For each run it forks a leader (see leader.cpp) and forgets it. It exits
// when the gateway's end of the socket closes.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

// Pids of the live leaders; anything else that becomes our child is an orphan
// of a leader that died, and is killed.
struct Leaders {
  pid_t* pids = nullptr;
  size_t count = 0, capacity = 0;

  bool add(pid_t pid) {
    if (count == capacity) {
      const size_t cap = capacity ? capacity * 2 : 64;
      void* grown = std::realloc(pids, cap * sizeof(pid_t));
      if (!grown) return false;
      pids = static_cast<pid_t*>(grown);
      capacity = cap;
    }
    pids[count++] = pid;
    return true;
  }
  bool remove(pid_t pid) {
    for (size_t i = 0; i < count; ++i)
      if (pids[i] == pid) {
        pids[i] = pids[--count];
        return true;
      }
    return false;
  }
  bool contains(pid_t pid) const {
    for (size_t i = 0; i < count; ++i)
      if (pids[i] == pid) return true;
    return false;
  }
};

void kill_orphans(const Leaders& leaders) {
  for_each_child([&](pid_t pid) {
    if (!leaders.contains(pid)) kill(pid, SIGKILL);
  });
}

void reap(int sigchld_fd, Leaders& leaders) {
  signalfd_siginfo info;
  while (read(sigchld_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  bool orphans = false;
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    // A leader that ends normally has already ended its run's processes.
    if (!leaders.remove(pid) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) orphans = true;
  }
  if (orphans) kill_orphans(leaders);
}

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

int main() {
  using namespace portico;
  using namespace portico::spawner;
  const int sock = 3;
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET) {
    std::fprintf(stderr, "portico-spawner: started by the portico gateway only (descriptor 3 is its socket)\n");
    return 2;
  }
  fcntl(sock, F_SETFD, FD_CLOEXEC);
  hold_standard_descriptors();

  // Out of the terminal's foreground group, so that Ctrl-C reaches only the
  // gateway, which finishes the runs in flight before it stops.
  setpgid(0, 0);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
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

  Leaders leaders;
  for (;;) {
    pollfd fds[2] = {{sock, POLLIN, 0}, {sigchld_fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("portico-spawner: poll");
      return 1;
    }
    if (fds[1].revents & POLLIN) reap(sigchld_fd, leaders);
    if (!fds[0].revents) continue;
    spawn::Open open_msg;
    int channel = -1, nfds = 0;
    const ssize_t n = spawn::receive_message(sock, &open_msg, sizeof open_msg, &channel, 1, &nfds);
    if (n == 0 || (n < 0 && n != -EAGAIN && n != -EMSGSIZE)) break;  // the gateway is gone
    if (n != static_cast<ssize_t>(sizeof open_msg) || open_msg.type != spawn::kOpen || nfds != 1) {
      if (nfds == 1) close(channel);
      continue;
    }
    const pid_t pid = fork();
    if (pid == 0) {
      close(sock);
      run_leader(channel, sigchld_fd);
    }
    if (pid < 0) {
      const spawn::Failed failed{spawn::kFailed, spawn::kStepFork, errno};
      spawn::send_message(channel, &failed, sizeof failed);
    } else if (!leaders.add(pid)) {
      kill(pid, SIGKILL);  // untracked, its orphans would look like ours
    }
    close(channel);
  }
  std::free(leaders.pids);
  return 0;
}
