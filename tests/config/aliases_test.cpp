#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "config/config.h"
#include "logging/logging.h"
#include "support/support.h"

namespace portico {
namespace {

using test::TempDir;

std::vector<std::string> names_of(const Value& map) {
  std::vector<std::string> out;
  for (auto it = map.begin(); it != map.end(); ++it) out.push_back(it.key());
  return out;
}

class AliasTest : public ::testing::Test {
 protected:
  void SetUp() override { use_dir(dir / "aliases"); }

  void use_dir(const std::string& alias_dir) {
    alias_path = alias_dir;
    store.load(dir / "missing.conf", Overrides{{"AliasDir", alias_dir}});
  }
  std::string write(const std::string& name, const std::string& yaml) { return dir.write("aliases/" + name, yaml); }

  Errors load_errors() { return store.load_aliases().second; }

  TempDir dir;
  std::string alias_path;
  FileConfigStore store;
};

TEST_F(AliasTest, FilesAreReadInByteOrderThenDefinitionOrder) {
  write("b.yaml", "zeta: {type: process, command: z}\nalpha: {type: process, command: a}\n");
  write("a.yml", "middle: {type: process, command: m}\n");
  write("B.yaml", "upper: {type: process, command: u}\n");
  write("empty.yaml", "");
  write("nulldoc.yaml", "# only a comment\n---\n");
  write("notes.txt", "ignored: {type: process}\n");
  write(".hidden.yaml", "hidden: {type: process}\n");
  write("sub.yaml/inner.yaml", "inner: {type: process}\n");
  auto [aliases, errors] = store.load_aliases();
  ASSERT_EQ(errors, Errors{});
  EXPECT_EQ(names_of(aliases), (std::vector<std::string>{"upper", "middle", "zeta", "alpha"}));

  // Loading does not put anything into effect.
  EXPECT_EQ(store.get_alias("zeta"), Value());
  store.apply_aliases(aliases);
  EXPECT_EQ(store.get_alias("zeta"), Value::parse(R"({"type": "process", "command": "z"})"));
  EXPECT_EQ(store.get_alias("missing"), Value());
  EXPECT_EQ(names_of(store.get_alias_map()), names_of(aliases));
  const auto all = store.get_all_aliases();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0]["command"], "u");
  EXPECT_EQ(all[3]["command"], "a");
}

TEST_F(AliasTest, DuplicateNamesNameBothFiles) {
  const auto a = write("a.yaml", "one: {type: process}\ntwo: {type: process}\n");
  const auto b = write("b.yaml", "two: {type: container}\nthree: {type: process}\nthree: {type: process}\n");
  EXPECT_EQ(load_errors(), (Errors{b + ":1: alias 'two' is already defined in " + a,
                                   b + ":3: alias 'three' is defined twice in this file"}));
}

TEST_F(AliasTest, FileLevelProblemsAreCollectedAcrossFiles) {
  const auto a = write("a.yaml", "good: {type: process}\nbad: [unclosed\n");
  const auto b = write("b.yaml", "- a\n- list\n");
  const auto c = write("c.yaml", "'bad name': {type: process}\n-dash: {}\nok.name_1-x: {type: process}\n");
  const auto d = write("d.yaml", "scalar: just text\nnothing:\n");
  const auto e = write("e.yaml", "base: &b {type: process}\ncopy: *b\n");
  const auto f = write("f.yaml", "a: {type: process}\n---\nb: {type: process}\n");
  const auto g = write("g.yaml", "x:\n  type: process\n  command: a\n  command: b\n");
  const auto h = write("h.yaml", "x2:\n  <<: {type: process}\n");
  const auto long_name = std::string(129, 'n');
  const auto i = write("i.yaml", std::string(128, 'n') + ": {type: process}\n" + long_name + ": {type: process}\n");
  const Errors errors = load_errors();
  ASSERT_EQ(errors.size(), 11u) << testing::PrintToString(errors);
  EXPECT_TRUE(errors[0].starts_with(a + ": invalid YAML at line 3, column 1: ")) << errors[0];
  EXPECT_EQ(errors[1], b + ": the top level must be a map of alias names to definitions");
  const std::string rule =
      " is not valid: it must start with a letter or digit and hold at most 128 letters, digits, '_', '.' and '-'";
  EXPECT_EQ(errors[2], c + ":1: alias name 'bad name'" + rule);
  EXPECT_EQ(errors[3], c + ":2: alias name '-dash'" + rule);
  EXPECT_EQ(errors[4], d + ":1: alias 'scalar': the definition must be a map");
  EXPECT_EQ(errors[5], d + ":2: alias 'nothing': the definition must be a map");
  EXPECT_EQ(errors[6], e + ": line 2, column 7: YAML aliases (*name) are not supported");
  EXPECT_EQ(errors[7], f + ": holds 2 YAML documents; only one is allowed");
  EXPECT_EQ(errors[8], g + ": line 4, column 3: key 'command' appears twice in the same map");
  EXPECT_EQ(errors[9], h + ":1: alias 'x2': merge keys are not supported");
  EXPECT_EQ(errors[10], i + ":2: alias name '" + long_name + "'" + rule);
}

TEST_F(AliasTest, EveryDefinitionKeyIsTypeChecked) {
  const auto p = write("a.yaml", R"(
ok:
  type: container
  image: alpine
  timeout: false
  refreshImage: ALWAYS
  prefetchImage: no
  environment: {A: text, B: 1, D: true}
  files: [{location: in.txt, content: hi}, {location: other.txt}]
  volumes: [{source: null, location: /in, content: x, mode: ro, preserve: true, preservePrefix: p}]
  output: {single_value: {source: out.txt}, multiple_values: [{source: a.txt}]}
  preserveStreams: [{stream: stdout, filename: o.log, flatten: true}, {stream: stderr}]
  extension: anything
ok2: {type: process, preserveStreams: true, timeout: 0}
t1: {type: [process], command: [echo], image: 1, user: 0, description: false}
t2: {timeout: -1}
t3: {timeout: '5'}
t4: {timeout: .inf}
e1: {environment: [A]}
e2: {environment: {'': x, 'A=B': y, C: [1], E: null}}
f1: {files: [x, {content: c}, {location: 1, content: [c]}]}
v1: {volumes: [{source: 1, location: /x, content: 2, mode: 3, preserve: [a], preservePrefix: 4}, {source: a}]}
o1: {output: [x]}
o2: {output: {single_value: out.txt, multiple_values: {source: x}}}
o3: {output: {single_value: {source: []}, multiple_values: [{source: 1}, y]}}
s1: {preserveStreams: stdout}
s2: {preserveStreams: [{filename: x}, {stream: 1}, {stream: stdout, filename: 1}]}
r1: {refreshImage: [always], prefetchImage: {a: 1}}
none: {type: process, environment: [], files: {}, volumes: '', output: [], preserveStreams: 0}
)");
  const std::vector<std::string> expected = {
      "t1': command must be text", "t1': image must be text", "t1': user must be text",
      "t1': description must be text", "t2': timeout must be a non-negative number",
      "t3': timeout must be a non-negative number", "t4': timeout must be a non-negative number",
      "e1': environment must be a map of variable names to values",
      "e2': environment variable name '' is not valid (non-empty, without '=')",
      "e2': environment variable name 'A=B' is not valid (non-empty, without '=')",
      "e2': environment variable 'C' must be text, a number or a boolean",
      "e2': environment variable 'E' must be text, a number or a boolean",
      "f1': files[0] must be a map", "f1': files[2].location must be text",
      "f1': files[2].content must be text", "v1': volumes[0].source must be text", "v1': volumes[0].content must be text",
      "v1': volumes[0].mode must be text", "v1': volumes[0].preserve must be a single value",
      "v1': volumes[0].preservePrefix must be text",
      "o1': output must be a map", "o2': output.single_value must be a map",
      "o2': output.multiple_values must be a sequence of maps", "o3': output.single_value.source must be text",
      "o3': output.multiple_values[0].source must be text", "o3': output.multiple_values[1] must be a map",
      "s1': preserveStreams must be true or a sequence of maps",
      "s2': preserveStreams[0].stream must be 'stdout' or 'stderr'", "s2': preserveStreams[2].filename must be text",
  };
  auto [aliases, errors] = store.load_aliases();
  std::vector<std::string> got;
  for (const auto& e : errors) {
    const size_t at = e.find(": alias '");
    EXPECT_TRUE(e.starts_with(p + ":") && at != std::string::npos) << e;
    got.push_back(e.substr(at + 9));
  }
  EXPECT_EQ(got, expected);
  // Empty values of any kind mean none; policies and types nobody acts on only warn.
  EXPECT_EQ(names_of(aliases), (std::vector<std::string>{"ok", "ok2", "r1", "none"}));
}

TEST_F(AliasTest, ParameterDeclarationProblemsArePrefixed) {
  const auto p = write("a.yaml", "x: {type: process, parameters: [a, b]}\ny: {type: process, parameters: {n: {type: string}}}\n");
  const Errors errors = load_errors();
  ASSERT_EQ(errors.size(), 1u) << testing::PrintToString(errors);
  EXPECT_TRUE(errors[0].starts_with(p + ":1: alias 'x': parameters ")) << errors[0];
}

TEST_F(AliasTest, UnknownTypeLoadsWithAWarning) {
  auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(16);
  sink->set_pattern("%l %v");
  app_log()->sinks().push_back(sink);
  const auto p = write("a.yaml", "odd: {type: Process}\nnone: {command: x}\nfine: {type: process}\nnum: {type: 1}\n");
  auto [aliases, errors] = store.load_aliases();
  app_log()->sinks().pop_back();
  EXPECT_EQ(errors, Errors{});
  EXPECT_EQ(names_of(aliases), (std::vector<std::string>{"odd", "none", "fine", "num"}));
  EXPECT_EQ(sink->last_formatted(), (std::vector<std::string>{
                                        "warning " + p + ":1: alias 'odd' has unknown type 'Process'; it cannot be run\n",
                                        "warning " + p + ":2: alias 'none' has no type; it cannot be run\n",
                                        "warning " + p + ":4: alias 'num' has unknown type 1; it cannot be run\n"}));
}

// What the gateway ignores, replaces by a default or reads unexpectedly loads,
// with a warning naming the file, the line, the alias and the key.
TEST_F(AliasTest, SurprisingValuesLoadWithAWarning) {
  auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64);
  sink->set_pattern("%v");
  app_log()->sinks().push_back(sink);
  const auto p = write("a.yaml", R"(c:
  type: container
  image: img
  user: nobody
  timeout: 0
  files: [{location: x}]
  refreshImage: sometimes
  prefetchImage: yes
  volumes:
    - source: /data
      location: /d
      mode: rw
      preserve: true
    - location: /a
      mode: ro
      preserve: 'no'
    - source: out/
      location: /o
      content: x
      preserv: yes
  output:
    single_value: {source: '%stdout'}
    multiple_values:
      - {}
  preserveStreams:
    - {stream: stdin}
    - {stream: stdout, filename: '', flatten: 'no'}
  timout: 5
p:
  type: process
  user: ''
  image: img
  files:
    - location: ''
    - content: x
q:
  type: container
  volumes:
    - {source: a}
  preserveStreams:
    - {stream: [stdout]}
)");
  auto [aliases, errors] = store.load_aliases();
  app_log()->sinks().pop_back();
  EXPECT_EQ(errors, Errors{});
  EXPECT_EQ(names_of(aliases), (std::vector<std::string>{"c", "p", "q"}));
  auto at = [&](int line, const std::string& alias, const std::string& text) {
    return p + ":" + std::to_string(line) + ": alias '" + alias + "': " + text + "\n";
  };
  EXPECT_EQ(sink->last_formatted(),
            (std::vector<std::string>{
                at(5, "c", "timeout 0 means the default of 60 seconds"),
                at(12, "c", "volumes[0].mode 'rw' is not used: a host path is always mounted ro"),
                at(13, "c", "volumes[0].preserve is not used: a host path is never preserved"),
                at(15, "c", "volumes[1].mode 'ro' is not used: a volume without source is always mounted rw"),
                at(16, "c", "volumes[1].preserve 'no' is not one of none, false, flatten, yes, true: the volume is preserved"),
                at(19, "c", "volumes[2].content is not used by a directory volume"),
                at(20, "c", "key 'preserv' in volumes[2] is not used; it is ignored"),
                at(22, "c", "output.single_value.source '%stdout' is not %stdOut, %stdErr or %exitCode (the letter case "
                            "counts): it is read as a file"),
                at(24, "c", "output.multiple_values[0].source is empty: it gives no output"),
                at(26, "c", "preserveStreams[0].stream 'stdin' is not stdout or stderr: the entry preserves nothing"),
                at(27, "c", "preserveStreams[1].filename is empty, so the default 'stdout.log' is used"),
                at(27, "c", "preserveStreams[1].flatten 'no' is not a boolean: it counts as true"),
                at(7, "c", "refreshImage 'sometimes' is not one of always, on-start, no: the image is not refreshed"),
                at(8, "c", "prefetchImage True is not one of on-start, on-config-change, no: the image is not prefetched"),
                at(4, "c", "user is not used by a container alias: the container runs as its image says"),
                at(6, "c", "files is not used by a container alias; give a container its input files as volumes"),
                at(28, "c", "key 'timout' is not used; it is ignored"),
                at(34, "p", "files[0].location is empty: it names the run directory itself, so every run fails"),
                at(35, "p", "files[1].location is empty: it names the run directory itself, so every run fails"),
                at(31, "p", "user is empty, so the command runs as the service's own user"),
                at(32, "p", "image is not used by a process alias"),
                at(39, "q", "volumes[0].location is empty: the Engine cannot mount a volume there, so every run fails"),
                at(41, "q", "preserveStreams[0].stream ['stdout'] is not stdout or stderr: the entry preserves nothing"),
            }));
}

TEST_F(AliasTest, AMissingDirectoryIsOneError) {
  EXPECT_EQ(load_errors(), Errors{"Alias directory " + alias_path + ": No such file or directory"});
  const auto file = dir.write("plain", "x");
  use_dir(file);
  EXPECT_EQ(load_errors(), Errors{"Alias directory " + file + ": Not a directory"});
}

TEST_F(AliasTest, UnreadableEntriesAreReported) {
  write("a.yaml", "a: {type: process}\n");
  std::filesystem::create_symlink(dir / "nowhere.yaml", dir / "aliases/b.yaml");
  EXPECT_EQ(load_errors(), Errors{alias_path + "/b.yaml: No such file or directory"});
}

TEST_F(AliasTest, ReloadIsAllOrNothing) {
  write("a.yaml", "first: {type: process}\n");
  ASSERT_EQ(store.reload_aliases(), Errors{});
  EXPECT_EQ(names_of(store.get_alias_map()), std::vector<std::string>{"first"});

  // A broken file keeps the old set, including the aliases of the good files.
  write("a.yaml", "first: {type: process}\nsecond: {type: process}\n");
  const auto b = write("b.yaml", "third: {timeout: -1}\n");
  EXPECT_EQ(store.reload_aliases(), Errors{b + ":1: alias 'third': timeout must be a non-negative number"});
  EXPECT_EQ(names_of(store.get_alias_map()), std::vector<std::string>{"first"});

  std::vector<std::pair<Value, Value>> seen;
  Errors hook_result{"pull failed"};
  store.set_reload_hook([&](const Value& before, const Value& after) {
    seen.emplace_back(before, after);
    return hook_result;
  });
  std::filesystem::remove(b);
  EXPECT_EQ(store.reload_aliases(), Errors{"pull failed"});
  EXPECT_EQ(names_of(store.get_alias_map()), std::vector<std::string>{"first"});

  hook_result.clear();
  EXPECT_EQ(store.reload_aliases(), Errors{});
  EXPECT_EQ(names_of(store.get_alias_map()), (std::vector<std::string>{"first", "second"}));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(names_of(seen[1].first), std::vector<std::string>{"first"});
  EXPECT_EQ(names_of(seen[1].second), (std::vector<std::string>{"first", "second"}));

  store.set_reload_hook([](const Value&, const Value&) -> Errors { throw std::runtime_error("boom"); });
  write("a.yaml", "other: {type: process}\n");
  EXPECT_EQ(store.reload_aliases(), Errors{"alias reload hook failed: boom"});
  EXPECT_EQ(names_of(store.get_alias_map()), (std::vector<std::string>{"first", "second"}));

  // A file caught empty while it is rewritten would leave no aliases: refused like at start-up.
  store.set_reload_hook(nullptr);
  const auto a = write("a.yaml", "");
  EXPECT_EQ(store.reload_aliases(), Errors{"No aliases configured in " + a + "; the previous aliases stay in effect"});
  EXPECT_EQ(names_of(store.get_alias_map()), (std::vector<std::string>{"first", "second"}));
}

TEST_F(AliasTest, StatusKeepsOutcomes) {
  Value s = store.status();
  EXPECT_EQ(s["started_at"], Value());
  EXPECT_EQ(s["alias_reload"], Value::parse(R"({"last": null, "success": null, "count": 0, "failures": 0})"));
  store.record_startup_success();
  store.record_auth_reload(true);
  store.record_auth_reload(false);
  store.record_alias_reload(true);
  store.apply_aliases(Value::parse(R"({"a": {}, "b": {}})"));
  s = store.status();
  const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
  EXPECT_TRUE(std::regex_match(s["started_at"].get<std::string>(), iso)) << s.dump();
  EXPECT_TRUE(std::regex_match(s["auth_reload"]["last"].get<std::string>(), iso)) << s.dump();
  EXPECT_EQ(s["auth_reload"]["success"], false);
  EXPECT_EQ(s["auth_reload"]["count"], 2);
  EXPECT_EQ(s["auth_reload"]["failures"], 1);
  EXPECT_EQ(s["alias_reload"]["success"], true);
  EXPECT_EQ(s["alias_reload"]["count"], 1);
  EXPECT_EQ(s["aliases"], 2);
  EXPECT_THROW(store.apply_aliases(Value::array()), std::invalid_argument);
}

// Readers must always see one whole alias set and one whole settings snapshot
// while reloads swap between two directories; reloads must never overlap.
TEST_F(AliasTest, ReadsDuringReloadsSeeCompleteSets) {
  const size_t kAliases = 40;
  for (const std::string set : {"A", "B"}) {
    std::string yaml;
    for (size_t i = 0; i < kAliases; ++i) yaml += set + std::to_string(i) + ": {type: process, description: " + set + "}\n";
    dir.write("set" + set + "/aliases.yaml", yaml);
  }
  auto switch_to = [&](bool a) {
    store.load(dir / "x.conf", Overrides{{"AliasDir", dir / (a ? "setA" : "setB")}, {"ListenPort", a ? "1001" : "1002"}});
  };
  switch_to(true);
  ASSERT_EQ(store.reload_aliases(), Errors{});

  std::atomic<int> in_hook{0};
  std::atomic<bool> overlapped{false}, stop{false}, bad{false};
  store.set_reload_hook([&](const Value&, const Value&) {
    if (in_hook.fetch_add(1) != 0) overlapped = true;
    std::this_thread::yield();
    in_hook.fetch_sub(1);
    return Errors{};
  });
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int n = 0; !stop; ++n) {
      switch_to(n % 2 == 1);
      if (!store.reload_aliases().empty()) bad = true;
    }
  });
  threads.emplace_back([&] {
    while (!stop)
      if (!store.reload_aliases().empty()) bad = true;
  });
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&] {
      while (!stop) {
        const Value map = store.get_alias_map();
        const std::string set = map.begin().key().substr(0, 1);
        if (map.size() != kAliases) bad = true;
        for (auto it = map.begin(); it != map.end(); ++it)
          if (it.key().substr(0, 1) != set || it.value()["description"] != set) bad = true;
        for (const char* name : {"A7", "B7"}) {
          const Value def = store.get_alias(name);
          if (!def.is_null() && def["description"] != std::string(1, name[0])) bad = true;
        }
        const Value port = store.get("ListenPort");
        if ((port != 1001 && port != 1002) || store.get_all_aliases().size() != kAliases) bad = true;
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_FALSE(bad);
  EXPECT_FALSE(overlapped);
}

}  // namespace
}  // namespace portico
