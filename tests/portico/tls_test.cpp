#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "portico/tls.h"
#include "support/support.h"

namespace portico::app {
namespace {

using test::TempDir;

struct Made {
  std::string cert, key;
};

EVP_PKEY* new_key() { return EVP_EC_gen("P-256"); }

std::string pem_of_key(EVP_PKEY* key, const char* passphrase = nullptr) {
  BIO* b = BIO_new(BIO_s_mem());
  if (passphrase)
    PEM_write_bio_PrivateKey(b, key, EVP_aes_256_cbc(), nullptr, 0, nullptr, const_cast<char*>(passphrase));
  else
    PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data;
  const long n = BIO_get_mem_data(b, &data);
  std::string out(data, static_cast<size_t>(n));
  BIO_free(b);
  return out;
}

// A self-signed certificate valid from not_before to not_after (Unix times).
std::string make_cert(EVP_PKEY* key, std::time_t not_before, std::time_t not_after, const char* san = nullptr) {
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  ASN1_TIME_set(X509_getm_notBefore(x), not_before);
  ASN1_TIME_set(X509_getm_notAfter(x), not_after);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("example"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  if (san) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x, key, EVP_sha256());
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(b, x);
  char* data;
  const long n = BIO_get_mem_data(b, &data);
  std::string out(data, static_cast<size_t>(n));
  BIO_free(b);
  X509_free(x);
  return out;
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override { key = new_key(); }
  void TearDown() override { EVP_PKEY_free(key); }
  std::string write(const std::string& name, const std::string& text) { return dir.write(name, text); }
  TempDir dir;
  EVP_PKEY* key;
  const std::time_t now = std::time(nullptr);
};

TEST_F(Tls, ValidPairAndNotYetValidPass) {
  const std::string k = write("key.pem", pem_of_key(key));
  EXPECT_EQ(_validate_ssl(write("c.pem", make_cert(key, now - 60, now + 86400)), k), Errors{});
  EXPECT_EQ(_validate_ssl(write("future.pem", make_cert(key, now + 86400, now + 2 * 86400)), k), Errors{});
}

TEST_F(Tls, MissingFilesAreReportedCertificateFirst) {
  const std::string c = dir / "missing-cert.pem", k = dir / "missing-key.pem";
  const Errors e = _validate_ssl(c, k);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0], "Cannot load SSL certificate " + c + ": No such file or directory");
  EXPECT_EQ(e[1], "Cannot load SSL private key " + k + ": No such file or directory");
  // A missing key still lets the certificate's expiry be checked.
  const std::string expired = write("old.pem", make_cert(key, now - 7200, now - 3600));
  const Errors e2 = _validate_ssl(expired, k);
  ASSERT_EQ(e2.size(), 2u);
  EXPECT_EQ(e2[1].rfind("SSL certificate " + expired + " has expired (expiry: ", 0), 0u);
}

TEST_F(Tls, ExpiryIsExactToTheSecondInUtc) {
  const std::string k = write("key.pem", pem_of_key(key));
  const std::time_t past = now - 3600;
  char when[64];
  std::tm tm{};
  gmtime_r(&past, &tm);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
  const std::string c = write("old.pem", make_cert(key, now - 7200, past));
  EXPECT_EQ(_validate_ssl(c, k), Errors{"SSL certificate " + c + " has expired (expiry: " + when + ")"});
  // Expiring at this very second is not yet expired (a second later it would be).
  const std::string edge = write("edge.pem", make_cert(key, now - 60, std::time(nullptr) + 1));
  EXPECT_EQ(_validate_ssl(edge, k), Errors{});
}

TEST_F(Tls, ForeignKeyAndExpiryTogetherComeInOrder) {
  EVP_PKEY* other = new_key();
  const std::string k = write("other.pem", pem_of_key(other));
  EVP_PKEY_free(other);
  const std::string c = write("old.pem", make_cert(key, now - 7200, now - 3600));
  const Errors e = _validate_ssl(c, k);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_NE(e[0].find("has expired"), std::string::npos);
  EXPECT_EQ(e[1], "SSL certificate " + c + " and private key " + k + " do not match");
}

TEST_F(Tls, EncryptedKeyAndGarbageAreLoadErrorsWithoutPrompting) {
  const std::string c = write("c.pem", make_cert(key, now - 60, now + 86400));
  const std::string enc = write("enc.pem", pem_of_key(key, "secret"));
  const Errors e = _validate_ssl(c, enc);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].rfind("Cannot load SSL private key " + enc + ": ", 0), 0u);
  EXPECT_NE(e[0].find("pass phrase"), std::string::npos);
  const std::string junk = write("junk.pem", "not a certificate\n");
  const Errors e2 = _validate_ssl(junk, junk);
  ASSERT_EQ(e2.size(), 2u);
  EXPECT_EQ(e2[0].rfind("Cannot load SSL certificate " + junk + ": ", 0), 0u);
}

TEST_F(Tls, MissingSettingsAreRefusedClearly) {
  const Errors e = _validate_ssl(Value(), Value(""));
  ASSERT_EQ(e.size(), 2u);
  EXPECT_NE(e[0].find("SslCert"), std::string::npos);
  EXPECT_NE(e[1].find("SslKey"), std::string::npos);
}

TEST_F(Tls, CertInfoReadsCommonNameAndDnsAndIpNames) {
  const std::string c =
      write("san.pem", make_cert(key, now, now + 86400, "DNS:a.example,IP:192.0.2.7,email:x@example,IP:2001:db8::1"));
  const auto [cn, sans] = _get_cert_info(c);
  EXPECT_EQ(cn, "example");
  EXPECT_EQ(sans, (std::vector<std::string>{"DNS:a.example", "IP:192.0.2.7", "IP:2001:db8::1"}));
  EXPECT_THROW(_get_cert_info(dir / "missing.pem"), std::runtime_error);
}

}  // namespace
}  // namespace portico::app
