#pragma once
// Small helpers for tests: a temporary directory removed with its contents.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <stdlib.h>

namespace portico::test {

// Whether DOCKER_HOST names a UNIX socket that exists (scripts/test-docker sets it).
inline bool docker_socket_present() {
  const char* h = std::getenv("DOCKER_HOST");
  return h && std::string_view(h).substr(0, 7) == "unix://" && std::filesystem::exists(std::string(h).substr(7));
}

inline bool under_ci() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Leaves a test that needs a Docker Engine: skipped on a developer's machine,
// failed under CI=true, where a skip would hide every container test.
#define PORTICO_NO_DOCKER(why)                                                                   \
  do {                                                                                           \
    if (::portico::test::under_ci()) FAIL() << "no Docker Engine (scripts/test-docker): " << why; \
    GTEST_SKIP() << "no Docker Engine; run scripts/test-docker (" << why << ")";                 \
  } while (0)

// host:port of the loopback registry that scripts/test-docker started.
inline std::string registry() {
  const char* r = std::getenv("PORTICO_TEST_REGISTRY");
  return r && *r ? r : "127.0.0.1:5000";
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "portico-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::string operator/(const std::string& rel) const { return (path_ / rel).string(); }

  // Writes a file below the directory, creating parent directories.
  std::string write(const std::string& rel, const std::string& content) const {
    auto p = path_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }

 private:
  std::filesystem::path path_;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Polls `f` until it holds or the time is up; returns its last answer.
template <typename F>
bool eventually(F f, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (f()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return f();
}

}  // namespace portico::test
