#pragma once
// How a typed field of Settings maps to and from the Value form that the
// conversions of the configuration file make and that get() answers.

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "common/value.h"
#include "interfaces/settings.h"

namespace portico::config_internal {

// Reads and writes one field in its Value form.
struct Field {
  Value (*read)(const Settings&);
  void (*write)(Settings&, const Value&);
};

template <class T>
Value field_value(const T& v) {
  if constexpr (std::is_same_v<T, Seconds>) return v.value();
  else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::string>) return Value(v);
  else return Value(static_cast<long long>(v));  // integers stay signed, as the file's numbers are
}

template <class T>
Value field_value(const std::optional<T>& v) {
  return v ? field_value(*v) : Value();
}

template <class T>
void set_field(T& field, const Value& v) {
  if constexpr (std::is_same_v<T, Seconds>)
    field = v.is_number_float() ? Seconds::fractional(v.get<double>()) : Seconds(v.get<long long>());
  else field = v.get<T>();
}

template <class T>
void set_field(std::optional<T>& field, const Value& v) {
  if (v.is_null()) {
    field.reset();
    return;
  }
  T t{};
  set_field(t, v);
  field = std::move(t);
}

template <auto Member>
constexpr Field field() {
  return {[](const Settings& s) { return field_value(s.*Member); },
          [](Settings& s, const Value& v) { set_field(s.*Member, v); }};
}

}  // namespace portico::config_internal
