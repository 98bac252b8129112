#pragma once
// Private to the authentication store.

#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "auth/auth.h"

namespace portico {

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

struct UserEntry {
  std::string hash;
  bool all_aliases = false;
  std::vector<std::string> aliases;
};

struct JwtKey {
  std::string name;
  std::shared_ptr<EVP_PKEY> key;
  std::set<std::string> algorithms;
  std::string issuer, audience;  // empty: not checked
  std::string aliases_claim = "aliases";
  std::string subject_claim = "sub";
};

struct FileAuthStore::Snapshot {
  // Distinguishes snapshots, so a cache entry verified against an older one
  // can never vouch for a credential under a newer one.
  uint64_t generation = 0;
  std::map<std::string, UserEntry> users;
  std::vector<JwtKey> keys;
  std::string decoy_hash;  // same settings as a real hash, for unknown users
};

// Verified passwords, keyed by a keyed hash of the credential so the cache
// never holds a password or anything that can be tested offline.
class FileAuthStore::CredentialCache {
 public:
  static constexpr size_t MAX_ENTRIES = 10000;

  CredentialCache();
  ~CredentialCache();
  std::string key_of(std::string_view user, std::string_view password) const;
  bool hit(const std::string& key, std::string_view user, uint64_t generation);
  void put(const std::string& key, std::string_view user, uint64_t generation);
  void clear();

 private:
  struct Entry {
    std::string user;
    uint64_t generation;
    std::chrono::steady_clock::time_point expires;
  };
  unsigned char secret_[32];
  std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
};

// Loads one directory; every problem is appended to `errors`.
std::shared_ptr<FileAuthStore::Snapshot> load_auth_directory(const std::string& dir, Errors& errors);

bool allowed_algorithm(const std::string& alg);
// Empty when the key suits the algorithm, otherwise why not.
std::string key_mismatch(EVP_PKEY* key, const std::string& alg);
// Empty when the key is strong enough for any use, otherwise why not.
std::string key_weakness(EVP_PKEY* key);
// Verifies a JWS signature over `signing_input` with the key for `alg`.
bool verify_jws(EVP_PKEY* key, const std::string& alg, std::string_view signing_input, std::string_view signature);

}  // namespace portico
