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
  double check_seconds = 0;  // what checking the hash took when it was loaded
  bool costliest = false;    // its hash is of the costliest configured kind
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
  // A hash of the costliest configured kind, checked for unknown users, and
  // what one check of that kind cost when loading.
  std::string decoy_hash;
  double decoy_seconds = 0;
  std::vector<std::string> files;  // the files read, for messages
  uint64_t generation = 0;  // which load this is; cached passwords belong to one
};

// Every failed password check spends one check of the costliest configured
// kind of hash (an unknown user's against a decoy, a much cheaper hash's in
// addition to its own) and then waits until the same time after it began, a
// little longer than the slowest recent check of that kind. Neither the
// existence of a user nor the kind of their hash then shows in the time of a
// refusal, and a busy host delays them all alike.
class FailurePace {
 public:
  // A check of the costliest kind took `seconds`.
  void record(uint64_t generation, double seconds);
  // How long a failure should take; from `seed` until a check was recorded.
  double hold(uint64_t generation, double seed);

 private:
  std::mutex mu_;
  uint64_t generation_ = ~uint64_t{0};
  std::vector<double> samples_;  // ring of recent checks
  size_t next_ = 0;
  double hold_ = 0;  // 0: none given yet
};

// The part of a crypt(3) hash that decides its cost: method and parameters,
// without salt and digest ("$y$j9T", "$2b$12", "$6$rounds=5000").
std::string hash_kind(const std::string& hash);

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
