#include "linvoro_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>

size_t Utf8SequenceLength(std::string_view text, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char c = b(0);
  const size_t left = text.size() - i;
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  const auto cont = [&](size_t k) { return k < left && (b(k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) {
    if (!cont(1)) return 0;
    cp = ((c & 0x1Fu) << 6) | (b(1) & 0x3Fu);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    cp = ((c & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    cp = ((c & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
    return 4;
  }
  return 0;
}

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

void AppendEscape(std::string& out, uint32_t cp) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

}  // namespace

namespace {

// Printable ASCII that goes into a JSON string as it is.
constexpr bool PlainByte(unsigned char c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&';
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    // Most text needs no escape: runs of it go in at once.
    size_t plain = i;
    while (plain < text.size() && PlainByte(static_cast<unsigned char>(text[plain]))) ++plain;
    if (plain > i) {
      out.append(text.data() + i, plain - i);
      i = plain;
      if (i == text.size()) break;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      uint32_t cp = 0;
      const size_t n = Utf8SequenceLength(text, i, cp);
      if (n == 0) {
        out += kReplacement;
        ++i;
      } else if (cp == 0x2028 || cp == 0x2029) {
        AppendEscape(out, cp);
        i += n;
      } else {
        out.append(text.data() + i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '<':
      case '>':
      case '&': AppendEscape(out, c); break;
      default:
        if (c < 0x20 || c == 0x7F)
          AppendEscape(out, c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
}

std::string JsonString(std::string_view text) {
  std::string s;
  AppendJsonString(s, text);
  return s;
}

void AppendUtf8(std::string& out, uint32_t cp) {
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
}

void AppendJsonNumber(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out += "null";
    return;
  }
  if (x == 0) {  // also -0, which JSON readers would keep as a float
    out += '0';
    return;
  }
  char buf[32];
  // A number of at most seven decimals between 1 and 10^5 (a coordinate in
  // degrees, a distance to the centimetre) comes out of the shortest form
  // as those decimals: no other decimal as short lies within its double's
  // rounding there (a unit in the last place is below 2^-35), and the
  // exponent form is never shorter. Written directly, as std::to_chars is
  // several times slower and the findings hold millions of them.
  const double a = std::fabs(x);
  if (a >= 1 && a < 1e5) {
    const int64_t k = std::llround(a * 1e7);
    if (static_cast<double>(k) / 1e7 == a) {
      char* p = buf;
      if (x < 0) *p++ = '-';
      p = std::to_chars(p, buf + sizeof buf, k / 10000000).ptr;
      int64_t frac = k % 10000000;
      if (frac != 0) {
        int digits = 7;
        while (frac % 10 == 0) {
          frac /= 10;
          --digits;
        }
        *p++ = '.';
        for (int d = digits - 1; d >= 0; --d) {
          p[d] = static_cast<char>('0' + frac % 10);
          frac /= 10;
        }
        p += digits;
      }
      out.append(buf, p);
      return;
    }
  }
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  out.append(buf, r.ptr);
}

void AppendJsonInt(std::string& out, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

