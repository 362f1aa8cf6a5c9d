// Value types, library constants and the exception classes shared by the
// whole routing library. Text is UTF-8 in std::string everywhere; conversion
// to and from Windows code pages happens only at file boundaries.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// ---------------------------------------------------------------- values

struct TFloatPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const TFloatPoint& a, const TFloatPoint& b) {
    return a.x == b.x && a.y == b.y;
  }
};

using TFloatPointArray = std::vector<TFloatPoint>;
using TIntegerArray = std::vector<int32_t>;
using TInt64Array = std::vector<int64_t>;
using TLongwordArray = std::vector<uint32_t>;
using TDoubleArray = std::vector<double>;
using TWordArray = std::vector<uint16_t>;

// A point list whose valid length is Count; Pnt may be longer so that it can
// be reused without reallocating.
struct TFloatPointArrayEx {
  TFloatPointArray Pnt;
  int32_t Count = 0;
  friend bool operator==(const TFloatPointArrayEx& a, const TFloatPointArrayEx& b) {
    if (a.Count != b.Count) return false;
    for (int32_t i = 0; i < a.Count; ++i)
      if (!(a.Pnt[i] == b.Pnt[i])) return false;
    return true;
  }
};

struct TFloatPointArrayEx2 {
  TFloatPointArray Pnt;
  int32_t Last = -1;
  double Z1 = 0, Z2 = 0;
  uint8_t Side1 = 0, Side2 = 0;
  int32_t Zi1 = 0, Zi2 = 0;
};

struct TFloatRect {
  double xmin = 0, ymin = 0, xmax = 0, ymax = 0;
};

struct TLocation {
  int32_t link = 0;
  double percent = 0;
  friend bool operator==(const TLocation& a, const TLocation& b) {
    return a.link == b.link && a.percent == b.percent;
  }
};

struct TRoute {
  TIntegerArray nodes;
  TIntegerArray links;
  double percent1 = 0, percent2 = 0;
};

enum TCoordinateUnit : uint8_t {
  cuUnknown = 0, cuRad, cuDeg, cuGrad, cuMm, cuCm, cuDm, cuM, cuKm, cuPoint,
  cuInch, cuLink, cuFt, cuSurveyft, cuYard, cuChain, cuRod, cuMiles, cuNmi
};

// ---------------------------------------------------------------- constants

constexpr int32_t MaxLinksAtNode = 255;
constexpr double EarthRadius = 6378.13;  // km, for every arc length
constexpr double KmPerMile = 1.609344;
constexpr int32_t NetworkVersion = 400;
constexpr int32_t DefaultEPSG = 4326;
inline constexpr const char* DefaultCoordSys = "CoordSys Earth Projection 1, 104";
inline constexpr const char* DefaultPrj =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137,298.257223563]],"
    "PRIMEM[\"Greenwich\",0],UNIT[\"Degree\",0.017453292519943295]]";
inline constexpr TFloatPoint RejectedObjectPoint{0, 0};

// ---------------------------------------------------------------- exceptions

// The general exception that carries a message text; every failure kind is a
// class of its own so that callers can catch one kind.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

#define LINVORO_EXCEPTION(Name, Base)                          \
  class Name : public Base {                                   \
   public:                                                     \
    explicit Name(const std::string& message) : Base(message) {} \
  }

LINVORO_EXCEPTION(ECoordinateCheck, Exception);
LINVORO_EXCEPTION(EFileMissing, Exception);
LINVORO_EXCEPTION(EOutOfRange, Exception);
LINVORO_EXCEPTION(ENetworkIsClosed, Exception);
LINVORO_EXCEPTION(ETooManyLinksAtNode, Exception);
LINVORO_EXCEPTION(EConfigFileCheckSumError, Exception);
LINVORO_EXCEPTION(EWrongVersion, Exception);
LINVORO_EXCEPTION(EInvalidFieldIndex, Exception);
LINVORO_EXCEPTION(EFieldNameNotFound, Exception);
LINVORO_EXCEPTION(EInvalidParameter, Exception);
LINVORO_EXCEPTION(EInvalidFieldType, Exception);
LINVORO_EXCEPTION(ERoadNameFileNotOpen, Exception);
LINVORO_EXCEPTION(EDifferentDBFFilesStructure, Exception);
LINVORO_EXCEPTION(EBitArrayError, Exception);

// Stream failures (open, create, read, write, memory, operating system).
LINVORO_EXCEPTION(EStreamError, Exception);
LINVORO_EXCEPTION(EFOpenError, EStreamError);
LINVORO_EXCEPTION(EFCreateError, EStreamError);
LINVORO_EXCEPTION(EReadError, EStreamError);
LINVORO_EXCEPTION(EWriteError, EStreamError);
LINVORO_EXCEPTION(EOSError, Exception);
// A text that must be a number is not one (ids in OSM files, include file).
LINVORO_EXCEPTION(EConvertError, Exception);
