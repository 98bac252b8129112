#include "portico/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>

#include <ctime>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "common/fd.h"
#include "common/timestamp.h"

namespace portico::app {
namespace {

template <typename T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string openssl_error(const char* fallback) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (!e) return fallback;
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  const char* reason = ERR_reason_error_string(e);
  return reason ? reason : buf;
}

std::string read_all(const std::string& path) {
  try {
    return read_file(path);
  } catch (const std::system_error& e) {
    throw std::runtime_error(e.code().message());
  }
}

X509Ptr load_cert(const std::string& path) {
  const std::string pem = read_all(path);
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) throw std::runtime_error("not a PEM certificate (" + openssl_error("no certificate found") + ")");
  return cert;
}

// Never asks for a pass phrase: an encrypted key simply fails to load.
int no_passphrase(char*, int, int, void*) { return 0; }

KeyPtr load_key(const std::string& path) {
  const std::string pem = read_all(path);
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr));
  if (!key) {
    const bool encrypted = pem.find("ENCRYPTED") != std::string::npos;
    const std::string why = openssl_error("no private key found");
    throw std::runtime_error(encrypted ? "the key is protected by a pass phrase (" + why + ")"
                                       : "not a PEM private key (" + why + ")");
  }
  return key;
}

std::string der_public_key(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(key, &der);
  if (len <= 0) throw std::runtime_error("cannot serialise public key: " + openssl_error("i2d_PUBKEY failed"));
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(len));
  OPENSSL_free(der);
  return out;
}

}  // namespace

Errors _validate_ssl(const std::string& cert_path, const std::string& key_path) {
  Errors errors;
  X509Ptr cert;
  KeyPtr key;
  try {
    cert = load_cert(cert_path);
  } catch (const std::exception& e) {
    errors.push_back("Cannot load SSL certificate " + cert_path + ": " + e.what());
  }
  try {
    key = load_key(key_path);
  } catch (const std::exception& e) {
    errors.push_back("Cannot load SSL private key " + key_path + ": " + e.what());
  }
  if (!cert) return errors;
  std::tm not_after{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &not_after) != 1)
    throw std::runtime_error("cannot read the expiry of " + cert_path);
  const std::time_t expiry = timegm(&not_after);
  if (expiry < std::time(nullptr)) {
    const std::string when = format_time(std::chrono::system_clock::from_time_t(expiry), Zone::utc, "%Y-%m-%d %H:%M:%S UTC");
    errors.push_back("SSL certificate " + cert_path + " has expired (expiry: " + when + ")");
  }
  if (!key) return errors;
  EVP_PKEY* cert_key = X509_get0_pubkey(cert.get());
  if (!cert_key) throw std::runtime_error("cannot read the public key of " + cert_path);
  if (der_public_key(cert_key) != der_public_key(key.get()))
    errors.push_back("SSL certificate " + cert_path + " and private key " + key_path + " do not match");
  return errors;
}

Errors _validate_ssl(const Value& cert, const Value& key) {
  Errors missing;
  const bool has_cert = cert.is_string() && !cert.get<std::string>().empty();
  const bool has_key = key.is_string() && !key.get<std::string>().empty();
  if (!has_cert) missing.push_back("SslEnabled is true but SslCert (the certificate file) is not set");
  if (!has_key) missing.push_back("SslEnabled is true but SslKey (the private key file) is not set");
  if (!missing.empty()) return missing;
  return _validate_ssl(cert.get<std::string>(), key.get<std::string>());
}

std::pair<std::optional<std::string>, std::vector<std::string>> _get_cert_info(const std::string& cert_path) {
  X509Ptr cert = load_cert(cert_path);
  std::optional<std::string> cn;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  for (int i = 0; subject && i < X509_NAME_entry_count(subject); ++i) {
    X509_NAME_ENTRY* e = X509_NAME_get_entry(subject, i);
    if (OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)) != NID_commonName) continue;
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
    if (len >= 0) {
      cn = std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
      OPENSSL_free(utf8);
    }
    break;
  }
  std::vector<std::string> sans;
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
    if (n->type == GEN_DNS) {
      const auto* s = n->d.dNSName;
      sans.push_back("DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                          static_cast<size_t>(ASN1_STRING_length(s))));
    } else if (n->type == GEN_IPADD) {
      const auto* s = n->d.iPAddress;
      char text[INET6_ADDRSTRLEN] = {};
      const int len = ASN1_STRING_length(s);
      const int family = len == 4 ? AF_INET : len == 16 ? AF_INET6 : -1;
      if (family > 0 && inet_ntop(family, ASN1_STRING_get0_data(s), text, sizeof text))
        sans.push_back(std::string("IP:") + text);
    }
  }
  if (names) GENERAL_NAMES_free(names);
  return {cn, sans};
}

}  // namespace portico::app
