#include "validator/validator.h"

#include <re2/re2.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "common/identifier.h"
#include "common/text.h"

namespace portico {
namespace {

// Patterns come from configuration only; the cap just keeps reload after
// reload of changing patterns from growing the cache without end.
constexpr size_t kMaxCachedPatterns = 4096;

enum class Type { string, integer, number, boolean };

std::shared_ptr<const RE2> compiled(const std::string& pattern) {
  static std::mutex mu;
  static std::unordered_map<std::string, std::shared_ptr<const RE2>> cache;
  {
    std::lock_guard lock(mu);
    if (auto it = cache.find(pattern); it != cache.end()) return it->second;
  }
  // Compiled outside the lock so that one slow pattern does not stall other
  // requests; two threads may compile the same one, and either copy is fine.
  RE2::Options opts;
  opts.set_log_errors(false);
  auto re = std::make_shared<const RE2>(pattern, opts);
  std::lock_guard lock(mu);
  if (cache.size() >= kMaxCachedPatterns) cache.clear();
  return cache.emplace(pattern, std::move(re)).first->second;
}


std::optional<Type> parse_type(const Value* t) {
  if (!t) return Type::string;
  if (!t->is_string()) return std::nullopt;
  const auto& s = t->get_ref<const std::string&>();
  if (s == "string") return Type::string;
  if (s == "integer") return Type::integer;
  if (s == "number") return Type::number;
  if (s == "boolean") return Type::boolean;
  return std::nullopt;
}

// A declaration's type for checking values; an unusable one checks as text.
Type type_of(const Value& decl) { return parse_type(given_member(decl, "type")).value_or(Type::string); }

bool is_count(const Value& v) {
  return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
}

bool is_bound(const Value& v) {
  return v.is_number() && (!v.is_number_float() || std::isfinite(v.get<double>()));
}

// Exact for any pair of integers, whatever their signedness.
bool less(const Value& a, const Value& b) {
  if (a.is_number_float() || b.is_number_float()) return a.get<double>() < b.get<double>();
  if (a.is_number_unsigned() && b.is_number_unsigned()) return a.get<uint64_t>() < b.get<uint64_t>();
  if (a.is_number_unsigned()) {
    const int64_t y = b.get<int64_t>();
    return y >= 0 && a.get<uint64_t>() < static_cast<uint64_t>(y);
  }
  if (b.is_number_unsigned()) {
    const int64_t x = a.get<int64_t>();
    return x < 0 || static_cast<uint64_t>(x) < b.get<uint64_t>();
  }
  return a.get<int64_t>() < b.get<int64_t>();
}

size_t code_points(std::string_view s) {
  size_t n = 0;
  for (char c : s)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

struct CheckOptions {
  bool choices = true;
};

// The first failed check of one value against its declaration, or nothing.
// A declaration with what checking a value needs made once: its type and compiled pattern.
struct Compiled {
  std::string name;
  const Value* decl;
  Type type;
  std::shared_ptr<const RE2> pattern;  // null when no text pattern is given
};

Compiled compile(const std::string& name, const Value& decl) {
  Compiled c{name, &decl, type_of(decl), nullptr};
  if (const Value* p = given_member(decl, "pattern"); p && p->is_string()) c.pattern = compiled(p->get_ref<const std::string&>());
  return c;
}

std::optional<std::string> check_value(const Compiled& c, const Value* value, CheckOptions opts = {}) {
  const std::string& name = c.name;
  const Value& decl = *c.decl;
  if (!value || value->is_null()) {
    const Value* req = given_member(decl, "required");
    if (req && req->is_boolean() && req->get<bool>()) return name + " is required";
    return std::nullopt;
  }
  const Value& v = *value;
  const Type type = c.type;
  switch (type) {
    case Type::string:
      if (!v.is_string()) return name + " must be a string";
      break;
    case Type::integer:
      if (!v.is_number_integer()) return name + " must be an integer";
      break;
    case Type::number:
      if (!v.is_number()) return name + " must be a number";
      if (v.is_number_float() && !std::isfinite(v.get<double>())) return name + " must be a finite number";
      break;
    case Type::boolean:
      if (!v.is_boolean()) return name + " must be a boolean";
      break;
  }

  if (type == Type::string) {
    const auto& s = v.get_ref<const std::string&>();
    if (s.find('\0') != std::string::npos) return name + " must not contain NUL characters";
    if (!decode_utf8_strict(s)) return name + " must be valid UTF-8";
    const size_t len = code_points(s);
    if (const Value* m = given_member(decl, "min_length"); m && is_count(*m) && len < m->get<uint64_t>())
      return name + " must be at least " + plain_decimal(*m) + " characters long";
    const Value* mx = given_member(decl, "max_length");
    const uint64_t max_len = mx && is_count(*mx) ? mx->get<uint64_t>() : kDefaultParameterMaxLength;
    if (len > max_len) return name + " must be at most " + std::to_string(max_len) + " characters long";
    if (const Value* p = given_member(decl, "pattern")) {
      // A pattern that is not text or does not compile accepts nothing.
      const bool ok = c.pattern && c.pattern->ok() && RE2::FullMatch(s, *c.pattern);
      if (!ok) return name + " must match pattern " + quoted(*p);
    }
  }

  if (const Value* choices = given_member(decl, "choices"); opts.choices && choices && choices->is_array()) {
    bool found = false;
    for (const auto& c : *choices)
      if (c == v) {
        found = true;
        break;
      }
    if (!found) {
      std::string msg = name + " must be one of: ";
      bool first = true;
      for (const auto& c : *choices) {
        if (!first) msg += ", ";
        first = false;
        msg += quoted(c);
      }
      return msg;
    }
  }

  if (type == Type::integer || type == Type::number) {
    if (const Value* m = given_member(decl, "min"); m && is_bound(*m) && less(v, *m))
      return name + " must be at least " + plain_decimal(*m);
    if (const Value* m = given_member(decl, "max"); m && is_bound(*m) && less(*m, v))
      return name + " must be at most " + plain_decimal(*m);
  }
  return std::nullopt;
}

const Value& declarations(const Value& alias_cfg) {
  static const Value none = Value::object();
  if (!alias_cfg.is_object()) return none;
  auto it = alias_cfg.find("parameters");
  if (it == alias_cfg.end() || !it->is_object()) return none;
  return *it;
}

const char* const kKnownKeys[] = {"type",  "required", "default",    "pattern",    "choices",
                                  "min",   "max",      "min_length", "max_length", "description"};

// The keys that limit a value (pattern, lengths, bounds): each well-formed,
// given only for the types it applies to, and the pairs in order.
void check_limits(const Value& decl, std::optional<Type> type, const std::function<void(const std::string&)>& fail) {
  const bool textual = type == Type::string;
  const bool numeric = type == Type::integer || type == Type::number;

  if (const Value* p = given_member(decl, "pattern")) {
    if (!p->is_string()) {
      fail("pattern must be text, not " + quoted(*p));
    } else {
      auto re = compiled(p->get_ref<const std::string&>());
      if (!re->ok()) fail("pattern is not a valid regular expression: " + re->error());
    }
    if (type && !textual) fail("pattern applies only to string parameters");
  }

  for (const char* key : {"min_length", "max_length"}) {
    if (const Value* m = given_member(decl, key)) {
      if (!is_count(*m)) fail(std::string(key) + " must be a non-negative integer, not " + quoted(*m));
      if (type && !textual) fail(std::string(key) + " applies only to string parameters");
    }
  }
  {
    const Value* lo = given_member(decl, "min_length");
    const Value* hi = given_member(decl, "max_length");
    const uint64_t max_len = hi && is_count(*hi) ? hi->get<uint64_t>() : kDefaultParameterMaxLength;
    if (lo && is_count(*lo) && (!hi || is_count(*hi)) && lo->get<uint64_t>() > max_len)
      fail("min_length " + plain_decimal(*lo) + " is greater than max_length " + std::to_string(max_len));
  }

  for (const char* key : {"min", "max"}) {
    if (const Value* m = given_member(decl, key)) {
      if (!is_bound(*m)) fail(std::string(key) + " must be a finite number, not " + quoted(*m));
      if (type && !numeric) fail(std::string(key) + " applies only to integer and number parameters");
    }
  }
  if (const Value* lo = given_member(decl, "min"), *hi = given_member(decl, "max");
      lo && hi && is_bound(*lo) && is_bound(*hi) && less(*hi, *lo))
    fail("min " + plain_decimal(*lo) + " is greater than max " + plain_decimal(*hi));
}

void check_declaration(const std::string& name, const Value& decl, Errors& errors) {
  const std::string prefix = "parameter " + quoted(std::string_view(name)) + ": ";
  const size_t before = errors.size();
  auto fail = [&](const std::string& msg) { errors.push_back(prefix + msg); };

  if (!is_identifier(name))
    fail("the name must be an identifier (letters, digits and underscores, not starting with a digit)");
  else if (name == "run_dir")
    fail("the name 'run_dir' is reserved for the run directory");

  if (decl.is_null()) return;
  if (!decl.is_object()) {
    fail("the declaration must be a map, not " + quoted(decl));
    return;
  }
  for (auto it = decl.begin(); it != decl.end(); ++it) {
    bool known = false;
    for (const char* k : kKnownKeys) known = known || it.key() == k;
    if (!known) fail("unknown key " + quoted(std::string_view(it.key())));
  }

  const Value* type_field = given_member(decl, "type");
  const std::optional<Type> type = parse_type(type_field);
  if (!type) {
    if (type_field->is_string()) fail("unknown type " + quoted(*type_field));
    else fail("type must be text, not " + quoted(*type_field));
  }
  if (const Value* r = given_member(decl, "required"); r && !r->is_boolean())
    fail("required must be true or false, not " + quoted(*r));
  if (const Value* d = given_member(decl, "description"); d && !d->is_string())
    fail("description must be text, not " + quoted(*d));

  check_limits(decl, type, fail);

  const Value* choices = given_member(decl, "choices");
  if (choices && !choices->is_array()) fail("choices must be a list, not " + quoted(*choices));
  else if (choices && choices->empty()) fail("choices must not be empty");

  // Values are only worth checking against a declaration that is itself sound;
  // otherwise every mistake above would be reported twice.
  if (errors.size() != before) return;
  const Compiled compiled_decl = compile(name, decl);
  if (choices) {
    for (const auto& c : *choices)
      if (auto msg = check_value(compiled_decl, &c, {.choices = false}))
        fail("choice " + quoted(c) + " does not match its declaration: " + *msg);
  }
  if (const Value* d = given_member(decl, "default")) {
    if (auto msg = check_value(compiled_decl, d)) fail("default does not match its declaration: " + *msg);
  }
}

}  // namespace

Errors check_parameter_declarations(const Value& parameters) {
  Errors errors;
  if (parameters.is_null()) return errors;
  if (!parameters.is_object()) {
    errors.push_back("parameters must be a map of parameter names to declarations, not " + quoted(parameters));
    return errors;
  }
  for (auto it = parameters.begin(); it != parameters.end(); ++it) check_declaration(it.key(), it.value(), errors);
  return errors;
}

namespace {

class CompiledSchema final : public ParameterSchema {
 public:
  explicit CompiledSchema(const Value& parameters) : decls_(parameters.is_object() ? parameters : Value::object()) {
    for (auto it = decls_.begin(); it != decls_.end(); ++it) compiled_.push_back(compile(it.key(), it.value()));
  }

  Value apply_defaults(Value params) const override {
    if (params.is_null()) params = Value::object();
    if (!params.is_object()) return params;
    for (const Compiled& c : compiled_) {
      if (params.contains(c.name)) continue;
      const Value* d = given_member(*c.decl, "default");
      params[c.name] = d ? *d : Value();
    }
    return params;
  }

  Errors validate(const Value& params) const override {
    Errors errors;
    if (!params.is_null() && !params.is_object()) {
      errors.push_back("parameters must be a map of names to values, not " + quoted(params));
      return errors;
    }
    static const Value empty = Value::object();
    const Value& given = params.is_object() ? params : empty;
    for (const Compiled& c : compiled_) {
      auto v = given.find(c.name);
      if (auto msg = check_value(c, v == given.end() ? nullptr : &*v)) errors.push_back(*msg);
    }
    for (auto it = given.begin(); it != given.end(); ++it)
      if (!decls_.contains(it.key())) errors.push_back("Unknown parameter: " + quoted(std::string_view(it.key())));
    return errors;
  }

 private:
  const Value decls_;
  std::vector<Compiled> compiled_;  // point into decls_
};

}  // namespace

std::shared_ptr<const ParameterSchema> compile_declarations(const Value& parameters) {
  return std::make_shared<const CompiledSchema>(parameters);
}

Value DeclarativeValidator::apply_defaults(Value params, const Value& alias_cfg) const {
  return compile_declarations(declarations(alias_cfg))->apply_defaults(std::move(params));
}

Errors DeclarativeValidator::validate_parameters(const Value& params, const Value& alias_cfg) const {
  return compile_declarations(declarations(alias_cfg))->validate(params);
}

}  // namespace portico
