#include "linvoro_mapcoordsys.h"

#include <bit>
#include <cmath>

#include "linvoro_functions.h"

namespace {

// Header offsets of the .map file.
constexpr size_t oPrecision = 352;
constexpr size_t oQuadrant = 353;
constexpr size_t oDatum = 362;
constexpr size_t oProjection = 365;
constexpr size_t oEllipsoid = 366;
constexpr size_t oUnits = 367;
constexpr size_t oXScale = 368;
constexpr size_t oYScale = 376;
constexpr size_t oXDisp = 384;
constexpr size_t oYDisp = 392;
constexpr size_t oParams1To6 = 400;
constexpr size_t oParam7 = 616;
constexpr size_t oDatumShift = 448;   // shift x, y, z
constexpr size_t oDatumParams = 472;  // rotation x, y, z, scale, prime meridian

uint64_t LoadLE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

double DoubleAt(const uint8_t* data, size_t offset) {
  return std::bit_cast<double>(LoadLE(data + offset, 8));
}

struct TUnitEntry {
  uint8_t code;
  TCoordinateUnit unit;
  const char* name;
};

constexpr TUnitEntry UnitTable[] = {
    {0, cuMiles, "mi"},   {1, cuKm, "km"},           {2, cuInch, "in"},  {3, cuFt, "ft"},
    {4, cuYard, "yd"},    {5, cuMm, "mm"},           {6, cuCm, "cm"},    {7, cuM, "m"},
    {8, cuSurveyft, "survey ft"}, {9, cuNmi, "nmi"}, {30, cuLink, "link"},
    {31, cuChain, "chain"}, {32, cuRod, "rod"},
};

void AppendInt(std::string& s, int64_t v) { s += std::to_string(v); }

void AppendNum(std::string& s, double v) { AppendNumber(s, v); }

}  // namespace

TCoordinateUnit MapUnitsCodeToUnit(uint8_t code) {
  for (const auto& e : UnitTable)
    if (e.code == code) return e.unit;
  return cuDeg;
}

const char* MapUnitsCodeName(uint8_t code) {
  for (const auto& e : UnitTable)
    if (e.code == code) return e.name;
  return "";
}

int32_t MapProjectionParamCount(uint8_t projection) {
  switch (projection) {
    case 10: case 11: case 12: case 13: case 14: case 15: case 16: case 17:
      return 1;
    case 2: case 26:
      return 2;
    case 4: case 5: case 28: case 29:
      return 3;
    case 18: case 25: case 27: case 30: case 31: case 33:
      return 4;
    case 8: case 20: case 21: case 22: case 23: case 24: case 34:
      return 5;
    case 3: case 6: case 7: case 9: case 19: case 32:
      return 6;
    case 35:
      return 7;
    default:
      return 0;
  }
}

int32_t FindMapInfoDatum(uint8_t ellipsoid, const double params[8]) {
  for (size_t i = 0; i < MapInfoDatumCount; ++i) {
    const TMapInfoDatum& d = MapInfoDatums[i];
    if (d.ellipsoid != ellipsoid) continue;
    bool same = true;
    for (int k = 0; k < 8 && same; ++k) same = std::fabs(d.params[k] - params[k]) < 1e-10;
    if (same) return d.datum;
  }
  return -1;
}

void DecodeMapCoordSys(const uint8_t* data, size_t size, std::string& clause, double& xscale,
                       double& yscale, double& xdisp, double& ydisp, TCoordinateUnit& unit) {
  if (data == nullptr || size < MapHeaderMinSize)
    throw EReadError("Map file is too short for its header: " + std::to_string(size) +
                     " bytes, at least " + std::to_string(MapHeaderMinSize) + " expected");

  const uint8_t precision = data[oPrecision];
  const uint8_t quadrant = data[oQuadrant];
  const uint8_t projection = data[oProjection];
  const uint8_t ellipsoid = data[oEllipsoid];
  const uint8_t units = data[oUnits];

  // Shift x, y, z followed by rotations, scale and prime meridian: the same
  // order as the datum list.
  double datumParams[8];
  for (int k = 0; k < 3; ++k) datumParams[k] = DoubleAt(data, oDatumShift + 8 * k);
  for (int k = 0; k < 5; ++k) datumParams[3 + k] = DoubleAt(data, oDatumParams + 8 * k);

  int32_t datum = static_cast<int32_t>(LoadLE(data + oDatum, 2));
  if (datum == 0) datum = FindMapInfoDatum(ellipsoid, datumParams);

  std::string s;
  s.reserve(160);
  if (projection == 0) {
    s = "CoordSys NonEarth Units ";
  } else {
    s = "CoordSys Earth Projection ";
    AppendInt(s, projection);
    s += ", ";
    if (datum != -1) {
      AppendInt(s, datum);
    } else {
      const bool noDatumParams = datumParams[3] == 0 && datumParams[4] == 0 &&
                                 datumParams[5] == 0 && datumParams[6] == 0 &&
                                 datumParams[7] == 0;
      s += noDatumParams ? "999, " : "9999, ";
      AppendInt(s, ellipsoid);
      const int n = noDatumParams ? 3 : 8;
      for (int k = 0; k < n; ++k) {
        s += ", ";
        AppendNum(s, datumParams[k]);
      }
    }
  }

  if (projection > 1) s += ", ";
  if (projection != 1) {
    const char* name = MapUnitsCodeName(units);
    if (*name) {
      s += '"';
      s += name;
      s += '"';
    }
  }

  const int32_t paramCount = MapProjectionParamCount(projection);
  for (int32_t i = 0; i < paramCount; ++i) {
    const size_t off = i < 6 ? oParams1To6 + 8 * static_cast<size_t>(i) : oParam7;
    s += ", ";
    AppendNum(s, DoubleAt(data, off));
  }

  double xs = DoubleAt(data, oXScale);
  double ys = DoubleAt(data, oYScale);
  double xd = DoubleAt(data, oXDisp);
  double yd = DoubleAt(data, oYDisp);
  // Every caller divides by the scales; a header that makes that impossible
  // is damaged and would turn every coordinate into infinity.
  if (!std::isfinite(xs) || !std::isfinite(ys) || xs == 0 || ys == 0 || !std::isfinite(xd) ||
      !std::isfinite(yd))
    throw EOutOfRange("Map file header holds an invalid coordinate transform");
  if (quadrant == 2 || quadrant == 3) {
    xs = -xs;
    xd = -xd;
  }
  if (quadrant == 3 || quadrant == 4) {
    ys = -ys;
    yd = -yd;
  }

  if (!(projection == 1 && precision != 8)) {
    const double xmin = (-1e9 - xd) / xs;
    const double ymin = (-1e9 - yd) / ys;
    const double xmax = (1e9 - xd) / xs;
    const double ymax = (1e9 - yd) / ys;
    s += ' ';
    s += BoundsText(xmin, ymin, xmax, ymax);
  }

  clause = std::move(s);
  unit = MapUnitsCodeToUnit(units);
  xscale = xs;
  yscale = ys;
  xdisp = xd;
  ydisp = yd;
}

void DecodeMapCoordSys(TLvMemoryStream& map, std::string& clause, double& xscale,
                       double& yscale, double& xdisp, double& ydisp, TCoordinateUnit& unit) {
  const int64_t size = map.Size();
  DecodeMapCoordSys(static_cast<const uint8_t*>(map.Memory()),
                    size > 0 ? static_cast<size_t>(size) : 0, clause, xscale, yscale, xdisp,
                    ydisp, unit);
}
