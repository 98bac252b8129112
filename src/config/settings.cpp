// The configuration file: `Key value` lines, converted and checked per key.

#include <charconv>
#include <cmath>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "config/fields.h"
#include "config/internal.h"
#include "imagery/imagery.h"

namespace portico::config_internal {
namespace {

// Converts the text of one setting; returns the problem, or nothing on success.
using Convert = std::optional<std::string> (*)(const std::string& text, Value& out);
// For a value that is accepted but does something the operator may not expect:
// what it does, to be logged as a warning.
using Notice = std::optional<std::string> (*)(const std::string& text, const Value& value);

struct KeySpec {
  const char* name;
  Field field;
  Convert convert;
  Notice notice = nullptr;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Plain decimal digits only: no sign, no spaces, no other base.
std::optional<long long> whole_number(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  return std::stoll(text);
}

std::optional<std::string> convert_whole_in_range(const std::string& text, Value& out, long long lo,
                                                  long long hi, const std::string& problem) {
  const auto n = whole_number(text);
  if (!n || *n < lo || *n > hi) return quoted(text) + problem;
  out = *n;
  return std::nullopt;
}

std::optional<std::string> convert_path(const std::string& text, Value& out) {
  if (text.empty()) return "must not be empty";
  out = text;
  return std::nullopt;
}

// The run and log directories: their users fall back to the default for an empty value.
std::optional<std::string> convert_shared_dir(const std::string& text, Value& out) {
  out = text.empty() ? Settings().shared_dir : text;
  return std::nullopt;
}

std::optional<std::string> convert_log_dir(const std::string& text, Value& out) {
  out = text.empty() ? Settings().log_dir : text;
  return std::nullopt;
}

std::optional<std::string> notice_empty_dir(const std::string& text, const Value& value) {
  if (!text.empty()) return std::nullopt;
  return "is empty, so the default " + quoted(value) + " is used";
}

std::optional<std::string> convert_text(const std::string& text, Value& out) {
  out = text;
  return std::nullopt;
}

std::optional<std::string> convert_optional_text(const std::string& text, Value& out) {
  out = text.empty() ? Value() : Value(text);
  return std::nullopt;
}

std::optional<std::string> convert_port(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 1, 65535, " is not a port number (1-65535)");
}

std::optional<std::string> convert_boolean(const std::string& text, Value& out) {
  const std::string l = ascii_lower(text);
  if (l == "true" || l == "yes" || l == "on" || l == "1") out = true;
  else if (l == "false" || l == "no" || l == "off" || l == "0") out = false;
  else return quoted(text) + " is not a boolean (true/false, yes/no, on/off, 1/0)";
  return std::nullopt;
}

const char* const kLevelsText = "debug, info, warning, error, critical";

std::optional<std::string> log_level(const std::string& word) {
  const std::string l = ascii_lower(word);
  if (l == "warn") return "warning";
  if (l == "debug" || l == "info" || l == "warning" || l == "error" || l == "critical") return l;
  return std::nullopt;
}

std::optional<std::string> convert_log_level(const std::string& text, Value& out) {
  const auto level = log_level(text);
  if (!level) return quoted(text) + " is not a log level (" + kLevelsText + ")";
  out = *level;
  return std::nullopt;
}

// "path [level] [format]", kept as written: the logging set-up parses it again.
std::optional<std::string> convert_app_log(const std::string& text, Value& out) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_blank(text[i])) ++i;
    size_t j = i;
    while (j < text.size() && !is_blank(text[j])) ++j;
    if (j > i) words.push_back(text.substr(i, j - i));
    i = j;
  }
  if (words.empty()) return "must not be empty";
  if (words.size() > 3) return quoted(text) + " is not \"path [level] [format]\"";
  bool have_level = false, have_format = false;
  for (size_t w = 1; w < words.size(); ++w) {
    const std::string l = ascii_lower(words[w]);
    if (l == "text" || l == "json") {
      if (have_format) return quoted(text) + " names more than one format";
      have_format = true;
    } else if (log_level(l)) {
      if (have_level) return quoted(text) + " names more than one level";
      have_level = true;
    } else {
      return portico::quoted(words[w]) + " is neither a log level (" + kLevelsText + ") nor a format (text, json)";
    }
  }
  out = text;
  return std::nullopt;
}

// Decimal only (no sign, exponent allowed): hex floats, inf and nan are refused.
// Whole numbers stay integers so that they are shown as written.
std::optional<Value> non_negative_seconds(const std::string& text) {
  if (const auto n = whole_number(text)) return Value(*n);
  size_t i = 0, digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t exp_start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == exp_start) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  double d = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), d);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size() || !std::isfinite(d)) return std::nullopt;
  return Value(d);
}

// Polling intervals may be fractional; a false value turns polling off like 0.
std::optional<std::string> convert_interval(const std::string& text, Value& out) {
  const std::string l = ascii_lower(text);
  if (l == "false" || l == "no" || l == "off") {
    out = 0;
    return std::nullopt;
  }
  const auto n = non_negative_seconds(text);
  if (!n) return quoted(text) + " is not a non-negative number of seconds (0 or off turns it off)";
  out = *n;
  return std::nullopt;
}

// auto detects; 1 and true in any letter case mean a container; every other
// text means the host, as the container check reads it.
std::optional<std::string> convert_container(const std::string& text, Value& out) {
  const std::string l = ascii_lower(text);
  if (l == "auto") out = nullptr;
  else out = l == "1" || l == "true";
  return std::nullopt;
}

std::optional<std::string> notice_container(const std::string& text, const Value&) {
  const std::string l = ascii_lower(text);
  if (l == "auto" || l == "1" || l == "true" || l == "0" || l == "false") return std::nullopt;
  return quoted(text) + " means not in a container: only 1 and true (in any letter case) mean a container, auto detects";
}

std::optional<std::string> convert_max_timeout(const std::string& text, Value& out) {
  const auto n = non_negative_seconds(text);
  if (!n) return quoted(text) + " is not a non-negative number of seconds";
  out = *n;
  return std::nullopt;
}

// Any word is kept (lower-cased): one outside the policy's values matches no
// policy and so acts as "no". The file's false forms are "no" itself.
std::optional<std::string> convert_policy(const std::string& text, Value& out) {
  const std::string l = ascii_lower(text);
  out = l.empty() || l == "false" || l == "off" || l == "none" || l == "0" ? "no" : l;
  return std::nullopt;
}

std::optional<std::string> notice_refresh_image(const std::string& text, const Value& value) {
  if (imagery::REFRESH_IMAGE_VALUES.count(value.get<std::string>())) return std::nullopt;
  return quoted(text) + " is not one of always, on-start, no: aliases without their own refreshImage refresh nothing";
}

std::optional<std::string> notice_prefetch_image(const std::string& text, const Value& value) {
  if (imagery::PREFETCH_IMAGE_VALUES.count(value.get<std::string>())) return std::nullopt;
  return quoted(text) +
         " is not one of on-start, on-config-change, no: aliases without their own prefetchImage prefetch nothing";
}

std::optional<std::string> convert_max_runs(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 1, 4096, " is not a whole number from 1 to 4096");
}

std::optional<std::string> convert_max_request(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 1024, 1073741824, " is not a whole number from 1024 to 1073741824");
}

// Up to 1 TiB: an operator may raise it far, but never switch the bound off.
std::optional<std::string> convert_max_output(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 1024, 1099511627776LL, " is not a whole number from 1024 to 1099511627776");
}

// Limits of the HTTP server: sizes, counts and durations in seconds (fractions allowed).
std::optional<std::string> convert_queued_runs(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 0, 100000, " is not a whole number from 0 to 100000");
}

std::optional<std::string> convert_header_bytes(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 1024, 1048576, " is not a whole number from 1024 to 1048576");
}

std::optional<std::string> convert_connections(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 1, 1000000, " is not a whole number from 1 to 1000000");
}

std::optional<std::string> convert_auth_failures(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 0, 10000, " is not a whole number from 0 to 10000 (0 turns it off)");
}

std::optional<std::string> convert_retention_days(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 0, 36500, " is not a whole number of days from 0 to 36500 (0 keeps every job)");
}

std::optional<std::string> convert_job_output(const std::string& text, Value& out) {
  return convert_whole_in_range(text, out, 1024, 1073741824, " is not a whole number from 1024 to 1073741824");
}

std::optional<std::string> convert_seconds(const std::string& text, Value& out, bool zero_allowed, long long hi) {
  Value v;
  const bool number = !convert_max_timeout(text, v);
  const double d = number ? v.get<double>() : -1;
  if (!number || d > static_cast<double>(hi) || (d == 0 && !zero_allowed) || (d > 0 && d < 0.001))
    return quoted(text) + " is not a number of seconds from " + (zero_allowed ? "0" : "0.001") + " to " +
           std::to_string(hi);
  out = std::move(v);
  return std::nullopt;
}

std::optional<std::string> convert_header_timeout(const std::string& text, Value& out) {
  return convert_seconds(text, out, false, 3600);
}

std::optional<std::string> convert_request_timeout(const std::string& text, Value& out) {
  return convert_seconds(text, out, false, 86400);
}

std::optional<std::string> convert_keepalive_timeout(const std::string& text, Value& out) {
  return convert_seconds(text, out, true, 3600);
}

const std::vector<KeySpec>& key_specs() {
  static const std::vector<KeySpec> specs = {
      {"PidFile", field<&Settings::pid_file>(), convert_path},
      {"AuthDir", field<&Settings::auth_dir>(), convert_path},
      {"AliasDir", field<&Settings::alias_dir>(), convert_path},
      {"SharedDir", field<&Settings::shared_dir>(), convert_shared_dir, notice_empty_dir},
      {"ExternalDir", field<&Settings::external_dir>(), convert_text},
      {"ListenAddress", field<&Settings::listen_address>(), convert_path},
      {"ListenPort", field<&Settings::listen_port>(), convert_port},
      {"SslEnabled", field<&Settings::ssl_enabled>(), convert_boolean},
      {"SslCert", field<&Settings::ssl_cert>(), convert_path},
      {"SslKey", field<&Settings::ssl_key>(), convert_path},
      {"LogLevel", field<&Settings::log_level>(), convert_log_level},
      {"LogDir", field<&Settings::log_dir>(), convert_log_dir, notice_empty_dir},
      {"AuditLog", field<&Settings::audit_log>(), convert_path},
      {"AppLog", field<&Settings::app_log>(), convert_app_log},
      {"LogsApiKey", field<&Settings::logs_api_key>(), convert_optional_text},
      {"HealthApiKey", field<&Settings::health_api_key>(), convert_optional_text},
      {"AuthReload", field<&Settings::auth_reload>(), convert_interval},
      {"AliasReload", field<&Settings::alias_reload>(), convert_interval},
      {"Container", field<&Settings::container>(), convert_container, notice_container},
      {"MaxTimeout", field<&Settings::max_timeout>(), convert_max_timeout},
      {"RefreshImage", field<&Settings::refresh_image>(), convert_policy, notice_refresh_image},
      {"PrefetchImage", field<&Settings::prefetch_image>(), convert_policy, notice_prefetch_image},
      {"MaxConcurrentRuns", field<&Settings::max_concurrent_runs>(), convert_max_runs},
      {"MaxRequestBytes", field<&Settings::max_request_bytes>(), convert_max_request},
      {"MaxOutputBytes", field<&Settings::max_output_bytes>(), convert_max_output},
      {"MaxQueuedRuns", field<&Settings::max_queued_runs>(), convert_queued_runs},
      {"MaxHeaderBytes", field<&Settings::max_header_bytes>(), convert_header_bytes},
      {"MaxConnections", field<&Settings::max_connections>(), convert_connections},
      {"RequestHeaderTimeout", field<&Settings::request_header_timeout>(), convert_header_timeout},
      {"RequestTimeout", field<&Settings::request_timeout>(), convert_request_timeout},
      {"KeepAliveTimeout", field<&Settings::keepalive_timeout>(), convert_keepalive_timeout},
      {"AuthFailureLimit", field<&Settings::auth_failure_limit>(), convert_auth_failures},
      {"JobDatabase", field<&Settings::job_database>(), convert_path},
      {"JobRetentionDays", field<&Settings::job_retention_days>(), convert_retention_days},
      {"JobOutputBytes", field<&Settings::job_output_bytes>(), convert_job_output},
  };
  return specs;
}

const KeySpec* find_spec(std::string_view key) {
  static const std::map<std::string, const KeySpec*> by_lower_name = [] {
    std::map<std::string, const KeySpec*> m;
    for (const auto& s : key_specs()) m.emplace(ascii_lower(s.name), &s);
    return m;
  }();
  auto it = by_lower_name.find(ascii_lower(key));
  return it == by_lower_name.end() ? nullptr : it->second;
}

struct FileLine {
  size_t number;
  std::string key;
  std::string value;
  std::optional<std::string> problem;  // the line itself is malformed
};

std::vector<FileLine> split_lines(const std::string& text) {
  std::vector<FileLine> out;
  size_t number = 0, pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    ++number;
    const std::string_view line = trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == '#') continue;
    size_t k = 0;
    while (k < line.size() && !is_blank(line[k])) ++k;
    FileLine fl{number, std::string(line.substr(0, k)), std::string(trim(line.substr(k))), std::nullopt};
    if (!fl.value.empty() && fl.value.front() == '"') {
      if (fl.value.size() < 2 || fl.value.back() != '"')
        fl.problem = "the value starts with a double quote but does not end with one";
      else
        fl.value = fl.value.substr(1, fl.value.size() - 2);
    }
    out.push_back(std::move(fl));
  }
  return out;
}

}  // namespace

Value setting_values(const Settings& settings) {
  Value out = Value::object();
  for (const auto& s : key_specs()) out[s.name] = s.field.read(settings);
  return out;
}

Value setting_value(const Settings& settings, std::string_view key) {
  const KeySpec* s = find_spec(key);
  return s ? s->field.read(settings) : Value();
}

bool assign_setting(Settings& settings, std::string_view key, const Value& value) {
  const KeySpec* s = find_spec(key);
  if (s) s->field.write(settings, value);
  return s != nullptr;
}

std::pair<Settings, Errors> parse_settings(const std::string& path, const std::optional<std::string>& text,
                                           const std::optional<Overrides>& overrides,
                                           std::vector<std::string>* warnings) {
  Settings settings;
  Errors errors;
  if (text) {
    std::map<std::string, size_t> first_line;
    for (const FileLine& fl : split_lines(*text)) {
      const std::string where = path + ":" + std::to_string(fl.number) + ": ";
      const KeySpec* key_def = find_spec(fl.key);
      if (!key_def) {
        errors.push_back(where + "unknown key " + quoted(fl.key));
        continue;
      }
      const std::string prefix = where + key_def->name + ": ";
      if (auto [it, fresh] = first_line.emplace(key_def->name, fl.number); !fresh) {
        errors.push_back(prefix + "already given on line " + std::to_string(it->second));
        continue;
      }
      if (fl.problem) {
        errors.push_back(prefix + *fl.problem);
        continue;
      }
      Value v;
      if (auto problem = key_def->convert(fl.value, v)) {
        errors.push_back(prefix + *problem);
        continue;
      }
      if (const auto w = key_def->notice ? key_def->notice(fl.value, v) : std::nullopt; w && warnings)
        warnings->push_back(prefix + *w);
      key_def->field.write(settings, v);
    }
  }
  if (overrides) {
    for (const auto& [key, value] : *overrides) {
      const KeySpec* key_def = find_spec(key);
      if (!key_def) {
        errors.push_back("command line: unknown key " + quoted(key));
        continue;
      }
      const std::string prefix = std::string("command line: ") + key_def->name + ": ";
      Value v;
      if (auto problem = key_def->convert(value, v)) {
        errors.push_back(prefix + *problem);
        continue;
      }
      if (const auto w = key_def->notice ? key_def->notice(value, v) : std::nullopt; w && warnings)
        warnings->push_back(prefix + *w);
      key_def->field.write(settings, v);
    }
  }
  return {std::move(settings), std::move(errors)};
}

}  // namespace portico::config_internal
