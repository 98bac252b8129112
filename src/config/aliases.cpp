// The alias directory: one YAML map of alias name -> definition per file.

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "common/fd.h"
#include "common/text.h"
#include "config/internal.h"
#include "validator/validator.h"

namespace portico::config_internal {
namespace {

namespace fs = std::filesystem;

bool valid_alias_name(const std::string& name) {
  auto word_char = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  };
  if (name.empty() || name.size() > 128 || !word_char(name.front())) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return word_char(c) || c == '_' || c == '.' || c == '-'; });
}

std::string yaml_position(const YAML::Mark& m) {
  return "line " + std::to_string(m.line + 1) + ", column " + std::to_string(m.column + 1);
}

// Walks the parse events before any conversion: anchors and aliases could
// expand a small file into an enormous value, and duplicate keys would
// otherwise silently keep only one of the values.
class EventScan final : public YAML::EventHandler {
 public:
  Errors problems;
  int documents = 0;
  bool saw_alias = false;

  void OnDocumentStart(const YAML::Mark&) override {
    ++documents;
    stack_.clear();
  }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark& mark, YAML::anchor_t) override { node(mark, "\x01null"); }
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override {
    saw_alias = true;
    problems.push_back(yaml_position(mark) + ": YAML aliases (*name) are not supported");
    node(mark, std::nullopt);
  }
  void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t, const std::string& value) override {
    node(mark, value);
  }
  void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {
    node(mark, std::nullopt);
    stack_.push_back(Frame{false, true, {}});
  }
  void OnSequenceEnd() override { stack_.pop_back(); }
  void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
    node(mark, std::nullopt);
    stack_.push_back(Frame{true, true, {}});
  }
  void OnMapEnd() override { stack_.pop_back(); }

 private:
  struct Frame {
    bool is_map;
    bool expect_key;
    std::set<std::string> keys;
  };

  // `key_text` is the node's text when it is a scalar.
  void node(const YAML::Mark& mark, const std::optional<std::string>& key_text) {
    if (stack_.empty() || !stack_.back().is_map) return;
    Frame& f = stack_.back();
    // Top-level duplicates are duplicate alias names, reported with both places.
    if (f.expect_key && key_text && stack_.size() > 1 && !f.keys.insert(*key_text).second)
      problems.push_back(yaml_position(mark) + ": key " + quoted(*key_text) + " appears twice in the same map");
    f.expect_key = !f.expect_key;
  }

  std::vector<Frame> stack_;
};

class DefinitionCheck {
 public:
  explicit DefinitionCheck(const Value& def) : def_(def) {}

  Errors run() {
    text_key("type");
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
    policy("refreshImage", {"always", "on-start", "no"});
    policy("prefetchImage", {"on-start", "on-config-change", "no"});
    for (const auto& e : check_parameter_declarations(get(def_, "parameters"))) errors_.push_back(e);
    return std::move(errors_);
  }

 private:
  static const Value& get(const Value& map, const char* key) {
    static const Value none;
    auto it = map.find(key);
    return it == map.end() ? none : *it;
  }

  void fail(std::string msg) { errors_.push_back(std::move(msg)); }

  void text_key(const char* key) {
    const Value& v = get(def_, key);
    if (!v.is_null() && !v.is_string()) fail(std::string(key) + " must be text");
  }

  void timeout() {
    const Value& v = get(def_, "timeout");
    if (v.is_null() || v == false) return;
    if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0)
      fail("timeout must be a non-negative number");
  }

  void environment() {
    const Value& v = get(def_, "environment");
    if (v.is_null()) return;
    if (!v.is_object()) return fail("environment must be a map of variable names to values");
    for (auto it = v.begin(); it != v.end(); ++it) {
      const std::string& name = it.key();
      if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
        fail("environment variable name " + quoted(name) + " is not valid (non-empty, without '=')");
        continue;
      }
      const Value& val = it.value();
      if (!(val.is_string() || val.is_number() || val.is_boolean()))
        fail("environment variable " + quoted(name) + " must be text, a number or a boolean");
      else if (val.is_string() && val.get_ref<const std::string&>().find('\0') != std::string::npos)
        fail("environment variable " + quoted(name) + " must not contain a NUL character");
    }
  }

  // Calls `check` for each map of a sequence of maps, reporting in entry order.
  template <typename Check>
  void each_entry(const Value& v, const std::string& what, Check check) {
    if (!v.is_array()) return fail(what + " must be a sequence of maps");
    for (size_t i = 0; i < v.size(); ++i) {
      const std::string where = what + "[" + std::to_string(i) + "]";
      if (!v[i].is_object()) fail(where + " must be a map");
      else check(where, v[i]);
    }
  }

  void required_text(const Value& map, const std::string& where, const char* key) {
    if (!get(map, key).is_string()) fail(where + "." + key + " must be text");
  }
  void optional_text(const Value& map, const std::string& where, const char* key) {
    const Value& v = get(map, key);
    if (!v.is_null() && !v.is_string()) fail(where + "." + key + " must be text");
  }

  void files() {
    const Value& v = get(def_, "files");
    if (v.is_null()) return;
    each_entry(v, "files", [&](const std::string& where, const Value& entry) {
      required_text(entry, where, "location");
      optional_text(entry, where, "content");
    });
  }

  void volumes() {
    const Value& v = get(def_, "volumes");
    if (v.is_null()) return;
    each_entry(v, "volumes", [&](const std::string& where, const Value& entry) {
      optional_text(entry, where, "source");
      required_text(entry, where, "location");
      optional_text(entry, where, "content");
      optional_text(entry, where, "mode");
      const Value& preserve = get(entry, "preserve");
      if (preserve.is_array() || preserve.is_object()) fail(where + ".preserve must be a single value");
      optional_text(entry, where, "preservePrefix");
    });
  }

  void output() {
    const Value& v = get(def_, "output");
    if (v.is_null()) return;
    if (!v.is_object()) return fail("output must be a map");
    const Value& single = get(v, "single_value");
    if (!single.is_null()) {
      if (!single.is_object()) fail("output.single_value must be a map");
      else required_text(single, "output.single_value", "source");
    }
    const Value& multiple = get(v, "multiple_values");
    if (!multiple.is_null())
      each_entry(multiple, "output.multiple_values",
                 [&](const std::string& where, const Value& entry) { required_text(entry, where, "source"); });
  }

  void preserve_streams() {
    const Value& v = get(def_, "preserveStreams");
    if (v.is_null() || v.is_boolean()) return;
    if (!v.is_array()) return fail("preserveStreams must be true or a sequence of maps");
    each_entry(v, "preserveStreams", [&](const std::string& where, const Value& entry) {
      const Value& stream = get(entry, "stream");
      if (stream != "stdout" && stream != "stderr") fail(where + ".stream must be 'stdout' or 'stderr'");
      optional_text(entry, where, "filename");
      const Value& flatten = get(entry, "flatten");
      if (!flatten.is_null() && !flatten.is_boolean()) fail(where + ".flatten must be a boolean");
    });
  }

  void policy(const char* key, std::initializer_list<const char*> allowed) {
    const Value& v = get(def_, key);
    if (v.is_null() || v == false) return;
    std::string names;
    for (const char* a : allowed) names += names.empty() ? a : std::string(", ") + a;
    if (!v.is_string()) return fail(std::string(key) + " must be one of " + names);
    const std::string l = ascii_lower(v.get<std::string>());
    for (const char* a : allowed)
      if (l == a) return;
    fail(std::string(key) + " " + quoted(v) + " is not one of " + names);
  }

  const Value& def_;
  Errors errors_;
};

// The alias files of the directory in byte-wise name order.
std::vector<std::string> alias_files(const std::string& dir, Errors& errors) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.front() == '.') continue;
    const bool yaml = (name.size() > 5 && name.ends_with(".yaml")) || (name.size() > 4 && name.ends_with(".yml"));
    if (!yaml) continue;
    std::error_code sec;
    const fs::file_status st = it->status(sec);
    // A dangling link is kept so that reading it reports the problem.
    const bool dangling = sec && it->is_symlink(sec);
    if (fs::is_regular_file(st) || dangling) names.push_back(name);
  }
  if (ec) {
    errors.push_back("Alias directory " + dir + ": " + ec.message());
    return {};
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  for (const auto& n : names) paths.push_back(path_join({dir, n}));
  return paths;
}

class DirectoryLoad {
 public:
  AliasLoad result;

  void file(const std::string& path) {
    std::string text;
    try {
      text = read_file(path);
    } catch (const std::system_error& e) {
      return error(path + ": " + e.code().message());
    }

    EventScan scan;
    try {
      std::istringstream in(text);
      YAML::Parser parser(in);
      while (parser.HandleNextDocument(scan)) {
      }
    } catch (const YAML::Exception& e) {
      return error(path + ": invalid YAML at " + yaml_position(e.mark) + ": " + e.msg);
    }
    for (const auto& p : scan.problems) error(path + ": " + p);
    if (!scan.problems.empty()) return;  // conversion would only repeat them
    if (scan.documents > 1) return error(path + ": holds " + std::to_string(scan.documents) + " YAML documents; only one is allowed");

    YAML::Node root;
    try {
      root = YAML::Load(text);
    } catch (const YAML::Exception& e) {
      return error(path + ": invalid YAML at " + yaml_position(e.mark) + ": " + e.msg);
    }
    if (root.IsNull() || !root.IsDefined()) return;
    if (!root.IsMap()) return error(path + ": the top level must be a map of alias names to definitions");

    for (const auto& kv : root) {
      if (!kv.first.IsScalar()) {
        error(path + ": alias names must be text (" + yaml_position(kv.first.Mark()) + ")");
        continue;
      }
      alias(path, kv.first.Scalar(), kv.second);
    }
  }

 private:
  void error(std::string msg) { result.errors.push_back(std::move(msg)); }

  void alias(const std::string& path, const std::string& name, const YAML::Node& node) {
    if (!valid_alias_name(name))
      return error(path + ": alias name " + quoted(name) +
                   " is not valid: it must start with a letter or digit and hold at most 128 letters, digits, "
                   "'_', '.' and '-'");
    const std::string prefix = path + ": alias " + quoted(name) + ": ";
    if (auto [it, fresh] = defined_in_.emplace(name, path); !fresh) {
      if (it->second == path) return error(path + ": alias " + quoted(name) + " is defined twice in this file");
      return error(path + ": alias " + quoted(name) + " is already defined in " + it->second);
    }
    Value def;
    try {
      def = yaml_to_value(node);
    } catch (const std::exception& e) {
      return error(prefix + e.what());
    }
    if (!def.is_object()) return error(prefix + "the definition must be a map");
    const size_t before = result.errors.size();
    for (const auto& e : DefinitionCheck(def).run()) error(prefix + e);
    if (result.errors.size() != before) return;

    const Value type = def.value("type", Value());
    if (type.is_null())
      result.warnings.push_back(path + ": alias " + quoted(name) + " has no type; it cannot be run");
    else if (type != "process" && type != "container")
      result.warnings.push_back(path + ": alias " + quoted(name) + " has unknown type " + quoted(type) +
                                "; it cannot be run");
    result.aliases[name] = std::move(def);
  }

  std::map<std::string, std::string> defined_in_;  // alias name -> first file
};

}  // namespace

AliasLoad load_alias_directory(const std::string& dir) {
  DirectoryLoad load;
  for (const auto& path : alias_files(dir, load.result.errors)) {
    load.file(path);
    load.result.files.push_back(path);
  }
  return std::move(load.result);
}

}  // namespace portico::config_internal
