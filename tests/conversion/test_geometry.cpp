// Links cut from ways: repeated points, split nodes, loop halving, minimum
// length, ferry duration shares, roundabout orientation, simplification, and
// the way pass over real files.
#include <unistd.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "node_store.h"
#include "pass_driver.h"
#include "way_selection.h"
#include "way_writer.h"
#include "way_attributes.h"
#include "way_geometry.h"

static void PrintTo(const TFloatPoint& p, std::ostream* os) {
  *os << "(" << p.x << ", " << p.y << ")";
}

namespace {

using Pts = std::vector<TFloatPoint>;
using Lines = std::vector<std::string>;

class TCollect : public TErrorSink {
 public:
  void ErrorLine(std::string_view line) override { lines.emplace_back(line); }
  Lines lines;
};

// Records every object and section it is given.
class TFakeWriter : public TGISWriter {
 public:
  struct TRec {
    std::string attrib;
    Pts pts;
    int sections = 0;
  };
  std::vector<TRec> recs;

  TFakeWriter() {
    StartHeader(1, otPline);
    AddField("x", gfChar, 10, 0);
  }
  void AddPoint(double, double, std::string_view) override {}

 protected:
  void WriteObject(int32_t n, std::string_view a) override {
    TGISWriter::WriteObject(n, a);
    recs.push_back({std::string(a), {}, 0});
  }
  void WriteSection(int32_t i, const TFloatPointArrayEx& s) override {
    TGISWriter::WriteSection(i, s);
    recs.back().pts.assign(s.Pnt.begin(), s.Pnt.begin() + s.Count);
    ++recs.back().sections;
  }
};

const TIncludeLists& NoInclude() {
  static const TIncludeLists inc;
  return inc;
}

// Degrees of longitude along the equator for a distance in kilometres.
double KmDeg(double km) { return km / EarthRadius * RadToDeg; }

// Everything one way needs: options, sinks, writer, attributes, geometry.
struct TPass {
  TRunOptions o;
  TCollect errors;
  TFakeWriter writer;
  TWayAttributes attrs;
  TWayGeometry geo;
  TIdSet split;

  explicit TPass(const TRunOptions& opt)
      : o(opt), attrs(o, NoInclude(), errors), geo(o, writer, errors) {}

  // A way with ids firstId, firstId + 1, ... at the given points.
  void Write(int32_t wayId, const Pts& pts, const std::vector<std::pair<std::string, std::string>>& tags = {},
             int64_t firstId = 1) {
    attrs.ResetWayState(wayId);
    for (const auto& [k, v] : tags) attrs.HandleTag(k, v);
    attrs.FinishWay(nullptr, nullptr, false, false, true);
    TNode2List nodes;
    for (size_t i = 0; i < pts.size(); ++i) {
      TNode2 n;
      n.ID = firstId + static_cast<int64_t>(i);
      n.P = pts[i];
      SetRadians(n);
      nodes.Add(n);
    }
    geo.WriteWay(nodes, attrs, &split);
  }
  std::vector<Pts> Parts() const {
    std::vector<Pts> r;
    for (const auto& rec : writer.recs) r.push_back(rec.pts);
    return r;
  }
  std::vector<std::string> Durations() const {
    std::vector<std::string> r;
    for (const auto& rec : writer.recs) r.push_back(rec.attrib.substr(rec.attrib.rfind(',') + 1));
    return r;
  }
};

TRunOptions Defaults() {
  TRunOptions o;
  o.SplitLinks = true;
  o.SplitLoopLinks = true;
  o.Simplify = 0;
  o.minObjectLen = 0.1;
  o.Driving = drSkip;
  return o;
}

Pts Slice(const Pts& p, size_t a, size_t b) { return Pts(p.begin() + a, p.begin() + b + 1); }

// An irregular open line of n points somewhere in Europe.
Pts Line(int n) {
  Pts p;
  for (int i = 0; i < n; ++i) p.push_back({13.4 + 0.0013 * i + 0.0001 * (i % 3), 52.5 + 0.0007 * i * (i % 2 ? 1 : -1)});
  return p;
}

// ---------------------------------------------------------------- writing and splitting

TEST(WayGeometry, UnsplitWayKeepsEveryNodeCoordinate) {
  TPass t(Defaults());
  const Pts p = Line(12);
  t.Write(5, p, {{"highway", "residential"}});
  ASSERT_EQ(t.writer.recs.size(), 1u);
  EXPECT_EQ(t.writer.recs[0].pts, p);
  EXPECT_EQ(t.writer.recs[0].sections, 1);
  EXPECT_EQ(t.writer.recs[0].attrib, t.attrs.Record() + ",0");
  EXPECT_TRUE(t.errors.lines.empty());
  EXPECT_EQ(t.geo.LoopCount(), 0);
}

TEST(WayGeometry, CutsExactlyAtInteriorSplitNodes) {
  const Pts p = Line(10);
  TPass t(Defaults());
  // Ids are index + 1; the end nodes are marked too but never cut.
  for (int64_t id : {1, 4, 8, 10}) t.split.SetBit(id, true);
  t.Write(5, p);
  EXPECT_EQ(t.Parts(), (std::vector<Pts>{Slice(p, 0, 3), Slice(p, 3, 7), Slice(p, 7, 9)}));

  TRunOptions o = Defaults();
  o.SplitLinks = false;
  TPass off(o);
  for (int64_t id : {4, 8}) off.split.SetBit(id, true);
  off.Write(5, p);
  EXPECT_EQ(off.Parts(), (std::vector<Pts>{p}));
}

TEST(WayGeometry, FerryDurationIsSharedByLength) {
  const Pts p{{0, 0}, {KmDeg(1), 0}, {KmDeg(4), 0}};
  TPass t(Defaults());
  t.split.SetBit(2, true);
  t.Write(9, p, {{"route", "ferry"}, {"duration", "60"}});
  EXPECT_EQ(t.Durations(), (Lines{"15", "45"}));

  TPass whole(Defaults());
  whole.Write(9, p, {{"route", "ferry"}, {"duration", "60"}});
  EXPECT_EQ(whole.Durations(), (Lines{"60"}));

  // Halves of a loop each carry the whole duration.
  TPass loop(Defaults());
  loop.Write(9, {{0, 0}, {KmDeg(1), 0}, {KmDeg(1), KmDeg(1)}, {0, KmDeg(1)}, {0, 0}},
             {{"duration", "30"}});
  EXPECT_EQ(loop.Durations(), (Lines{"30", "30"}));
}

TEST(WayGeometry, ShareRoundsHalfToEven) {
  // Parts of 1 and 3 km with 10 minutes: 2.5 and 7.5 give 2 and 8.
  const Pts p{{0, 0}, {KmDeg(1), 0}, {KmDeg(4), 0}};
  TPass t(Defaults());
  t.split.SetBit(2, true);
  t.Write(9, p, {{"duration", "10"}});
  EXPECT_EQ(t.Durations(), (Lines{"2", "8"}));
}

// ---------------------------------------------------------------- loops

TEST(WayGeometry, ClosedWayIsHalved) {
  const Pts ring{{0, 0}, {0.001, 0}, {0.002, 0}, {0.001, 0.001}, {0, 0}};
  TPass on(Defaults());
  on.Write(3, ring);
  EXPECT_EQ(on.Parts(), (std::vector<Pts>{Slice(ring, 0, 2), Slice(ring, 2, 4)}));
  EXPECT_EQ(on.geo.LoopCount(), 1);

  TRunOptions o = Defaults();
  o.SplitLoopLinks = false;
  o.Simplify = 15;  // would drop the straight-on point 1 of an open line
  TPass off(o);
  off.Write(3, ring);
  EXPECT_EQ(off.Parts(), (std::vector<Pts>{ring}));
  EXPECT_EQ(off.geo.LoopCount(), 0);

  // With halving the halves are open and simplified.
  TRunOptions o2 = Defaults();
  o2.Simplify = 15;
  TPass both(o2);
  both.Write(3, ring);
  EXPECT_EQ(both.Parts(),
            (std::vector<Pts>{{ring[0], ring[2]}, Slice(ring, 2, 4)}));
}

TEST(WayGeometry, ClosedHalvesAreHalvedAgain) {
  const TFloatPoint a{0, 0}, b{0.001, 0}, c{0, 0.001};
  TPass t(Defaults());
  t.Write(3, {a, b, a, c, a});
  EXPECT_EQ(t.Parts(), (std::vector<Pts>{{a, b}, {b, a}, {a, c}, {c, a}}));
  EXPECT_EQ(t.geo.LoopCount(), 3);
}

// ---------------------------------------------------------------- checks

TEST(WayGeometry, RepeatedPointsAndNotALine) {
  struct {
    const char* name;
    Pts pts;
    Lines errors;
    size_t points;  // of the one written part, 0 when none
  } cases[] = {
      {"two equal nodes", {{13, 52}, {13, 52}}, {"NotALine,7, has only 1 node (split-object)"}, 0},
      // 5 cm apart: within the repeat threshold.
      {"two close nodes", {{0, 0}, {KmDeg(0.00005), 0}}, {"NotALine,7, has only 1 node (split-object)"}, 0},
      {"one node", {{13, 52}}, {"NotALine,7, has only 1 node (split-object)"}, 0},
      {"no node", {}, {"NotALine,7, has only 0 node (split-object)"}, 0},
      // Each node is compared with the one before it in the way, so a creep
      // of 5 cm steps disappears entirely.
      {"creeping nodes",
       {{0, 0}, {KmDeg(0.00005), 0}, {KmDeg(0.0001), 0}, {KmDeg(0.00015), 0}, {KmDeg(0.1), 0}},
       {},
       2},
      {"second repeats first", {{13, 52}, {13, 52}, {13.001, 52}, {13.002, 52.001}}, {}, 3},
  };
  for (const auto& c : cases) {
    TPass t(Defaults());
    t.Write(7, c.pts);
    EXPECT_EQ(t.errors.lines, c.errors) << c.name;
    if (c.points == 0) {
      EXPECT_TRUE(t.writer.recs.empty()) << c.name;
    } else {
      ASSERT_EQ(t.writer.recs.size(), 1u) << c.name;
      EXPECT_EQ(t.writer.recs[0].pts.size(), c.points) << c.name;
      EXPECT_EQ(t.writer.recs[0].pts.front(), c.pts.front()) << c.name;
      EXPECT_EQ(t.writer.recs[0].pts.back(), c.pts.back()) << c.name;
    }
  }
}

TEST(WayGeometry, RepeatIsRemovedBeforeSplitting) {
  // Node 2 (index 1) repeats node 1 and is marked for split: it goes before
  // the split decision, so the way stays whole.
  const Pts p{{13, 52}, {13, 52}, {13.001, 52}, {13.002, 52.001}};
  TPass t(Defaults());
  t.split.SetBit(2, true);
  t.Write(7, p);
  EXPECT_EQ(t.Parts(), (std::vector<Pts>{{p[0], p[2], p[3]}}));
}

TEST(WayGeometry, TooShortLinks) {
  // 8 cm with the default 0.1 m.
  TPass t(Defaults());
  t.Write(11, {{0, 0}, {KmDeg(0.00008), 0}});
  EXPECT_TRUE(t.writer.recs.empty());
  ASSERT_EQ(t.errors.lines.size(), 1u);
  EXPECT_EQ(t.errors.lines[0].rfind("TooShort,11, is only 0.08", 0), 0u) << t.errors.lines[0];
  EXPECT_EQ(t.errors.lines[0].substr(t.errors.lines[0].size() - 6), " meter");

  // A link of exactly the minimum length is not written either.
  TNode2 a, b;
  a.P = {13.4, 52.5};
  b.P = {13.4001, 52.5};
  SetRadians(a);
  SetRadians(b);
  const double len = GreatCircleAngleRad(a.Prad, b.Prad) * EarthRadius * 1000;
  TRunOptions o = Defaults();
  o.minObjectLen = len;
  TPass exact(o);
  exact.Write(12, {a.P, b.P});
  EXPECT_TRUE(exact.writer.recs.empty());
  EXPECT_EQ(exact.errors.lines, Lines{"TooShort,12, is only " + FormatNumber(len) + " meter"});
  o.minObjectLen = len * 0.999;
  TPass longer(o);
  longer.Write(12, {a.P, b.P});
  EXPECT_EQ(longer.writer.recs.size(), 1u);
  EXPECT_TRUE(longer.errors.lines.empty());
}

TEST(WayGeometry, ShortPartLeavesTheOthers) {
  const Pts p{{0, 0}, {KmDeg(1), 0}, {KmDeg(1.00008), 0}, {KmDeg(2), 0}};
  TPass t(Defaults());
  t.split.SetBit(2, true);
  t.split.SetBit(3, true);
  t.Write(4, p);
  EXPECT_EQ(t.Parts(), (std::vector<Pts>{Slice(p, 0, 1), Slice(p, 2, 3)}));
  ASSERT_EQ(t.errors.lines.size(), 1u);
  EXPECT_EQ(t.errors.lines[0].rfind("TooShort,4, is only ", 0), 0u);
}

TEST(WayGeometry, RoundaboutOrientation) {
  // East, north, west, south: counter-clockwise in longitude/latitude.
  const Pts ccw{{0, 0}, {0.001, 0}, {0.001, 0.001}, {0, 0.001}, {0, 0}};
  const Pts cw(ccw.rbegin(), ccw.rend());
  const Pts open{{0, 0}, {0.001, 0}, {0.001, 0.001}, {0, 0.001}};
  struct {
    int32_t driving;
    const Pts* ring;
    bool roundabout;
    Lines errors;
  } cases[] = {
      {drRight, &cw, true, {"Roundabout,6, not counter-clockwise"}},
      {drRight, &ccw, true, {}},
      {drLeft, &ccw, true, {"Roundabout,6,  not clockwise"}},
      {drLeft, &cw, true, {}},
      {drSkip, &cw, true, {}},
      {drRight, &cw, false, {}},
      {drRight, &open, true, {}},
  };
  for (const auto& c : cases) {
    TPass t([&] {
      TRunOptions o = Defaults();
      o.Driving = c.driving;
      return o;
    }());
    std::vector<std::pair<std::string, std::string>> tags{{"highway", "residential"}};
    if (c.roundabout) tags.push_back({"junction", "roundabout"});
    t.Write(6, *c.ring, tags);
    EXPECT_EQ(t.errors.lines, c.errors) << c.driving;
    EXPECT_FALSE(t.writer.recs.empty());  // written either way
  }
}

TEST(WayGeometry, SimplifiesOnlyPartsWithoutEqualPoints) {
  TRunOptions o = Defaults();
  o.Simplify = 5;
  const Pts straight{{0, 0}, {0.001, 0}, {0.002, 0}, {0.003, 0}, {0.004, 0}};
  TPass t(o);
  t.Write(1, straight);
  EXPECT_EQ(t.Parts(), (std::vector<Pts>{{straight.front(), straight.back()}}));

  // The same line running back over its start: a repeated point anywhere
  // keeps the part as it is.
  const Pts crossing{{0, 0}, {0.001, 0}, {0.002, 0}, {0.002, 0.001}, {0, 0}, {0, -0.001}};
  TPass c(o);
  c.Write(1, crossing);
  EXPECT_EQ(c.Parts(), (std::vector<Pts>{crossing}));
}

TEST(WayGeometry, EqualPointSearch) {
  std::vector<TFloatPoint> scratch;
  for (int n : {5, 48, 49, 500}) {
    Pts p = Line(n);
    EXPECT_FALSE(HasEqualPoints(p.data(), n, scratch)) << n;
    p[n - 1] = p[1];
    EXPECT_TRUE(HasEqualPoints(p.data(), n, scratch)) << n;
    p = Line(n);
    p[n / 2].y = p[0].y;  // equal y alone is no match
    EXPECT_FALSE(HasEqualPoints(p.data(), n, scratch)) << n;
  }
  EXPECT_FALSE(HasEqualPoints(nullptr, 0, scratch));
}

TEST(WayGeometry, MissingNodeRejectsTheWay) {
  TNodeListEx store;
  store.AddNode(1, {13.4, 52.5});
  store.AddNode(2, {13.41, 52.5});
  store.AddNode(4, {13.42, 52.51});
  TPass t(Defaults());
  auto run = [&](std::vector<int64_t> ids) {
    t.attrs.ResetWayState(8);
    t.attrs.FinishWay(nullptr, nullptr, false, false, true);
    TNode2List nodes;
    for (int64_t id : ids) {
      TNode2 n;
      n.ID = id;
      nodes.Add(n);
    }
    t.geo.FinishWay(nodes, store, t.attrs, nullptr);
  };
  run({1, 3, 2});
  EXPECT_TRUE(t.writer.recs.empty());
  EXPECT_EQ(t.errors.lines,
            Lines{"MissingNode,8, is missing one more nodes in file (osmosis generated file?)"});
  run({1, 2, 4});
  ASSERT_EQ(t.writer.recs.size(), 1u);
  EXPECT_EQ(t.writer.recs[0].pts, (Pts{{13.4, 52.5}, {13.41, 52.5}, {13.42, 52.51}}));
  EXPECT_EQ(t.errors.lines.size(), 1u);
}

// ---------------------------------------------------------------- the pass over files

class TLogUI : public TNullRunUI {
 public:
  void Log(const std::string& line) override { log.push_back(line); }
  Lines log;
};

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class WriteOutputFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("osm2trassel_pass3_" + std::to_string(::getpid()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::filesystem::path p = dir / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }

  std::filesystem::path dir;
};

// Pass 2's places in the files, as a run's pass 2 leaves them for pass 3.
void FindWays(TPassDriver& driver) {
  class TNoNodes final : public IOsmNodes {
   public:
    bool WantNode(int64_t) override { return false; }
    void Node(int64_t, const TFloatPoint&, const std::string_view*) override {}
  } none;
  driver.ReadNodes(none);
}

const char* kHead =
    "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\" generator=\"test\">\n";

TEST_F(WriteOutputFiles, WritesSelectedWaysOnceAndReports) {
  // Node lines padded so that the ways start beyond the first 1024 bytes.
  std::string nodes;
  for (int i = 1; i <= 6; ++i)
    nodes += "  <node id=\"" + std::to_string(i) + "\" lat=\"52.5" + std::to_string(i) +
             "\" lon=\"13.4" + std::to_string(i) + "\" version=\"1\" timestamp=\"2020-01-01T00:00:00Z\"" +
             std::string(200, ' ') + "/>\n";
  const std::string ways =
      "  <way id=\"10\" version=\"1\">\r\n"
      "    <nd ref=\"1\"/>\r\n"
      "    <nd ref=\"2\"/>\r\n"
      "    <nd ref=\"3\"/>\r\n"
      "    <tag k=\"highway\" v=\"residential\"/>\r\n"
      "    <tag k=\"name\" v=\"Main &amp; Co\"/>\r\n"
      "  </way>\r\n"
      "  <way id=\"11\"/>\n"
      "  <way id=\"12\">\n"
      "    <nd ref=\"1\"/>\n"
      "    <nd ref=\"6\"/>\n"
      "    <tag k=\"highway\" v=\"residential\"/>\n"
      "  </way>\n"
      "  <way id=\"13\">\n"
      "    <nd ref=\"4\"/>\n"
      "    <nd ref=\"99\"/>\n"
      "    <tag k=\"highway\" v=\"motorway_link\"/>\n"
      "  </way>\n"
      "  <way id=\"14\">\n"
      "    <nd ref=\"4\"/>\n"
      "    <nd ref=\"5\"/>\n"
      "    <tag k=\"highway\" v=\"motorway_link\"/>\n"
      "  </way>\n"
      "</osm>\n";
  const std::string f1 = WriteFile("a.osm", kHead + nodes + ways);
  // The second file repeats way 10 with other tags: it was written already.
  const std::string f2 = WriteFile(
      "b.osm", std::string(kHead) +
                   "  <way id=\"10\">\n    <nd ref=\"1\"/>\n    <nd ref=\"2\"/>\n"
                   "    <tag k=\"highway\" v=\"service\"/>\n  </way>\n</osm>\n");

  TRunOptions o;
  o.OutputFormat = 0;  // MIF, whose MID lines are the records as given
  o.Car = true;
  o.Pedestrian = o.Bicycle = false;
  o.NameRef = nrNameUnlessRef;
  o.MainDir = dir.string() + "/";
  TIncludeLists include;
  TLogUI ui;
  TPassDriver driver({f1, f2}, ui);
  FindWays(driver);
  TWaySelection sel;
  for (int w : {10, 11, 13, 14}) sel.Ways.SetBit(w, true);
  sel.Modes[2].SetBit(10, true);
  sel.SplitNodes.SetBit(2, true);
  TNodeCoordinates coords;
  for (int i = 1; i <= 6; ++i) coords.Coords.AddNode(i, {13.4 + i / 100.0, 52.5 + i / 100.0});
  coords.Junctions[4] = "7";
  std::vector<TWrittenTable> tables;

  WriteRoadTable(driver, sel, coords, o, include, ui, nullptr, tables);

  EXPECT_EQ(ReadAll(dir / "roads.mid"),
            "\"10\",\"Main & Co\",\"residential\",0,1,0\r\n"
            "\"10\",\"Main & Co\",\"residential\",0,1,0\r\n"
            "\"14\",\"Exit 7\",\"motorway_link\",0,0,0\r\n");
  EXPECT_EQ(ReadAll(dir / "error.txt"),
            "MissingNode,13, is missing one more nodes in file (osmosis generated file?)\r\n");
  EXPECT_EQ(ui.log, (Lines{"Writing output", "0 loop links have been split"}));
  EXPECT_FALSE(sel.Ways.GetBit(10));
  EXPECT_FALSE(sel.Ways.GetBit(13));
  EXPECT_TRUE(sel.Ways.GetBit(11));  // a self-closed way never ends
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].Name, "roads");
  EXPECT_EQ(tables[0].Records, 3);
}

TEST_F(WriteOutputFiles, EmptyRunWritesEmptyFiles) {
  TRunOptions o;
  o.OutputFormat = 0;
  o.MainDir = dir.string() + "/";
  TIncludeLists include;
  TLogUI ui;
  TPassDriver driver({}, ui);
  TWaySelection sel;
  TNodeCoordinates nodes;
  std::vector<TWrittenTable> tables;
  WriteRoadTable(driver, sel, nodes, o, include, ui, nullptr, tables);
  EXPECT_TRUE(std::filesystem::exists(dir / "roads.mif"));
  EXPECT_EQ(ReadAll(dir / "roads.mid"), "");
  EXPECT_EQ(ReadAll(dir / "error.txt"), "");
}

TEST_F(WriteOutputFiles, BadWayIdEndsTheRunWithFilesClosed) {
  const std::string f = WriteFile("bad.osm", std::string(kHead) +
                                                 "  <way id=\"12\">\n    <nd ref=\"1\"/>\n"
                                                 "    <nd ref=\"2\"/>\n  </way>\n"
                                                 "  <way id=\"x1\">\n</osm>\n");
  TRunOptions o;
  o.OutputFormat = 0;
  o.MainDir = dir.string() + "/";
  TIncludeLists include;
  TLogUI ui;
  TPassDriver driver({f}, ui);
  FindWays(driver);
  TWaySelection sel;
  sel.Ways.SetBit(12, true);
  TNodeCoordinates nodes;
  nodes.Coords.AddNode(1, {13.4, 52.5});
  std::vector<TWrittenTable> tables;
  EXPECT_THROW(WriteRoadTable(driver, sel, nodes, o, include, ui, nullptr, tables), EConvertError);
  // What was found before the failure is on disk.
  EXPECT_EQ(ReadAll(dir / "error.txt"),
            "MissingNode,12, is missing one more nodes in file (osmosis generated file?)\r\n");
}

}  // namespace

// The search from a node found before answers as the search of the whole
// list, from anywhere (before, after, at either end), for held and missing
// ids; with an id held twice it leaves the choice to the whole-list search.
TEST(NodeCoordinates, SearchFromANearNodeAnswersAsTheWholeList) {
  TNodeListEx coords;
  const std::vector<int64_t> ids{3, 4, 5, 9, 10, 40, 41, 1000, 1001, 1002, int64_t(1) << 40};
  for (size_t i = 0; i < ids.size(); ++i) coords.AddNode(ids[i], {double(i), -double(i)});
  coords.Sort();
  coords.Seal();
  const std::vector<int64_t> asked{3, 5, 9, 41, 1002, int64_t(1) << 40, 6, 1003, 2, 39};
  for (int64_t id : asked) {
    TFloatPoint whole{};
    const int32_t want = coords.ReadPoint(id, whole);
    for (int32_t near = -1; near <= static_cast<int32_t>(ids.size()); ++near) {
      TFloatPoint p{};
      int32_t at = near;
      ASSERT_EQ(coords.ReadPointNear(id, p, at), want) << id << " from " << near;
      if (want == 0) {
        EXPECT_TRUE(p == whole) << id << " from " << near;
        EXPECT_EQ(ids[static_cast<size_t>(at)], id);
      }
    }
  }
  TNodeListEx twice;
  // Three records of node 7, each with a point of its own.
  for (int k = 0; k < 4; ++k) twice.AddNode(k < 3 ? 7 : 8, {double(k), 0});
  twice.Sort();
  twice.Seal();
  TFloatPoint whole{}, p{};
  ASSERT_EQ(twice.ReadPoint(7, whole), 0);
  int32_t at = 3;
  ASSERT_EQ(twice.ReadPointNear(7, p, at), 0);
  EXPECT_TRUE(p == whole);
}
