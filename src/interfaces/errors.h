#pragma once
// Problems found in a configuration, in the order found.

#include <string>
#include <vector>

namespace portico {

using Errors = std::vector<std::string>;

}  // namespace portico
