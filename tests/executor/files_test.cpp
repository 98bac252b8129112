#include "executor/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>

#include "common/text.h"
#include "config/internal.h"
#include "support/support.h"
#include "template/template.h"

namespace portico {
namespace {

namespace fs = std::filesystem;
using test::slurp;

struct ZipEntry {
  std::string name;
  std::string data;
  time_t mtime;
  zip_uint16_t method;
  zip_uint32_t unix_mode;
};

// Reads an archive back with libzip, checking its consistency on the way.
std::vector<ZipEntry> unzip(const std::string& base64) {
  auto bytes = base64_decode(base64);
  if (!bytes) throw std::runtime_error("not Base64");
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_buffer_create(bytes->data(), bytes->size(), 0, &err);
  zip_t* za = zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (!za) {
    zip_source_free(src);
    throw std::runtime_error(std::string("bad archive: ") + zip_error_strerror(&err));
  }
  std::vector<ZipEntry> out;
  for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(za, i, 0, &st);
    zip_uint8_t opsys;
    zip_uint32_t attr;
    zip_file_get_external_attributes(za, i, 0, &opsys, &attr);
    std::string data(st.size, '\0');
    zip_file_t* f = zip_fopen_index(za, i, 0);
    zip_fread(f, data.data(), st.size);
    zip_fclose(f);
    out.push_back({st.name, data, st.mtime, st.comp_method, opsys == ZIP_OPSYS_UNIX ? attr >> 16 : 0});
  }
  zip_close(za);
  return out;
}

std::vector<std::string> names(const std::vector<ZipEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.name);
  return out;
}

// The file helpers read alias definitions as the loader makes them, and
// render with the real template engine.
AliasPtr parsed(const Value& def) { return config_internal::parse_alias(def); }
const TemplateEngine kEngine;

VolumeBuild _build_volumes(const Value& alias, const Value& params, const std::optional<std::string>& run_dir,
                           const std::string& shared_dir, const std::string& external_dir) {
  return portico::_build_volumes(kEngine, *parsed(alias), params, run_dir, shared_dir, external_dir);
}
void _precreate_output_dirs(const Value& alias, const Value& params, const std::optional<std::string>& run_dir) {
  portico::_precreate_output_dirs(kEngine, *parsed(alias), params, run_dir);
}
Value _collect_output_files(const Value& alias, const Value& params, const std::optional<std::string>& run_dir,
                            uint64_t max_bytes = kDefaultMaxOutputBytes) {
  return portico::_collect_output_files(kEngine, *parsed(alias), params, run_dir, max_bytes);
}
void _create_process_file(const Value& file_def, const Value& params, const std::optional<std::string>& run_dir) {
  const AliasPtr alias = parsed(Value{{"type", "process"}, {"files", Value::array({file_def})}});
  portico::_create_process_file(kEngine, alias->files.at(0), params, run_dir);
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(run); }

  test::TempDir tmp;
  std::string run = tmp / "run";
  std::string root = fs::canonical(tmp.path()).string();
};

// ---------------------------------------------------------------------------
// Volumes

TEST_F(Files, AutoVolumesGetFreshFilesMountedReadWrite) {
  const Value alias = Value::parse(R"({"volumes": [
    {"location": "/in/a", "mode": "ro"},
    {"location": "/in/b", "content": "hello {{ who }}", "preserve": true}
  ]})");
  auto [map, specs] = _build_volumes(alias, Value{{"who", "world"}}, run, "/tmp/portico", "");
  ASSERT_EQ(map.size(), 2u);
  const std::regex auto_name("[0-9a-f]{32}");
  std::vector<std::string> keys;
  for (auto& [key, rec] : map.items()) {
    EXPECT_EQ(key.substr(0, run.size() + 6), run + "/auto/");
    EXPECT_TRUE(std::regex_match(key.substr(run.size() + 6), auto_name)) << key;
    EXPECT_EQ(rec["mode"], "rw");
    keys.push_back(key);
  }
  EXPECT_NE(keys[0], keys[1]);
  EXPECT_EQ(map[keys[0]].dump(), R"({"bind":"/in/a","mode":"rw"})");
  EXPECT_EQ(slurp(keys[0]), "");
  EXPECT_EQ(slurp(keys[1]), "hello world");
  ASSERT_EQ(specs.size(), 1u);
  EXPECT_EQ(specs[0], (PreserveSpec{keys[1], false, "true", Value()}));
}

TEST_F(Files, VolumeFormsModesAndPreservation) {
  const Value alias = Value::parse(R"({"volumes": [
    {"location": "/data", "source": "/var/data", "mode": "rw", "preserve": true},
    {"location": "/out", "source": "out/", "mode": "", "preserve": "Yes"},
    {"location": "/etc/app.ini", "source": "cfg/{{ name }}.ini", "mode": "ro",
     "preserve": "flatten", "preservePrefix": "db"},
    {"location": "/x1", "source": "x1", "preserve": "FALSE"},
    {"location": "/x2", "source": "x2", "preserve": "none"},
    {"location": "/x3", "source": "x3"}
  ]})");
  auto [map, specs] = _build_volumes(alias, Value{{"name", "app"}}, run, "/tmp/portico", "");
  EXPECT_EQ(map.dump(), Value::parse(R"({
    "/var/data": {"bind": "/data", "mode": "ro"},
    ")" + run + R"(/out/": {"bind": "/out", "mode": "rw"},
    ")" + run + R"(/cfg/app.ini": {"bind": "/etc/app.ini", "mode": "ro"},
    ")" + run + R"(/x1": {"bind": "/x1", "mode": "rw"},
    ")" + run + R"(/x2": {"bind": "/x2", "mode": "rw"},
    ")" + run + R"(/x3": {"bind": "/x3", "mode": "rw"}
  })")
                            .dump());
  EXPECT_TRUE(fs::is_directory(run + "/out"));
  EXPECT_EQ(slurp(run + "/cfg/app.ini"), "");
  ASSERT_EQ(specs.size(), 2u);
  EXPECT_EQ(specs[0], (PreserveSpec{run + "/out/", true, "yes", Value()}));
  EXPECT_EQ(specs[1], (PreserveSpec{run + "/cfg/app.ini", false, "flatten", "db"}));

  // Host volumes alone need no run directory, and nothing is made for them.
  const std::string host = tmp / "host";
  auto host_only = _build_volumes(Value{{"volumes", {{{"location", "/d"}, {"source", host}}}}},
                                  Value::object(), std::nullopt, "/tmp/portico", "");
  const Value expected{{host, {{"bind", "/d"}, {"mode", "ro"}}}};
  EXPECT_EQ(host_only.first, expected);
  EXPECT_FALSE(fs::exists(host));
}

TEST_F(Files, LaterVolumeWithSameHostPathWinsInFirstPosition) {
  const Value alias = Value::parse(R"({"volumes": [
    {"location": "/a", "source": "data/", "mode": "ro"},
    {"location": "/h", "source": "/srv"},
    {"location": "/b", "source": "data/", "mode": "rw"}
  ]})");
  auto [map, specs] = _build_volumes(alias, Value::object(), run, "/tmp/portico", "");
  EXPECT_EQ(map.dump(),
            "{\"" + run + R"(/data/":{"bind":"/b","mode":"rw"},"/srv":{"bind":"/h","mode":"ro"}})");
}

TEST_F(Files, HostPathsAreTranslatedUnderExternalDir) {
  EXPECT_EQ(_to_host_path("/tmp/portico/c1/out", "/tmp/portico", ""), "/tmp/portico/c1/out");
  EXPECT_EQ(_to_host_path("/tmp/portico/c1/out", "/tmp/portico", "/srv/shared"), "/srv/shared/c1/out");
  EXPECT_EQ(_to_host_path("/tmp/portico/c1/out/", "/tmp//portico/./", "/srv/shared"), "/srv/shared/c1/out");
  EXPECT_EQ(_to_host_path("/tmp/portico/x/../c1/f", "/tmp/portico", "/srv/shared"), "/srv/shared/c1/f");
  EXPECT_EQ(_to_host_path("/var/other/f", "/tmp/portico", "/srv/shared"), "/srv/shared/../../var/other/f");
  EXPECT_EQ(_to_host_path("/tmp/portico", "/tmp/portico", "/srv/shared"), "/srv/shared/.");
  const std::string cwd = fs::current_path().string();
  EXPECT_EQ(_to_host_path("c1/f", cwd, "/srv/shared"), "/srv/shared/c1/f");

  const Value alias =
      Value::parse(R"({"volumes": [{"location": "/o", "source": "out/"}, {"location": "/a"}]})");
  const std::string shared = tmp.str();
  auto [map, specs] = _build_volumes(alias, Value::object(), shared + "/c1", shared, "/srv/shared");
  std::vector<std::string> keys;
  for (auto& [key, rec] : map.items()) keys.push_back(key);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0], "/srv/shared/c1/out");
  EXPECT_TRUE(std::regex_match(keys[1], std::regex("/srv/shared/c1/auto/[0-9a-f]{32}")));
}

TEST_F(Files, VolumeSourcesMayNotBeSteeredOutOfTheRunDirectory) {
  const Value alias =
      Value::parse(R"({"volumes": [{"location": "/c", "source": "{{ p }}", "content": "x"}]})");
  const std::string outside = tmp / "victim";
  try {
    _build_volumes(alias, Value{{"p", outside}}, run, "/tmp/portico", "");
    FAIL() << "absolute rendering accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("'" + outside + "'"), std::string::npos) << e.what();
  }
  EXPECT_THROW(_build_volumes(alias, Value{{"p", "a/../../victim"}}, run, "/tmp/portico", ""),
               std::runtime_error);
  const Value dir = Value::parse(R"({"volumes": [{"location": "/c", "source": "{{ p }}/"}]})");
  EXPECT_THROW(_build_volumes(dir, Value{{"p", ""}}, run, "/tmp/portico", ""), std::runtime_error);
  EXPECT_FALSE(fs::exists(outside));
  // Climbing that stays inside is fine.
  auto [map, specs] = _build_volumes(alias, Value{{"p", "a/../b"}}, run, "/tmp/portico", "");
  EXPECT_EQ(slurp(run + "/b"), "x");
}

TEST_F(Files, VolumeFailuresPropagateAfterEarlierSideEffects) {
  EXPECT_THROW(parsed(Value::parse(R"({"volumes": [{"source": "a", "content": "1"}, "b"]})")),
               std::invalid_argument);
  EXPECT_THROW(_build_volumes(Value::parse(R"({"volumes": [{"source": "a", "content": "1"}, {"source": "{{ b }}"}]})"),
                              Value::object(), run, "/tmp/portico", ""),
               TemplateError);
  EXPECT_EQ(slurp(run + "/a"), "1");
  // An empty source names the run directory itself, which cannot be written.
  EXPECT_THROW(_build_volumes(Value::parse(R"({"volumes": [{"source": ""}]})"), Value::object(), run,
                              "/tmp/portico", ""),
               std::system_error);
  EXPECT_THROW(_build_volumes(Value::parse(R"({"volumes": [{"content": "{{ missing }}"}]})"), Value::object(),
                              run, "/tmp/portico", ""),
               TemplateError);
}

// ---------------------------------------------------------------------------
// Output directories and input files

TEST_F(Files, PrecreateMakesOnlyTheDirectoriesOfPathSources) {
  const Value alias = Value::parse(R"({"output": {
    "single_value": {"source": "%stdOut"},
    "multiple_values": [{"source": "{{ d }}/"}, {"source": "logs/run.txt"},
                        {"source": "result.json"}, {"source": "deep/er//"}]
  }})");
  _precreate_output_dirs(alias, Value{{"d", "reports"}}, run);
  std::set<std::string> made;
  for (auto& e : fs::recursive_directory_iterator(run)) made.insert(fs::relative(e.path(), run).string());
  EXPECT_EQ(made, (std::set<std::string>{"reports", "logs", "deep", "deep/er"}));

  const std::string other = tmp / "none";
  EXPECT_NO_THROW(_precreate_output_dirs(alias, Value{{"d", "x"}}, std::nullopt));
  EXPECT_NO_THROW(_precreate_output_dirs(alias, Value{{"d", "x"}}, std::string()));
  EXPECT_THROW(_precreate_output_dirs(alias, Value{{"d", "../escape"}}, run), std::runtime_error);
  EXPECT_FALSE(fs::exists(tmp / "escape"));
}

TEST_F(Files, InputFilesAreRenderedBelowTheRunDirectory) {
  const Value params{{"name", "settings"}, {"v", 7}};
  _create_process_file(
      Value::parse(R"({"location": "conf/{{ name }}", "content": "v={{ v }} in {{ run_dir }}"})"), params,
      run);
  EXPECT_EQ(slurp(run + "/conf/settings"), "v=7 in " + run);
  _create_process_file(Value::parse(R"({"location": "conf/{{ name }}", "content": "second"})"), params, run);
  EXPECT_EQ(slurp(run + "/conf/settings"), "second");
  _create_process_file(Value::parse(R"({"location": "empty"})"), params, run);
  EXPECT_TRUE(fs::is_regular_file(run + "/empty"));
  EXPECT_EQ(slurp(run + "/empty"), "");

  // Empty location: the run directory itself.
  EXPECT_THROW(_create_process_file(Value::parse(R"({"content": "x"})"), params, run), std::system_error);
  // A failing content render leaves the directory but no file.
  EXPECT_THROW(
      _create_process_file(Value::parse(R"({"location": "d/f", "content": "{{ nope }}"})"), params, run),
      TemplateError);
  EXPECT_TRUE(fs::is_directory(run + "/d"));
  EXPECT_FALSE(fs::exists(run + "/d/f"));

  // An absolute location the operator wrote is honoured.
  const std::string abs = tmp / "outside/abs.txt";
  _create_process_file(Value{{"location", abs}, {"content", "a"}}, params, run);
  EXPECT_EQ(slurp(abs), "a");
}

TEST_F(Files, InputFileLocationsMayNotBeSteeredOut) {
  const Value def = Value::parse(R"({"location": "{{ p }}", "content": "pwned"})");
  const std::string target = tmp / "victim";
  try {
    _create_process_file(def, Value{{"p", target}}, run);
    FAIL() << "absolute rendering accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(target), std::string::npos) << e.what();
  }
  EXPECT_THROW(_create_process_file(def, Value{{"p", "../victim"}}, run), std::runtime_error);
  EXPECT_THROW(_create_process_file(def, Value{{"p", "./x/../../victim"}}, run), std::runtime_error);
  EXPECT_THROW(_create_process_file(def, Value{{"p", std::string("..\0x", 4)}}, run), std::runtime_error);
  EXPECT_FALSE(fs::exists(target));
}

// ---------------------------------------------------------------------------
// Output collection

TEST_F(Files, CollectsFileSourcesUnderTheirUnrenderedNames) {
  tmp.write("run/report.txt", "line1\r\nline2\rline3\n\xff end");
  tmp.write("run/r-7.txt", "seven");
  fs::create_directories(run + "/adir");
  const Value alias = Value::parse(R"({"output": {
    "single_value": {"source": "%stdOut"},
    "multiple_values": [{"source": "%exitCode"}, {"source": "report.txt"}, {"source": "missing.txt"},
                        {"source": "r-{{ n }}.txt"}, {"source": "adir"}, {"source": ""}, {},
                        {"source": "%stdErr"}, {"source": "report.txt"}]
  }})");
  const Value out = _collect_output_files(alias, Value{{"n", 7}}, run);
  EXPECT_EQ(out.dump(), Value::parse(R"({"report.txt": "line1\nline2\nline3\n\ufffd end",
    "missing.txt": "", "r-{{ n }}.txt": "seven", "adir": ""})")
                            .dump());

  EXPECT_EQ(_collect_output_files(alias, Value{{"n", 7}}, std::nullopt), Value::object());
  EXPECT_EQ(_collect_output_files(alias, Value{{"n", 7}}, std::string()), Value::object());
  EXPECT_EQ(_collect_output_files(Value::object(), Value::object(), run), Value::object());
  // The loader accepts empty output keys; they give nothing instead of failing every run.
  EXPECT_EQ(_collect_output_files(Value::parse(R"({"output": {"single_value": null, "multiple_values": null}})"),
                                  Value::object(), run),
            Value::object());
}

TEST_F(Files, MalformedOutputDefinitionsFail) {
  // The loader refuses malformed maps, so a run never meets one.
  EXPECT_THROW(parsed(Value::parse(R"({"output": {"single_value": "x"}})")), std::invalid_argument);
  EXPECT_THROW(parsed(Value::parse(R"({"output": {"multiple_values": ["x"]}})")), std::invalid_argument);
  EXPECT_THROW(
      _collect_output_files(Value::parse(R"({"output": {"single_value": {"source": "{{ nope }}"}}})"),
                            Value::object(), run),
      TemplateError);
}

TEST_F(Files, DirectoryArchiveOrderModesTimesAndContent) {
  tmp.write("run/out/b.txt", "bee");
  tmp.write("run/out/a.txt", std::string(5000, 'a'));
  tmp.write("run/out/sub/c.txt", "sea");
  tmp.write("run/out/B.txt", "upper");
  fs::create_directories(run + "/out/empty/deeper");
  ::chmod((run + "/out/b.txt").c_str(), 0750);
  struct tm tm {};
  tm.tm_year = 2021 - 1900;
  tm.tm_mon = 5;
  tm.tm_mday = 1;
  tm.tm_hour = 12;
  tm.tm_min = 34;
  tm.tm_sec = 57;
  tm.tm_isdst = -1;
  const time_t when = mktime(&tm);
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ::utimensat(AT_FDCWD, (run + "/out/a.txt").c_str(), times, 0);

  const Value alias =
      Value::parse(R"({"output": {"multiple_values": [{"source": "out/"}, {"source": "out///"}]}})");
  const Value out = _collect_output_files(alias, Value::object(), run);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out["out/"], out["out///"]);
  const auto entries = unzip(out["out/"].get<std::string>());
  EXPECT_EQ(names(entries), (std::vector<std::string>{"B.txt", "a.txt", "b.txt", "sub/c.txt"}));
  EXPECT_EQ(entries[1].data, std::string(5000, 'a'));
  EXPECT_EQ(entries[2].data, "bee");
  EXPECT_EQ(entries[3].data, "sea");
  for (const auto& e : entries) EXPECT_EQ(e.method, ZIP_CM_DEFLATE) << e.name;
  EXPECT_EQ(entries[1].mtime, when - 1);  // two-second resolution
  EXPECT_EQ(entries[2].unix_mode, static_cast<zip_uint32_t>(S_IFREG | 0750));
  struct stat st;
  ASSERT_EQ(::stat((run + "/out/sub/c.txt").c_str(), &st), 0);
  EXPECT_EQ(entries[3].unix_mode, st.st_mode);

  // Standard tools read it too.
  const std::string file = tmp / "check.zip";
  std::ofstream(file, std::ios::binary) << *base64_decode(out["out/"].get<std::string>());
  EXPECT_EQ(std::system(("unzip -tqq " + file + " >/dev/null 2>&1").c_str()), 0);
}

TEST_F(Files, EmptyAndMissingDirectories) {
  fs::create_directories(run + "/none/sub");
  const Value alias =
      Value::parse(R"({"output": {"multiple_values": [{"source": "none/"}, {"source": "gone/"}]}})");
  const Value out = _collect_output_files(alias, Value::object(), run);
  EXPECT_EQ(out["none/"], "UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==");
  EXPECT_EQ(out["gone/"], "");
  EXPECT_TRUE(unzip(out["none/"].get<std::string>()).empty());
}

TEST_F(Files, LargeIncompressibleArchiveRoundTrips) {
  std::mt19937 rng(42);
  std::string data(700000, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  tmp.write("run/big/blob.bin", data);
  tmp.write("run/big/small.txt", "s");
  const std::string b64 = _archive_directory(run + "/big", root, OutputBound{kDefaultMaxOutputBytes, "big/"});
  const auto entries = unzip(b64);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].data, data);
  EXPECT_EQ(entries[1].data, "s");
}

// A command can leave a tree of any depth: a deep one is archived or refused
// by name, never a crash of the gateway.
TEST_F(Files, DeepTreesAreArchivedUpToTheDepthLimitAndRefusedPastIt) {
  auto nest = [&](const std::string& top, int depth) {
    int fd = ::open((run + "/" + top).c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
      ::mkdirat(fd, "d", 0755);
      const int sub = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
      ::close(fd);
      fd = sub;
    }
    const int f = ::openat(fd, "f.txt", O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(::write(f, "deep", 4), 4);
    ::close(f);
    ::close(fd);
  };
  fs::create_directories(run + "/ok");
  fs::create_directories(run + "/far");
  nest("ok", 255);
  nest("far", 300);
  std::string name;
  for (int i = 0; i < 255; ++i) name += "d/";
  const auto entries = unzip(_archive_directory(run + "/ok", root, OutputBound{kDefaultMaxOutputBytes, "ok/"}));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name + "f.txt");
  EXPECT_EQ(entries[0].data, "deep");
  try {
    _archive_directory(run + "/far", root, OutputBound{kDefaultMaxOutputBytes, "far/"});
    ADD_FAILURE() << "a tree 300 levels deep was archived";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("directories nest more than 256 levels deep"), std::string::npos) << e.what();
  }
}

TEST_F(Files, OutputsPastTheLimitFailNamingTheirSourceWithoutBeingReadWhole) {
  const uint64_t limit = 4096;
  tmp.write("run/exact.txt", std::string(limit, 'e'));
  tmp.write("run/small/a.txt", "a");
  tmp.write("run/over.txt", std::string(limit + 1, 'o'));
  // 64 GiB of holes: reading or compressing them would take minutes.
  for (const char* sparse : {"run/huge.bin", "run/sparse/huge.bin"}) {
    tmp.write(sparse, "");
    fs::resize_file(tmp / sparse, uint64_t{1} << 36);
  }
  std::mt19937 rng(7);
  std::string noise(2 * limit, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  tmp.write("run/noise/r.bin", noise);
  // Headers and names alone pass the limit.
  for (int i = 0; i < 60; ++i) tmp.write("run/many/" + std::string(40, 'n') + std::to_string(i), "");

  const auto t0 = std::chrono::steady_clock::now();
  for (const std::string source : {"over.txt", "huge.bin", "sparse/", "noise/", "many/"}) {
    const Value alias{{"output", {{"multiple_values", {{{"source", "exact.txt"}}, {{"source", source}}}}}}};
    try {
      _collect_output_files(alias, Value::object(), run, limit);
      ADD_FAILURE() << source << " passed";
    } catch (const OutputLimitExceeded& e) {
      EXPECT_EQ(std::string(e.what()), "Output limit exceeded: " + source + " passed 4096 bytes");
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));

  const Value alias = Value::parse(R"({"output": {"multiple_values": [{"source": "exact.txt"}, {"source": "small/"}]}})");
  const Value out = _collect_output_files(alias, Value::object(), run, limit);
  EXPECT_EQ(out["exact.txt"], std::string(limit, 'e'));
  EXPECT_EQ(unzip(out["small/"].get<std::string>())[0].data, "a");
}

TEST_F(Files, LinksLeadingOutsideAreNeverRead) {
  const std::string secret = tmp.write("secret.txt", "top secret");
  tmp.write("run/inside.txt", "inside");
  tmp.write("run/out/real.txt", "real");
  fs::create_symlink(secret, run + "/result.txt");
  fs::create_symlink("../secret.txt", run + "/relative.txt");
  fs::create_symlink(run + "/inside.txt", run + "/good.txt");
  fs::create_symlink(secret, run + "/out/leak.txt");
  fs::create_symlink("../inside.txt", run + "/out/ok.txt");
  fs::create_symlink(tmp.str(), run + "/out/updir");
  fs::create_symlink(run + "/out", run + "/out/loop");
  fs::create_symlink(tmp.str(), run + "/outlink");
  tmp.write("run/sub/x.txt", "x");
  fs::create_symlink(secret, run + "/sub/y.txt");

  const Value alias = Value::parse(R"({"output": {"multiple_values": [
    {"source": "result.txt"}, {"source": "relative.txt"}, {"source": "good.txt"},
    {"source": "out/"}, {"source": "outlink/"}, {"source": "outlink/secret.txt"}, {"source": "sub/../sub/y.txt"}
  ]}})");
  const Value out = _collect_output_files(alias, Value::object(), run);
  EXPECT_EQ(out["result.txt"], "");
  EXPECT_EQ(out["relative.txt"], "");
  EXPECT_EQ(out["good.txt"], "inside");
  EXPECT_EQ(out["outlink/"], "UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==");
  EXPECT_EQ(out["outlink/secret.txt"], "");
  EXPECT_EQ(out["sub/../sub/y.txt"], "");
  const auto entries = unzip(out["out/"].get<std::string>());
  EXPECT_EQ(names(entries), (std::vector<std::string>{"ok.txt", "real.txt"}));
  EXPECT_EQ(entries[0].data, "inside");
}

TEST_F(Files, OutputSourcesMayNotBeSteeredOutButAbsoluteOnesAreHonoured) {
  const std::string secret = tmp.write("secret.txt", "top secret");
  tmp.write("elsewhere/f.txt", "f");
  const Value alias = Value::parse(R"({"output": {"single_value": {"source": "{{ p }}"}}})");
  EXPECT_THROW(_collect_output_files(alias, Value{{"p", secret}}, run), std::runtime_error);
  EXPECT_THROW(_collect_output_files(alias, Value{{"p", "../secret.txt"}}, run), std::runtime_error);
  EXPECT_THROW(_collect_output_files(alias, Value{{"p", "../elsewhere/"}}, run), std::runtime_error);

  const Value absolute{
      {"output", {{"multiple_values", {{{"source", secret}}, {{"source", tmp / "elsewhere/"}}}}}}};
  const Value out = _collect_output_files(absolute, Value::object(), run);
  EXPECT_EQ(out[secret], "top secret");
  EXPECT_EQ(names(unzip(out[tmp / "elsewhere/"].get<std::string>())), std::vector<std::string>{"f.txt"});
}

TEST_F(Files, PipesAreSkippedInsteadOfBlocking) {
  ASSERT_EQ(::mkfifo((run + "/fifo").c_str(), 0600), 0);
  fs::create_directories(run + "/d");
  ASSERT_EQ(::mkfifo((run + "/d/fifo").c_str(), 0600), 0);
  tmp.write("run/d/f.txt", "f");
  const Value alias =
      Value::parse(R"({"output": {"multiple_values": [{"source": "fifo"}, {"source": "d/"}]}})");
  const Value out = _collect_output_files(alias, Value::object(), run);
  EXPECT_EQ(out["fifo"], "");
  EXPECT_EQ(names(unzip(out["d/"].get<std::string>())), std::vector<std::string>{"f.txt"});
}

TEST_F(Files, UnarchivableFilesFailTheCollection) {
  const Value alias = Value::parse(R"({"output": {"single_value": {"source": "d/"}}})");
  tmp.write("run/d/old.txt", "old");
  struct timespec times[2] = {{315532800 - 86400 * 400, 0}, {315532800 - 86400 * 400, 0}};  // 1978
  ::utimensat(AT_FDCWD, (run + "/d/old.txt").c_str(), times, 0);
  EXPECT_THROW(_collect_output_files(alias, Value::object(), run), std::runtime_error);

  fs::remove(run + "/d/old.txt");
  fs::create_symlink(run + "/nowhere", run + "/d/dangling");
  EXPECT_THROW(_collect_output_files(alias, Value::object(), run), std::system_error);
}

}  // namespace
}  // namespace portico
