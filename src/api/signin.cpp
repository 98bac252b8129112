#include "api/signin.h"

#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "common/text.h"
#include "logging/logging.h"

namespace portico::api {

SignIn::SignIn(AuthStore& auth, WorkPool& pool, size_t failure_limit, Metrics& metrics, Audit audit)
    : auth_(auth), pool_(pool), throttle_(failure_limit), metrics_(metrics), audit_(std::move(audit)) {
  if (RAND_bytes(secret_, sizeof secret_) != 1) throw std::runtime_error("cannot seed the sign-in checks");
}

// Keyed, so that the map never holds anything a password can be tested against.
std::string SignIn::flight_key(std::string_view header) const {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), secret_, sizeof secret_, reinterpret_cast<const unsigned char*>(header.data()), header.size(),
       out, &len);
  return std::string(reinterpret_cast<char*>(out), len);
}

void SignIn::refuse(const ExchangePtr& ex, const std::string& user, const Value& alias, const std::string& outcome,
                    int status, int retry_after) {
  metrics_.count_sign_in(outcome);
  audit_(*ex, user, alias, outcome, status);
  Answer a;
  if (status == 401) {
    a = error_answer(401, "Authentication required");
    a.headers.emplace_back("WWW-Authenticate", "Basic realm=\"portico\", charset=\"UTF-8\"");
  } else {
    a = error_answer(429, retry_after > 0 ? "Too many failed sign-ins; retry later"
                                          : "Too many sign-ins in progress; retry later");
    a.headers.emplace_back("Retry-After", std::to_string(retry_after > 0 ? retry_after : 1));
  }
  ex->reply(std::move(a));
}

void SignIn::check(const ExchangePtr& ex, const Value& alias, std::function<void()> then) {
  const std::string header(ex->field("Authorization"));
  if (header.empty()) return refuse(ex, "-", alias, "unauthorized", 401, 0);
  const std::string user = auth_.claimed_user(header);
  if (auto wait = throttle_.admit(ex->client(), user, false)) return refuse(ex, user, alias, "auth_throttled", 429, *wait);

  std::optional<Principal> principal;
  switch (auth_.authenticate_quick(header, principal)) {
    case AuthStore::Quick::Accepted:
      ex->set_principal(std::move(*principal));
      return then();
    case AuthStore::Quick::Refused:
      throttle_.settle(ex->client(), user, false, true);
      return refuse(ex, user, alias, "unauthorized", 401, 0);
    case AuthStore::Quick::Slow:
      break;
  }

  const std::string key = flight_key(header);
  {
    std::lock_guard<std::mutex> l(mu_);
    if (auto it = flights_.find(key); it != flights_.end()) {
      it->second.push_back(Waiter{ex, std::move(then), user, alias, false});
      return;
    }
  }
  // Only password guesses hold a place: a burst of distinct valid tokens from
  // one address must not throttle itself.
  const bool reserve = ascii_lower(std::string_view(header).substr(0, 6)) == "basic ";
  if (reserve) {
    if (auto wait = throttle_.admit(ex->client(), user, true)) return refuse(ex, user, alias, "auth_throttled", 429, *wait);
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    auto [it, fresh] = flights_.try_emplace(key);
    it->second.push_back(Waiter{ex, std::move(then), user, alias, reserve});
    if (!fresh) return;  // another check of the same header began meanwhile
  }
  const bool queued = pool_.try_submit([this, key, header] {
    const auto p = auth_.authenticate(header);
    std::vector<Waiter> waiters;
    {
      std::lock_guard<std::mutex> l(mu_);
      waiters = std::move(flights_[key]);
      flights_.erase(key);
    }
    for (auto& w : waiters) finish(w, p);
  });
  if (queued) return;
  std::vector<Waiter> waiters;
  {
    std::lock_guard<std::mutex> l(mu_);
    waiters = std::move(flights_[key]);
    flights_.erase(key);
  }
  for (auto& w : waiters) {
    throttle_.settle(w.ex->client(), w.user, w.reserved, false);
    refuse(w.ex, w.user, w.alias, "auth_throttled", 429, 0);
  }
}

void SignIn::finish(Waiter& w, const std::optional<Principal>& p) {
  throttle_.settle(w.ex->client(), w.user, w.reserved, !p);
  if (!p) return refuse(w.ex, w.user, w.alias, "unauthorized", 401, 0);
  w.ex->set_principal(*p);
  CorrelationScope scope(w.ex->correlation_id());
  w.then();
}

}  // namespace portico::api
