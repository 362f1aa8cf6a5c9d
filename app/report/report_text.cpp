#include "report_text.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      uint32_t cp = 0;
      const size_t n = Utf8SequenceLength(text, i, cp);
      if (n == 0) {
        out += kReplacement;
        ++i;
      } else {
        // C1 controls stay as they are: as references HTML would read them
        // as Windows-1252 characters.
        out.append(text.data() + i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\t':
      case '\n':
      case '\r': out += static_cast<char>(c); break;
      case 0: out += kReplacement; break;  // HTML holds no NUL
      default:
        if (c < 0x20 || c == 0x7F) {
          // A reference keeps the character in the page's text.
          out += "&#";
          out += std::to_string(c);
          out += ';';
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out;
}

std::string JsonAsAscii(std::string_view json) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(json.size() + json.size() / 16);
  const auto escape = [&out](uint32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 15];
  };
  size_t i = 0;
  while (i < json.size()) {
    // Runs of ASCII as they are.
    size_t ascii = i;
    while (ascii < json.size() && static_cast<unsigned char>(json[ascii]) < 0x80) ++ascii;
    out.append(json.data() + i, ascii - i);
    i = ascii;
    if (i == json.size()) break;
    uint32_t cp = 0;
    const size_t n = Utf8SequenceLength(json, i, cp);
    if (n == 0) {
      escape(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      escape(0xD800 + (cp >> 10));
      escape(0xDC00 + (cp & 0x3FF));
    } else {
      escape(cp);
    }
    i += n;
  }
  return out;
}

void AppendBase64(std::string& out, std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  out.reserve(out.size() + (n + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < n) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
}
