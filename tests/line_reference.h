// How the OSM line reader must split a text: the reference its tests
// compare every reader (plain or compressed, any buffer size) against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TLine {
  std::string text;
  int64_t next;  // offset of the following line's start
};

// CR, LF and CR LF end a line; a last line without an end still counts.
inline std::vector<TLine> ReferenceLines(const std::string& s) {
  std::vector<TLine> out;
  size_t b = 0, i = 0;
  while (i < s.size()) {
    if (s[i] == '\n' || s[i] == '\r') {
      size_t next = i + 1;
      if (s[i] == '\r' && next < s.size() && s[next] == '\n') ++next;
      out.push_back({s.substr(b, i - b), static_cast<int64_t>(next)});
      b = i = next;
    } else {
      ++i;
    }
  }
  if (b < s.size()) out.push_back({s.substr(b), static_cast<int64_t>(s.size())});
  return out;
}
