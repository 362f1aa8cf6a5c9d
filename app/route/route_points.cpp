#include "route_points.h"

#include <charconv>
#include <cmath>

std::string TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

bool ParseDecimal(std::string_view s, double& v) {
  if (s.empty()) return false;
  const char* b = s.data();
  const char* end = s.data() + s.size();
  if (*b == '+') ++b;
  const auto r = std::from_chars(b, end, v);
  return r.ec == std::errc() && r.ptr == end && std::isfinite(v);
}

bool ParseLatLon(std::string_view text, TFloatPoint& p) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos || text.find(',', comma + 1) != std::string_view::npos) return false;
  double lat, lon;
  if (!ParseDecimal(TrimBlanks(text.substr(0, comma)), lat) || !ParseDecimal(TrimBlanks(text.substr(comma + 1)), lon))
    return false;
  if (std::fabs(lat) > 90 || std::fabs(lon) > 180) return false;
  p = {lon, lat};
  return true;
}
