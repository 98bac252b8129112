#pragma once
// The one rule for names that templates and parameter declarations share:
// an ASCII letter or underscore, then letters, digits and underscores.

#include <string_view>

namespace portico {

inline bool is_identifier(std::string_view s) {
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (s.empty() || !alpha(s.front())) return false;
  for (char c : s)
    if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
  return true;
}

}  // namespace portico
