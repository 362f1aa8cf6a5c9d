// The link checks: the shape test against a plain quadratic implementation,
// and the parallel, nodes, object_check and location tables as GDAL reads
// them back.
#include <gtest/gtest.h>

#include <gdal.h>
#include <ogr_api.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "linvoro_locationlist.h"
#include "net_fixture.h"

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------ reference shape test

bool Between(double a, double b, double c) { return (b < a && a < c) || (c < a && a < b); }

struct TRefSeg {
  TFloatPoint p, q;
};

bool RefOverlap(const TRefSeg& s, const TRefSeg& t) {
  return Between(s.p.y, t.p.y, t.q.y) || Between(s.q.y, t.p.y, t.q.y) ||
         Between(t.p.y, s.p.y, s.q.y) || Between(t.q.y, s.p.y, s.q.y);
}

bool RefCross(const TRefSeg& s, const TRefSeg& t) {
  const bool vs = s.p.x == s.q.x, vt = t.p.x == t.q.x;
  auto m = [](const TRefSeg& g) { return (g.q.y - g.p.y) / (g.q.x - g.p.x); };
  auto c = [](const TRefSeg& g) { return (g.p.y * g.q.x - g.q.y * g.p.x) / (g.q.x - g.p.x); };
  if (vs && vt) return s.p.x == t.p.x && RefOverlap(s, t);
  if (vs || vt) {
    const TRefSeg& v = vs ? s : t;
    const TRefSeg& o = vs ? t : s;
    return Between(v.p.x, o.p.x, o.q.x) && Between(m(o) * v.p.x + c(o), v.p.y, v.q.y);
  }
  if (m(s) != m(t)) {
    const double x = (c(s) - c(t)) / (m(t) - m(s));
    return Between(x, s.p.x, s.q.x) && Between(x, t.p.x, t.q.x);
  }
  return c(s) == c(t) && RefOverlap(s, t);
}

// Compass bearing in degrees (clockwise from north) on the sphere, or the
// planar vector angle; only differences matter.
double RefDirection(const TFloatPoint& a, const TFloatPoint& b, bool degrees) {
  if (!degrees) return std::atan2(b.y - a.y, b.x - a.x) * 180 / M_PI;
  const double k = M_PI / 180;
  const double f1 = a.y * k, f2 = b.y * k, dl = (b.x - a.x) * k;
  return std::atan2(std::sin(dl) * std::cos(f2),
                    std::cos(f1) * std::sin(f2) - std::sin(f1) * std::cos(f2) * std::cos(dl)) *
         180 / M_PI;
}

int32_t RefShapeTest(const std::vector<TFloatPoint>& p, bool degrees, int32_t turn) {
  const size_t n = p.size();
  for (size_t i = 0; i < n; ++i)
    for (size_t j = i + 1; j < n; ++j)
      if (p[i] == p[j]) return 1;
  int32_t f = 0;
  for (size_t i = 1; i + 1 < n; ++i) {
    const double d = RefDirection(p[i], p[i + 1], degrees) - RefDirection(p[i - 1], p[i], degrees);
    long a = std::lround(std::nearbyint(d)) % 360;
    if (a < 0) a += 360;
    if (180 - turn < a && a < 180 + turn) {
      f += static_cast<int32_t>(std::labs(180 - a)) * 100;
      break;
    }
  }
  for (size_t i = 0; i + 1 < n; ++i)
    for (size_t j = i + 2; j + 1 < n; ++j)
      if (RefCross({p[i], p[i + 1]}, {p[j], p[j + 1]})) return f + 2;
  return f;
}

TFloatPointArrayEx Ex(const std::vector<TFloatPoint>& p) {
  TFloatPointArrayEx e;
  e.Pnt = p;
  e.Count = static_cast<int32_t>(p.size());
  return e;
}

}  // namespace

TEST(ShapeTest, AgreesWithPlainImplementation) {
  std::mt19937 rng(5);
  int flagged[4] = {};
  for (int round = 0; round < 4000; ++round) {
    // Walks on a small grid give vertical, horizontal, collinear and
    // touching segments; long ones take the sorted paths.
    const int n = round % 10 == 0 ? 49 + static_cast<int>(rng() % 120) : 3 + static_cast<int>(rng() % 9);
    const int grid = 3 + static_cast<int>(rng() % 8);
    std::vector<TFloatPoint> p;
    for (int i = 0; i < n; ++i) {
      TFloatPoint q{double(rng() % grid), double(rng() % grid)};
      if (!p.empty() && q == p.back()) q.x += 1;
      p.push_back(q);
    }
    if (round % 3 == 0) {
      // Mostly without repeated points, so that the other tests run.
      std::vector<TFloatPoint> u;
      for (const auto& q : p)
        if (std::find(u.begin(), u.end(), q) == u.end()) u.push_back(q);
      p = u;
      if (p.size() < 2) continue;
    }
    const int32_t turn = round % 2 ? 90 : 45;
    const int32_t want = RefShapeTest(p, false, turn);
    ASSERT_EQ(TNetwork::ShapeTest(Ex(p), cuM, turn), want) << "round " << round;
    flagged[(want & 1) ? 1 : (want & 2) ? 2 : want >= 100 ? 3 : 0]++;

    // The same shape in degrees near the equator.
    std::vector<TFloatPoint> d;
    for (const auto& q : p) d.push_back({q.x * 0.001, q.y * 0.001});
    ASSERT_EQ(TNetwork::ShapeTest(Ex(d), cuDeg, turn), RefShapeTest(d, true, turn)) << round;
  }
  for (int k = 0; k < 4; ++k) EXPECT_GT(flagged[k], 50) << k;  // every outcome was exercised
}

TEST(ShapeTest, DocumentedCases) {
  const double c = std::cos(120 * M_PI / 180), s = std::sin(120 * M_PI / 180);
  const struct {
    const char* name;
    std::vector<TFloatPoint> p;
    int32_t want;
  } cases[] = {
      {"first equals last", {{0, 0}, {2, 0}, {2, 2}, {0, 0}}, 1},
      {"repeated interior", {{0, 0}, {1, 0}, {2, 1}, {1, 0}, {3, 3}}, 1},
      {"120 degree change", {{0, 0}, {1, 0}, {1 + c, s}}, 6000},
      {"90 degree change", {{0, 0}, {1, 0}, {1, 1}}, 0},
      {"reversal", {{0, 0}, {2, 0}, {1, 0}}, 0},
      {"zig-zag crossing its first segment", {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, -1}}, 2},
      {"touching at an end point", {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 0}}, 0},
      {"horizontal overlap not seen", {{0, 0}, {3, 0}, {3, 1}, {1, 1}, {1, 0.5}, {1.5, 0}, {4, 0}},
       0},
      {"straight", {{0, 0}, {1, 0}}, 0},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(TNetwork::ShapeTest(Ex(t.p), cuM, 90), t.want);
    EXPECT_EQ(RefShapeTest(t.p, false, 90), t.want);
  }
}

// ------------------------------------------------------------ tables

namespace {

struct TTable {
  std::vector<std::string> fields;
  std::vector<OGRFieldType> types;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::vector<TFloatPoint>> shapes;
  std::vector<std::string> styles;
};

TTable ReadTable(const std::string& path) {
  TTable t;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  EXPECT_NE(ds, nullptr) << path;
  if (!ds) return t;
  OGRLayerH lyr = GDALDatasetGetLayer(ds, 0);
  OGRFeatureDefnH def = OGR_L_GetLayerDefn(lyr);
  for (int i = 0; i < OGR_FD_GetFieldCount(def); ++i) {
    t.fields.push_back(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(def, i)));
    t.types.push_back(OGR_Fld_GetType(OGR_FD_GetFieldDefn(def, i)));
  }
  OGR_L_ResetReading(lyr);
  while (OGRFeatureH f = OGR_L_GetNextFeature(lyr)) {
    std::vector<std::string> row;
    for (int i = 0; i < static_cast<int>(t.fields.size()); ++i)
      row.push_back(OGR_F_GetFieldAsString(f, i));
    t.rows.push_back(row);
    std::vector<TFloatPoint> pts;
    if (OGRGeometryH g = OGR_F_GetGeometryRef(f))
      for (int i = 0; i < OGR_G_GetPointCount(g); ++i)
        pts.push_back({OGR_G_GetX(g, i), OGR_G_GetY(g, i)});
    t.shapes.push_back(pts);
    const char* st = OGR_F_GetStyleString(f);
    t.styles.push_back(st ? st : "");
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return t;
}

const char* Ext(TGISFormat gf) { return gf == gfSHP ? ".shp" : ".mif"; }

class LinkChecks : public TNetFixture {
 protected:
  static void SetUpTestSuite() { GDALAllRegister(); }
};

bool IntegerType(OGRFieldType t) { return t == OFTInteger || t == OFTInteger64; }

}  // namespace

TEST_F(LinkChecks, ParallelLinkGroups) {
  // Links 1-3 join A and B (1 and 2 mirror images of each other, 3
  // straight); 4 and 5 join C and D; 6 and 7 are loop links at E; 8 is a
  // lone link.
  const double h = 0.0078125;  // exact in binary, so the mirrored lengths are equal
  const TFloatPoint A{1.5, 42.5}, B{1.5, 42.6}, C{1.7, 42.5}, D{1.8, 42.5}, E{1.9, 42.5};
  const std::vector<TLine> lines = {
      {A, {1.5 + h, 42.55}, B}, {A, {1.5 - h, 42.55}, B}, {A, B}, {C, D}, {C, {1.75, 42.51}, D},
      {E, {1.91, 42.5}, {1.91, 42.51}, E}, {E, {1.89, 42.5}, {1.89, 42.51}, E}, {D, E}};
  for (TGISFormat gf : {gfMIF, gfSHP}) {
    SCOPED_TRACE(int(gf));
    Build(lines, {}, true);
    TNetwork net;
    Open(net);
    EXPECT_EQ(net.ParallelLinks(Path("parallel"), gf), 5);
    const TTable t = ReadTable(Path(std::string("parallel") + Ext(gf)));
    ASSERT_EQ(t.fields, (std::vector<std::string>{"Link", "Group", "SameLength"}));
    EXPECT_TRUE(IntegerType(t.types[0]) && IntegerType(t.types[1]));
    ASSERT_EQ(t.rows.size(), 5u);
    const std::vector<std::pair<std::string, std::string>> want = {
        {"1", "1"}, {"2", "1"}, {"3", "1"}, {"4", "2"}, {"5", "2"}};
    for (size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(t.rows[i][0], want[i].first);
      EXPECT_EQ(t.rows[i][1], want[i].second);
      // Every member of both groups has a different length somewhere.
      EXPECT_TRUE(t.rows[i][2] == "0" || t.rows[i][2] == "F") << t.rows[i][2];
      const int32_t L = std::stoi(t.rows[i][0]);
      EXPECT_EQ(t.shapes[i].size(), lines[L - 1].size());
    }
  }
  // Just the mirrored pair: equal lengths.
  Build({lines[0], lines[1]});
  TNetwork net;
  Open(net);
  EXPECT_EQ(net.LinkLength(1), net.LinkLength(2));
  EXPECT_EQ(net.ParallelLinks(Path("parallel"), gfMIF), 2);
  const TTable t = ReadTable(Path("parallel.mif"));
  ASSERT_EQ(t.rows.size(), 2u);
  for (const auto& r : t.rows) EXPECT_TRUE(r[2] == "1" || r[2] == "T") << r[2];
}

TEST_F(LinkChecks, TablesWithoutRowsAreDropped) {
  Build({{{1.5, 42.5}, {1.6, 42.5}}, {{1.6, 42.5}, {1.6, 42.6}, {1.7, 42.7}}});
  TNetwork net;
  Open(net);
  for (TGISFormat gf : {gfMIF, gfSHP}) {
    EXPECT_EQ(net.ParallelLinks(Path("parallel"), gf), 0);
    EXPECT_EQ(net.ObjectCheck(Path("object_check"), gf, 90), 0);
  }
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name.rfind("parallel", 0) != 0 && name.rfind("object_check", 0) != 0) << name;
  }
  // A closed network creates nothing at all.
  TNetwork closed;
  closed.SetDirectory(dir);
  EXPECT_THROW(closed.ExportNodes(Path("nodes"), gfMIF), ENetworkIsClosed);
  EXPECT_FALSE(fs::exists(Path("nodes.mif")));
}

TEST_F(LinkChecks, ObjectCheckTable) {
  const double k = 0.001;
  auto at = [&](double x, double y) { return TFloatPoint{x * k, y * k}; };
  const double c = std::cos(120 * M_PI / 180), s = std::sin(120 * M_PI / 180);
  const std::vector<TLine> lines = {
      {at(0, 0), at(1, 0), at(2, 1), at(1, 0), at(3, 3)},            // repeated point
      {at(10, 0), at(11, 0), at(11 + c, s)},                          // 120 degree change
      {at(20, 0), at(22, 0), at(22, 1), at(21, 1), at(21, -1)},       // crossing
      {at(30, 0), at(31, 0), at(32, 1)},                              // fine
  };
  for (TGISFormat gf : {gfMIF, gfSHP}) {
    SCOPED_TRACE(int(gf));
    Build(lines);
    TNetwork net;
    Open(net);
    EXPECT_EQ(net.ObjectCheck(Path("object_check"), gf, 90), 3);
    const TTable t = ReadTable(Path(std::string("object_check") + Ext(gf)));
    ASSERT_EQ(t.fields, (std::vector<std::string>{"Link", "Duplicate", "SelfInter", "SharpTurn"}));
    ASSERT_EQ(t.rows.size(), 3u);
    const std::vector<std::vector<std::string>> want = {
        {"1", "1", "0", "0"}, {"2", "0", "0", "60"}, {"3", "0", "1", "0"}};
    for (size_t i = 0; i < 3; ++i) {
      ASSERT_EQ(t.rows[i].size(), 4u);
      for (size_t j = 0; j < 4; ++j) EXPECT_EQ(std::stod(t.rows[i][j]), std::stod(want[i][j])) << i << j;
      EXPECT_EQ(t.shapes[i].size(), lines[i].size());
    }
  }
}

TEST_F(LinkChecks, NodesTableWithSymbols) {
  // A centre of degree 5 whose spokes end in dead ends, one spoke through
  // a node of degree 2 and one end joined to a triangle (degrees 3 and 4).
  const TFloatPoint o{1.5, 42.5};
  const TFloatPoint e1{1.51, 42.5}, e2{1.49, 42.5}, e3{1.5, 42.51}, e4{1.5, 42.49}, e5{1.52, 42.52};
  const TFloatPoint mid{1.53, 42.53}, t1{1.54, 42.54}, t2{1.55, 42.54};
  const std::vector<TLine> lines = {{o, e1}, {o, e2},  {o, e3},  {o, e4},  {o, e5},
                                    {e5, mid}, {mid, t1}, {t1, t2}, {t2, e5}, {e5, t2}};
  Build(lines);
  TNetwork net;
  Open(net);
  const std::map<int, std::string> colour = {
      {1, "c:#0000ff"}, {2, "c:#000000"}, {3, "c:#ff0000"}, {4, "c:#ff00ff"}, {5, "c:#ffff00"}};
  const std::map<int, std::string> size = {{1, "s:10pt"}, {2, "s:5pt"}, {3, "s:7pt"}, {4, "s:7pt"},
                                           {5, "s:7pt"}};
  for (TGISFormat gf : {gfMIF, gfSHP}) {
    SCOPED_TRACE(int(gf));
    net.ExportNodes(Path("nodes"), gf);
    const TTable t = ReadTable(Path(std::string("nodes") + Ext(gf)));
    ASSERT_EQ(t.fields, (std::vector<std::string>{"ID", "Degree"}));
    EXPECT_TRUE(IntegerType(t.types[0]) && IntegerType(t.types[1]));
    ASSERT_EQ(static_cast<int32_t>(t.rows.size()), net.NodeCount());
    std::map<int, int> degrees;
    for (size_t i = 0; i < t.rows.size(); ++i) {
      const int32_t n = std::stoi(t.rows[i][0]);
      EXPECT_EQ(n, static_cast<int32_t>(i) + 1);
      const int d = std::stoi(t.rows[i][1]);
      EXPECT_EQ(d, net.Degree(n));
      ++degrees[d];
      ASSERT_EQ(t.shapes[i].size(), 1u);
      EXPECT_EQ(t.shapes[i][0], net.Node2Coordinate(n));
      if (gf == gfMIF) {
        EXPECT_NE(t.styles[i].find(colour.at(d)), std::string::npos) << d << " " << t.styles[i];
        EXPECT_NE(t.styles[i].find(size.at(d)), std::string::npos) << d << " " << t.styles[i];
      }
    }
    EXPECT_EQ(degrees, (std::map<int, int>{{1, 4}, {2, 2}, {3, 1}, {4, 1}, {5, 1}}));
  }
  EXPECT_EQ(TNetwork::NodeSymbol(9), TNetwork::NodeSymbol(5));
}

TEST_F(LinkChecks, LocationListTable) {
  Build({{{1.5, 42.5}, {1.6, 42.5}}, {{1.6, 42.5}, {1.6, 42.6}}});
  TNetwork net;
  Open(net);
  TLocationList ll;
  ll.Add(2, 0.25, {1.6, 42.525});
  ll.Add(1, 0.1234567890123, {1.51, 42.5});
  for (TGISFormat gf : {gfMIF, gfSHP}) {
    SCOPED_TRACE(int(gf));
    net.ExportLocationList(Path("split_and_snap"), gf, ll);
    const TTable t = ReadTable(Path(std::string("split_and_snap") + Ext(gf)));
    ASSERT_EQ(t.fields, (std::vector<std::string>{"Link", "Percent"}));
    EXPECT_TRUE(IntegerType(t.types[0]));
    EXPECT_EQ(t.types[1], OFTReal);
    ASSERT_EQ(t.rows.size(), 2u);
    for (int32_t i = 0; i < 2; ++i) {
      EXPECT_EQ(std::stoi(t.rows[i][0]), ll[i].loc.link);
      EXPECT_NEAR(std::stod(t.rows[i][1]), ll[i].loc.percent, 1e-9);
      ASSERT_EQ(t.shapes[i].size(), 1u);
      EXPECT_EQ(t.shapes[i][0], ll[i].P);
    }
  }
  // An empty list still leaves its table.
  TLocationList empty;
  net.ExportLocationList(Path("overpasses"), gfMIF, empty);
  EXPECT_TRUE(fs::exists(Path("overpasses.mif")));
}
