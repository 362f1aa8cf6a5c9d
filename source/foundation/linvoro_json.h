// JSON text written by every part of the program that writes JSON: the
// report page's data, the findings file and the routes. A name anyone may
// have given a road comes out as text whatever bytes it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4) and its code
// point; 0 when the bytes there are not one: overlong forms, surrogates and
// values beyond U+10FFFF are not.
size_t Utf8SequenceLength(std::string_view text, size_t i, uint32_t& cp);

// The UTF-8 bytes of code point cp (at most U+10FFFF).
void AppendUtf8(std::string& out, uint32_t cp);

// A JSON string literal (quotes included) of text that should be UTF-8.
// Quotes, backslashes and control characters are escaped; "<", ">" and "&"
// as \u003c, \u003e and \u0026, so that no "</script" or "<!--" can end or
// change a script element that embeds the JSON; U+2028 and U+2029 (line
// ends to a script, not to JSON) as escapes; bytes that are not UTF-8 as
// U+FFFD.
void AppendJsonString(std::string& out, std::string_view text);
std::string JsonString(std::string_view text);

// A JSON number with the fewest digits that read back as the same double;
// integers without a fraction; "null" for NaN and infinities, which JSON
// cannot hold.
void AppendJsonNumber(std::string& out, double x);
void AppendJsonInt(std::string& out, int64_t v);
