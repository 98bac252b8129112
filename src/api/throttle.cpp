#include "api/throttle.h"

#include <openssl/evp.h>

namespace portico::api {
namespace {

int64_t second_of(SignInThrottle::Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

size_t slot(int64_t second) {
  constexpr int64_t w = SignInThrottle::kWindowSeconds;
  return static_cast<size_t>(((second % w) + w) % w);
}

}  // namespace

SignInThrottle::SignInThrottle(size_t limit, size_t max_pairs) : limit_(limit), max_pairs_(max_pairs) {}

// A digest keeps keys short whatever length of name a client sends.
std::string SignInThrottle::key_of(const std::string& client, const std::string& user) {
  std::string both = client;
  both.push_back('\0');
  both += user;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(both.data(), both.size(), md, &len, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(md), len);
}

void SignInThrottle::advance(Entry& e, int64_t second) {
  if (second <= e.last_second) return;
  const int64_t steps = std::min<int64_t>(second - e.last_second, kWindowSeconds);
  for (int64_t s = 1; s <= steps; ++s) e.per_second[slot(e.last_second + s)] = 0;
  e.last_second = second;
}

size_t SignInThrottle::failures(const Entry& e) {
  size_t n = 0;
  for (auto c : e.per_second) n += c;
  return n;
}

SignInThrottle::Entry& SignInThrottle::entry(const std::string& key, int64_t second) {
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    lru_.splice(lru_.end(), lru_, it->second.lru);
    advance(it->second, second);
    return it->second;
  }
  while (entries_.size() >= max_pairs_ && !lru_.empty()) {
    entries_.erase(lru_.front());
    lru_.pop_front();
  }
  lru_.push_back(key);
  Entry& e = entries_[key];
  e.last_second = second;
  e.lru = std::prev(lru_.end());
  return e;
}

std::optional<int> SignInThrottle::admit(const std::string& client, const std::string& user, bool reserve,
                                         Clock::time_point now) {
  if (limit_ == 0) return std::nullopt;
  const int64_t second = second_of(now);
  const std::string key = key_of(client, user);
  std::lock_guard<std::mutex> l(mu_);
  if (!reserve && entries_.find(key) == entries_.end()) return std::nullopt;
  Entry& e = entry(key, second);
  if (failures(e) + e.pending < limit_) {
    if (reserve) ++e.pending;
    return std::nullopt;
  }
  // The oldest failure still counted leaves the window first.
  for (int64_t s = second - kWindowSeconds + 1; s <= second; ++s)
    if (e.per_second[slot(s)] > 0) return static_cast<int>(s + kWindowSeconds - second);
  return 1;  // only checks in progress hold the places
}

void SignInThrottle::settle(const std::string& client, const std::string& user, bool reserved, bool failed,
                            Clock::time_point now) {
  if (limit_ == 0 || (!reserved && !failed)) return;
  const int64_t second = second_of(now);
  const std::string key = key_of(client, user);
  std::lock_guard<std::mutex> l(mu_);
  Entry& e = entry(key, second);
  if (reserved && e.pending > 0) --e.pending;
  auto& count = e.per_second[slot(second)];
  if (failed && count < UINT16_MAX) ++count;
}

size_t SignInThrottle::pairs() const {
  std::lock_guard<std::mutex> l(mu_);
  return entries_.size();
}

}  // namespace portico::api
