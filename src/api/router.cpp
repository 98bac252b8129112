#include "api/router.h"

namespace portico::api {
namespace {

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '+' && plus_is_space) {
      c = ' ';
    }
    if (c == '\0') return std::nullopt;
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::optional<std::vector<std::string>> split_path(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  std::vector<std::string> out;
  size_t start = 1;
  for (;;) {
    const size_t end = path.find('/', start);
    auto decoded = percent_decode(path.substr(start, end == std::string_view::npos ? end : end - start), false);
    if (!decoded) return std::nullopt;
    out.push_back(std::move(*decoded));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

std::optional<std::string> decode_query_value(std::string_view text) { return percent_decode(text, true); }

void Router::add(boost::beast::http::verb method, std::string_view pattern, Handler handler) {
  Route r{method, {}, std::move(handler)};
  const auto segments = split_path(pattern);
  for (const auto& seg : *segments) r.segments.push_back(!seg.empty() && seg.front() == '{' ? "{}" : seg);
  routes_.push_back(std::move(r));
}

std::optional<Router::Found> Router::find(boost::beast::http::verb method, std::string_view path) const {
  auto segments = split_path(path);
  if (!segments) return std::nullopt;
  Found found;
  for (const Route& r : routes_) {
    if (r.segments.size() != segments->size()) continue;
    std::vector<std::string> params;
    bool match = true;
    for (size_t i = 0; i < r.segments.size() && match; ++i) {
      if (r.segments[i] == "{}") {
        match = !(*segments)[i].empty();
        params.push_back((*segments)[i]);
      } else {
        match = r.segments[i] == (*segments)[i];
      }
    }
    if (!match) continue;
    const std::string name(boost::beast::http::to_string(r.method));
    if (found.allow.find(name) == std::string::npos) found.allow += (found.allow.empty() ? "" : ", ") + name;
    if (r.method == method && !found.handler) {
      found.handler = &r.handler;
      found.params = std::move(params);
    }
  }
  return found;
}

}  // namespace portico::api
