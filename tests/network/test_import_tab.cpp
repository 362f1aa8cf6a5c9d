// The TAB road-table reader of the network import: hand-made .map/.id files
// in the native and the extended layout (every object kind, coordinate data
// running over several blocks, rejected rows, damaged files), and tables
// written by GDAL, whose network must equal, file by file, the networks of
// the same table as shapefile and as MIF.
#include <gdal.h>
#include <cpl_vsi.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>
#include <ogr_api.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "linvoro_configfile.h"
#include "linvoro_giswriter.h"
#include "linvoro_import.h"
#include "linvoro_quadtree.h"
#include "linvoro_roadnamefile.h"
#include "include_file.h"
#include "network_reference.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

const char* const NetworkBinFiles[] = {"coord.bin",  "link.bin",    "length.bin",      "node.bin",
                                       "coord3.bin", "coord3i.bin", "spatialindex.bin"};

// ------------------------------------------------------------ hand-made tables

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

constexpr int32_t Block = 512;
constexpr double Scale = 1e6;

// One object of a hand-made .map file.
struct TTabObject {
  uint8_t type = 8;                    // 4, 5, 7, 8 or anything else
  std::vector<std::pair<int32_t, int32_t>> pts;  // stored integers
  bool deleted = false;                // .id entry 0
  int32_t declared = -1;               // vertex count written instead, when >= 0
};

class TMapBuilder {
 public:
  explicit TMapBuilder(bool extended) : e(extended ? 1 : 0), map(3 * Block, '\0') {
    Put<uint16_t>(260, extended ? 1500 : 500);
    Put<uint16_t>(262, Block);
    Put<uint8_t>(353, 1);    // quadrant
    Put<uint16_t>(362, 104); // WGS 84
    Put<uint8_t>(365, 1);    // longitude/latitude
    Put<uint8_t>(366, 28);
    Put<uint8_t>(367, 13);   // degrees
    Put<double>(368, Scale);
    Put<double>(376, Scale);
    // Block 2 is the object block; its origin serves the short lines.
    Put<uint8_t>(2 * Block, 2);
    Put<int32_t>(2 * Block + 4, OriginX);
    Put<int32_t>(2 * Block + 8, OriginY);
    objectPos = 2 * Block + 20;
  }

  static constexpr int32_t OriginX = 1500000;
  static constexpr int32_t OriginY = 42500000;

  void Add(const TTabObject& o) {
    if (o.deleted) {
      offsets.push_back(0);
      return;
    }
    const int64_t at = objectPos;
    objectPos += 48;
    offsets.push_back(at);
    Put<uint8_t>(at, o.type);
    const int64_t body = at + 5 + 4 * e;
    switch (o.type) {
      case 4:
        for (size_t i = 0; i < 2; ++i) {
          Put<int16_t>(body + 4 * int64_t(i), static_cast<int16_t>(o.pts[i].first - OriginX));
          Put<int16_t>(body + 4 * int64_t(i) + 2, static_cast<int16_t>(o.pts[i].second - OriginY));
        }
        break;
      case 5:
        for (size_t i = 0; i < 2; ++i) {
          Put<int32_t>(body + 8 * int64_t(i), o.pts[i].first);
          Put<int32_t>(body + 8 * int64_t(i) + 4, o.pts[i].second);
        }
        break;
      case 7:
      case 8: {
        const bool compressed = o.type == 7;
        const int32_t n = o.declared >= 0 ? o.declared : static_cast<int32_t>(o.pts.size());
        // The compressed origin: the first vertex, so every offset fits.
        const int32_t ox = o.pts.empty() ? 0 : o.pts[0].first;
        const int32_t oy = o.pts.empty() ? 0 : o.pts[0].second;
        if (compressed) {
          Put<int32_t>(at + 17 + 8 * e, ox);
          Put<int32_t>(at + 17 + 8 * e + 4, oy);
        }
        const int64_t p = WriteCoordinates(o.pts, compressed, ox, oy);
        if (e)
          Put<int64_t>(body, p);
        else
          Put<int32_t>(body, static_cast<int32_t>(p));
        Put<int32_t>(body + 4 + 4 * e, compressed ? n * 4 : n * 8);
        break;
      }
      default:
        break;
    }
  }

  void Write(const std::string& stem) const {
    WriteFile(stem + ".tab", "!table\r\n!version 300\r\n!charset WindowsLatin1\r\n\r\n"
                                     "Definition Table\r\n  Type NATIVE Charset \"WindowsLatin1\"\r\n"
                                     "  Fields 1\r\n    id Integer ;\r\n");
    WriteFile(stem + ".map", map);
    std::string id;
    for (const int64_t o : offsets) {
      if (e) {
        id.append(reinterpret_cast<const char*>(&o), 8);
      } else {
        const int32_t o32 = static_cast<int32_t>(o);
        id.append(reinterpret_cast<const char*>(&o32), 4);
      }
    }
    WriteFile(stem + ".id", id);
  }

  template <class T>
  void Put(int64_t at, T v) {
    if (map.size() < static_cast<size_t>(at) + sizeof(T)) map.resize(static_cast<size_t>(at) + sizeof(T));
    std::memcpy(&map[static_cast<size_t>(at)], &v, sizeof(T));
  }

  const int64_t e;
  std::string map;
  std::vector<int64_t> offsets;

 private:
  // Coordinate blocks linked through their header, each value written
  // whole inside one block. Returns the address of the first value.
  int64_t WriteCoordinates(const std::vector<std::pair<int32_t, int32_t>>& pts, bool compressed,
                           int32_t ox, int32_t oy) {
    const int64_t header = 8 + 8 * e;
    int64_t block = NewBlock();
    const int64_t first = block + header;
    int64_t pos = first;
    auto value = [&](int32_t v) {
      if (pos % Block == 0) {
        const int64_t next = NewBlock();
        if (e)
          Put<int64_t>(block + 4 + 4 * e, next);
        else
          Put<int32_t>(block + 4, static_cast<int32_t>(next));
        block = next;
        pos = next + header;
      }
      if (compressed) {
        Put<int16_t>(pos, static_cast<int16_t>(v));
        pos += 2;
      } else {
        Put<int32_t>(pos, v);
        pos += 4;
      }
    };
    for (const auto& [x, y] : pts) {
      value(compressed ? x - ox : x);
      value(compressed ? y - oy : y);
    }
    return first;
  }

  int64_t NewBlock() {
    const int64_t at = static_cast<int64_t>(map.size());
    map.resize(map.size() + Block, '\0');
    Put<uint8_t>(at, 3);
    return at;
  }

  int64_t objectPos;
};

TFloatPoint Real(std::pair<int32_t, int32_t> p) { return {p.first / Scale, p.second / Scale}; }

class TabImportTest : public TTempDirTest {
 protected:
  TabImportTest() : TTempDirTest("tabimport_") {}

  std::string ErrorOf(TImport& imp) {
    try {
      imp.Execute();
    } catch (const std::exception& ex) {
      return ex.what();
    }
    return "(no error)";
  }
};

// A table with every object kind the reader knows; its expected links.
std::vector<TTabObject> AllKinds(std::vector<std::optional<std::vector<TFloatPoint>>>& links) {
  using P = std::pair<int32_t, int32_t>;
  const int32_t x0 = TMapBuilder::OriginX, y0 = TMapBuilder::OriginY;
  std::vector<TTabObject> objs;
  auto poly = [&](uint8_t type, std::vector<P> pts) {
    objs.push_back({type, pts});
    std::vector<TFloatPoint> v;
    for (const P& p : pts) v.push_back(Real(p));
    links.push_back(AcceptedLink(v));
  };
  poly(4, {{x0 + 10, y0 - 20}, {x0 + 3000, y0 + 4000}});
  poly(5, {{x0 + 3000, y0 + 4000}, {x0 - 700000, y0 + 900000}});
  poly(7, {{x0 - 700000, y0 + 900000}, {x0 - 690000, y0 + 901000}, {x0 - 680000, y0 + 890000}});
  // 300 vertices of int32 pairs run over five coordinate blocks; 200
  // compressed ones over two.
  std::vector<P> longLine, longCompressed;
  for (int32_t i = 0; i < 300; ++i) longLine.push_back({x0 + 10 + 97 * i, y0 - 20 - 13 * i * (i % 3)});
  for (int32_t i = 0; i < 200; ++i) longCompressed.push_back({x0 - 680000 + 50 * i, y0 + 890000 + (i % 7) * 30});
  poly(8, longLine);
  poly(7, longCompressed);
  objs.push_back({1, {}});  // a point
  links.push_back(std::nullopt);
  objs.push_back({8, {}, true});  // a deleted row
  links.push_back(std::nullopt);
  objs.push_back({8, {{x0, y0}}, false, 1});
  links.push_back(std::nullopt);
  objs.push_back({8, {{x0, y0}, {x0 + 1, y0}}, false, 70000});
  links.push_back(std::nullopt);
  objs.push_back({5, {{x0 + 5, y0 + 5}, {x0 + 5, y0 + 5}}});  // a loop
  links.push_back(std::nullopt);
  return objs;
}

TEST_F(TabImportTest, EveryObjectKindInBothLayouts) {
  for (const bool extended : {false, true}) {
    SCOPED_TRACE(extended ? "extended" : "native");
    std::vector<std::optional<std::vector<TFloatPoint>>> links;
    TMapBuilder b(extended);
    for (const TTabObject& o : AllKinds(links)) b.Add(o);
    b.Write(Path("roads"));
    TImport imp;
    imp.SetDirectory(dir);
    imp.Add(Path("roads.tab"));
    imp.Execute();
    ExpectNetworkFiles(dir, Reference(links));

    const struct {
      int32_t link;
      TErrorCode code;
      int32_t value;
    } rejected[] = {{6, ecNotPolyLine, 1},
                    {7, ecDeleted, 0},
                    {8, ecZeroOrOneVertices, 1},
                    {9, ecTooManyVertices, 70000},
                    {10, ecLoopLink, 0}};
    ASSERT_EQ(imp.ImportErrorList().size(), std::size(rejected));
    for (size_t i = 0; i < std::size(rejected); ++i) {
      const TImportError& got = imp.ImportErrorList()[i];
      EXPECT_EQ(got.link, rejected[i].link);
      EXPECT_EQ(got.linklocal, rejected[i].link);
      EXPECT_EQ(got.errorcode, rejected[i].code) << got.link;
      EXPECT_EQ(got.value, rejected[i].value) << got.link;
    }
    const TConfig c = ReadConfigFile(Path("linvoro_config.ini"));
    EXPECT_EQ(c.Cu, cuDeg);
    EXPECT_EQ(c.CoordSys, "CoordSys Earth Projection 1, 104");
    EXPECT_EQ(c.LinkCount, 10);
  }
}

TEST_F(TabImportTest, DamagedTablesEndTheImportCleanly) {
  struct TCase {
    const char* what;
    std::function<void(TMapBuilder&)> damage;
    std::string error;  // a part of the message
  };
  const std::vector<TCase> cases = {
      {"object offset past the end", [](TMapBuilder& b) { b.offsets[1] = 1 << 30; }, "is corrupt"},
      {"negative object offset", [](TMapBuilder& b) { b.offsets[1] = -8; }, "is corrupt"},
      {"line object cut by the end of the file",
       [](TMapBuilder& b) {
         b.map.back() = 5;
         b.offsets[1] = static_cast<int64_t>(b.map.size()) - 1;
       },
       "is corrupt"},
      {"coordinates past the end",
       [](TMapBuilder& b) { b.Put<int32_t>(b.offsets[3] + 5 + 4 * b.e, 1 << 30); }, "is corrupt"},
      {"broken block chain",
       [](TMapBuilder& b) {
         // The long polyline's first coordinate block links nowhere.
         int64_t first = 0;
         std::memcpy(&first, &b.map[static_cast<size_t>(b.offsets[3] + 5 + 4 * b.e)], 4);
         const int64_t block = first - first % Block;
         b.Put<int32_t>(block + 4 + 4 * b.e, 0);
       },
       "are not linked correctly"},
      {"block size 0", [](TMapBuilder& b) { b.Put<uint16_t>(262, 0); }, "block size is 0"},
      {"scale 0", [](TMapBuilder& b) { b.Put<double>(368, 0); }, ""},
      {"header cut short", [](TMapBuilder& b) { b.map.resize(400); }, ""},
  };
  for (const bool extended : {false, true}) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (extended ? " (extended)" : ""));
      std::vector<std::optional<std::vector<TFloatPoint>>> links;
      for (const auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
      TMapBuilder b(extended);
      for (const TTabObject& o : AllKinds(links)) b.Add(o);
      c.damage(b);
      b.Write(Path("roads"));
      Put(Path("roads.mif"), "kept");  // an earlier output
      TImport imp;
      imp.SetDirectory(dir);
      imp.Add(Path("roads.tab"));
      const std::string error = ErrorOf(imp);
      EXPECT_NE(error, "(no error)");
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      for (const char* f : NetworkBinFiles) EXPECT_FALSE(fs::exists(Path(f))) << f;
      for (const char* f : {"coordfrom.bin", "coordto.bin", "linvoro_config.ini"})
        EXPECT_FALSE(fs::exists(Path(f))) << f;
      EXPECT_EQ(Slurp(Path("roads.mif")), "kept");
    }
  }
}

TEST_F(TabImportTest, CoordinateSystemsMustAgreeAcrossFiles) {
  std::vector<std::optional<std::vector<TFloatPoint>>> links;
  TMapBuilder a(false), b(false);
  for (const TTabObject& o : AllKinds(links)) {
    a.Add(o);
    b.Add(o);
  }
  b.Put<uint8_t>(352, 8);  // this precision byte adds the bounds to the clause
  a.Write(Path("a"));
  b.Write(Path("b"));
  TImport imp;
  imp.SetDirectory(dir);
  imp.Add(Path("a.tab"));
  imp.Add(Path("b.tab"));
  EXPECT_EQ(ErrorOf(imp), "Different Coordsys in input tables");

  TImport lenient;
  lenient.SetDirectory(dir);
  lenient.SetFailOnDifferentCoordSys(false);
  lenient.Add(Path("a.tab"));
  lenient.Add(Path("b.tab"));
  lenient.Execute();
  EXPECT_EQ(lenient.LinkCount(), 20);
  // The second file's objects count on from the first file's.
  EXPECT_EQ(lenient.ImportErrorList().back().link, 20);
  EXPECT_EQ(lenient.ImportErrorList().back().linklocal, 10);
  EXPECT_EQ(lenient.ImportErrorList().back().fileindex, 1);
}

// ------------------------------------------------------------ GDAL tables

void Translate(const std::string& src, const std::string& dst, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  GDALVectorTranslateOptions* opt = GDALVectorTranslateOptionsNew(argv.data(), nullptr);
  ASSERT_NE(opt, nullptr);
  GDALDatasetH in = GDALOpenEx(src.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  ASSERT_NE(in, nullptr) << src;
  int failed = 0;
  GDALDatasetH out = GDALVectorTranslate(dst.c_str(), nullptr, 1, &in, opt, &failed);
  GDALVectorTranslateOptionsFree(opt);
  ASSERT_NE(out, nullptr) << dst;
  ASSERT_EQ(failed, 0);
  GDALClose(out);
  GDALClose(in);
}

// The links a table holds as GDAL reads it, as the import must accept them.
std::vector<std::optional<std::vector<TFloatPoint>>> LinksOf(const std::string& path) {
  std::vector<std::optional<std::vector<TFloatPoint>>> links;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  EXPECT_NE(ds, nullptr) << path;
  if (!ds) return links;
  OGRLayerH lyr = GDALDatasetGetLayer(ds, 0);
  OGR_L_ResetReading(lyr);
  while (OGRFeatureH f = OGR_L_GetNextFeature(lyr)) {
    OGRGeometryH g = OGR_F_GetGeometryRef(f);
    if (g && wkbFlatten(OGR_G_GetGeometryType(g)) == wkbLineString) {
      std::vector<TFloatPoint> v(static_cast<size_t>(OGR_G_GetPointCount(g)));
      for (int i = 0; i < OGR_G_GetPointCount(g); ++i) v[static_cast<size_t>(i)] = {OGR_G_GetX(g, i), OGR_G_GetY(g, i)};
      links.push_back(AcceptedLink(v));
    } else {
      links.push_back(std::nullopt);
    }
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return links;
}

std::string Gunzip(const std::string& gz) {
  std::string data;
  VSILFILE* in = VSIFOpenL(("/vsigzip/" + gz).c_str(), "rb");
  EXPECT_NE(in, nullptr) << gz;
  if (!in) return data;
  char buf[1 << 16];
  size_t n;
  while ((n = VSIFReadL(buf, 1, sizeof buf, in)) > 0) data.append(buf, n);
  VSIFCloseL(in);
  return data;
}

void ImportInto(const std::string& dir, const std::string& table) {
  TImport imp;
  imp.SetDirectory(dir);
  imp.Add(dir + table);
  imp.Execute();
}

class GdalTabTest : public TTempDirTest {
 protected:
  GdalTabTest() : TTempDirTest("gdaltab_") {}
  static void SetUpTestSuite() { GDALAllRegister(); }

  // A road table written by GDAL as TAB, and the same table converted back
  // to shapefile and MIF: the three networks agree byte for byte, and the
  // TAB network is the one GDAL's reading of the table describes.
  void CheckTable(const std::string& shp, const std::string& name) {
    SCOPED_TRACE(name);
    const std::string tab = dir + name + "_tab/", s = dir + name + "_shp/", m = dir + name + "_mif/";
    for (const std::string& d : {tab, s, m}) fs::create_directories(d);
    Translate(shp, tab + "roads.tab", {"-f", "MapInfo File"});
    Translate(tab + "roads.tab", s + "roads.shp", {"-f", "ESRI Shapefile"});
    Translate(tab + "roads.tab", m + "roads.mif", {"-f", "MapInfo File", "-dsco", "FORMAT=MIF"});
    ImportInto(tab, "roads.tab");
    ImportInto(s, "roads.shp");
    ImportInto(m, "roads.mif");
    ExpectNetworkFiles(tab, Reference(LinksOf(tab + "roads.tab")));
    for (const char* f : NetworkBinFiles) {
      const std::string t = Slurp(tab + f);
      EXPECT_FALSE(t.empty()) << f;
      EXPECT_TRUE(t == Slurp(s + f)) << f << " differs between TAB and SHP";
      EXPECT_TRUE(t == Slurp(m + f)) << f << " differs between TAB and MIF";
    }
    EXPECT_EQ(ReadConfigFile(tab + "linvoro_config.ini").Cu, cuDeg);
    TQuadTree index;
    index.SetDirectory(tab);
    index.Load();
    CheckIndexAgainstBruteForce(tab, index);
  }

  // The run's own network: the files, the checksum of its configuration
  // and both road-name files against the road table as GDAL reads it.
  void CheckRunNetwork(const std::string& out) {
    ExpectNetworkFiles(out, Reference(LinksOf(out + "roads.shp")));
    const std::string ini = out + "linvoro_config.ini";
    const std::string text = Slurp(ini);
    EXPECT_NO_THROW(ReadConfigFile(ini));
    const size_t at = text.find("linkcount=");
    ASSERT_NE(at, std::string::npos);
    std::string changed = text;
    changed[at + 10] = changed[at + 10] == '9' ? '8' : static_cast<char>(changed[at + 10] + 1);
    Put(ini, changed);
    EXPECT_THROW(ReadConfigFile(ini), Exception);
    Put(ini, text);

    std::vector<std::pair<std::string, std::string>> rows;  // osm_id, name
    GDALDatasetH ds = GDALOpenEx((out + "roads.shp").c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(ds, nullptr);
    OGRLayerH lyr = GDALDatasetGetLayer(ds, 0);
    while (OGRFeatureH f = OGR_L_GetNextFeature(lyr)) {
      rows.push_back({OGR_F_GetFieldAsString(f, 0), OGR_F_GetFieldAsString(f, 1)});
      OGR_F_Destroy(f);
    }
    GDALClose(ds);
    const auto links = static_cast<int32_t>(rows.size());
    TRoadNameFile ids, names;
    ids.Load(out, false, 0, 1, links);
    names.Load(out, false, 0, 2, links);
    for (int32_t k = 1; k <= links; ++k) {
      EXPECT_EQ(ids.RoadName1(k), rows[static_cast<size_t>(k) - 1].first) << "link " << k;
      EXPECT_EQ(names.RoadName1(k), rows[static_cast<size_t>(k) - 1].second) << "link " << k;
    }
    ids.Close();
    names.Close();
  }
};

TEST_F(GdalTabTest, NetworkEqualsShapefileAndMifNetworks) {
  // The bundled sample and every shared extract that is present, each
  // converted by the program itself.
  std::vector<std::pair<std::string, std::string>> inputs = {
      {"sample", std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm"}};
  const std::string shared = std::string(SHARED_DATA_DIR) + "/osm/";
  for (const char* name : {"swabia-small", "berlin-siegessaeule", "monaco", "andorra"})
    if (fs::exists(shared + name + ".osm.gz")) inputs.push_back({name, shared + name + ".osm.gz"});
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  for (const auto& [name, file] : inputs) {
    const std::string out = dir + name + "/";
    fs::create_directories(out);
    std::string osm = file;
    if (file.ends_with(".gz")) {
      osm = out + name + ".osm";
      Put(osm, Gunzip(file));
    }
    TRunOptions o;
    o.OutputFormat = 1;  // shapefile
    o.BuildNetwork = true;
    o.Files = {osm};
    o.MainDir = out;
    TNullRunUI ui;
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    CheckRunNetwork(out);
    CheckTable(out + "roads.shp", name);
  }
}

// The run's own TAB output holds coordinates as integers at the precision
// of MapInfo's default bounds (1e-6 degree), the shapefile holds doubles:
// both networks have the same links, nodes and shapes, and the same node
// and shape coordinates within half a stored unit. The check tables come out
// as TAB tables.
TEST_F(GdalTabTest, RunWithTabOutputBuildsTheShapefileNetworkAndChecks) {
  if (!TGISWriter::MITAB_supported()) GTEST_SKIP() << "the mitab library is not available";
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  const std::string shared = std::string(SHARED_DATA_DIR) + "/osm/monaco.osm.gz";
  std::string osm = std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm";
  if (fs::exists(shared)) {
    osm = dir + "monaco.osm";
    Put(osm, Gunzip(shared));
  }
  std::string out[2];
  for (const int32_t format : {1, 2}) {
    out[format - 1] = dir + (format == 1 ? "shp/" : "tab/");
    fs::create_directories(out[format - 1]);
    TRunOptions o;
    o.OutputFormat = format;
    o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
    o.Files = {osm};
    o.MainDir = out[format - 1];
    TNullRunUI ui;
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  }
  ASSERT_TRUE(fs::exists(out[1] + "roads.map"));
  // Every check table the shapefile run kept is there as a TAB table that
  // GDAL opens with the same fields and row count.
  int tables = 0;
  for (const auto& entry : fs::directory_iterator(out[0])) {
    if (entry.path().extension() != ".shp") continue;
    const std::string stem = entry.path().stem().string();
    SCOPED_TRACE(stem);
    ++tables;
    GDALDatasetH a = GDALOpenEx(entry.path().c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    GDALDatasetH b = GDALOpenEx((out[1] + stem + ".tab").c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    OGRLayerH la = GDALDatasetGetLayer(a, 0), lb = GDALDatasetGetLayer(b, 0);
    EXPECT_EQ(OGR_L_GetFeatureCount(la, TRUE), OGR_L_GetFeatureCount(lb, TRUE));
    OGRFeatureDefnH da = OGR_L_GetLayerDefn(la), db = OGR_L_GetLayerDefn(lb);
    ASSERT_EQ(OGR_FD_GetFieldCount(da), OGR_FD_GetFieldCount(db));
    for (int i = 0; i < OGR_FD_GetFieldCount(da); ++i)
      EXPECT_STREQ(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(da, i)), OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(db, i)));
    GDALClose(a);
    GDALClose(b);
  }
  EXPECT_GE(tables, 4);
  for (const char* f : {"link.bin", "node.bin", "coord3i.bin", "attribute.bin", "roadname01.bin",
                        "roadnumber01.bin", "roadname02.bin", "roadnumber02.bin"}) {
    EXPECT_FALSE(Slurp(out[0] + f).empty()) << f;
    EXPECT_TRUE(Slurp(out[0] + f) == Slurp(out[1] + f)) << f << " differs";
  }
  for (const char* f : {"coord.bin", "coord3.bin"}) {
    const auto a = ReadArray<TFloatPoint>(out[0] + f), b = ReadArray<TFloatPoint>(out[1] + f);
    ASSERT_EQ(a.size(), b.size()) << f;
    for (size_t i = 0; i < a.size(); ++i) {
      EXPECT_NEAR(a[i].x, b[i].x, 0.5e-6 + 1e-12) << f << " " << i;
      EXPECT_NEAR(a[i].y, b[i].y, 0.5e-6 + 1e-12) << f << " " << i;
    }
  }
}

}  // namespace
