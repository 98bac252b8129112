#pragma once
// Start-up check of the TLS certificate and key, and certificate details.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "interfaces/errors.h"

namespace portico::app {

// Every problem: certificate loading, key loading, expiry, match (at most one of each).
Errors _validate_ssl(const std::string& cert_path, const std::string& key_path);
// The same for configured values, which may be absent.
Errors _validate_ssl(const Value& cert, const Value& key);

// (subject common name, ["DNS:name", "IP:address", ...]); throws std::runtime_error
// when the file cannot be read or is not a PEM certificate.
std::pair<std::optional<std::string>, std::vector<std::string>> _get_cert_info(const std::string& cert_path);

}  // namespace portico::app
