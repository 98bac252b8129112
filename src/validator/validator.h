#pragma once
// Declared parameters of an alias: the `parameters` map of its definition,
// name -> {type, required, default, pattern, choices, min, max, min_length,
// max_length, description}.

#include <cstdint>

#include <memory>

#include "interfaces/alias.h"
#include "interfaces/errors.h"
#include "interfaces/parameter_validator.h"

namespace portico {

// The length bound of a string parameter whose declaration sets no max_length.
inline constexpr uint64_t kDefaultParameterMaxLength = 4096;

// Problems with an alias's `parameters` value (null means none declared), one
// message per problem, each starting "parameter '<name>': " where a parameter
// is concerned. Empty when the declarations are usable.
Errors check_parameter_declarations(const Value& parameters);

// The declarations (null means none) compiled for checking values, patterns
// included; expected to have passed check_parameter_declarations. Any thread.
std::shared_ptr<const ParameterSchema> compile_declarations(const Value& parameters);

// Stateless apart from a process-wide cache of compiled patterns, which is
// internally locked: one instance serves any number of threads at once.
// Definitions are expected to have passed check_parameter_declarations; a
// malformed one never crashes, and a pattern that does not compile rejects
// every value.
class DeclarativeValidator final : public ParameterValidator {
 public:
  Value apply_defaults(Value params, const Value& alias_cfg) const override;
  Errors validate_parameters(const Value& params, const Value& alias_cfg) const override;
};

}  // namespace portico
