#include <gtest/gtest.h>

#include <stdexcept>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/map_config.h"
#include "support/support.h"
#include "watcher/watcher.h"

namespace portico {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::eventually;
using test::TempDir;

// Counts reloads; the configuration side counts alias reloads and records.
class CountingAuth final : public AuthStore {
 public:
  Errors load_auth_config() override {
    ++loads;
    if (throws) throw std::runtime_error("store broke");
    return errors;
  }
  size_t user_count() const override { return 1; }
  size_t public_key_count() const override { return 0; }
  std::optional<Principal> authenticate(std::string_view) const override { return std::nullopt; }
  std::string claimed_user(std::string_view) const override { return "-"; }
  std::atomic<int> loads{0};
  std::atomic<bool> throws{false};
  Errors errors;
};

class CountingConfig final : public ConfigStore {
 public:
  explicit CountingConfig(test::MapConfig& m) : map(m) {}
  void load(const std::string&, const std::optional<Overrides>&) override {}
  Value get(const std::string& k) const override { return map.get(k); }
  std::shared_ptr<const Settings> settings() const override { return map.settings(); }
  std::pair<Value, Errors> load_aliases() override { return {Value::object(), {}}; }
  void apply_aliases(const Value&) override {}
  AliasPtr alias(const std::string&) const override { return nullptr; }
  Value get_alias(const std::string&) const override { return nullptr; }
  std::vector<Value> get_all_aliases() const override { return {}; }
  Value get_alias_map() const override { return Value::object(); }
  Errors reload_aliases() override {
    ++alias_reloads;
    return {};
  }
  void record_startup_success() override {}
  void record_auth_reload(bool ok) override { (ok ? auth_ok : auth_failed)++; }
  void record_alias_reload(bool) override {}
  Value status() const override { return Value::object(); }
  test::MapConfig& map;
  std::atomic<int> alias_reloads{0}, auth_ok{0}, auth_failed{0};
};

void set_mtime(const std::string& path, long seconds) {
  struct timespec ts[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

TEST(Snapshot, OnlyYamlNamesDirectlyInTheDirectory) {
  TempDir d;
  d.write("a.yaml", "x");
  d.write("b.yml", "x");
  d.write("c.json", "x");
  d.write("D.YAML", "x");
  d.write("sub/inner.yaml", "x");
  fs::create_directory(d / "dir.yaml");
  fs::create_symlink(d / "missing", d / "dangling.yaml");
  const Snapshot s = ConfigWatcher::_snapshot(d.str());
  EXPECT_EQ(s.size(), 3u);
  EXPECT_TRUE(s.count(d / "a.yaml") && s.count(d / "b.yml") && s.count(d / "dir.yaml"));
  EXPECT_TRUE(ConfigWatcher::_snapshot(d / "nope").empty());
  EXPECT_TRUE(ConfigWatcher::_snapshot("").empty());
}

TEST(Snapshot, ChangeTestSeesCreateTouchDeleteButNotSameTimeRewrite) {
  TempDir d;
  Snapshot known = ConfigWatcher::_snapshot(d.str());
  EXPECT_FALSE(ConfigWatcher::_has_changed(d.str(), known));
  const std::string f = d.write("a.yaml", "one");
  set_mtime(f, 1000);
  EXPECT_TRUE(ConfigWatcher::_has_changed(d.str(), known));
  EXPECT_FALSE(ConfigWatcher::_has_changed(d.str(), known));
  d.write("a.yaml", "two");
  set_mtime(f, 1000);
  EXPECT_FALSE(ConfigWatcher::_has_changed(d.str(), known));
  set_mtime(f, 1001);
  EXPECT_TRUE(ConfigWatcher::_has_changed(d.str(), known));
  fs::remove(f);
  EXPECT_TRUE(ConfigWatcher::_has_changed(d.str(), known));
  EXPECT_TRUE(known.empty());
}

class WatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map.set("AuthDir", auth_dir.str());
    map.set("AliasDir", alias_dir.str());
  }
  void TearDown() override {
    watcher.stop();
    unsetenv("PORTICO_DISABLE_INOTIFY");
  }
  TempDir auth_dir, alias_dir;
  test::MapConfig map;
  CountingConfig cfg{map};
  CountingAuth auth;
  ConfigWatcher watcher;
};

TEST_F(WatcherTest, BothIntervalsZeroStartsNothing) {
  map.set("AuthReload", 0);
  map.set("AliasReload", 0);
  watcher.start(cfg, auth);
  EXPECT_FALSE(watcher.polling());
  EXPECT_FALSE(watcher.observing());
}

TEST_F(WatcherTest, FileEventsReloadLongBeforeThePollingInterval) {
  map.set("AuthReload", 3600);
  map.set("AliasReload", 3600);
  alias_dir.write("keep.yaml", "a: 1\n");
  watcher.start(cfg, auth);
  ASSERT_TRUE(watcher.observing());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(cfg.alias_reloads, 0);  // files present at start are not a change
  alias_dir.write("new.yaml", "b: 1\n");
  EXPECT_TRUE(eventually([&] { return cfg.alias_reloads >= 1; }, 3s));
  auth_dir.write("users.yaml", "users: {}\n");
  EXPECT_TRUE(eventually([&] { return auth.loads >= 1 && cfg.auth_ok >= 1; }, 3s));
  const int before = cfg.alias_reloads;
  fs::rename(alias_dir / "new.yaml", alias_dir / "new.yaml.bak");  // YAML source: handled
  EXPECT_TRUE(eventually([&] { return cfg.alias_reloads > before; }, 3s));
  alias_dir.write("notes.txt", "x");
  fs::create_directory(alias_dir / "dir.yaml");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(cfg.alias_reloads, before + 1);
}

// A store that throws is a failed reload, and the watcher goes on watching.
TEST_F(WatcherTest, AStoreThatThrowsIsAFailedReloadAndWatchingGoesOn) {
  map.set("AuthReload", 3600);
  map.set("AliasReload", 3600);
  watcher.start(cfg, auth);
  ASSERT_TRUE(watcher.observing());
  auth.throws = true;
  auth_dir.write("a.yaml", "users: {}\n");
  EXPECT_TRUE(eventually([&] { return cfg.auth_failed >= 1; }, 3s));
  auth.throws = false;
  auth_dir.write("b.yaml", "users: {}\n");
  EXPECT_TRUE(eventually([&] { return cfg.auth_ok >= 1; }, 3s)) << "the watcher stopped after a store threw";
}

TEST_F(WatcherTest, PollingAloneWhenInotifyIsUnavailable) {
  setenv("PORTICO_DISABLE_INOTIFY", "1", 1);
  map.set("AuthReload", 0);
  map.set("AliasReload", 1);
  watcher.start(cfg, auth);
  EXPECT_FALSE(watcher.observing());
  EXPECT_TRUE(watcher.polling());
  alias_dir.write("x.yaml", "a: 1\n");
  EXPECT_TRUE(eventually([&] { return cfg.alias_reloads == 1; }, 4s));
  auth_dir.write("users.yaml", "users: {}\n");  // AuthReload 0: never looked at
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(auth.loads, 0);
  EXPECT_EQ(cfg.alias_reloads, 1);
}

TEST_F(WatcherTest, MissingDirectoryFallsBackToPollingAndIsSeenOnceCreated) {
  map.set("AuthReload", 1);
  map.set("AliasReload", 0);
  map.set("AuthDir", auth_dir / "later");
  auth.errors = {"one", "two"};  // before start: the polling thread reads it
  watcher.start(cfg, auth);
  EXPECT_FALSE(watcher.observing());
  auth_dir.write("later/users.yaml", "x");
  EXPECT_TRUE(eventually([&] { return cfg.auth_failed == 1; }, 4s));
  EXPECT_EQ(cfg.auth_ok, 0);
}

// The fault: acting on the first event of an in-place save (truncate, then
// write) loads the file empty or half written. Both mechanisms must wait
// until the file has been quiet, then reload once.
TEST_F(WatcherTest, AnInPlaceSaveBurstIsReloadedOnceAfterItSettles) {
  for (const bool events : {true, false}) {
    SCOPED_TRACE(events ? "file events" : "polling only");
    if (!events) setenv("PORTICO_DISABLE_INOTIFY", "1", 1);
    ConfigWatcher w;
    CountingAuth counted;
    map.set("AuthReload", events ? 3600 : 1);
    map.set("AliasReload", 0);
    const std::string file = auth_dir.write("users.yaml", "users: {}\n");
    w.start(cfg, counted);
    ASSERT_EQ(w.observing(), events);
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < 1500ms) {
      const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
      std::this_thread::sleep_for(5ms);
      ASSERT_EQ(::write(fd, "users: {}\n", 10), 10);
      ::close(fd);
      std::this_thread::sleep_for(40ms);
    }
    EXPECT_EQ(counted.loads, 0) << "reloaded while the file was still being written";
    EXPECT_TRUE(eventually([&] { return counted.loads == 1; }, 3s));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(counted.loads, 1);
    w.stop();
    unsetenv("PORTICO_DISABLE_INOTIFY");
  }
}

TEST_F(WatcherTest, StopIsPrompt) {
  map.set("AuthReload", 5);
  map.set("AliasReload", 5);
  watcher.start(cfg, auth);
  const auto t0 = std::chrono::steady_clock::now();
  watcher.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
  EXPECT_FALSE(watcher.observing());
  watcher.stop();
}

}  // namespace
}  // namespace portico
