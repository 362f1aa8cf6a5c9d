// The network reader: opening a built folder, its accessors against the
// raw files, one-way signs, cul-de-sac links, the length ratio, the argument
// checks, and refusing damaged file sets without reading outside them.
#include <gtest/gtest.h>

#include <gdal.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "linvoro_configfile.h"
#include "linvoro_coord3file.h"
#include "include_file.h"
#include "linvoro_functions.h"
#include "error_text.h"
#include "net_fixture.h"
#include "network_reference.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"

namespace fs = std::filesystem;

namespace {


// A random network around Andorra with shared end points, shape points and
// placeholders.
std::vector<TLine> RandomLines(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ux(1.40, 1.80), uy(42.40, 42.66);
  std::vector<TFloatPoint> pool(n / 4 + 2);
  for (TFloatPoint& p : pool) p = {ux(rng), uy(rng)};
  std::vector<TLine> lines;
  for (int k = 0; k < n; ++k) {
    if (k != n - 1 && rng() % 15 == 0) {
      lines.emplace_back();
      continue;
    }
    const size_t a = rng() % pool.size();
    size_t b = rng() % pool.size();
    if (b == a) b = (b + 1) % pool.size();
    TLine l{pool[a]};
    for (int i = static_cast<int>(rng() % 4); i > 0; --i) l.push_back({ux(rng), uy(rng)});
    l.push_back(pool[b]);
    lines.push_back(l);
  }
  return lines;
}

// The node lists of node.bin, decoded straight from the file.
std::vector<std::vector<int32_t>> NodeLists(const std::string& path) {
  const std::vector<uint32_t> v = ReadArray<uint32_t>(path);
  const uint32_t D = v.at(0);
  std::vector<uint32_t> C(D + 2, 0);
  for (uint32_t i = 0; i < D; ++i) C[D - i] = v.at(1 + i);
  std::vector<std::vector<int32_t>> lists(C[1] + 1);
  size_t pos = 1 + D;
  for (uint32_t n = 1; n <= C[1]; ++n) {
    uint32_t d = D;
    while (!(C[d + 1] < n && n <= C[d])) --d;
    for (uint32_t k = 0; k < d; ++k) lists[n].push_back(static_cast<int32_t>(v.at(pos++)));
  }
  EXPECT_EQ(pos, v.size());
  return lists;
}

class NetworkTest : public TNetFixture {};

// Every accessor against the files the import wrote.
void ExpectAgreesWithFiles(TNetwork& net, const std::string& dir) {
  const auto link = ReadArray<uint32_t>(dir + "link.bin");
  const auto len = ReadArray<float>(dir + "length.bin");
  const auto coord = ReadArray<TFloatPoint>(dir + "coord.bin");
  const auto attr = ReadArray<uint16_t>(dir + "attribute.bin");
  const auto lists = NodeLists(dir + "node.bin");
  ASSERT_EQ(net.LinkCount(), static_cast<int32_t>(len.size()));
  ASSERT_EQ(net.NodeCount(), static_cast<int32_t>(coord.size()));
  for (int32_t l = 1; l <= net.LinkCount(); ++l) {
    EXPECT_EQ(net.LinkLength(l), len[l - 1]);
    if (len[l - 1] == 0) {
      EXPECT_EQ(link[2 * (l - 1)], 0u);
      EXPECT_THROW(net.Link2FromNode(l), Exception);
      continue;
    }
    EXPECT_EQ(net.Link2FromNode(l), static_cast<int32_t>(link[2 * (l - 1)]));
    EXPECT_EQ(net.Link2ToNode(l), static_cast<int32_t>(link[2 * (l - 1) + 1]));
    EXPECT_EQ(net.OneWayGet(l), attr[l - 1] & 1536);
    const TFloatPointArrayEx s = net.GetGISSection(l);
    EXPECT_EQ(s.Pnt[0], coord[link[2 * (l - 1)] - 1]);
    EXPECT_EQ(s.Pnt[s.Count - 1], coord[link[2 * (l - 1) + 1] - 1]);
  }
  for (int32_t n = 1; n <= net.NodeCount(); ++n) {
    EXPECT_EQ(net.Node2Coordinate(n), coord[n - 1]);
    ASSERT_EQ(net.Degree(n), static_cast<int32_t>(lists[n].size())) << n;
    for (int32_t k = 1; k <= net.Degree(n); ++k) {
      EXPECT_EQ(net.Node2Link(n, k), lists[n][k - 1]);
      const int32_t L = lists[n][k - 1];
      EXPECT_TRUE(net.NodesConnected(n, net.Link2FromNode(L) + net.Link2ToNode(L) - n));
    }
  }
}

}  // namespace

TEST_F(NetworkTest, AccessorsAgreeWithTheFiles) {
  const std::vector<TLine> lines = RandomLines(400, 7);
  Build(lines);
  TNetwork net;
  Open(net);
  ExpectAgreesWithFiles(net, dir);
  // Shapes come back as written.
  for (int32_t l = 1; l <= net.LinkCount(); ++l) {
    if (lines[l - 1].empty()) continue;
    const TFloatPointArrayEx s = net.GetGISSection(l);
    ASSERT_EQ(s.Count, static_cast<int32_t>(lines[l - 1].size()));
    for (int32_t i = 0; i < s.Count; ++i) EXPECT_EQ(s.Pnt[i], lines[l - 1][i]);
  }
  EXPECT_NE(net.QuadTree(), nullptr);
  EXPECT_FALSE(net.LoopLinks());
  net.Close();
  EXPECT_THROW(net.Degree(1), ENetworkIsClosed);
}

TEST_F(NetworkTest, OsmExtractOpensAndAgrees) {
  const std::string gz = std::string(SHARED_DATA_DIR) + "/osm/monaco.osm.gz";
  if (!fs::exists(gz)) GTEST_SKIP() << "no extract";
  GDALAllRegister();
  const std::string osm = Path("monaco.osm");
  {
    VSILFILE* in = VSIFOpenL(("/vsigzip/" + gz).c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::ofstream o(osm, std::ios::binary);
    char buf[1 << 16];
    size_t n;
    while ((n = VSIFReadL(buf, 1, sizeof buf, in)) > 0) o.write(buf, static_cast<std::streamsize>(n));
    VSIFCloseL(in);
  }
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  TRunOptions o;
  o.OutputFormat = 0;
  o.BuildNetwork = true;
  o.Files = {osm};
  o.MainDir = dir;
  TNullRunUI ui;
  const TRunResult r = RunConversion(o, include, ui);
  ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  TNetwork net;
  Open(net);
  ASSERT_GT(net.LinkCount(), 100);
  ExpectAgreesWithFiles(net, dir);
}

TEST_F(NetworkTest, OneWayBitsSignTheNodeListEntries) {
  // A star: links 1..4 from the centre outwards, one per attribute case.
  const TFloatPoint c{1.5, 42.5};
  const std::vector<TLine> lines = {{c, {1.51, 42.5}}, {c, {1.49, 42.5}}, {c, {1.5, 42.51}},
                                    {c, {1.5, 42.49}}};
  const std::vector<uint16_t> words = {0, 512, 1024, 1536 | 21};
  Build(lines, words);
  TNetwork net;
  Open(net);
  for (int32_t L = 1; L <= 4; ++L) {
    SCOPED_TRACE(L);
    const int32_t f = net.Link2FromNode(L), t = net.Link2ToNode(L);
    auto entry = [&](int32_t n) {
      for (int32_t k = 1; k <= net.Degree(n); ++k)
        if (net.Node2Link(n, k) == L) return net.NodeLinkRaw(n, k);
      return 0;
    };
    const uint16_t w = words[L - 1];
    EXPECT_EQ(entry(t), (w & 512) ? -L : L);
    EXPECT_EQ(entry(f), (w & 1024) ? -L : L);
    EXPECT_EQ(net.OneWayGet(L), w & 1536);
    EXPECT_EQ(net.Attribute(L), w);
  }
  // Without attributes the entries stay positive.
  TNetwork plain;
  Open(plain, false);
  for (int32_t n = 1; n <= plain.NodeCount(); ++n)
    for (int32_t k = 1; k <= plain.Degree(n); ++k) EXPECT_GT(plain.NodeLinkRaw(n, k), 0);
}

TEST_F(NetworkTest, LoopLinksAndPlaceholders) {
  const TLine a{{1.5, 42.5}, {1.6, 42.5}}, b{{1.6, 42.5}, {1.6, 42.6}};
  const TLine loop{{1.6, 42.6}, {1.7, 42.6}, {1.7, 42.7}, {1.6, 42.6}};
  {
    Build({a, {}, b});
    TNetwork net;
    Open(net);
    EXPECT_FALSE(net.LoopLinks());
    EXPECT_EQ(net.LinkLength(2), 0.0f);
    EXPECT_EQ(ErrorOf([&] { net.CheckLink(2); }), "Link 2 is a non-valid link");
  }
  {
    Build({a, {}, loop, b}, {}, true);
    TNetwork net;
    Open(net);
    EXPECT_TRUE(net.LoopLinks());
    const int32_t n = net.Link2FromNode(3);
    EXPECT_EQ(net.Link2ToNode(3), n);
    int listed = 0;
    for (int32_t k = 1; k <= net.Degree(n); ++k) listed += net.Node2Link(n, k) == 3;
    EXPECT_EQ(listed, 2);
    EXPECT_TRUE(net.NodesConnected(n, n));
  }
}

TEST_F(NetworkTest, CulDeSacLinks) {
  // A square cycle (links 1-4) with a two-link spur (5, 6) and, apart, a
  // single path of three links (7-9).
  const TFloatPoint p1{1.50, 42.50}, p2{1.51, 42.50}, p3{1.51, 42.51}, p4{1.50, 42.51};
  const TFloatPoint s1{1.52, 42.50}, s2{1.53, 42.50};
  const TFloatPoint q1{1.60, 42.60}, q2{1.61, 42.60}, q3{1.62, 42.61}, q4{1.63, 42.60};
  Build({{p1, p2}, {p2, p3}, {p3, p4}, {p4, p1}, {p2, s1}, {s1, s2}, {q1, q2}, {q2, q3}, {q3, q4}});
  TNetwork net;
  Open(net);
  const bool expected[] = {false, false, false, false, true, true, true, true, true};
  for (int32_t L = 1; L <= 9; ++L) EXPECT_EQ(net.GetCulDeSac(L), expected[L - 1]) << L;
  EXPECT_FALSE(net.GetCulDeSac(0));
  EXPECT_FALSE(net.GetCulDeSac(1000));
}

TEST_F(NetworkTest, LengthAlpha) {
  {
    Build({{{1.5, 42.5}, {1.6, 42.5}}, {{1.6, 42.5}, {1.6, 42.6}}});
    TNetwork net;
    Open(net);
    EXPECT_EQ(net.LengthAlpha(), 1.0f);
  }
  {
    // Two right-angle bends: the straight distance is about 1/sqrt(2) of
    // the length.
    Build({{{1.5, 42.5}, {1.5, 42.51}, {1.51, 42.51}}, {{1.6, 42.5}, {1.6, 42.52}, {1.62, 42.52}}});
    TNetwork net;
    Open(net);
    EXPECT_GT(net.LengthAlpha(), 0.70f);
    EXPECT_LT(net.LengthAlpha(), 0.72f);
  }
}

TEST_F(NetworkTest, DistancesAndCoordinateChecks) {
  Build({{{1.5, 42.5}, {1.6, 42.5}}, {{1.6, 42.5}, {1.6, 42.6}}});
  TNetwork net;
  Open(net);
  const TFloatPoint a{1.5, 42.5}, b{1.6, 42.6};
  EXPECT_NEAR(net.DistanceBetweenPoints(a, b), Haversine(a, b), 1e-9);
  EXPECT_NEAR(net.DistanceBetweenNodes(1, 2), Haversine(net.Node2Coordinate(1), net.Node2Coordinate(2)),
              1e-9);
  // Coordinates in the shared number text: up to 15 significant digits.
  const struct {
    TFloatPoint p;
    const char* message;
  } bad[] = {
      {{181, 0}, "(181 , 0) are not valid degree coordinates"},
      {{180.000000123456, -90.5}, "(180.000000123456 , -90.5) are not valid degree coordinates"},
      {{1.0, 42.5}, "Coordinates (1 , 42.5) are beyond search area"},
      {{1.23456789012345, 42.5000001}, "Coordinates (1.23456789012345 , 42.5000001) are beyond search area"},
      {{1e-7, 42.5}, "Coordinates (1E-7 , 42.5) are beyond search area"},
  };
  for (const auto& c : bad) EXPECT_EQ(ErrorOf([&] { net.CheckCoordinate(c.p); }), c.message);
  EXPECT_NO_THROW(net.CheckCoordinate({1.55, 42.55}));
  net.SetCoordinateWindow(-1);
  EXPECT_NO_THROW(net.CheckCoordinate({1.0, 42.5}));
}

TEST_F(NetworkTest, ArgumentMessages) {
  Build({{{1.5, 42.5}, {1.6, 42.5}}, {}, {{1.6, 42.5}, {1.6, 42.6}}});
  TNetwork net;
  EXPECT_EQ(ErrorOf([&] { net.Degree(1); }), "Network is not open");
  EXPECT_EQ(ErrorOf([&] { net.OpenRoadName(1, false); }), "Network is not open");
  Open(net);
  const struct {
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {[&] { net.CheckLink(0); }, "Link-ID must be >=1: 0"},
      {[&] { net.CheckLink(4); }, "Link-ID must be <=3: 4"},
      {[&] { net.CheckLink(2); }, "Link 2 is a non-valid link"},
      {[&] { net.CheckNode(0); }, "Node-ID must be >=1: 0"},
      {[&] { net.CheckNode(4); }, "Node-ID must be =<3: 4"},
      {[&] { net.Node2Link(1, 0); }, "Link index must be from 1 to 2: 0"},
      {[&] { net.Node2Link(1, 3); }, "Link index must be from 1 to 2: 3"},
      {[&] { net.LinkLength(-1); }, "Link-ID must be >=1: -1"},
      {[&] { net.OpenRoadName(0, false); }, "RoadFileID should be from 1 to 99, not 0"},
      {[&] { net.OpenRoadName(100, false); }, "RoadFileID should be from 1 to 99, not 100"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.call), c.message);
  EXPECT_EQ(net.LinkLength(2), 0.0f);
}

// ------------------------------------------------------------ damaged sets

namespace {

void Patch(const std::string& path, int64_t offset, const void* data, size_t n) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(offset < 0 ? static_cast<int64_t>(fs::file_size(path)) + offset : offset);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}
void Truncate(const std::string& path, int64_t by) {
  fs::resize_file(path, fs::file_size(path) - static_cast<uintmax_t>(by));
}
void PatchU32(const std::string& path, int64_t offset, uint32_t v) { Patch(path, offset, &v, 4); }

}  // namespace

TEST_F(NetworkTest, DamagedFileSetsAreRefused) {
  // Three links in a row plus a placeholder: nodes of degree 2 and 1.
  const std::vector<TLine> lines = {
      {{1.5, 42.5}, {1.55, 42.52}, {1.6, 42.5}}, {}, {{1.6, 42.5}, {1.6, 42.6}},
      {{1.6, 42.6}, {1.7, 42.6}}};
  struct TCase {
    const char* name;
    std::function<void(const std::string& dir)> damage;
    const char* expect;  // part of the message
  };
  const std::vector<TCase> cases = {
      {"config missing", [](const std::string& d) { fs::remove(d + "linvoro_config.ini"); },
       "File is missing: "},
      {"length missing", [](const std::string& d) { fs::remove(d + "length.bin"); },
       "File is missing: "},
      {"link missing", [](const std::string& d) { fs::remove(d + "link.bin"); }, "File is missing: "},
      {"coord missing", [](const std::string& d) { fs::remove(d + "coord.bin"); },
       "File is missing: "},
      {"node missing", [](const std::string& d) { fs::remove(d + "node.bin"); }, "File is missing: "},
      {"spatial index missing", [](const std::string& d) { fs::remove(d + "spatialindex.bin"); },
       "File is missing: "},
      {"coord3 missing", [](const std::string& d) { fs::remove(d + "coord3.bin"); },
       "File is missing: "},
      {"coord3i missing", [](const std::string& d) { fs::remove(d + "coord3i.bin"); },
       "File is missing: "},
      {"attribute missing", [](const std::string& d) { fs::remove(d + "attribute.bin"); },
       "File is missing: "},
      {"config checksum",
       [](const std::string& d) {
         std::string s = TTempDirTest::Slurp(d + "linvoro_config.ini");
         s[s.find("linkcount=") + 10] = '7';
         TTempDirTest::Put(d + "linvoro_config.ini", s);
       },
       "The config file is corrupted"},
      {"length short", [](const std::string& d) { Truncate(d + "length.bin", 4); }, "length.bin"},
      {"length negative",
       [](const std::string& d) {
         const float v = -1;
         Patch(d + "length.bin", 0, &v, 4);
       },
       "length.bin"},
      {"link short", [](const std::string& d) { Truncate(d + "link.bin", 3); }, "link.bin"},
      {"link node out of range", [](const std::string& d) { PatchU32(d + "link.bin", 0, 99); },
       "link.bin"},
      {"link node huge", [](const std::string& d) { PatchU32(d + "link.bin", 4, 0xFFFFFFF0u); },
       "link.bin"},
      {"placeholder with nodes", [](const std::string& d) { PatchU32(d + "link.bin", 8, 1); },
       "link.bin"},
      {"coord odd size", [](const std::string& d) { Truncate(d + "coord.bin", 8); }, "coord.bin"},
      {"coord one node short", [](const std::string& d) { Truncate(d + "coord.bin", 16); }, ""},
      {"node short", [](const std::string& d) { Truncate(d + "node.bin", 4); }, "node.bin"},
      {"node degree zero", [](const std::string& d) { PatchU32(d + "node.bin", 0, 0); }, "node.bin"},
      {"node degree huge", [](const std::string& d) { PatchU32(d + "node.bin", 0, 100000); },
       "node.bin"},
      {"node counts decrease", [](const std::string& d) { PatchU32(d + "node.bin", 4, 1000); },
       "node.bin"},
      {"node lists unknown link", [](const std::string& d) { PatchU32(d + "node.bin", -4, 77); },
       "node.bin"},
      {"node lists negative link", [](const std::string& d) { PatchU32(d + "node.bin", -4, 0x80000000u); },
       "node.bin"},
      {"node lists placeholder", [](const std::string& d) { PatchU32(d + "node.bin", -4, 2); },
       "node.bin"},
      {"node lists link twice",
       [](const std::string& d) {
         // The first node of degree 2 lists its first link twice.
         const auto v = ReadArray<uint32_t>(d + "node.bin");
         PatchU32(d + "node.bin", 4 * (1 + v[0] + 1), v[1 + v[0]]);
       },
       "node.bin"},
      {"coord3i short", [](const std::string& d) { Truncate(d + "coord3i.bin", 4); }, "coord3i.bin"},
      {"coord3i odd", [](const std::string& d) { Truncate(d + "coord3i.bin", 1); }, "coord3i.bin"},
      {"coord3i decreasing", [](const std::string& d) { PatchU32(d + "coord3i.bin", 4, 0x7FFFFFFF); },
       "coord3i.bin"},
      {"coord3i first not 0", [](const std::string& d) { PatchU32(d + "coord3i.bin", 0, 1); },
       "coord3i.bin"},
      {"coord3 short", [](const std::string& d) { Truncate(d + "coord3.bin", 16); }, "coord3i.bin"},
      {"coord3 odd", [](const std::string& d) { Truncate(d + "coord3.bin", 3); }, "coord3.bin"},
      {"spatial index short", [](const std::string& d) { Truncate(d + "spatialindex.bin", 5); }, ""},
      {"spatial index empty", [](const std::string& d) { fs::resize_file(d + "spatialindex.bin", 0); },
       ""},
      {"spatial index cell count", [](const std::string& d) { PatchU32(d + "spatialindex.bin", 0, 0x7FFFFFFF); },
       ""},
      {"spatial index node id",
       [](const std::string& d) {
         // The root is a leaf here: its first entry is node 1.
         PatchU32(d + "spatialindex.bin", 4 + 37 + 2, 50);
       },
       "spatialindex.bin"},
      {"spatial index link run",
       [](const std::string& d) {
         // The last entry is a link run; give it vertices past the link's end.
         const uint16_t v[2] = {0, 60000};
         Patch(d + "spatialindex.bin", -4, v, 4);
       },
       "spatialindex.bin"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    Build(lines);
    c.damage(dir);
    TNetwork net;
    net.SetDirectory(dir);
    std::string err = ErrorOf([&] { net.Open(true, false, true, 0); });
    EXPECT_NE(err, "(no error)");
    EXPECT_NE(err.find(c.expect), std::string::npos) << err;
    if (std::string(c.name) == "attribute missing") {
      // A failure in the attribute step leaves an open network without
      // attributes.
      EXPECT_TRUE(net.IsOpen());
    } else {
      EXPECT_FALSE(net.IsOpen());
      EXPECT_THROW(net.Degree(1), ENetworkIsClosed);
    }
  }
}

TEST_F(NetworkTest, AttributeSizeVersionAndMissingIndex) {
  Build({{{1.5, 42.5}, {1.6, 42.5}}, {{1.6, 42.5}, {1.6, 42.6}}});
  Put(Path("attribute.bin"), std::string(3, '\0'));
  TNetwork net;
  net.SetDirectory(dir);
  EXPECT_EQ(ErrorOf([&] { net.Open(true, false, true, 0); }), "Attribute file has incorrect size");
  EXPECT_TRUE(net.IsOpen());
  EXPECT_EQ(net.Attribute(1), 0);

  TNetwork v;
  v.SetDirectory(dir);
  v.SetOnConfig([](TConfig& c, TNetwork*) { c.VersionCode = 300; });
  EXPECT_EQ(ErrorOf([&] { v.Open(false, false, true, 0); }),
            "This network is not compatible with the software");

  TNetwork u;
  u.SetDirectory(dir);
  u.SetOnConfig([&](TConfig& c, TNetwork*) {
    c = ReadConfigFile(Path("linvoro_config.ini"));
    c.Cu = cuUnknown;
  });
  EXPECT_EQ(ErrorOf([&] { u.Open(false, false, true, 0); }), "Undefined coordinate in DistFactor");

  fs::remove(Path("spatialindex.bin"));
  TNetwork s;
  s.SetDirectory(dir);
  EXPECT_EQ(ErrorOf([&] { s.Open(false, false, true, 0); }),
            "File is missing: " + Path("spatialindex.bin"));
  // A folder given relative to the current one: the message still names
  // the file's full path.
  TNetwork r;
  r.SetDirectory(fs::relative(dir).string());
  ASSERT_NE(fs::relative(dir).string()[0], '/');
  EXPECT_EQ(ErrorOf([&] { r.Open(false, false, true, 0); }),
            "File is missing: " + Path("spatialindex.bin"));
  // Without the spatial index requested the folder opens.
  EXPECT_NO_THROW(s.Open(false, false, false, 0));
  EXPECT_EQ(s.QuadTree(), nullptr);
}

// Random damage to any file: the reader either opens (and its accessors
// stay inside the arrays) or raises; it never crashes or reads outside.
TEST_F(NetworkTest, RandomDamageNeverCrashes) {
  const std::vector<TLine> lines = RandomLines(60, 3);
  const char* files[] = {"length.bin", "link.bin", "coord.bin", "node.bin",
                         "coord3.bin", "coord3i.bin", "spatialindex.bin", "attribute.bin"};
  std::mt19937 rng(11);
  Build(lines);
  std::map<std::string, std::string> pristine;
  for (const char* f : files) pristine[f] = Slurp(Path(f));
  int opened = 0;
  for (int round = 0; round < 300; ++round) {
    for (const char* f : files) Put(Path(f), pristine[f]);
    const std::string f = files[rng() % std::size(files)];
    std::string bytes = pristine[f];
    if (bytes.empty()) continue;
    if (rng() % 4 == 0) {
      bytes.resize(rng() % bytes.size());
    } else {
      for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k)
        bytes[rng() % bytes.size()] = static_cast<char>(rng());
    }
    Put(Path(f), bytes);
    TNetwork net;
    net.SetDirectory(dir);
    try {
      net.Open(true, false, true, 0);
    } catch (const Exception&) {
      continue;
    }
    ++opened;
    for (int32_t L = 1; L <= net.LinkCount(); ++L)
      if (net.LinkLength(L) != 0) (void)net.GetGISSection(L);
    for (int32_t n = 1; n <= net.NodeCount(); ++n)
      for (int32_t k = 1; k <= net.Degree(n); ++k) (void)net.Node2Link(n, k);
    (void)net.ObjectCheck(Path("object_check"), gfMIF, 90);
  }
  EXPECT_GT(opened, 0);  // damage to coordinates or lengths alone still opens
}

// ------------------------------------------------------------ link shapes

class Coord3Test : public TNetFixture {};

TEST_F(Coord3Test, SectionsCountsAndCoordinates) {
  const std::vector<TLine> lines = {{{1.5, 42.5}, {1.6, 42.5}},
                                    {},
                                    {{1.6, 42.5}, {1.62, 42.55}, {1.61, 42.57}, {1.6, 42.6}}};
  Build(lines);
  for (bool cache : {false, true}) {
    SCOPED_TRACE(cache);
    TCoord3File c;
    c.SetDirectory(dir);
    c.Open(cache);
    EXPECT_EQ(c.Cached(), cache);
    ASSERT_EQ(c.Count(), 3);
    TFloatPointArrayEx l;
    l.Pnt.assign(10, {-1, -1});
    for (int32_t r : {0, 1}) {
      c.ReadSection(r, l);
      EXPECT_EQ(l.Count, 2);
      EXPECT_EQ(c.GetCount(r), 2);
      double x, y;
      EXPECT_EQ(ErrorOf([&] { c.GetCoord(r, 0, x, y); }),
                "Coord3file.GetCoord index argument 0 > -1");
    }
    c.ReadSection(2, l);
    ASSERT_EQ(l.Count, 4);
    EXPECT_EQ(l.Pnt[1], lines[2][1]);
    EXPECT_EQ(l.Pnt[2], lines[2][2]);
    double x = 0, y = 0;
    c.GetCoord(2, 1, x, y);
    EXPECT_EQ((TFloatPoint{x, y}), lines[2][2]);
    EXPECT_EQ(ErrorOf([&] { c.GetCoord(2, 2, x, y); }), "Coord3file.GetCoord index argument 2 > 1");
    EXPECT_THROW(c.ReadSection(3, l), EOutOfRange);
    EXPECT_THROW(c.ReadSection(-1, l), EOutOfRange);

    TCoord3File copy;
    c.Clone(copy);
    c.Close();
    TFloatPointArrayEx m;
    copy.ReadSection(2, m);
    EXPECT_EQ(m.Count, 4);
    EXPECT_EQ(m.Pnt[2], lines[2][2]);
  }
}

TEST_F(Coord3Test, MissingFilesNameThePath) {
  Build({{{1.5, 42.5}, {1.6, 42.5}}});
  fs::remove(Path("coord3i.bin"));
  TCoord3File c;
  c.SetDirectory(dir);
  EXPECT_EQ(ErrorOf([&] { c.Open(false); }), Path("coord3i.bin") + " is missing");
  fs::remove(Path("coord3.bin"));
  EXPECT_EQ(ErrorOf([&] { c.Open(false); }), Path("coord3.bin") + " is missing");
  EXPECT_FALSE(c.IsOpen());
}

TEST_F(NetworkTest, OpenReportsProgressPhaseByPhase) {
  Build(RandomLines(300, 9));
  TNetwork net;
  net.SetDirectory(dir);
  std::vector<int32_t> seen;
  net.SetOnProgress([&](TProgress*, int32_t p, bool&) { seen.push_back(p); });
  net.Open(false, false, true, 0);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 0);
  // Each file ends its own range: length 8, link 21, coord 47, node 60.
  for (int32_t end : {8, 21, 47, 60})
    EXPECT_NE(std::find(seen.begin(), seen.end(), end), seen.end()) << end;
  for (size_t i = 1; i + 1 < seen.size(); ++i) EXPECT_LE(seen[i - 1], seen[i]) << i;
  for (int32_t p : seen) EXPECT_TRUE(p >= 0 && p <= 100) << p;
}

TEST_F(NetworkTest, ExternalIdIndex) {
  Build({{{1.5, 42.5}, {1.6, 42.5}}, {{1.6, 42.5}, {1.6, 42.6}}, {{1.6, 42.6}, {1.7, 42.6}}});
  // index1: (external id, link) sorted by id; index2: id per link.
  std::string i1, i2;
  const std::pair<int64_t, int32_t> pairs[] = {{-5, 3}, {1000, 1}, {7000000000LL, 2}};
  for (const auto& [id, link] : pairs) {
    i1.append(reinterpret_cast<const char*>(&id), 8);
    i1.append(reinterpret_cast<const char*>(&link), 4);
  }
  for (int64_t id : {int64_t(1000), int64_t(7000000000LL), int64_t(-5)})
    i2.append(reinterpret_cast<const char*>(&id), 8);
  Put(Path("index1.bin"), i1);
  Put(Path("index2.bin"), i2);
  for (int32_t mode : {1, 2, 3}) {
    SCOPED_TRACE(mode);
    TNetwork net;
    net.SetDirectory(dir);
    net.Open(true, false, true, mode);
    TExternalID& x = *net.ExternalID();
    EXPECT_EQ(x.Link(1000), 1);
    EXPECT_EQ(x.Link(7000000000LL), 2);
    EXPECT_EQ(x.Link(-5), 3);
    EXPECT_EQ(x.Link(4), 0);
    EXPECT_EQ(x.ID(2), 7000000000LL);
    EXPECT_EQ(x.ID(3), -5);
    EXPECT_EQ(x.ID(4), 0);
  }
  // The driver never asks for them: without the files the network opens.
  fs::remove(Path("index1.bin"));
  TNetwork net;
  net.SetDirectory(dir);
  EXPECT_NO_THROW(net.Open(true, false, true, 0));
  EXPECT_FALSE(net.ExternalID()->IsOpen());
  TNetwork strict;
  strict.SetDirectory(dir);
  EXPECT_THROW(strict.Open(true, false, true, 1), EFileMissing);
  Put(Path("index1.bin"), i1.substr(0, 13));
  EXPECT_THROW(strict.Open(true, false, true, 1), Exception);
}
