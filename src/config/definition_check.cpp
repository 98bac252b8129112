// The checks of one alias definition.

#include "config/definition_check.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <system_error>
#include <variant>

#include "common/text.h"
#include "imagery/imagery.h"
#include "preserve/preserve.h"
#include "validator/validator.h"

namespace portico::config_internal {

Path operator+(Path path, Step step) {
  path.push_back(std::move(step));
  return path;
}

std::string path_text(const Path& path) {
  std::string out;
  for (const Step& step : path) {
    if (const auto* key = std::get_if<std::string>(&step)) out += (out.empty() ? "" : ".") + *key;
    else out += "[" + std::to_string(std::get<size_t>(step)) + "]";
  }
  return out;
}

namespace {

// Refuses what no part of the gateway can use, and warns where a value is
// accepted but ignored, replaced by a default or read in a way its author may
// not expect.
class DefinitionCheck {
 public:
  explicit DefinitionCheck(const Value& def) : def_(def) {
    const Value& type = get(def_, "type");
    if (type.is_string()) type_ = type.get<std::string>();
  }

  std::vector<Finding> run() {
    text_key("command");
    text_key("image");
    text_key("user");
    text_key("description");
    timeout();
    environment();
    files();
    volumes();
    output();
    preserve_streams();
    policy("refreshImage", imagery::REFRESH_IMAGE_VALUES, "always, on-start, no", "refresh");
    policy("prefetchImage", imagery::PREFETCH_IMAGE_VALUES, "on-start, on-config-change, no", "prefetch");
    for (const auto& e : check_parameter_declarations(get(def_, "parameters"))) fail({"parameters"}, e);
    user();
    keys_of_the_other_type();
    unknown_keys(def_, {}, {"type", "command", "image", "timeout", "user", "environment", "files", "volumes", "output",
                            "preserveStreams", "refreshImage", "prefetchImage", "description", "parameters"});
    return std::move(findings_);
  }

 private:
  static const Value& get(const Value& map, const char* key) {
    static const Value none;
    if (!map.is_object()) return none;
    auto it = map.find(key);
    return it == map.end() ? none : *it;
  }

  void fail(Path at, std::string msg) { findings_.push_back({std::move(at), std::move(msg), false}); }
  void warn(Path at, std::string msg) { findings_.push_back({std::move(at), std::move(msg), true}); }

  void text_key(const char* key) {
    const Value& v = get(def_, key);
    if (!v.is_null() && !v.is_string()) fail({key}, std::string(key) + " must be text");
  }

  void timeout() {
    const Value& v = get(def_, "timeout");
    if (v.is_null()) return;
    if (v == false || (v.is_number() && v.get<double>() == 0))
      return warn({"timeout"}, "timeout " + text_form(v) + " means the default of 60 seconds");
    if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0)
      fail({"timeout"}, "timeout must be a non-negative number");
  }

  void user() {
    const Value& v = get(def_, "user");
    if (!v.is_string()) return;
    if (type_ == "container")
      warn({"user"}, "user is not used by a container alias: the container runs as its image says");
    else if (type_ == "process" && v.get<std::string>().empty())
      warn({"user"}, "user is empty, so the command runs as the service's own user");
  }

  void keys_of_the_other_type() {
    auto unused = [&](const char* key, const std::string& why) {
      if (!get(def_, key).is_null()) warn({key}, std::string(key) + " is not used by a " + type_ + " alias" + why);
    };
    if (type_ == "container") unused("files", "; give a container its input files as volumes");
    if (type_ == "process")
      for (const char* key : {"image", "volumes", "refreshImage", "prefetchImage"}) unused(key, "");
  }

  void unknown_keys(const Value& map, const Path& at, std::initializer_list<const char*> known) {
    for (auto it = map.begin(); it != map.end(); ++it) {
      const std::string& key = it.key();
      if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; }))
        warn(at + key, "key " + quoted(key) + (at.empty() ? "" : " in " + path_text(at)) + " is not used; it is ignored");
    }
  }

  void environment() {
    const Value& v = get(def_, "environment");
    if (!truthy(v)) return;
    if (!v.is_object()) return fail({"environment"}, "environment must be a map of variable names to values");
    for (auto it = v.begin(); it != v.end(); ++it) {
      const std::string& name = it.key();
      const Path at{"environment", name};
      if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
        fail(at, "environment variable name " + quoted(name) + " is not valid (non-empty, without '=')");
        continue;
      }
      const Value& val = it.value();
      if (!(val.is_string() || val.is_number() || val.is_boolean()))
        fail(at, "environment variable " + quoted(name) + " must be text, a number or a boolean");
      else if (val.is_string() && val.get_ref<const std::string&>().find('\0') != std::string::npos)
        fail(at, "environment variable " + quoted(name) + " must not contain a NUL character");
    }
  }

  // Calls `check` for each map of a sequence of maps, reporting in entry order.
  template <typename Check>
  void each_entry(const Value& v, const Path& at, Check check) {
    if (!v.is_array()) return fail(at, path_text(at) + " must be a sequence of maps");
    for (size_t i = 0; i < v.size(); ++i) {
      const Path entry = at + i;
      if (!v[i].is_object()) fail(entry, path_text(entry) + " must be a map");
      else check(entry, v[i]);
    }
  }

  void optional_text(const Value& map, const Path& at, const char* key) {
    const Value& v = get(map, key);
    if (!v.is_null() && !v.is_string()) fail(at + key, path_text(at + key) + " must be text");
  }
  // A missing location is the empty text, but a missing source is an auto
  // volume: only the caller knows which a missing value is.
  void empty_path(const Value& map, const Path& at, const char* key, bool missing_is_empty) {
    const Value& v = get(map, key);
    if (v == "" || (missing_is_empty && v.is_null()))
      warn(at + key, path_text(at + key) + " is empty: it names the run directory itself, so every run fails");
  }

  void files() {
    const Value& v = get(def_, "files");
    if (!truthy(v)) return;
    each_entry(v, {"files"}, [&](const Path& at, const Value& entry) {
      optional_text(entry, at, "location");
      optional_text(entry, at, "content");
      empty_path(entry, at, "location", true);
      unknown_keys(entry, at, {"location", "content"});
    });
  }

  void volumes() {
    const Value& v = get(def_, "volumes");
    if (!truthy(v)) return;
    each_entry(v, {"volumes"}, [&](const Path& at, const Value& entry) {
      optional_text(entry, at, "source");
      optional_text(entry, at, "location");
      if (get(entry, "location").is_null() || get(entry, "location") == "")
        warn(at + "location", path_text(at + "location") + " is empty: the Engine cannot mount a volume there, so every run fails");
      optional_text(entry, at, "content");
      optional_text(entry, at, "mode");
      const Value& preserve = get(entry, "preserve");
      if (preserve.is_array() || preserve.is_object()) fail(at + "preserve", path_text(at) + ".preserve must be a single value");
      optional_text(entry, at, "preservePrefix");
      volume_notices(entry, at);
      unknown_keys(entry, at, {"source", "location", "content", "mode", "preserve", "preservePrefix"});
    });
  }

  // What a volume's form makes of its other keys.
  void volume_notices(const Value& entry, const Path& at) {
    const Value& source = get(entry, "source");
    const Value& mode = get(entry, "mode");
    const Value& preserve = get(entry, "preserve");
    const std::string where = path_text(at);
    const bool is_auto = source.is_null();
    const bool is_host = source.is_string() && source.get<std::string>().starts_with("/");
    const bool is_dir = source.is_string() && source.get<std::string>().ends_with("/");
    empty_path(entry, at, "source", false);
    if (mode.is_string() && !mode.get<std::string>().empty()) {
      const std::string& m = mode.get_ref<const std::string&>();
      if (is_auto && m != "rw") warn(at + "mode", where + ".mode " + quoted(m) + " is not used: a volume without source is always mounted rw");
      if (is_host && m != "ro") warn(at + "mode", where + ".mode " + quoted(m) + " is not used: a host path is always mounted ro");
    }
    if (!get(entry, "content").is_null() && (is_host || is_dir))
      warn(at + "content", where + ".content is not used by a " + (is_host ? "host path" : "directory") + " volume");
    if (is_host) {
      if (preserve_enabled(preserve) || !get(entry, "preservePrefix").is_null())
        warn(at + "preserve", where + ".preserve is not used: a host path is never preserved");
    } else if (!preserve.is_null() && !preserve.is_array() && !preserve.is_object() &&
               !preserve::PRESERVE_VALUES.count(preserve::normalize_preserve(preserve))) {
      warn(at + "preserve", where + ".preserve " + quoted(preserve) +
                                " is not one of none, false, flatten, yes, true: the volume is preserved");
    }
  }

  static bool preserve_enabled(const Value& v) {
    return !v.is_array() && !v.is_object() && preserve::is_preserve_enabled(v);
  }

  void output() {
    const Value& v = get(def_, "output");
    if (!truthy(v)) return;
    if (!v.is_object()) return fail({"output"}, "output must be a map");
    const Value& single = get(v, "single_value");
    if (!single.is_null()) {
      if (!single.is_object()) fail({"output", "single_value"}, "output.single_value must be a map");
      else output_source(single, {"output", "single_value"});
    }
    const Value& multiple = get(v, "multiple_values");
    if (!multiple.is_null())
      each_entry(multiple, {"output", "multiple_values"},
                 [&](const Path& at, const Value& entry) { output_source(entry, at); });
    unknown_keys(v, {"output"}, {"single_value", "multiple_values"});
  }

  void output_source(const Value& entry, const Path& at) {
    const Value& source = get(entry, "source");
    const std::string where = path_text(at + "source");
    if (!source.is_null() && !source.is_string()) {
      fail(at + "source", where + " must be text");
    } else if (source.is_null() || source == "") {
      warn(at + "source", where + " is empty: it gives no output");
    } else if (const std::string& s = source.get_ref<const std::string&>();
               s.starts_with("%") && s != "%stdOut" && s != "%stdErr" && s != "%exitCode") {
      warn(at + "source", where + " " + quoted(s) +
                              " is not %stdOut, %stdErr or %exitCode (the letter case counts): it is read as a file");
    }
    unknown_keys(entry, at, {"source"});
  }

  void preserve_streams() {
    const Value& v = get(def_, "preserveStreams");
    if (!truthy(v) || v.is_boolean()) return;
    if (!v.is_array()) return fail({"preserveStreams"}, "preserveStreams must be true or a sequence of maps");
    each_entry(v, {"preserveStreams"}, [&](const Path& at, const Value& entry) {
      const Value& stream = get(entry, "stream");
      const std::string where = path_text(at);
      if (!entry.contains("stream"))
        fail(at + "stream", where + ".stream must be 'stdout' or 'stderr'");
      else if (!stream.is_string())
        warn(at + "stream", where + ".stream " + quoted(stream) + " is not stdout or stderr: the entry preserves nothing");
      else if (!preserve::STREAM_NAMES.count(stream.get<std::string>()))
        warn(at + "stream", where + ".stream " + quoted(stream) + " is not stdout or stderr: the entry preserves nothing");
      optional_text(entry, at, "filename");
      if (get(entry, "filename") == "" && stream.is_string())
        warn(at + "filename", where + ".filename is empty, so the default " + quoted(stream.get<std::string>() + ".log") + " is used");
      const Value& flatten = get(entry, "flatten");
      if (!flatten.is_null() && !flatten.is_boolean())
        warn(at + "flatten", where + ".flatten " + quoted(flatten) + " is not a boolean: it counts as " +
                                 (truthy(flatten) ? "true" : "false"));
      unknown_keys(entry, at, {"stream", "filename", "flatten"});
    });
  }

  void policy(const char* key, const std::set<std::string>& values, const char* names, const char* what) {
    const Value& v = get(def_, key);
    if (v.is_null()) return;
    const std::string effective = std::string(key) == "refreshImage" ? imagery::effective_refresh_image(def_, Value())
                                                                     : imagery::effective_prefetch_image(def_, Value());
    if (!values.count(effective))
      warn({key}, std::string(key) + " " + quoted(v) + " is not one of " + names + ": the image is not " + what + "ed");
  }

  const Value& def_;
  std::string type_;
  std::vector<Finding> findings_;
};

}  // namespace

std::vector<Finding> check_definition(const Value& def) { return DefinitionCheck(def).run(); }

}  // namespace portico::config_internal
