#pragma once
// Sign-in for the routes that need it. Password hashes and signatures are
// checked on their own bounded pool, never on an I/O thread; identical
// credentials arriving together share one check; failures are throttled per
// (client address, user name) before any hash is computed. Every failed or
// throttled sign-in writes an audit line and counts in the metrics.
//
// Thread rules: check() from any thread; `then` runs on an I/O thread or on
// the sign-in pool.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/exchange.h"
#include "api/metrics.h"
#include "api/pool.h"
#include "api/throttle.h"

namespace portico::api {

class SignIn {
 public:
  // Writes the audit line of a refused sign-in: (exchange, user as given, alias or null, outcome, status).
  using Audit = std::function<void(const Exchange&, const std::string&, const Value&, const std::string&, int)>;

  SignIn(AuthStore& auth, WorkPool& pool, size_t failure_limit, Metrics& metrics, Audit audit);

  // Calls `then` once the exchange's principal is set; otherwise answers 401
  // or 429 itself. `alias` (or null) goes into the audit line of a refusal.
  void check(const ExchangePtr& ex, const Value& alias, std::function<void()> then);

 private:
  struct Waiter {
    ExchangePtr ex;
    std::function<void()> then;
    std::string user;
    Value alias;
    bool reserved;
  };
  void finish(Waiter& w, const std::optional<Principal>& p);
  void refuse(const ExchangePtr& ex, const std::string& user, const Value& alias, const std::string& outcome,
              int status, int retry_after);
  std::string flight_key(std::string_view header) const;

  AuthStore& auth_;
  WorkPool& pool_;
  SignInThrottle throttle_;
  Metrics& metrics_;
  Audit audit_;
  unsigned char secret_[32];
  std::mutex mu_;
  std::unordered_map<std::string, std::vector<Waiter>> flights_;  // checks in progress
};

}  // namespace portico::api
