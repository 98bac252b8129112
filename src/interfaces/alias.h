#pragma once
// One alias definition as the alias loader accepted it, read by field. The
// loader checks every key once; readers take the fields as they are.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "interfaces/errors.h"

namespace portico {

enum class AliasType { process, container, other };

// An image pull policy. Any other text (a boolean true reads as "true") is
// `other`, which pulls nothing.
enum class PullPolicy { always, on_start, on_config_change, no, other };

// The parameter declarations of one alias, compiled when the alias loads.
class ParameterSchema {
 public:
  virtual ~ParameterSchema() = default;
  // The parameters completed with every declared parameter (null without a default).
  virtual Value apply_defaults(Value params) const = 0;
  // Messages in declaration order, empty when the parameters are acceptable.
  virtual Errors validate(const Value& params) const = 0;
};

// Templates as written; a missing one is the empty text.
struct InputFile {
  std::string location, content;
};

struct VolumeDefinition {
  std::optional<std::string> source;  // absent: a file generated under "auto"
  std::string location;
  std::string content;  // template; empty when missing or false-like
  std::string mode;     // as written; empty when missing
  bool preserve = false;
  std::string preserve_mode;  // normalised
  Value preserve_prefix;
};

struct AliasDefinition {
  Value raw;  // the definition map as loaded
  AliasType type = AliasType::other;
  Value type_value;  // the `type` as written; null when missing
  std::string command, image, user;
  Value timeout;  // as written; null when missing
  std::vector<std::pair<std::string, std::string>> environment;  // name -> value template
  std::vector<InputFile> files;
  std::vector<VolumeDefinition> volumes;
  // Every output source as written, single_value first; empty when missing.
  std::vector<std::string> output_sources;
  Value stream_entries = Value::array();  // preserveStreams as stream entries
  // Absent: the setting's default applies.
  std::optional<PullPolicy> refresh_image, prefetch_image;
  std::shared_ptr<const ParameterSchema> parameters;

  bool empty() const { return raw.empty(); }
};

using AliasPtr = std::shared_ptr<const AliasDefinition>;

}  // namespace portico
