// Text helpers of the client: command words, image references, error
// classification and the log stream's framing.
#include <algorithm>
#include <cctype>

#include "common/text.h"
#include "docker/docker.h"

namespace portico::docker {

std::vector<std::string> split_shell_words(std::string_view text) {
  std::vector<std::string> words;
  std::string cur;
  bool in_word = false;  // an empty quoted word ('') still counts
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      const size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) throw std::invalid_argument("No closing quotation");
      cur.append(text.substr(i + 1, end - i - 1));
      i = end;
      in_word = true;
    } else if (c == '"') {
      size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        // Inside double quotes a backslash only escapes what would otherwise be special there.
        if (text[j] == '\\' && j + 1 < text.size() && std::string_view("\\\"$`\n").find(text[j + 1]) != std::string_view::npos) {
          if (text[j + 1] != '\n') cur.push_back(text[j + 1]);
          ++j;
        } else {
          cur.push_back(text[j]);
        }
      }
      if (j >= text.size()) throw std::invalid_argument("No closing quotation");
      i = j;
      in_word = true;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) throw std::invalid_argument("No escaped character");
      if (text[i + 1] != '\n') {  // backslash-newline joins lines
        cur.push_back(text[i + 1]);
        in_word = true;
      }
      ++i;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) words.push_back(std::move(cur));
      cur.clear();
      in_word = false;
    } else {
      cur.push_back(c);
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(cur));
  return words;
}

std::pair<std::string, std::string> split_reference(const std::string& ref) {
  if (const auto at = ref.rfind('@'); at != std::string::npos) return {ref.substr(0, at), ref.substr(at + 1)};
  // A ":" followed by a "/" belongs to a registry host's port, not to a tag.
  const auto colon = ref.rfind(':');
  if (colon != std::string::npos && ref.find('/', colon) == std::string::npos)
    return {ref.substr(0, colon), ref.substr(colon + 1)};
  return {ref, "latest"};
}

std::optional<std::string> registry_error_code(const std::string& message) {
  // The registry protocol's error codes, as the Engine writes them: lower case, "_" as a space.
  static const char* const kCodes[] = {
      "blob unknown",      "blob upload invalid", "blob upload unknown", "digest invalid", "manifest blob unknown",
      "manifest invalid",  "manifest unknown",    "manifest unverified", "name invalid",   "name unknown",
      "size invalid",      "tag invalid",         "unauthorized",        "denied",         "unsupported",
      "toomanyrequests"};
  const std::string m = ascii_lower(message);
  std::optional<std::string> first;
  size_t first_at = std::string::npos;
  for (const char* code : kCodes) {
    const std::string needle = std::string(code) + ": ";
    for (size_t at = m.find(needle); at != std::string::npos && at < first_at; at = m.find(needle, at + 1)) {
      if (at == 0 || m[at - 1] == ' ') {
        first = code;
        first_at = at;
        break;
      }
    }
  }
  return first;
}

bool is_image_not_found(long status, const std::string& message, bool image_request) {
  // The Engine itself calls these three "not found" (denied is how public
  // registries answer for a repository they do not have); authentication,
  // rate limits and network failures reach us as other codes or statuses.
  auto existence = [](const std::string& code) {
    return code == "manifest unknown" || code == "name unknown" || code == "denied";
  };
  const auto code = registry_error_code(message);
  if (status == 404) {
    if (code) return existence(*code);
    // On an image route the Engine's 404 is about the image; elsewhere only when it says so.
    return image_request || ascii_lower(message).find("no such image") != std::string::npos;
  }
  if (status == 200) {  // an error inside a pull's progress carries no status of its own
    if (code) return existence(*code);
    const std::string m = ascii_lower(message);
    for (const char* phrase : {"no such image", "repository does not exist", "not found: does not exist or no pull access",
                               "was found but does not match the specified platform"})
      if (m.find(phrase) != std::string::npos) return true;
  }
  return false;
}

void FrameDemux::feed(std::string_view chunk) {
  while (!chunk.empty() && !error_) {
    if (remaining_ == 0 && header_len_ < 8) {
      const size_t take = std::min(chunk.size(), 8 - header_len_);
      std::copy_n(chunk.data(), take, header_ + header_len_);
      header_len_ += take;
      chunk.remove_prefix(take);
      if (header_len_ < 8) return;
      stream_ = header_[0];
      if (stream_ > 3) {
        error_ = "Unrecognized input header: " + std::to_string(stream_);
        return;
      }
      remaining_ = (size_t{header_[4]} << 24) | (size_t{header_[5]} << 16) | (size_t{header_[6]} << 8) | header_[7];
      system_error_.clear();
    }
    const size_t take = std::min(chunk.size(), remaining_);
    const std::string_view part = chunk.substr(0, take);
    if (sink_ && stream_ <= 2 && !part.empty()) sink_(stream_ == 2 ? 2 : 1, part);
    if (((stream_ == 0 || stream_ == 1) && out_) || (stream_ == 2 && err_)) data_.append(part);
    if (stream_ == 3 && system_error_.size() < 4096) system_error_.append(part.substr(0, 4096 - system_error_.size()));
    chunk.remove_prefix(take);
    remaining_ -= take;
    if (remaining_ == 0) {
      header_len_ = 0;
      if (stream_ == 3) error_ = "error from daemon in stream: " + system_error_;
    }
  }
}

void FrameDemux::finish() {
  if (!error_ && (header_len_ > 0 || remaining_ > 0))
    error_ = "log stream ended inside a frame";
}

}  // namespace portico::docker
