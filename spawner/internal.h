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

// A run leader's life: takes runs' channels from `control`, one at a time;
// for each reads the request, starts the shell, watches it, ends every
// process of the run, then writes its pid to `idle_w`. Exits when `control`
// closes. Never returns.
[[noreturn]] void run_leader(int control, int idle_w, int sigchld_fd);

// A leader's exit status when it left processes it could not kill.
constexpr int kLeftSurvivors = 3;

}  // namespace portico::spawner
