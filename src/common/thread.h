#pragma once
// Background threads that never take a process signal: the program's signal
// thread handles those, and a signal's default action on any other thread
// would end the process.

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace portico {

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
