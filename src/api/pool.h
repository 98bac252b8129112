#pragma once
// A fixed set of threads that take tasks from a bounded queue: runs, password
// checks and short blocking work each get one, so that none can starve the
// others or the I/O threads.
//
// Thread rules: try_submit() and the counters from any thread; stop() once,
// from a thread that is not one of the pool's.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace portico::api {

class WorkPool {
 public:
  // `name` names the threads (at most 15 characters show in ps).
  WorkPool(std::string name, size_t threads, size_t max_waiting);
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // Admits the task unless `threads + max_waiting` are already admitted (or
  // the pool has stopped); the task then runs exactly once. An exception it
  // throws is logged and dropped.
  bool try_submit(std::function<void()> task);
  // Runs everything admitted so far, then joins the threads.
  void stop();

  size_t running() const;
  size_t waiting() const;

 private:
  void work();

  const std::string name_;
  const size_t capacity_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace portico::api
