// Attribute words and road-name file pairs written from MIF and shapefile
// road tables, and read back through TRoadNameFile.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "linvoro_giswriter.h"
#include "linvoro_importattributes.h"
#include "linvoro_roadnamefile.h"
#include "linvoro_stringtree.h"
#include "linvoro_types.h"

namespace fs = std::filesystem;

namespace {

struct TRow {
  std::string osm_id;
  std::string name;
  std::string attribute;  // written unquoted
};

class RoadNames : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir = fs::temp_directory_path() /
          ("linvoro_roadnames_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  std::string D() const { return dir.string() + "/"; }

  // roads.* with fields osm_id (0), name (1), attribute (2); returns the
  // attribute file and its kind.
  std::pair<std::string, TFileKind> MakeRoads(TGISFormat fmt, const std::vector<TRow>& rows) {
    auto w = TGISWriter::GetGISObject(fmt);
    w->SetFileName(D() + "roads");
    w->StartHeader(3, otPline);
    w->AddField("osm_id", gfChar, 12, 0);
    w->AddField("name", gfChar, 40, 0);
    w->AddField("attribute", gfInteger, 0, 0);
    double x = 13.0;
    for (const TRow& r : rows) {
      w->AddLine(x, 52.0, x + 0.001, 52.001,
                 "\"" + r.osm_id + "\",\"" + r.name + "\"," + r.attribute);
      x += 0.01;
    }
    w->Close();
    if (fmt == gfMIF) return {D() + "roads.mid", fkCSV};
    return {D() + "roads.dbf", fkDBF};
  }

  std::vector<char> Bytes(const std::string& name) const {
    std::ifstream f(D() + name, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
  }
  template <class T>
  std::vector<T> Values(const std::string& name) const {
    const std::vector<char> b = Bytes(name);
    std::vector<T> v(b.size() / sizeof(T));
    if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
    return v;
  }

  fs::path dir;
};

const TGISFormat kFormats[] = {gfMIF, gfSHP};

}  // namespace

TEST(StringTree, CaseSensitiveDistinctKeysAndWidestKey) {
  TStringTree t;
  for (const char* s : {"main", "Main", "main", "Straße", "\xF0\x9F\x98\x80"}) t.Add(s);
  EXPECT_EQ(t.Count(), 4);
  // "Straße" is 6 UTF-16 units; the emoji, 4 UTF-8 bytes, is a surrogate pair.
  EXPECT_EQ(t.MaxLength(), 6);
  t.CreateID();
  EXPECT_NE(t.ID("main"), t.ID("Main"));
  EXPECT_EQ(t.ID("absent"), -1);
}

TEST_F(RoadNames, AttributeRangeIsChecked) {
  struct {
    const char* value;
    bool ok;
  } cases[] = {{"65535", true}, {"0", true}, {"65536", false}, {"-1", false}};
  for (TGISFormat fmt : kFormats) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(fmt == gfMIF ? "MIF " : "SHP ") + c.value);
      auto [file, kind] = MakeRoads(fmt, {{"1", "a", "7"}, {"2", "b", c.value}});
      TImportAttributes ia;
      ia.SetDirectory(D());
      ia.Add(file);
      if (c.ok) {
        ia.ExecuteAttribute(2, "", kind);
        const auto v = Values<uint16_t>("attribute.bin");
        ASSERT_EQ(v.size(), 2u);
        EXPECT_EQ(v[0], 7);
        EXPECT_EQ(v[1], std::stoi(c.value));
      } else {
        try {
          ia.ExecuteAttribute(2, "", kind);
          ADD_FAILURE() << "no exception";
        } catch (const EOutOfRange& e) {
          EXPECT_STREQ(e.what(), "Attribute value out of range");
        }
      }
    }
  }
}

TEST_F(RoadNames, AttributeFieldErrorsOfDbfTables) {
  auto [file, kind] = MakeRoads(gfSHP, {{"1", "a", "7"}});
  TImportAttributes ia;
  ia.SetDirectory(D());
  ia.Add(file);
  ia.ExecuteAttribute(0, "attribute", kind);  // the name wins over the index
  EXPECT_EQ(Values<uint16_t>("attribute.bin"), std::vector<uint16_t>{7});
  try {
    ia.ExecuteAttribute(0, "nosuch", kind);
    ADD_FAILURE();
  } catch (const EFieldNameNotFound& e) {
    EXPECT_STREQ(e.what(), "Field nosuch not found");
  }
  try {
    ia.ExecuteAttribute(3, "", kind);
    ADD_FAILURE();
  } catch (const EInvalidFieldIndex& e) {
    EXPECT_STREQ(e.what(), "Field 3 not valid - should be 0..2");
  }
}

TEST_F(RoadNames, RoadNameFileIndexRange) {
  TImportAttributes ia;
  for (int bad : {0, 100, -1}) {
    try {
      ia.SetRoadNameFileIndex(bad);
      ADD_FAILURE() << bad;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Roadname file index should be 1..99");
    }
  }
  EXPECT_EQ(ia.RoadNameFileIndex(), 1);
  auto [file, kind] = MakeRoads(gfMIF, {{"1", "a", "7"}});
  ia.SetDirectory(D());
  ia.Add(file);
  ia.SetRoadNameFileIndex(7);
  ia.ExecuteRoadname(1, "", kind);
  EXPECT_TRUE(fs::exists(dir / "roadname07.bin"));
  EXPECT_TRUE(fs::exists(dir / "roadnumber07.bin"));
  ia.SetRoadNameFileIndex(42);
  ia.ExecuteRoadname(1, "", kind);
  EXPECT_TRUE(fs::exists(dir / "roadname42.bin"));
}

TEST_F(RoadNames, NameFilesFromBothTableKinds) {
  struct {
    const char* what;
    std::vector<TRow> rows;
    std::vector<std::string> names;  // expected name of each link
    size_t records;
  } cases[] = {
      {"all same", {{"1", "Elm", "0"}, {"2", "Elm", "0"}, {"3", "Elm", "0"}},
       {"Elm", "Elm", "Elm"}, 1},
      {"empty", {{"1", "", "0"}, {"2", "", "0"}}, {"", ""}, 1},
      {"case", {{"1", "Main", "0"}, {"2", "main", "0"}, {"3", "Main", "0"}},
       {"Main", "main", "Main"}, 2},
      {"mixed", {{"1", "Ölweg", "0"}, {"2", "", "0"}, {"3", "B", "0"}},
       {"Ölweg", "", "B"}, 3},
  };
  for (TGISFormat fmt : kFormats) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(fmt == gfMIF ? "MIF " : "SHP ") + c.what);
      auto [file, kind] = MakeRoads(fmt, c.rows);
      TImportAttributes ia;
      ia.SetDirectory(D());
      ia.Add(file);
      ia.ExecuteRoadname(1, "", kind);
      const auto numbers = Values<int32_t>("roadnumber01.bin");
      ASSERT_EQ(numbers.size(), c.rows.size());
      if (c.records == 1) {
        EXPECT_EQ(numbers, std::vector<int32_t>(c.rows.size(), 1));
      }
      TRoadNameFile rn;
      rn.Load(D(), false, 0, 1, static_cast<int32_t>(c.rows.size()));
      EXPECT_EQ(rn.MaxRoadNameID(), static_cast<int32_t>(c.records));
      for (size_t k = 0; k < c.names.size(); ++k)
        EXPECT_EQ(rn.RoadName1(static_cast<int32_t>(k + 1)), c.names[k]) << k;
      if (std::string(c.what) == "empty") {
        // Stored as a single blank, so the record is one UTF-16 unit wide.
        EXPECT_EQ(Bytes("roadname01.bin"), (std::vector<char>{' ', '\0'}));
      }
      // The id file drives the osm ids too.
      ia.SetRoadNameFileIndex(2);
      ia.ExecuteRoadname(0, "", kind);
      TRoadNameFile ids;
      ids.Load(D(), true, 0, 2, static_cast<int32_t>(c.rows.size()));
      for (size_t k = 0; k < c.rows.size(); ++k)
        EXPECT_EQ(ids.RoadName1(static_cast<int32_t>(k + 1)), c.rows[k].osm_id);
    }
  }
}

TEST_F(RoadNames, MifHeaderGivesFieldIndexAndMissingMifIsReported) {
  auto [file, kind] = MakeRoads(gfMIF, {{"1", "Elm", "0"}, {"2", "Oak", "0"}});
  TImportAttributes ia;
  ia.SetDirectory(D());
  ia.Add(file);
  ia.ExecuteRoadname(0, "name", kind);
  TRoadNameFile rn;
  rn.Load(D(), false, 0, 1, 2);
  EXPECT_EQ(rn.RoadName1(2), "Oak");
  rn.Close();
  try {
    ia.ExecuteRoadname(0, "nosuch", kind);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Field NOSUCH not found in " + D() + "roads.mif");
  }
  fs::remove(dir / "roads.mif");
  try {
    ia.ExecuteRoadname(1, "", kind);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Corresponding MIF file is missing for MID file " + file);
  }
}

TEST_F(RoadNames, DbfNameFieldErrors) {
  auto [file, kind] = MakeRoads(gfSHP, {{"1", "Elm", "5"}});
  struct {
    int32_t index;
    const char* name;
    const char* message;
  } cases[] = {{2, "", "Invalid field type"},
               {0, "attribute", "Invalid field type"},
               {0, "nosuch", "Field Name not found"},
               {5, "", "FieldIndex out of bound"},
               {-2, "", "FieldIndex out of bound"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    TImportAttributes ia;
    ia.SetDirectory(D());
    ia.Add(file);
    try {
      ia.ExecuteRoadname(c.index, c.name, kind);
      ADD_FAILURE();
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  TImportAttributes none;
  none.SetDirectory(D());
  EXPECT_THROW(none.ExecuteRoadname(1, "", fkDBF), EFileMissing);
}

TEST_F(RoadNames, LoadChecksFilesAndLinkCount) {
  auto [file, kind] = MakeRoads(gfMIF, {{"1", "Elm", "0"}, {"2", "Oak", "0"}});
  TRoadNameFile rn;
  try {
    rn.Load(D(), false, 0, 1, 2);
    ADD_FAILURE();
  } catch (const EFileMissing& e) {
    EXPECT_EQ(std::string(e.what()), D() + "roadnumber01.bin does not exist");
  }
  TImportAttributes ia;
  ia.SetDirectory(D());
  ia.Add(file);
  ia.ExecuteRoadname(1, "", kind);
  for (int32_t links : {1, 3}) {
    try {
      rn.Load(D(), false, 0, 1, links);
      ADD_FAILURE() << links;
    } catch (const EInvalidParameter& e) {
      EXPECT_STREQ(e.what(),
                   "LinkCount parameter value and links in the roadname file is different");
    }
  }
  rn.Load(D(), false, 0, 1, 2);
  EXPECT_TRUE(rn.IsOpen());
  EXPECT_EQ(rn.RoadNameID1(1), 1);  // "Elm" sorts first
  EXPECT_EQ(rn.MaxRoadNameLengthUTF8(), 3);
  // Ids and links the file does not hold read as empty instead of past the end.
  EXPECT_EQ(rn.RoadName2(3), "");
  EXPECT_EQ(rn.RoadName2(0), "");
  EXPECT_EQ(rn.RoadName1(9), "");
  rn.Close();
  EXPECT_FALSE(rn.IsOpen());
}

TEST_F(RoadNames, HugeIdsWithoutNameRecordsLoadAtOnce) {
  // A damaged number file names id 2^31 - 1 while the name file is empty:
  // every name reads as empty, and opening must not count through the ids.
  const int32_t ids[2] = {INT32_MAX, 1};
  std::ofstream(D() + "roadnumber01.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(ids), sizeof ids);
  std::ofstream(D() + "roadname01.bin", std::ios::binary);
  for (const bool cache : {false, true}) {
    TRoadNameFile rn;
    rn.Load(D(), cache, 0, 1, 2);
    EXPECT_EQ(rn.MaxRoadNameLengthUTF8(), 0);
    EXPECT_EQ(rn.RoadName1(1), "");
    EXPECT_EQ(rn.RoadName1(2), "");
  }
}

TEST_F(RoadNames, CancelLeavesNoFiles) {
  std::vector<TRow> rows;
  for (int i = 0; i < 300; ++i) {
    std::string name(1, 'n');
    name += std::to_string(i % 17);
    rows.push_back({std::to_string(i), name, std::to_string(i)});
  }
  struct {
    const char* what;
    int32_t cancelAt;  // first percent at which the handler cancels
    bool attribute;
    bool flag;  // a stop flag raised before, the handler never cancelling
  } cases[] = {{"attribute", 1, true, false},
               {"names pass 1", 1, false, false},
               {"names pass 2", 41, false, false},
               {"attribute, stop flag", 101, true, true},
               {"names, stop flag", 101, false, true}};
  for (TGISFormat fmt : kFormats) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(fmt == gfMIF ? "MIF " : "SHP ") + c.what);
      auto [file, kind] = MakeRoads(fmt, rows);
      TImportAttributes ia;
      ia.SetDirectory(D());
      ia.Add(file);
      bool asked = false;
      const int32_t at = c.cancelAt;
      ia.SetOnProgress([&asked, at](TProgress*, int32_t p, bool& cancel) {
        if (p >= at) {
          cancel = true;
          asked = true;
        }
      });
      const std::atomic<bool> stop{true};
      if (c.flag) {
        ia.SetStopFlag(&stop);
        asked = true;
      }
      if (c.attribute) {
        ia.ExecuteAttribute(2, "", kind);
        EXPECT_FALSE(fs::exists(dir / "attribute.bin"));
      } else {
        ia.ExecuteRoadname(1, "", kind);
        EXPECT_FALSE(fs::exists(dir / "roadname01.bin"));
        EXPECT_FALSE(fs::exists(dir / "roadnumber01.bin"));
      }
      EXPECT_TRUE(asked);
      EXPECT_TRUE(ia.Cancelled());
    }
  }
}
