// Whole runs over a small extract with street names in many scripts. In
// UTF-8 the road table, the check tables and the network's road-name files
// hold every name; in a chosen code page the names it can hold, and the
// others are counted. Name and ref lengths count characters in every format
// and encoding, however many bytes a character takes.
#include <gtest/gtest.h>

#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "include_file.h"
#include "linvoro_platform.h"
#include "linvoro_roadnamefile.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"
#include "temp_dir_test.h"
#include "utf8_text.h"

namespace fs = std::filesystem;

namespace {

// The names and refs of tests/data/names_in_scripts.osm by way id.
const std::map<std::string, std::string> kNames = {
    {"101", "Тверская улица"},
    {"102", "Улица Академика Петра Капицы"},  // 28 characters, 53 bytes in UTF-8
    {"103", "Οδός Ερμού"},
    {"104", "רחוב הרצל"},
    {"105", "東京都千代田区丸の内一丁目大手町仲通り"},  // 19 characters, 57 bytes
    {"106", "Улица Большая Дмитровка"},
    {"107", "Emoji Lane 😀"},
    {"108", "Улица \"Правды\""},
    {"109", "Lenin Street"},
};
const std::map<std::string, std::string> kRefs = {{"101", "М-10"}};

class TLogUI : public TNullRunUI {
 public:
  void Log(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

struct TRoad {
  std::string id, name, ref;
};

// The road table as GDAL reads it, in record order. GDAL may not know the
// MapInfo charset "UTF-8" yet; it says so and hands the bytes on as they are.
std::vector<TRoad> ReadRoads(const std::string& path) {
  std::vector<TRoad> roads;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (ds) {
    OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
    const int id = OGR_FD_GetFieldIndex(defn, "osm_id"), name = OGR_FD_GetFieldIndex(defn, "name"),
              ref = OGR_FD_GetFieldIndex(defn, "ref");
    while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
      roads.push_back({OGR_F_GetFieldAsString(f, id), OGR_F_GetFieldAsString(f, name),
                       OGR_F_GetFieldAsString(f, ref)});
      OGR_F_Destroy(f);
    }
    GDALClose(ds);
  }
  CPLPopErrorHandler();
  return roads;
}

const char* kExtension[] = {".mif", ".shp", ".tab"};

class TableEncoding : public TTempDirTest {
 protected:
  TableEncoding() : TTempDirTest("tableenc_") {}
  static void SetUpTestSuite() { GDALAllRegister(); }
  void SetUp() override {
    TTempDirTest::SetUp();
    include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  }

  TRunOptions Options(int32_t format, uint16_t encoding) const {
    TRunOptions o;
    o.OutputFormat = format;
    o.Encoding = encoding;
    o.Pedestrian = true;  // every way of the extract
    o.BuildNetwork = true;
    o.Subnets = true;
    o.Files = {std::string(TEST_DATA_DIR) + "/names_in_scripts.osm"};
    o.MainDir = Path(std::to_string(format) + "_" + std::to_string(encoding) + "/");
    fs::create_directories(o.MainDir);
    return o;
  }

  // The names of both road-name files, link by link, must be those of the
  // road table's records.
  static void ExpectRoadNameFiles(const std::string& dir, const std::vector<TRoad>& roads) {
    const auto links = static_cast<int32_t>(roads.size());
    TRoadNameFile ids, names;
    ids.Load(dir, false, 0, 1, links);
    names.Load(dir, false, 0, 2, links);
    for (int32_t k = 1; k <= links; ++k) {
      EXPECT_EQ(ids.RoadName1(k), roads[k - 1].id) << k;
      EXPECT_EQ(names.RoadName1(k), roads[k - 1].name) << k;
    }
  }

  TIncludeLists include;
};

}  // namespace

TEST_F(TableEncoding, Utf8KeepsEveryNameThroughTablesAndNetwork) {
  for (int32_t format : {0, 1, 2}) {
    SCOPED_TRACE(kExtension[format]);
    const TRunOptions o = Options(format, 65001);
    TLogUI ui;
    const std::string problem = TableEncodingProblem(o);
    const TRunResult r = RunConversion(o, include, ui);
    if (!problem.empty()) {
      // Refused before it starts: nothing logged, nothing written.
      EXPECT_EQ(r.Status, TRunStatus::rsFailed);
      EXPECT_EQ(r.Message, problem);
      EXPECT_TRUE(ui.lines.empty());
      EXPECT_TRUE(fs::is_empty(o.MainDir));
      continue;
    }
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    for (const auto& l : ui.lines) EXPECT_EQ(l.find("lost characters"), std::string::npos) << l;

    const std::vector<TRoad> roads = ReadRoads(o.MainDir + "roads" + kExtension[format]);
    ASSERT_EQ(roads.size(), 19u);  // the ways cut at their crossings
    for (const TRoad& road : roads) {
      SCOPED_TRACE(road.id);
      const std::string& name = kNames.at(road.id);
      const std::string ref = kRefs.count(road.id) ? kRefs.at(road.id) : "";
      EXPECT_EQ(road.name, name);
      EXPECT_EQ(road.ref, ref);
      EXPECT_TRUE(IsValidUtf8(road.name));
    }
    ExpectRoadNameFiles(o.MainDir, roads);

    // The check tables declare UTF-8 as the road table does.
    const std::string subnets = o.MainDir + "subnets_extended";
    if (format == 1)
      EXPECT_EQ(Slurp(subnets + ".cpg"), "UTF-8");
    else
      EXPECT_NE(Slurp(subnets + kExtension[format]).find(format == 0 ? "CharSet \"UTF-8\"" : "Charset \"UTF-8\""),
                std::string::npos);

    // Every name has fewer characters than its field.
    const std::string errors = Slurp(o.MainDir + "error.txt");
    EXPECT_EQ(errors.find("TooLongName"), std::string::npos) << errors;
  }
}

namespace {

struct TNamedWay {
  std::string id, name, ref;
};

// Ways of two nodes each, side by side, with their names and refs.
std::string NamedWaysOsm(const std::vector<TNamedWay>& ways) {
  std::string s = "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n";
  for (size_t i = 0; i < ways.size(); ++i)
    for (int k = 0; k < 2; ++k)
      s += "  <node id=\"" + std::to_string(2 * i + k + 1) + "\" lat=\"55.7" + std::to_string(i) +
           "\" lon=\"37.6" + std::to_string(k) + "\"/>\n";
  for (size_t i = 0; i < ways.size(); ++i) {
    s += "  <way id=\"" + ways[i].id + "\">\n";
    for (int k = 0; k < 2; ++k) s += "    <nd ref=\"" + std::to_string(2 * i + k + 1) + "\"/>\n";
    s += "    <tag k=\"highway\" v=\"residential\"/>\n    <tag k=\"name\" v=\"" + ways[i].name + "\"/>\n";
    if (!ways[i].ref.empty()) s += "    <tag k=\"ref\" v=\"" + ways[i].ref + "\"/>\n";
    s += "  </way>\n";
  }
  return s + "</osm>\n";
}


}  // namespace

// Names of 26 to 50 characters and refs of up to 25 in Cyrillic, Greek and
// CJK come out whole from every format, in UTF-8 and in the double-byte code
// page 932; longer ones are reported, and cut at 50 and 25 characters where
// the format has widths. A
// shapefile's fields are as wide as the longest value they hold, never
// narrower than declared. TAB tables in UTF-8 are refused before the run
// starts where GDAL's MapInfo driver cannot write them.
TEST_F(TableEncoding, NamesThatFitAreNeverCut) {
  const std::vector<TNamedWay> ways = {
      {"201", "Большая Новодмитровская улица", "М-10 Россия Москва - Клин"},  // 29 and 25 characters
      {"202", "Улица Академика Петра Леонидовича Капицы, Москва", ""},         // 48
      {"203", "Λεωφόρος Βασιλίσσης Σοφίας", "ΕΟ 8Α Αθηνών – Κορίνθου"},      // 26, 23
      {"204", "Οδός Ελευθερίου Βενιζέλου και Πανεπιστημίου Αθηνών", ""},       // 50
      {"205", "北海道札幌市中央区北一条西二丁目一番地札幌市役所本庁舎前通り", "大阪府大阪市北区梅田三丁目一番一号大阪駅前第一ビル"},  // 30, 25
      {"206", "東京都千代田区丸の内一丁目大手町仲通り東京駅丸の内北口前広場から皇居外苑和田倉門交差点まで", ""},  // 45
      {"207", "Проспект Маршала Советского Союза Георгия Константиновича Жукова", "М-11 Нева Москва - Санкт-Петербург"},  // 64, 34
  };
  for (uint16_t encoding : {uint16_t(65001), uint16_t(932)}) {
    // Code page 932 holds the Cyrillic and Japanese names, not the Greek ones.
    std::vector<TNamedWay> used;
    for (const TNamedWay& w : ways)
      if (encoding == 65001 || (w.id != "203" && w.id != "204")) used.push_back(w);
    const std::string input = Path("names_" + std::to_string(encoding) + ".osm");
    Put(input, NamedWaysOsm(used));
    for (int32_t format : {0, 1, 2}) {
      SCOPED_TRACE(std::string(kExtension[format]) + " in " + std::to_string(encoding));
      TRunOptions o = Options(format, encoding);
      o.Files = {input};
      TLogUI ui;
      const std::string problem = TableEncodingProblem(o);
      const TRunResult r = RunConversion(o, include, ui);
      if (!problem.empty()) {
        EXPECT_EQ(format, 2);
        EXPECT_EQ(encoding, 65001);
        EXPECT_EQ(r.Status, TRunStatus::rsFailed);
        EXPECT_EQ(r.Message, problem);
        EXPECT_TRUE(fs::is_empty(o.MainDir));
        continue;
      }
      ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
      for (const auto& l : ui.lines) EXPECT_EQ(l.find("lost characters"), std::string::npos) << l;

      const std::vector<TRoad> roads = ReadRoads(o.MainDir + "roads" + kExtension[format]);
      ASSERT_EQ(roads.size(), used.size());
      size_t nameBytes = 0, refBytes = 0;
      for (size_t i = 0; i < used.size(); ++i) {
        SCOPED_TRACE(used[i].id);
        EXPECT_EQ(roads[i].id, used[i].id);
        // MIF rows carry every name whole.
        EXPECT_EQ(roads[i].name, format == 0 ? used[i].name : FirstChars(used[i].name, 50));
        EXPECT_EQ(roads[i].ref, format == 0 ? used[i].ref : FirstChars(used[i].ref, 25));
        nameBytes = std::max(nameBytes, Utf8ToCodePage(roads[i].name, encoding).size());
        refBytes = std::max(refBytes, Utf8ToCodePage(roads[i].ref, encoding).size());
      }
      ExpectRoadNameFiles(o.MainDir, roads);

      // Only what was cut is reported.
      const std::string errors = Slurp(o.MainDir + "error.txt");
      EXPECT_EQ(errors.find("TooLongName,20") , errors.find("TooLongName,207,")) << errors;
      const std::string cutName = Utf8ToCodePage(
          "TooLongName,207,Проспект Маршала Советского Союза Георгия Константиновича Жукова,   Part too long: "
          "иновича Жукова\r\n",
          encoding);
      const std::string cutRef = Utf8ToCodePage(
          "TooLongName,207,М-11 Нева Москва - Санкт-Петербург,   Part too long: Петербург\r\n", encoding);
      EXPECT_NE(errors.find(cutName), std::string::npos) << errors;
      EXPECT_NE(errors.find(cutRef), std::string::npos) << errors;

      if (format == 1) {
        const std::string dbf = Slurp(o.MainDir + "roads.dbf");
        ASSERT_GT(dbf.size(), 32u * 4);
        EXPECT_EQ(static_cast<uint8_t>(dbf[64 + 16]), std::max<size_t>(50, nameBytes));
        EXPECT_EQ(static_cast<uint8_t>(dbf[96 + 16]), std::max<size_t>(25, refBytes));
        EXPECT_EQ(static_cast<uint8_t>(dbf[128 + 16]), 25);  // type: all ASCII
      }
    }
  }
}

TEST_F(TableEncoding, Code1251KeepsCyrillicAndCountsTheRest) {
  for (int32_t format : {0, 1, 2}) {
    SCOPED_TRACE(kExtension[format]);
    const TRunOptions o = Options(format, 1251);
    ASSERT_EQ(TableEncodingProblem(o), "");
    TLogUI ui;
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    ASSERT_GE(ui.lines.size(), 2u);
    EXPECT_EQ(ui.lines[ui.lines.size() - 2],
              "4 names lost characters that code page 1251 cannot hold (written as \"?\"); choose the UTF-8 "
              "encoding for the tables to keep them");

    // GDAL finds the code page in the .cpg or the charset of the header.
    const std::vector<TRoad> roads = ReadRoads(o.MainDir + "roads" + kExtension[format]);
    ASSERT_EQ(roads.size(), 19u);
    for (const TRoad& road : roads) {
      SCOPED_TRACE(road.id);
      const std::string& name = kNames.at(road.id);
      if (road.id == "103" || road.id == "104" || road.id == "105" || road.id == "107")
        EXPECT_NE(road.name.find('?'), std::string::npos) << road.name;
      else
        EXPECT_EQ(road.name, name);
      EXPECT_EQ(road.ref, road.id == "101" ? "М-10" : "");
    }
    ExpectRoadNameFiles(o.MainDir, roads);
  }
}
