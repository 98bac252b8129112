#pragma once
// The parameter validator as the libraries call it.

#include "common/value.h"
#include "interfaces/errors.h"

namespace portico {

class ParameterValidator {
 public:
  virtual ~ParameterValidator() = default;
  // The parameters completed with every declared parameter (null without a default).
  virtual Value apply_defaults(Value params, const Value& alias_cfg) const = 0;
  // Messages in declaration order, empty when the parameters are acceptable.
  virtual Errors validate_parameters(const Value& params, const Value& alias_cfg) const = 0;
};

}  // namespace portico
