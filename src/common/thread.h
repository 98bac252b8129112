#pragma once
// Threads of the service's own (watcher, log flusher, service notifier).

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace portico {

// Starts a thread that never takes a process signal: the program's signal
// thread handles those, and a default action taken on another thread would
// end the process.
template <typename F>
std::thread start_quiet_thread(F&& f) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  std::thread t(std::forward<F>(f));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return t;
}

}  // namespace portico
