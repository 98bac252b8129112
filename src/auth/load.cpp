#include <crypt.h>
#include <dirent.h>
#include <sys/stat.h>
#include <openssl/pem.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <cstring>

#include "auth/internal.h"
#include "common/fd.h"
#include "common/text.h"

namespace portico {
namespace {

const char* const kHashPrefixes[] = {"$y$", "$gy$", "$7$", "$2b$", "$2a$", "$2y$", "$6$", "$5$"};

// Seconds one check of the hash takes, or absent when crypt(3) cannot use it.
std::optional<double> hash_cost(const std::string& hash) {
  bool prefix = false;
  for (const char* p : kHashPrefixes)
    if (hash.rfind(p, 0) == 0) prefix = true;
  if (!prefix) return std::nullopt;
  auto data = std::make_unique<crypt_data>();
  const auto t0 = std::chrono::steady_clock::now();
  const char* out = crypt_rn("probe", hash.c_str(), data.get(), sizeof(crypt_data));
  if (!out || out[0] == '*') return std::nullopt;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Picks the decoy: the kind whose check costs most. Each kind is timed at
// least three times (the fastest counts), so one slow moment on a busy host
// cannot make a cheap kind look costly.
void choose_decoy(FileAuthStore::Snapshot& snap) {
  struct Kind {
    std::string hash;
    double fastest = 1e9;
    int samples = 0;
  };
  std::map<std::string, Kind> kinds;
  for (const auto& [name, user] : snap.users) {
    Kind& k = kinds[hash_kind(user.hash)];
    if (k.hash.empty()) k.hash = user.hash;
    k.fastest = std::min(k.fastest, user.check_seconds);
    ++k.samples;
  }
  const Kind* costliest = nullptr;
  for (auto& [name, k] : kinds) {
    for (; k.samples < 3; ++k.samples)
      if (auto cost = hash_cost(k.hash)) k.fastest = std::min(k.fastest, *cost);
    if (!costliest || k.fastest > costliest->fastest) costliest = &k;
  }
  if (!costliest) return;
  snap.decoy_hash = costliest->hash;
  snap.decoy_seconds = costliest->fastest;
  const std::string kind = hash_kind(costliest->hash);
  for (auto& [name, user] : snap.users) user.costliest = hash_kind(user.hash) == kind;
}

std::shared_ptr<EVP_PKEY> parse_public_key(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!key) return nullptr;
  return std::shared_ptr<EVP_PKEY>(key, PkeyFree());
}

std::vector<std::string> yaml_files(const std::string& dir, Errors& errors) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    errors.push_back("Auth directory " + dir + ": " + std::strerror(errno));
    return names;
  }
  while (dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n.empty() || n[0] == '.') continue;
    const bool yaml = (n.size() > 5 && n.compare(n.size() - 5, 5, ".yaml") == 0) ||
                      (n.size() > 4 && n.compare(n.size() - 4, 4, ".yml") == 0);
    if (!yaml) continue;
    struct stat st;
    const std::string p = path_join({dir, n});
    if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

class FileLoad {
 public:
  FileLoad(const std::string& dir, const std::string& path, FileAuthStore::Snapshot& snap,
           std::map<std::string, std::string>& user_files, Errors& errors)
      : dir_(dir), path_(path), snap_(snap), user_files_(user_files), errors_(errors) {}

  void run() {
    Value doc;
    try {
      doc = yaml_to_value(YAML::Load(read_file(path_)));
    } catch (const YAML::Exception& e) {
      return error("invalid YAML at line " + std::to_string(e.mark.line + 1) + ", column " +
                   std::to_string(e.mark.column + 1) + ": " + e.msg);
    } catch (const std::system_error& e) {
      return error(e.code().message());
    } catch (const std::exception& e) {
      return error(e.what());
    }
    if (doc.is_null()) return;
    if (!doc.is_object()) return error("the top level must be a map with 'users' and/or 'jwt'");
    for (auto it = doc.begin(); it != doc.end(); ++it) {
      if (it.key() == "users") users(it.value());
      else if (it.key() == "jwt") jwt(it.value());
      else error("unknown key " + quoted(it.key()) + " (expected 'users' or 'jwt')");
    }
  }

 private:
  void error(const std::string& msg) { errors_.push_back(path_ + ": " + msg); }

  // aliases: "*" | ["*"] | [names]; missing: none.
  bool alias_list(const Value& v, const std::string& who, bool& all, std::vector<std::string>& out) {
    if (v.is_null()) return true;
    if (v.is_string()) {
      if (v.get<std::string>() == "*") {
        all = true;
        return true;
      }
      out.push_back(v.get<std::string>());
      return true;
    }
    if (!v.is_array()) {
      error(who + ": aliases must be a list of alias names or \"*\"");
      return false;
    }
    for (const auto& a : v) {
      if (!a.is_string() || a.get<std::string>().empty()) {
        error(who + ": aliases must be a list of alias names or \"*\"");
        return false;
      }
      if (a.get<std::string>() == "*") all = true;
      else out.push_back(a.get<std::string>());
    }
    return true;
  }

  void users(const Value& v) {
    if (v.is_null()) return;
    if (!v.is_object()) return error("users must be a map of user names to entries");
    for (auto it = v.begin(); it != v.end(); ++it) {
      const std::string who = "user " + quoted(it.key());
      const Value& entry = it.value();
      if (it.key().empty() || it.key().find(':') != std::string::npos) {
        error(who + ": a user name must be non-empty and must not contain ':'");
        continue;
      }
      if (!entry.is_object()) {
        error(who + ": the entry must be a map with 'password' and 'aliases'");
        continue;
      }
      bool ok = true;
      for (auto k = entry.begin(); k != entry.end(); ++k)
        if (k.key() != "password" && k.key() != "aliases") {
          error(who + ": unknown key " + quoted(k.key()));
          ok = false;
        }
      UserEntry user;
      const Value pw = entry.value("password", Value());
      if (!pw.is_string() || pw.get<std::string>().empty()) {
        error(who + ": password must be a crypt(3) hash");
        ok = false;
      } else if (const auto cost = hash_cost(pw.get<std::string>()); !cost) {
        error(who + ": password is not a crypt(3) hash ($y$, $2b$, $6$, $5$; plain-text passwords are not accepted)");
        ok = false;
      } else {
        user.hash = pw.get<std::string>();
        user.check_seconds = *cost;
      }
      ok = alias_list(entry.value("aliases", Value()), who, user.all_aliases, user.aliases) && ok;
      if (auto [prev, fresh] = user_files_.emplace(it.key(), path_); !fresh) {
        error(who + " is already defined in " + prev->second);
        ok = false;
      }
      if (ok) snap_.users[it.key()] = std::move(user);
    }
  }

  void jwt(const Value& v) {
    if (v.is_null()) return;
    if (!v.is_array()) return error("jwt must be a list of key entries");
    int index = 0;
    for (const auto& entry : v) {
      ++index;
      std::string who = "jwt key #" + std::to_string(index);
      if (!entry.is_object()) {
        error(who + ": the entry must be a map");
        continue;
      }
      if (entry.contains("name") && entry["name"].is_string()) who = "jwt key " + quoted(entry["name"].get<std::string>());
      static const std::set<std::string> known{"name", "public_key", "public_key_file", "algorithms", "issuer",
                                               "audience", "aliases_claim", "subject_claim"};
      bool ok = true;
      for (auto k = entry.begin(); k != entry.end(); ++k) {
        if (!known.count(k.key())) {
          error(who + ": unknown key " + quoted(k.key()));
          ok = false;
        } else if (!k.value().is_string() && k.key() != "algorithms") {
          error(who + ": " + k.key() + " must be text");
          ok = false;
        }
      }
      if (!ok) continue;
      JwtKey key;
      key.name = entry.value("name", "#" + std::to_string(index));
      key.issuer = entry.value("issuer", "");
      key.audience = entry.value("audience", "");
      key.aliases_claim = entry.value("aliases_claim", "aliases");
      key.subject_claim = entry.value("subject_claim", "sub");
      std::string pem;
      const bool inline_key = entry.contains("public_key"), file_key = entry.contains("public_key_file");
      if (inline_key == file_key) {
        error(who + ": give exactly one of public_key and public_key_file");
        continue;
      }
      if (inline_key) {
        pem = entry["public_key"].get<std::string>();
      } else {
        const std::string file = path_join({dir_, entry["public_key_file"].get<std::string>()});
        try {
          pem = read_file(file);
        } catch (const std::system_error& e) {
          error(who + ": public_key_file " + entry["public_key_file"].get<std::string>() + ": " + e.code().message());
          continue;
        }
      }
      key.key = parse_public_key(pem);
      if (!key.key) {
        error(who + ": not a PEM public key");
        continue;
      }
      const Value algs = entry.value("algorithms", Value());
      if (!algs.is_array() || algs.empty()) {
        error(who + ": algorithms must be a non-empty list");
        continue;
      }
      for (const auto& a : algs) {
        if (!a.is_string() || !allowed_algorithm(a.get<std::string>())) {
          error(who + ": algorithm " + quoted(a) + " is not allowed (use RS, PS, ES or EdDSA)");
          ok = false;
        } else if (!key_fits(key.key.get(), a.get<std::string>())) {
          error(who + ": the key does not fit algorithm " + quoted(a));
          ok = false;
        } else {
          key.algorithms.insert(a.get<std::string>());
        }
      }
      if (ok) snap_.keys.push_back(std::move(key));
    }
  }

  const std::string& dir_;
  const std::string& path_;
  FileAuthStore::Snapshot& snap_;
  std::map<std::string, std::string>& user_files_;
  Errors& errors_;
};

}  // namespace

std::string hash_kind(const std::string& hash) {
  // "$id$params$salt$digest" for yescrypt and bcrypt-like ids;
  // "$id$[rounds=N$]salt$digest" for sha-crypt, where rounds are optional.
  std::vector<std::string> fields;
  size_t pos = 1;
  while (pos <= hash.size() && fields.size() < 3) {
    const size_t end = std::min(hash.find('$', pos), hash.size());
    fields.push_back(hash.substr(pos, end - pos));
    pos = end + 1;
  }
  if (fields.size() < 2) return hash;
  const std::string& id = fields[0];
  if (id == "5" || id == "6") return "$" + id + (fields[1].rfind("rounds=", 0) == 0 ? "$" + fields[1] : "");
  if (id == "7") return "$7$" + fields[1].substr(0, 11);  // N, r and p run into the salt
  return "$" + id + "$" + fields[1];
}

std::shared_ptr<FileAuthStore::Snapshot> load_auth_directory(const std::string& dir, Errors& errors) {
  auto snap = std::make_shared<FileAuthStore::Snapshot>();
  if (dir.empty()) {
    errors.push_back("AuthDir is not set");
    return snap;
  }
  std::map<std::string, std::string> user_files;
  for (const auto& name : yaml_files(dir, errors)) {
    const std::string path = path_join({dir, name});
    FileLoad(dir, path, *snap, user_files, errors).run();
    snap->files.push_back(path);
  }
  if (errors.empty()) choose_decoy(*snap);
  return snap;
}

}  // namespace portico
