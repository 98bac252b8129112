// Captured standard output and standard error kept in LogDir.
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/fd.h"
#include "common/text.h"
#include "logging/logging.h"
#include "preserve/internal.h"
#include "preserve/preserve.h"

namespace portico::preserve {
namespace {

// Absent when written, else the operating system's reason.
std::optional<std::string> write_text(const std::string& dest, const std::string& text) {
  const auto os_text = [](int err) { return std::generic_category().message(err); };
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(dest).parent_path(), ec);
  if (ec) return ec.message();
  UniqueFd fd(_open_dest(dest, 0640));
  if (!fd) return os_text(errno);
  for (size_t off = 0; off < text.size();) {
    const ssize_t n = ::write(fd.get(), text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_text(errno);
    off += static_cast<size_t>(n);
  }
  if (::close(fd.release()) != 0 && errno != EINTR) return os_text(errno);
  return std::nullopt;
}

}  // namespace

Value expand_preserve_streams(const Value& raw) {
  Value out = Value::array();
  if (!truthy(raw)) return out;
  if (raw.is_boolean()) {
    for (const auto& name : STREAM_NAMES) out.push_back(Value{{"stream", name}});
    return out;
  }
  if (raw.is_array()) return raw;
  // Anything else gives what iterating it gives. None of that is a stream
  // entry, so a mistyped setting fails at the end of the run, not silently.
  if (raw.is_object()) {
    for (const auto& item : raw.items()) out.push_back(item.key());
    return out;
  }
  if (raw.is_string()) {
    std::string character;
    for (const char c : raw.get_ref<const std::string&>()) {
      if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && !character.empty()) {
        out.push_back(character);
        character.clear();
      }
      character.push_back(c);
    }
    out.push_back(character);
    return out;
  }
  throw std::invalid_argument("preserveStreams is neither true nor a sequence: " + quoted(raw));
}

std::string _stream_filename(const Value& entry) {
  if (entry.contains("filename") && truthy(entry["filename"])) return text_form(entry["filename"]);
  return text_form(entry.at("stream")) + ".log";
}

std::string _stream_dest_path(const std::string& filename, bool flatten, const std::string& log_dir,
                              const std::string& correlation_id) {
  if (flatten) return path_join({log_dir, correlation_id + "_" + filename});
  return path_join({log_dir, correlation_id, filename});
}

void preserve_streams(const Value& entries, const std::optional<std::string>& out,
                      const std::optional<std::string>& err, const Value& log_dir,
                      const std::optional<std::string>& correlation_id) {
  if (!entries.is_array() || entries.empty()) return;
  const std::string dir = _effective_log_dir(log_dir);
  const std::string cid = _effective_correlation_id(correlation_id);
  for (const auto& entry : entries) {
    if (!entry.is_object() || !entry.contains("stream"))
      throw std::runtime_error("stream entry without 'stream': " + quoted(entry));
    const Value& stream = entry["stream"];
    const std::optional<std::string>* content = stream == "stdout" ? &out : stream == "stderr" ? &err : nullptr;
    if (!content || !*content || (*content)->empty()) continue;
    const std::string filename = _stream_filename(entry);
    std::optional<std::string> refused = _escape_reason(filename, "file name");
    if (!refused) refused = _escape_reason(cid, "correlation id");
    if (refused) {
      app_log()->warn("Not preserving " + text_form(stream) + ": " + *refused);
      continue;
    }
    const std::string dest = _stream_dest_path(filename, truthy(entry.value("flatten", Value())), dir, cid);
    // Captured text may be as large as MaxOutputBytes: copy it only to mend it.
    const std::string& text = **content;
    if (const auto why = is_utf8(text) ? write_text(dest, text) : write_text(dest, decode_utf8_replace(text)))
      app_log()->error("Stream preserve failed: failed to preserve " + text_form(stream) + " to " + quoted(dest) +
                       ": " + *why);
  }
}

}  // namespace portico::preserve
