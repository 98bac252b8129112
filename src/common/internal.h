#pragma once
// Entry points that only the tests use: copying forms of what the library
// does in place or by appending.

#include <string>
#include <string_view>

namespace portico {

// CR LF and lone CR become LF.
std::string normalize_newlines(std::string_view text);
// Standard alphabet, padded, no line breaks.
std::string base64_encode(std::string_view bytes);

}  // namespace portico
