#include "auth/auth.h"

#include <crypt.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "auth/internal.h"
#include "common/secret.h"
#include "common/text.h"
#include "logging/logging.h"

namespace portico {
namespace {

constexpr size_t kMaxTokenBytes = 8192;
constexpr size_t kMaxCacheEntries = 10000;
constexpr long kLeewaySeconds = 60;

std::optional<std::string> base64url_decode(std::string_view in) {
  std::string s(in);
  for (char& c : s) {
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
    else if (c == '+' || c == '/' || c == '=') return std::nullopt;
  }
  while (s.size() % 4) s.push_back('=');
  return base64_decode(s);
}

// Scheme names are case-insensitive; exactly one space follows.
std::optional<std::string_view> strip_scheme(std::string_view header, std::string_view scheme) {
  if (header.size() <= scheme.size() + 1) return std::nullopt;
  for (size_t i = 0; i < scheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(header[i])) != std::tolower(static_cast<unsigned char>(scheme[i])))
      return std::nullopt;
  if (header[scheme.size()] != ' ') return std::nullopt;
  return header.substr(scheme.size() + 1);
}

const EVP_MD* digest_for(const std::string& alg) {
  if (alg.size() != 5) return nullptr;
  const std::string bits = alg.substr(2);
  if (bits == "256") return EVP_sha256();
  if (bits == "384") return EVP_sha384();
  if (bits == "512") return EVP_sha512();
  return nullptr;
}

std::string curve_of(EVP_PKEY* key) {
  char name[64] = {};
  size_t len = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, &len) != 1) return "";
  return std::string(name, len);
}

// JWS carries ECDSA signatures as r || s; OpenSSL wants DER.
std::optional<std::string> ecdsa_raw_to_der(std::string_view raw) {
  if (raw.empty() || raw.size() % 2) return std::nullopt;
  const size_t half = raw.size() / 2;
  BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int>(half), nullptr);
  BIGNUM* s = BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data() + half), static_cast<int>(half), nullptr);
  ECDSA_SIG* sig = ECDSA_SIG_new();
  if (!r || !s || !sig || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return std::nullopt;
  }
  unsigned char* der = nullptr;
  const int len = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  if (len <= 0) return std::nullopt;
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(len));
  OPENSSL_free(der);
  return out;
}

}  // namespace

bool allowed_algorithm(const std::string& alg) {
  static const std::set<std::string> ok{"RS256", "RS384", "RS512", "PS256", "PS384", "PS512",
                                        "ES256", "ES384", "ES512", "EdDSA"};
  return ok.count(alg) > 0;
}

bool key_fits(EVP_PKEY* key, const std::string& alg) {
  const int id = EVP_PKEY_get_base_id(key);
  if (alg.rfind("RS", 0) == 0 || alg.rfind("PS", 0) == 0) return id == EVP_PKEY_RSA || id == EVP_PKEY_RSA_PSS;
  if (alg == "EdDSA") return id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448;
  if (id != EVP_PKEY_EC) return false;
  const std::string curve = curve_of(key);
  if (alg == "ES256") return curve == "prime256v1" || curve == "P-256";
  if (alg == "ES384") return curve == "secp384r1" || curve == "P-384";
  if (alg == "ES512") return curve == "secp521r1" || curve == "P-521";
  return false;
}

bool verify_jws(const JwtKey& key, const std::string& alg, std::string_view input, std::string_view signature) {
  if (!key_fits(key.key.get(), alg)) return false;
  std::string sig(signature);
  const EVP_MD* md = nullptr;
  if (alg != "EdDSA") {
    md = digest_for(alg);
    if (!md) return false;
  }
  if (alg.rfind("ES", 0) == 0) {
    const int bytes = alg == "ES256" ? 32 : alg == "ES384" ? 48 : 66;
    if (signature.size() != static_cast<size_t>(2 * bytes)) return false;
    auto der = ecdsa_raw_to_der(signature);
    if (!der) return false;
    sig = *der;
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  bool ok = EVP_DigestVerifyInit(ctx, &pctx, md, nullptr, key.key.get()) == 1;
  if (ok && alg.rfind("PS", 0) == 0)
    ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
         EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) == 1;
  else if (ok && alg.rfind("RS", 0) == 0)
    ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1;
  if (ok)
    ok = EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                          reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
  EVP_MD_CTX_free(ctx);
  ERR_clear_error();
  return ok;
}

FileAuthStore::CredentialCache::CredentialCache() {
  if (RAND_bytes(secret_, sizeof secret_) != 1) throw std::runtime_error("cannot seed the credential cache");
}

std::string FileAuthStore::CredentialCache::key_of(std::string_view user, std::string_view password) const {
  std::string msg(user);
  msg.push_back('\0');
  msg.append(password);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), secret_, sizeof secret_, reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), out,
       &len);
  OPENSSL_cleanse(msg.data(), msg.size());
  return std::string(reinterpret_cast<char*>(out), len);
}

bool FileAuthStore::CredentialCache::hit(const std::string& key, std::string_view user, uint64_t generation) {
  std::lock_guard<std::mutex> l(mu_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  if (it->second.expires < std::chrono::steady_clock::now() || it->second.user != user ||
      it->second.generation != generation) {
    entries_.erase(it);
    return false;
  }
  return true;
}

void FileAuthStore::CredentialCache::put(const std::string& key, std::string_view user, uint64_t generation) {
  std::lock_guard<std::mutex> l(mu_);
  const auto now = std::chrono::steady_clock::now();
  if (entries_.size() >= kMaxCacheEntries) {
    std::erase_if(entries_, [&](const auto& e) { return e.second.expires < now; });
    if (entries_.size() >= kMaxCacheEntries) entries_.clear();
  }
  entries_[key] = Entry{std::string(user), generation, now + std::chrono::seconds(kCacheTtlSeconds)};
}

void FileAuthStore::CredentialCache::clear() {
  std::lock_guard<std::mutex> l(mu_);
  entries_.clear();
}

FileAuthStore::FileAuthStore(std::function<std::string()> dir_source)
    : dir_source_(std::move(dir_source)),
      snapshot_(std::make_shared<Snapshot>()),
      cache_(std::make_unique<CredentialCache>()),
      pace_(std::make_unique<FailurePace>()) {}

FileAuthStore::FileAuthStore(std::string dir) : FileAuthStore([dir] { return dir; }) {}

FileAuthStore::~FileAuthStore() = default;

std::shared_ptr<const FileAuthStore::Snapshot> FileAuthStore::snapshot() const {
  std::lock_guard<std::mutex> l(snapshot_mu_);
  return snapshot_;
}

Errors FileAuthStore::load_auth_config() {
  std::lock_guard<std::mutex> reload(reload_mu_);
  Errors errors;
  const std::string dir = dir_source_();
  auto fresh = load_auth_directory(dir, errors);
  if (!errors.empty()) return errors;
  // A file caught empty or cut short while it is rewritten must not lock
  // everyone out: the state start-up refuses is refused here as well.
  const auto current = snapshot();
  if (fresh->users.empty() && fresh->keys.empty() && (!current->users.empty() || !current->keys.empty())) {
    std::string where;
    for (const auto& f : fresh->files) where += (where.empty() ? "" : ", ") + f;
    return {"No authentication configured: no users and no JWT public keys found in " + (where.empty() ? dir : where) +
            "; the previous authentication configuration stays in effect"};
  }
  // A check that began before this reload may still cache its result; the
  // generation keeps such an entry from ever matching the new configuration.
  static std::atomic<uint64_t> generations{0};
  fresh->generation = ++generations;
  {
    std::lock_guard<std::mutex> l(snapshot_mu_);
    snapshot_ = std::move(fresh);
  }
  cache_->clear();
  return {};
}

size_t FileAuthStore::user_count() const { return snapshot()->users.size(); }
size_t FileAuthStore::public_key_count() const { return snapshot()->keys.size(); }

std::optional<Principal> FileAuthStore::authenticate(std::string_view header) const {
  try {
    if (auto rest = strip_scheme(header, "Basic")) return basic(*rest);
    if (auto rest = strip_scheme(header, "Bearer")) return bearer(*rest);
  } catch (const std::exception& e) {
    app_log()->warn(std::string("Authentication error: ") + e.what());
  }
  return std::nullopt;
}

void FailurePace::record(uint64_t generation, double seconds) {
  constexpr size_t kWindow = 32;
  std::lock_guard<std::mutex> l(mu_);
  if (generation != generation_) {  // another configuration: its costliest kind may differ
    generation_ = generation;
    samples_.clear();
    next_ = 0;
    hold_ = 0;
  }
  if (samples_.size() < kWindow) {
    samples_.push_back(seconds);
  } else {
    samples_[next_] = seconds;
    next_ = (next_ + 1) % kWindow;
  }
}

double FailurePace::hold(uint64_t generation, double seed) {
  std::lock_guard<std::mutex> l(mu_);
  double slowest = seed;
  if (generation == generation_ && !samples_.empty()) slowest = *std::max_element(samples_.begin(), samples_.end());
  // Above the slowest recent check, so that hardly any check outlasts it. The
  // hold moves in steps of a twelfth of an octave: up as soon as it is too
  // short, down only once it is three steps too long, so that it stays the
  // same from one refusal to the next instead of following each sample.
  const double wanted = std::exp2(std::ceil(std::log2(std::max(1.25 * slowest, 1e-3)) * 12) / 12);
  if (hold_ == 0 || wanted > hold_ || wanted < hold_ * std::exp2(-3.0 / 12)) hold_ = wanted;
  return hold_;
}

namespace {

struct BasicCredentials {
  std::string user, password;
  ~BasicCredentials() { OPENSSL_cleanse(password.data(), password.size()); }
};

std::optional<BasicCredentials> split_basic(std::string_view credentials) {
  auto decoded = base64_decode(credentials);
  if (!decoded) return std::nullopt;
  std::optional<BasicCredentials> out;
  const auto colon = decoded->find(':');
  if (decoded->find('\0') == std::string::npos && colon != std::string::npos)
    out = BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
  OPENSSL_cleanse(decoded->data(), decoded->size());
  return out;
}

// The cheap shape checks of a bearer token: size and three dot-separated parts.
bool plausible_token(std::string_view token) {
  if (token.size() > kMaxTokenBytes) return false;
  const size_t d1 = token.find('.');
  const size_t d2 = d1 == std::string_view::npos ? d1 : token.find('.', d1 + 1);
  return d2 != std::string_view::npos && token.find('.', d2 + 1) == std::string_view::npos;
}

}  // namespace

std::string FileAuthStore::claimed_user(std::string_view header) const {
  if (auto rest = strip_scheme(header, "Basic"))
    if (auto creds = split_basic(*rest)) return creds->user;
  return "-";
}

FileAuthStore::Quick FileAuthStore::authenticate_quick(std::string_view header,
                                                       std::optional<Principal>& principal) const {
  if (auto rest = strip_scheme(header, "Bearer")) return plausible_token(*rest) ? Quick::Slow : Quick::Refused;
  auto rest = strip_scheme(header, "Basic");
  if (!rest) return Quick::Refused;
  const auto creds = split_basic(*rest);
  if (!creds) return Quick::Refused;
  const auto snap = snapshot();
  auto it = snap->users.find(creds->user);
  if (it == snap->users.end() || !cache_->hit(cache_->key_of(creds->user, creds->password), creds->user, snap->generation))
    return Quick::Slow;
  principal = Principal{creds->user, "basic", it->second.all_aliases, it->second.aliases};
  return Quick::Accepted;
}

std::optional<Principal> FileAuthStore::basic(std::string_view credentials) const {
  const auto creds = split_basic(credentials);
  if (!creds) return std::nullopt;
  const std::string& user = creds->user;
  const std::string& password = creds->password;

  const auto t0 = std::chrono::steady_clock::now();
  const auto snap = snapshot();
  auto it = snap->users.find(user);
  const bool known = it != snap->users.end();
  const std::string cache_key = cache_->key_of(user, password);
  std::optional<Principal> result;
  if (known && cache_->hit(cache_key, user, snap->generation)) {
    result = Principal{user, "basic", it->second.all_aliases, it->second.aliases};
  } else if (!snap->decoy_hash.empty()) {
    // Unknown users are checked against a hash of the costliest kind, and
    // every failure is held to the same pace.
    const std::string& setting = known ? it->second.hash : snap->decoy_hash;
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(password.c_str(), setting.c_str(), data.get(), sizeof(crypt_data));
    const bool match = out && known && secret_equals(it->second.hash, out);
    OPENSSL_cleanse(data.get(), sizeof(crypt_data));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Taken before this check counts: a cheap failure has no check of its own
    // to add, so a costly one must not add its own either.
    const double hold = pace_->hold(snap->generation, snap->decoy_seconds);
    if (!known || it->second.costliest) pace_->record(snap->generation, took);
    if (match) {
      cache_->put(cache_key, user, snap->generation);
      result = Principal{user, "basic", it->second.all_aliases, it->second.aliases};
    } else {
      // A much cheaper kind of hash also checks the decoy: every refusal then
      // spends about the same CPU, and a busy scheduler treats them alike.
      if (known && !it->second.costliest && it->second.check_seconds < snap->decoy_seconds / 2) {
        auto decoy = std::make_unique<crypt_data>();
        crypt_rn(password.c_str(), snap->decoy_hash.c_str(), decoy.get(), sizeof(crypt_data));
        OPENSSL_cleanse(decoy.get(), sizeof(crypt_data));
      }
      std::this_thread::sleep_until(t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                             std::chrono::duration<double>(hold)));
    }
  }
  return result;
}

std::optional<Principal> FileAuthStore::bearer(std::string_view token) const {
  if (!plausible_token(token)) return std::nullopt;
  const size_t d1 = token.find('.');
  const size_t d2 = token.find('.', d1 + 1);
  const auto header_json = base64url_decode(token.substr(0, d1));
  const auto payload_json = base64url_decode(token.substr(d1 + 1, d2 - d1 - 1));
  const auto signature = base64url_decode(token.substr(d2 + 1));
  if (!header_json || !payload_json || !signature) return std::nullopt;
  const Value header = Value::parse(*header_json, nullptr, false);
  const Value claims = Value::parse(*payload_json, nullptr, false);
  if (!header.is_object() || !claims.is_object()) return std::nullopt;
  const Value alg_v = header.value("alg", Value());
  if (!alg_v.is_string()) return std::nullopt;
  const std::string alg = alg_v.get<std::string>();
  // "none" and HMAC never reach a key: a public key must not become a shared secret.
  if (!allowed_algorithm(alg)) return std::nullopt;

  const auto snap = snapshot();
  const std::string_view signing_input = token.substr(0, d2);
  const JwtKey* key = nullptr;
  for (const auto& k : snap->keys)
    if (k.algorithms.count(alg) && verify_jws(k, alg, signing_input, *signature)) {
      key = &k;
      break;
    }
  if (!key) return std::nullopt;

  const long now = static_cast<long>(std::time(nullptr));
  auto number = [&](const char* name) -> std::optional<double> {
    auto it = claims.find(name);
    if (it == claims.end()) return std::nullopt;
    if (!it->is_number()) throw std::invalid_argument(std::string("claim ") + name + " is not a number");
    return it->get<double>();
  };
  try {
    const auto exp = number("exp");
    if (!exp || *exp + kLeewaySeconds < now) return std::nullopt;
    if (auto nbf = number("nbf"); nbf && *nbf - kLeewaySeconds > now) return std::nullopt;
    if (auto iat = number("iat"); iat && *iat - kLeewaySeconds > now) return std::nullopt;
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
  if (!key->issuer.empty() && claims.value("iss", Value()) != key->issuer) return std::nullopt;
  if (!key->audience.empty()) {
    const Value aud = claims.value("aud", Value());
    bool found = aud.is_string() && aud.get<std::string>() == key->audience;
    if (aud.is_array())
      for (const auto& a : aud)
        if (a.is_string() && a.get<std::string>() == key->audience) found = true;
    if (!found) return std::nullopt;
  }
  Principal p;
  p.method = "bearer";
  const Value sub = claims.value(key->subject_claim, Value());
  p.name = sub.is_string() && !sub.get<std::string>().empty() ? sub.get<std::string>() : "jwt:" + key->name;
  const Value aliases = claims.value(key->aliases_claim, Value());
  if (aliases.is_string() && aliases.get<std::string>() == "*") {
    p.all_aliases = true;
  } else if (aliases.is_array()) {
    for (const auto& a : aliases) {
      if (!a.is_string()) continue;
      if (a.get<std::string>() == "*") p.all_aliases = true;
      else p.aliases.push_back(a.get<std::string>());
    }
  }
  return p;
}

}  // namespace portico
