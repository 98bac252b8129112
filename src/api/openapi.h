#pragma once
// The OpenAPI 3.1 description of what one caller may run.

#include <functional>
#include <string>

#include "common/value.h"

namespace portico::api {

// One run path per alias that `may_run` allows, its request schema built from
// the alias's parameter declarations; `aliases` maps names to definitions.
Value openapi_document(const Value& aliases, const std::function<bool(const std::string&)>& may_run,
                       const std::string& version);

}  // namespace portico::api
