#include "linvoro_functions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

#include "linvoro_platform.h"
#undef EOF  // the reader has a method of that name
#include "linvoro_textfilereader.h"

// ---------------------------------------------------------------- numbers and text

namespace {

// Sign and digits as described in the header; magnitude at most limit
// (limit + 1 for a negative value).
bool TryParseInteger(std::string_view text, uint64_t limit, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  const uint64_t max = negative ? limit + 1 : limit;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    const unsigned d = static_cast<unsigned char>(text[i]) - '0';
    if (d > 9 || v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

// Unsigned text of up to 18 digits, which cannot overflow: the ids of every
// OSM line take this path, which needs no sign or limit test per digit.
inline bool TryShortDigits(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  uint64_t v = 0;
  for (const char c : text) {
    const unsigned d = static_cast<unsigned char>(c) - '0';
    if (d > 9) return false;
    v = v * 10 + d;
  }
  value = static_cast<int64_t>(v);
  return true;
}

}  // namespace

void RaiseNotAnInteger(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

bool TryParseInt32(std::string_view text, int32_t& value) {
  int64_t v;
  if (!TryParseInteger(text, INT32_MAX, v)) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool TryParseInt64(std::string_view text, int64_t& value) {
  return TryShortDigits(text, value) || TryParseInteger(text, INT64_MAX, value);
}

int32_t ParseInt32(std::string_view text) {
  int32_t v;
  if (!TryParseInt32(text, v)) RaiseNotAnInteger(text);
  return v;
}

int64_t ParseInt64(std::string_view text) {
  int64_t v;
  if (!TryShortDigits(text, v) && !TryParseInteger(text, INT64_MAX, v)) RaiseNotAnInteger(text);
  return v;
}

double NumericPrefix(std::string_view text) {
  const char* s = text.data();
  const char* end = s + text.size();
  while (s < end && *s == ' ') ++s;
  const char* start = s;
  if (s < end && (*s == '+' || *s == '-')) {
    if (*s == '+') ++start;  // from_chars takes no "+"
    ++s;
  }
  // A digit must come first (or right after the point); this also keeps
  // from_chars away from "inf" and "nan", which are no numbers here.
  const bool digitFirst = s < end && *s >= '0' && *s <= '9';
  // (end - s, not s + 1: an empty view may carry a null pointer.)
  const bool pointDigit = end - s >= 2 && *s == '.' && s[1] >= '0' && s[1] <= '9';
  if (!digitFirst && !pointDigit) return 0;
  // from_chars takes the longest valid prefix, which is exactly the form
  // accepted here (an incomplete exponent is left out).
  double value = 0;
  auto r = std::from_chars(start, end, value, std::chars_format::general);
  if (r.ec != std::errc()) return 0;  // out of range: no usable value
  return value;
}

namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The 15 significant digits of a in [1e-5, 1e15) without a general
// conversion: a * 10^k is brought into [1e14, 1e15) and rounded to an
// integer. The product is off by at most 1/16 from the exact one, so the
// rounding is right unless the exact fraction could lie near one half; then,
// and outside the range, the caller takes the general path. A value with at
// most 15 significant digits comes out exactly, because its decimal times
// 10^k is an integer that the product misses by far less than one half.
// Returns false when it cannot decide.
bool FifteenDigits(double a, char* digits, int& nd, int& exp) {
  if (!(a >= 1e-5 && a < 1e15)) return false;
  uint64_t bits;
  std::memcpy(&bits, &a, sizeof(bits));
  const int e2 = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
  int e10 = (e2 * 78913) >> 18;  // floor(e2 * log10(2)), exact to within one
  int k = 14 - e10;
  if (k < 0) k = 0;
  if (k > 22) k = 22;
  double p = a * kPow10[k];
  while (p >= 1e15 && k > 0) p = a * kPow10[--k];
  while (p < 1e14 && k < 22) p = a * kPow10[++k];
  if (p < 1e14 || p >= 1e15) return false;
  // p < 2^52: adding 2^52 rounds it to an integer (ties to even).
  const double r = (p + 4503599627370496.0) - 4503599627370496.0;
  const double off = std::fabs(p - r);
  if (off > 0.375 && r / kPow10[k] != a) return false;  // too close to a tie
  uint64_t n = static_cast<uint64_t>(r);
  exp = 14 - k;
  if (n >= 1000000000000000ULL) {  // rounded up into the next decade
    n /= 10;
    ++exp;
  }
  // 15 digits, most significant first, two at a time.
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  const uint32_t hi = static_cast<uint32_t>(n / 100000000);  // 7 digits
  const uint32_t lo = static_cast<uint32_t>(n % 100000000);  // 8 digits
  // Split into independent 4-digit groups so the divisions do not queue up.
  const uint32_t h1 = hi / 10000, h2 = hi % 10000;  // 3 + 4 digits
  const uint32_t l1 = lo / 10000, l2 = lo % 10000;  // 4 + 4 digits
  digits[0] = static_cast<char>('0' + h1 / 100);
  std::memcpy(digits + 1, kPairs + 2 * (h1 % 100), 2);
  std::memcpy(digits + 3, kPairs + 2 * (h2 / 100), 2);
  std::memcpy(digits + 5, kPairs + 2 * (h2 % 100), 2);
  std::memcpy(digits + 7, kPairs + 2 * (l1 / 100), 2);
  std::memcpy(digits + 9, kPairs + 2 * (l1 % 100), 2);
  std::memcpy(digits + 11, kPairs + 2 * (l2 / 100), 2);
  std::memcpy(digits + 13, kPairs + 2 * (l2 % 100), 2);
  // Trailing zeros from the groups, not by rescanning the text.
  int zeros = 0;
  uint32_t tail = lo;
  if (tail == 0) zeros = 8, tail = hi;  // hi >= 10^6, never 0
  if (tail % 10000 == 0) zeros += 4, tail /= 10000;
  if (tail % 100 == 0) zeros += 2, tail /= 100;
  if (tail % 10 == 0) zeros += 1;
  nd = 15 - zeros;
  return true;
}

}  // namespace

namespace {

// Writes the general-format text of x to p (room for 40 bytes) and returns
// the end.
char* WriteGeneral(char* p, double x) {
  if (x == 0) {  // also -0
    *p++ = '0';
    return p;
  }
  if (!std::isfinite(x)) {
    const char* t = std::isnan(x) ? "NAN" : (x > 0 ? "INF" : "-INF");
    size_t n = std::strlen(t);
    std::memcpy(p, t, n);
    return p + n;
  }

  // Significant digits and decimal exponent (x = d.ddd * 10^exp), rounded
  // to 15 digits.
  // Padded with '0' so that fixed-size copies below may read past nd.
  char digits[32];
  std::memset(digits, '0', sizeof(digits));
  int nd = 0;
  int exp = 0;
  const bool negative = x < 0;
  if (!FifteenDigits(std::fabs(x), digits, nd, exp)) {
    // For normal doubles (53-bit precision) the shortest round-trip form is
    // the 15-digit rounding whenever it has at most 15 digits; only longer
    // ones, and the subnormals with their lost precision, need the slower
    // fixed-precision conversion.
    char sci[48];
    auto r = std::to_chars(sci, sci + sizeof(sci), x, std::chars_format::scientific);
    auto parse = [&](const char* b, const char* e) {
      nd = 0;
      const char* q = b;
      if (*q == '-') ++q;
      for (; q < e && *q != 'e'; ++q)
        if (*q != '.') digits[nd++] = *q;
      ++q;  // 'e'
      std::from_chars(*q == '+' ? q + 1 : q, e, exp);
    };
    parse(sci, r.ptr);
    if (nd > 15 || std::fabs(x) < std::numeric_limits<double>::min()) {
      r = std::to_chars(sci, sci + sizeof(sci), x, std::chars_format::scientific, 14);
      parse(sci, r.ptr);
    }
  }
  while (nd > 1 && digits[nd - 1] == '0') --nd;

  if (negative) *p++ = '-';
  if (exp < -5 || exp >= 15) {
    *p++ = digits[0];
    if (nd > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, nd - 1);
      p += nd - 1;
    }
    *p++ = 'E';
    p = std::to_chars(p, p + 8, exp).ptr;
  } else if (exp >= 0) {
    // Fixed 16-byte copies (the caller's buffer has room); the zero padding
    // of digits supplies the zeros of whole numbers.
    const int intDigits = exp + 1;
    std::memcpy(p, digits, 16);
    p += intDigits;
    if (nd > intDigits) {
      *p++ = '.';
      std::memcpy(p, digits + intDigits, 16);
      p += nd - intDigits;
    }
  } else {
    *p++ = '0';
    *p++ = '.';
    for (int k = -1; k > exp; --k) *p++ = '0';
    std::memcpy(p, digits, 16);
    p += nd;
  }
  return p;
}

// Room for the longest fixed text: 309 integer digits, sign, point and up to
// 10 decimals.
constexpr size_t kFixedBuffer = 352;

char* WriteFixed(char* p, char* end, double x, int decimals) {
  if (!std::isfinite(x)) {
    const char* t = std::isnan(x) ? "NAN" : (x > 0 ? "INF" : "-INF");
    size_t n = std::strlen(t);
    std::memcpy(p, t, n);
    return p + n;
  }
  if (x == 0) x = 0;  // -0 would print as "-0.00"
  return std::to_chars(p, end, x, std::chars_format::fixed, decimals).ptr;
}

}  // namespace

std::string FormatNumber(double x) {
  char buf[40];
  char* e = WriteGeneral(buf, x);
  return std::string(buf, e);
}

void AppendNumber(std::string& out, double x) {
  char buf[40];
  char* e = WriteGeneral(buf, x);
  out.append(buf, e);
}

void AppendDecimals(std::string& out, double x, int16_t d) {
  if (d < 0) {
    AppendNumber(out, x);
  } else if (d == 0) {
    if (std::fabs(x) < 9.0e15) {
      char buf[24];
      char* e = std::to_chars(buf, buf + sizeof(buf), Round(x)).ptr;
      out.append(buf, e);
    } else {
      // Already integral, and beyond int64 the integer would be clamped.
      char buf[kFixedBuffer];
      char* e = WriteFixed(buf, buf + sizeof(buf), x, 0);
      out.append(buf, e);
    }
  } else {
    char buf[kFixedBuffer];
    char* e = WriteFixed(buf, buf + sizeof(buf), x, std::min<int>(d, 10));
    out.append(buf, e);
  }
}

std::string FormatDecimals(double x, int16_t d) {
  std::string out;
  AppendDecimals(out, x, d);
  return out;
}

void FormatFixed(char* dest, int width, int decimals, double x) {
  if (width <= 0) return;
  // Precision beyond what a double holds only adds zeros; the cap keeps the
  // text inside the buffer.
  decimals = std::clamp(decimals, 0, 400);
  char buf[kFixedBuffer + 400];
  char* e = WriteFixed(buf, buf + sizeof(buf), x, decimals);
  const int len = static_cast<int>(e - buf);
  if (len >= width) {
    std::memcpy(dest, buf, width);
  } else {
    std::memset(dest, ' ', width - len);
    std::memcpy(dest + (width - len), buf, len);
  }
}

std::string TwoDigits(int64_t n) {
  char buf[24];
  char* p = buf;
  if (n >= 0 && n <= 9) *p++ = '0';
  p = std::to_chars(p, buf + sizeof(buf), n).ptr;
  return std::string(buf, p);
}

std::string DurationText(double minutes) {
  // Beyond 2^53 minutes the fraction is meaningless; clamping also keeps the
  // integer conversions defined.
  if (std::isnan(minutes)) minutes = 0;
  minutes = std::clamp(minutes, -9.0e15, 9.0e15);
  const double whole = std::trunc(minutes);
  const int64_t w = static_cast<int64_t>(whole);
  const int64_t h = w / 60;
  const int64_t m = w % 60;
  const int64_t s = static_cast<int64_t>(std::trunc((minutes - whole) * 60));
  std::string out;
  if (h > 0) {
    out.append(std::to_string(h)).append("h ").append(TwoDigits(m)).append("m ");
    out.append(TwoDigits(s)).append("s");
  } else if (m > 0) {
    out.append(std::to_string(m)).append("m ").append(TwoDigits(s)).append("s");
  } else {
    out.append(std::to_string(s)).append("s");
  }
  return out;
}

std::string QuotedDurationText(double minutes) {
  std::string out(1, '"');
  out.append(DurationText(minutes)).push_back('"');
  return out;
}

size_t MaxLength(const std::vector<std::string>& list) {
  size_t best = 0;
  for (const auto& s : list) best = std::max(best, s.size());
  return best;
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  size_t from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity;
    switch (text[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&apos;"; break;
      default: continue;
    }
    out.append(text.data() + from, i - from);
    out.append(entity);
    from = i + 1;
  }
  out.append(text.data() + from, text.size() - from);
  return out;
}

uint32_t StringHash(std::string_view text, uint32_t mask) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  uint32_t h = 0;
  size_t i = 0;
  while (i < n) {
    uint32_t c = s[i];
    size_t len = 1;
    uint32_t min = 0;
    if (c >= 0x80) {
      if (c >= 0xC2 && c <= 0xDF) len = 2, c &= 0x1F, min = 0x80;
      else if (c >= 0xE0 && c <= 0xEF) len = 3, c &= 0x0F, min = 0x800;
      else if (c >= 0xF0 && c <= 0xF4) len = 4, c &= 0x07, min = 0x10000;
      else len = 0;  // stray continuation or invalid lead byte
      if (len > 0 && i + len <= n) {
        for (size_t k = 1; k < len; ++k) {
          if ((s[i + k] & 0xC0) != 0x80) {
            len = 0;
            break;
          }
          c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (len > 0 && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) len = 0;
      } else {
        len = 0;
      }
      if (len == 0) {
        c = 0xFFFD;
        len = 1;
      }
    }
    h = (h * 17u + c) & mask;
    i += len;
  }
  return h;
}

int64_t Round(double x) {
  constexpr double kTwo52 = 4503599627370496.0;  // from here on every double is integral
  const double a = std::fabs(x);
  if (!(a < kTwo52)) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
  }
  // Adding 2^52 leaves no fraction bits, so the addition itself rounds in the
  // default mode, which is to nearest with ties to even.
  const double r = (a + kTwo52) - kTwo52;
  return static_cast<int64_t>(x < 0 ? -r : r);
}

// ---------------------------------------------------------------- code pages

std::string ToCodePage(std::string_view text, int cp) { return Utf8ToCodePage(text, cp); }

// ---------------------------------------------------------------- coordinate-system text

std::string BoundsText(double x1, double y1, double x2, double y2) {
  auto v = [](double x) { return std::fabs(x) < 1e-7 ? 0.0 : x; };
  std::string s = "Bounds (";
  AppendNumber(s, v(x1));
  s += ", ";
  AppendNumber(s, v(y1));
  s += ") (";
  AppendNumber(s, v(x2));
  s += ", ";
  AppendNumber(s, v(y2));
  s += ')';
  return s;
}

std::string ReadFirstLine(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  TTextFileReader reader(path, SystemAnsiCodePage());
  return reader.ReadLine();  // "" for an empty file
}

TCoordinateUnit PrjUnit(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const size_t unit = upper.rfind("UNIT");
  if (unit == std::string::npos) return cuUnknown;
  const size_t q1 = upper.find('"', unit + 4);
  if (q1 == std::string::npos) return cuUnknown;
  const size_t q2 = upper.find('"', q1 + 1);
  if (q2 == std::string::npos) return cuUnknown;
  const std::string_view name(upper.data() + q1 + 1, q2 - q1 - 1);

  struct Entry {
    const char* name;
    TCoordinateUnit unit;
  };
  static constexpr Entry kUnits[] = {
      {"DECIMAL DEGREE", cuDeg},   {"DEGREE", cuDeg},
      {"GRAD", cuGrad},
      {"METER", cuM},              {"METRE", cuM},
      {"CHAIN_BENOIT_1895_B", cuChain}, {"CHAIN_SEARS", cuChain},
      {"FOOT", cuFt},              {"FOOT_BRITISH_1936", cuFt},
      {"FOOT_CLARKE", cuFt},       {"FOOT_GOLD_COAST", cuFt},
      {"FOOT_SEARS", cuFt},        {"FOOT_US", cuFt},
      {"LINK_CLARKE", cuLink},
      {"YARD_INDIAN", cuYard},     {"YARD_INDIAN_1937", cuYard},
      {"YARD_SEARS", cuYard},
  };
  for (const auto& e : kUnits)
    if (name == e.name) return e.unit;
  return cuUnknown;
}

// ---------------------------------------------------------------- geometry

namespace {

inline double Haversine(double lon1, double lat1, double lon2, double lat2) {
  const double a = std::sin((lat1 - lat2) / 2);
  const double b = std::sin((lon1 - lon2) / 2);
  double s = std::sqrt(a * a + std::cos(lat1) * std::cos(lat2) * b * b);
  if (s > 1) s = 1;  // rounding can push it just past 1; sqrt keeps it >= 0
  return 2 * std::asin(s);
}

inline TFloatPoint Scaled(const TFloatPoint& p, double f) { return {p.x * f, p.y * f}; }

double BearingRad(double lon1, double lat1, double lon2, double lat2) {
  const double dl = lon1 - lon2;
  double a = std::atan2(std::sin(dl) * std::cos(lat2),
                        std::cos(lat1) * std::sin(lat2) -
                            std::sin(lat1) * std::cos(lat2) * std::cos(dl));
  constexpr double kTurn = 2 * Pi;
  if (a < 0) a += kTurn;
  if (a >= kTurn) a -= kTurn;  // a tiny negative angle plus a turn can round to a full turn
  return a;
}

inline int32_t IntoCircle(int64_t v) {
  v %= 360;
  if (v < 0) v += 360;
  return static_cast<int32_t>(v);
}

}  // namespace

double GreatCircleAngle(const TFloatPoint& p, const TFloatPoint& q) {
  return Haversine(p.x * DegToRad, p.y * DegToRad, q.x * DegToRad, q.y * DegToRad);
}

double GreatCircleAngleGrad(const TFloatPoint& p, const TFloatPoint& q) {
  return Haversine(p.x * GradToRad, p.y * GradToRad, q.x * GradToRad, q.y * GradToRad);
}

double GreatCircleAngleRad(const TFloatPoint& p, const TFloatPoint& q) {
  return Haversine(p.x, p.y, q.x, q.y);
}

double Bearing(const TFloatPoint& p, const TFloatPoint& q) {
  return BearingRad(p.x * DegToRad, p.y * DegToRad, q.x * DegToRad, q.y * DegToRad);
}

double BearingGrad(const TFloatPoint& p, const TFloatPoint& q) {
  return BearingRad(p.x * GradToRad, p.y * GradToRad, q.x * GradToRad, q.y * GradToRad);
}

double Course(const TFloatPoint& p, const TFloatPoint& q) {
  const double cosLat = std::cos(p.y);
  if (cosLat < 1e-30) return p.y > 0 ? 270 : 90;
  const double g = Haversine(p.x, p.y, q.x, q.y);
  double h = (std::sin(q.y) - std::sin(p.y) * std::cos(g)) / (std::sin(g) * cosLat);
  h = std::clamp(h, -1.0, 1.0);
  const double c = std::sin(q.x - p.x) < 0 ? std::acos(h) : 2 * Pi - std::acos(h);
  return c * RadToDeg;
}

int32_t TurnAngle(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2) {
  return IntoCircle(Round(Course(p1, p2) - Course(p0, p1)));
}

int32_t TurnAngleDeg(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2) {
  return TurnAngle(Scaled(p0, DegToRad), Scaled(p1, DegToRad), Scaled(p2, DegToRad));
}

int32_t TurnAngleGrad(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2) {
  return TurnAngle(Scaled(p0, GradToRad), Scaled(p1, GradToRad), Scaled(p2, GradToRad));
}

double PlanarDirection(double dx, double dy) {
  if (dy == 0) return dx >= 0 ? 0 : 180;
  if (dx == 0) return dy > 0 ? 90 : 270;
  double a = std::atan(dy / dx) * RadToDeg;
  if (dx < 0) a += 180;
  else if (dy < 0) a += 360;
  return a;
}

int32_t TurnAnglePlanar(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2) {
  return IntoCircle(Round(PlanarDirection(p2.x - p1.x, p2.y - p1.y) -
                          PlanarDirection(p1.x - p0.x, p1.y - p0.y)));
}

bool IsClockwise(const TFloatPoint* ring, size_t count) {
  if (ring == nullptr || count < 2) return true;
  const size_t n = count - 1;
  size_t a = 0;
  for (size_t i = 1; i < count; ++i) {
    const TFloatPoint& p = ring[i];
    const TFloatPoint& b = ring[a];
    if (p.y < b.y || (p.y == b.y && p.x > b.x)) a = i;
  }
  const TFloatPoint& v1 = ring[(a + n - 1) % n];
  const TFloatPoint& v2 = ring[a];
  const TFloatPoint& v3 = ring[(a + n + 1) % n];
  const double area = v1.x * v2.y - v1.y * v2.x + v1.y * v3.x - v1.x * v3.y + v2.x * v3.y -
                      v3.x * v2.y;
  return !(area > 0);
}

TFloatRect ExpandRectPercent(const TFloatRect& r, double pct) {
  const double dx = (r.xmax - r.xmin) * pct / 100;
  const double dy = (r.ymax - r.ymin) * pct / 100;
  return {r.xmin - dx, r.ymin - dy, r.xmax + dx, r.ymax + dy};
}

TFloatRect ExpandRectDistance(const TFloatRect& r, TCoordinateUnit unit, double factor,
                              double dist) {
  double c = dist / 40000;  // share of the earth's circumference
  double b;
  switch (unit) {
    case cuRad:
      c *= 2 * Pi;
      b = c / std::cos(r.ymax);
      break;
    case cuDeg:
      c *= 360;
      b = c / std::cos(r.ymax * DegToRad);
      break;
    case cuGrad:
      c *= 400;
      b = c / std::cos(r.ymax * GradToRad);
      break;
    default:
      b = c = dist / factor;
      break;
  }
  return {r.xmin - b, r.ymin - c, r.xmax + b, r.ymax + c};
}

int32_t BitsFor(int64_t n) {
  if (n <= 2) return 1;
  return 64 - __builtin_clzll(static_cast<uint64_t>(n - 1));
}

// ---------------------------------------------------------------- files

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

std::string FileBeside(const std::string& f, const char* ext) {
  std::filesystem::path p(f);
  p.replace_extension(ext);
  std::error_code ec;
  if (std::filesystem::exists(p, ec)) return p.string();
  std::string upper(ext);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  std::filesystem::path q(f);
  q.replace_extension(upper);
  if (std::filesystem::exists(q, ec)) return q.string();
  return p.string();
}

bool DirectoryWritable(const std::string& path) {
  std::string dir = path.empty() ? std::string("./") : path;
  if (dir.back() != '/') dir += '/';
  thread_local std::mt19937_64 rng(std::random_device{}() ^
                                   (static_cast<uint64_t>(::getpid()) << 32) ^ GetTickCount32());
  static constexpr char kHex[] = "0123456789abcdef";
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint64_t v = rng();
    std::string name = dir + "~lv";
    for (int k = 0; k < 16; ++k, v >>= 4) name += kHex[v & 15];
    name += ".tmp";
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // taken: draw another name
      return false;
    }
    const bool closed = ::close(fd) == 0;
    const bool deleted = ::unlink(name.c_str()) == 0;
    return closed && deleted;
  }
  return false;
}
