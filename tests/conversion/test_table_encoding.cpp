// Whole runs over a small extract with street names in many scripts. In
// UTF-8 the road table, the check tables and the network's road-name files
// hold every name (cut at a whole character where a field is narrower); in a
// chosen code page the names it can hold, and the others are counted.
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

namespace fs = std::filesystem;

namespace {

// The names and refs of tests/data/names_in_scripts.osm by way id.
const std::map<std::string, std::string> kNames = {
    {"101", "Тверская улица"},
    {"102", "Улица Академика Петра Капицы"},  // 53 bytes in UTF-8
    {"103", "Οδός Ερμού"},
    {"104", "רחוב הרצל"},
    {"105", "東京都千代田区丸の内一丁目大手町仲通り"},  // 57 bytes
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
      // MIF rows carry whole names; the other tables cut at the field width
      // in bytes, never inside a character.
      EXPECT_EQ(road.name, format == 0 ? name : name.substr(0, Utf8CutPoint(name, 50)));
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

    // A name cut by the width is reported, with what was cut off, in UTF-8.
    const std::string errors = Slurp(o.MainDir + "error.txt");
    EXPECT_NE(errors.find("TooLongName,102,Улица Академика Петра Капицы,   Part too long: цы\r\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("TooLongName,105,東京都千代田区丸の内一丁目大手町仲通り,   Part too long: 仲通り\r\n"),
              std::string::npos)
        << errors;
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
