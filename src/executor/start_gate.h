#pragma once
// Admission of process starts. A short command costs little more than its
// start (fork, exec, the shell's own start-up), all of it CPU work. When every
// run may start at once, a burst of short runs shares the CPUs among dozens of
// shells that all finish late and in no particular order: the slowest wait
// several times longer than the median, and the machine spends more of its
// time switching between them. The gate lets a few runs start at a time, in
// arrival order. A run leaves it when its shell exits, or after a short hold:
// by then it is a long run (it waits, or works for a while), and it no longer
// counts, so a long run never holds the others back for more than the hold.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace portico {

class StartGate {
 public:
  static constexpr std::chrono::milliseconds kHold{5};

  // A place in the gate; leaving is idempotent and happens at destruction.
  class Slot {
   public:
    Slot() = default;
    explicit Slot(StartGate* gate) : gate_(gate) {}
    Slot(Slot&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
    Slot& operator=(Slot&& other) noexcept {
      if (this != &other) {
        leave();
        gate_ = other.gate_;
        other.gate_ = nullptr;
      }
      return *this;
    }
    ~Slot() { leave(); }
    void leave() {
      if (gate_) gate_->leave();
      gate_ = nullptr;
    }
    bool held() const { return gate_ != nullptr; }

   private:
    StartGate* gate_ = nullptr;
  };

  explicit StartGate(size_t slots) : free_(slots ? slots : 1) {}
  // One slot per online CPU, and at least two.
  static StartGate& shared();

  // Waits for a slot; waiters are served in arrival order.
  Slot enter();
  size_t waiting() const;

 private:
  struct Waiter {
    std::condition_variable cv;
    bool admitted = false;
  };
  void leave();

  mutable std::mutex mu_;
  size_t free_;
  std::deque<Waiter*> queue_;
};

}  // namespace portico
