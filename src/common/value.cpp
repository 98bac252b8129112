#include "common/value.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <regex>
#include <set>
#include <stdexcept>

namespace portico {
namespace {

bool is_one_of(const std::string& s, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (s == w) return true;
  return false;
}

// Digits with optional "_" separators (YAML 1.1 allows them); returns false on
// anything else.
bool strip_underscores(const std::string& in, std::string& out, int base) {
  out.clear();
  if (in.empty()) return false;
  for (char c : in) {
    if (c == '_') continue;
    bool ok = false;
    if (base == 16) ok = std::isxdigit(static_cast<unsigned char>(c));
    else if (base == 8) ok = c >= '0' && c <= '7';
    else if (base == 2) ok = c == '0' || c == '1';
    else ok = c >= '0' && c <= '9';
    if (!ok) return false;
    out.push_back(c);
  }
  return !out.empty();
}

bool parse_int(const std::string& text, Value& result) {
  std::string s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.erase(0, 1);
  }
  int base = 10;
  std::string digits;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.erase(0, 2);
  } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'o' || s[1] == 'O')) {
    base = 8;
    s.erase(0, 2);
  } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) {
    base = 2;
    s.erase(0, 2);
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;  // YAML 1.1 octal: 0755
    s.erase(0, 1);
  }
  if (!strip_underscores(s, digits, base)) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long magnitude = std::strtoull(digits.c_str(), &end, base);
  if (errno == ERANGE || *end != '\0') {
    // Too large for 64 bits: keep it as a float rather than failing the load.
    result = (negative ? -1.0 : 1.0) * std::strtod(digits.c_str(), nullptr);
    return base == 10;
  }
  if (negative) {
    if (magnitude > static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1ULL) {
      result = -static_cast<double>(magnitude);
    } else {
      result = static_cast<long long>(0ULL - magnitude);
    }
  } else if (magnitude > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
    result = magnitude;
  } else {
    result = static_cast<long long>(magnitude);
  }
  return true;
}

bool parse_float(const std::string& text, Value& result) {
  static const std::regex float_re(R"([-+]?([0-9][0-9_]*)?\.[0-9_]*([eE][-+]?[0-9]+)?|[-+]?[0-9][0-9_]*[eE][-+]?[0-9]+)");
  if (is_one_of(text, {".inf", ".Inf", ".INF", "+.inf", "+.Inf", "+.INF"})) {
    result = std::numeric_limits<double>::infinity();
    return true;
  }
  if (is_one_of(text, {"-.inf", "-.Inf", "-.INF"})) {
    result = -std::numeric_limits<double>::infinity();
    return true;
  }
  if (is_one_of(text, {".nan", ".NaN", ".NAN"})) {
    result = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (text == "." || text == "+." || text == "-." || !std::regex_match(text, float_re)) return false;
  std::string cleaned;
  for (char c : text)
    if (c != '_') cleaned.push_back(c);
  result = std::strtod(cleaned.c_str(), nullptr);
  return true;
}

}  // namespace

Value resolve_plain_scalar(const std::string& s) {
  if (s.empty() || is_one_of(s, {"~", "null", "Null", "NULL"})) return nullptr;
  if (is_one_of(s, {"true", "True", "TRUE", "yes", "Yes", "YES", "on", "On", "ON", "y", "Y"})) return true;
  if (is_one_of(s, {"false", "False", "FALSE", "no", "No", "NO", "off", "Off", "OFF", "n", "N"})) return false;
  Value v;
  if (parse_int(s, v)) return v;
  if (parse_float(s, v)) return v;
  return s;
}

namespace {

// Aliases of collections are refused: a few lines of anchors can otherwise
// expand into billions of nodes.
Value convert(const YAML::Node& node, std::set<size_t>& seen_collections) {
  if (node.IsMap() || node.IsSequence()) {
    const YAML::Mark m = node.Mark();
    if (m.pos >= 0 && !seen_collections.insert(static_cast<size_t>(m.pos)).second)
      throw std::runtime_error("YAML aliases of sequences and maps are not supported (line " +
                               std::to_string(m.line + 1) + ")");
  }
  switch (node.Type()) {
    case YAML::NodeType::Undefined:
    case YAML::NodeType::Null:
      return nullptr;
    case YAML::NodeType::Scalar:
      // "!" marks a quoted (or explicitly tagged non-specific) scalar: never resolved.
      if (node.Tag() == "!") return node.Scalar();
      if (node.Tag() == "tag:yaml.org,2002:str" || node.Tag() == "!!str") return node.Scalar();
      return resolve_plain_scalar(node.Scalar());
    case YAML::NodeType::Sequence: {
      Value out = Value::array();
      for (const auto& item : node) out.push_back(convert(item, seen_collections));
      return out;
    }
    case YAML::NodeType::Map: {
      Value out = Value::object();
      for (const auto& kv : node) {
        if (!kv.first.IsScalar()) throw std::runtime_error("mapping keys must be scalars");
        if (kv.first.Scalar() == "<<" && kv.first.Tag() != "!")
          throw std::runtime_error("merge keys are not supported");
        if (out.contains(kv.first.Scalar()))
          throw std::runtime_error("duplicate key " + kv.first.Scalar() + " (line " +
                                   std::to_string(kv.first.Mark().line + 1) + ")");
        out[kv.first.Scalar()] = convert(kv.second, seen_collections);
      }
      return out;
    }
  }
  return nullptr;
}

}  // namespace

Value yaml_to_value(const YAML::Node& node) {
  std::set<size_t> seen;
  return convert(node, seen);
}

bool truthy(const Value& v) {
  switch (v.type()) {
    case Value::value_t::null: return false;
    case Value::value_t::boolean: return v.get<bool>();
    case Value::value_t::number_integer: return v.get<long long>() != 0;
    case Value::value_t::number_unsigned: return v.get<unsigned long long>() != 0;
    case Value::value_t::number_float: return v.get<double>() != 0.0;
    case Value::value_t::string: return !v.get_ref<const std::string&>().empty();
    case Value::value_t::array:
    case Value::value_t::object: return !v.empty();
    default: return true;
  }
}

const Value* given_member(const Value& map, const char* key) {
  if (!map.is_object()) return nullptr;
  auto it = map.find(key);
  return it == map.end() || it->is_null() ? nullptr : &*it;
}

}  // namespace portico
