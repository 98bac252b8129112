#include "validator/validator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace portico {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const DeclarativeValidator validator;

Value alias_with(const Value& parameters) { return {{"command", "true"}, {"parameters", parameters}}; }

// Messages for one parameter `x` declared as `decl` and given `value`.
Errors check(const Value& decl, const Value& value) {
  return validator.validate_parameters({{"x", value}}, alias_with({{"x", decl}}));
}

TEST(ValidatorTest, TypesAreStrict) {
  EXPECT_THAT(check({{"type", "string"}}, 5), ElementsAre("x must be a string"));
  EXPECT_THAT(check(Value::object(), true), ElementsAre("x must be a string"));  // string by default
  EXPECT_THAT(check({{"type", "integer"}}, "5"), ElementsAre("x must be an integer"));
  EXPECT_THAT(check({{"type", "integer"}}, true), ElementsAre("x must be an integer"));
  EXPECT_THAT(check({{"type", "integer"}}, 5.0), ElementsAre("x must be an integer"));
  EXPECT_THAT(check({{"type", "number"}}, "1.5"), ElementsAre("x must be a number"));
  EXPECT_THAT(check({{"type", "number"}}, std::nan("")), ElementsAre("x must be a finite number"));
  EXPECT_THAT(check({{"type", "number"}}, -std::numeric_limits<double>::infinity()),
              ElementsAre("x must be a finite number"));
  EXPECT_THAT(check({{"type", "boolean"}}, 1), ElementsAre("x must be a boolean"));

  EXPECT_THAT(check({{"type", "integer"}}, -5), IsEmpty());
  EXPECT_THAT(check({{"type", "integer"}}, Value(18446744073709551615ull)), IsEmpty());
  EXPECT_THAT(check({{"type", "number"}}, 5), IsEmpty());
  EXPECT_THAT(check({{"type", "number"}}, 2.5), IsEmpty());
  EXPECT_THAT(check({{"type", "boolean"}}, false), IsEmpty());
}

TEST(ValidatorTest, RequiredAndNull) {
  const Value req = {{"required", true}, {"type", "integer"}, {"min", 10}};
  EXPECT_THAT(check(req, nullptr), ElementsAre("x is required"));
  EXPECT_THAT(validator.validate_parameters(Value::object(), alias_with({{"x", req}})),
              ElementsAre("x is required"));
  // A null optional value passes every check, however strict.
  const Value strict = {{"type", "integer"}, {"min", 10}, {"choices", {11, 12}}};
  EXPECT_THAT(check(strict, nullptr), IsEmpty());
  EXPECT_THAT(validator.validate_parameters(Value::object(), alias_with({{"x", strict}})), IsEmpty());
}

TEST(ValidatorTest, TextContent) {
  EXPECT_THAT(check(Value::object(), std::string("a\0b", 3)), ElementsAre("x must not contain NUL characters"));
  EXPECT_THAT(check(Value::object(), "bad \xC3"), ElementsAre("x must be valid UTF-8"));
  EXPECT_THAT(check(Value::object(), "\xED\xA0\x80"), ElementsAre("x must be valid UTF-8"));  // surrogate
  // NUL is reported first even when the text is also not UTF-8.
  EXPECT_THAT(check(Value::object(), std::string("\0\xFF", 2)), ElementsAre("x must not contain NUL characters"));
}

TEST(ValidatorTest, LengthCountsCodePoints) {
  const Value decl = {{"min_length", 2}, {"max_length", 3}};
  EXPECT_THAT(check(decl, "a"), ElementsAre("x must be at least 2 characters long"));
  EXPECT_THAT(check(decl, "abcd"), ElementsAre("x must be at most 3 characters long"));
  EXPECT_THAT(check(decl, "\xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80"), IsEmpty());  // 3 code points, 9 bytes

  EXPECT_THAT(check(Value::object(), std::string(4096, 'a')), IsEmpty());
  EXPECT_THAT(check(Value::object(), std::string(4097, 'a')), ElementsAre("x must be at most 4096 characters long"));
  EXPECT_THAT(check({{"max_length", 10000}}, std::string(5000, 'a')), IsEmpty());
}

TEST(ValidatorTest, PatternMustMatchWholeText) {
  const Value decl = {{"pattern", "[a-z]+"}};
  EXPECT_THAT(check(decl, "abc"), IsEmpty());
  EXPECT_THAT(check(decl, "abc1"), ElementsAre("x must match pattern '[a-z]+'"));
  EXPECT_THAT(check(decl, "abc\n"), ElementsAre("x must match pattern '[a-z]+'"));
  EXPECT_THAT(check({{"pattern", "a|b"}}, "ab"), ElementsAre("x must match pattern 'a|b'"));
  EXPECT_THAT(check({{"pattern", "it's"}}, "no"), ElementsAre("x must match pattern \"it's\""));
  // Patterns see code points, not bytes.
  EXPECT_THAT(check({{"pattern", "\\pL{3}"}}, "\xC3\xA9t\xC3\xA9"), IsEmpty());
  EXPECT_THAT(check({{"pattern", ".{3}"}}, "\xC3\xA9t\xC3\xA9"), IsEmpty());
  // A pattern that does not compile accepts nothing.
  EXPECT_THAT(check({{"pattern", "("}}, "("), ElementsAre("x must match pattern '('"));
}

TEST(ValidatorTest, HostilePatternInputStaysFast) {
  const auto start = std::chrono::steady_clock::now();
  const Value nested = {{"pattern", "(a+)+$"}, {"max_length", 200000}};
  EXPECT_THAT(check(nested, std::string(100000, 'a') + "!"), ElementsAre("x must match pattern '(a+)+$'"));
  const Value alternation = {{"pattern", "(a|aa)*b"}, {"max_length", 200000}};
  EXPECT_THAT(check(alternation, std::string(100000, 'a')), ElementsAre("x must match pattern '(a|aa)*b'"));
  // Over-long text is turned away before the pattern runs at all.
  EXPECT_THAT(check({{"pattern", "(x+x+)+y"}}, std::string(1000000, 'x')),
              ElementsAre("x must be at most 4096 characters long"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ValidatorTest, Choices) {
  EXPECT_THAT(check({{"choices", {"a", "b"}}}, "a"), IsEmpty());
  EXPECT_THAT(check({{"choices", {"a", "it's"}}}, "c"), ElementsAre("x must be one of: 'a', \"it's\""));
  EXPECT_THAT(check({{"type", "integer"}, {"choices", {1, 3}}}, 2), ElementsAre("x must be one of: 1, 3"));
  EXPECT_THAT(check({{"type", "number"}, {"choices", {1, 2.5}}}, 2.5), IsEmpty());
  EXPECT_THAT(check({{"type", "number"}, {"choices", {1, 2.5}}}, 1.0), IsEmpty());
  EXPECT_THAT(check({{"type", "boolean"}, {"choices", {true}}}, false), ElementsAre("x must be one of: True"));
}

TEST(ValidatorTest, Range) {
  const Value decl = {{"type", "integer"}, {"min", 1}, {"max", 10}};
  EXPECT_THAT(check(decl, 0), ElementsAre("x must be at least 1"));
  EXPECT_THAT(check(decl, 11), ElementsAre("x must be at most 10"));
  EXPECT_THAT(check(decl, 1), IsEmpty());
  EXPECT_THAT(check(decl, 10), IsEmpty());
  const Value real = {{"type", "number"}, {"min", 0.5}, {"max", 2}};
  EXPECT_THAT(check(real, 0.25), ElementsAre("x must be at least 0.5"));
  EXPECT_THAT(check(real, 3), ElementsAre("x must be at most 2"));
  // Integers beyond the signed range compare exactly.
  EXPECT_THAT(check({{"type", "integer"}, {"max", -1}}, Value(18446744073709551615ull)),
              ElementsAre("x must be at most -1"));
  EXPECT_THAT(check({{"type", "integer"}, {"min", Value(18446744073709551615ull)}}, -1),
              ElementsAre("x must be at least 18446744073709551615"));
}

TEST(ValidatorTest, OnlyTheFirstFailedCheckIsReported) {
  // Type before range, length before pattern, pattern before choices.
  EXPECT_THAT(check({{"type", "integer"}, {"min", 5}}, "x"), ElementsAre("x must be an integer"));
  EXPECT_THAT(check({{"max_length", 2}, {"pattern", "b+"}}, "aaa"), ElementsAre("x must be at most 2 characters long"));
  EXPECT_THAT(check({{"pattern", "b+"}, {"choices", {"c"}}}, "a"), ElementsAre("x must match pattern 'b+'"));
  EXPECT_THAT(check({{"type", "integer"}, {"choices", {50}}, {"max", 10}}, 20), ElementsAre("x must be one of: 50"));
}

TEST(ValidatorTest, MessagesFollowDeclarationOrderThenUnknownNames) {
  const Value alias = alias_with({{"a", {{"required", true}}}, {"b", {{"type", "integer"}}}, {"c", Value::object()}});
  EXPECT_THAT(validator.validate_parameters({{"zz", 1}, {"b", "x"}, {"c", "ok"}, {"it's", 2}}, alias),
              ElementsAre("a is required", "b must be an integer", "Unknown parameter: 'zz'",
                          "Unknown parameter: \"it's\""));
}

TEST(ValidatorTest, AliasWithoutParametersAcceptsOnlyNone) {
  const Value alias = {{"command", "true"}};
  EXPECT_THAT(validator.validate_parameters(Value::object(), alias), IsEmpty());
  EXPECT_THAT(validator.validate_parameters(Value(nullptr), alias), IsEmpty());
  EXPECT_THAT(validator.validate_parameters({{"x", nullptr}}, alias), ElementsAre("Unknown parameter: 'x'"));
  EXPECT_THAT(validator.validate_parameters({{"x", 1}}, {{"parameters", nullptr}}),
              ElementsAre("Unknown parameter: 'x'"));
  EXPECT_THAT(validator.validate_parameters(Value::array({1}), alias), ElementsAre(HasSubstr("must be a map")));
}

TEST(ValidatorTest, ApplyDefaults) {
  const Value alias = alias_with({{"a", {{"default", {{"list", {1, 2}}}}}},
                                  {"b", {{"type", "integer"}}},
                                  {"c", {{"default", "C"}}}});
  Value first = validator.apply_defaults(Value(nullptr), alias);
  EXPECT_EQ(first, Value::parse(R"({"a":{"list":[1,2]},"b":null,"c":"C"})"));
  // Mutating one result must not touch the definition or later results.
  first["a"]["list"].push_back(3);
  EXPECT_EQ(validator.apply_defaults(Value::object(), alias)["a"], Value::parse(R"({"list":[1,2]})"));
  EXPECT_EQ(alias["parameters"]["a"]["default"], Value::parse(R"({"list":[1,2]})"));

  // Given values are kept, even null; undeclared ones too (validation reports them).
  const Value given = validator.apply_defaults({{"c", nullptr}, {"extra", 1}}, alias);
  EXPECT_EQ(given.dump(), R"({"c":null,"extra":1,"a":{"list":[1,2]},"b":null})");
  EXPECT_EQ(validator.apply_defaults(Value::object(), {{"command", "x"}}), Value::object());
}

TEST(ValidatorTest, ConcurrentUseSharesCompiledPatterns) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string pattern = "p" + std::to_string((t + i) % 16) + "[0-9]*";
        const Value alias = alias_with({{"x", {{"pattern", pattern}}}});
        const std::string good = "p" + std::to_string((t + i) % 16) + "42";
        if (!validator.validate_parameters({{"x", good}}, alias).empty()) ++failures;
        if (validator.validate_parameters({{"x", "q"}}, alias).size() != 1) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ParameterDeclarationsTest, SoundDeclarationsPass) {
  EXPECT_THAT(check_parameter_declarations(Value(nullptr)), IsEmpty());
  EXPECT_THAT(check_parameter_declarations(Value::object()), IsEmpty());
  const Value decls = Value::parse(R"({
    "name": {"type": "string", "required": true, "pattern": "[a-z]+", "min_length": 1, "max_length": 8,
             "description": "who", "default": "abc", "choices": ["abc", "de"]},
    "count": {"type": "integer", "min": 1, "max": 5, "default": 3, "choices": [1, 3]},
    "ratio": {"type": "number", "min": 0, "max": 1.5, "default": 0.5},
    "flag": {"type": "boolean", "default": false},
    "_Other2": null
  })");
  EXPECT_THAT(check_parameter_declarations(decls), IsEmpty());
}

TEST(ParameterDeclarationsTest, Problems) {
  auto problems = [](const char* json) { return check_parameter_declarations(Value::parse(json)); };
  EXPECT_THAT(check_parameter_declarations(Value::array({"x"})), ElementsAre(HasSubstr("parameters must be a map")));
  EXPECT_THAT(problems(R"({"x": {"type": "str"}})"), ElementsAre("parameter 'x': unknown type 'str'"));
  EXPECT_THAT(problems(R"({"x": {"type": 1}})"), ElementsAre(HasSubstr("parameter 'x': type must be text")));
  EXPECT_THAT(problems(R"({"x": {"pattern": "(a"}})"),
              ElementsAre(HasSubstr("parameter 'x': pattern is not a valid regular expression: ")));
  EXPECT_THAT(problems(R"({"x": {"type": "integer", "default": "5"}})"),
              ElementsAre("parameter 'x': default does not match its declaration: x must be an integer"));
  EXPECT_THAT(problems(R"({"x": {"pattern": "[a-z]+", "default": "A"}})"),
              ElementsAre("parameter 'x': default does not match its declaration: x must match pattern '[a-z]+'"));
  EXPECT_THAT(problems(R"({"x": {"typo": 1, "requried": true}})"),
              ElementsAre("parameter 'x': unknown key 'typo'", "parameter 'x': unknown key 'requried'"));
  EXPECT_THAT(problems(R"({"x": "string"})"), ElementsAre(HasSubstr("parameter 'x': the declaration must be a map")));
  EXPECT_THAT(problems(R"({"1x": {}, "a-b": {}, "": {}, "run_dir": {}})"),
              ElementsAre(HasSubstr("parameter '1x': "), HasSubstr("parameter 'a-b': "), HasSubstr("parameter '': "),
                          HasSubstr("parameter 'run_dir': ")));
}

TEST(ParameterDeclarationsTest, KeyTypesAndConsistency) {
  auto problems = [](const char* json) { return check_parameter_declarations(Value::parse(json)); };
  EXPECT_THAT(problems(R"({"x": {"required": "yes"}})"), ElementsAre(HasSubstr("required must be true or false")));
  EXPECT_THAT(problems(R"({"x": {"description": 5}})"), ElementsAre(HasSubstr("description must be text")));
  EXPECT_THAT(problems(R"({"x": {"pattern": 5}})"), ElementsAre(HasSubstr("pattern must be text")));
  EXPECT_THAT(problems(R"({"x": {"choices": "a"}})"), ElementsAre(HasSubstr("choices must be a list")));
  EXPECT_THAT(problems(R"({"x": {"choices": []}})"), ElementsAre(HasSubstr("choices must not be empty")));
  EXPECT_THAT(problems(R"({"x": {"type": "integer", "choices": [1, "2"]}})"),
              ElementsAre("parameter 'x': choice '2' does not match its declaration: x must be an integer"));
  EXPECT_THAT(problems(R"({"x": {"max_length": -1}})"), ElementsAre(HasSubstr("max_length must be a non-negative integer")));
  EXPECT_THAT(problems(R"({"x": {"min_length": 5, "max_length": 4}})"), ElementsAre(HasSubstr("min_length 5 is greater")));
  EXPECT_THAT(problems(R"({"x": {"min_length": 5000}})"), ElementsAre(HasSubstr("max_length 4096")));
  EXPECT_THAT(problems(R"({"x": {"type": "integer", "min": "1"}})"), ElementsAre(HasSubstr("min must be a finite number")));
  EXPECT_THAT(problems(R"({"x": {"type": "integer", "min": 5, "max": 1}})"), ElementsAre(HasSubstr("min 5 is greater than max 1")));
  // Limits that could never apply to the type are mistakes, not silently ignored.
  EXPECT_THAT(problems(R"({"x": {"min": 1}})"), ElementsAre(HasSubstr("min applies only to integer and number")));
  EXPECT_THAT(problems(R"({"x": {"type": "integer", "pattern": "[0-9]+"}})"),
              ElementsAre(HasSubstr("pattern applies only to string")));
}

}  // namespace
}  // namespace portico
