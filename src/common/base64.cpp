// Base64, standard alphabet with padding.

#include <array>
#include <cstdint>

#include "common/internal.h"
#include "common/text.h"

namespace portico {

void base64_append(std::string& out, std::string_view in) {
  static constexpr char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t start = out.size();
  out.resize(start + (in.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  char* o = out.data() + start;
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    *o++ = tbl[v >> 18];
    *o++ = tbl[(v >> 12) & 63];
    *o++ = tbl[(v >> 6) & 63];
    *o++ = tbl[v & 63];
  }
  const size_t rest = in.size() - i;
  if (rest) {
    uint32_t v = uint32_t{p[i]} << 16;
    if (rest == 2) v |= uint32_t{p[i + 1]} << 8;
    *o++ = tbl[v >> 18];
    *o++ = tbl[(v >> 12) & 63];
    *o++ = rest == 2 ? tbl[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
}

std::string base64_encode(std::string_view in) {
  std::string out;
  base64_append(out, in);
  return out;
}

std::optional<std::string> base64_decode(std::string_view in) {
  auto val = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (in.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(in.size() / 4 * 3);
  for (size_t i = 0; i < in.size(); i += 4) {
    const bool last = i + 4 == in.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = in[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad) return std::nullopt;  // data after padding
      v[k] = val(c);
      if (v[k] < 0) return std::nullopt;
    }
    const uint32_t x = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
    out.push_back(static_cast<char>(x >> 16));
    if (pad < 2) out.push_back(static_cast<char>((x >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(x & 0xFF));
  }
  return out;
}

}  // namespace portico
