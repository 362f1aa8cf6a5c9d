// Text forms of the report files: HTML escaping, and the compact integer
// encodings of the report page's data. Its JSON is linvoro_json's.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "linvoro_json.h"  // the JSON strings and numbers of the report files

// Text for HTML element content and attribute values: & < > " ' escaped,
// C0 control characters other than tab and line breaks as character
// references (which keep them in the page's text), NUL and bytes that are
// not UTF-8 as U+FFFD.
std::string HtmlEscape(std::string_view text);

// JSON text (as AppendJsonString writes it) with every character beyond
// ASCII as a \u escape (a surrogate pair above U+FFFF), bytes that are not
// UTF-8 as \ufffd. The same value to a JSON reader; to a browser a page of
// ASCII text only, which it decodes and parses many times faster than one
// with a single character beyond it.
std::string JsonAsAscii(std::string_view json);

// Base64 (standard alphabet, padded).
void AppendBase64(std::string& out, std::string_view bytes);

// Unsigned LEB128 varint, and zigzag for signed values: small magnitudes of
// either sign take one byte.
inline void AppendVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}
inline void AppendZigzag(std::string& out, int64_t v) {
  AppendVarint(out, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
}

// A longitude or latitude in units of 1e-7 degrees, OSM's own resolution:
// every node coordinate read from OSM data is such an integer exactly.
// Values beyond any coordinate (and NaN) give 0.
inline int64_t E7(double degrees) {
  const double v = degrees * 1e7;
  if (!(v > -4e9 && v < 4e9)) return 0;
  return static_cast<int64_t>(std::nearbyint(v));
}
