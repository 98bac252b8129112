// An accepted alias definition turned into its typed form.

#include <stdexcept>

#include "common/text.h"
#include "config/definition_check.h"
#include "config/internal.h"
#include "imagery/imagery.h"
#include "preserve/preserve.h"
#include "validator/validator.h"

namespace portico::config_internal {
namespace {

const Value& member(const Value& map, const char* key) {
  static const Value none;
  const Value* v = given_member(map, key);
  return v ? *v : none;
}

// The maps of a sequence; what is no sequence gives none.
template <typename Each>
void each_map(const Value& v, Each each) {
  if (!v.is_array()) return;
  for (const Value& entry : v)
    if (entry.is_object()) each(entry);
}

std::optional<PullPolicy> policy(const Value& def, const char* key) {
  const Value& v = member(def, key);
  if (v.is_null()) return std::nullopt;
  return imagery::pull_policy(v);
}

}  // namespace

AliasPtr build_alias(Value raw) {
  auto def = std::make_shared<AliasDefinition>();
  const Value& d = raw;
  def->type_value = member(d, "type");
  if (def->type_value == "process") def->type = AliasType::process;
  else if (def->type_value == "container") def->type = AliasType::container;
  const std::pair<std::string*, const char*> texts[] = {{&def->command, "command"}, {&def->image, "image"}, {&def->user, "user"}};
  for (const auto& [field, key] : texts)
    if (member(d, key).is_string()) *field = member(d, key).get<std::string>();
  def->timeout = member(d, "timeout");

  const Value& env = member(d, "environment");
  if (env.is_object())
    for (auto it = env.begin(); it != env.end(); ++it) def->environment.emplace_back(it.key(), text_form(it.value()));
  if (truthy(member(d, "files")))
    each_map(member(d, "files"), [&](const Value& f) {
      def->files.push_back({text_form(member(f, "location")), text_form(member(f, "content"))});
    });
  if (truthy(member(d, "volumes")))
    each_map(member(d, "volumes"), [&](const Value& v) {
      VolumeDefinition vol;
      if (const Value& source = member(v, "source"); !source.is_null()) vol.source = text_form(source);
      vol.location = text_form(member(v, "location"));
      if (truthy(member(v, "content"))) vol.content = text_form(member(v, "content"));
      vol.mode = text_form(member(v, "mode"));
      const Value& preserve = member(v, "preserve");
      vol.preserve = preserve::is_preserve_enabled(preserve);
      vol.preserve_mode = preserve::normalize_preserve(preserve);
      vol.preserve_prefix = member(v, "preservePrefix");
      def->volumes.push_back(std::move(vol));
    });

  const Value& output = member(d, "output");
  const Value& single = member(output, "single_value");
  if (single.is_object()) def->output_sources.push_back(text_form(member(single, "source")));
  each_map(member(output, "multiple_values"),
           [&](const Value& entry) { def->output_sources.push_back(text_form(member(entry, "source"))); });

  def->stream_entries = preserve::expand_preserve_streams(member(d, "preserveStreams"));
  def->refresh_image = policy(d, "refreshImage");
  def->prefetch_image = policy(d, "prefetchImage");
  def->parameters = compile_declarations(member(d, "parameters"));
  def->raw = std::move(raw);
  return def;
}

AliasPtr parse_alias(const Value& def) {
  if (!def.is_object()) throw std::invalid_argument("the definition must be a map");
  for (const auto& f : check_definition(def))
    if (!f.warning) throw std::invalid_argument(f.text);
  return build_alias(def);
}

}  // namespace portico::config_internal
