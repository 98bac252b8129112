#include "console/console.h"

#include <algorithm>
#include <string>

namespace portico::console {

const Asset* find_asset(std::string_view path) {
  std::string index;
  if (path.empty() || path.back() == '/') {
    index.assign(path);
    index += "index.html";
    path = index;
  }
  const auto all = assets();
  const auto it = std::find_if(all.begin(), all.end(), [&](const Asset& a) { return a.path == path; });
  return it == all.end() ? nullptr : &*it;
}

}  // namespace portico::console
