#pragma once
// The template renderer as the libraries call it.

#include <optional>
#include <stdexcept>
#include <string>

#include "common/value.h"

namespace portico {

// Raised by render() for an unknown name or a malformed template.
class TemplateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TemplateRenderer {
 public:
  virtual ~TemplateRenderer() = default;
  // Renders without a run directory: "{{ run_dir }}" is an unknown name.
  virtual std::string render(const std::string& text, const Value& params) const = 0;
  // Renders with a run directory; an absent one renders as the empty text.
  virtual std::string render(const std::string& text, const Value& params,
                             const std::optional<std::string>& run_dir) const = 0;
};

}  // namespace portico
