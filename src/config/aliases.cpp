// The alias directory: one YAML map of alias name -> definition per file.

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "common/fd.h"
#include "common/text.h"
#include "config/definition_check.h"
#include "config/internal.h"

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

// The line of what `at` names in a definition, or of the nearest part of it that exists.
int line_of(const YAML::Node& definition, const Path& at) {
  // Node's operator= assigns into the node it refers to; reset() only re-points.
  YAML::Node node;
  node.reset(definition);
  for (const Step& step : at) {
    const YAML::Node& here = node;  // const lookups never add keys
    const auto* key = std::get_if<std::string>(&step);
    if (key ? !here.IsMap() : !here.IsSequence() || std::get<size_t>(step) >= here.size()) break;
    const YAML::Node next = key ? here[*key] : here[std::get<size_t>(step)];
    if (!next.IsDefined() || next.Mark().line < 0) break;
    node.reset(next);
  }
  return node.Mark().line + 1;
}

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
      alias(path, kv.first, kv.second);
    }
  }

 private:
  void error(std::string msg) { result.errors.push_back(std::move(msg)); }

  void alias(const std::string& path, const YAML::Node& key, const YAML::Node& node) {
    const std::string& name = key.Scalar();
    const std::string at_name = path + ":" + std::to_string(key.Mark().line + 1) + ": ";
    if (!valid_alias_name(name))
      return error(at_name + "alias name " + quoted(name) +
                   " is not valid: it must start with a letter or digit and hold at most 128 letters, digits, "
                   "'_', '.' and '-'");
    if (auto [it, fresh] = defined_in_.emplace(name, path); !fresh) {
      if (it->second == path) return error(at_name + "alias " + quoted(name) + " is defined twice in this file");
      return error(at_name + "alias " + quoted(name) + " is already defined in " + it->second);
    }
    Value def;
    try {
      def = yaml_to_value(node);
    } catch (const std::exception& e) {
      return error(at_name + "alias " + quoted(name) + ": " + e.what());
    }
    if (!def.is_object()) return error(at_name + "alias " + quoted(name) + ": the definition must be a map");
    const size_t before = result.errors.size();
    std::vector<std::string> warnings;
    for (const auto& f : check_definition(def)) {
      const std::string msg = path + ":" + std::to_string(line_of(node, f.at)) + ": alias " + quoted(name) + ": " + f.text;
      if (f.warning) warnings.push_back(msg);
      else error(msg);
    }
    if (result.errors.size() != before) return;

    const Value type = def.value("type", Value());
    const std::string at_type = path + ":" + std::to_string(line_of(node, {"type"})) + ": alias " + quoted(name);
    if (type.is_null())
      result.warnings.push_back(at_type + " has no type; it cannot be run");
    else if (type != "process" && type != "container")
      result.warnings.push_back(at_type + " has unknown type " + quoted(type) + "; it cannot be run");
    for (auto& w : warnings) result.warnings.push_back(std::move(w));
    result.definitions.emplace_back(name, build_alias(def));
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
