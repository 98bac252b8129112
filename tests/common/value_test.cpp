#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cmath>

#include "common/value.h"

namespace portico {
namespace {

Value load(const std::string& yaml) { return yaml_to_value(YAML::Load(yaml)); }

TEST(YamlValues, PlainScalarsResolveLikeYaml11) {
  const Value v = load(R"(
n1: ~
n2: null
n3:
b1: yes
b2: No
b3: on
b4: OFF
b5: True
i1: 42
i2: -17
i3: 0x1F
i4: 0o17
i5: 0755
i6: 1_000
f1: 2.5
f2: .inf
f3: -.Inf
f4: .nan
f5: 1e-05
f6: 6.02e+23
s1: 08
s2: 1.2.3
s3: hello
s4: 0x
)");
  for (const char* k : {"n1", "n2", "n3"}) EXPECT_TRUE(v[k].is_null()) << k;
  EXPECT_EQ(v["b1"], true);
  EXPECT_EQ(v["b2"], false);
  EXPECT_EQ(v["b3"], true);
  EXPECT_EQ(v["b4"], false);
  EXPECT_EQ(v["b5"], true);
  EXPECT_TRUE(v["i1"].is_number_integer());
  EXPECT_EQ(v["i1"], 42);
  EXPECT_EQ(v["i2"], -17);
  EXPECT_EQ(v["i3"], 31);
  EXPECT_EQ(v["i4"], 15);
  EXPECT_EQ(v["i5"], 493);
  EXPECT_EQ(v["i6"], 1000);
  EXPECT_TRUE(v["f1"].is_number_float());
  EXPECT_EQ(v["f1"], 2.5);
  EXPECT_TRUE(std::isinf(v["f2"].get<double>()) && v["f2"].get<double>() > 0);
  EXPECT_TRUE(std::isinf(v["f3"].get<double>()) && v["f3"].get<double>() < 0);
  EXPECT_TRUE(std::isnan(v["f4"].get<double>()));
  EXPECT_DOUBLE_EQ(v["f5"].get<double>(), 1e-05);
  EXPECT_DOUBLE_EQ(v["f6"].get<double>(), 6.02e23);
  EXPECT_EQ(v["s1"], "08");
  EXPECT_EQ(v["s2"], "1.2.3");
  EXPECT_EQ(v["s3"], "hello");
  EXPECT_EQ(v["s4"], "0x");
}

TEST(YamlValues, QuotedScalarsStayText) {
  const Value v = load(R"(a: "no"
b: '42'
c: "null"
d: !!str yes
e: ""
)");
  EXPECT_EQ(v["a"], "no");
  EXPECT_EQ(v["b"], "42");
  EXPECT_EQ(v["c"], "null");
  EXPECT_EQ(v["d"], "yes");
  EXPECT_EQ(v["e"], "");
}

TEST(YamlValues, KeepsMappingOrderAndNesting) {
  const Value v = load("z: 1\na: [x, 2, {k: off}]\nm: {b: 1, a: 2}\n");
  EXPECT_EQ(v.dump(), R"({"z":1,"a":["x",2,{"k":false}],"m":{"b":1,"a":2}})");
}

TEST(YamlValues, HugeIntegersDoNotWrap) {
  const Value v = load("big: 18446744073709551615\nneg: -9223372036854775808\nhuge: 99999999999999999999999\n");
  EXPECT_EQ(v["big"].get<unsigned long long>(), 18446744073709551615ULL);
  EXPECT_EQ(v["neg"].get<long long>(), std::numeric_limits<long long>::min());
  EXPECT_TRUE(v["huge"].is_number_float());
}

TEST(YamlValues, RejectsMergeKeysAndComplexKeys) {
  EXPECT_THROW(load("base: &b {x: 1}\nd:\n  <<: *b\n"), std::runtime_error);
  EXPECT_THROW(load("? [a, b]\n: 1\n"), std::runtime_error);
}

TEST(YamlValues, RefusesCollectionAliasesAndDuplicateKeys) {
  // Nine levels of doubling would be 2^9 copies; the anchor alone is enough to refuse.
  EXPECT_THROW(load("a: &a [x, x]\nb: &b [*a, *a]\nc: [*b, *b]\n"), std::runtime_error);
  EXPECT_THROW(load("k: 1\nk: 2\n"), std::runtime_error);
  // Scalar anchors are harmless and still work.
  EXPECT_EQ(load("a: &v 5\nb: *v\n")["b"], 5);
}

TEST(Truthiness, FollowsTheUsualRules) {
  for (const char* falsy : {"null", "false", "0", "0.0", "\"\"", "[]", "{}"})
    EXPECT_FALSE(truthy(Value::parse(falsy))) << falsy;
  for (const char* yes : {"true", "1", "-1", "0.5", "\"0\"", "[0]", "{\"a\":null}"})
    EXPECT_TRUE(truthy(Value::parse(yes))) << yes;
}

}  // namespace
}  // namespace portico
