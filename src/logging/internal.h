#pragma once
// Entry points that only the tests use; the service's get_correlation_id()
// is what the other libraries call.

#include <optional>
#include <string>

namespace portico {

// The calling thread's correlation id, or absent outside a request.
std::optional<std::string> current_correlation_id();

}  // namespace portico
