#pragma once
// The web console: the files under web/, embedded into the program when it is
// built. Everything here is constant data with static storage, safe to read
// from any thread at any time, including during static initialisation.

#include <span>
#include <string_view>

namespace portico::console {

struct Asset {
  std::string_view path;          // below the console's root, e.g. "console.js"
  std::string_view content_type;  // a whole Content-Type value, charset included for text
  std::string_view body;          // the file's bytes, unchanged
  std::string_view etag;          // a strong ETag value, quotes included; changes with the bytes
};

// Every embedded file, sorted by path.
std::span<const Asset> assets();

// The file at `path` below the console's root, as taken from the request path
// after "/console/" (already percent-decoded, without the query): "" and paths
// ending in "/" mean that directory's index.html. nullptr when there is none;
// never touches the file system, so no path can escape the embedded set.
const Asset* find_asset(std::string_view path);

struct Header {
  std::string_view name, value;
};

// Headers for every console answer. The policy allows the page only its own
// scripts, styles, images and API calls: no inline code, no eval, no frames,
// no form posts, and no string-to-markup sinks (Trusted Types), so a text from
// the gateway can never become markup or script.
inline constexpr Header kResponseHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
     "base-uri 'none'; form-action 'none'; frame-ancestors 'none'; "
     "require-trusted-types-for 'script'; trusted-types 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
    {"Cross-Origin-Opener-Policy", "same-origin"},
    {"Cache-Control", "no-cache"},  // revalidate with the ETag: a new build shows at once
};

}  // namespace portico::console
