#include "common/secret.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace portico {

// Digests first: equal lengths whatever was given, so no early exit on length.
bool secret_equals(std::string_view a, std::string_view b) {
  unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
  unsigned int la = 0, lb = 0;
  EVP_Digest(a.data(), a.size(), da, &la, EVP_sha256(), nullptr);
  EVP_Digest(b.data(), b.size(), db, &lb, EVP_sha256(), nullptr);
  return la == lb && CRYPTO_memcmp(da, db, la) == 0;
}

}  // namespace portico
