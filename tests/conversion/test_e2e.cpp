// Whole runs over real extracts, checked against the tables read back with
// GDAL and against a small parser of this test's own: every selected way is
// written or reported, nothing else is written, and the geometry is the OSM
// geometry, cut exactly at the shared nodes.
#include <gdal.h>
#include <cpl_vsi.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "include_file.h"
#include "run_driver.h"

namespace {

// ---------------------------------------------------------------- independent reading of the input

struct TWay {
  int64_t id = 0;
  std::vector<int64_t> nodes;
  std::vector<std::pair<std::string, std::string>> tags;
};

struct TOsm {
  std::unordered_map<int64_t, std::pair<double, double>> nodes;  // id -> (lon, lat)
  std::vector<TWay> ways;
};

std::string Attr(const std::string& line, const std::string& name) {
  const std::string key = " " + name + "=\"";
  const size_t p = line.find(key);
  if (p == std::string::npos) return {};
  const size_t b = p + key.size();
  return line.substr(b, line.find('"', b) - b);
}

TOsm ReadOsm(const std::string& path) {
  TOsm osm;
  std::ifstream f(path);
  std::string line;
  TWay* way = nullptr;
  while (std::getline(f, line)) {
    const size_t lt = line.find('<');
    if (lt == std::string::npos) continue;
    const std::string s = line.substr(lt);
    if (s.starts_with("<node ")) {
      osm.nodes[std::stoll(Attr(s, "id"))] = {std::strtod(Attr(s, "lon").c_str(), nullptr),
                                              std::strtod(Attr(s, "lat").c_str(), nullptr)};
    } else if (s.starts_with("<way ")) {
      osm.ways.push_back({std::stoll(Attr(s, "id")), {}, {}});
      way = &osm.ways.back();
    } else if (s.starts_with("</way")) {
      way = nullptr;
    } else if (way && s.starts_with("<nd ")) {
      way->nodes.push_back(std::stoll(Attr(s, "ref")));
    } else if (way && s.starts_with("<tag ")) {
      way->tags.emplace_back(Attr(s, "k"), Attr(s, "v"));
    }
  }
  return osm;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// include.txt: mode lists by lower-cased value.
struct TModes {
  std::set<std::string> list[3];
};

TModes ReadInclude(const std::string& path) {
  TModes m;
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  while (std::getline(f, line)) {
    std::istringstream ss(line);
    std::string flag[3], value;
    if (!(ss >> flag[0] >> flag[1] >> flag[2] >> value)) continue;
    for (int i = 0; i < 3; ++i)
      if (flag[i] == "1") m.list[i].insert(Lower(value));
  }
  return m;
}

// The modes a way qualifies for, by the selection rules.
unsigned WayModes(const TWay& w, const TModes& inc, const bool chosen[3]) {
  unsigned modes = 0;
  int over[3] = {2, 2, 2};
  bool ferry = false;
  const char* accessKey[3] = {"foot", "bicycle", nullptr};
  for (const auto& [k, v] : w.tags) {
    if (k == "route" && v == "ferry") ferry = true;
    for (int m = 0; m < 3; ++m) {
      if (!chosen[m]) continue;
      if ((k == "highway" && inc.list[m].count(Lower(v))) || ferry) modes |= 1u << m;
      const bool access = m < 2 ? k == accessKey[m] : (k == "motorcar" || k == "motor_vehicle" || k == "vehicle");
      if (access && v == "yes") over[m] = 1;
      if (access && v == "no") over[m] = 0;
      if (m == 2 && k == "tourism") over[m] = 0;
    }
  }
  for (int m = 0; m < 3; ++m)
    if (over[m] == 1)
      modes |= 1u << m;
    else if (over[m] == 0)
      modes &= ~(1u << m);
  return modes;
}

bool IsFerry(const TWay& w) {
  return std::any_of(w.tags.begin(), w.tags.end(), [](const auto& t) { return t.first == "route" && t.second == "ferry"; });
}

// ---------------------------------------------------------------- reading the output back

using TLine = std::vector<std::pair<double, double>>;

std::map<int64_t, std::vector<TLine>> ReadRoads(const std::string& path) {
  std::map<int64_t, std::vector<TLine>> roads;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  EXPECT_NE(ds, nullptr) << path;
  if (!ds) return roads;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGR_L_ResetReading(layer);
  OGRFeatureH f;
  while ((f = OGR_L_GetNextFeature(layer)) != nullptr) {
    const int idx = OGR_F_GetFieldIndex(f, "osm_id");
    EXPECT_GE(idx, 0);
    const int64_t id = std::stoll(OGR_F_GetFieldAsString(f, idx));
    TLine line;
    OGRGeometryH g = OGR_F_GetGeometryRef(f);
    if (g && OGR_G_GetGeometryCount(g) > 0) g = OGR_G_GetGeometryRef(g, 0);  // one section
    for (int i = 0; g && i < OGR_G_GetPointCount(g); ++i) line.emplace_back(OGR_G_GetX(g, i), OGR_G_GetY(g, i));
    roads[id].push_back(line);
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return roads;
}

// Way ids named in error.txt, by kind.
std::map<int64_t, std::set<std::string>> ReadErrors(const std::string& path) {
  std::map<int64_t, std::set<std::string>> errors;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    const size_t c1 = line.find(',');
    const size_t c2 = line.find(',', c1 + 1);
    if (c1 == std::string::npos || c2 == std::string::npos) continue;
    errors[std::stoll(line.substr(c1 + 1, c2 - c1 - 1))].insert(line.substr(0, c1));
  }
  return errors;
}

// ---------------------------------------------------------------- the check

struct TConfig {
  const char* name;
  bool modes[3];
  bool splitLinks, splitLoops;
  int format;  // 0 MIF, 1 SHP
};

double Angle(const std::pair<double, double>& a, const std::pair<double, double>& b) {
  const double k = 3.14159265358979323846 / 180;
  const double s1 = std::sin((b.second - a.second) * k / 2), s2 = std::sin((b.first - a.first) * k / 2);
  return 2 * std::asin(std::min(1.0, std::sqrt(s1 * s1 + std::cos(a.second * k) * std::cos(b.second * k) * s2 * s2)));
}

// The pieces a way becomes: cut at interior split nodes, closed pieces of
// three or more points halved.
void Halve(const TLine& pts, size_t a, size_t b, bool loops, std::vector<TLine>& out) {
  if (loops && b - a > 1 && pts[a] == pts[b]) {
    const size_t mid = (a + b) / 2;
    Halve(pts, a, mid, loops, out);
    Halve(pts, mid, b, loops, out);
    return;
  }
  out.emplace_back(pts.begin() + static_cast<std::ptrdiff_t>(a), pts.begin() + static_cast<std::ptrdiff_t>(b) + 1);
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/e2e_XXXXXX";
    FPath = mkdtemp(tmpl);
    FPath += "/";
  }
  ~TempDir() { std::filesystem::remove_all(FPath); }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

std::string Decompress(const std::string& gz, const std::string& dir) {
  const std::string out = dir + std::filesystem::path(gz).stem().string();
  VSILFILE* in = VSIFOpenL(("/vsigzip/" + gz).c_str(), "rb");
  EXPECT_NE(in, nullptr) << gz;
  std::ofstream o(out, std::ios::binary);
  char buf[1 << 16];
  size_t n;
  while (in && (n = VSIFReadL(buf, 1, sizeof buf, in)) > 0) o.write(buf, static_cast<std::streamsize>(n));
  if (in) VSIFCloseL(in);
  return out;
}

void CheckRun(const std::vector<std::string>& files, const TConfig& cfg, const std::string& outDir) {
  SCOPED_TRACE(std::string(cfg.name) + " " + files.front());
  const std::string includePath = std::string(PROJECT_DATA_DIR) + "/include.txt";
  TIncludeLists include;
  include.LoadIncludeFile(includePath);
  TRunOptions o;
  o.Pedestrian = cfg.modes[0];
  o.Bicycle = cfg.modes[1];
  o.Car = cfg.modes[2];
  o.SplitLinks = cfg.splitLinks;
  o.SplitLoopLinks = cfg.splitLoops;
  o.OutputFormat = cfg.format;
  o.minObjectLen = 0;
  o.Files = files;
  o.MainDir = outDir;
  TNullRunUI ui;
  const TRunResult r = RunConversion(o, include, ui);
  ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;

  // Expected selection over all files as one data set: a way counts once,
  // from the first file that has it.
  const TModes inc = ReadInclude(includePath);
  std::unordered_map<int64_t, std::pair<double, double>> coords;
  std::vector<TWay> selected;
  std::unordered_set<int64_t> seen, unselected;
  for (const auto& f : files) {
    TOsm osm = ReadOsm(f);
    for (const auto& [id, p] : osm.nodes) coords.emplace(id, p);  // the first file's copy wins
    for (auto& w : osm.ways) {
      if (seen.count(w.id)) continue;
      if (WayModes(w, inc, cfg.modes)) {
        seen.insert(w.id);
        selected.push_back(std::move(w));
      } else {
        unselected.insert(w.id);
      }
    }
  }
  std::unordered_set<int64_t> used, split;
  std::set<int64_t> ferryNodes;
  for (const auto& w : selected)
    for (const int64_t n : w.nodes)
      if (IsFerry(w))
        ferryNodes.insert(n);
      else if (!used.insert(n).second)
        split.insert(n);
  for (const int64_t n : ferryNodes)
    if (!used.insert(n).second) split.insert(n);

  const auto roads = ReadRoads(outDir + (cfg.format == 0 ? "roads.mif" : "roads.shp"));
  const auto errors = ReadErrors(outDir + "error.txt");
  ASSERT_FALSE(selected.empty());

  for (const auto& [id, lines] : roads) {
    EXPECT_TRUE(seen.count(id)) << "way " << id << " written but not selected";
  }
  size_t checked = 0;
  for (const auto& w : selected) {
    const auto written = roads.find(w.id);
    const auto err = errors.find(w.id);
    const bool missing = std::any_of(w.nodes.begin(), w.nodes.end(), [&](int64_t n) { return !coords.count(n); });
    if (missing) {
      EXPECT_TRUE(written == roads.end()) << "way " << w.id << " with a missing node was written";
      EXPECT_TRUE(err != errors.end() && err->second.count("MissingNode")) << "way " << w.id;
      continue;
    }
    ASSERT_TRUE(written != roads.end() || err != errors.end()) << "way " << w.id << " neither written nor reported";
    TLine pts;
    for (const int64_t n : w.nodes) pts.push_back(coords.at(n));
    // Near-duplicate points are merged by the run; such ways are only
    // checked for presence.
    bool plain = pts.size() >= 2;
    for (size_t i = 1; i < pts.size(); ++i)
      if (Angle(pts[i - 1], pts[i]) < 1e-7) plain = false;
    if (!plain) continue;
    std::vector<TLine> want;
    size_t start = 0;
    for (size_t i = 1; i + 1 < pts.size(); ++i)
      if (cfg.splitLinks && split.count(w.nodes[i])) {
        Halve(pts, start, i, cfg.splitLoops, want);
        start = i;
      }
    Halve(pts, start, pts.size() - 1, cfg.splitLoops, want);
    ASSERT_TRUE(written != roads.end()) << "way " << w.id;
    EXPECT_EQ(written->second, want) << "way " << w.id << ": geometry differs from the OSM nodes";
    ++checked;
  }
  EXPECT_GT(checked, selected.size() / 2);
}

const TConfig kConfigs[] = {
    {"car, shp, split", {false, false, true}, true, true, 1},
    {"all modes, mif, no splitting", {true, true, true}, false, false, 0},
};

}  // namespace

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GDALAllRegister(); }
};

TEST_F(EndToEnd, SharedExtracts) {
  TempDir tmp;
  const std::string dir = std::string(SHARED_DATA_DIR) + "/osm/";
  size_t n = 0;
  for (const char* name : {"swabia-small.osm.gz", "west-oakland.osm.gz", "berlin-siegessaeule.osm.gz",
                           "monaco.osm.gz", "andorra.osm.gz"}) {
    if (!std::filesystem::exists(dir + name)) continue;
    const std::string osm = Decompress(dir + name, tmp.Path());
    for (const auto& cfg : kConfigs) {
      const std::string out = tmp.Path() + std::to_string(n++) + "/";
      std::filesystem::create_directories(out);
      CheckRun({osm}, cfg, out);
    }
  }
  if (n == 0) GTEST_SKIP() << "no shared extracts";
}

TEST_F(EndToEnd, BundledSampleAlsoAsOverlappingFiles) {
  TempDir tmp;
  const std::string sample = std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm";
  for (const auto& cfg : kConfigs) {
    const std::string one = tmp.Path() + cfg.name + "/";
    std::filesystem::create_directories(one);
    CheckRun({sample}, cfg, one);
    // The same file twice is one data set: nothing is written twice.
    const std::string two = tmp.Path() + cfg.name + " twice/";
    std::filesystem::create_directories(two);
    CheckRun({sample, sample}, cfg, two);
  }
}

TEST_F(EndToEnd, UnsortedExtractEndsTheRunBeforeAnyTable) {
  // Overpass writes the ways of this extract before their nodes: such a
  // file is refused in pass 1 with the reason, and no table is written.
  const std::string gz = std::string(SHARED_DATA_DIR) + "/osm/leeds-overpass.osm.gz";
  if (!std::filesystem::exists(gz)) GTEST_SKIP() << "no leeds-overpass.osm.gz in the shared data";
  TempDir tmp;
  const std::string osm = Decompress(gz, tmp.Path());
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  TRunOptions o;
  o.Files = {osm};
  o.MainDir = tmp.Path();
  TNullRunUI ui;
  const TRunResult r = RunConversion(o, include, ui);
  EXPECT_EQ(r.Status, TRunStatus::rsFailed);
  EXPECT_NE(r.Message.find("\"" + osm + "\" is not sorted"), std::string::npos) << r.Message;
  EXPECT_FALSE(std::filesystem::exists(tmp.Path() + "roads.shp"));
  EXPECT_FALSE(std::filesystem::exists(tmp.Path() + "error.txt"));
}

TEST_F(EndToEnd, HostileButReadableInput) {
  // A byte-order mark, CR LF and bare CR line ends, tab indentation,
  // entities, a tag value of several hundred kilobytes, a way with a node no
  // file has.
  TempDir tmp;
  const std::string huge(500 << 10, 'x');
  const std::string s =
      "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?>\r\n<osm version=\"0.6\">\r\n"
      "\t<node id=\"1\" lat=\"48.1\" lon=\"10.1\"/>\r"
      "\t<node id=\"2\" lat=\"48.2\" lon=\"10.2\"/>\n"
      "\t<node id=\"3\" lat=\"48.3\" lon=\"10.3\"/>\r\n"
      "\t<way id=\"10\">\r\n\t\t<nd ref=\"1\"/>\r\n\t\t<nd ref=\"2\"/>\r\n"
      "\t\t<tag k=\"name\" v=\"Rock &amp; Roll &quot;" + huge + "&quot;\"/>\r\n"
      "\t\t<tag k=\"highway\" v=\"residential\"/>\r\n\t</way>\r\n"
      "\t<way id=\"11\">\r\n\t\t<nd ref=\"2\"/>\r\n\t\t<nd ref=\"99\"/>\r\n"
      "\t\t<tag k=\"highway\" v=\"residential\"/>\r\n\t</way>\r\n"
      "</osm>\r\n";
  const std::string path = tmp.Path() + "hostile.osm";
  std::ofstream(path, std::ios::binary) << s;
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  TRunOptions o;
  o.Files = {path};
  o.MainDir = tmp.Path();
  TNullRunUI ui;
  const TRunResult r = RunConversion(o, include, ui);
  ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  const auto roads = ReadRoads(tmp.Path() + "roads.shp");
  ASSERT_EQ(roads.size(), 1u);
  ASSERT_TRUE(roads.count(10));
  EXPECT_EQ(roads.at(10).front(), (TLine{{10.1, 48.1}, {10.2, 48.2}}));
  const auto errors = ReadErrors(tmp.Path() + "error.txt");
  ASSERT_TRUE(errors.count(11));
  EXPECT_TRUE(errors.at(11).count("MissingNode"));
}
