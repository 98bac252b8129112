#pragma once
// Failed sign-ins per (client address, user name) over the last 60 seconds.
// Beyond the limit an attempt is refused before any password is checked.
// A password check in progress holds a place against the limit, so that many
// guesses sent at once cannot all be checked before their failures count.
//
// Memory is bounded: failures are kept per second (60 counters a pair, whatever
// the limit) and at most `max_pairs` pairs are remembered; an attacker who
// rotates names pushes out the pairs touched longest ago.
//
// Thread rules: every member may be called from any thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace portico::api {

class SignInThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kWindowSeconds = 60;

  // A limit of 0 turns throttling off.
  explicit SignInThrottle(size_t limit, size_t max_pairs = 16384);

  // Seconds until the pair may try again, or absent when it may now.
  // With `reserve`, an allowed attempt holds a place until settle().
  std::optional<int> admit(const std::string& client, const std::string& user, bool reserve,
                           Clock::time_point now = Clock::now());
  void settle(const std::string& client, const std::string& user, bool reserved, bool failed,
              Clock::time_point now = Clock::now());

  size_t pairs() const;

 private:
  struct Entry {
    std::array<uint16_t, kWindowSeconds> per_second{};  // failures, indexed by second % 60
    int64_t last_second = 0;                            // newest second the counters cover
    uint32_t pending = 0;
    std::list<std::string>::iterator lru;
  };
  static std::string key_of(const std::string& client, const std::string& user);
  Entry& entry(const std::string& key, int64_t second);
  static void advance(Entry& e, int64_t second);
  static size_t failures(const Entry& e);

  const size_t limit_, max_pairs_;
  mutable std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> lru_;  // front: touched longest ago
};

}  // namespace portico::api
