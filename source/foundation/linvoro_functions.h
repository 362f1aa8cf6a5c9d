// Free helpers every part of the library leans on: number text that never
// follows the user's locale, XML escaping, code-page queries, coordinate
// system text, great-circle geometry on longitude/latitude points, turn
// angles, ring orientation, rectangle growth and a few file queries.
//
// Points are TFloatPoint with x = longitude and y = latitude for geographic
// data. All rounding is to the nearest integer with ties to even.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_platform.h"
#include "linvoro_types.h"

// ---------------------------------------------------------------- constants

constexpr double Pi = 3.14159265358979323846;
constexpr double DegToRad = 0.017453292519943295;   // pi / 180
constexpr double GradToRad = 0.015707963267948967;  // pi / 200
constexpr double RadToDeg = 57.29577951308232;      // 180 / pi

// ---------------------------------------------------------------- numbers and text

// Whole decimal integers: an optional sign ('+' or '-') and decimal
// digits, nothing before or after them (no blanks, no base prefix); a value
// outside the type's range is not one. The Try forms give false and leave
// value as it was; the others raise EConvertError "'<text>' is not a valid
// integer value", which RaiseNotAnInteger raises for callers that allow
// more around the number (leading blanks, a narrower range).
bool TryParseInt32(std::string_view text, int32_t& value);
bool TryParseInt64(std::string_view text, int64_t& value);
int32_t ParseInt32(std::string_view text);
int64_t ParseInt64(std::string_view text);
[[noreturn]] void RaiseNotAnInteger(std::string_view text);

// Value of the longest leading part "  [+-]digits[.digits][(e|E)[+-]digits]";
// 0 when no digit is found. "." is always the decimal separator and the rest
// of the text is ignored ("50 km/h" -> 50, ".5" -> 0.5).
double NumericPrefix(std::string_view text);

// General format with up to 15 significant digits, "." as separator, no
// trailing zeros or point, zero (also -0) as "0"; scientific form such as
// "1.5E-7" or "1E15" only when the decimal exponent is below -5 or at least
// 15. Non-finite values give "NAN", "INF" or "-INF".
std::string FormatNumber(double x);
// The same text appended to out; the form the writers use on their hot paths.
void AppendNumber(std::string& out, double x);

// d < 0: FormatNumber(x); d = 0: the integer Round(x); d > 0: fixed notation
// with min(d, 10) decimals. Always "." as separator.
std::string FormatDecimals(double x, int16_t d);
void AppendDecimals(std::string& out, double x, int16_t d);

// x right-aligned in width characters with the given decimals, copied as
// exactly width bytes into dest (longer text is cut). No terminating zero.
void FormatFixed(char* dest, int width, int decimals, double x);

// n as text, with a leading "0" for 0 to 9.
std::string TwoDigits(int64_t n);

// "1h 30m 30s", "5m 15s" or "30s" for a duration given in minutes.
std::string DurationText(double minutes);
// DurationText enclosed in double quotes.
std::string QuotedDurationText(double minutes);

// The largest string length (bytes) in the list, 0 when it is empty.
size_t MaxLength(const std::vector<std::string>& list);

// & < > " ' replaced by their XML entities; everything else unchanged.
std::string XmlEscape(std::string_view text);

// h := (h * 17 + code of c) AND mask over the Unicode code points of the
// UTF-8 text, in 32-bit arithmetic. Bytes that are not valid UTF-8 count as
// U+FFFD, as a conversion to Unicode would make them.
uint32_t StringHash(std::string_view text, uint32_t mask);

// Removes every character with code 32 or lower from both ends.
inline std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

// ASCII upper case; file keywords are compared in it whatever the code page.
inline void UpperInPlace(std::string& s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

inline bool IsEmptyText(std::string_view text) { return text.empty(); }
inline bool IsNonEmptyText(std::string_view text) { return !text.empty(); }

// Nearest integer, ties to even (2.5 -> 2, 3.5 -> 4). NaN gives 0; values
// beyond the int64 range give its nearest limit.
int64_t Round(double x);

// ---------------------------------------------------------------- code pages

// SystemAnsiCodePage() comes with linvoro_platform.h.

constexpr bool IsUTF8CodePage(int cp) { return cp == 65001; }
constexpr bool IsUTF16CodePage(int cp) { return cp == 1200; }

// The UTF-8 text converted to an 8-bit string in code page cp.
std::string ToCodePage(std::string_view text, int cp);

// Number of bytes of the text in UTF-8 (the text already is UTF-8).
inline size_t Utf8Length(std::string_view text) { return text.size(); }

// ---------------------------------------------------------------- coordinate-system text

// "Bounds (x1, y1) (x2, y2)" with FormatNumber values; magnitudes below 1e-7
// are written as 0.
std::string BoundsText(double x1, double y1, double x2, double y2);

// First line of a text file in the system code page (as UTF-8); empty when
// the file does not exist.
std::string ReadFirstLine(const std::string& path);

// The unit named by the last UNIT["..."] of a projection (WKT) text.
TCoordinateUnit PrjUnit(std::string_view text);

constexpr bool IsAngularUnit(TCoordinateUnit unit) {
  return unit == cuRad || unit == cuDeg || unit == cuGrad;
}
constexpr bool IsLinearUnit(TCoordinateUnit unit) {
  switch (unit) {
    case cuMm: case cuCm: case cuM: case cuKm: case cuInch: case cuLink: case cuFt:
    case cuSurveyft: case cuYard: case cuChain: case cuRod: case cuMiles: case cuNmi:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------- geometry

// Haversine central angle in radians. Multiply by EarthRadius * 1000 for
// metres. Inputs in degrees, grads or radians respectively.
double GreatCircleAngle(const TFloatPoint& p, const TFloatPoint& q);
double GreatCircleAngleGrad(const TFloatPoint& p, const TFloatPoint& q);
double GreatCircleAngleRad(const TFloatPoint& p, const TFloatPoint& q);

// Course from p to q in radians, 0 <= angle < 2 pi, anticlockwise from north.
// Inputs in degrees / grads.
double Bearing(const TFloatPoint& p, const TFloatPoint& q);
double BearingGrad(const TFloatPoint& p, const TFloatPoint& q);

// Course from p to q in degrees, anticlockwise from north, in (0, 360]:
// north 360, west 90, south 180, east 270. Inputs in radians. Identical
// points have no course (callers avoid them).
double Course(const TFloatPoint& p, const TFloatPoint& q);

// Turn at p1 in whole degrees 0..359: 0 straight on, 1..179 left, 181..359
// right. Inputs in radians / degrees / grads.
int32_t TurnAngle(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2);
int32_t TurnAngleDeg(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2);
int32_t TurnAngleGrad(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2);

// Direction of a plane vector in degrees 0..360, anticlockwise from the x axis.
double PlanarDirection(double dx, double dy);
// Turn at p1 in whole degrees 0..359 in the plane.
int32_t TurnAnglePlanar(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2);

// Orientation of a closed ring given as its N vertices followed by the
// closing vertex (count = N + 1 points). True when clockwise; degenerate
// rings (no area at the lowest vertex, or fewer than two points) count as
// clockwise.
bool IsClockwise(const TFloatPoint* ring, size_t count);
inline bool IsClockwise(const TFloatPointArray& ring) {
  return IsClockwise(ring.data(), ring.size());
}
inline bool IsClockwise(const TFloatPointArrayEx& ring) {
  return IsClockwise(ring.Pnt.data(), ring.Count > 0 ? static_cast<size_t>(ring.Count) : 0);
}

// r grown on each side by pct % of its width (x) and height (y).
TFloatRect ExpandRectPercent(const TFloatRect& r, double pct);
// r grown by dist kilometres. Angular units grow by the share of the earth's
// circumference (x widened by 1 / cos(ymax)); any other unit by dist / factor,
// factor being the kilometres per unit.
TFloatRect ExpandRectDistance(const TFloatRect& r, TCoordinateUnit unit, double factor,
                              double dist);
// r grown in place to include p.
inline void ExtendRect(TFloatRect& r, const TFloatPoint& p) {
  if (p.x < r.xmin) r.xmin = p.x;
  if (p.x > r.xmax) r.xmax = p.x;
  if (p.y < r.ymin) r.ymin = p.y;
  if (p.y > r.ymax) r.ymax = p.y;
}

// a lies strictly between b and c, in either order.
constexpr bool StrictlyBetween(double a, double b, double c) {
  return (b < a && a < c) || (c < a && a < b);
}
// a lies between b and c inclusive, in either order.
constexpr bool IntBetween(int64_t a, int64_t b, int64_t c) {
  return (b <= a && a <= c) || (c <= a && a <= b);
}

// The smallest k >= 1 with 2^k >= n.
int32_t BitsFor(int64_t n);

// ---------------------------------------------------------------- files

// Size in bytes (64-bit); -1 when the file's attributes cannot be read.
int64_t FileSize(const std::string& path);

// The file beside f with the extension ext (".shx"). Tables copied from
// other systems often carry upper-case extensions, so the upper-case variant
// is taken when only that one exists; otherwise the lower-case name.
std::string FileBeside(const std::string& f, const char* ext);

// Creates a file with a fresh random name in the folder, closes and deletes
// it; true when all of that worked.
bool DirectoryWritable(const std::string& path);
