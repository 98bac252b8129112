#include "api/pool.h"

#include <pthread.h>

#include <exception>

#include "logging/logging.h"

namespace portico::api {

WorkPool::WorkPool(std::string name, size_t threads, size_t max_waiting)
    : name_(std::move(name)), capacity_(threads + max_waiting) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

WorkPool::~WorkPool() { stop(); }

bool WorkPool::try_submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (stopping_ || queue_.size() + running_ >= capacity_) return false;
    queue_.push_back(std::move(task));
  }
  cv_.notify_one();
  return true;
}

void WorkPool::stop() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (stopping_ && threads_.empty()) return;
    stopping_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
}

size_t WorkPool::running() const {
  std::lock_guard<std::mutex> l(mu_);
  return running_;
}

size_t WorkPool::waiting() const {
  std::lock_guard<std::mutex> l(mu_);
  return queue_.size();
}

void WorkPool::work() {
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  std::unique_lock<std::mutex> l(mu_);
  for (;;) {
    cv_.wait(l, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and everything admitted has run
    auto task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    l.unlock();
    try {
      task();
    } catch (const std::exception& e) {
      app_log()->error("Task on " + name_ + " failed: " + e.what());
    } catch (...) {
      app_log()->error("Task on " + name_ + " failed");
    }
    task = nullptr;  // whatever it holds goes before the slot is given back
    l.lock();
    --running_;
  }
}

}  // namespace portico::api
