// The coordinate system of a MapInfo TAB table, decoded from the header block
// of its .map file: the CoordSys clause a MIF header would carry, the factors
// that turn the stored integer coordinates into real ones, and the table's
// coordinate unit. Read only; .map files are never written here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "linvoro_io.h"
#include "linvoro_types.h"

// One row of MapInfo's datum list: datum number, ellipsoid number and the
// eight transformation numbers (shift x, y, z, rotation x, y, z, scale,
// prime meridian), in the order a .map header stores them.
struct TMapInfoDatum {
  uint16_t datum;
  uint8_t ellipsoid;
  double params[8];
};

// MapInfo's datums in MapInfo's order (linvoro_mapinfodatums.cpp).
extern const TMapInfoDatum MapInfoDatums[];
extern const size_t MapInfoDatumCount;

// The header block must reach the last field read (projection parameter 7).
constexpr size_t MapHeaderMinSize = 624;

// Decodes the header of a whole .map file held in memory. A real coordinate is
// (stored integer - displacement) / scale. Raises EReadError when the data is
// shorter than the header block and EOutOfRange when a scale is zero or not a
// number, so that no caller divides by it.
void DecodeMapCoordSys(const uint8_t* data, size_t size, std::string& clause, double& xscale,
                       double& yscale, double& xdisp, double& ydisp, TCoordinateUnit& unit);
void DecodeMapCoordSys(TLvMemoryStream& map, std::string& clause, double& xscale,
                       double& yscale, double& xdisp, double& ydisp, TCoordinateUnit& unit);

// Datum number of the first list entry with this ellipsoid whose eight numbers
// each lie within 1e-10 of the given ones; -1 when none does.
int32_t FindMapInfoDatum(uint8_t ellipsoid, const double params[8]);

// Number of projection parameters the clause carries for a projection id.
int32_t MapProjectionParamCount(uint8_t projection);

// Coordinate unit of a .map units code, and its name in a clause (empty for
// the degree fallback of unknown codes).
TCoordinateUnit MapUnitsCodeToUnit(uint8_t code);
const char* MapUnitsCodeName(uint8_t code);
