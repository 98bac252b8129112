#include <gtest/gtest.h>
#include <crypt.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <future>
#include <optional>
#include <random>
#include <thread>

#include "auth/auth.h"
#include "common/internal.h"
#include "common/text.h"
#include "support/support.h"

namespace portico {
namespace {

using test::TempDir;

std::string make_hash(const std::string& password, const char* prefix, unsigned long cost = 0) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, sizeof setting)) throw std::runtime_error("gensalt");
  crypt_data data{};
  return crypt_rn(password.c_str(), setting, &data, sizeof data);
}

std::string b64url(std::string_view bytes) {
  std::string s = base64_encode(bytes);
  for (char& c : s) c = c == '+' ? '-' : c == '/' ? '_' : c;
  while (!s.empty() && s.back() == '=') s.pop_back();
  return s;
}

std::string public_pem(EVP_PKEY* key) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(b, key);
  char* data;
  const long n = BIO_get_mem_data(b, &data);
  std::string out(data, static_cast<size_t>(n));
  BIO_free(b);
  return out;
}

// Signs a JWS by hand, so tests can also make the tokens no honest library would.
std::string token(EVP_PKEY* key, const std::string& alg, const Value& claims, const Value& header_extra = {}) {
  Value header{{"alg", alg}, {"typ", "JWT"}};
  if (header_extra.is_object()) header.update(header_extra);
  const std::string input = b64url(header.dump()) + "." + b64url(claims.dump());
  if (!key) return input + ".";
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  const EVP_MD* md = alg == "EdDSA" ? nullptr : alg.substr(2) == "384" ? EVP_sha384() : EVP_sha256();
  EVP_DigestSignInit(ctx, &pctx, md, nullptr, key);
  if (alg.rfind("PS", 0) == 0) {
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING);
    EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST);
  }
  size_t len = 0;
  EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()), input.size());
  std::string sig(len, '\0');
  EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                 reinterpret_cast<const unsigned char*>(input.data()), input.size());
  sig.resize(len);
  EVP_MD_CTX_free(ctx);
  if (alg.rfind("ES", 0) == 0) {  // DER -> r || s
    const unsigned char* p = reinterpret_cast<const unsigned char*>(sig.data());
    ECDSA_SIG* es = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
    unsigned char raw[64];
    BN_bn2binpad(ECDSA_SIG_get0_r(es), raw, 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(es), raw + 32, 32);
    ECDSA_SIG_free(es);
    sig.assign(reinterpret_cast<char*>(raw), 64);
  }
  return input + "." + b64url(sig);
}

std::string hmac_token(const std::string& secret, const Value& claims) {
  const std::string input = b64url(Value{{"alg", "HS256"}}.dump()) + "." + b64url(claims.dump());
  unsigned char out[32];
  unsigned int len = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(input.data()), input.size(), out, &len);
  return input + "." + b64url(std::string(reinterpret_cast<char*>(out), len));
}

class Keys : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa = EVP_RSA_gen(2048);
    ec = EVP_EC_gen("P-256");
    ed = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  }
  static void TearDownTestSuite() {
    EVP_PKEY_free(rsa);
    EVP_PKEY_free(ec);
    EVP_PKEY_free(ed);
  }
  Value claims(long exp_in = 300) const {
    return Value{{"sub", "robot"}, {"iss", "https://issuer"}, {"aud", {"x", "portico"}},
                 {"exp", static_cast<long>(std::time(nullptr)) + exp_in}, {"aliases", {"deploy"}}};
  }
  void write_keys() {
    dir.write("keys/rsa.pem", public_pem(rsa));
    dir.write("keys/ec.pem", public_pem(ec));
    dir.write("keys/ed.pem", public_pem(ed));
    dir.write("jwt.yaml",
              "jwt:\n"
              "  - {name: rsa, public_key_file: keys/rsa.pem, algorithms: [RS256, PS256], issuer: https://issuer,"
              " audience: portico}\n"
              "  - {name: ec, public_key_file: keys/ec.pem, algorithms: [ES256]}\n"
              "  - {name: ed, public_key_file: keys/ed.pem, algorithms: [EdDSA], aliases_claim: allowed}\n");
  }
  static EVP_PKEY *rsa, *ec, *ed;
  TempDir dir;
};
EVP_PKEY* Keys::rsa = nullptr;
EVP_PKEY* Keys::ec = nullptr;
EVP_PKEY* Keys::ed = nullptr;

TEST_F(Keys, LoadReportsEveryProblemWithFileAndEntry) {
  const std::string a = dir.write("a.yaml", "users:\n  bob:\n    password: hunter2\n  amy:\n    password: \"" +
                                                make_hash("x", "$6$") + "\"\n    colour: red\n");
  const std::string b = dir.write("b.yaml", "users:\n  amy:\n    password: \"" + make_hash("x", "$6$") +
                                                "\"\njwt:\n  - {name: k, public_key: nope, algorithms: [RS256]}\n"
                                                "  - {public_key_file: keys/missing.pem, algorithms: [RS256]}\n");
  dir.write("keys/ec.pem", public_pem(ec));
  const std::string c = dir.write("c.yaml", "jwt:\n  - {name: hs, public_key_file: keys/ec.pem, algorithms: [HS256]}\n"
                                                "  - {name: wrong, public_key_file: keys/ec.pem, algorithms: [RS256]}\n");
  const std::string d = dir.write("d.yaml", "users: [unclosed\n");
  FileAuthStore store(dir.str());
  const Errors e = store.load_auth_config();
  ASSERT_EQ(e.size(), 8u) << testing::PrintToString(e);
  EXPECT_EQ(e[0], a + ": user 'bob': password is not a crypt(3) hash ($y$, $2b$, $6$, $5$; plain-text passwords are not accepted)");
  EXPECT_EQ(e[1], a + ": user 'amy': unknown key 'colour'");
  EXPECT_EQ(e[2], b + ": user 'amy' is already defined in " + a);
  EXPECT_EQ(e[3], b + ": jwt key 'k': not a PEM public key");
  EXPECT_EQ(e[4], b + ": jwt key #2: public_key_file keys/missing.pem: No such file or directory");
  EXPECT_EQ(e[5], c + ": jwt key 'hs': algorithm 'HS256' is not allowed (use RS, PS, ES or EdDSA)");
  EXPECT_EQ(e[6], c + ": jwt key 'wrong': the key does not fit algorithm 'RS256'");
  EXPECT_EQ(e[7].rfind(d + ": invalid YAML at line 2", 0), 0u) << e[7];
  EXPECT_EQ(store.user_count(), 0u);
}

TEST_F(Keys, BasicAcceptsEachHashKindAndRefusesTheRest) {
  dir.write("u.yaml", "users:\n"
                      "  y: {password: \"" + make_hash("pw-y", "$y$") + "\", aliases: \"*\"}\n"
                      "  b: {password: \"" + make_hash("pw-b", "$2b$", 4) + "\", aliases: [a, b]}\n"
                      "  s: {password: \"" + make_hash("p:w", "$6$") + "\"}\n");
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  auto basic = [](const std::string& u, const std::string& p) { return "Basic " + base64_encode(u + ":" + p); };
  auto y = store.authenticate(basic("y", "pw-y"));
  ASSERT_TRUE(y);
  EXPECT_TRUE(y->all_aliases);
  EXPECT_EQ(y->method, "basic");
  auto b = store.authenticate("bAsIc " + base64_encode("b:pw-b"));
  ASSERT_TRUE(b);
  EXPECT_TRUE(may_run(*b, "a"));
  EXPECT_FALSE(may_run(*b, "A"));
  auto s = store.authenticate(basic("s", "p:w"));  // a colon inside the password
  ASSERT_TRUE(s);
  EXPECT_FALSE(may_run(*s, "a"));
  for (const std::string& bad : {basic("y", "wrong"), basic("nobody", "pw-y"), basic("y", ""), std::string("Basic"),
                                 std::string("Basic  ") + base64_encode("y:pw-y"), std::string("Basic !!!"),
                                 "Basic " + base64_encode("no-colon"), "Basic " + base64_encode(std::string("y\0:pw-y", 7)),
                                 std::string("Digest abc"), std::string()})
    EXPECT_FALSE(store.authenticate(bad)) << bad;
}

TEST_F(Keys, VerifiedPasswordsAreCachedUntilTheNextReload) {
  dir.write("u.yaml", "users:\n  y: {password: \"" + make_hash("old", "$y$") + "\", aliases: \"*\"}\n");
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  const std::string header = "Basic " + base64_encode("y:old");
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(store.authenticate(header));
  const auto first = std::chrono::steady_clock::now() - t0;
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(store.authenticate(header));
  const auto hundred = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(hundred, first) << "a cached check must be far cheaper than the hash";
  dir.write("u.yaml", "users:\n  y: {password: \"" + make_hash("new", "$y$") + "\", aliases: \"*\"}\n");
  ASSERT_EQ(store.load_auth_config(), Errors{});
  EXPECT_FALSE(store.authenticate(header));
  EXPECT_TRUE(store.authenticate("Basic " + base64_encode("y:new")));
  // A broken reload keeps what was in effect.
  dir.write("u.yaml", "users:\n  y: {password: plain}\n");
  EXPECT_EQ(store.load_auth_config().size(), 1u);
  EXPECT_TRUE(store.authenticate("Basic " + base64_encode("y:new")));
}

// The quick check runs on I/O threads: it must never hash, and never accept
// what a full check would refuse.
TEST_F(Keys, QuickCheckAcceptsOnlyCachedPasswordsAndRefusesOnlyHopelessHeaders) {
  dir.write("u.yaml", "users:\n  y: {password: \"" + make_hash("pw", "$y$") + "\", aliases: [a]}\n");
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  using Q = FileAuthStore::Quick;
  auto quick = [&](const std::string& h) {
    std::optional<Principal> p;
    const Q q = store.authenticate_quick(h, p);
    EXPECT_EQ(p.has_value(), q == Q::Accepted) << h;
    return q;
  };
  const std::string good = "Basic " + base64_encode("y:pw");
  EXPECT_EQ(quick(good), Q::Slow);
  EXPECT_EQ(quick("Basic " + base64_encode("nobody:pw")), Q::Slow);  // unknown names cost a hash like known ones
  ASSERT_TRUE(store.authenticate(good));
  EXPECT_EQ(quick(good), Q::Accepted);
  EXPECT_EQ(quick("Basic " + base64_encode("y:other")), Q::Slow);
  for (const std::string& hopeless : {std::string("Basic !!!"), "Basic " + base64_encode("no-colon"),
                                      std::string("Digest x"), std::string(), std::string("Bearer a.b"),
                                      "Bearer " + std::string(9000, 'a') + ".b.c"})
    EXPECT_EQ(quick(hopeless), Q::Refused) << hopeless;
  EXPECT_EQ(quick("Bearer a.b.c"), Q::Slow);
  ASSERT_EQ(store.load_auth_config(), Errors{});
  EXPECT_EQ(quick(good), Q::Slow) << "a reload empties the cache";

  EXPECT_EQ(store.claimed_user(good), "y");
  EXPECT_EQ(store.claimed_user("basic " + base64_encode("who ever:x:y")), "who ever");
  EXPECT_EQ(store.claimed_user("Bearer a.b.c"), "-");
  EXPECT_EQ(store.claimed_user("Basic !!!"), "-");
}

TEST_F(Keys, AReloadThatWouldLeaveNoCredentialsKeepsThePreviousOnes) {
  FileAuthStore store(dir.str());
  EXPECT_EQ(store.load_auth_config(), Errors{}) << "start-up words its own refusal of an empty directory";
  const std::string users = dir.write("u.yaml", "users:\n  y: {password: \"" + make_hash("pw", "$6$") + "\"}\n");
  ASSERT_EQ(store.load_auth_config(), Errors{});
  for (const std::string& caught : {std::string(), std::string("users:\n"), std::string("# only a comment\n")}) {
    dir.write("u.yaml", caught);
    EXPECT_EQ(store.load_auth_config(),
              Errors{"No authentication configured: no users and no JWT public keys found in " + users +
                     "; the previous authentication configuration stays in effect"});
    EXPECT_TRUE(store.authenticate("Basic " + base64_encode("y:pw")));
  }
  std::filesystem::remove(users);
  EXPECT_EQ(store.load_auth_config().size(), 1u);
  write_keys();  // keys alone are a usable configuration
  EXPECT_EQ(store.load_auth_config(), Errors{});
  EXPECT_EQ(store.user_count(), 0u);
}

// The fault: unknown users were checked against the first user's hash, so a
// refusal's time told whether the user exists and what kind of hash they have.
TEST_F(Keys, RefusalsTakeTheSameTimeWhateverTheUserAndTheKindOfHash) {
  dir.write("u.yaml", "users:\n"
                      "  amy: {password: \"" + make_hash("a", "$6$", 1000) + "\"}\n"
                      "  zed: {password: \"" + make_hash("z", "$2b$", 7) + "\"}\n");
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  const std::vector<std::string> cases = {"nobody:a", "amy:wrong", "zed:wrong"};
  std::vector<std::vector<double>> ms(cases.size());
  // Interleaved in a shuffled order: a busy moment, or the scheduler's favour
  // for a thread that has just slept, falls on every case alike. The first
  // rounds only let the store learn how long checks take on this host now.
  std::vector<size_t> order = {0, 1, 2};
  std::minstd_rand shuffle(7);
  for (int round = -5; round < 25; ++round) {
    std::shuffle(order.begin(), order.end(), shuffle);
    for (const size_t c : order) {
      const auto t0 = std::chrono::steady_clock::now();
      EXPECT_FALSE(store.authenticate("Basic " + base64_encode(cases[c])));
      if (round >= 0)
        ms[c].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  RecordProperty("median_ms_unknown_cheap_costly", std::to_string(median(ms[0])) + " " + std::to_string(median(ms[1])) +
                                                       " " + std::to_string(median(ms[2])));
  // Compared round by round: when other work on the host slows every case
  // down halfway through, the cases of one round still meet the same host.
  for (size_t a = 0; a < cases.size(); ++a)
    for (size_t b = a + 1; b < cases.size(); ++b) {
      std::vector<double> ratios;
      for (size_t r = 0; r < ms[a].size(); ++r) ratios.push_back(ms[a][r] / ms[b][r]);
      const double m = median(ratios);
      EXPECT_TRUE(m > 0.9 && m < 1 / 0.9) << cases[a] << " against " << cases[b] << ": median ratio " << m
                                          << "; medians in ms " << median(ms[a]) << " and " << median(ms[b]);
    }
}

TEST_F(Keys, ACheckThatStraddlesAReloadCannotCacheTheOldPassword) {
  // bcrypt at cost 12 takes a good part of a second: long enough for the reload to land
  // while the old password is still being hashed.
  dir.write("u.yaml", "users:\n  y: {password: \"" + make_hash("old", "$2b$", 12) + "\"}\n");
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  const std::string old_header = "Basic " + base64_encode("y:old");
  auto straddling = std::async(std::launch::async, [&] { return store.authenticate(old_header).has_value(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  dir.write("u.yaml", "users:\n  y: {password: \"" + make_hash("new", "$2b$", 4) + "\"}\n");
  ASSERT_EQ(store.load_auth_config(), Errors{});
  ASSERT_EQ(straddling.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_TRUE(straddling.get()) << "the check should have begun before the reload";
  EXPECT_FALSE(store.authenticate(old_header));
  EXPECT_TRUE(store.authenticate("Basic " + base64_encode("y:new")));
}

TEST_F(Keys, BearerTokensOfEveryKeyKind) {
  write_keys();
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  EXPECT_EQ(store.public_key_count(), 3u);
  auto p = store.authenticate("Bearer " + token(rsa, "RS256", claims()));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->name, "robot");
  EXPECT_EQ(p->method, "bearer");
  EXPECT_TRUE(may_run(*p, "deploy"));
  EXPECT_FALSE(may_run(*p, "other"));
  EXPECT_TRUE(store.authenticate("Bearer " + token(rsa, "PS256", claims())));
  Value c = claims();
  c.erase("iss");
  EXPECT_TRUE(store.authenticate("Bearer " + token(ec, "ES256", c)));
  c["allowed"] = "*";
  c.erase("sub");
  auto ed_p = store.authenticate("Bearer " + token(ed, "EdDSA", c));
  ASSERT_TRUE(ed_p);
  EXPECT_TRUE(ed_p->all_aliases);
  EXPECT_EQ(ed_p->name, "jwt:ed");
}

TEST_F(Keys, BearerAttacksAndBadClaimsAreRefused) {
  write_keys();
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  auto refused = [&](const std::string& t) { return !store.authenticate("Bearer " + t); };
  EXPECT_TRUE(refused(token(nullptr, "none", claims())));
  EXPECT_TRUE(refused(hmac_token(public_pem(rsa), claims())));
  EXPECT_TRUE(refused(token(rsa, "RS384", claims())));    // genuine, but not listed for the key
  EXPECT_TRUE(refused(token(ec, "RS256", claims())));     // wrong key kind for the header
  EXPECT_TRUE(refused(token(rsa, "RS256", claims(-3600))));  // expired
  Value c = claims();
  c["nbf"] = static_cast<long>(std::time(nullptr)) + 3600;
  EXPECT_TRUE(refused(token(rsa, "RS256", c)));
  c = claims();
  c["iss"] = "https://evil";
  EXPECT_TRUE(refused(token(rsa, "RS256", c)));
  c = claims();
  c["aud"] = "someone-else";
  EXPECT_TRUE(refused(token(rsa, "RS256", c)));
  c = claims();
  c.erase("exp");
  EXPECT_TRUE(refused(token(rsa, "RS256", c)));
  c = claims();
  c["exp"] = "tomorrow";
  EXPECT_TRUE(refused(token(rsa, "RS256", c)));
  // Tampered payload with the original signature.
  const std::string good = token(rsa, "RS256", claims());
  Value more = claims();
  more["aliases"] = "*";
  const std::string forged = good.substr(0, good.find('.') + 1) + b64url(more.dump()) + good.substr(good.rfind('.'));
  EXPECT_TRUE(refused(forged));
  EXPECT_FALSE(refused(good));
  for (const std::string& junk : std::vector<std::string>{"", "a.b", "a.b.c.d", "...", std::string(9000, 'a'), "e30.e30.!!"})
    EXPECT_TRUE(refused(junk)) << junk;
  // Still within the leeway: expired 30 seconds ago.
  EXPECT_FALSE(refused(token(rsa, "RS256", claims(-30))));
}

TEST_F(Keys, ReloadsOverlapWithAuthentication) {
  const std::string h1 = make_hash("one", "$6$"), h2 = make_hash("two", "$6$");
  dir.write("u.yaml", "users:\n  u: {password: \"" + h1 + "\"}\n");
  FileAuthStore store(dir.str());
  ASSERT_EQ(store.load_auth_config(), Errors{});
  std::atomic<bool> stop{false};
  std::atomic<int> oks{0};
  std::thread reloader([&] {
    for (int i = 0; !stop; ++i) {
      dir.write("u.yaml", "users:\n  u: {password: \"" + (i % 2 ? h2 : h1) + "\"}\n");
      store.load_auth_config();
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      while (!stop) {
        if (store.authenticate("Basic " + base64_encode("u:one")) || store.authenticate("Basic " + base64_encode("u:two")))
          ++oks;
        EXPECT_EQ(store.user_count(), 1u);
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  reloader.join();
  for (auto& r : readers) r.join();
  EXPECT_GT(oks.load(), 0);
}

}  // namespace
}  // namespace portico
