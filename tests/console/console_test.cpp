#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "console/console.h"

namespace portico::console {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ConsoleAssets, EveryWebFileIsEmbeddedByteForByte) {
  const fs::path root = PORTICO_WEB_DIR;
  std::set<std::string> on_disk;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename();
    if (!entry.is_regular_file() || name.front() == '.' || name.back() == '~') continue;
    const std::string rel = fs::relative(entry.path(), root).generic_string();
    on_disk.insert(rel);
    const Asset* a = find_asset(rel);
    ASSERT_NE(a, nullptr) << rel << " is not embedded (does its extension have a content type?)";
    EXPECT_EQ(a->body, read_file(entry.path())) << rel;
  }
  std::set<std::string> embedded, tags;
  for (const Asset& a : assets()) {
    embedded.insert(std::string(a.path));
    tags.insert(std::string(a.etag));
  }
  EXPECT_EQ(embedded, on_disk);
  EXPECT_EQ(tags.size(), embedded.size()) << "ETags must tell the files apart";
}

TEST(ConsoleAssets, ContentTypes) {
  const std::pair<const char*, const char*> cases[] = {
      {"index.html", "text/html; charset=utf-8"},
      {"console.js", "text/javascript; charset=utf-8"},
      {"lib.js", "text/javascript; charset=utf-8"},
      {"console.css", "text/css; charset=utf-8"},
      {"icon.svg", "image/svg+xml"},
  };
  for (const auto& [path, type] : cases) {
    const Asset* a = find_asset(path);
    ASSERT_NE(a, nullptr) << path;
    EXPECT_EQ(a->content_type, type) << path;
    EXPECT_FALSE(a->body.empty()) << path;
  }
}

TEST(ConsoleAssets, LookupTakesOnlyEmbeddedNames) {
  ASSERT_NE(find_asset("index.html"), nullptr);
  EXPECT_EQ(find_asset(""), find_asset("index.html"));
  for (const char* path : {"/", "/index.html", "../CMakeLists.txt", "./index.html", "INDEX.HTML", "index.html/",
                           "console.js?v=1", "missing.js", "index"})
    EXPECT_EQ(find_asset(path), nullptr) << path;
}

// A renamed or misspelt file only shows as a broken page in a browser.
TEST(ConsoleAssets, PageReferencesResolve) {
  const std::pair<const char*, std::regex> refs[] = {
      {"index.html", std::regex(R"re((?:href|src)="([^"#:]+)")re")},
      {"console.js", std::regex(R"re(from '\./([^']+)')re")},
  };
  for (const auto& [file, pattern] : refs) {
    const Asset* a = find_asset(file);
    ASSERT_NE(a, nullptr) << file;
    const std::string text(a->body);
    int found = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it, ++found)
      EXPECT_NE(find_asset((*it)[1].str()), nullptr) << file << " refers to " << (*it)[1];
    EXPECT_GT(found, 0) << file;
  }
}

}  // namespace
}  // namespace portico::console
