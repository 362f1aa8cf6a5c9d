// An extract whose ids are raised far beyond today's (node ids past 14
// billion and near 2^40, way ids past 2^31) converts to the same road table
// and network as the original: only the way ids in the table and in the
// first road-name file move with the renumbering.
#include <gdal.h>
#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "include_file.h"
#include "linvoro_roadnamefile.h"
#include "run_driver.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The whole text of a plain or gzip-compressed file.
std::string ReadOsmText(const std::string& path) {
  if (!path.ends_with(".gz")) return ReadAll(path);
  VSILFILE* f = VSIFOpenL(("/vsigzip/" + path).c_str(), "rb");
  EXPECT_NE(f, nullptr) << path;
  std::string text;
  if (f == nullptr) return text;
  char buf[1 << 16];
  size_t n;
  while ((n = VSIFReadL(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  VSIFCloseL(f);
  return text;
}

// Adds nodeOffset to every node id and node reference and wayOffset to every
// way id; everything else stays byte for byte.
std::string Renumber(const std::string& text, int64_t nodeOffset, int64_t wayOffset) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find('\n', p);
    e = e == std::string::npos ? text.size() : e + 1;
    std::string line = text.substr(p, e - p);
    p = e;
    const size_t lt = line.find('<');
    struct {
      const char* head;
      const char* attr;
      int64_t offset;
    } const rules[] = {{"<node ", "id=\"", nodeOffset}, {"<nd ", "ref=\"", nodeOffset}, {"<way ", "id=\"", wayOffset}};
    for (const auto& r : rules) {
      if (lt == std::string::npos || line.compare(lt, strlen(r.head), r.head) != 0) continue;
      const size_t a = line.find(r.attr, lt);
      if (a == std::string::npos) break;
      const size_t b = a + strlen(r.attr);
      const size_t q = line.find('"', b);
      const int64_t id = std::stoll(line.substr(b, q - b));
      line.replace(b, q - b, std::to_string(id + r.offset));
      break;
    }
    out += line;
  }
  return out;
}

struct TRecord {
  std::string osmId;
  std::vector<std::string> rest;  // every other field, then the geometry as WKT
};

std::vector<TRecord> ReadTable(const std::string& path) {
  std::vector<TRecord> rows;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  EXPECT_NE(ds, nullptr) << path;
  if (ds == nullptr) return rows;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  OGRFeatureH f;
  while ((f = OGR_L_GetNextFeature(layer)) != nullptr) {
    TRecord r;
    for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i) {
      const std::string v = OGR_F_GetFieldAsString(f, i);
      if (std::string(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(defn, i))) == "osm_id")
        r.osmId = v;
      else
        r.rest.push_back(v);
    }
    char* wkt = nullptr;
    OGR_G_ExportToWkt(OGR_F_GetGeometryRef(f), &wkt);
    r.rest.emplace_back(wkt ? wkt : "");
    CPLFree(wkt);
    rows.push_back(std::move(r));
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return rows;
}

// error.txt with the way id of every line (the second item) taken back by
// wayOffset.
std::string ErrorLinesBack(const std::string& text, int64_t wayOffset) {
  std::istringstream in(text);
  std::string line, out;
  while (std::getline(in, line)) {
    const size_t a = line.find(',');
    const size_t b = line.find(',', a + 1);
    out += line.substr(0, a + 1) + std::to_string(std::stoll(line.substr(a + 1, b - a - 1)) - wayOffset) +
           line.substr(b) + "\n";
  }
  return out;
}

class RenumberedIds : public ::testing::Test {
 protected:
  void SetUp() override {
    GDALAllRegister();
    char tmpl[] = "/tmp/renumbered_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    FDir = std::string(tmpl) + "/";
    FInclude.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
  }
  void TearDown() override { fs::remove_all(FDir); }

  std::string Convert(const std::string& name, const std::string& text, int32_t format) {
    const std::string dir = FDir + name + "/";
    fs::create_directories(dir);
    std::ofstream(dir + "in.osm", std::ios::binary) << text;
    TRunOptions o;
    o.OutputFormat = format;
    o.Pedestrian = o.Bicycle = o.Car = true;
    o.BuildNetwork = true;
    o.Files = {dir + "in.osm"};
    o.MainDir = dir;
    TNullRunUI ui;
    const TRunResult r = RunConversion(o, FInclude, ui);
    EXPECT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    return dir;
  }

  std::string FDir;
  TIncludeLists FInclude;
};

}  // namespace

TEST_F(RenumberedIds, SameTableAndNetworkAsTheOriginal) {
  const std::string extracts[] = {std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm",
                                  std::string(SHARED_DATA_DIR) + "/osm/berlin-siegessaeule.osm.gz"};
  const struct {
    int64_t node, way;
  } shifts[] = {{14000000000LL, 0}, {int64_t(1) << 40, int64_t(1) << 31}};
  for (const std::string& extract : extracts) {
    if (!fs::exists(extract)) continue;
    const std::string text = ReadOsmText(extract);
    for (const int32_t format : {0, 1}) {
      const std::string table = format == 0 ? "roads.mif" : "roads.shp";
      const std::string orig = Convert("orig", text, format);
      const std::vector<TRecord> want = ReadTable(orig + table);
      ASSERT_FALSE(want.empty()) << extract;
      for (const auto& s : shifts) {
        SCOPED_TRACE(extract + " format " + std::to_string(format) + " node +" + std::to_string(s.node) +
                     " way +" + std::to_string(s.way));
        const std::string dir = Convert("moved", Renumber(text, s.node, s.way), format);
        const std::vector<TRecord> got = ReadTable(dir + table);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
          EXPECT_EQ(std::stoll(got[i].osmId), std::stoll(want[i].osmId) + s.way) << i;
          EXPECT_EQ(got[i].rest, want[i].rest) << i;
        }
        EXPECT_EQ(ReadAll(dir + "additional_highway_tags.txt"), ReadAll(orig + "additional_highway_tags.txt"));
        EXPECT_EQ(ErrorLinesBack(ReadAll(dir + "error.txt"), s.way), ReadAll(orig + "error.txt"));

        // The network: every file the same but the way ids of road-name file 1
        // (the report differs only by its paths and times).
        for (const char* f : {"coord.bin", "link.bin", "length.bin", "node.bin", "coord3.bin", "coord3i.bin",
                              "spatialindex.bin", "attribute.bin", "roadname02.bin", "roadnumber02.bin"})
          EXPECT_EQ(ReadAll(dir + f), ReadAll(orig + f)) << f;
        const auto links = static_cast<int32_t>(fs::file_size(orig + "roadnumber01.bin") / 4);
        TRoadNameFile a, b;
        a.Load(orig, false, 0, 1, links);
        b.Load(dir, false, 0, 1, links);
        for (int32_t k = 1; k <= links; ++k)
          ASSERT_EQ(std::stoll(b.RoadName1(k)), std::stoll(a.RoadName1(k)) + s.way) << k;
        a.Close();
        b.Close();
        fs::remove_all(dir);
      }
      fs::remove_all(orig);
    }
  }
}
