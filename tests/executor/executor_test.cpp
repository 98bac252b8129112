#include <gtest/gtest.h>

#include "executor/executor.h"
#include "config/internal.h"
#include "support/map_config.h"
#include "logging/logging.h"
#include "template/template.h"

namespace portico {
namespace {

class ExecutorEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg.set_alias("greet", Value::parse(R"({
      "type": "script",
      "parameters": {
        "a": {"type": "string", "required": true},
        "b": {"type": "integer", "default": 1}
      }
    })"));
  }
  test::MapConfig cfg;
  TemplateEngine renderer;
  LoggingService logging;
  Executor ex{{cfg, cfg, renderer, logging}};
};

TEST_F(ExecutorEntry, UnknownAliasHasExactlyTwoKeys) {
  EXPECT_EQ(ex.execute_alias("nosuch", Value()).dump(), R"({"success":false,"error":"Alias 'nosuch' not found"})");
  EXPECT_EQ(ex.execute_alias("it's", Value::object()).dump(),
            R"({"success":false,"error":"Alias \"it's\" not found"})");
  cfg.set_alias("empty", Value::object());
  EXPECT_EQ(ex.execute_alias("empty", Value())["error"], "Alias 'empty' not found");
}

TEST_F(ExecutorEntry, ValidationFailureListsMessagesInOrder) {
  const Value r = ex.execute_alias("greet", Value{{"b", "x"}});
  EXPECT_EQ(r.dump(),
            R"({"success":false,"validation_error":true,"errors":["a is required","b must be an integer"],)"
            R"("error":"Parameter validation failed: a is required, b must be an integer"})");
}

TEST_F(ExecutorEntry, UnknownTypesAreNamedInQuotedForm) {
  EXPECT_EQ(ex.execute_alias("greet", Value{{"a", "x"}}).dump(),
            R"({"success":false,"error":"Unknown alias type: 'script'"})");
  cfg.set_alias("cap", Value{{"type", "Process"}});
  EXPECT_EQ(ex.execute_alias("cap", Value())["error"], "Unknown alias type: 'Process'");
  cfg.set_alias("none", Value{{"command", "true"}});
  EXPECT_EQ(ex.execute_alias("none", Value())["error"], "Unknown alias type: None");
  cfg.set_alias("num", Value{{"type", 3}});
  EXPECT_EQ(ex.execute_alias("num", Value())["error"], "Unknown alias type: 3");
}

TEST_F(ExecutorEntry, CallersParametersAreNeverModified) {
  const Value params{{"a", "x"}};
  const Value before = params;
  ex.execute_alias("greet", params);
  EXPECT_EQ(params, before);
}

TEST_F(ExecutorEntry, EachExecutorReadsTheStoreItWasGiven) {
  test::MapConfig other;
  other.set("MaxTimeout", 5);
  Executor second({other, other, renderer, logging});
  // Aliases and settings may come from different objects; each is read from its own.
  Executor mixed({cfg, other, renderer, logging});
  EXPECT_EQ(second.execute_alias("greet", Value{{"a", "x"}})["error"], "Alias 'greet' not found");
  EXPECT_EQ(ex.execute_alias("greet", Value{{"a", "x"}})["error"], "Unknown alias type: 'script'");
  EXPECT_EQ(mixed.execute_alias("greet", Value{{"a", "x"}})["error"], "Unknown alias type: 'script'");
  const AliasPtr slow = config_internal::parse_alias(Value{{"timeout", 600}});
  EXPECT_EQ(second._resolve_timeout(*slow), 5);
  EXPECT_EQ(mixed._resolve_timeout(*slow), 5);
  EXPECT_EQ(ex._resolve_timeout(*slow), 600);
}

TEST_F(ExecutorEntry, ResolveTimeoutCapsAndKeepsNumberKind) {
  auto t = [&](const char* alias_json) {
    return ex._resolve_timeout(*config_internal::parse_alias(Value::parse(alias_json)));
  };
  EXPECT_EQ(t("{}"), 60);
  EXPECT_EQ(t(R"({"timeout": 0})"), 60);
  EXPECT_EQ(t(R"({"timeout": false})"), 60);
  EXPECT_EQ(t(R"({"timeout": null})"), 60);
  const Value frac = t(R"({"timeout": 2.5})");
  EXPECT_TRUE(frac.is_number_float());
  EXPECT_EQ(frac, 2.5);
  cfg.set("MaxTimeout", 3);
  EXPECT_EQ(t(R"({"timeout": 5})"), 3);
  EXPECT_EQ(t(R"({"timeout": 0})"), 3);
  cfg.set("MaxTimeout", 10);
  EXPECT_EQ(t(R"({"timeout": 5})"), 5);
  cfg.set("MaxTimeout", 0);
  EXPECT_EQ(t(R"({"timeout": 600})"), 600);
  cfg.set("MaxTimeout", 300);
  EXPECT_EQ(t(R"({"timeout": 600})"), 300);
  cfg.set("MaxTimeout", 1.5);
  EXPECT_EQ(t(R"({"timeout": 2})"), 1.5);
}

TEST(ShortId, KeepsTwelveCharactersAfterTheLastColon) {
  EXPECT_TRUE(Executor::_short_id(Value()).is_null());
  EXPECT_TRUE(Executor::_short_id(Value("")).is_null());
  EXPECT_EQ(Executor::_short_id(Value("abc:def:0123456789abcdef")), "0123456789ab");
  EXPECT_EQ(Executor::_short_id(Value("short")), "short");
  EXPECT_EQ(Executor::_short_id(Value("sha256:" + std::string(64, 'f'))), "ffffffffffff");
  EXPECT_EQ(Executor::_short_id(Value(std::string(64, 'a'))), std::string(12, 'a'));
}

}  // namespace
}  // namespace portico
