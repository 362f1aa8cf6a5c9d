// GeoPackage output against the shapefiles of the same run: every table a
// layer of osm2trassel.gpkg with the shapefile's records, values and
// geometries as GDAL reads both, the network built from the layer equal
// byte for byte to the one built from the shapefile, text kept whole.
#include <gtest/gtest.h>

#include <cpl_error.h>
#include <gdal.h>
#include <cpl_conv.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "findings.h"
#include "gpkg_sql.h"
#include "grid_osm.h"
#include "include_file.h"
#include "linvoro_giswriter.h"
#include "linvoro_roadnamefile.h"
#include "output_files.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"
#include "temp_dir_test.h"
#include "utf8_text.h"

namespace fs = std::filesystem;

namespace {

struct TValue {
  bool isNull = false;
  bool isText = false;
  std::string text;
  double number = 0;
};

struct TRecord {
  std::vector<std::pair<std::string, TValue>> fields;
  std::string wkt;
};

struct TTable {
  bool found = false;
  std::string geometryType;
  int epsg = 0;
  std::vector<TRecord> records;
};

// A layer as GDAL reads it: the fields by name, the geometry as ISO WKT.
TTable ReadLayer(const std::string& path, const std::string& layerName) {
  TTable t;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (ds) {
    OGRLayerH layer = GDALDatasetGetLayerByName(ds, layerName.c_str());
    if (layer) {
      t.found = true;
      OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
      t.geometryType = OGRGeometryTypeToName(OGR_FD_GetGeomType(defn));
      if (OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(layer)) {
        const char* code = OSRGetAuthorityCode(srs, nullptr);
        t.epsg = code ? std::atoi(code) : 0;
      }
      while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
        TRecord r;
        for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i) {
          OGRFieldDefnH fd = OGR_FD_GetFieldDefn(defn, i);
          TValue v;
          v.isNull = !OGR_F_IsFieldSetAndNotNull(f, i);
          v.isText = OGR_Fld_GetType(fd) == OFTString;
          if (v.isText)
            v.text = OGR_F_GetFieldAsString(f, i);
          else if (!v.isNull)
            v.number = OGR_F_GetFieldAsDouble(f, i);
          r.fields.emplace_back(OGR_Fld_GetNameRef(fd), v);
        }
        if (OGRGeometryH g = OGR_F_GetGeometryRef(f)) {
          char* wkt = nullptr;
          OGR_G_ExportToIsoWkt(g, &wkt);
          r.wkt = wkt;
          CPLFree(wkt);
        }
        t.records.push_back(std::move(r));
        OGR_F_Destroy(f);
      }
    }
    GDALClose(ds);
  }
  CPLPopErrorHandler();
  return t;
}

std::string SqlValue(const std::string& path, const std::string& sql) { return GpkgSql(path, sql); }

class TQuietUI : public TNullRunUI {};

class GpkgOutput : public TTempDirTest {
 protected:
  GpkgOutput() : TTempDirTest("gpkg_") {}
  static void SetUpTestSuite() { GDALAllRegister(); }
  void SetUp() override {
    TTempDirTest::SetUp();
    if (!TGISWriter::GPKG_supported()) FAIL() << TGISWriter::GPKGProblem();
    include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  }

  // Runs o into dir/name/ and returns that folder.
  std::string Run(TRunOptions o, const std::string& name) {
    o.MainDir = Path(name + "/");
    fs::create_directories(o.MainDir);
    TQuietUI ui;
    const TRunResult r = RunConversion(o, include, ui);
    EXPECT_EQ(r.Status, TRunStatus::rsOk) << name << ": " << r.Message;
    return o.MainDir;
  }

  TIncludeLists include;
};

// The records of both readings must agree field by field: the names the
// shapefile has (none of them cut: no table has a name past 10
// characters), text as GDAL trims it from the dBASE file, numbers equal.
void ExpectSameTable(const TTable& shp, const TTable& gpkg, const std::string& table) {
  SCOPED_TRACE(table);
  ASSERT_TRUE(shp.found);
  ASSERT_TRUE(gpkg.found);
  EXPECT_EQ(gpkg.epsg, 4326);
  ASSERT_EQ(shp.records.size(), gpkg.records.size());
  for (size_t k = 0; k < shp.records.size(); ++k) {
    const TRecord& a = shp.records[k];
    const TRecord& b = gpkg.records[k];
    ASSERT_EQ(a.fields.size(), b.fields.size()) << "record " << k;
    for (size_t i = 0; i < a.fields.size(); ++i) {
      SCOPED_TRACE("record " + std::to_string(k) + " field " + a.fields[i].first);
      EXPECT_EQ(a.fields[i].first, b.fields[i].first);
      const TValue& x = a.fields[i].second;
      const TValue& y = b.fields[i].second;
      if (x.isText && !y.isText) {
        // GDAL reads a dBASE logical as the text T or F; the GeoPackage
        // holds a boolean.
        EXPECT_EQ(x.text == "T" ? 1.0 : 0.0, y.number);
        EXPECT_TRUE(x.text == "T" || x.text == "F") << x.text;
      } else if (x.isText || y.isText) {
        EXPECT_EQ(x.text, y.text);
      } else {
        // An empty dBASE number is null, as the GeoPackage stores it.
        EXPECT_EQ(x.isNull, y.isNull);
        EXPECT_DOUBLE_EQ(x.number, y.number);
      }
    }
    EXPECT_EQ(a.wkt, b.wkt) << "record " << k;
  }
}

const char* const kNetworkFiles[] = {"coord.bin",     "link.bin",         "length.bin",     "node.bin",
                                     "coord3.bin",    "coord3i.bin",      "spatialindex.bin", "attribute.bin",
                                     "roadname01.bin", "roadnumber01.bin", "roadname02.bin", "roadnumber02.bin",
                                     "linvoro_config.ini"};

}  // namespace

TEST_F(GpkgOutput, EveryTableMatchesTheShapefileAndTheNetworkIsTheSame) {
  struct TCase {
    const char* name;
    bool pedestrian, bicycle, car;
    int32_t nameRef;
    std::vector<TOptionalItem> optional;
    bool checks;
  };
  const TCase cases[] = {
      {"car_all_checks", false, false, true, nrNameAndRef, {}, true},
      {"pedestrian_name", true, false, false, nrName, {oiBridge, oiTunnel}, false},
      {"bicycle_nameref", false, true, false, nrNameRef,
       {oiLanes, oiMaxHeight, oiMaxSpeed, oiMaxWeight, oiMaxWidth, oiToll}, false},
      {"all_modes_unless_ref", true, true, true, nrNameUnlessRef,
       {oiBridge, oiLanes, oiMaxHeight, oiMaxSpeed, oiMaxWeight, oiMaxWidth, oiToll, oiTunnel}, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TRunOptions o;
    o.Files = {std::string(PROJECT_DATA_DIR) + "/sample/monaco.osm.pbf"};
    o.Pedestrian = c.pedestrian;
    o.Bicycle = c.bicycle;
    o.Car = c.car;
    o.NameRef = c.nameRef;
    for (TOptionalItem i : c.optional) o.Optional[i] = true;
    o.BuildNetwork = true;
    o.Subnets = o.TopoChecks = o.Overpasses = c.checks;
    o.Report = false;
    // UTF-8 shapefiles: in a code page, names it cannot hold would differ.
    o.Encoding = 65001;
    o.OutputFormat = 1;
    const std::string shp = Run(o, std::string(c.name) + "_shp");
    o.OutputFormat = 3;
    const std::string gpkg = Run(o, std::string(c.name) + "_gpkg");
    if (HasFailure()) return;

    // No shapefile part in the GeoPackage run's folder.
    EXPECT_FALSE(fs::exists(gpkg + "roads.shp"));
    const std::string file = gpkg + GpkgFileName;
    ASSERT_TRUE(fs::exists(file));
    std::vector<std::string> tables = {"roads"};
    for (const std::string& t : CheckTableNames()) tables.push_back(t);
    int written = 0;
    for (const std::string& t : tables) {
      const bool inShp = fs::exists(shp + t + ".shp");
      // A check table dropped for having no rows is no layer either.
      EXPECT_EQ(ReadLayer(file, t).found, inShp) << t;
      if (!inShp) continue;
      ++written;
      ExpectSameTable(ReadLayer(shp + t + ".shp", t), ReadLayer(file, t), t);
      // Every layer with geometry has its R-tree, a sound one (SQLite's own
      // check of its nodes and maps), with one entry per row holding the
      // row's box, and its insert trigger for rows added later.
      EXPECT_EQ(SqlValue(file, "SELECT HasSpatialIndex('" + t + "', 'geom')"), "1") << t;
      const std::string rtree = "rtree_" + t + "_geom";
      EXPECT_EQ(SqlValue(file, "SELECT rtreecheck('" + rtree + "')"), "ok") << t;
      const std::string rows = SqlValue(file, "SELECT count(*) FROM \"" + t + "\" WHERE geom IS NOT NULL");
      EXPECT_EQ(SqlValue(file, "SELECT count(*) FROM \"" + rtree + "\""), rows) << t;
      EXPECT_EQ(SqlValue(file, "SELECT count(*) FROM \"" + t + "\" t JOIN \"" + rtree +
                                   "\" r ON r.id = t.fid WHERE r.minx <= ST_MinX(t.geom) AND "
                                   "r.maxx >= ST_MaxX(t.geom) AND r.miny <= ST_MinY(t.geom) AND "
                                   "r.maxy >= ST_MaxY(t.geom)"),
                rows)
          << t;
      EXPECT_EQ(SqlValue(file, "SELECT count(*) FROM sqlite_master WHERE type = 'trigger' AND name = '" + rtree +
                                   "_insert'"),
                "1")
          << t;
    }
    EXPECT_EQ(written > 1, c.checks);
    EXPECT_EQ(SqlValue(file, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(SqlValue(file, "PRAGMA application_id"), "1196444487");  // "GPKG"

    for (const char* f : kNetworkFiles) {
      SCOPED_TRACE(f);
      const std::string a = Slurp(shp + f), b = Slurp(gpkg + f);
      EXPECT_FALSE(a.empty());
      EXPECT_TRUE(a == b) << "differs";
    }
  }
}

// Names in many scripts and of 80 characters (in a field declared 80 wide)
// come back from the layer as they were tagged, whatever encoding the run
// asks for; the name past the width is cut at a whole character, as the
// other formats cut it, never at a byte count.
TEST_F(GpkgOutput, TextComesBackWhole) {
  const std::string scripts =
      "Тверская Οδός רחוב شارع 東京都千代田区 서울 ถนน Straße 😀 \"quoted\", comma";
  std::string eighty;
  while (eighty.size() < 100) eighty += "Ω-Weg ";
  eighty = FirstChars(eighty, 79) + "!";
  const std::string tooLong = FirstChars(eighty + "東京都千代田区", 87);
  const std::vector<std::string> names = {scripts, eighty, tooLong};
  std::string osm = "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n";
  for (size_t i = 0; i < names.size(); ++i)
    for (int k = 0; k < 2; ++k)
      osm += "  <node id=\"" + std::to_string(2 * i + k + 1) + "\" lat=\"55.7" + std::to_string(i) +
             "\" lon=\"37.6" + std::to_string(k) + "\"/>\n";
  for (size_t i = 0; i < names.size(); ++i) {
    std::string escaped;
    for (char ch : names[i]) escaped += ch == '"' ? std::string("&quot;") : std::string(1, ch);
    osm += "  <way id=\"" + std::to_string(100 + i) + "\">\n    <nd ref=\"" + std::to_string(2 * i + 1) +
           "\"/>\n    <nd ref=\"" + std::to_string(2 * i + 2) +
           "\"/>\n    <tag k=\"highway\" v=\"residential\"/>\n    <tag k=\"name\" v=\"" + escaped +
           "\"/>\n  </way>\n";
  }
  osm += "</osm>\n";
  Put(Path("names.osm"), osm);

  for (uint16_t encoding : {uint16_t{0}, uint16_t{1252}, uint16_t{65001}}) {
    SCOPED_TRACE(encoding);
    TRunOptions o;
    o.Files = {Path("names.osm")};
    o.Car = true;
    o.NameRef = nrName;
    o.NameLength = 80;
    o.OutputFormat = 3;
    o.Encoding = encoding;
    o.BuildNetwork = true;
    o.Report = false;
    const std::string dir = Run(o, "enc" + std::to_string(encoding));
    const TTable t = ReadLayer(dir + GpkgFileName, "roads");
    ASSERT_EQ(t.records.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      const auto& f = t.records[i].fields;
      ASSERT_EQ(f[1].first, "name");
      EXPECT_EQ(f[1].second.text, FirstChars(names[i], 80)) << i;
    }
    // The network's name file holds them as the layer does.
    TRoadNameFile rn;
    rn.Load(dir, false, 0, 2, static_cast<int32_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i)
      EXPECT_EQ(rn.RoadName1(static_cast<int32_t>(i + 1)), FirstChars(names[i], 80)) << i;
  }
}

// With the report, the findings are a layer too: every feature of
// findings.geojson in its order, with its geometry and its properties as
// fields (the table fields of every check, the check, the link's way and
// name, the node pairs' ways as JSON text), in WGS 84 with an R-tree.
// Without the report there are no findings, and no layer.
TEST_F(GpkgOutput, FindingsAreALayer) {
  TRunOptions o;
  o.Files = {std::string(SHARED_DATA_DIR) + "/osm/andorra.osm.gz"};
  o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
  o.OutputFormat = 3;
  const std::string dir = Run(o, "report");
  if (HasFailure()) return;
  const TTable json = ReadLayer(dir + TFindings::FileName, "findings");
  const TTable layer = ReadLayer(dir + GpkgFileName, "findings");
  ASSERT_TRUE(json.found);
  ASSERT_TRUE(layer.found);
  EXPECT_EQ(layer.epsg, 4326);
  ASSERT_GT(json.records.size(), 0u);
  ASSERT_EQ(layer.records.size(), json.records.size());
  std::vector<std::string> names;
  for (const auto& f : layer.records[0].fields) names.push_back(f.first);
  for (const char* want : {"check", "link", "Subnet", "Group", "SameLength", "Duplicate", "SelfInter", "SharpTurn",
                           "Node1", "Node2", "Node", "distance_m", "position", "osm_way", "osm_id", "name", "osm_ways",
                           "road_class", "message", "crossing_osm_way", "levels_differ"})
    EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
  // SQLite's column names ignore case: the layer's columns are matched
  // with the properties so.
  auto column = [&names](const std::string& n) {
    for (size_t i = 0; i < names.size(); ++i)
      if (strcasecmp(names[i].c_str(), n.c_str()) == 0) return static_cast<int>(i);
    return -1;
  };
  std::set<std::string> checks;
  for (size_t k = 0; k < json.records.size(); ++k) {
    const TRecord& a = json.records[k];
    const TRecord& b = layer.records[k];
    ASSERT_EQ(b.fields.size(), names.size());
    for (const auto& [name, x] : a.fields) {
      SCOPED_TRACE("record " + std::to_string(k) + " field " + name);
      const int i = column(name);
      ASSERT_GE(i, 0);
      const TValue& y = b.fields[static_cast<size_t>(i)].second;
      if (x.isNull) continue;  // a same-named property may fill the column
      EXPECT_FALSE(y.isNull);
      if (name == "osm_ways") {
        // A list in GeoJSON, JSON text in the layer.
        EXPECT_EQ(y.text.substr(0, 1), "[") << y.text;
      } else if (x.isText || y.isText) {
        EXPECT_EQ(x.text, y.text);
      } else {
        EXPECT_DOUBLE_EQ(x.number, y.number);
      }
    }
    // Every link finding names its link in the one column.
    if (a.fields[0].second.text != "non_connected_nodes") {
      EXPECT_FALSE(b.fields[static_cast<size_t>(column("link"))].second.isNull);
    }
    EXPECT_EQ(a.wkt, b.wkt) << "record " << k;
    checks.insert(a.fields[0].second.text);
  }
  // Every check found something in andorra.
  EXPECT_EQ(checks.size(), FindingTables().size());
  EXPECT_EQ(SqlValue(dir + GpkgFileName, "SELECT HasSpatialIndex('findings', 'geom')"), "1");
  EXPECT_EQ(SqlValue(dir + GpkgFileName, "PRAGMA integrity_check"), "ok");

  o.Report = false;
  const std::string quiet = Run(o, "no_report");
  EXPECT_TRUE(ReadLayer(quiet + GpkgFileName, "roads").found);
  EXPECT_FALSE(ReadLayer(quiet + GpkgFileName, "findings").found);
}

// A stop ends the run without packing the R-tree of a table it cut short
// (seconds for a country's roads): that layer keeps its rows, complete to
// the last, and has no spatial index at all rather than an empty one that
// would hide its rows from a spatial filter; tables that ended keep theirs.
// The findings layer is left out (findings.geojson holds them).
TEST_F(GpkgOutput, StoppedRunLeavesWholeLayersWithoutAPartialIndex) {
  class TStopUI : public TNullRunUI {
   public:
    TStopUI(std::string at, int32_t polls) : FAt(std::move(at)), FPolls(polls) {}
    void Stage(const TRunStage& s) override {
      if (s.Name == FAt) FArmed = true;
    }
    bool CancelRequested() override { return FArmed && FPolls-- <= 0; }

   private:
    std::string FAt;
    int32_t FPolls;
    bool FArmed = false;
  };
  const struct {
    const char* at;
    int32_t polls;
    const char* cut;  // the layer the stop cut short, "" when that depends on the threads
  } cases[] = {{"Pass 3/3", 10, "roads"}, {"Network nodes", 0, ""}};
  // Polled every 1,024 lines: the ten polls fall among the 7,080 ways.
  const std::string input = Path("grid.osm");
  std::ofstream(input, std::ios::binary) << GridOsm(60);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at);
    TRunOptions o;
    o.Files = {input};
    o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
    o.OutputFormat = 3;
    o.MainDir = Path(std::string(c.at).substr(0, 4) + "/");
    fs::create_directories(o.MainDir);
    TStopUI ui(c.at, c.polls);
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsCancelled) << r.Message;
    const std::string file = o.MainDir + GpkgFileName;
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(SqlValue(file, "PRAGMA integrity_check"), "ok");
    EXPECT_FALSE(ReadLayer(file, "findings").found);
    if (!*c.cut) {
      EXPECT_TRUE(fs::exists(o.MainDir + TFindings::FileName));
    }
    std::vector<std::string> tables = {"roads"};
    for (const std::string& t : CheckTableNames()) tables.push_back(t);
    int layers = 0;
    for (const std::string& t : tables) {
      const TTable layer = ReadLayer(file, t);
      if (!layer.found) continue;
      SCOPED_TRACE(t);
      ++layers;
      const std::string rows = SqlValue(file, "SELECT count(*) FROM \"" + t + "\"");
      EXPECT_EQ(std::to_string(layer.records.size()), rows);
      EXPECT_EQ(SqlValue(file, "SELECT feature_count FROM gpkg_ogr_contents WHERE table_name = '" + t + "'"), rows);
      const std::string rtree = "rtree_" + t + "_geom";
      if (SqlValue(file, "SELECT HasSpatialIndex('" + t + "', 'geom')") == "1") {
        EXPECT_NE(t, c.cut);
        EXPECT_EQ(SqlValue(file, "SELECT rtreecheck('" + rtree + "')"), "ok");
        EXPECT_EQ(SqlValue(file, "SELECT count(*) FROM \"" + rtree + "\""), rows);
      } else {
        // Nothing of the index is left: no extension row, table or trigger.
        EXPECT_EQ(SqlValue(file, "SELECT count(*) FROM gpkg_extensions WHERE table_name = '" + t + "'"), "0");
        EXPECT_EQ(SqlValue(file, "SELECT count(*) FROM sqlite_master WHERE name LIKE '" + rtree + "%'"), "0");
      }
    }
    EXPECT_GT(layers, 0);
    if (*c.cut) {
      EXPECT_EQ(SqlValue(file, "SELECT HasSpatialIndex('" + std::string(c.cut) + "', 'geom')"), "0");
      const int64_t rows = std::atoll(SqlValue(file, "SELECT count(*) FROM \"" + std::string(c.cut) + "\"").c_str());
      EXPECT_GT(rows, 0);
      EXPECT_LT(rows, 7080);
    }
  }
}
