// Captured standard output and standard error kept in LogDir.
#include <filesystem>
#include <system_error>

#include "common/fd.h"
#include "common/text.h"
#include "logging/logging.h"
#include "preserve/preserve.h"

namespace portico::preserve {

Value expand_preserve_streams(const Value& raw) {
  if (!truthy(raw)) return Value::array();
  if (raw.is_boolean()) {
    Value out = Value::array();
    for (const auto& name : STREAM_NAMES) out.push_back(Value{{"stream", name}});  // sorted: stderr, stdout
    return out;
  }
  return raw.is_array() ? raw : Value::array();
}

std::string _stream_filename(const Value& entry) {
  const Value f = entry.value("filename", Value());
  if (f.is_string() && !f.get<std::string>().empty()) return f.get<std::string>();
  return text_form(entry.at("stream")) + ".log";
}

std::string _stream_dest_path(const std::string& filename, bool flatten, const std::string& log_dir,
                              const std::string& correlation_id) {
  if (flatten) return path_join({log_dir, correlation_id + "_" + filename});
  return path_join({log_dir, correlation_id, filename});
}

void preserve_streams(const Value& entries, const std::optional<std::string>& out,
                      const std::optional<std::string>& err, const Value& log_dir_v,
                      const std::optional<std::string>& correlation_id) {
  if (!entries.is_array() || entries.empty()) return;
  const std::string log_dir = truthy(log_dir_v) ? text_form(log_dir_v) : DEFAULT_LOG_DIR;
  const std::string cid = correlation_id && !correlation_id->empty() ? *correlation_id : DEFAULT_CORRELATION_ID;
  for (const auto& entry : entries) {
    if (!entry.is_object() || !entry.contains("stream")) throw std::runtime_error("stream entry without 'stream'");
    const Value stream = entry["stream"];
    const std::optional<std::string>* content = nullptr;
    if (stream == "stdout") content = &out;
    else if (stream == "stderr") content = &err;
    if (!content || !*content || (*content)->empty()) continue;
    const std::string dest =
        _stream_dest_path(_stream_filename(entry), truthy(entry.value("flatten", Value())), log_dir, cid);
    try {
      std::filesystem::create_directories(std::filesystem::path(dest).parent_path());
      write_file(dest, **content, 0640);
    } catch (const std::exception& e) {
      app_log()->error("Stream preserve failed: failed to preserve " + text_form(stream) + " to " + quoted(dest) +
                       ": " + e.what());
    }
  }
}

}  // namespace portico::preserve
