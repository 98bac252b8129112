#include "imagery/imagery.h"

#include <cctype>

#include "common/text.h"

namespace portico::imagery {

const std::set<std::string> REFRESH_IMAGE_VALUES{"always", "on-start", "no"};
const std::set<std::string> PREFETCH_IMAGE_VALUES{"on-start", "on-config-change", "no"};

namespace {

std::string effective_policy(const Value& alias_cfg, const char* key, const Value& global_default) {
  Value v;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find(key);
    if (it != alias_cfg.end()) v = *it;
  }
  if (v.is_null()) v = global_default;
  if (!truthy(v)) return "no";
  std::string text = text_form(v);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string effective_refresh_image(const Value& alias_cfg, const Value& global_default) {
  return effective_policy(alias_cfg, "refreshImage", global_default);
}

std::string effective_prefetch_image(const Value& alias_cfg, const Value& global_default) {
  return effective_policy(alias_cfg, "prefetchImage", global_default);
}

}  // namespace portico::imagery
