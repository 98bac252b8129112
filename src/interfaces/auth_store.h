#pragma once
// Users and JWT keys as the libraries call them; implemented by the
// authentication store.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/errors.h"

namespace portico {

// Who a request signed in as, and what they may run.
struct Principal {
  std::string name;    // user name, or the token's subject
  std::string method;  // "basic" or "bearer"
  bool all_aliases = false;
  std::vector<std::string> aliases;
};

inline bool may_run(const Principal& p, const std::string& alias) {
  if (p.all_aliases) return true;
  for (const auto& a : p.aliases)
    if (a == alias) return true;
  return false;
}

class AuthStore {
 public:
  virtual ~AuthStore() = default;
  // (Re)loads the directory; on errors the previous configuration stays.
  virtual Errors load_auth_config() = 0;
  virtual size_t user_count() const = 0;
  virtual size_t public_key_count() const = 0;

  // Who the Authorization header signs in as; none for anything else. May
  // check a password hash: call it off the I/O threads.
  virtual std::optional<Principal> authenticate(std::string_view authorization_header) const = 0;
  // What authenticate() can decide without a password hash: Accepted (with
  // `principal` set), Refused (malformed, or a form that cannot succeed), or
  // Slow (authenticate() must decide).
  enum class Quick { Accepted, Refused, Slow };
  virtual Quick authenticate_quick(std::string_view authorization_header, std::optional<Principal>& principal) const {
    (void)authorization_header, (void)principal;
    return Quick::Slow;
  }
  // The user name the header claims ("-" when it names none), for throttling
  // and audit lines; nothing is checked.
  virtual std::string claimed_user(std::string_view authorization_header) const = 0;
};

}  // namespace portico
