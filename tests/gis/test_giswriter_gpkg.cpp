// The GeoPackage writer's own thread: a row SQLite refuses in the background
// reaches the writer that handed it over, with its message, within the
// queue's bound; tables written at once from two threads keep their rows in
// order and get sound R-trees, packed at their close. The rows it puts into
// SQLite itself read back through GDAL as GDAL would have written them, and
// the layer reader's own decoding of them answers as OGR does.
#include <gtest/gtest.h>

#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gpkg_sql.h"
#include "linvoro_giswriter_gpkg.h"
#include "temp_dir_test.h"

namespace {

std::string Sql(const std::string& path, const std::string& sql, bool update = false) {
  return GpkgSql(path, sql, update);
}

GDALDatasetH OpenWithGdal(const std::string& path) {
  CPLPushErrorHandler(CPLQuietErrorHandler);
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  CPLPopErrorHandler();
  return ds;
}

class GpkgWriter : public TTempDirTest {
 protected:
  GpkgWriter() : TTempDirTest("gpkgw_") {}
  static void SetUpTestSuite() { GDALAllRegister(); }
  void SetUp() override {
    TTempDirTest::SetUp();
    if (!TGISWriter::GPKG_supported()) FAIL() << TGISWriter::GPKGProblem();
  }
  std::string File() const { return Path("osm2trassel.gpkg"); }
};

TEST_F(GpkgWriter, RefusedRowReachesTheWriterWithItsMessage) {
  TGISWriterGPKG w;
  w.SetFileName(Path("t"));
  w.StartHeader(2, otPline);
  w.AddField("n", gfInteger, 10, 0);
  w.AddField("name", gfChar, 20, 0);
  // The layer is there once its fields are: another connection makes
  // SQLite refuse its fifth row.
  Sql(File(),
      "CREATE TRIGGER refuse BEFORE INSERT ON t WHEN NEW.n = 5 "
      "BEGIN SELECT RAISE(ABORT, 'row five refused'); END",
      true);
  ASSERT_EQ(Sql(File(), "SELECT count(*) FROM sqlite_master WHERE name = 'refuse'"), "1");
  const int32_t rows = 100000;
  int32_t raisedAt = 0;
  std::string message;
  for (int32_t r = 1; r <= rows && raisedAt == 0; ++r) {
    try {
      w.AddLine(0, r * 1e-5, 1, r * 1e-5, std::to_string(r) + ",x");
    } catch (const Exception& e) {
      raisedAt = r;
      message = e.Message();
    }
  }
  // Raised at a later row (the row went in on the writing thread), but
  // before the queue's bound had passed it twice over.
  ASSERT_GT(raisedAt, 0) << "no row raised the refusal";
  EXPECT_GT(raisedAt, 5);
  EXPECT_LT(raisedAt, 5 + 3 * 4096);
  EXPECT_NE(message.find("Cannot write record 5 of table t in "), std::string::npos) << message;
  EXPECT_NE(message.find("row five refused"), std::string::npos) << message;
  // The table is not complete: its close says so too, and lets the file go.
  try {
    w.Close();
    ADD_FAILURE() << "Close reported the table complete";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
  w.Close();  // once is enough
  // The file is free again for another writer.
  TGISWriterGPKG again;
  again.SetFileName(Path("u"));
  again.StartHeader(1, otPoint);
  again.AddField("n", gfInteger, 10, 0);
  again.AddPoint(1, 2, "7");
  EXPECT_NO_THROW(again.Close());
  EXPECT_EQ(Sql(File(), "SELECT n FROM u"), "7");
}

// Rows go to SQLite in batches: a refused row is named wherever it falls,
// in a full batch or in the rest the table's close writes, and the close
// reports it when no later row did.
TEST_F(GpkgWriter, RefusedRowIsNamedWhereverItsBatchFalls) {
  const struct {
    int32_t rows, refused;
  } cases[] = {{3, 2}, {40, 35}, {64, 33}, {64, 64}, {1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + " rows, refused " + std::to_string(c.refused));
    const std::string table = "t" + std::to_string(c.rows) + "_" + std::to_string(c.refused);
    TGISWriterGPKG w;
    w.SetFileName(Path(table));
    w.StartHeader(1, otPoint);
    w.AddField("n", gfInteger, 10, 0);
    Sql(File(),
        "CREATE TRIGGER refuse_" + table + " BEFORE INSERT ON " + table + " WHEN NEW.n = " +
            std::to_string(c.refused) + " BEGIN SELECT RAISE(ABORT, 'refused'); END",
        true);
    std::string message;
    try {
      for (int32_t r = 1; r <= c.rows; ++r) w.AddPoint(r, r, std::to_string(r));
      w.Close();
    } catch (const Exception& e) {
      message = e.Message();
    }
    EXPECT_NE(message.find("Cannot write record " + std::to_string(c.refused) + " of table " + table + " in "),
              std::string::npos)
        << message;
    EXPECT_NE(message.find(": refused"), std::string::npos) << message;
    w.Close();
  }
}

// Two tables from two threads at once, lines and points, each enough rows
// for an R-tree of three levels.
TEST_F(GpkgWriter, TablesFromTwoThreadsKeepTheirOrderAndGetSoundRTrees) {
  const int32_t rows = 6000;
  auto write = [&](const std::string& name, TObjectTypes kind) {
    TGISWriterGPKG w;
    w.SetFileName(Path(name));
    w.StartHeader(1, kind);
    w.AddField("n", gfInteger, 10, 0);
    for (int32_t r = 1; r <= rows; ++r) {
      // A spiral, so that rows near in order are not near in space.
      const double x = (r % 97) * 0.01, y = (r % 89) * 0.01 + r * 1e-6;
      if (kind == otPoint)
        w.AddPoint(x, y, std::to_string(r));
      else
        w.AddLine(x, y, x + 0.003, y + 0.002, std::to_string(r));
    }
    w.Close();
  };
  std::thread other([&] { write("lines", otPline); });
  write("points", otPoint);
  other.join();
  for (const std::string t : {"lines", "points"}) {
    SCOPED_TRACE(t);
    EXPECT_EQ(Sql(File(), "SELECT count(*) FROM " + t + " WHERE n = fid"), std::to_string(rows));
    const std::string rtree = "rtree_" + t + "_geom";
    EXPECT_EQ(Sql(File(), "SELECT rtreecheck('" + rtree + "')"), "ok");
    EXPECT_EQ(Sql(File(), "SELECT count(*) FROM " + rtree + "_parent"),
              Sql(File(), "SELECT count(*) - 1 FROM " + rtree + "_node"));
    // A window found through the tree finds what a look at every row finds
    // (its edges clear of every coordinate, which the tree holds as floats
    // rounded outwards).
    const std::string box = "maxx >= 0.205 AND minx <= 0.415 AND maxy >= 0.308 AND miny <= 0.518";
    const std::string exact =
        "ST_MaxX(geom) >= 0.205 AND ST_MinX(geom) <= 0.415 AND ST_MaxY(geom) >= 0.308 AND ST_MinY(geom) <= 0.518";
    const std::string found = Sql(File(), "SELECT count(*) FROM " + rtree + " WHERE " + box);
    EXPECT_NE(found, "0");
    EXPECT_EQ(found, Sql(File(), "SELECT count(*) FROM " + t + " WHERE " + exact));
    EXPECT_EQ(Sql(File(), "PRAGMA integrity_check"), "ok");
  }
  // A row added later by another program goes into the tree by the trigger.
  Sql(File(), "INSERT INTO points (geom, n) SELECT geom, 0 FROM points WHERE fid = 1", true);
  EXPECT_EQ(Sql(File(), "SELECT count(*) FROM rtree_points_geom"), std::to_string(rows + 1));
}

// The geometry blob made here is the one GDAL reads: points (no envelope
// in the blob's header), one-part and multi-part lines, a polygon with a
// hole; the layer's extent and feature count are those GDAL records, an
// empty layer keeps GDAL's own, and the triggers held back while writing
// work again afterwards.
TEST_F(GpkgWriter, GeometriesAndLayerMetadataReadBackThroughGdal) {
  using TParts = std::vector<std::vector<TFloatPoint>>;
  struct TCase {
    const char* table;
    TObjectTypes kind;
    std::vector<TParts> rows;
    std::vector<std::string> wkt;  // each row's geometry
    const char* flags;             // the blob header's flags byte, in hex
  };
  const TCase cases[] = {
      {"pts", otPoint, {{{{1.5, 2.25}}}, {{{-3, 4}}}}, {"POINT (1.5 2.25)", "POINT (-3 4)"}, "01"},
      {"lines",
       otPline,
       {{{{0, 0}, {1, 1}, {2, 0.5}}}, {{{5, 5}, {6, 6}}, {{7, 7}, {8, -1}}}},
       {"LINESTRING (0 0,1 1,2 0.5)", "MULTILINESTRING ((5 5,6 6),(7 7,8 -1))"},
       "03"},
      {"areas",
       otRegion,
       {{{{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}}, {{2, 2}, {3, 2}, {3, 3}, {2, 2}}}},
       {"POLYGON ((0 0,10 0,10 10,0 10,0 0),(2 2,3 2,3 3,2 2))"},
       "03"},
  };
  for (const TCase& c : cases) {
    TGISWriterGPKG w;
    w.SetFileName(Path(c.table));
    w.StartHeader(1, c.kind);
    w.AddField("n", gfInteger, 10, 0);
    int n = 0;
    for (const TParts& row : c.rows) {
      w.AddObject(static_cast<int32_t>(row.size()), false, std::to_string(++n));
      for (size_t i = 0; i < row.size(); ++i) {
        TFloatPointArrayEx part;
        part.Pnt = row[i];
        part.Count = static_cast<int32_t>(row[i].size());
        w.AddSection(static_cast<int32_t>(i), part);
      }
    }
    w.Close();
  }
  TGISWriterGPKG empty;
  empty.SetFileName(Path("nothing"));
  empty.StartHeader(1, otPline);
  empty.AddField("n", gfInteger, 10, 0);
  empty.Close();

  GDALDatasetH ds = OpenWithGdal(File());
  ASSERT_NE(ds, nullptr);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.table);
    OGRLayerH l = GDALDatasetGetLayerByName(ds, c.table);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(OGR_L_GetFeatureCount(l, FALSE), static_cast<GIntBig>(c.rows.size()));
    OGREnvelope all;
    all.MinX = all.MinY = HUGE_VAL;
    all.MaxX = all.MaxY = -HUGE_VAL;
    OGR_L_ResetReading(l);
    for (const std::string& wkt : c.wkt) {
      OGRFeatureH f = OGR_L_GetNextFeature(l);
      ASSERT_NE(f, nullptr);
      OGRGeometryH g = OGR_F_GetGeometryRef(f);
      ASSERT_NE(g, nullptr) << wkt;
      char* text = const_cast<char*>(wkt.c_str());
      OGRGeometryH want = nullptr;
      ASSERT_EQ(OGR_G_CreateFromWkt(&text, nullptr, &want), OGRERR_NONE) << wkt;
      EXPECT_TRUE(OGR_G_Equals(g, want)) << wkt;
      OGR_G_DestroyGeometry(want);
      OGREnvelope e;
      OGR_G_GetEnvelope(g, &e);
      all.MinX = std::min(all.MinX, e.MinX);
      all.MaxX = std::max(all.MaxX, e.MaxX);
      all.MinY = std::min(all.MinY, e.MinY);
      all.MaxY = std::max(all.MaxY, e.MaxY);
      OGR_F_Destroy(f);
    }
    EXPECT_EQ(OGR_L_GetNextFeature(l), nullptr);
    const std::string t = c.table;
    EXPECT_EQ(Sql(File(), "SELECT group_concat(DISTINCT hex(substr(geom, 1, 8))) FROM " + t),
              std::string("4750") + "00" + c.flags + "E6100000");  // "GP", version 0, flags, SRS 4326
    char extent[200];
    std::snprintf(extent, sizeof extent, "%.17g %.17g %.17g %.17g", all.MinX, all.MinY, all.MaxX, all.MaxY);
    EXPECT_EQ(Sql(File(), "SELECT printf('%.17g %.17g %.17g %.17g', min_x, min_y, max_x, max_y) "
                          "FROM gpkg_contents WHERE table_name = '" + t + "'"),
              std::string(extent));
    EXPECT_EQ(Sql(File(), "SELECT feature_count FROM gpkg_ogr_contents WHERE table_name = '" + t + "'"),
              std::to_string(c.rows.size()));
    EXPECT_EQ(Sql(File(), "SELECT rtreecheck('rtree_" + t + "_geom')"), "ok");
  }
  OGRLayerH l = GDALDatasetGetLayerByName(ds, "nothing");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(OGR_L_GetFeatureCount(l, FALSE), 0);
  GDALClose(ds);
  EXPECT_EQ(Sql(File(), "SELECT coalesce(min_x, 'none') FROM gpkg_contents WHERE table_name = 'nothing'"), "none");
  EXPECT_EQ(Sql(File(), "SELECT count(*) FROM rtree_nothing_geom"), "0");
  // The feature count's and the R-tree's triggers are back: a row added by
  // another program is counted and indexed.
  Sql(File(), "INSERT INTO lines (geom, n) SELECT geom, 9 FROM lines WHERE fid = 2", true);
  EXPECT_EQ(Sql(File(), "SELECT feature_count FROM gpkg_ogr_contents WHERE table_name = 'lines'"), "3");
  EXPECT_EQ(Sql(File(), "SELECT count(*) FROM rtree_lines_geom"), "3");
  EXPECT_EQ(Sql(File(), "PRAGMA integrity_check"), "ok");
}

// Values go in with the storage class and value OGR gave them: an integer
// past 32 bits in a 32-bit column as the nearest it holds, dates as ISO
// text, numbers rounded to their decimals, empty numbers as null, text of
// every script cut at whole characters.
TEST_F(GpkgWriter, ValuesAreStoredAsOgrStoredThem) {
  const std::string name80 = std::string(76, 'a') + "\xC3\xA9\xE4\xB8\xAD";  // 78 characters
  TGISWriterGPKG w;
  w.SetFileName(Path("v"));
  w.StartHeader(7, otPoint);
  w.AddField("i", gfInteger, 10, 0);
  w.AddField("big", gfInt64, 20, 0);
  w.AddField("dec", gfDecimal, 10, 2);
  w.AddField("day", gfDate, 8, 0);
  w.AddField("yes", gfLogical, 1, 0);
  w.AddField("name", gfChar, 80, 0);
  w.AddField("short", gfChar, 3, 0);
  w.AddPoint(1, 1, "99999999999,9007199254740993,3.14159,20240131,Y," + name80 + ",\xD0\x96\xD0\xB8\xD0\xB2\xD0\xBE");
  w.AddPoint(2, 2, "-99999999999,,,2024,n,,");
  w.Close();
  const struct {
    const char* sql;
    const char* expected;
  } checks[] = {
      {"SELECT group_concat(i || ':' || typeof(i), ' ') FROM v", "2147483647:integer -2147483648:integer"},
      {"SELECT big || ':' || typeof(big) FROM v WHERE fid = 1", "9007199254740993:integer"},
      {"SELECT dec || ':' || typeof(dec) FROM v WHERE fid = 1", "3.14:real"},
      {"SELECT group_concat(coalesce(day, 'null'), ' ') FROM v", "2024-01-31 null"},
      {"SELECT group_concat(yes, ' ') FROM v", "1 0"},
      {"SELECT count(*) FROM v WHERE fid = 2 AND big IS NULL AND dec IS NULL AND name = ''", "1"},
      {"SELECT short FROM v WHERE fid = 1", "\xD0\x96\xD0\xB8\xD0\xB2"},
  };
  for (const auto& c : checks) EXPECT_EQ(Sql(File(), c.sql), c.expected) << c.sql;
  EXPECT_EQ(Sql(File(), "SELECT name FROM v WHERE fid = 1"), name80);
  // And GDAL takes them as the fields' types.
  GDALDatasetH ds = OpenWithGdal(File());
  ASSERT_NE(ds, nullptr);
  OGRLayerH l = GDALDatasetGetLayerByName(ds, "v");
  ASSERT_NE(l, nullptr);
  OGRFeatureH f = OGR_L_GetNextFeature(l);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(OGR_F_GetFieldAsString(f, OGR_F_GetFieldIndex(f, "day")), "2024/01/31");
  EXPECT_EQ(OGR_F_GetFieldAsInteger(f, OGR_F_GetFieldIndex(f, "yes")), 1);
  EXPECT_EQ(OGR_F_GetFieldAsInteger64(f, OGR_F_GetFieldIndex(f, "big")), 9007199254740993LL);
  EXPECT_EQ(std::string(OGR_F_GetFieldAsString(f, OGR_F_GetFieldIndex(f, "name"))), name80);
  OGR_F_Destroy(f);
  GDALClose(ds);
}

// The layer reader decodes the lines the writer stores itself and leaves
// every other row to OGR: each answer equals OGR's own reading of the row,
// for rows another program wrote as well (other geometry kinds, big-endian
// or 3D lines, a truncated or foreign blob, text), and for field values
// stored as other types than declared.
TEST_F(GpkgWriter, LayerReaderAnswersAsOgrReadsTheRow) {
  {
    TGISWriterGPKG w;
    w.SetFileName(Path("r"));
    w.StartHeader(3, otPline);
    w.AddField("name", gfChar, 20, 0);
    w.AddField("small", gfInteger, 10, 0);
    w.AddField("big", gfInt64, 20, 0);
    w.AddLine(0, 0, 1, 1, "one,1,10");
    w.AddObject(2, false, "two,2,20");
    w.AddSection2(0, 5, 5, 6, 6);
    w.AddSection2(1, 7, 7, 8, 9);
    w.AddObject(1, false, "3abc,3,30");
    w.AddSection2(0, -1, -2, -3, -4);
    w.AddObject(0, false, ",,");
    w.Close();
  }
  // Blobs another program might have written, as SQL: "GP" headers of no
  // envelope before WKB of either byte order.
  const auto blob = [](bool bigEndian, uint32_t type, const std::vector<double>& tail,
                       const std::vector<uint32_t>& counts) {
    std::string hex = bigEndian ? "X'4750000001000000" : "X'4750000101000000";
    const auto put = [&](const void* p, size_t n) {
      const auto* b = static_cast<const unsigned char*>(p);
      char two[3];
      for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02X", b[bigEndian ? n - 1 - i : i]);
        hex += two;
      }
    };
    hex += bigEndian ? "00" : "01";
    put(&type, 4);
    for (uint32_t c : counts) put(&c, 4);
    for (double d : tail) put(&d, 8);
    return hex + "'";
  };
  const std::string line = "(SELECT geom FROM r WHERE fid = 1)";
  const std::string others[] = {
      blob(false, 1, {1, 2}, {}),                                   // a point
      blob(false, 3, {0, 0, 0, 1, 1, 1, 0, 0}, {1, 4}),             // a polygon
      blob(true, 2, {0, 0, 1, 1}, {2}),                             // a big-endian line
      blob(false, 1002, {0, 0, 0, 1, 1, 1}, {2}),                   // a 3D line
      "substr(" + line + ", 1, 60)",                                // cut short
      line + " || X'00'",                                           // a byte more than it says
      "'not a geometry'",
      "X'00'",
  };
  for (const std::string& g : others)
    Sql(File(), "INSERT INTO r (geom, name, small, big) VALUES (" + g + ", 'x', 1, 2)", true);
  // Values stored as other types than their columns declare.
  Sql(File(), "INSERT INTO r (geom, name, small, big) VALUES (NULL, 42, 8589934597, '77x')", true);
  Sql(File(), "INSERT INTO r (geom, name, small, big) VALUES (NULL, X'41', 2.75, -5.5)", true);

  // OGR's complaints about the broken rows are expected.
  CPLPushErrorHandler(CPLQuietErrorHandler);
  struct TPop {
    ~TPop() { CPLPopErrorHandler(); }
  } pop;
  GDALDatasetH ds = GDALOpenEx(File().c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  ASSERT_NE(ds, nullptr);
  OGRLayerH ogr = GDALDatasetGetLayerByName(ds, "r");
  ASSERT_NE(ogr, nullptr);
  TGpkgLayerReader reader(File(), "r");
  EXPECT_EQ(reader.RecordCount(), OGR_L_GetFeatureCount(ogr, TRUE));

  // Geometry only.
  reader.ReadOnly(-1);
  OGR_L_ResetReading(ogr);
  std::vector<TFloatPoint> pts;
  int rows = 0;
  for (; reader.Next(); ++rows) {
    OGRFeatureH f = OGR_L_GetNextFeature(ogr);
    ASSERT_NE(f, nullptr);
    SCOPED_TRACE(OGR_F_GetFID(f));
    OGRGeometryH g = OGR_F_GetGeometryRef(f);
    int32_t parts = 0;
    std::vector<TFloatPoint> want;
    if (g) {
      const auto flat = static_cast<OGRwkbGeometryType>(wkbFlatten(OGR_G_GetGeometryType(g)));
      OGRGeometryH one = nullptr;
      if (flat == wkbLineString) {
        parts = 1, one = g;
      } else if (flat == wkbMultiLineString) {
        parts = OGR_G_GetGeometryCount(g);
        if (parts == 1) one = OGR_G_GetGeometryRef(g, 0);
      } else {
        parts = -1;
        EXPECT_EQ(reader.GeometryType(), static_cast<int32_t>(OGR_G_GetGeometryType(g)));
      }
      for (int i = 0; one && i < OGR_G_GetPointCount(one); ++i)
        want.push_back({OGR_G_GetX(one, i), OGR_G_GetY(one, i)});
    }
    EXPECT_EQ(reader.LineParts(), parts);
    if (parts == 1) {
      pts.clear();
      ASSERT_EQ(reader.LinePoints(pts), static_cast<int64_t>(want.size()));
      for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(pts[i].x, want[i].x) << i;
        EXPECT_EQ(pts[i].y, want[i].y) << i;
      }
    }
    OGR_F_Destroy(f);
  }
  EXPECT_EQ(OGR_L_GetNextFeature(ogr), nullptr);
  EXPECT_EQ(rows, 4 + static_cast<int>(std::size(others)) + 2);

  // One field at a time, as the attribute and name imports read them.
  for (const char* field : {"name", "small", "big"}) {
    SCOPED_TRACE(field);
    const int32_t k = reader.FindField(field);
    ASSERT_GE(k, 0);
    reader.ReadOnly(k);
    OGR_L_ResetReading(ogr);
    while (reader.Next()) {
      OGRFeatureH f = OGR_L_GetNextFeature(ogr);
      ASSERT_NE(f, nullptr);
      SCOPED_TRACE(OGR_F_GetFID(f));
      const bool set = OGR_F_IsFieldSetAndNotNull(f, k);
      EXPECT_EQ(reader.Integer(k), set ? OGR_F_GetFieldAsInteger64(f, k) : 0);
      EXPECT_EQ(reader.Text(k), set ? std::string(OGR_F_GetFieldAsString(f, k)) : std::string());
      EXPECT_EQ(reader.LineParts(), 0);
      OGR_F_Destroy(f);
    }
  }
  GDALClose(ds);
}

}  // namespace
