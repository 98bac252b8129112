#include "common/text.h"
#include "common/internal.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace portico {
namespace {

// Decodes one UTF-8 sequence at s[i]. Returns the code point and advances i,
// or returns -1 and advances i past the maximal invalid subpart.
long next_code_point(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len;
  long cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return -1;
  }
  size_t j = i + 1;
  for (int k = 1; k < len; ++k, ++j) {
    if (j >= s.size()) {
      i = j;
      return -1;
    }
    const auto b = static_cast<unsigned char>(s[j]);
    if (b < lo || b > hi) {
      i = j;
      return -1;
    }
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  i = j;
  return cp;
}

void append_utf8(std::string& out, long cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// What a reader would not see is escaped: the general categories Other (Cc,
// Cf, Cs, Co, Cn: controls, format characters, surrogates, private use,
// unassigned) and Separator (Zs, Zl, Zp) except the space. The table comes
// from the Unicode Character Database (DerivedGeneralCategory.txt of Debian's
// unicode-data, Unicode 15.0.0 on Debian 12); kUnicodeVersion names the one
// this build used.
#include "printable_table.inc"

bool printable(long cp) {
  if (cp < 0x7F) return cp >= 0x20;
  const auto* end = std::end(kPrintableFlips);
  const auto flips_at_or_below = std::upper_bound(std::begin(kPrintableFlips), end, static_cast<uint32_t>(cp));
  return (flips_at_or_below - std::begin(kPrintableFlips)) % 2 == 1;
}

void append_escaped(std::string& out, long cp) {
  char buf[16];
  if (cp < 0x100) std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
  else if (cp < 0x10000) std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
  else std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(cp));
  out += buf;
}

void quote_into(std::string& out, const Value& v);

void quote_text_into(std::string& out, std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char q = (has_single && !has_double) ? '"' : '\'';
  out.push_back(q);
  size_t i = 0;
  while (i < s.size()) {
    const size_t start = i;
    const long cp = next_code_point(s, i);
    if (cp < 0) {
      // Bytes that are not UTF-8 are shown, never passed through raw.
      for (size_t k = start; k < i; ++k) append_escaped(out, static_cast<unsigned char>(s[k]));
      continue;
    }
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      default: break;
    }
    if (cp == q) {
      out.push_back('\\');
      out.push_back(q);
    } else if (!printable(cp)) {
      append_escaped(out, cp);
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  out.push_back(q);
}

void quote_into(std::string& out, const Value& v) {
  switch (v.type()) {
    case Value::value_t::null: out += "None"; return;
    case Value::value_t::boolean: out += v.get<bool>() ? "True" : "False"; return;
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
    case Value::value_t::number_float: out += plain_decimal(v); return;
    case Value::value_t::string: quote_text_into(out, v.get_ref<const std::string&>()); return;
    case Value::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : v) {
        if (!first) out += ", ";
        first = false;
        quote_into(out, item);
      }
      out.push_back(']');
      return;
    }
    case Value::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        quote_text_into(out, it.key());
        out += ": ";
        quote_into(out, it.value());
      }
      out.push_back('}');
      return;
    }
    default: out += "None"; return;
  }
}

uint8_t random_byte_buffer(std::array<uint8_t, 16>& b) {
  size_t got = 0;
  while (got < b.size()) {
    ssize_t n = getrandom(b.data() + got, b.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    got += static_cast<size_t>(n);
  }
  b[6] = (b[6] & 0x0F) | 0x40;
  b[8] = (b[8] & 0x3F) | 0x80;
  return 0;
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

std::string quoted(const Value& v) {
  std::string out;
  quote_into(out, v);
  return out;
}

std::string quoted(std::string_view text) {
  std::string out;
  quote_text_into(out, text);
  return out;
}

std::string plain_decimal(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  // sci looks like [-]D[.DDD]e[+-]XX: split into sign, digits and exponent.
  std::string sign;
  size_t pos = 0;
  if (sci[0] == '-') {
    sign = "-";
    pos = 1;
  }
  const size_t e = sci.find('e');
  std::string digits;
  for (size_t i = pos; i < e; ++i)
    if (sci[i] != '.') digits.push_back(sci[i]);
  const int exp = std::stoi(sci.substr(e + 1));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int n = static_cast<int>(digits.size());
  std::string out = sign;
  if (exp >= -4 && exp < 16) {
    // Fixed notation, the way a reader expects small and ordinary numbers.
    if (exp < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exp - 1), '0');
      out += digits;
    } else if (exp + 1 >= n) {
      out += digits;
      out.append(static_cast<size_t>(exp + 1 - n), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<size_t>(exp + 1));
      out += ".";
      out += digits.substr(static_cast<size_t>(exp + 1));
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (n > 1) {
    out += ".";
    out += digits.substr(1);
  }
  char expbuf[16];
  std::snprintf(expbuf, sizeof expbuf, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
  out += expbuf;
  return out;
}

std::string plain_decimal(const Value& number) {
  switch (number.type()) {
    case Value::value_t::number_integer: return std::to_string(number.get<long long>());
    case Value::value_t::number_unsigned: return std::to_string(number.get<unsigned long long>());
    case Value::value_t::number_float: return plain_decimal(number.get<double>());
    default: throw std::invalid_argument("plain_decimal: not a number");
  }
}

std::string text_form(const Value& v) {
  switch (v.type()) {
    case Value::value_t::null: return "";
    case Value::value_t::boolean: return v.get<bool>() ? "true" : "false";
    case Value::value_t::string: return v.get<std::string>();
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
    case Value::value_t::number_float: return plain_decimal(v);
    default: return v.dump(-1, ' ', false, Value::error_handler_t::replace);
  }
}

std::string path_join(std::initializer_list<std::string_view> parts) {
  std::string out;
  bool first = true;
  for (std::string_view p : parts) {
    if (first) {
      out.assign(p);
      first = false;
    } else if (!p.empty() && p.front() == '/') {
      out.assign(p);
    } else if (out.empty() || out.back() == '/') {
      out.append(p);
    } else {
      out.push_back('/');
      out.append(p);
    }
  }
  return out;
}

bool is_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size())
    if (next_code_point(bytes, i) < 0) return false;
  return true;
}

std::optional<std::string> decode_utf8_strict(std::string_view bytes) {
  if (!is_utf8(bytes)) return std::nullopt;
  return std::string(bytes);
}

std::string to_utf8(std::string bytes) {
  if (is_utf8(bytes)) return bytes;
  return decode_utf8_replace(bytes);
}

std::string decode_utf8_replace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t start = i;
    const long cp = next_code_point(bytes, i);
    if (cp < 0) append_utf8(out, 0xFFFD);
    else out.append(bytes.substr(start, i - start));
  }
  return out;
}

std::string normalize_newlines(std::string_view text) {
  std::string out(text);
  normalize_newlines_in_place(out);
  return out;
}

void normalize_newlines_in_place(std::string& text) {
  const size_t first = text.find('\r');
  if (first == std::string::npos) return;
  // The text only shrinks, so one pass writing behind the read position does.
  size_t w = first;
  for (size_t r = first; r < text.size(); ++r) {
    if (text[r] == '\r') {
      text[w++] = '\n';
      if (r + 1 < text.size() && text[r + 1] == '\n') ++r;
    } else {
      text[w++] = text[r];
    }
  }
  text.resize(w);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string uuid4_hex() {
  std::array<uint8_t, 16> b{};
  random_byte_buffer(b);
  std::string out;
  out.reserve(32);
  for (uint8_t x : b) {
    out.push_back(kHex[x >> 4]);
    out.push_back(kHex[x & 15]);
  }
  return out;
}

std::string uuid4() {
  const std::string h = uuid4_hex();
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

bool is_uuid(std::string_view t) {
  if (t.size() != 36) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (t[i] != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(t[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace portico
