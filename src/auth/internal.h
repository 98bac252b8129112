#pragma once
// Private to the authentication store.

#include <openssl/evp.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
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
  std::string issuer, audience;
  std::string aliases_claim = "aliases";
  std::string subject_claim = "sub";
};

struct FileAuthStore::Snapshot {
  std::map<std::string, UserEntry> users;
  std::vector<JwtKey> keys;
  std::string decoy_hash;  // same settings as a real hash, for unknown users
  uint64_t generation = 0;  // which load this is; cached passwords belong to one
};

// Verified passwords, keyed by a keyed hash of the credential so the cache
// never holds a password or anything that can be tested offline.
class FileAuthStore::CredentialCache {
 public:
  CredentialCache();
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

// Loads one directory; every problem is collected.
std::shared_ptr<FileAuthStore::Snapshot> load_auth_directory(const std::string& dir, Errors& errors);

// Verifies a JWS signature over `signing_input` with the key for `alg`.
bool verify_jws(const JwtKey& key, const std::string& alg, std::string_view signing_input, std::string_view signature);
// Whether the key's type fits the algorithm (RSA for RS/PS, the right curve for ES, Ed25519 for EdDSA).
bool key_fits(EVP_PKEY* key, const std::string& alg);
bool allowed_algorithm(const std::string& alg);

}  // namespace portico
