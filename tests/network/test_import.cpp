// The network import: the file set against an independent reference model,
// the MIF and shapefile readers with their odd rules, rejected objects,
// the report, and failures on bad or damaged input.
#include <gtest/gtest.h>

#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "error_text.h"
#include "linvoro_configfile.h"
#include "linvoro_import.h"
#include "network_reference.h"

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------ fixtures

std::string Num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// One road-table object: a polyline, or a line of MIF text standing for an
// object that is no polyline.
struct TObj {
  std::vector<TFloatPoint> pts;
  std::string mif;  // when not empty: written as is instead of pts
};

TObj Poly(std::vector<TFloatPoint> p) { return TObj{std::move(p), ""}; }
TObj Raw(std::string text) { return TObj{{}, std::move(text)}; }

std::string MifText(const std::vector<TObj>& objs,
                    const std::string& coordsys = "CoordSys Earth Projection 1, 104") {
  std::string s = "Version 300\r\nCharset \"WindowsLatin1\"\r\nDelimiter \",\"\r\n" + coordsys +
                  "\r\nColumns 1\r\n  id Integer\r\nData\r\n\r\n";
  for (const TObj& o : objs) {
    if (!o.mif.empty()) {
      s += o.mif + "\r\n";
    } else if (o.pts.size() == 2) {
      s += "Line " + Num(o.pts[0].x) + " " + Num(o.pts[0].y) + " " + Num(o.pts[1].x) + " " +
           Num(o.pts[1].y) + "\r\n";
    } else {
      s += "Pline " + std::to_string(o.pts.size()) + "\r\n";
      for (const TFloatPoint& p : o.pts) s += Num(p.x) + " " + Num(p.y) + "\r\n";
      s += "    Pen (1,2,0)\r\n";
    }
  }
  return s;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A shapefile record written by hand, for cases no library would write.
struct TShpRecord {
  int32_t type = 3;
  int32_t parts = 1;
  std::vector<TFloatPoint> pts;
  int32_t declaredPoints = -1;  // when >= 0: the point count written instead
};

void PutLE32(std::string& s, size_t at, int32_t v) { std::memcpy(&s[at], &v, 4); }
void PutBE32(std::string& s, size_t at, int32_t v) {
  const uint32_t u = __builtin_bswap32(static_cast<uint32_t>(v));
  std::memcpy(&s[at], &u, 4);
}
void AppendLE32(std::string& s, int32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }
void AppendDouble(std::string& s, double v) { s.append(reinterpret_cast<const char*>(&v), 8); }

void WriteShapefile(const std::string& stem, const std::vector<TShpRecord>& recs, int32_t fileType = 3,
                    const std::string& prj = "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID["
                                             "\"WGS_1984\",6378137.0,298.257223563]],PRIMEM["
                                             "\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]") {
  std::string shp(100, '\0'), shx(100, '\0');
  for (std::string* h : {&shp, &shx}) {
    PutBE32(*h, 0, 9994);
    PutLE32(*h, 28, 1000);
    PutLE32(*h, 32, fileType);
  }
  int32_t recno = 0;
  for (const TShpRecord& r : recs) {
    std::string content;
    AppendLE32(content, r.type);
    if (r.type != 0) {
      for (int i = 0; i < 4; ++i) AppendDouble(content, 0);
      AppendLE32(content, r.parts);
      AppendLE32(content, r.declaredPoints >= 0 ? r.declaredPoints : static_cast<int32_t>(r.pts.size()));
      // At least one part index entry: the points are read from byte 48.
      for (int32_t i = 0; i < std::max(r.parts, 1); ++i) AppendLE32(content, 0);
      for (const TFloatPoint& p : r.pts) {
        AppendDouble(content, p.x);
        AppendDouble(content, p.y);
      }
    }
    const int32_t offsetWords = static_cast<int32_t>(shp.size() / 2);
    std::string head(8, '\0');
    PutBE32(head, 0, ++recno);
    PutBE32(head, 4, static_cast<int32_t>(content.size() / 2));
    shp += head + content;
    std::string idx(8, '\0');
    PutBE32(idx, 0, offsetWords);
    PutBE32(idx, 4, static_cast<int32_t>(content.size() / 2));
    shx += idx;
  }
  PutBE32(shp, 24, static_cast<int32_t>(shp.size() / 2));
  PutBE32(shx, 24, static_cast<int32_t>(shx.size() / 2));
  WriteText(stem + ".shp", shp);
  WriteText(stem + ".shx", shx);
  if (!prj.empty()) WriteText(stem + ".prj", prj);
}

// A shapefile written by GDAL: what other GIS software would produce.
void WriteShapefileWithGdal(const std::string& path, const std::vector<TObj>& objs) {
  GDALAllRegister();
  GDALDriverH drv = GDALGetDriverByName("ESRI Shapefile");
  ASSERT_NE(drv, nullptr);
  GDALDatasetH ds = GDALCreate(drv, path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
  ASSERT_NE(ds, nullptr);
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  OSRImportFromEPSG(srs, 4326);
  OGRLayerH lyr = GDALDatasetCreateLayer(ds, "roads", srs, wkbLineString, nullptr);
  ASSERT_NE(lyr, nullptr);
  OGRFieldDefnH fld = OGR_Fld_Create("id", OFTInteger);
  OGR_L_CreateField(lyr, fld, TRUE);
  OGR_Fld_Destroy(fld);
  int id = 0;
  for (const TObj& o : objs) {
    OGRFeatureH f = OGR_F_Create(OGR_L_GetLayerDefn(lyr));
    OGR_F_SetFieldInteger(f, 0, ++id);
    if (o.mif.empty()) {
      OGRGeometryH g = OGR_G_CreateGeometry(wkbLineString);
      for (const TFloatPoint& p : o.pts) OGR_G_AddPoint_2D(g, p.x, p.y);
      OGR_F_SetGeometryDirectly(f, g);
    } else if (o.mif.rfind("Pline Multiple", 0) == 0) {
      OGRGeometryH m = OGR_G_CreateGeometry(wkbMultiLineString);
      for (int part = 0; part < 2; ++part) {
        OGRGeometryH g = OGR_G_CreateGeometry(wkbLineString);
        OGR_G_AddPoint_2D(g, part, 0);
        OGR_G_AddPoint_2D(g, part, 1);
        OGR_G_AddGeometryDirectly(m, g);
      }
      OGR_F_SetGeometryDirectly(f, m);
    }  // anything else: no geometry, a null shape
    ASSERT_EQ(OGR_L_CreateFeature(lyr, f), OGRERR_NONE);
    OGR_F_Destroy(f);
  }
  OSRRelease(srs);
  GDALClose(ds);
}

// ------------------------------------------------------------ test frame

class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "importtestXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl + "/";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string P(const std::string& name) const { return dir + name; }
  bool Exists(const std::string& name) const { return fs::exists(P(name)); }

  // Runs an import of the given files; the report is written too.
  void Run(TImport& imp, const std::vector<std::string>& files) {
    imp.SetDirectory(dir);
    for (const std::string& f : files) imp.Add(P(f));
    imp.Execute();
    imp.CreateReport();
  }
  void RunMif(TImport& imp, const std::vector<TObj>& objs,
              const std::string& coordsys = "CoordSys Earth Projection 1, 104") {
    WriteText(P("roads.mif"), MifText(objs, coordsys));
    Run(imp, {"roads.mif"});
  }

  void ExpectFilesMatch(const TExpected& e) { ExpectNetworkFiles(dir, e); }

  std::string dir;
};

const char* const NetworkFiles[] = {"coord.bin",  "link.bin",        "length.bin",
                                    "node.bin",   "coord3.bin",      "coord3i.bin",
                                    "spatialindex.bin", "linvoro_config.ini"};
const char* const TempFiles[] = {"coordfrom.bin", "coordto.bin"};

// A random degree network around Andorra with shared end points, shape
// points and some objects that are not polylines.
struct TRandomNet {
  std::vector<TObj> objs;
  std::vector<std::optional<std::vector<TFloatPoint>>> links;
};

TRandomNet RandomNet(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ux(1.40, 1.80), uy(42.40, 42.66);
  std::vector<TFloatPoint> pool(n / 6 + 2);
  for (TFloatPoint& p : pool) p = {ux(rng), uy(rng)};
  TRandomNet net;
  for (int k = 0; k < n; ++k) {
    // The last object is a polyline: a last MIF line that is no line
    // object is not read at all.
    const int r = k == n - 1 ? 19 : static_cast<int>(rng() % 20);
    if (r == 0) {
      net.objs.push_back(Raw("None"));
      net.links.push_back(std::nullopt);
      continue;
    }
    if (r == 1) {
      net.objs.push_back(Raw("Point 1.5 42.5"));
      net.links.push_back(std::nullopt);
      continue;
    }
    const size_t a = rng() % pool.size();
    size_t b = rng() % pool.size();
    if (b == a) b = (b + 1) % pool.size();
    std::vector<TFloatPoint> pts{pool[a]};
    const int shape = static_cast<int>(rng() % 5);
    for (int i = 0; i < shape; ++i) pts.push_back({ux(rng), uy(rng)});
    pts.push_back(pool[b]);
    net.objs.push_back(Poly(pts));
    net.links.push_back(pts);
  }
  return net;
}

}  // namespace

// ------------------------------------------------------------ the file set

TEST_F(ImportTest, RandomNetworkMatchesReferenceModel) {
  const TRandomNet net = RandomNet(3000, 7);
  TImport imp;
  RunMif(imp, net.objs);
  ExpectFilesMatch(Reference(net.links));
  EXPECT_EQ(imp.LinkCount(), 3000);
  EXPECT_GT(imp.MaxDegree(), 5);
  for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
  for (const char* f : NetworkFiles) EXPECT_TRUE(Exists(f)) << f;

  const TConfig c = ReadConfigFile(P("linvoro_config.ini"));
  EXPECT_EQ(c.LinkCount, 3000);
  EXPECT_EQ(c.Cu, cuDeg);
  EXPECT_EQ(c.CoordSys, "COORDSYS EARTH PROJECTION 1, 104");  // the input's line, upper-cased
  EXPECT_EQ(c.Epsg, 4326);
  EXPECT_EQ(c.Prj, DefaultPrj);
  // Bounds: all vertices, padded by 0.05 % of the extent on each side.
  double xmin = 1e9, xmax = -1e9, ymin = 1e9, ymax = -1e9;
  for (const auto& l : net.links)
    if (l)
      for (const TFloatPoint& p : *l) {
        xmin = std::min(xmin, p.x);
        xmax = std::max(xmax, p.x);
        ymin = std::min(ymin, p.y);
        ymax = std::max(ymax, p.y);
      }
  const double dx = (xmax - xmin) * 0.0005, dy = (ymax - ymin) * 0.0005;
  EXPECT_NEAR(c.Mbr.xmin, xmin - dx, 1e-12);
  EXPECT_NEAR(c.Mbr.xmax, xmax + dx, 1e-12);
  EXPECT_NEAR(c.Mbr.ymin, ymin - dy, 1e-12);
  EXPECT_NEAR(c.Mbr.ymax, ymax + dy, 1e-12);

  double total = 0;
  for (float v : ReadArray<float>(P("length.bin"))) total += v;
  EXPECT_NEAR(imp.TotalLength(), total, total * 1e-6);
}

TEST_F(ImportTest, ShapefileWrittenByGdalGivesTheSameNetworkAsMif) {
  TRandomNet net = RandomNet(600, 11);
  // Shapefiles have no point objects; GDAL writes a null shape for them.
  net.objs.push_back(Raw("Pline Multiple 2"));
  net.links.push_back(std::nullopt);
  WriteShapefileWithGdal(P("roads.shp"), net.objs);
  TImport imp;
  Run(imp, {"roads.shp"});
  ExpectFilesMatch(Reference(net.links));
  ASSERT_FALSE(imp.ImportErrorList().empty());
  EXPECT_EQ(imp.ImportErrorList().back().errorcode, ecMultiSection);
  EXPECT_EQ(imp.ImportErrorList().back().value, 2);
  EXPECT_EQ(imp.ImportErrorList().back().linklocal, 601);
  for (const TImportError& e : imp.ImportErrorList())
    if (e.link <= 600) {
      EXPECT_EQ(e.errorcode, ecNotGeoCoded);
    }
  const TConfig c = ReadConfigFile(P("linvoro_config.ini"));
  EXPECT_EQ(c.Cu, cuDeg);
  EXPECT_EQ(c.CoordSys, DefaultCoordSys);
  EXPECT_EQ(c.Epsg, 4326);
  EXPECT_NE(c.Prj.find("GCS_WGS_1984"), std::string::npos);
  EXPECT_NE(c.Prj, DefaultPrj);  // the table's own text is kept
}

TEST_F(ImportTest, ParallelLinksShareBothNodesAndBothAreListed) {
  TImport imp;
  RunMif(imp, {Poly({{1, 1}, {2, 2}}), Poly({{1, 1}, {1.5, 1.7}, {2, 2}})});
  EXPECT_EQ(ReadArray<uint32_t>(P("link.bin")), (std::vector<uint32_t>{1, 2, 1, 2}));
  EXPECT_EQ(ReadArray<uint32_t>(P("node.bin")), (std::vector<uint32_t>{2, 2, 2, 1, 2, 1, 2}));
  EXPECT_EQ(ReadArray<int32_t>(P("coord3i.bin")), (std::vector<int32_t>{0, 0, 1}));
  EXPECT_EQ(imp.NodeCount(), 2);
}

TEST_F(ImportTest, NodesAreNumberedByDegreeThenXThenY) {
  // Degrees: (5,5) 3; (0,9) and (0,1) 2; (9,0), (3,3), (3,1) 1.
  TImport imp;
  RunMif(imp, {Poly({{5, 5}, {0, 9}}), Poly({{0, 1}, {5, 5}}), Poly({{9, 0}, {5, 5}}),
               Poly({{0, 9}, {3, 3}}), Poly({{3, 1}, {0, 1}})});
  const auto coord = ReadArray<TFloatPoint>(P("coord.bin"));
  const std::vector<TFloatPoint> expected = {{5, 5}, {0, 1}, {0, 9}, {3, 1}, {3, 3}, {9, 0}};
  ASSERT_EQ(coord.size(), expected.size());
  for (size_t i = 0; i < coord.size(); ++i) EXPECT_TRUE(coord[i] == expected[i]) << i;
  EXPECT_EQ(ReadArray<uint32_t>(P("node.bin")),
            (std::vector<uint32_t>{3, 1, 3, 6, 1, 2, 3, 2, 5, 1, 4, 5, 4, 3}));
  EXPECT_EQ(imp.MaxDegree(), 3);
}

TEST_F(ImportTest, DegreeOneNetwork) {
  TImport imp;
  RunMif(imp, {Poly({{1, 1}, {2, 2}}), Poly({{3, 3}, {4, 4}, {4, 5}})});
  EXPECT_EQ(ReadArray<uint32_t>(P("node.bin")), (std::vector<uint32_t>{1, 4, 1, 1, 2, 2}));
  EXPECT_EQ(imp.MaxDegree(), 1);
  EXPECT_EQ(imp.NodeCount(), 4);
}

TEST_F(ImportTest, EndPointsDifferingInTheLastBitAreTwoNodes) {
  const double x = 1.5, x2 = std::nextafter(1.5, 2.0);
  TImport imp;
  RunMif(imp, {Poly({{0, 0}, {x, 1}}), Poly({{x2, 1}, {3, 3}})});
  EXPECT_EQ(imp.NodeCount(), 4);
  EXPECT_EQ(imp.MaxDegree(), 1);
}

// Loops and repeated vertices, with and without AllowLoops.
TEST_F(ImportTest, LoopTestComesBeforeDuplicateRemoval) {
  const TFloatPoint A{1, 1}, B{2, 2}, C{1, 3};
  const struct {
    const char* name;
    std::vector<TFloatPoint> pts;
    bool allowLoops;
    int errorcode;  // -1: accepted
    int value;
    std::vector<TFloatPoint> stored;  // the vertices as stored when accepted
  } cases[] = {
      {"closed polyline", {A, B, C, A}, false, ecLoopLink, 0, {}},
      {"closed polyline allowed", {A, B, C, A}, true, -1, 0, {A, B, C, A}},
      {"A-A", {A, A}, false, ecLoopLink, 0, {}},
      {"A-A allowed", {A, A}, true, ecZeroOrOneVertices, 1, {}},
      {"A-A-B", {A, A, B}, false, -1, 0, {A, B}},
      {"A-B-B", {A, B, B}, false, -1, 0, {A, B}},
      {"A-B-B-C-C", {A, B, B, C, C}, false, -1, 0, {A, B, C}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    TImport imp;
    imp.SetAllowLoops(c.allowLoops);
    // A second, ordinary link keeps the network from being empty.
    RunMif(imp, {Poly(c.pts), Poly({{5, 5}, {6, 6}})});
    if (c.errorcode >= 0) {
      ASSERT_EQ(imp.ImportErrorList().size(), 1u);
      EXPECT_EQ(imp.ImportErrorList()[0].errorcode, c.errorcode);
      EXPECT_EQ(imp.ImportErrorList()[0].value, c.value);
      EXPECT_EQ(imp.ImportErrorList()[0].link, 1);
      EXPECT_EQ(ReadArray<uint32_t>(P("link.bin"))[0], 0u);
    } else {
      EXPECT_TRUE(imp.ImportErrorList().empty());
      const auto c3i = ReadArray<int32_t>(P("coord3i.bin"));
      EXPECT_EQ(c3i[1], static_cast<int32_t>(c.stored.size()) - 2);
      const auto coord = ReadArray<TFloatPoint>(P("coord.bin"));
      const auto link = ReadArray<uint32_t>(P("link.bin"));
      EXPECT_TRUE(coord[link[0] - 1] == c.stored.front());
      EXPECT_TRUE(coord[link[1] - 1] == c.stored.back());
    }
  }
  // The closed polyline allowed: one node holding the link twice.
  fs::remove_all(dir);
  fs::create_directory(dir);
  TImport imp;
  imp.SetAllowLoops(true);
  RunMif(imp, {Poly({A, B, C, A})});
  EXPECT_EQ(ReadArray<uint32_t>(P("node.bin")), (std::vector<uint32_t>{2, 1, 1, 1, 1}));
  EXPECT_EQ(ReadArray<uint32_t>(P("link.bin")), (std::vector<uint32_t>{1, 1}));
}

TEST_F(ImportTest, RejectedObjectsKeepTheirLinkIdsAsPlaceholders) {
  TImport imp;
  RunMif(imp, {Raw("None"), Poly({{1, 1}, {2, 2}}), Raw("Point 1 2"), Raw("Region 1"),
               Poly({{2, 2}, {3, 1}, {4, 4}})});
  EXPECT_EQ(ReadArray<uint32_t>(P("link.bin")), (std::vector<uint32_t>{0, 0, 2, 1, 0, 0, 0, 0, 1, 3}));
  const auto len = ReadArray<float>(P("length.bin"));
  ASSERT_EQ(len.size(), 5u);
  EXPECT_EQ(len[0], 0.0f);
  EXPECT_NE(len[1], 0.0f);
  EXPECT_EQ(len[2], 0.0f);
  EXPECT_EQ(len[3], 0.0f);
  EXPECT_EQ(ReadArray<int32_t>(P("coord3i.bin")), (std::vector<int32_t>{0, 0, 0, 0, 0, 1}));
  ASSERT_EQ(imp.ImportErrorList().size(), 3u);
  EXPECT_EQ(ImportErrorText(imp.ImportErrorList()[0]), "(1) Object 1 is not geocoded");
  EXPECT_EQ(ImportErrorText(imp.ImportErrorList()[1]), "(2) Object 3 is not a (poly)line");
  EXPECT_EQ(ImportErrorText(imp.ImportErrorList()[2]), "(2) Object 4 is not a (poly)line");
}

TEST(ImportErrorTextTest, EveryCode) {
  const struct {
    TErrorCode code;
    int32_t value;
    const char* text;
  } table[] = {{ecDeleted, 0, "(0) Object 9 is deleted"},
               {ecNotGeoCoded, 0, "(1) Object 9 is not geocoded"},
               {ecNotPolyLine, 0, "(2) Object 9 is not a (poly)line"},
               {ecNotPolyLine, 8, "(2) Object 9 is not a (poly)line, but type 8"},
               {ecMultiSection, 3, "(3) Object 9 has 3 sections"},
               {ecZeroOrOneVertices, 1, "(4) Object 9 has only 1 vertices"},
               {ecLoopLink, 0, "(5) Object 9 is a loop link"},
               {ecTooManyVertices, 70000, "(6) Object 9 has 70000 vertices (max 65535)"},
               {ecInvalidGeography, 0, "(7) Object 9 has invalid geography (MS SQL)"},
               {ecSinglePoint, 0, "(8) Object 9 is a single point"}};
  for (const auto& t : table) EXPECT_EQ(ImportErrorText({0, 9, 9, t.code, t.value}), t.text);
}

TEST_F(ImportTest, AllObjectsRejectedWritesNoNetworkButAReport) {
  TImport imp;
  RunMif(imp, {Raw("None"), Poly({{1, 1}, {1, 1}})});
  for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
  for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
  const std::string report = ReadText(P("network_report.txt"));
  EXPECT_NE(report.find("(1) Object 1 is not geocoded\r\n(5) Object 2 is a loop link\r\n"),
            std::string::npos);
  EXPECT_NE(report.find("Links in database: 2\r\nNodes created: 0\r\n"), std::string::npos);
}

// ------------------------------------------------------------ report

class CommaImport : public TImport {
 protected:
  char ReportDecimalSeparator() const override { return ','; }
};

TEST_F(ImportTest, ReportLines) {
  CommaImport imp;
  // Two links along the equator of 1 and 2 degrees: 111.3 and 222.6 km.
  RunMif(imp, {Poly({{0, 0}, {1, 0}}), Raw("None"), Poly({{1, 0}, {3, 0}})});
  const double total = 3 * M_PI / 180 * 6378.13;
  char totalText[32], avgText[32];
  std::snprintf(totalText, sizeof totalText, "%.3f", total);
  std::snprintf(avgText, sizeof avgText, "%.3f", total / 3);
  std::string t = totalText, a = avgText;
  std::replace(t.begin(), t.end(), '.', ',');
  std::replace(a.begin(), a.end(), '.', ',');

  std::vector<std::string> lines;
  std::istringstream in(ReadText(P("network_report.txt")));
  for (std::string l; std::getline(in, l);) {
    ASSERT_FALSE(l.empty());
    ASSERT_EQ(l.back(), '\r');
    lines.push_back(l.substr(0, l.size() - 1));
  }
  const std::string stars(45, '*');
  const std::vector<std::string> expected = {
      stars, "", "Report for creation of network with Linvoro 4.44", "<version>",
      "Internal version date: 2023-08-28", "", "<start>", "", stars, "",
      "Coordinate unit: Degrees (2)", "", "Input files:", fs::path(P("roads.mif")).lexically_normal().string(), "",
      "No Z-level modification", "", "Loop links were not allowed", "", "Coordinate system(s):",
      "COORDSYS EARTH PROJECTION 1, 104", "PRJ: " + std::string(DefaultPrj), "EPSG: 4326", "",
      "+++ Error-report +++", "(1) Object 2 is not geocoded", "+++ Error-report +++", "",
      "Maximum degree: 2", "", "Total length of streets: " + t + " km",
      "Average per link:        " + a + " km", "", "Links in database: 3", "Nodes created: 3", "",
      "<end>"};
  ASSERT_EQ(lines.size(), expected.size());
  // dd-mmm-yyyy hh:mm:ss with an English month.
  const auto stamp = [](const std::string& t) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const std::string digits = "dd-___-dddd dd:dd:dd";
    if (t.size() != digits.size()) return false;
    for (size_t i = 0; i < t.size(); ++i) {
      if (digits[i] == 'd' && !std::isdigit(static_cast<unsigned char>(t[i]))) return false;
      if (digits[i] != 'd' && digits[i] != '_' && t[i] != digits[i]) return false;
    }
    const size_t m = months.find(t.substr(3, 3));
    return m != std::string::npos && m % 3 == 0;
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    if (expected[i] == "<version>")
      EXPECT_EQ(lines[i].rfind("Library version: ", 0), 0u);
    else if (expected[i] == "<start>")
      EXPECT_TRUE(stamp(lines[i].substr(7))) << lines[i];
    else if (expected[i] == "<end>")
      EXPECT_TRUE(stamp(lines[i].substr(5))) << lines[i];
    else
      EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
  }
  EXPECT_EQ(lines[6].substr(0, 7), "Start: ");
  EXPECT_EQ(lines.back().substr(0, 5), "End: ");
}

TEST_F(ImportTest, ReportMentionsSkippedSpatialIndexAndAllowedLoops) {
  WriteText(P("spatialindex.bin"), "left by an earlier build");
  TImport imp;
  imp.SetSkipSpatialIndex(true);
  imp.SetAllowLoops(true);
  RunMif(imp, {Poly({{0, 0}, {1, 0}})});
  EXPECT_FALSE(Exists("spatialindex.bin"));
  const std::string report = ReadText(P("network_report.txt"));
  EXPECT_NE(report.find("\r\nLoop links were allowed\r\nSpatial index not created\r\n\r\nCoordinate system(s):"),
            std::string::npos);
}

// ------------------------------------------------------------ range checks

TEST_F(ImportTest, DegreeRangeIsCheckedInclusively) {
  const struct {
    TFloatPoint p;
    const char* error;  // nullptr: accepted
  } cases[] = {
      {{180, 0}, nullptr},
      {{-180, -90}, nullptr},
      {{0, 90}, nullptr},
      {{180.0000001, 0}, "Coordinates (180.0000001,0) not valid for chosen coordinate unit"},
      {{-1.5, -90.25}, "Coordinates (-1.5,-90.25) not valid for chosen coordinate unit"},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir);
    fs::create_directory(dir);
    TImport imp;
    WriteText(P("roads.mif"), MifText({Poly({{1, 1}, {2, 2}}), Poly({{10, 10}, c.p})}));
    const std::string mif = ReadText(P("roads.mif"));
    imp.SetDirectory(dir);
    imp.Add(P("roads.mif"));
    const std::string err = ErrorOf([&] { imp.Execute(); });
    if (c.error) {
      EXPECT_EQ(err, c.error);
      for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
      for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
      EXPECT_EQ(ReadText(P("roads.mif")), mif);
    } else {
      EXPECT_EQ(err, "(no error)");
    }
  }
}

TEST_F(ImportTest, AtMost255LinkEndsMeetAtOnePoint) {
  for (const int ends : {255, 256}) {
    fs::remove_all(dir);
    fs::create_directory(dir);
    std::vector<TObj> objs;
    for (int i = 0; i < ends; ++i) objs.push_back(Poly({{1.25, 2.5}, {2 + i * 0.001, 3}}));
    TImport imp;
    WriteText(P("roads.mif"), MifText(objs));
    imp.SetDirectory(dir);
    imp.Add(P("roads.mif"));
    if (ends == 255) {
      imp.Execute();
      EXPECT_EQ(imp.MaxDegree(), 255);
      EXPECT_EQ(ReadArray<uint32_t>(P("node.bin")).size(), 1 + 255 + 2 * 255u);
    } else {
      try {
        imp.Execute();
        FAIL() << "256 link ends accepted";
      } catch (const ETooManyLinksAtNode& e) {
        EXPECT_STREQ(e.what(), "Too many links at 1.25, 2.5");
      }
      for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
      for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
    }
  }
}

// ------------------------------------------------------------ input kinds

TEST_F(ImportTest, InputKindErrors) {
  WriteText(P("a.mif"), MifText({Poly({{1, 1}, {2, 2}})}));
  WriteShapefile(P("b"), {TShpRecord{3, 1, {{1, 1}, {2, 2}}}});
  WriteText(P("c.txt"), "x");
  WriteText(P("d.tab"), "!table\r\n");
  WriteText(P("e.tab"), "!table\r\n");
  WriteText(P("e.map"), std::string(300, '\0'));
  std::string map(600, '\0');
  map[260] = static_cast<char>(1500 & 0xFF);
  map[261] = static_cast<char>(1500 >> 8);
  WriteText(P("f.tab"), "!table\r\n");
  WriteText(P("f.map"), map);
  WriteText(P("g.tab"), "!table\r\n");
  WriteText(P("g.map"), std::string(100, '\0'));
  const struct {
    std::vector<std::string> files;
    std::string error;
  } cases[] = {
      {{"a.mif", "b.shp"}, "Only a single type of files are allowed"},
      {{"a.mif", "c.txt"}, "Only a single type of files are allowed"},
      {{"c.txt"}, "Only MIF/SHP/TAB/GPKG files are allowed in the list"},
      {{"d.tab"}, "TAB file has no MAP component"},
      {{"e.tab"}, "Unsupported MAP file encountered"},
      {{"g.tab"}, "Unsupported MAP file encountered"},
      {{"f.tab"}, "Cannot open file \"" + P("f.id") + "\". No such file or directory"},
      {{}, "No input files for the network import"},
  };
  for (const auto& c : cases) {
    TImport imp;
    imp.SetDirectory(dir);
    for (const std::string& f : c.files) imp.Add(P(f));
    EXPECT_EQ(ErrorOf([&] { imp.Execute(); }), c.error);
    for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
    for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
  }
  TImport imp;
  imp.SetDirectory(dir + "missing/");
  imp.Add(P("a.mif"));
  EXPECT_EQ(ErrorOf([&] { imp.Execute(); }), "Output directory does not exist");
}

TEST_F(ImportTest, TwoMifFilesCountLinksAcrossFiles) {
  WriteText(P("a.mif"), MifText({Raw("None"), Poly({{1, 1}, {2, 2}})}));
  WriteText(P("b.MIF"), MifText({Raw("None"), Poly({{2, 2}, {3, 3}})}));
  TImport imp;
  Run(imp, {"a.mif", "b.MIF"});
  EXPECT_EQ(imp.LinkCount(), 4);
  ASSERT_EQ(imp.ImportErrorList().size(), 2u);
  EXPECT_EQ(imp.ImportErrorList()[1].fileindex, 1);
  EXPECT_EQ(imp.ImportErrorList()[1].linklocal, 1);
  EXPECT_EQ(imp.ImportErrorList()[1].link, 3);
  EXPECT_EQ(ReadArray<uint32_t>(P("link.bin")), (std::vector<uint32_t>{0, 0, 2, 1, 0, 0, 1, 3}));

  WriteText(P("c.mif"), MifText({Poly({{2, 2}, {3, 3}})}, "CoordSys Earth Projection 1, 0"));
  TImport different;
  EXPECT_EQ(ErrorOf([&] { Run(different, {"a.mif", "c.mif"}); }), "Different Coordsys in input tables");
  TImport tolerant;
  tolerant.SetFailOnDifferentCoordSys(false);
  Run(tolerant, {"a.mif", "c.mif"});
  EXPECT_EQ(tolerant.LinkCount(), 3);
}

// ------------------------------------------------------------ MIF reader rules

TEST_F(ImportTest, MifReaderRules) {
  const struct {
    const char* name;
    std::string data;  // the text after "Data"
    int32_t links;
    std::vector<std::pair<int, int>> errors;  // code, value
    std::vector<TFloatPoint> first;           // vertices of link 1 when accepted
  } cases[] = {
      {"last line NONE is no object", "Line 0 0 1 1\r\nNone", 1, {}, {{0, 0}, {1, 1}}},
      {"last line POINT is no object", "Line 0 0 1 1\r\nPoint 3 3", 1, {}, {}},
      {"last line LINE is read", "None\r\nLine 0 0 1 1", 2, {{ecNotGeoCoded, 0}}, {}},
      {"PLINE without count", "Pline\r\n2\r\n0 0\r\n1 1\r\nLine 0 0 1 1\r\n", 2,
       {{ecZeroOrOneVertices, 0}}, {}},
      {"indented PLINE", "  Pline 2\r\n0 0\r\n1 1\r\nLine 0 0 1 1\r\n", 2, {{ecZeroOrOneVertices, 0}}, {}},
      {"PLINE 1 drops one line", "Pline 1\r\nLine 5 5 6 6\r\nLine 0 0 1 1\r\n", 2,
       {{ecZeroOrOneVertices, 1}}, {}},
      {"PLINE MULTIPLE", "Pline Multiple 2\r\n2\r\n0 0\r\n1 1\r\n0\r\nLine 0 0 1 1\r\n", 2,
       {{ecMultiSection, 2}}, {}},
      {"too many vertices", "Pline 70000\r\n0 0\r\n1 1\r\n2 2\r\nLine 0 0 1 1\r\n", 2,
       {{ecTooManyVertices, 70000}}, {}},
      {"region and text", "Region 1\r\n4\r\n0 0\r\n1 0\r\n1 1\r\n0 0\r\nText \"x\"\r\n1 1 2 2\r\nLine 0 0 1 1\r\n", 3,
       {{ecNotPolyLine, 0}, {ecNotPolyLine, 0}}, {}},
      {"pen lines and blank lines are passed over",
       "Pline 3\r\n0.5 1.5\r\n  2.25   3\r\n1E-7 -4\r\n    Pen (1,2,0)\r\n\r\n", 1, {},
       {{0.5, 1.5}, {2.25, 3}, {1e-7, -4}}},
      {"lower-case keywords", "pline 2\r\n0 0\r\n1 1\r\nline 0 0 2 2\r\n", 2, {}, {{0, 0}, {1, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    WriteText(P("roads.mif"),
              "Version 300\r\nDelimiter \",\"\r\nCoordSys Earth Projection 1, 104\r\nColumns 1\r\n  "
              "id Integer\r\nData\r\n\r\n" + c.data);
    TImport imp;
    Run(imp, {"roads.mif"});
    EXPECT_EQ(imp.LinkCount(), c.links);
    ASSERT_EQ(imp.ImportErrorList().size(), c.errors.size());
    for (size_t i = 0; i < c.errors.size(); ++i) {
      EXPECT_EQ(imp.ImportErrorList()[i].errorcode, c.errors[i].first);
      EXPECT_EQ(imp.ImportErrorList()[i].value, c.errors[i].second);
    }
    if (!c.first.empty()) {
      const auto coord = ReadArray<TFloatPoint>(P("coord.bin"));
      const auto link = ReadArray<uint32_t>(P("link.bin"));
      const auto c3 = ReadArray<TFloatPoint>(P("coord3.bin"));
      EXPECT_TRUE(coord[link[0] - 1] == c.first.front());
      EXPECT_TRUE(coord[link[1] - 1] == c.first.back());
      ASSERT_EQ(c3.size() + 2, c.first.size());
      for (size_t i = 0; i < c3.size(); ++i) EXPECT_TRUE(c3[i] == c.first[i + 1]);
    }
  }
}

TEST_F(ImportTest, MifCoordinateUnits) {
  const struct {
    std::string coordsys;
    TCoordinateUnit unit;
  } cases[] = {
      {"CoordSys Earth Projection 1, 104", cuDeg},
      {"CoordSys Earth Projection 8, 104, \"m\", 9, 0, 0.9996, 500000, 0", cuM},
      {"CoordSys NonEarth Units \"dm\" Bounds (0, 0) (100, 100)", cuM},
      {"CoordSys NonEarth Units \"survey ft\" Bounds (0, 0) (100, 100)", cuSurveyft},
      {"CoordSys NonEarth Units \"nmi\" Bounds (0, 0) (100, 100)", cuNmi},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.coordsys);
    fs::remove_all(dir);
    fs::create_directory(dir);
    TImport imp;
    RunMif(imp, {Poly({{0, 0}, {3, 4}})}, c.coordsys);
    EXPECT_EQ(imp.CoordinateUnit(), c.unit);
    const TConfig cfg = ReadConfigFile(P("linvoro_config.ini"));
    EXPECT_EQ(cfg.Cu, c.unit);
    std::string upper = c.coordsys;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ(cfg.CoordSys, upper);
    if (c.unit != cuDeg) {
      EXPECT_EQ(cfg.Epsg, 0);
      EXPECT_EQ(cfg.Prj, "");
      EXPECT_FLOAT_EQ(ReadArray<float>(P("length.bin"))[0], static_cast<float>(5 * DistFactor(c.unit)));
    }
  }
}

TEST_F(ImportTest, MifFailures) {
  const struct {
    const char* name;
    std::string data;
    std::string error;
  } cases[] = {
      {"collection", "Line 0 0 1 1\r\nCollection 2\r\nLine 0 0 1 1\r\n",
       "Collections are not supported in MIF translator"},
      {"multiple without count", "Pline Multiple\r\n2\r\n0 0\r\n1 1\r\n0\r\nLine 0 0 1 1\r\n",
       "'' is not a valid integer value"},
      {"multiple with text", "Pline Multiple two\r\nLine 0 0 1 1\r\n", "'TWO' is not a valid integer value"},
      {"truncated vertex list", "Line 0 0 1 1\r\nPline 4\r\n0 0\r\n1 1\r\n",
       "Unexpected end of file in <file> (object 2)"},
      {"truncated last object", "Line 0 0 1 1\r\nPline 3", "Unexpected end of file in <file> (object 2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    const std::string mif =
        "Version 300\r\nDelimiter \",\"\r\nCoordSys Earth Projection 1, 104\r\nColumns 1\r\n  "
        "id Integer\r\nData\r\n\r\n" + c.data;
    WriteText(P("roads.mif"), mif);
    WriteText(P("roads.mid"), "1\r\n2\r\n3\r\n");
    TImport imp;
    imp.SetDirectory(dir);
    imp.Add(P("roads.mif"));
    std::string expected = c.error;
    const size_t at = expected.find("<file>");
    if (at != std::string::npos) expected.replace(at, 6, P("roads.mif"));
    EXPECT_EQ(ErrorOf([&] { imp.Execute(); }), expected);
    for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
    for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
    EXPECT_EQ(ReadText(P("roads.mif")), mif);
    EXPECT_EQ(ReadText(P("roads.mid")), "1\r\n2\r\n3\r\n");
  }
}

// ------------------------------------------------------------ shapefile reader

TEST_F(ImportTest, ShapefileRecordKinds) {
  std::vector<TFloatPoint> many(65536);
  for (size_t i = 0; i < many.size(); ++i) many[i] = {1 + i * 1e-6, 2};
  const std::vector<TShpRecord> recs = {
      {0, 0, {}},                                   // null shape
      {3, 2, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}},     // two parts
      {3, 1, {{5, 5}}},                             // one point
      {1, 0, {}},                                   // a point record in a polyline file
      {3, 0, {{1, 1}, {2, 2}, {3, 3}}},             // no part index
      {3, 1, many},                                 // too many vertices
      {13, 1, {{1, 1}, {2, 2}}},                    // PolyLineZ record
      {3, 1, {{4, 4}, {4, 5}, {4, 4}}},             // closed
  };
  WriteShapefile(P("roads"), recs);
  TImport imp;
  Run(imp, {"roads.shp"});
  EXPECT_EQ(imp.LinkCount(), 8);
  const std::vector<std::pair<int, int>> expected = {{ecNotGeoCoded, 0},     {ecMultiSection, 2},
                                                     {ecZeroOrOneVertices, 1}, {ecNotPolyLine, 1},
                                                     {ecTooManyVertices, 65536}, {ecLoopLink, 0}};
  ASSERT_EQ(imp.ImportErrorList().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(imp.ImportErrorList()[i].errorcode, expected[i].first) << i;
    EXPECT_EQ(imp.ImportErrorList()[i].value, expected[i].second) << i;
  }
  EXPECT_EQ(imp.ImportErrorList()[3].linklocal, 4);
  const auto link = ReadArray<uint32_t>(P("link.bin"));
  EXPECT_NE(link[8], 0u);   // record 5: read as one section from byte 48
  EXPECT_NE(link[12], 0u);  // record 7
  const std::string report = ReadText(P("network_report.txt"));
  EXPECT_NE(report.find("(2) Object 4 is not a (poly)line, but type 1\r\n"), std::string::npos);
  EXPECT_NE(report.find("(6) Object 6 has 65536 vertices (max 65535)\r\n"), std::string::npos);
}

TEST_F(ImportTest, ShapefileUnitsFromPrj) {
  const struct {
    std::string prj;
    TCoordinateUnit unit;
    std::string coordsys;
  } cases[] = {
      {"PROJCS[\"x\",GEOGCS[\"y\",UNIT[\"Degree\",0.01]],UNIT[\"Foot_US\",0.3048006096012192]]", cuFt,
       "CoordSys NonEarth Units \"ft\" Bounds (0, 0) (3, 4)"},
      {"PROJCS[\"x\",UNIT[\"Meter\",1]]", cuM, "CoordSys NonEarth Units \"m\" Bounds (0, 0) (3, 4)"},
      {"GEOGCS[\"x\",UNIT[\"Grad\",0.0157]]", cuGrad, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prj);
    fs::remove_all(dir);
    fs::create_directory(dir);
    WriteShapefile(P("roads"), {TShpRecord{3, 1, {{0, 0}, {3, 4}}}}, 3, c.prj);
    TImport imp;
    Run(imp, {"roads.shp"});
    EXPECT_EQ(imp.CoordinateUnit(), c.unit);
    const TConfig cfg = ReadConfigFile(P("linvoro_config.ini"));
    EXPECT_EQ(cfg.CoordSys, c.coordsys);
    EXPECT_EQ(cfg.Prj, c.prj);
    EXPECT_EQ(cfg.Epsg, 0);
    const std::string ini = ReadText(P("linvoro_config.ini"));
    EXPECT_EQ(ini.find("coordsys=") == std::string::npos, c.coordsys.empty());
    EXPECT_EQ(ini.find("epsg="), std::string::npos);
  }
}

// Damaged shapefiles end the import with a clear message and leave no
// network behind.
TEST_F(ImportTest, DamagedShapefiles) {
  const std::vector<TShpRecord> good = {{3, 1, {{1, 1}, {2, 2}}}, {3, 1, {{2, 2}, {3, 1}, {4, 4}}}};
  const struct {
    const char* name;
    std::function<void(const std::string&)> damage;  // receives the stem
    std::string error;  // substring; <dir> stands for the folder
  } cases[] = {
      {"shx size not 100 + 8k", [](const std::string& s) { WriteText(s + ".shx", ReadText(s + ".shx") + "abc"); },
       "roads.shx is corrupt"},
      {"shx shorter than its header", [](const std::string& s) { WriteText(s + ".shx", std::string(60, '\0')); },
       "roads.shx is corrupt"},
      {"shx offset past the end of the shp",
       [](const std::string& s) {
         std::string shx = ReadText(s + ".shx");
         PutBE32(shx, 108, 1 << 20);
         WriteText(s + ".shx", shx);
       },
       "roads.shp is corrupt: record 2 lies outside the file"},
      {"negative shx offset",
       [](const std::string& s) {
         std::string shx = ReadText(s + ".shx");
         PutBE32(shx, 100, -4);
         WriteText(s + ".shx", shx);
       },
       "roads.shp is corrupt: record 1 lies outside the file"},
      {"point count larger than the record",
       [](const std::string& s) {
         std::string shp = ReadText(s + ".shp");
         PutLE32(shp, 100 + 8 + 40, 3);
         WriteText(s + ".shp", shp);
       },
       "roads.shp is corrupt: record 1 holds fewer points than its count 3"},
      {"point count larger than the file",
       [](const std::string& s) {
         std::string shp = ReadText(s + ".shp");
         PutLE32(shp, 188 + 8 + 40, 60000);
         WriteText(s + ".shp", shp);
       },
       "roads.shp is corrupt: record 2 holds fewer points than its count 60000"},
      {"truncated shp",
       [](const std::string& s) {
         const std::string shp = ReadText(s + ".shp");
         WriteText(s + ".shp", shp.substr(0, shp.size() - 20));
       },
       "roads.shp is corrupt: record 2 has an invalid length"},
      {"shp header only partly there", [](const std::string& s) { WriteText(s + ".shp", std::string(50, '\0')); },
       "roads.shp is corrupt: the file header is incomplete"},
      {"point shapefile",
       [](const std::string& s) {
         std::string shp = ReadText(s + ".shp");
         PutLE32(shp, 32, 1);
         WriteText(s + ".shp", shp);
       },
       "Only polyline SHP files are supported in translator"},
      {"no prj", [](const std::string& s) { fs::remove(s + ".prj"); },
       "No coordinate unit defined / found in PRJ file"},
      {"prj without unit", [](const std::string& s) { WriteText(s + ".prj", "GEOGCS[\"x\"]"); },
       "No coordinate unit defined / found in PRJ file"},
      {"no shx", [](const std::string& s) { fs::remove(s + ".shx"); }, "Cannot open file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    WriteShapefile(P("roads"), good);
    c.damage(P("roads"));
    const std::string shp = ReadText(P("roads.shp"));
    TImport imp;
    imp.SetDirectory(dir);
    imp.Add(P("roads.shp"));
    const std::string err = ErrorOf([&] { imp.Execute(); });
    EXPECT_NE(err.find(c.error), std::string::npos) << err;
    for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
    for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
    EXPECT_EQ(ReadText(P("roads.shp")), shp);
  }
}

// ------------------------------------------------------------ progress and cancelling

TEST_F(ImportTest, ProgressRunsThroughThePhaseBounds) {
  const TRandomNet net = RandomNet(2000, 3);
  WriteText(P("roads.mif"), MifText(net.objs));
  std::vector<int32_t> seen;
  TImport imp;
  imp.SetOnProgress([&](TProgress*, int32_t p, bool&) { seen.push_back(p); });
  Run(imp, {"roads.mif"});
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen.front(), 0);
  EXPECT_EQ(seen.back(), 0);
  for (size_t i = 2; i + 1 < seen.size(); ++i) EXPECT_LE(seen[i - 1], seen[i]) << i;
  for (const int32_t bound : {26, 54, 67, 71, 100})
    EXPECT_NE(std::find(seen.begin(), seen.end(), bound), seen.end()) << bound;
}

TEST_F(ImportTest, CancellingRemovesTheFilesOfTheBuild) {
  const TRandomNet net = RandomNet(2000, 5);
  WriteText(P("roads.mif"), MifText(net.objs));
  for (const int32_t at : {10, 30, 60, 69, 90}) {
    SCOPED_TRACE(at);
    TImport imp;
    imp.SetOnProgress([&](TProgress*, int32_t p, bool& cancel) {
      if (p >= at) cancel = true;
    });
    Run(imp, {"roads.mif"});
    for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
    for (const char* f : TempFiles) EXPECT_FALSE(Exists(f)) << f;
    EXPECT_TRUE(Exists("network_report.txt"));
    EXPECT_TRUE(Exists("roads.mif"));
  }
}

// ------------------------------------------------------------ Z-levels

TEST_F(ImportTest, ZLevelsKeepEndsOnDifferentLevelsApart) {
  WriteText(P("roads.mif"), MifText({Poly({{0, 0}, {1, 1}}), Poly({{1, 1}, {2, 0}}),
                                     Poly({{5, 5}, {6, 6}, {5, 5}})}));
  WriteText(P("roads.mid"), "1,0,1\r\n2,0,0\r\n3,0,-1\r\n");
  TImport imp;
  imp.SetZFromField(1);
  imp.SetZToField(2);
  Run(imp, {"roads.mif"});
  // (1, 1) on level 1 and on level 0 are two nodes; the closed link has
  // ends on two levels and is no loop.
  EXPECT_TRUE(imp.ImportErrorList().empty());
  EXPECT_EQ(imp.NodeCount(), 6);
  const auto coord = ReadArray<TFloatPoint>(P("coord.bin"));
  const auto link = ReadArray<uint32_t>(P("link.bin"));
  const double r = 0.0001 / 6378.13;
  const TFloatPoint moved = coord[link[1] - 1];
  EXPECT_DOUBLE_EQ(moved.x, 1 + r * std::sin(M_PI / 9));
  EXPECT_DOUBLE_EQ(moved.y, 1 + r * std::cos(M_PI / 9));
  EXPECT_NE(ReadText(P("network_report.txt")).find("Z-level information extracted from field 1 and 2"),
            std::string::npos);

  WriteText(P("roads.mid"), "1,0,10\r\n2,0,0\r\n3,0,0\r\n");
  TImport bad;
  bad.SetZFromField(1);
  bad.SetZToField(2);
  EXPECT_EQ(ErrorOf([&] { Run(bad, {"roads.mif"}); }), "Z-levels of out range (-9..9)");

  WriteShapefileWithGdal(P("table.shp"), {Poly({{0, 0}, {1, 1}})});
  TImport shp;
  shp.SetZFromField(0);
  shp.SetZToField(1);
  EXPECT_EQ(ErrorOf([&] { Run(shp, {"table.shp"}); }), "Invalid fields for Z-levels defined");
  for (const char* f : NetworkFiles) EXPECT_FALSE(Exists(f)) << f;
}
