// Small UTF-8 helpers shared by the tests that check where text is cut.
#pragma once

#include <string>

// The first n characters of UTF-8 text.
inline std::string FirstChars(const std::string& s, size_t n) {
  size_t end = 0;
  for (; end < s.size() && n > 0; --n)
    do ++end;
    while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80);
  return s.substr(0, end);
}
