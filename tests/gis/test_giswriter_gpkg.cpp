// The GeoPackage writer's own thread: a row GDAL refuses in the background
// reaches the writer that handed it over, with its message, within the
// queue's bound; tables written at once from two threads keep their rows in
// order and get sound R-trees, packed at their close.
#include <gtest/gtest.h>

#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>

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

}  // namespace
