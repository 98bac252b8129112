#pragma once
// Command templates: "{{ name }}", "{{ name | shell }}", "{{ name | json }}"
// and sections "{{#name}}..{{/name}}" (truthy) / "{{^name}}..{{/name}}" (falsy).
// The whole template is checked on every render, including the bodies of
// sections that are skipped, so a typo fails for every request alike.

#include <optional>
#include <string>
#include <string_view>

#include "interfaces/template_renderer.h"

namespace portico {

// One /bin/sh word that stands for exactly `text`: single-quoted, with each
// ' written as '\''. Throws TemplateError on a NUL byte, which no argument
// can carry.
std::string shell_quote(std::string_view text);

// Stateless: one instance may render from any number of threads at once.
class TemplateEngine final : public TemplateRenderer {
 public:
  std::string render(const std::string& text, const Value& params) const override;
  // `run_dir` names the run directory and hides a parameter of that name.
  std::string render(const std::string& text, const Value& params,
                     const std::optional<std::string>& run_dir) const override;
};

}  // namespace portico
