#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <set>

#include "common/internal.h"
#include "common/text.h"

namespace portico {
namespace {

TEST(QuotedForm, ChoosesQuoteCharacterLikeAReader) {
  EXPECT_EQ(quoted("build"), "'build'");
  EXPECT_EQ(quoted("it's"), "\"it's\"");
  EXPECT_EQ(quoted("say \"hi\""), "'say \"hi\"'");
  // Both kinds: single quotes enclose and the inner single quote is escaped.
  EXPECT_EQ(quoted("it's \"x\""), "'it\\'s \"x\"'");
  EXPECT_EQ(quoted(""), "''");
}

TEST(QuotedForm, EscapesWhatAReaderCannotSee) {
  EXPECT_EQ(quoted("a\\b"), "'a\\\\b'");
  EXPECT_EQ(quoted("a\tb\nc\rd"), "'a\\tb\\nc\\rd'");
  EXPECT_EQ(quoted(std::string("nul\0x", 5)), "'nul\\x00x'");
  EXPECT_EQ(quoted("\x1b[31m"), "'\\x1b[31m'");
  EXPECT_EQ(quoted("\x7f"), "'\\x7f'");
  EXPECT_EQ(quoted("caf\xc3\xa9"), "'caf\xc3\xa9'");         // printable non-ASCII stays
  EXPECT_EQ(quoted("a\xc2\xa0" "b"), "'a\\xa0b'");            // no-break space
  EXPECT_EQ(quoted("x\xe2\x80\xa8y"), "'x\\u2028y'");          // line separator
  EXPECT_EQ(quoted("\xff\xfe"), "'\\xff\\xfe'");              // bytes that are not UTF-8
}

std::string utf8(uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

std::string escape(uint32_t cp) {
  char buf[16];
  if (cp < 0x100) std::snprintf(buf, sizeof buf, "\\x%02x", cp);
  else if (cp < 0x10000) std::snprintf(buf, sizeof buf, "\\u%04x", cp);
  else std::snprintf(buf, sizeof buf, "\\U%08x", cp);
  return buf;
}

// Format characters, unassigned code points and tags that a hand-made list missed.
TEST(QuotedForm, FormatAndUnassignedCharactersAreEscaped) {
  for (uint32_t cp : {0x061Cu, 0x180Eu, 0x0600u, 0x0605u, 0x06DDu, 0x070Fu, 0x0378u, 0x2065u, 0xE0001u, 0xE0020u,
                      0xE007Fu, 0x10FFFFu, 0x30000u - 2})
    EXPECT_EQ(quoted("a" + utf8(cp) + "b"), "'a" + escape(cp) + "b'") << std::hex << cp;
  for (uint32_t cp : {0x3042u, 0x1F600u, 0x0300u, 0x20ACu})  // hiragana, emoji, combining mark, euro sign
    EXPECT_EQ(quoted(utf8(cp)), "'" + utf8(cp) + "'") << std::hex << cp;
}

// Every code point against the general category that UnicodeData.txt gives it
// (unlisted ones are unassigned, Cn): Other and Separator are escaped, save the space.
TEST(QuotedForm, EveryCodePointFollowsTheUnicodeCharacterDatabase) {
  std::ifstream in(PORTICO_UNICODE_DATA);
  ASSERT_TRUE(in) << PORTICO_UNICODE_DATA;
  std::vector<std::string> category(0x110000, "Cn");
  std::string line;
  uint32_t range_start = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    for (size_t start = 0, semi;; start = semi + 1) {
      semi = line.find(';', start);
      fields.push_back(line.substr(start, semi - start));
      if (semi == std::string::npos) break;
    }
    ASSERT_GE(fields.size(), 3u) << line;
    const uint32_t cp = std::stoul(fields[0], nullptr, 16);
    if (fields[1].ends_with(", First>")) {
      range_start = cp;
      continue;
    }
    const uint32_t first = fields[1].ends_with(", Last>") ? range_start : cp;
    for (uint32_t c = first; c <= cp; ++c) category[c] = fields[2];
  }
  ASSERT_EQ(category[0x41], "Lu");
  size_t failures = 0;
  for (uint32_t cp = 0; cp < 0x110000; ++cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == '\\' || cp == '\'' || cp == '\t' || cp == '\n' || cp == '\r') continue;
    const char kind = category[cp][0];
    const bool hidden = (kind == 'C' || kind == 'Z') && cp != ' ';
    const std::string got = quoted(utf8(cp));
    const std::string want = "'" + (hidden ? escape(cp) : utf8(cp)) + "'";
    if (got != want) {
      ADD_FAILURE() << "U+" << std::hex << cp << " (" << category[cp] << "): " << got;
      if (++failures > 20) break;
    }
  }
}

TEST(QuotedForm, NonTextValues) {
  EXPECT_EQ(quoted(Value(nullptr)), "None");
  EXPECT_EQ(quoted(Value(true)), "True");
  EXPECT_EQ(quoted(Value(false)), "False");
  EXPECT_EQ(quoted(Value(42)), "42");
  EXPECT_EQ(quoted(Value(-7)), "-7");
  EXPECT_EQ(quoted(Value(2.5)), "2.5");
  EXPECT_EQ(quoted(Value(std::string("x"))), "'x'");
  EXPECT_EQ(quoted(Value::parse(R"(["a", 1, null])")), "['a', 1, None]");
  EXPECT_EQ(quoted(Value::parse(R"({"k": "v", "n": true})")), "{'k': 'v', 'n': True}");
}

TEST(PlainDecimal, IntegersStayIntegers) {
  EXPECT_EQ(plain_decimal(Value(0)), "0");
  EXPECT_EQ(plain_decimal(Value(-12)), "-12");
  EXPECT_EQ(plain_decimal(Value(std::numeric_limits<long long>::min())), "-9223372036854775808");
  EXPECT_EQ(plain_decimal(Value(18446744073709551615ULL)), "18446744073709551615");
}

TEST(PlainDecimal, FloatsUseShortestRoundTripForm) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},       {0.25, "0.25"},       {2.5, "2.5"},          {1e-05, "1e-05"},
      {0.0001, "0.0001"}, {0.1, "0.1"},         {100.0, "100.0"},      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},             {-0.5, "-0.5"},        {0.0, "0.0"},
      {-0.0, "-0.0"},     {1.5e300, "1.5e+300"}, {123456.789, "123456.789"},
      {0.1 + 0.2, "0.30000000000000004"},       {5e-324, "5e-324"},
  };
  for (const auto& [d, text] : cases) EXPECT_EQ(plain_decimal(d), text) << text;
  EXPECT_EQ(plain_decimal(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(plain_decimal(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(plain_decimal(std::nan("")), "nan");
  EXPECT_THROW(plain_decimal(Value("1")), std::invalid_argument);
}

TEST(TextForm, ScalarsAndContainers) {
  EXPECT_EQ(text_form(Value(true)), "true");
  EXPECT_EQ(text_form(Value(false)), "false");
  EXPECT_EQ(text_form(Value(3)), "3");
  EXPECT_EQ(text_form(Value(0.5)), "0.5");
  EXPECT_EQ(text_form(Value(nullptr)), "");
  EXPECT_EQ(text_form(Value("as is")), "as is");
  EXPECT_EQ(text_form(Value::parse(R"([1,"a"])")), R"([1,"a"])");
}

TEST(PathJoin, AbsoluteComponentReplacesWhatPrecedes) {
  EXPECT_EQ(path_join({"/tmp/portico", "abc"}), "/tmp/portico/abc");
  EXPECT_EQ(path_join({"/tmp/portico/", "abc"}), "/tmp/portico/abc");
  EXPECT_EQ(path_join({"/tmp/portico", "/etc/passwd"}), "/etc/passwd");
  EXPECT_EQ(path_join({"/a", "b", "/c", "d"}), "/c/d");
  EXPECT_EQ(path_join({"", "b"}), "b");
  EXPECT_EQ(path_join({"a", ""}), "a/");
}

TEST(Utf8, StrictRejectsEveryMalformedShape) {
  EXPECT_EQ(decode_utf8_strict("plain"), "plain");
  EXPECT_EQ(decode_utf8_strict("\xe2\x82\xac"), "\xe2\x82\xac");
  EXPECT_EQ(decode_utf8_strict("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
  for (const char* bad : {"\x80", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"})
    EXPECT_FALSE(decode_utf8_strict(bad).has_value()) << bad;
}

TEST(Utf8, ReplacementMarksEachMaximalInvalidPart) {
  EXPECT_EQ(decode_utf8_replace("a\xff" "b"), "a\xef\xbf\xbd" "b");
  // A truncated 3-byte sequence is one replacement, not two.
  EXPECT_EQ(decode_utf8_replace("\xe2\x82" "x"), "\xef\xbf\xbdx");
  EXPECT_EQ(decode_utf8_replace("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(decode_utf8_replace("ok \xe2\x82\xac"), "ok \xe2\x82\xac");
}

TEST(Newlines, CrLfAndLoneCrBecomeLf) {
  EXPECT_EQ(normalize_newlines("a\r\nb\rc\n\r\n"), "a\nb\nc\n\n");
  EXPECT_EQ(normalize_newlines("\r"), "\n");
  EXPECT_EQ(normalize_newlines("\r\r\n"), "\n\n");
}

TEST(AsciiLower, OnlyLettersAToZChange) {
  EXPECT_EQ(ascii_lower("On-Start_ALWAYS 1.0"), "on-start_always 1.0");
  EXPECT_EQ(ascii_lower("\xC3\x89T\xC3\xA9"), "\xC3\x89t\xC3\xA9");  // UTF-8 bytes untouched
}

TEST(Base64, AppendKeepsWhatIsThereAndMatchesWholeEncoding) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  // Appending three-byte-aligned chunks gives the same text as encoding at once.
  std::string out = "prefix:";
  for (size_t at = 0; at < all.size(); at += 39) base64_append(out, std::string_view(all).substr(at, 39));
  EXPECT_EQ(out, "prefix:" + base64_encode(all));
  std::string tail = "x";
  base64_append(tail, "fo");
  EXPECT_EQ(tail, "xZm8=");
  base64_append(tail, "");
  EXPECT_EQ(tail, "xZm8=");
}

TEST(Base64, RoundTripsAllLengthsAndBytes) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64_encode("\xfb\xff"), "+/8=");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t n = 0; n <= all.size(); n += 37) {
    const std::string part = all.substr(0, n);
    const std::string enc = base64_encode(part);
    EXPECT_EQ(enc.find('\n'), std::string::npos);
    EXPECT_EQ(base64_decode(enc), part);
  }
  EXPECT_FALSE(base64_decode("Zg=").has_value());
  EXPECT_FALSE(base64_decode("Z===").has_value());
  EXPECT_FALSE(base64_decode("Zg==Zg==").has_value());
  EXPECT_FALSE(base64_decode("Zm9-").has_value());
}

TEST(Uuid, Version4InBothForms) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string u = uuid4();
    ASSERT_EQ(u.size(), 36u);
    EXPECT_TRUE(is_uuid(u));
    EXPECT_EQ(u[14], '4');
    EXPECT_NE(std::string("89ab").find(u[19]), std::string::npos);
    EXPECT_EQ(u, Value(u).get<std::string>());
    seen.insert(u);
    const std::string h = uuid4_hex();
    EXPECT_EQ(h.size(), 32u);
    EXPECT_EQ(h.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_FALSE(is_uuid("../../etc/passwd-xxxxxxxxxxxxxxxxxxx"));
}

}  // namespace
}  // namespace portico
