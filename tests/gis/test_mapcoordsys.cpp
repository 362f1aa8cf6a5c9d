// Decoding the coordinate system out of a MapInfo .map header: synthetic
// headers for each clause form, and .map files written by GDAL compared with
// the CoordSys line GDAL writes into a MIF header for the same layer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "linvoro_io.h"
#include "linvoro_mapcoordsys.h"

namespace fs = std::filesystem;

// Prefix and number as one string (spelled out so that GCC 12 does not warn
// about "literal" + std::string).
inline std::string Num(const char* prefix, long long n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

namespace {

// A zeroed header block with the fields the decoder reads.
struct MapHeader {
  std::vector<uint8_t> b = std::vector<uint8_t>(1024, 0);

  MapHeader& Byte(size_t off, uint8_t v) { b[off] = v; return *this; }
  MapHeader& U16(size_t off, uint16_t v) {
    b[off] = v & 0xFF;
    b[off + 1] = v >> 8;
    return *this;
  }
  MapHeader& Dbl(size_t off, double v) {
    const uint64_t u = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>(u >> (8 * i));
    return *this;
  }
  MapHeader& Precision(uint8_t v) { return Byte(352, v); }
  MapHeader& Quadrant(uint8_t v) { return Byte(353, v); }
  MapHeader& Datum(uint16_t v) { return U16(362, v); }
  MapHeader& Projection(uint8_t v) { return Byte(365, v); }
  MapHeader& Ellipsoid(uint8_t v) { return Byte(366, v); }
  MapHeader& Units(uint8_t v) { return Byte(367, v); }
  MapHeader& Transform(double xs, double ys, double xd, double yd) {
    return Dbl(368, xs).Dbl(376, ys).Dbl(384, xd).Dbl(392, yd);
  }
  MapHeader& Param(int i, double v) { return Dbl(i <= 6 ? 400 + 8 * (i - 1) : 616, v); }
  // Shift x, y, z, rotation x, y, z, scale, prime meridian.
  MapHeader& DatumParams(const std::vector<double>& p) {
    for (int k = 0; k < 3; ++k) Dbl(448 + 8 * k, p[k]);
    for (int k = 0; k < 5; ++k) Dbl(472 + 8 * k, p[3 + k]);
    return *this;
  }
};

MapHeader LatLong() {
  MapHeader h;
  h.Quadrant(1).Datum(104).Projection(1).Ellipsoid(28).Units(13).Transform(1e6, 1e6, 0, 0);
  return h;
}

struct Decoded {
  std::string clause;
  double xs = 0, ys = 0, xd = 0, yd = 0;
  TCoordinateUnit unit = cuUnknown;
};

Decoded Decode(const MapHeader& h) {
  Decoded d;
  DecodeMapCoordSys(h.b.data(), h.b.size(), d.clause, d.xs, d.ys, d.xd, d.yd, d.unit);
  return d;
}

}  // namespace

TEST(MapCoordSys, ClauseForms) {
  struct Case {
    const char* what;
    MapHeader header;
    const char* clause;
    TCoordinateUnit unit;
  };
  const Case cases[] = {
      {"lat/long without precision 8 has no bounds", LatLong().Precision(3),
       "CoordSys Earth Projection 1, 104", cuDeg},
      {"lat/long with precision 8 has bounds", LatLong().Precision(8),
       "CoordSys Earth Projection 1, 104 Bounds (-1000, -1000) (1000, 1000)", cuDeg},
      {"projection 8 carries unit and five parameters",
       MapHeader()
           .Quadrant(1).Datum(104).Projection(8).Ellipsoid(28).Units(7)
           .Transform(100, 100, -5e8, 2e8)
           .Param(1, 9).Param(2, 0).Param(3, 0.9996).Param(4, 500000).Param(5, 0)
           .Param(6, 77),
       "CoordSys Earth Projection 8, 104, \"m\", 9, 0, 0.9996, 500000, 0 "
       "Bounds (-5000000, -12000000) (15000000, 8000000)",
       cuM},
      {"non-earth puts the unit right after Units",
       MapHeader().Quadrant(1).Projection(0).Units(7).Transform(1000, 1000, 0, 0),
       "CoordSys NonEarth Units \"m\" Bounds (-1000000, -1000000) (1000000, 1000000)", cuM},
      {"datum 0 with all-zero parameters on ellipsoid 28 is WGS 84",
       LatLong().Datum(0).DatumParams({0, 0, 0, 0, 0, 0, 0, 0}),
       "CoordSys Earth Projection 1, 104", cuDeg},
      {"datum 0 matching the last list entry",
       LatLong().Datum(0).Ellipsoid(7).DatumParams(
           {-127.62, -67.24, -47.04, -3.068, 4.903, 1.578, -1.06, 0}),
       "CoordSys Earth Projection 1, 1031", cuDeg},
      {"datum 0 within the 1e-10 tolerance",
       LatLong().Datum(0).Ellipsoid(6).DatumParams({-162 + 5e-11, -12, 206, 0, 0, 0, 0, 0}),
       "CoordSys Earth Projection 1, 1", cuDeg},
      {"unknown shift only: 999 form",
       LatLong().Datum(0).Ellipsoid(6).DatumParams({-162 + 2e-10, -12.5, 206, 0, 0, 0, 0, 0}),
       "CoordSys Earth Projection 1, 999, 6, -161.9999999998, -12.5, 206", cuDeg},
      {"same parameters on another ellipsoid: 999 form",
       LatLong().Datum(0).Ellipsoid(5).DatumParams({-162, -12, 206, 0, 0, 0, 0, 0}),
       "CoordSys Earth Projection 1, 999, 5, -162, -12, 206", cuDeg},
      {"unknown shift with rotations: 9999 form",
       LatLong().Datum(0).Ellipsoid(7).DatumParams({1, 2, 3, 0.5, 0, -0.25, 1.5, 2.5}),
       "CoordSys Earth Projection 1, 9999, 7, 1, 2, 3, 0.5, 0, -0.25, 1.5, 2.5", cuDeg},
      {"projection 35 reads parameter 7 from the header tail",
       MapHeader()
           .Quadrant(1).Datum(104).Projection(35).Ellipsoid(28).Units(1).Precision(3)
           .Transform(1e9, 1e9, 0, 0)
           .Param(1, 1).Param(2, 2).Param(3, 3).Param(4, 4).Param(5, 5).Param(6, 6).Param(7, 7),
       "CoordSys Earth Projection 35, 104, \"km\", 1, 2, 3, 4, 5, 6, 7 Bounds (-1, -1) (1, 1)",
       cuKm},
      {"unknown units code: degrees and no name",
       MapHeader().Quadrant(1).Datum(104).Projection(2).Ellipsoid(28).Units(99)
           .Transform(1e6, 1e6, 0, 0).Param(1, 10).Param(2, 20),
       "CoordSys Earth Projection 2, 104, , 10, 20 Bounds (-1000, -1000) (1000, 1000)", cuDeg},
      {"bounds below 1e-7 are written as 0",
       MapHeader().Quadrant(1).Projection(0).Units(7).Transform(1e17, 1e17, 0, 0),
       "CoordSys NonEarth Units \"m\" Bounds (0, 0) (0, 0)", cuM},
      {"a large projection id without parameters",
       MapHeader().Quadrant(1).Datum(104).Projection(200).Ellipsoid(28).Units(7)
           .Transform(1e6, 1e6, 0, 0),
       "CoordSys Earth Projection 200, 104, \"m\" Bounds (-1000, -1000) (1000, 1000)", cuM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = Decode(c.header);
    EXPECT_EQ(d.clause, c.clause);
    EXPECT_EQ(d.unit, c.unit);
  }
}

TEST(MapCoordSys, UnitsCodes) {
  const struct {
    uint8_t code;
    TCoordinateUnit unit;
    const char* name;
  } table[] = {{0, cuMiles, "mi"}, {1, cuKm, "km"},   {2, cuInch, "in"},
               {3, cuFt, "ft"},    {4, cuYard, "yd"}, {5, cuMm, "mm"},
               {6, cuCm, "cm"},    {7, cuM, "m"},     {8, cuSurveyft, "survey ft"},
               {9, cuNmi, "nmi"},  {30, cuLink, "link"}, {31, cuChain, "chain"},
               {32, cuRod, "rod"}, {10, cuDeg, ""},   {13, cuDeg, ""}, {255, cuDeg, ""}};
  for (const auto& t : table) {
    SCOPED_TRACE(int(t.code));
    const Decoded d = Decode(MapHeader().Quadrant(1).Projection(0).Units(t.code).Transform(
        1, 1, 0, 0));
    EXPECT_EQ(d.unit, t.unit);
    const std::string quoted = *t.name ? std::string("\"") + t.name + "\"" : "";
    EXPECT_EQ(d.clause, "CoordSys NonEarth Units " + quoted +
                            " Bounds (-1000000000, -1000000000) (1000000000, 1000000000)");
  }
}

TEST(MapCoordSys, ProjectionParameterCounts) {
  std::vector<int> expected(256, 0);
  for (int id : {10, 11, 12, 13, 14, 15, 16, 17}) expected[id] = 1;
  for (int id : {2, 26}) expected[id] = 2;
  for (int id : {4, 5, 28, 29}) expected[id] = 3;
  for (int id : {18, 25, 27, 30, 31, 33}) expected[id] = 4;
  for (int id : {8, 20, 21, 22, 23, 24, 34}) expected[id] = 5;
  for (int id : {3, 6, 7, 9, 19, 32}) expected[id] = 6;
  expected[35] = 7;
  for (int id = 0; id < 256; ++id)
    EXPECT_EQ(MapProjectionParamCount(static_cast<uint8_t>(id)), expected[id]) << id;
}

TEST(MapCoordSys, QuadrantNegatesScalesAndDisplacements) {
  const struct {
    uint8_t quadrant;
    double xs, ys, xd, yd;
  } table[] = {{1, 10, 20, 3, 4},   {2, -10, 20, -3, 4}, {3, -10, -20, -3, -4},
               {4, 10, -20, 3, -4}, {0, 10, 20, 3, 4},   {5, 10, 20, 3, 4}};
  for (const auto& t : table) {
    SCOPED_TRACE(int(t.quadrant));
    const Decoded d = Decode(LatLong().Quadrant(t.quadrant).Transform(10, 20, 3, 4));
    EXPECT_EQ(d.xs, t.xs);
    EXPECT_EQ(d.ys, t.ys);
    EXPECT_EQ(d.xd, t.xd);
    EXPECT_EQ(d.yd, t.yd);
  }
  // The bounds follow the negated values: xmin comes out as the larger value.
  EXPECT_EQ(Decode(LatLong().Precision(8).Quadrant(3)).clause,
            "CoordSys Earth Projection 1, 104 Bounds (1000, 1000) (-1000, -1000)");
}

TEST(MapCoordSys, DatumListStartsAndEndsAsMapInfosList) {
  ASSERT_GE(MapInfoDatumCount, 6u);
  const struct {
    size_t index;
    uint16_t datum;
    uint8_t ellipsoid;
    double shift[3];
  } rows[] = {{0, 104, 28, {0, 0, 0}},       {1, 74, 0, {0, 0, 0}},
              {2, 0, 29, {0, 0, 0}},         {3, 1, 6, {-162, -12, 206}},
              {4, 2, 3, {-43, -163, 45}},    {5, 3, 4, {-150, -251, -2}}};
  for (const auto& r : rows) {
    EXPECT_EQ(MapInfoDatums[r.index].datum, r.datum);
    EXPECT_EQ(MapInfoDatums[r.index].ellipsoid, r.ellipsoid);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(MapInfoDatums[r.index].params[k], r.shift[k]);
  }
  const TMapInfoDatum& last = MapInfoDatums[MapInfoDatumCount - 1];
  EXPECT_EQ(last.datum, 1031);
  EXPECT_EQ(last.ellipsoid, 7);
  EXPECT_EQ(last.params[6], -1.06);
}

TEST(MapCoordSys, DamagedHeadersRaise) {
  MapHeader h = LatLong();
  Decoded d;
  for (size_t size : {size_t(0), size_t(100), MapHeaderMinSize - 1})
    EXPECT_THROW(DecodeMapCoordSys(h.b.data(), size, d.clause, d.xs, d.ys, d.xd, d.yd, d.unit),
                 EReadError)
        << size;
  EXPECT_NO_THROW(
      DecodeMapCoordSys(h.b.data(), MapHeaderMinSize, d.clause, d.xs, d.ys, d.xd, d.yd, d.unit));

  // Callers divide by the scales.
  EXPECT_THROW(Decode(LatLong().Transform(0, 1e6, 0, 0)), EOutOfRange);
  EXPECT_THROW(Decode(LatLong().Transform(1e6, std::nan(""), 0, 0)), EOutOfRange);
  EXPECT_THROW(Decode(LatLong().Transform(1e6, 1e6, HUGE_VAL, 0)), EOutOfRange);

  // A short memory stream, as a truncated file loads.
  TLvMemoryStream m;
  m.Write(h.b.data(), 500);
  EXPECT_THROW(DecodeMapCoordSys(m, d.clause, d.xs, d.ys, d.xd, d.yd, d.unit), EReadError);
  TLvMemoryStream empty;
  EXPECT_THROW(DecodeMapCoordSys(empty, d.clause, d.xs, d.ys, d.xd, d.yd, d.unit), EReadError);
}

// GDAL writes the same layer once as TAB and once as MIF; the clause decoded
// from the .map must be the CoordSys line of the MIF header, followed by the
// bounds for projected tables (GDAL's MIF header leaves them out).
TEST(MapCoordSys, MatchesGdalForTheSameLayer) {
  const fs::path dir = fs::temp_directory_path() /
                       (Num("linvoro_mapcoordsys_", ::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    std::ofstream f(dir / "in.geojson");
    f << R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"n":1},)"
         R"("geometry":{"type":"LineString","coordinates":[[7.1,43.7],[7.2,43.8]]}}]})";
  }
  const struct {
    const char* srs;
    TCoordinateUnit unit;
  } systems[] = {{"EPSG:4326", cuDeg}, {"EPSG:32632", cuM}, {"EPSG:3857", cuM},
                 {"EPSG:2154", cuM}, {"EPSG:27700", cuM}};
  for (const auto& s : systems) {
    SCOPED_TRACE(s.srs);
    const fs::path out = dir / std::string(s.srs).replace(4, 1, "_");
    fs::create_directories(out);
    const std::string in = (dir / "in.geojson").string();
    const std::string cmd1 = "ogr2ogr -q -f \"MapInfo File\" -t_srs " + std::string(s.srs) +
                             " '" + (out / "t.tab").string() + "' '" + in + "'";
    const std::string cmd2 = "ogr2ogr -q -f \"MapInfo File\" -dsco FORMAT=MIF -t_srs " +
                             std::string(s.srs) + " '" + (out / "t.mif").string() + "' '" +
                             in + "'";
    ASSERT_EQ(std::system(cmd1.c_str()), 0);
    ASSERT_EQ(std::system(cmd2.c_str()), 0);

    std::string gdalClause;
    {
      std::ifstream mif(out / "t.mif");
      std::string line;
      while (std::getline(mif, line))
        if (line.rfind("CoordSys", 0) == 0) {
          while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
          gdalClause = line;
          break;
        }
    }
    ASSERT_FALSE(gdalClause.empty());

    TLvMemoryStream map;
    map.LoadFromFile((out / "t.map").string());
    Decoded d;
    DecodeMapCoordSys(map, d.clause, d.xs, d.ys, d.xd, d.yd, d.unit);
    EXPECT_EQ(d.unit, s.unit);
    if (s.unit == cuDeg) {
      EXPECT_EQ(d.clause, "CoordSys Earth Projection 1, 104");
      EXPECT_EQ(d.xs, 1e6);
      EXPECT_EQ(d.ys, 1e6);
    } else {
      EXPECT_EQ(d.clause.substr(0, gdalClause.size() + 9), gdalClause + " Bounds (");
      EXPECT_GT(d.xs, 0);
      EXPECT_GT(d.ys, 0);
    }
  }
  fs::remove_all(dir);
}
