// Way selection (pass 1), node coordinates (pass 2) and the run driver's own
// steps around them, on small hand-made OSM files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "linvoro_types.h"
#include "node_store.h"
#include "pass_driver.h"
#include "run_driver.h"
#include "way_selection.h"
#include "xml_lines.h"

namespace {

using TTags = std::vector<std::pair<std::string, std::string>>;

std::string Node(int64_t id, const std::string& lat, const std::string& lon, const TTags& tags = {}) {
  std::string s = "  <node id=\"" + std::to_string(id) + "\" lat=\"" + lat + "\" lon=\"" + lon + "\" version=\"1\"";
  if (tags.empty()) return s + "/>\n";
  s += ">\n";
  for (const auto& [k, v] : tags) s += "    <tag k=\"" + k + "\" v=\"" + v + "\"/>\n";
  return s + "  </node>\n";
}

std::string Way(int64_t id, const std::vector<int64_t>& nodes, const TTags& tags) {
  std::string s = "  <way id=\"" + std::to_string(id) + "\" version=\"1\">\n";
  for (const int64_t n : nodes) s += "    <nd ref=\"" + std::to_string(n) + "\"/>\n";
  for (const auto& [k, v] : tags) s += "    <tag k=\"" + k + "\" v=\"" + v + "\"/>\n";
  return s + "  </way>\n";
}

std::string Osm(const std::string& body) {
  return "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\" generator=\"test\">\n" + body + "</osm>\n";
}

// Nodes 1..n on a line, so that any way over them has coordinates.
std::string Nodes(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += Node(i, "48.1", std::to_string(10 + i * 0.001));
  return s;
}

class TRecordingUI : public IRunUI {
 public:
  void Log(const std::string& line) override { LogLines.push_back(line); }
  void Progress(int32_t p) override { Percent.push_back(p); }
  void SelectFile(int32_t i) override { Selected.push_back(i); }
  void MessageBox(const std::string& text) override { Boxes.push_back(text); }
  void ProcessMessages() override {}
  std::vector<std::string> LogLines, Boxes;
  std::vector<int32_t> Percent, Selected;
};

class Passes : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/passes_XXXXXX";
    FDir = mkdtemp(tmpl);
    FDir += "/";
    // Heading, then ped/bicycle/car flags, value, code.
    const std::string inc = Write("include.txt",
                                  "pedestrian bicycle car highway type\n"
                                  "0 0 1 motorway 1\n"
                                  "1 1 1 residential 7\n"
                                  "1 0 0 footway 21\n"
                                  "0 1 0 cycleway 23\n"
                                  "1 1 1 ferry 30\n");
    Include.LoadIncludeFile(inc);
    Options.MainDir = FDir;
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }

  std::string Write(const std::string& name, const std::string& content) {
    std::ofstream(FDir + name, std::ios::binary) << content;
    return FDir + name;
  }
  std::string Read(const std::string& name) {
    std::ifstream f(FDir + name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  bool Exists(const std::string& name) { return std::filesystem::exists(FDir + name); }

  // The pass driver over files, with the form of each told.
  std::unique_ptr<TPassDriver> NewRun(const std::vector<std::string>& files) {
    return std::make_unique<TPassDriver>(files, UI);
  }
  std::unique_ptr<TWaySelection> ScanWays(TPassDriver& run) { return SelectWays(run, Options, Include, UI); }
  std::unique_ptr<TNodeCoordinates> StartPass2(TPassDriver& run, const TWaySelection& sel) {
    return StoreNodes(run, *sel.Nodes, UI);
  }

  std::string FDir;
  TIncludeLists Include;
  TRunOptions Options;
  TRecordingUI UI;
};

}  // namespace

// ---------------------------------------------------------------- pass 1

TEST_F(Passes, WaySelectionByTagsAndOverrides) {
  struct Case {
    const char* what;
    bool ped, bic, car;
    TTags tags;
    bool selected;
    bool inc0, inc1, inc2;
  };
  const Case cases[] = {
      {"car: listed value", false, false, true, {{"highway", "residential"}}, true, false, false, true},
      {"car: value listed for others only", false, false, true, {{"highway", "footway"}}, false, false, false, false},
      {"car: override adds the mode", false, false, true,
       {{"highway", "footway"}, {"motor_vehicle", "yes"}}, true, false, false, true},
      {"car: later tourism wins", false, false, true,
       {{"highway", "residential"}, {"motor_vehicle", "yes"}, {"tourism", "yes"}}, false, false, false, false},
      {"car: later yes wins over tourism", false, false, true,
       {{"highway", "residential"}, {"tourism", "hotel"}, {"vehicle", "yes"}}, true, false, false, true},
      {"car: motorcar=no", false, false, true, {{"highway", "residential"}, {"motorcar", "no"}}, false, false, false,
       false},
      {"car: other values change nothing", false, false, true,
       {{"highway", "residential"}, {"motor_vehicle", "private"}}, true, false, false, true},
      {"car: override of an unchosen mode", false, false, true, {{"highway", "footway"}, {"foot", "yes"}}, false,
       false, false, false},
      {"ped+car: motorway with foot=yes", true, false, true, {{"highway", "motorway"}, {"foot", "yes"}}, true, true,
       false, true},
      {"all: residential with bicycle=no", true, true, true, {{"highway", "residential"}, {"bicycle", "no"}}, true,
       true, false, true},
      {"all: ferry without highway", true, true, true, {{"route", "ferry"}}, true, true, true, true},
      {"car: ferry tag after highway", false, false, true, {{"highway", "footway"}, {"route", "ferry"}}, true, false,
       false, true},
      {"car: keys and values compare exactly", false, false, true, {{"Highway", "residential"}}, false, false,
       false, false},
      {"car: include look-up ignores letter case", false, false, true, {{"highway", "RESIDENTIAL"}}, true, false,
       false, true},
      {"car: no tags", false, false, true, {}, false, false, false, false},
  };
  for (const auto& c : cases) {
    Options.Pedestrian = c.ped;
    Options.Bicycle = c.bic;
    Options.Car = c.car;
    const std::string f = Write("sel.osm", Osm(Nodes(2) + Way(10, {1, 2}, c.tags)));
    auto run = NewRun({f});
    auto sel = ScanWays(*run);
    EXPECT_EQ(sel->Ways.GetBit(10), c.selected) << c.what;
    EXPECT_EQ(sel->Modes[0].GetBit(10), c.inc0) << c.what;
    EXPECT_EQ(sel->Modes[1].GetBit(10), c.inc1) << c.what;
    EXPECT_EQ(sel->Modes[2].GetBit(10), c.inc2) << c.what;
    // A ferry's nodes are needed as a road's are.
    EXPECT_EQ(sel->Nodes->GetBit(1), c.selected) << c.what;
    EXPECT_EQ(sel->Nodes->GetBit(2), c.selected) << c.what;
  }
}

TEST_F(Passes, NodeMarkingAndSplitCandidates) {
  const std::string a = Write("a.osm", Osm(Nodes(9) +
                                           Way(1, {1, 2, 3}, {{"highway", "residential"}}) +
                                           Way(2, {3, 4, 5, 6, 3}, {{"highway", "residential"}}) +  // closed, shares 3
                                           Way(3, {7, 8}, {{"highway", "footway"}}) +               // not selected
                                           Way(4, {8, 9, 8}, {{"highway", "residential"}})));       // 8 repeated
  // The same way again in a second file, and a new one.
  const std::string b = Write("b.osm", Osm(Nodes(9) + Way(1, {1, 2, 3}, {{"highway", "residential"}}) +
                                           Way(5, {5, 9}, {{"highway", "unknownvalue"}})));
  auto run = NewRun({a, b});
  auto sel = ScanWays(*run);
  EXPECT_EQ(sel->Ways.CountTrue(), 3);
  EXPECT_EQ(sel->Nodes->CountTrue(), 8);  // 1..6, 8, 9; not 7
  EXPECT_FALSE(sel->Nodes->GetBit(7));
  std::vector<int64_t> split;
  sel->SplitNodes.ForEachSetBit([&](int64_t i) { split.push_back(i); });
  EXPECT_EQ(split, (std::vector<int64_t>{3, 8}));  // shared by 1 and 2 (and closing 2); repeated in 4
  EXPECT_EQ(UI.Selected, (std::vector<int32_t>{0, 1}));
  ASSERT_FALSE(UI.Percent.empty());
  EXPECT_EQ(UI.Percent.back(), 0);
}

TEST_F(Passes, UnlistedHighwayValuesAreListedOnceSorted) {
  const std::string a = Write("a.osm", Osm(Nodes(2) + Way(1, {1, 2}, {{"highway", "zebra"}}) +
                                           Way(2, {1, 2}, {{"highway", "Alpha"}}) +
                                           Way(3, {1, 2}, {{"highway", "ZEBRA"}}) +
                                           Way(4, {1, 2}, {{"highway", "residential"}}) +
                                           Way(5, {1, 2}, {{"highway", "beta"}})));
  Write("additional_highway_tags.txt", "old content that must go\r\n");
  auto run = NewRun({a});
  ScanWays(*run);
  EXPECT_EQ(Read("additional_highway_tags.txt"), "Alpha\r\nbeta\r\nzebra\r\n");
}

// Ids convert over the whole positive 64-bit range: nodes past 14 billion,
// ways past 2^31, and both at 2^63-1.
TEST_F(Passes, IdsAnywhereInThe64BitRange) {
  const int64_t big[] = {14000000001LL, int64_t(1) << 40, INT64_MAX - 1, INT64_MAX};
  const int64_t ways[] = {int64_t(1) << 31, 9999999999LL, 10000000000LL, INT64_MAX};
  std::string body;
  for (const int64_t n : big) body += Node(n, "48.1", "10.1");
  body += Node(INT64_MAX - 2, "48.2", "10.2");
  for (size_t i = 0; i < 4; ++i)
    body += Way(ways[i], {big[i], INT64_MAX - 2, big[(i + 1) % 4]}, {{"highway", "residential"}});
  auto run = NewRun({Write("big.osm", Osm(body))});
  auto sel = ScanWays(*run);
  for (const int64_t w : ways) EXPECT_TRUE(sel->Ways.GetBit(w)) << w;
  EXPECT_EQ(sel->Ways.CountTrue(), 4);
  EXPECT_EQ(sel->Ways.MaxId(), INT64_MAX);
  for (const int64_t n : big) EXPECT_TRUE(sel->SplitNodes.GetBit(n)) << n;
  EXPECT_EQ(sel->Nodes->CountTrue(), 5);
  auto nodes = StartPass2(*run, *sel);
  for (const int64_t n : big) {
    TFloatPoint p;
    EXPECT_EQ(nodes->Coords.ReadPoint(n, p), 0) << n;
  }
}

// A run over a file with an id beyond 64 bits ends with the conversion
// error, which names the text and the file.
TEST_F(Passes, IdBeyond64BitsEndsTheRunNamingTheFile) {
  const std::string f = Write("huge.osm", Osm(Nodes(2) + Way(1, {1, 2}, {{"highway", "residential"}}) +
                                              "  <way id=\"9223372036854775808\">\n  </way>\n"));
  Options.Files = {f};
  const TRunResult r = RunConversion(Options, Include, UI);
  EXPECT_EQ(r.Status, TRunStatus::rsFailed);
  EXPECT_EQ(r.Message, "'9223372036854775808' is not a valid integer value in file \"" + f + "\"");
}

TEST_F(Passes, IdsThatAreNotIntegersEndThePass) {
  struct Case {
    std::string body;
    std::string text;
  };
  const Case cases[] = {
      {"  <way id=\"12x\">\n  </way>\n", "'12x' is not a valid integer value"},
      {"  <way id=\"9300000000000000000\">\n  </way>\n", "'9300000000000000000' is not a valid integer value"},
      {"  <way id=\"1\">\n    <nd ref=\"\"/>\n  </way>\n", "'' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    auto run = NewRun({Write("id.osm", Osm(c.body))});
    try {
      ScanWays(*run);
      ADD_FAILURE() << c.body;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), c.text);
    }
  }
}

TEST_F(Passes, WrongHeaderStopsThePassOnly) {
  const std::string good = Write("good.osm", Osm(Nodes(2) + Way(1, {1, 2}, {{"highway", "residential"}})));
  const std::string bad = Write("bad.osm", "<?xml version=\"1.0\"?>\n<osm version='0.5'>\n" + Nodes(2) +
                                               Way(2, {1, 2}, {{"highway", "residential"}}) + "</osm>\n");
  const std::string later = Write("later.osm", Osm(Nodes(4) + Way(3, {3, 4}, {{"highway", "residential"}})));
  auto run = NewRun({good, bad, later});
  auto sel = ScanWays(*run);
  EXPECT_EQ(UI.Boxes, (std::vector<std::string>{"OSM version in header is not correct - should be 0.6"}));
  EXPECT_TRUE(sel->Ways.GetBit(1));
  EXPECT_FALSE(sel->Ways.GetBit(2));
  EXPECT_FALSE(sel->Ways.GetBit(3));  // not scanned
  EXPECT_FALSE(Exists("additional_highway_tags.txt"));
}

// ---------------------------------------------------------------- pass 2

TEST_F(Passes, NodeCoordinatesJunctionRefsAndWayStart) {
  const std::string first =
      Osm(Node(1, "48.5", "0") +                                    // lon 0 is a coordinate
          Node(2, "0", "10.25", {{"ref", "12a"}, {"highway", "motorway_junction"}}) +
          Node(3, "-33.5", "151.25", {{"ref:de", "9"}}) +           // not the ref key
          Node(4, "1", "2") +                                       // not needed
          "  <node id=\"5\" lon=\"7.5\" version=\"1\"/>\n" +        // no lat
          "  <node id=\"6\" version=\"1\" user=\"a b\" lat=\"1.5\" lon=\"2.5\"/>\n" +
          Way(1, {1, 2, 3, 5, 6, 7, 8}, {{"highway", "residential"}}));
  const std::string second = Osm(Node(1, "99", "99") + Node(7, "7.5", "8.5", {{"ref", "3"}}) +
                                 Way(2, {7, 1}, {{"highway", "residential"}}));
  const std::string a = Write("a.osm", first);
  const std::string b = Write("b.osm", second);
  auto run = NewRun({a, b});
  auto sel = ScanWays(*run);
  auto nodes = StartPass2(*run, *sel);

  const TNodeListEx& c = nodes->Coords;
  EXPECT_EQ(c.Count(), 6);  // 1, 2, 3, 5, 6 from a; 7 from b; not 1 again, not 4, not 8
  struct Want {
    int64_t id;
    double x, y;
  };
  const Want want[] = {{1, 0, 48.5}, {2, 10.25, 0}, {3, 151.25, -33.5}, {5, 7.5, 0}, {6, 2.5, 1.5}, {7, 8.5, 7.5}};
  for (const auto& w : want) {
    TFloatPoint p{-1, -1};
    ASSERT_EQ(c.ReadPoint(w.id, p), 0) << w.id;
    EXPECT_EQ(p.x, w.x) << w.id;
    EXPECT_EQ(p.y, w.y) << w.id;
  }
  TFloatPoint untouched{-1, -1};
  EXPECT_EQ(c.ReadPoint(4, untouched), -1);
  EXPECT_EQ(c.ReadPoint(8, untouched), -1);
  EXPECT_EQ(untouched.x, -1);

  const TJunctionList& j = nodes->Junctions;
  EXPECT_EQ(j.size(), 2u);
  EXPECT_EQ(j.at(2), "12a");
  EXPECT_EQ(j.at(7), "3");

  // The recorded positions are the starts of the first way lines.
  EXPECT_EQ(run->WaysBegin(0).Offset, static_cast<int64_t>(first.find("  <way id=\"1\"")));
  EXPECT_EQ(run->WaysBegin(1).Offset, static_cast<int64_t>(second.find("  <way id=\"2\"")));
  EXPECT_EQ(UI.LogLines.back(), "6 nodes found (coordinates read)");
}

TEST_F(Passes, FileWithoutWaysHasNoPlaceForPass3) {
  const std::string ways = Write("w.osm", Osm(Nodes(2) + Way(1, {1, 2}, {{"highway", "residential"}})));
  const std::string noWays = Write("n.osm", Osm(Nodes(3)));
  auto run = NewRun({ways, noWays});
  auto sel = ScanWays(*run);
  StartPass2(*run, *sel);
  EXPECT_GT(run->WaysBegin(0).Offset, 0);
  EXPECT_FALSE(run->WaysBegin(1).Valid());
}

TEST_F(Passes, FirstWayRightAfterAStoredNode) {
  // The node's tag scan reads the way line ahead; its start is still the
  // recorded position, and lines of any end style give the same result.
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    std::string s = "<?xml?>" + eol + "<osm version=\"0.6\">" + eol + "<node id=\"2\" lat=\"2\" lon=\"2\">" + eol +
                    "<tag k=\"ref\" v=\"4\"/>" + eol + "</node>" + eol + "<node id=\"1\" lat=\"1\" lon=\"1\"/>" + eol;
    const size_t way = s.size();
    s += "<way id=\"1\">" + eol + "<nd ref=\"1\"/>" + eol + "<nd ref=\"2\"/>" + eol +
         "<tag k=\"highway\" v=\"residential\"/>" + eol + "</way>" + eol + "</osm>";
    auto run = NewRun({Write("e.osm", s)});
    auto sel = ScanWays(*run);
    auto nodes = StartPass2(*run, *sel);
    EXPECT_EQ(run->WaysBegin(0).Offset, static_cast<int64_t>(way));
    EXPECT_EQ(nodes->Coords.Count(), 2);
    EXPECT_EQ(nodes->Junctions.at(2), "4");
  }
}

TEST_F(Passes, NodeIdThatIsNotAnIntegerEndsPass2) {
  const std::string f = Write("n.osm", Osm("  <node id=\"1a\" lat=\"1\" lon=\"1\"/>\n"));
  auto run = NewRun({f});
  auto sel = ScanWays(*run);
  EXPECT_THROW(StartPass2(*run, *sel), EConvertError);
}

// ---------------------------------------------------------------- the driver

TEST_F(Passes, DriverCountsFerryNodesAndLogs) {
  // Way 1 (road) and ferry 2 share node 3; ferries 2 and 3 share node 5;
  // ferry 3 repeats node 6.
  const std::string f = Write("f.osm", Osm(Nodes(8) + Way(1, {1, 2, 3}, {{"highway", "residential"}}) +
                                           Way(2, {3, 4, 5}, {{"route", "ferry"}}) +
                                           Way(3, {5, 6, 7, 6}, {{"route", "ferry"}})));
  Options.Files = {f};
  const TRunResult r = RunConversion(Options, Include, UI);
  ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  ASSERT_GE(UI.LogLines.size(), 8u);
  EXPECT_EQ(UI.LogLines[0].rfind("Start at ", 0), 0u);
  EXPECT_EQ(UI.LogLines[1], "Output folder: " + FDir);
  EXPECT_EQ(UI.LogLines[2], "3 ways found");
  EXPECT_EQ(UI.LogLines[3], "7 nodes found (needed by the selected ways)");
  EXPECT_EQ(UI.LogLines[4], "1 nodes marked for split");  // only node 3
  EXPECT_EQ(UI.LogLines[5], "Reading node coordinates");
  EXPECT_EQ(UI.LogLines[6], "7 nodes found (coordinates read)");
  EXPECT_EQ(UI.LogLines.back().rfind("Finish at ", 0), 0u);
  EXPECT_TRUE(Exists("additional_highway_tags.txt"));

  // Without link splitting the split count is not logged.
  UI.LogLines.clear();
  Options.SplitLinks = false;
  ASSERT_EQ(RunConversion(Options, Include, UI).Status, TRunStatus::rsOk);
  EXPECT_EQ(UI.LogLines[4], "Reading node coordinates");
}

TEST_F(Passes, LineBreaksInNamesKeepOneMidLinePerRecord) {
  const std::vector<std::string> names = {"One&#xA;Two", "One&#010;Two", "One&#13;&#10;Two",
                                          "One&#xD;Two"};
  std::string ways;
  for (size_t i = 0; i < names.size(); ++i)
    ways += Way(static_cast<int64_t>(i + 1), {static_cast<int64_t>(2 * i + 1), static_cast<int64_t>(2 * i + 2)},
                {{"highway", "residential"}, {"name", names[i]}});
  Options.Files = {Write("f.osm", Osm(Nodes(8) + ways))};
  Options.OutputFormat = 0;
  Options.NameRef = nrName;
  ASSERT_EQ(RunConversion(Options, Include, UI).Status, TRunStatus::rsOk);
  std::istringstream mid(Read("roads.mid"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(mid, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), names.size()) << Read("roads.mid");
  for (const auto& l : lines) EXPECT_NE(l.find(",\"One Two\","), std::string::npos) << l;
}

TEST_F(Passes, DriverNeedsAMode) {
  const std::string f = Write("f.osm", Osm(Nodes(2) + Way(1, {1, 2}, {{"highway", "residential"}})));
  Options.Files = {f};
  Options.Car = false;
  const TRunResult r = RunConversion(Options, Include, UI);
  EXPECT_EQ(r.Status, TRunStatus::rsNoMode);
  EXPECT_EQ(UI.Boxes, (std::vector<std::string>{"Choose at least 1 mode in output"}));
  EXPECT_TRUE(UI.LogLines.empty());
  EXPECT_FALSE(Exists("additional_highway_tags.txt"));
}

TEST_F(Passes, DriverReportsErrorsAndKeepsWrittenFiles) {
  const std::string good = Write("good.osm", Osm(Nodes(2) + Way(1, {1, 2}, {{"highway", "residential"}})));
  const std::string missing = FDir + "missing.osm";
  Options.Files = {good, missing};
  const TRunResult r = RunConversion(Options, Include, UI);
  EXPECT_EQ(r.Status, TRunStatus::rsFailed);
  EXPECT_NE(r.Message.find(missing), std::string::npos) << r.Message;
  EXPECT_EQ(UI.LogLines.back().rfind("Finish at ", 0), std::string::npos);

  // A pass-2 failure leaves pass 1's file in place.
  const std::string badNode = Write("bad.osm", Osm("  <node id=\"x1\" lat=\"1\" lon=\"1\"/>\n" +
                                                   Way(1, {1, 2}, {{"highway", "residential"}})));
  Options.Files = {badNode};
  const TRunResult r2 = RunConversion(Options, Include, UI);
  EXPECT_EQ(r2.Status, TRunStatus::rsFailed);
  EXPECT_EQ(r2.Message, "'x1' is not a valid integer value in file \"" + badNode + "\"");
  EXPECT_TRUE(Exists("additional_highway_tags.txt"));
}
