#pragma once
// Text forms shared by every message and result: the quoted form of a value,
// plain decimal numbers, path joining, UTF-8 decoding, Base64 and UUIDs.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace portico {

// A value as messages embed it: 'text' (or "text" when it holds a single quote
// and no double quote) with \\, \', \t, \n, \r, \xNN, \uNNNN escapes; None,
// True, False; numbers in plain decimal; sequences and maps as [..] / {..}.
std::string quoted(const Value& v);
std::string quoted(std::string_view text);
// Exact-match overloads so unqualified calls never pick std::quoted through ADL.
inline std::string quoted(const std::string& text) { return quoted(std::string_view(text)); }
inline std::string quoted(const char* text) { return quoted(std::string_view(text)); }
inline std::string quoted(std::string& text) { return quoted(std::string_view(text)); }

// An integer's digits; a float's shortest round-trip form that always shows a
// decimal point or an exponent (1.0, 0.25, 1e-05, 1e+16, inf, nan).
std::string plain_decimal(const Value& number);
std::string plain_decimal(double d);

// A-Z to a-z; every other byte as it is (keywords and settings are ASCII).
std::string ascii_lower(std::string_view text);

// Text form used in templates and environments: text unchanged, booleans as
// "true"/"false", numbers in plain decimal, null as the empty text, sequences
// and maps as compact JSON.
std::string text_form(const Value& v);

// Joins with "/"; a component that starts with "/" replaces what precedes it.
std::string path_join(std::initializer_list<std::string_view> parts);

// Strict decoding: absent when the bytes are not valid UTF-8.
std::optional<std::string> decode_utf8_strict(std::string_view bytes);
// Lenient decoding: every maximal invalid subsequence becomes U+FFFD.
std::string decode_utf8_replace(std::string_view bytes);
bool is_utf8(std::string_view bytes);
// decode_utf8_replace that hands valid bytes back as they are, without a copy.
std::string to_utf8(std::string bytes);
// CR LF and lone CR become LF.
void normalize_newlines_in_place(std::string& text);

// Appends the Base64 form of `bytes` to `out` without a temporary.
void base64_append(std::string& out, std::string_view bytes);
// Absent on any character outside the alphabet or bad padding.
std::optional<std::string> base64_decode(std::string_view text);

// Random (version 4) UUID: "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
std::string uuid4();
// The same, as 32 lower-case hexadecimal digits without dashes.
std::string uuid4_hex();
// True for the canonical form of any UUID (lower or upper case).
bool is_uuid(std::string_view text);

}  // namespace portico
