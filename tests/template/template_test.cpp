#include "template/template.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

namespace portico {
namespace {

using ::testing::HasSubstr;

const TemplateEngine engine;

std::string render(const std::string& text, const Value& params) { return engine.render(text, params); }

// The message of the TemplateError that rendering raises, or "" when none.
std::string render_error(const std::string& text, const Value& params,
                         const std::optional<std::string>& run_dir = std::nullopt, bool with_run_dir = false) {
  try {
    if (with_run_dir) engine.render(text, params, run_dir);
    else engine.render(text, params);
  } catch (const TemplateError& e) {
    return e.what();
  }
  return "";
}

// What /bin/sh writes to standard output for `command`.
std::string run_shell(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) throw std::runtime_error("popen failed");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  return out;
}

TEST(TemplateTest, TextFormsOfValues) {
  const Value params = {{"s", "abc"},  {"i", 42},       {"neg", -7},   {"f", 0.25},   {"one", 1.0},
                        {"tiny", 1e-05}, {"t", true},    {"no", false}, {"nil", nullptr},
                        {"list", {1, "a"}}, {"map", {{"k", "v"}}}};
  EXPECT_EQ(render("{{s}} {{i}} {{neg}} {{f}} {{one}} {{tiny}}", params), "abc 42 -7 0.25 1.0 1e-05");
  EXPECT_EQ(render("[{{t}}|{{no}}|{{nil}}]", params), "[true|false|]");
  EXPECT_EQ(render("{{list}} {{map}}", params), R"([1,"a"] {"k":"v"})");
}

TEST(TemplateTest, WhitespaceInsideTagsIsOptional) {
  const Value params = {{"name", "it's"}};
  EXPECT_EQ(render("{{name}}|{{ name }}|{{  name|shell }}|{{\tname |json}}", params),
            R"(it's|it's|'it'\''s'|"it's")");
}

TEST(TemplateTest, TextOutsideTagsIsCopiedExactly) {
  const Value params = {{"x", "X"}};
  EXPECT_EQ(render("a { b } c {x} }} ", params), "a { b } c {x} }} ");
  EXPECT_EQ(render("{ {{x}}} {", params), "{ X} {");
  EXPECT_EQ(render(std::string("\xFF\0\n{{x}}\r\n", 10), params), std::string("\xFF\0\nX\r\n", 6));
}

TEST(TemplateTest, JsonFilterKeepsUtf8AndTypes) {
  const Value params = {{"s", "h\xC3\xA9 \"q\"\n"}, {"n", 3}, {"nil", nullptr}, {"obj", {{"a", {1, 2.5}}}}};
  EXPECT_EQ(render("{{ s | json }}", params), "\"h\xC3\xA9 \\\"q\\\"\\n\"");
  EXPECT_EQ(render("{{n|json}} {{nil|json}} {{obj|json}}", params), R"(3 null {"a":[1,2.5]})");
  EXPECT_THAT(render_error("{{ s | json }}", {{"s", "bad\xFF"}}), HasSubstr("'s'"));
}

TEST(TemplateTest, ShellFilterUsesTextForm) {
  const Value params = {{"e", ""}, {"n", 5}, {"b", false}, {"nil", nullptr}, {"l", {"a b"}}};
  EXPECT_EQ(render("{{e|shell}} {{n|shell}} {{b|shell}} {{nil|shell}} {{l|shell}}", params),
            R"('' '5' 'false' '' '["a b"]')");
}

TEST(TemplateTest, ShellQuotedValuesSurviveARealShell) {
  const std::vector<std::string> hostile = {
      "it's",        "say \"hi\"",    "$(id)",          "`id`",         "a; rm -rf /tmp/x",
      "true && id",  "line1\nline2\n", "tab\there",      "*",            "?",
      "/etc/*",      "-n",             "--help",         "h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9F\x98\x80",
      "",            "'",              "''",             "\\'\\",         "$HOME ${PATH} $1 $@",
      "a|b>c<d&e",   "~root",          "#comment",       " lead and trail ", "!event"};
  for (const auto& v : hostile) {
    const std::string cmd = render("printf '%s' {{ v | shell }}", {{"v", v}});
    EXPECT_EQ(run_shell(cmd), v) << "command: " << cmd;
  }
}

TEST(TemplateTest, ShellQuoteRejectsNul) {
  EXPECT_EQ(shell_quote(""), "''");
  EXPECT_EQ(shell_quote("'"), R"(''\''')");
  EXPECT_THROW(shell_quote(std::string_view("a\0b", 3)), TemplateError);
  const Value params = {{"v", std::string("a\0b", 3)}};
  EXPECT_THAT(render_error("x {{v|shell}}", params), HasSubstr("'v'"));
  // Without the filter the bytes are the caller's business.
  EXPECT_EQ(render("{{v}}", params), std::string("a\0b", 3));
}

TEST(TemplateTest, Sections) {
  const Value params = {{"yes", true}, {"no", false}, {"zero", 0},   {"fzero", 0.0}, {"empty", ""},
                        {"nil", nullptr}, {"list", Value::array()}, {"text", "x"}, {"num", 2}};
  EXPECT_EQ(render("a{{#yes}}Y{{/yes}}{{^yes}}N{{/yes}}b", params), "aYb");
  for (const char* falsy : {"no", "zero", "fzero", "empty", "nil", "list"}) {
    const std::string f = falsy;
    EXPECT_EQ(render("{{#" + f + "}}T{{/" + f + "}}{{^" + f + "}}F{{/" + f + "}}", params), "F") << f;
  }
  EXPECT_EQ(render("{{#text}}{{#num}}[{{text}}{{num}}]{{/num}}{{^no}}!{{/no}}{{/text}}", params), "[x2]!");
  // A skipped outer section hides an inner one whatever its value.
  EXPECT_EQ(render("{{#no}}{{#yes}}A{{/yes}}{{/no}}{{^yes}}{{^no}}B{{/no}}{{/yes}}.", params), ".");
}

TEST(TemplateTest, MalformedTemplatesAreRejected) {
  const Value params = {{"a", 1}, {"b", 2}};
  EXPECT_EQ(render_error("{{ foo }}", params), "unknown template variable 'foo'");
  EXPECT_THAT(render_error("{{ a | upper }}", params), HasSubstr("unknown template filter 'upper'"));
  EXPECT_THAT(render_error("x {{ a ", params), HasSubstr("unclosed template tag"));
  EXPECT_THAT(render_error("{{#a}}x", params), HasSubstr("unclosed template section 'a'"));
  EXPECT_THAT(render_error("{{#a}}{{#b}}{{/a}}{{/b}}", params), HasSubstr("'b' closed as 'a'"));
  EXPECT_THAT(render_error("{{/a}}", params), HasSubstr("'a'"));
  for (const char* bad : {"{{}}", "{{ }}", "{{ a b }}", "{{ 1a }}", "{{ a.b }}", "{{ a | }}", "{{ | shell }}",
                          "{{ a | shell | json }}", "{{{a}}}", "{{#}}", "{{/ }}", "{{ a-b }}", "{{!a}}"}) {
    EXPECT_NE(render_error(bad, params), "") << bad;
  }
}

TEST(TemplateTest, UnknownNamesFailEvenInSkippedSections) {
  const Value params = {{"off", false}};
  EXPECT_EQ(render_error("{{#off}}{{ typo }}{{/off}}", params), "unknown template variable 'typo'");
  EXPECT_EQ(render_error("{{#missing}}{{/missing}}", params), "unknown template variable 'missing'");
  EXPECT_THAT(render_error("{{#off}}{{ off | nope }}{{/off}}", params), HasSubstr("'nope'"));
}

TEST(TemplateTest, ParametersMayBeNullOrEmpty) {
  EXPECT_EQ(render("plain", Value(nullptr)), "plain");
  EXPECT_EQ(render("plain", Value::object()), "plain");
  EXPECT_EQ(render_error("{{x}}", Value(nullptr)), "unknown template variable 'x'");
  EXPECT_NE(render_error("x", Value::array()), "");
}

TEST(TemplateTest, RunDir) {
  const Value params = {{"p", "v"}};
  EXPECT_EQ(engine.render("cd {{run_dir|shell}} && {{p}}", params, std::string("/srv/run it's")),
            R"(cd '/srv/run it'\''s' && v)");
  EXPECT_EQ(engine.render("[{{run_dir}}]{{^run_dir}}none{{/run_dir}}", params, std::nullopt), "[]none");
  EXPECT_EQ(engine.render("{{run_dir}}", {{"run_dir", "param"}}, std::string("/real")), "/real");
  // Without a run directory only a parameter can supply the name.
  EXPECT_EQ(render_error("{{run_dir}}", params), "unknown template variable 'run_dir'");
  EXPECT_EQ(render("{{run_dir}}", {{"run_dir", "param"}}), "param");
}

}  // namespace
}  // namespace portico
