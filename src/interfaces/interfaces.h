#pragma once
// The outside components that the libraries call. `portico` builds one of
// each at start-up and hands them to the objects that use them through their
// constructors; tests build real ones on temporary directories, or small fakes.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/value.h"
#include "interfaces/alias.h"
#include "interfaces/settings.h"

namespace portico {

using Errors = std::vector<std::string>;

// Unusable configuration: carries every problem found, in order.
class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(Errors errs)
      : std::runtime_error(errs.empty() ? std::string("configuration error") : errs.front()),
        errors(std::move(errs)) {}
  Errors errors;
};

// Ordered configuration overrides: key -> text exactly as typed.
using Overrides = std::vector<std::pair<std::string, std::string>>;

// Settings and alias definitions. All calls may come from any thread; reads
// see either the old or the new definitions of a concurrent reload, never a mix.
class ConfigStore {
 public:
  virtual ~ConfigStore() = default;
  // Reads the file (built-in defaults when it does not exist), applies the
  // overrides; throws ConfigError listing every problem.
  virtual void load(const std::string& path, const std::optional<Overrides>& overrides) = 0;
  // The value of a key, or null when it has none.
  virtual Value get(const std::string& key) const = 0;
  // Every key of the last successful load (built-in defaults before one).
  virtual std::shared_ptr<const Settings> settings() const = 0;
  // Loads the alias directory: (object name -> definition, errors).
  virtual std::pair<Value, Errors> load_aliases() = 0;
  virtual void apply_aliases(const Value& aliases) = 0;
  // The definition as the loader made it, or null when no alias of that name is loaded.
  virtual AliasPtr alias(const std::string& name) const = 0;
  // The definition, or null when no alias of that name is loaded.
  virtual Value get_alias(const std::string& name) const = 0;
  // All definitions, in file-name order then order within the file.
  virtual std::vector<Value> get_all_aliases() const = 0;
  // The current name -> definition object.
  virtual Value get_alias_map() const = 0;
  // All or nothing: on any error the previous aliases stay in effect.
  virtual Errors reload_aliases() = 0;
  virtual void record_startup_success() = 0;
  virtual void record_auth_reload(bool success) = 0;
  virtual void record_alias_reload(bool success) = 0;
  // What the record calls kept, for the health endpoint.
  virtual Value status() const = 0;
};

// What the logs report about themselves, for the health and metrics endpoints.
struct LogHealth {
  std::optional<std::string> degraded;  // why writes fail; safe to show anyone
  Value details = Value::object();      // per log: path, state, counters
  std::string metrics;                  // Prometheus text of the counters
};

// Application log set-up and correlation ids. The application logger itself is
// the spdlog logger named "portico" (see logging/logging.h for `app_log()`).
class Logging {
 public:
  virtual ~Logging() = default;
  virtual void setup_logging(const ConfigStore& config) = 0;
  virtual void reopen_logs() = 0;
  // The calling thread's request id, or absent outside a request.
  virtual std::optional<std::string> get_correlation_id() const = 0;
  // One audit record (a JSON object) as one line of the audit log.
  virtual void audit(const Value& record) = 0;
  virtual LogHealth log_health() const { return {}; }
};

// Raised by render() for an unknown name or a malformed template.
class TemplateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TemplateRenderer {
 public:
  virtual ~TemplateRenderer() = default;
  // Renders without a run directory: "{{ run_dir }}" is an unknown name.
  virtual std::string render(const std::string& text, const Value& params) const = 0;
  // Renders with a run directory; an absent one renders as the empty text.
  virtual std::string render(const std::string& text, const Value& params,
                             const std::optional<std::string>& run_dir) const = 0;
};

class ParameterValidator {
 public:
  virtual ~ParameterValidator() = default;
  // The parameters completed with every declared parameter (null without a default).
  virtual Value apply_defaults(Value params, const Value& alias_cfg) const = 0;
  // Messages in declaration order, empty when the parameters are acceptable.
  virtual Errors validate_parameters(const Value& params, const Value& alias_cfg) const = 0;
};

// Users and JWT keys; implemented by the authentication store.
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

class ApiServer {
 public:
  virtual ~ApiServer() = default;
  // Serves until graceful_shutdown(); throws when it cannot listen.
  virtual void start() = 0;
  // Stops accepting and lets running requests finish. Any thread.
  virtual void graceful_shutdown() = 0;
};

}  // namespace portico
