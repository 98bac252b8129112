#pragma once
// Comparing secrets (API keys, password hashes) so that the time taken
// reveals neither where they differ nor how long the expected one is.

#include <string_view>

namespace portico {

bool secret_equals(std::string_view a, std::string_view b);

}  // namespace portico
