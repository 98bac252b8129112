#include "executor/start_gate.h"

#include <unistd.h>

#include <algorithm>

namespace portico {

StartGate& StartGate::shared() {
  static StartGate gate(static_cast<size_t>(std::max(2L, sysconf(_SC_NPROCESSORS_ONLN))));
  return gate;
}

StartGate::Slot StartGate::enter() {
  std::unique_lock lock(mu_);
  if (free_ > 0 && queue_.empty()) {
    --free_;
    return Slot(this);
  }
  // Each waiter has its own condition, so a slot that frees wakes exactly
  // the next one rather than every thread in the queue.
  Waiter me;
  queue_.push_back(&me);
  me.cv.wait(lock, [&] { return me.admitted; });
  return Slot(this);
}

void StartGate::leave() {
  std::lock_guard lock(mu_);
  if (queue_.empty()) {
    ++free_;
    return;
  }
  Waiter* next = queue_.front();
  queue_.pop_front();
  next->admitted = true;  // the slot passes to it directly: no one can overtake
  next->cv.notify_one();
}

size_t StartGate::waiting() const {
  std::lock_guard lock(mu_);
  return queue_.size();
}

}  // namespace portico
