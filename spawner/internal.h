#pragma once
// Private to portico-spawner.

#include <signal.h>
#include <sys/types.h>

namespace portico::spawner {

// Signals the spawner and its run leaders ignore; a started shell gets them
// back at their defaults (everything else is already at its default).
constexpr int kIgnoredSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};

// Calls `f(pid)` for every current child of this process; false when the
// children cannot be listed at all.
template <typename F>
bool for_each_child(F f);
bool list_children(void (*f)(pid_t, void*), void* ctx);

template <typename F>
bool for_each_child(F f) {
  return list_children([](pid_t pid, void* ctx) { (*static_cast<F*>(ctx))(pid); }, &f);
}

// The per-run leader: reads the request from `channel`, starts the shell,
// watches it and ends every process of the run. Never returns.
[[noreturn]] void run_leader(int channel, int sigchld_fd);

}  // namespace portico::spawner
