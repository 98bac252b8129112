#pragma once
// The authentication store: users with crypt(3) password hashes and JWT
// public keys, loaded from the YAML files of AuthDir, and the check of an
// Authorization header against them.
//
// Thread rules: every member may be called from any thread at any time.
// Loaded configurations are immutable snapshots behind a std::shared_ptr;
// reloads are serialised among themselves and never make readers wait for
// file I/O. A reload with errors keeps the previous configuration.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/auth_store.h"

namespace portico {

class FailurePace;

class FileAuthStore final : public AuthStore {
 public:
  // The directory is asked for at every load (production reads AuthDir).
  explicit FileAuthStore(std::function<std::string()> dir_source);
  explicit FileAuthStore(std::string dir);
  ~FileAuthStore() override;
  FileAuthStore(const FileAuthStore&) = delete;
  FileAuthStore& operator=(const FileAuthStore&) = delete;

  Errors load_auth_config() override;
  size_t user_count() const override;
  size_t public_key_count() const override;

  // Checks an Authorization header value ("Basic ..." or "Bearer ...").
  // Absent on any failure; never throws for bad input.
  std::optional<Principal> authenticate(std::string_view authorization_header) const override;
  // Accepted only for a password verified before and still cached; a bearer
  // token is always Slow (its signature is checked by authenticate()).
  Quick authenticate_quick(std::string_view authorization_header, std::optional<Principal>& principal) const override;
  // A Basic user name as given, "-" otherwise.
  std::string claimed_user(std::string_view authorization_header) const override;

  // Seconds a verified password stays cached.
  static constexpr int kCacheTtlSeconds = 60;

  struct Snapshot;
  class CredentialCache;

 private:
  std::optional<Principal> basic(std::string_view credentials) const;
  std::optional<Principal> bearer(std::string_view token) const;
  std::shared_ptr<const Snapshot> snapshot() const;

  std::function<std::string()> dir_source_;
  mutable std::mutex snapshot_mu_;
  std::shared_ptr<const Snapshot> snapshot_;
  std::mutex reload_mu_;
  std::unique_ptr<CredentialCache> cache_;
  std::unique_ptr<FailurePace> pace_;
};

}  // namespace portico
