// The report of a run: findings.geojson holds every record of every check
// table with the OSM way of its link, in MIF, SHP and TAB runs alike;
// report.html is written by every run, whatever way it ended, and carries
// text from the data only as text; the page's road data leaves out whole
// minor classes above its budget but never a road with a finding.
#include <gtest/gtest.h>

#include <gdal.h>
#include <gdal_utils.h>
#include <ogr_api.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check_threads_env.h"
#include "findings.h"
#include "include_file.h"
#include "linvoro_giswriter.h"
#include "report_page.h"
#include "report_roads.h"
#include "report_text.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

// ------------------------------------------------------------ text forms

TEST(ReportText, JsonStringsHoldAnyTextAsText) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Main Street", "\"Main Street\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nbreak\ttab\r", "\"line\\nbreak\\ttab\\r\""},
      {std::string("nul\0soh\x01" "del\x7f", 12), "\"nul\\u0000soh\\u0001del\\u007f\""},
      // Nothing that could end or change the script element holding it.
      {"</script><!--<img>&", "\"\\u003c/script\\u003e\\u003c!--\\u003cimg\\u003e\\u0026\""},
      {"Stra\xC3\x9F" "e \xE5\x8C\x97\xE4\xBA\xAC \xF0\x9F\x9A\x97", "\"Stra\xC3\x9F" "e \xE5\x8C\x97\xE4\xBA\xAC \xF0\x9F\x9A\x97\""},
      {"sep\xE2\x80\xA8par\xE2\x80\xA9", "\"sep\\u2028par\\u2029\""},
      // Bytes that are not UTF-8 (a code page's text, a cut sequence, an
      // overlong form, a surrogate) become U+FFFD.
      {"caf\xE9", "\"caf\xEF\xBF\xBD\""},
      {"cut\xE5\x8C", "\"cut\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.in), c.out) << c.in;
}

TEST(ReportText, PageJsonIsAsciiWithTheSameValue) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"{\"a\":[1,\"x\\u003c\"]}", "{\"a\":[1,\"x\\u003c\"]}"},
      {"\"Stra\xC3\x9F" "e\"", "\"Stra\\u00dfe\""},
      {"\"\xE5\x8C\x97\xE4\xBA\xAC\"", "\"\\u5317\\u4eac\""},
      // Beyond the basic plane: a surrogate pair, as JSON writes it.
      {"\"\xF0\x9F\x9A\x97\"", "\"\\ud83d\\ude97\""},
      // Bytes that are not UTF-8, also at the very end.
      {"\"caf\xE9\"", "\"caf\\ufffd\""},
      {"\"cut\xE5\x8C", "\"cut\\ufffd\\ufffd"},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonAsAscii(c.in), c.out) << c.in;
  // Every name AppendJsonString writes comes back as the same JSON value.
  const std::string name = "\xC3\xA9\xF0\x9F\x9A\x97</script>";
  EXPECT_EQ(JsonAsAscii(JsonString(name)), "\"\\u00e9\\ud83d\\ude97\\u003c/script\\u003e\"");
}

TEST(ReportText, NumbersReadBackExactly) {
  const struct {
    double in;
    const char* out;
  } cases[] = {{0, "0"}, {-0.0, "0"}, {12, "12"}, {-3.5, "-3.5"}, {7.4238887431107, "7.4238887431107"},
               {0.1 + 0.2, "0.30000000000000004"}, {1e-7, "1e-07"}, {NAN, "null"}, {INFINITY, "null"}};
  for (const auto& c : cases) {
    std::string s;
    AppendJsonNumber(s, c.in);
    EXPECT_EQ(s, c.out);
    if (std::isfinite(c.in)) {
      EXPECT_EQ(std::stod(s), c.in);
    }
  }
  // Coordinates and distances take a short way; their text is still the
  // shortest form std::to_chars gives, also at the ends of that way and for
  // doubles near a decimal of seven places that are not that decimal.
  const auto shortest = [](double x) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
  };
  std::vector<double> xs = {1, -1, 10000, 20000, 99999, 99999.9999999, 100000, 123456.5, 1e5 - 1e-9,
                            0.9999999, 1.0000001, 42.5, 1.5e-7 + 1, 7.4238887431107, 2.000000050000001};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const int64_t k = static_cast<int64_t>(rng() % 1000000000000ull);  // up to 10^5 in 1e-7 degrees
    const double x = (i % 2 ? -1.0 : 1.0) * static_cast<double>(k) / 1e7;
    xs.push_back(x);
    xs.push_back(std::nextafter(x, 1e9));
    xs.push_back(std::round(x * 100) / 100);
    xs.push_back(std::ldexp(static_cast<double>(rng() >> 11), -53) * 1e5);
  }
  for (const double x : xs) {
    std::string s;
    AppendJsonNumber(s, x);
    if (x == 0) continue;
    ASSERT_EQ(s, shortest(x)) << std::hexfloat << x;
  }
}

TEST(ReportText, HtmlEscapingAndBase64) {
  EXPECT_EQ(HtmlEscape("<b a=\"1\" b='2'>&</b>"), "&lt;b a=&quot;1&quot; b=&#39;2&#39;&gt;&amp;&lt;/b&gt;");
  EXPECT_EQ(HtmlEscape(std::string("a\x01" "b\tc\xC2\x85" "d\xFF\x7F\0", 11)),
            "a&#1;b\tc\xC2\x85" "d\xEF\xBF\xBD&#127;\xEF\xBF\xBD");
  // RFC 4648's vectors.
  const std::pair<const char*, const char*> b64[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                     {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                     {"foobar", "Zm9vYmFy"}};
  for (const auto& [in, out] : b64) {
    std::string s;
    AppendBase64(s, in);
    EXPECT_EQ(s, out);
  }
}

// The page names the options as the window shows them: the window's "&&"
// is one ampersand on screen.
TEST(ReportOptions, CaptionsAsTheWindowShowsThem) {
  TRunOptions o;
  o.NameRef = 3;
  bool found = false;
  for (const auto& [caption, value] : DescribeOptions(o)) {
    EXPECT_EQ(value.find("&&"), std::string::npos) << caption;
    if (caption == "Output of Name and Ref") found = value == "Name & Ref (2 fields)";
  }
  EXPECT_TRUE(found);
}

// ------------------------------------------------------------ the page's roads

namespace {

TIncludeLists ProjectInclude() {
  TIncludeLists include;
  include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  return include;
}

}  // namespace

TEST(ReportRoads, OverviewLeavesOutWholeMinorClassesButNoRoadWithAFinding) {
  const TIncludeLists include = ProjectInclude();
  const uint32_t motorway = static_cast<uint32_t>(include.TypeCode("motorway"));
  const uint32_t residential = static_cast<uint32_t>(include.TypeCode("residential"));
  const uint32_t footway = static_cast<uint32_t>(include.TypeCode("footway"));
  const uint32_t primaryLink = static_cast<uint32_t>(include.TypeCode("primary_link"));
  TReportRoads roads(include, 40);
  EXPECT_EQ(roads.Classes().Of(primaryLink), rcPrimary);
  EXPECT_EQ(roads.Classes().Of(residential | 4096), rcFerry);
  EXPECT_EQ(roads.Classes().Of(250), rcOther);

  const TFloatPoint line[10] = {{7, 43}, {7.1, 43}, {7.2, 43}, {7.3, 43}, {7.4, 43},
                                {7.5, 43}, {7.6, 43}, {7.7, 43}, {7.8, 43}, {7.9, 43}};
  // Links 1-3 footways, 4-6 residential, 7-9 motorways, 10 residential: 10
  // vertices each, 100 in all against a budget of 40.
  const uint32_t kinds[] = {footway, footway, footway, residential, residential, residential,
                            motorway, motorway, motorway, residential};
  for (int64_t link = 1; link <= 10; ++link)
    roads.Add(link, 100 + link, "road", kinds[link - 1], line, 10);

  // Footways go first, then residential roads; motorways are never left out
  // as a class: once only they remain, they stop where the budget ends.
  EXPECT_EQ(roads.Vertices(), 30);
  for (int64_t link = 1; link <= 10; ++link) {
    const bool held = kinds[link - 1] == motorway;
    EXPECT_EQ(roads.Holds(link, kinds[link - 1]), held) << link;
  }
  EXPECT_EQ(roads.OmittedRoads(), 7);
  EXPECT_FALSE(roads.Holds(11, motorway));  // beyond the table

  // A link with a finding comes back, once.
  roads.AddFindingRoad(2, 102, "road", footway, line, 10);
  roads.AddFindingRoad(2, 102, "road", footway, line, 10);
  EXPECT_TRUE(roads.Holds(2, footway));
  std::string json;
  roads.AppendJson(json);
  EXPECT_NE(json.find("\"findingRoads\":{\"roads\":1,\"vertices\":10,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"omitted\":{\"minor\":4,\"path\":3}"), std::string::npos) << json;

  // A motorway over the budget on its own stops at that link.
  TReportRoads few(include, 15);
  few.Add(1, 1, "", motorway, line, 10);
  few.Add(2, 2, "", motorway, line, 10);
  few.Add(3, 3, "", motorway, line, 2);
  EXPECT_TRUE(few.Holds(1, motorway));
  EXPECT_FALSE(few.Holds(2, motorway));
  EXPECT_FALSE(few.Holds(3, motorway));
}

// A country of only primary roads and less: dropping whole classes would
// leave the overview empty, so its last class keeps a spread of its roads,
// one of every 2, 4, ... as the data grows.
TEST(ReportRoads, TheLastClassOfTheOverviewIsThinnedNotDropped) {
  const TIncludeLists include = ProjectInclude();
  const uint32_t primary = static_cast<uint32_t>(include.TypeCode("primary"));
  const TFloatPoint line[10] = {{7, 43}, {7.1, 43}, {7.2, 43}, {7.3, 43}, {7.4, 43},
                                {7.5, 43}, {7.6, 43}, {7.7, 43}, {7.8, 43}, {7.9, 43}};
  TReportRoads roads(include, 40);
  for (int64_t link = 1; link <= 10; ++link)
    roads.Add(link, 100 + link, "r" + std::to_string(link), primary, line, 10);
  EXPECT_EQ(roads.Vertices(), 30);
  EXPECT_EQ(roads.OmittedRoads(), 7);
  for (int64_t link = 1; link <= 10; ++link)
    EXPECT_EQ(roads.Holds(link, primary), link == 1 || link == 5 || link == 9) << link;
  std::string json;
  roads.AppendJson(json);
  // The kept roads come out whole, names and vertices as they went in.
  std::string want = "{\"roads\":3,\"vertices\":30,\"names\":[\"r1\",\"r5\",\"r9\"],\"data\":\"";
  {
    std::string data;
    int64_t lastLink = 0, lastWay = 0, lastX = 0, lastY = 0;
    int name = 0;
    for (const int64_t link : {1, 5, 9}) {
      AppendZigzag(data, link - lastLink);
      AppendZigzag(data, 100 + link - lastWay);
      AppendVarint(data, static_cast<uint64_t>(name++));
      AppendVarint(data, primary);
      AppendVarint(data, 10);
      lastLink = link;
      lastWay = 100 + link;
      for (const TFloatPoint& p : line) {
        AppendZigzag(data, E7(p.x) - lastX);
        AppendZigzag(data, E7(p.y) - lastY);
        lastX = E7(p.x);
        lastY = E7(p.y);
      }
    }
    AppendBase64(want, data);
  }
  EXPECT_NE(json.find(want), std::string::npos) << json;
  EXPECT_NE(json.find("\"omitted\":{\"primary\":7}"), std::string::npos) << json;
}

TEST(ReportRoads, RoadsWithAFindingAreSimplifiedOnlyBeyondTheirBudget) {
  const TIncludeLists include = ProjectInclude();
  const uint32_t footway = static_cast<uint32_t>(include.TypeCode("footway"));
  // A straight line 800 m long that wiggles by 0.33 m, with a vertex twice
  // over, and a line with a corner 33 m off its chord.
  std::vector<TFloatPoint> wiggles;
  for (int i = 0; i <= 10; ++i) wiggles.push_back({7.0 + i * 0.001, 43.0 + (i % 2 ? 3e-6 : 0)});
  wiggles.insert(wiggles.begin() + 5, wiggles[5]);
  const TFloatPoint corner[3] = {{7, 43}, {7.001, 43.0003}, {7.002, 43}};
  const struct {
    int64_t budget;
    const char* tolerance;
    int vertices;
  } cases[] = {
      {15, "0", 15},    // fits as it is: every vertex, the doubled one too
      {14, "0.5", 5},   // the wiggles go, the corner and the ends stay
      {1, "100", 4},    // nothing fits: the coarsest, the ends of each line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.budget);
    TReportRoads roads(include, 0, c.budget);
    roads.AddFindingRoad(1, 101, "a", footway, wiggles.data(), static_cast<int32_t>(wiggles.size()));
    roads.AddFindingRoad(2, 102, "b", footway, corner, 3);
    std::string json;
    roads.AppendJson(json);
    EXPECT_NE(json.find("\"findingRoads\":{\"roads\":2,\"vertices\":" + std::to_string(c.vertices) + ","),
              std::string::npos) << json;
    EXPECT_NE(json.find("\"findingRoadsTolerance\":" + std::string(c.tolerance) + "}"), std::string::npos) << json;
  }
}

// ------------------------------------------------------------ findings against the tables

namespace {

// The hostile name of the fixture's first way, as it is after XML decoding.
// The control character stands inside: the road-name files trim the ends.
const std::string kHostileName = "</script><img src=x onerror=window.pwned=1>\"'\x01\\&";
constexpr int64_t kHostileWay = 900000001;
constexpr int64_t kOtherWay = 900000002;

struct TFeature {
  std::vector<std::pair<double, double>> points;
  std::map<std::string, std::string> text;  // every field as GDAL gives it as text
  std::map<std::string, double> number;     // the numeric fields
};

// Every feature of a table (or of findings.geojson) in file order.
std::vector<TFeature> ReadLayer(const std::string& path, bool& ok) {
  std::vector<TFeature> out;
  ok = false;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (!ds) return out;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGRFeatureDefnH def = OGR_L_GetLayerDefn(layer);
  OGR_L_ResetReading(layer);
  while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
    TFeature feature;
    if (OGRGeometryH g = OGR_F_GetGeometryRef(f))
      for (int i = 0; i < OGR_G_GetPointCount(g); ++i) feature.points.emplace_back(OGR_G_GetX(g, i), OGR_G_GetY(g, i));
    for (int i = 0; i < OGR_FD_GetFieldCount(def); ++i) {
      if (!OGR_F_IsFieldSetAndNotNull(f, i)) continue;
      OGRFieldDefnH fd = OGR_FD_GetFieldDefn(def, i);
      const std::string name = OGR_Fld_GetNameRef(fd);
      feature.text[name] = OGR_F_GetFieldAsString(f, i);
      const OGRFieldType t = OGR_Fld_GetType(fd);
      if (t == OFTInteger || t == OFTInteger64 || t == OFTReal) feature.number[name] = OGR_F_GetFieldAsDouble(f, i);
      if (t == OFTIntegerList || t == OFTInteger64List) {
        int n = 0;
        std::string list;
        if (t == OFTIntegerList) {
          const int* v = OGR_F_GetFieldAsIntegerList(f, i, &n);
          for (int k = 0; k < n; ++k) list += (k ? "," : "") + std::to_string(v[k]);
        } else {
          const GIntBig* v = OGR_F_GetFieldAsInteger64List(f, i, &n);
          for (int k = 0; k < n; ++k) list += (k ? "," : "") + std::to_string(v[k]);
        }
        feature.text[name] = list;
      }
    }
    out.push_back(std::move(feature));
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  ok = true;
  return out;
}

bool Truthy(const std::string& v) { return v == "1" || v == "T" || v == "t" || v == "true" || v == "Y"; }

class TRunTest : public TTempDirTest {
 protected:
  TRunTest() : TTempDirTest("osm2trassel_report_") {}
  void SetUp() override {
    TTempDirTest::SetUp();
    GDALAllRegister();
    Include = ProjectInclude();
  }
  TRunOptions Options(int32_t format) const {
    TRunOptions o;
    o.OutputFormat = format;
    o.BuildNetwork = o.Subnets = o.TopoChecks = o.Overpasses = true;
    o.Files = {std::string(PROJECT_DATA_DIR) + "/sample/monaco.osm.pbf", std::string(TEST_DATA_DIR) + "/report_findings.osm"};
    o.MainDir = dir;
    return o;
  }
  TIncludeLists Include;
};

class Findings : public TRunTest, public ::testing::WithParamInterface<int32_t> {};

}  // namespace

// Every record of every check table is one feature, in table order, with
// the record's geometry and fields, and the OSM way of its link as the road
// table holds it.
TEST_P(Findings, MatchTheTablesRecordForRecord) {
  const int32_t format = GetParam();
  if (format == 2 && !TGISWriter::MITAB_supported()) GTEST_SKIP() << "no TAB library";
  TNullRunUI ui;
  const TRunResult r = RunConversion(Options(format), Include, ui);
  ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  EXPECT_EQ(r.ReportFile, FullPath(Path("report.html")));
  const char* ext = format == 0 ? ".mif" : format == 1 ? ".shp" : ".tab";
  // Where the table's coordinates lose digits: MIF text keeps 15, TAB
  // stores integers on a grid.
  const double tolerance = format == 0 ? 1e-12 : format == 1 ? 0 : 1e-6;

  bool ok = false;
  const std::vector<TFeature> features = ReadLayer(Path("findings.geojson"), ok);
  ASSERT_TRUE(ok) << "GDAL does not open findings.geojson";
  std::vector<std::string> roadWays, roadNames;
  for (const TFeature& f : ReadLayer(Path(std::string("roads") + ext), ok)) {
    roadWays.push_back(f.text.count("osm_id") ? f.text.at("osm_id") : "");
    roadNames.push_back(f.text.count("name") ? f.text.at("name") : "");
  }
  ASSERT_TRUE(ok);

  size_t at = 0;
  std::map<std::string, int64_t> rows;
  int hostile = 0;  // records on the way with the hostile name
  for (const TFindingTable& t : FindingTables()) {
    SCOPED_TRACE(t.Name);
    const std::vector<TFeature> records = ReadLayer(Path(std::string(t.Name) + ext), ok);
    if (!ok) continue;  // dropped for want of rows
    rows[t.Name] = static_cast<int64_t>(records.size());
    for (size_t i = 0; i < records.size(); ++i, ++at) {
      SCOPED_TRACE("record " + std::to_string(i));
      ASSERT_LT(at, features.size());
      const TFeature& rec = records[i];
      const TFeature& f = features[at];
      ASSERT_EQ(f.text.at("check"), t.Name);
      ASSERT_EQ(f.points.size(), rec.points.size());
      for (size_t k = 0; k < rec.points.size(); ++k) {
        EXPECT_NEAR(f.points[k].first, rec.points[k].first, tolerance);
        EXPECT_NEAR(f.points[k].second, rec.points[k].second, tolerance);
      }
      for (const auto& [name, value] : rec.text) {
        // The link number is the feature's "link" (below); kilometres and
        // fractions come rounded, under names that say their unit.
        if (t.LinkField && name == t.LinkField) continue;
        const TFieldForm form = name == "distance" ? TFieldForm::ffMetres
                                : name == "Percent" ? TFieldForm::ffPosition
                                                    : TFieldForm::ffAsIs;
        const std::string prop = FindingPropertyName(name, form);
        ASSERT_TRUE(f.text.count(prop)) << prop;
        if (form == TFieldForm::ffMetres)
          EXPECT_NEAR(f.number.at(prop), rec.number.at(name) * 1000, 0.005 + 1e-9) << prop;
        else if (form == TFieldForm::ffPosition)
          EXPECT_NEAR(f.number.at(prop), rec.number.at(name), 0.00005 + 1e-12) << prop;
        else if (name == "SameLength")
          EXPECT_EQ(Truthy(f.text.at(prop)), Truthy(value));
        else if (rec.number.count(name))
          EXPECT_NEAR(f.number.at(prop), rec.number.at(name), 1e-8) << prop;
        else
          EXPECT_EQ(f.text.at(prop), value) << prop;
      }
      EXPECT_FALSE(f.text.count("message") == 0 || f.text.at("message").empty());
      if (t.LinkField) {
        const int64_t link = static_cast<int64_t>(rec.number.at(t.LinkField));
        ASSERT_GE(link, 1);
        ASSERT_LE(link, static_cast<int64_t>(roadWays.size()));
        EXPECT_EQ(static_cast<int64_t>(f.number.at("link")), link);
        EXPECT_EQ(f.text.at("osm_way"), roadWays[static_cast<size_t>(link - 1)]);
        EXPECT_EQ(f.text.at("osm_id"), roadWays[static_cast<size_t>(link - 1)]);
        EXPECT_TRUE(f.text.count("road_class"));
        EXPECT_EQ(f.text.count("name") ? f.text.at("name") : "", roadNames[static_cast<size_t>(link - 1)]);
        if (f.text.at("osm_way") == std::to_string(kHostileWay)) {
          EXPECT_EQ(f.text.at("name"), kHostileName);
          ++hostile;
        }
      } else {
        EXPECT_FALSE(f.text.count("link"));
      }
    }
  }
  EXPECT_EQ(at, features.size()) << "features beyond the tables' records";
  EXPECT_GT(hostile, 0);
  // The fixture's two dead ends 0.8 m apart, and the ways that end there.
  ASSERT_EQ(rows["non_connected_nodes"], 1);
  for (const TFeature& f : features)
    if (f.text.at("check") == "non_connected_nodes") {
      EXPECT_EQ(f.text.at("osm_ways"), std::to_string(kHostileWay) + "," + std::to_string(kOtherWay));
    }
  for (const char* t : {"subnets", "subnets_extended", "parallel", "object_check", "non_connected_links",
                        "split_and_snap", "overpasses"})
    EXPECT_GT(rows[t], 0) << t << ": the data should give every check something to find";

  // The page carries the names as text only: no markup from the data.
  const std::string page = Slurp(Path("report.html"));
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_NE(page.find("\\u003c/script\\u003e\\u003cimg src=x onerror=window.pwned=1\\u003e\\\"'\\u0001\\\\\\u0026"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Formats, Findings, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return std::string(info.param == 0 ? "MIF" : info.param == 1 ? "SHP" : "TAB"); });

namespace {

// A layer's field names and types, in order; empty when it does not open.
std::vector<std::pair<std::string, OGRFieldType>> LayerFields(const std::string& path) {
  std::vector<std::pair<std::string, OGRFieldType>> out;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (!ds) return out;
  OGRFeatureDefnH def = OGR_L_GetLayerDefn(GDALDatasetGetLayer(ds, 0));
  for (int i = 0; i < OGR_FD_GetFieldCount(def); ++i) {
    OGRFieldDefnH fd = OGR_FD_GetFieldDefn(def, i);
    out.emplace_back(OGR_Fld_GetNameRef(fd), OGR_Fld_GetType(fd));
  }
  GDALClose(ds);
  return out;
}

bool Translate(const std::string& from, const std::string& to, std::vector<std::string> args) {
  GDALDatasetH src = GDALOpenEx(from.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (!src) return false;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  GDALVectorTranslateOptions* opts = GDALVectorTranslateOptionsNew(argv.data(), nullptr);
  int error = 0;
  GDALDatasetH dst = GDALVectorTranslate(to.c_str(), nullptr, 1, &src, opts, &error);
  GDALVectorTranslateOptionsFree(opts);
  if (dst) GDALClose(dst);
  GDALClose(src);
  return dst && !error;
}

class FindingsFile : public TRunTest {};

}  // namespace

// findings.geojson goes into a GeoPackage and a CSV file as it is: no two
// property names that a GIS would take for one (GDAL renames the second to
// "link2"), a sentence and a road class on every feature, and a way id
// under the road table's own name and type, so that the two join.
TEST_F(FindingsFile, GoesIntoOtherFormatsAsItIs) {
  TNullRunUI ui;
  const TRunResult r = RunConversion(Options(1), Include, ui);
  ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  const auto fields = LayerFields(Path("findings.geojson"));
  ASSERT_FALSE(fields.empty()) << "GDAL does not open findings.geojson";
  std::map<std::string, std::string> folded;
  for (const auto& [name, type] : fields) {
    std::string lower = name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_TRUE(folded.emplace(lower, name).second) << name << " and " << folded[lower];
  }
  for (const char* name : {"message", "road_class", "osm_id", "distance_m", "position", "crossing_osm_way",
                           "levels_differ"})
    EXPECT_TRUE(std::any_of(fields.begin(), fields.end(), [&](const auto& f) { return f.first == name; })) << name;

  OGRFieldType roadsId = OFTMaxType, findingsId = OFTMaxType;
  for (const auto& [name, type] : LayerFields(Path("roads.shp")))
    if (name == "osm_id") roadsId = type;
  for (const auto& [name, type] : fields)
    if (name == "osm_id") findingsId = type;
  EXPECT_EQ(findingsId, roadsId);

  bool ok = false;
  const std::vector<TFeature> features = ReadLayer(Path("findings.geojson"), ok);
  ASSERT_TRUE(ok);
  for (const TFeature& f : features) {
    EXPECT_TRUE(f.text.count("message")) << f.text.at("check");
    // Every finding here lies on a road of the table.
    EXPECT_TRUE(f.text.count("road_class")) << f.text.at("check");
  }

  const struct {
    const char* file;
    std::vector<std::string> args;
  } exports[] = {{"findings.gpkg", {"-f", "GPKG"}}, {"findings.csv", {"-f", "CSV"}}};
  for (const auto& e : exports) {
    SCOPED_TRACE(e.file);
    ASSERT_TRUE(Translate(Path("findings.geojson"), Path(e.file), e.args));
    std::vector<std::string> names, expected;
    for (const auto& f : LayerFields(Path(e.file))) names.push_back(f.first);
    for (const auto& f : fields) expected.push_back(f.first);
    EXPECT_EQ(names, expected);
  }
}

// Crossings without a junction are told apart by level: each overpasses
// feature names the way that crosses it and whether the two lie on
// different levels by their bridge, tunnel and layer tags, which are read
// whatever optional fields the road table has.
TEST_F(FindingsFile, CrossingsToldApartByLevel) {
  const struct {
    const char* name;
    const char* tagsA;
    const char* tagsB;
    bool differ;
  } cases[] = {
      {"bridge over a road", R"(<tag k="bridge" v="yes"/><tag k="layer" v="1"/>)", "", true},
      {"tunnel under a road", R"(<tag k="tunnel" v="yes"/><tag k="layer" v="-1"/>)", "", true},
      {"two roads on one level", "", "", false},
      {"layer 1 against none", R"(<tag k="layer" v="1"/>)", "", true},
      {"two bridges on one layer", R"(<tag k="bridge" v="yes"/><tag k="layer" v="1"/>)",
       R"(<tag k="bridge" v="viaduct"/><tag k="layer" v="1"/>)", false},
      {"bridge=no is the ground", R"(<tag k="bridge" v="no"/><tag k="layer" v="0"/>)", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string osm = std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6">
 <node id="1" lat="43.8000" lon="7.4990"/>
 <node id="2" lat="43.8000" lon="7.5010"/>
 <node id="3" lat="43.7990" lon="7.5000"/>
 <node id="4" lat="43.8010" lon="7.5000"/>
 <way id="101"><nd ref="1"/><nd ref="2"/><tag k="highway" v="residential"/>)") +
                            c.tagsA + R"(</way>
 <way id="102"><nd ref="3"/><nd ref="4"/><tag k="highway" v="secondary"/>)" + c.tagsB + R"(</way>
</osm>
)";
    Put(Path("crossing.osm"), osm);
    TRunOptions o = Options(0);
    o.Files = {Path("crossing.osm")};
    for (bool& optional : o.Optional) optional = false;
    TNullRunUI ui;
    fs::remove(Path("findings.geojson"));
    const TRunResult r = RunConversion(o, Include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    bool ok = false;
    int crossings = 0;
    for (const TFeature& f : ReadLayer(Path("findings.geojson"), ok)) {
      if (f.text.at("check") != "overpasses") continue;
      ++crossings;
      const std::string other = f.text.at("osm_way") == "101" ? "102" : "101";
      EXPECT_EQ(f.text.count("crossing_osm_way") ? f.text.at("crossing_osm_way") : "", other);
      EXPECT_EQ(f.text.count("levels_differ") && Truthy(f.text.at("levels_differ")), c.differ);
      EXPECT_FALSE(Truthy(f.text.at("split_and_snap_place")));
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(crossings, 2);
    // The page splits the crossings the same way.
    const std::string page = Slurp(Path("report.html"));
    EXPECT_NE(page.find(std::string("[101,\"\",\"minor\",") + (c.differ ? "true" : "false")), std::string::npos);
  }
}

// Above its bound the page holds, per check, the findings on the most
// important roads, and counts all of them; findings.geojson holds every one.
TEST_F(FindingsFile, PageHoldsTheMostImportantFindingsAboveItsBound) {
  constexpr int64_t kBound = 3;
  TFindings::SetPageBoundOfNew(kBound);
  struct TRestore {
    ~TRestore() { TFindings::SetPageBoundOfNew(TFindings::DefaultPageBound); }
  } restore;
  TNullRunUI ui;
  const TRunResult r = RunConversion(Options(1), Include, ui);
  ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
  bool ok = false;
  const std::vector<TFeature> features = ReadLayer(Path("findings.geojson"), ok);
  ASSERT_TRUE(ok);
  const std::vector<std::string> order = {"motorway", "trunk", "primary", "secondary", "tertiary", "minor",
                                          "service",  "track", "path",    "ferry",     "other"};
  const auto rank = [&](const TFeature& f) {
    const auto it = f.text.find("road_class");
    const size_t k = it == f.text.end() ? order.size()
                                        : std::find(order.begin(), order.end(), it->second) - order.begin();
    return k;
  };
  const std::string page = Slurp(Path("report.html"));
  for (const char* check : {"subnets", "parallel", "object_check"}) {
    SCOPED_TRACE(check);
    std::map<int64_t, size_t> rankOfLink;
    std::vector<size_t> ranks;
    for (const TFeature& f : features)
      if (f.text.at("check") == check) {
        rankOfLink[static_cast<int64_t>(f.number.at("link"))] = rank(f);
        ranks.push_back(rank(f));
      }
    ASSERT_GT(ranks.size(), static_cast<size_t>(kBound));
    const size_t at = page.find("{\"table\":\"" + std::string(check) + "\"");
    ASSERT_NE(at, std::string::npos);
    const std::string counts = "\"rows\":" + std::to_string(kBound) + ",\"total\":" + std::to_string(ranks.size());
    EXPECT_EQ(page.find(counts, at), page.find("\"rows\":", at)) << page.substr(at, 200);
    // The link field comes first: the links of the rows the page holds.
    const size_t cols = page.find("\"cols\":[[", at) + 9;
    const std::string links = page.substr(cols, page.find(']', cols) - cols);
    std::vector<size_t> held;
    for (size_t p = 0; p < links.size();) {
      const size_t comma = std::min(links.find(',', p), links.size());
      held.push_back(rankOfLink.at(std::stoll(links.substr(p, comma - p))));
      p = comma + 1;
    }
    std::sort(ranks.begin(), ranks.end());
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, std::vector<size_t>(ranks.begin(), ranks.begin() + kBound));
  }
}

// ------------------------------------------------------------ the page, however the run ended

namespace {

// Stops the run once the checks have begun.
class TStopAtChecks : public TNullRunUI {
 public:
  void Stage(const TRunStage& s) override {
    if (s.Kind == TStageKind::skCheck && s.Name == "Object check") FStop = true;
  }
  bool CancelRequested() override { return FStop; }

 private:
  bool FStop = false;
};

class ReportPage : public TRunTest {};

}  // namespace

TEST_F(ReportPage, EveryRunWritesItAndSaysHowItEnded) {
  // A failed run, whose message names a file with markup in its name.
  {
    const std::string bad = Path("bad<b>&\".osm");
    Put(bad, "not osm at all\n");
    TRunOptions o = Options(1);
    o.Files = {bad};
    TNullRunUI ui;
    const TRunResult r = RunConversion(o, Include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsFailed);
    ASSERT_FALSE(r.ReportFile.empty());
    const std::string page = Slurp(r.ReportFile);
    EXPECT_NE(page.find("<div id=\"run-status\" class=\"status failed\"><strong>The run failed:</strong>"),
              std::string::npos);
    EXPECT_NE(page.find("bad&lt;b&gt;&amp;&quot;.osm"), std::string::npos);
    EXPECT_EQ(page.find("bad<b>"), std::string::npos);
    EXPECT_NE(page.find("\"status\":\"failed\""), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("findings.geojson")));  // no check ran
  }
  // A run stopped in its checks: the checks done and the stopped one are in
  // findings.geojson, which is complete JSON for GDAL. On one thread, where
  // no check after the stopped one has begun.
  {
    const TCheckThreadsEnv oneThread(1);
    TStopAtChecks ui;
    const TRunResult r = RunConversion(Options(1), Include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsCancelled);
    const std::string page = Slurp(r.ReportFile);
    EXPECT_NE(page.find("class=\"status stopped\""), std::string::npos);
    EXPECT_NE(page.find("\"table\":\"object_check\",\"state\":\"stopped\""), std::string::npos);
    EXPECT_NE(page.find("\"table\":\"non_connected_nodes\",\"state\":\"not run\""), std::string::npos);
    bool ok = false;
    const std::vector<TFeature> features = ReadLayer(Path("findings.geojson"), ok);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(features.empty());
  }
  // A run without a network: the page, and no findings file.
  {
    fs::remove(Path("findings.geojson"));
    TRunOptions o = Options(0);
    o.BuildNetwork = false;
    TNullRunUI ui;
    const TRunResult r = RunConversion(o, Include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    EXPECT_NE(Slurp(r.ReportFile).find("\"network\":false"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("findings.geojson")));
  }
  // Turned off: neither file.
  {
    fs::remove(Path("report.html"));
    TRunOptions o = Options(1);
    o.Report = false;
    TNullRunUI ui;
    const TRunResult r = RunConversion(o, Include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    EXPECT_TRUE(r.ReportFile.empty());
    EXPECT_FALSE(fs::exists(Path("report.html")));
    EXPECT_FALSE(fs::exists(Path("findings.geojson")));
  }
}
