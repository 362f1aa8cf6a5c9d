// TAB output through the mitab library: the probe, the fallback to MIF, and
// tables read back with GDAL (fields, values in two code pages, geometry,
// styles), the coordinate-system bounds, the size check and the limits.
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_giswriter_tab.h"
#include "linvoro_mitab.h"
#include "temp_dir_test.h"

namespace {

namespace fs = std::filesystem;

std::string ExeFolder() { return fs::read_symlink("/proc/self/exe").parent_path().string() + "/"; }

// Puts the program's binding back to the real library whatever a test
// probed in between.
struct TRestoreLibrary {
  ~TRestoreLibrary() { TMitabLibrary::Instance().Load(MitabLibraryName); }
};

struct TReadFeature {
  std::vector<std::string> values;
  std::vector<bool> isNull;
  std::string geometryType;  // "" for none
  std::vector<std::vector<TFloatPoint>> parts;
  std::string style;
};

struct TReadTable {
  bool opened = false;
  std::vector<std::string> names;
  std::vector<OGRFieldType> types;
  std::vector<TReadFeature> features;
};

void CollectParts(OGRGeometryH g, std::vector<std::vector<TFloatPoint>>& parts) {
  const int sub = OGR_G_GetGeometryCount(g);
  if (sub > 0) {
    for (int i = 0; i < sub; ++i) CollectParts(OGR_G_GetGeometryRef(g, i), parts);
    return;
  }
  std::vector<TFloatPoint> pts;
  for (int i = 0, n = OGR_G_GetPointCount(g); i < n; ++i)
    pts.push_back(TFloatPoint{OGR_G_GetX(g, i), OGR_G_GetY(g, i)});
  parts.push_back(std::move(pts));
}

TReadTable ReadTable(const std::string& path) {
  GDALAllRegister();
  TReadTable t;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr,
                               nullptr);
  if (!ds) return t;
  t.opened = true;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i) {
    OGRFieldDefnH f = OGR_FD_GetFieldDefn(defn, i);
    t.names.emplace_back(OGR_Fld_GetNameRef(f));
    t.types.push_back(OGR_Fld_GetType(f));
  }
  OGR_L_ResetReading(layer);
  while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
    TReadFeature r;
    for (int i = 0; i < OGR_F_GetFieldCount(f); ++i) {
      r.values.emplace_back(OGR_F_GetFieldAsString(f, i));
      r.isNull.push_back(!OGR_F_IsFieldSetAndNotNull(f, i));
    }
    if (OGRGeometryH g = OGR_F_GetGeometryRef(f)) {
      r.geometryType = OGR_G_GetGeometryName(g);
      CollectParts(g, r.parts);
    }
    if (const char* s = OGR_F_GetStyleString(f)) r.style = s;
    t.features.push_back(std::move(r));
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return t;
}

TFloatPointArrayEx Section(std::initializer_list<TFloatPoint> pts) {
  TFloatPointArrayEx s;
  s.Pnt.assign(pts.begin(), pts.end());
  s.Count = static_cast<int32_t>(pts.size());
  return s;
}

class TabWriterTest : public TTempDirTest {
 protected:
  TabWriterTest() : TTempDirTest("tabw_") {}

  void SetUp() override {
    TTempDirTest::SetUp();
    ASSERT_TRUE(TMitabLibrary::Instance().Ready())
        << "libmitab.so is not beside " << ExeFolder() << " (state "
        << int(TMitabLibrary::Instance().State()) << ")";
  }

  std::unique_ptr<TGISWriterMITAB> NewWriter(const std::string& stem) {
    std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(gfMITAB);
    auto* tab = dynamic_cast<TGISWriterMITAB*>(w.get());
    EXPECT_NE(tab, nullptr);
    if (!tab) return nullptr;
    w.release();
    std::unique_ptr<TGISWriterMITAB> result(tab);
    result->SetFileName(Path(stem));
    return result;
  }

  bool Exists(const std::string& name) const { return fs::exists(Path(name)); }
};

void ExpectNearPoints(const std::vector<TFloatPoint>& got, const std::vector<TFloatPoint>& want,
                      double tolerance) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i].x, want[i].x, tolerance) << "point " << i;
    EXPECT_NEAR(got[i].y, want[i].y, tolerance) << "point " << i;
  }
}

}  // namespace

// ================================================================ the library

TEST_F(TabWriterTest, LibraryIsLoadedFromBesideTheExecutable) {
  const TMitabLibrary& lib = TMitabLibrary::Instance();
  EXPECT_EQ(lib.Version(), MitabLibVersion);
  EXPECT_EQ(lib.LoadedFrom(), ExeFolder() + MitabLibraryName);
  EXPECT_TRUE(TGISWriter::MITAB_supported());
  EXPECT_NE(dynamic_cast<TGISWriterMITAB*>(TGISWriter::GetGISObject(gfMITAB).get()), nullptr);
  // The other codes are untouched by the back-end.
  EXPECT_EQ(dynamic_cast<TGISWriterTAB*>(TGISWriter::GetGISObject(gfMIF).get()), nullptr);
  EXPECT_EQ(dynamic_cast<TGISWriterTAB*>(TGISWriter::GetGISObject(gfMFAL).get()), nullptr);
}

TEST_F(TabWriterTest, ProbeAcceptsOnlyTheCompleteLibraryOfItsVersion) {
  TRestoreLibrary restore;
  struct Case {
    std::string name;
    TMitabState state;
  };
  const Case cases[] = {
      {"libmitab-not-installed.so", msNotFound},
      {"libm.so.6", msNoVersion},  // a library without mitab_c_getlibversion
      {"libmitab_oldversion.so", msWrongVersion},
      {"libmitab_partial.so", msMissingEntry},
      {ExeFolder() + MitabLibraryName, msReady},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TMitabLibrary::Instance().Load(c.name), c.state) << c.name;
    EXPECT_EQ(TGISWriter::MITAB_supported(), c.state == msReady) << c.name;
    const bool tab = dynamic_cast<TGISWriterMITAB*>(TGISWriter::GetGISObject(gfMITAB).get());
    EXPECT_EQ(tab, c.state == msReady) << c.name;
  }
  EXPECT_EQ(TMitabLibrary::Instance().Load("libmitab_oldversion.so"), msWrongVersion);
  EXPECT_EQ(TMitabLibrary::Instance().Version(), 1007000);
}

TEST_F(TabWriterTest, WithoutTheLibraryATabRequestWritesMif) {
  TRestoreLibrary restore;
  TMitabLibrary::Instance().Load("libmitab-not-installed.so");
  std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(gfMITAB);
  ASSERT_NE(dynamic_cast<TGISWriterMIF*>(w.get()), nullptr);
  w->SetFileName(Path("roads"));
  w->StartHeader(1, otPline);
  w->AddField("osm_id", gfChar, 10, 0);
  w->AddLine(1, 2, 3, 4, "\"4711\"");
  w->Close();
  EXPECT_TRUE(Exists("roads.mif"));
  EXPECT_TRUE(Exists("roads.mid"));
  EXPECT_FALSE(Exists("roads.tab"));
  const TReadTable t = ReadTable(Path("roads.mif"));
  ASSERT_EQ(t.features.size(), 1u);
  EXPECT_EQ(t.features[0].values[0], "4711");
}

// The 8-bit charsets always; UTF-8 only when GDAL's MapInfo driver knows
// it (not before GDAL 3.10); UTF-16 never.
TEST_F(TabWriterTest, CharsetsTheLibraryCanWrite) {
  EXPECT_TRUE(TabCharsetWritable("WindowsLatin1"));
  EXPECT_TRUE(TabCharsetWritable("WindowsCyrillic"));
  EXPECT_TRUE(TabCharsetWritable("ISO8859_5"));
  EXPECT_FALSE(TabCharsetWritable("UTF-16"));
  EXPECT_FALSE(TabCharsetWritable("no such\"name"));
  if (std::atoi(GDALVersionInfo("VERSION_NUM")) < 3100000) {
    EXPECT_FALSE(TabCharsetWritable("UTF-8"));
  }
  TRestoreLibrary restore;
  TMitabLibrary::Instance().Load("libmitab-not-installed.so");
  EXPECT_FALSE(TabCharsetWritable("WindowsLatin1"));
}

// ================================================================ contents

// A character field's declared width is a number of characters: a longer
// value is cut there, at a whole character, and where characters can take
// several bytes the library gets a field as many bytes wide as that many of
// the widest kind (254 at most, where the value is cut between characters).
TEST_F(TabWriterTest, CharacterValuesAreCutAtWholeCharacters) {
  std::string hundred, cut84;
  for (int i = 0; i < 100; ++i) (i < 84 ? cut84 : hundred) += "日";
  hundred = cut84 + hundred;
  const struct {
    uint16_t codepage;
    std::string value;
    uint8_t width;
    std::string stored;
    int tabWidth;
  } cases[] = {
      {1252, "abcdef", 3, "abc", 3},
      {1251, "Жизнь", 4, "Жизн", 4},
      {932, "日本語", 5, "日本語", 10},
      {932, "日本語テキスト", 5, "日本語テキ", 10},
      {65001, "日本語テキスト", 5, "日本語テキ", 20},
      {65001, "aЖbc", 2, "aЖ", 8},
      {65001, "😀😀", 7, "😀😀", 28},
      {65001, hundred, 100, cut84, 254},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value + " in " + std::to_string(c.codepage));
    const std::string stem = "cut" + std::to_string(n++);
    auto w = NewWriter(stem);
    ASSERT_TRUE(w);
    w->SetEncoding(c.codepage);
    w->StartHeader(1, otPline);
    w->AddField("name", gfChar, c.width, 0);
    w->AddLine(0, 0, 1, 1, "\"" + c.value + "\"");
    w->Close();
    EXPECT_EQ(w->FieldInfo(1).Width, c.tabWidth);
    EXPECT_NE(Slurp(Path(stem + ".tab")).find("name Char (" + std::to_string(c.tabWidth) + ")"),
              std::string::npos);
    CPLPushErrorHandler(CPLQuietErrorHandler);  // GDAL may not know UTF-8 TAB yet
    const TReadTable t = ReadTable(Path(stem + ".tab"));
    CPLPopErrorHandler();
    ASSERT_EQ(t.features.size(), 1u);
    EXPECT_EQ(t.features[0].values[0], c.stored);
  }
}

// Every field type, text in the table's code page, and multi-part lines.
TEST_F(TabWriterTest, FieldsValuesAndGeometryReadBackInEachCodePage) {
  struct Case {
    uint16_t codepage;
    const char* charset;
    std::string text;  // UTF-8, representable in the code page
  };
  const Case cases[] = {
      {1252, "WindowsLatin1", "M\xC3\xBCllerstra\xC3\x9F" "e \xC3\xA9t\xC3\xA9"},
      {1251, "WindowsCyrillic", "\xD0\xA3\xD0\xBB\xD0\xB8\xD1\x86\xD0\xB0 \xD0\x9B\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xBD\xD0\xB0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codepage);
    const std::string stem = "cp" + std::to_string(c.codepage);
    auto w = NewWriter(stem);
    ASSERT_TRUE(w);
    w->SetCodepage(c.codepage);
    w->StartHeader(8, otPline);
    w->AddField("name", gfChar, 40, 0);
    w->AddField("count", gfInteger, 0, 0);
    w->AddField("small", gfSmallInt, 0, 0);
    w->AddField("dec", gfDecimal, 7, 2);
    w->AddField("one", gfDecimal, 1, 0);
    w->AddField("flt", gfFloat, 0, 0);
    w->AddField("day", gfDate, 0, 0);
    w->AddField("flag", gfLogical, 0, 0);
    w->AddObject(2, false, "\"" + c.text + "\",123456,-7,1234.56,1,0.125,20240131,T");
    w->AddSection(1, Section({{13.25, 52.5}, {13.5, 52.75}, {13.75, 52.5}}));
    w->AddSection(1, Section({{14, 53}, {14.5, 53.5}}));
    w->AddLine(-1.5, -2.5, 1.5, 2.5, "\"say \"\"hi\"\"\",0,0,0,0,0,,n");
    w->Close();
    EXPECT_EQ(w->WrittenRecords(), 2);

    const std::string tab = Slurp(Path(stem + ".tab"));
    EXPECT_NE(tab.find(std::string("!charset ") + c.charset), std::string::npos) << tab;
    const TReadTable t = ReadTable(Path(stem + ".tab"));
    ASSERT_TRUE(t.opened);
    EXPECT_EQ(t.names, (std::vector<std::string>{"name", "count", "small", "dec", "one", "flt",
                                                 "day", "flag"}));
    EXPECT_EQ(t.types, (std::vector<OGRFieldType>{OFTString, OFTInteger, OFTInteger, OFTReal,
                                                  OFTReal, OFTReal, OFTDate, OFTString}));
    ASSERT_EQ(t.features.size(), 2u);
    const TReadFeature& a = t.features[0];
    EXPECT_EQ(a.values, (std::vector<std::string>{c.text, "123456", "-7", "1234.56", "1", "0.125",
                                                  "2024/01/31", "T"}));
    EXPECT_EQ(a.geometryType, "MULTILINESTRING");
    ASSERT_EQ(a.parts.size(), 2u);
    ExpectNearPoints(a.parts[0], {{13.25, 52.5}, {13.5, 52.75}, {13.75, 52.5}}, 1e-6);
    ExpectNearPoints(a.parts[1], {{14, 53}, {14.5, 53.5}}, 1e-6);
    const TReadFeature& b = t.features[1];
    EXPECT_EQ(b.values[0], "say \"hi\"");
    EXPECT_EQ(b.values[7], "F");
    EXPECT_TRUE(b.isNull[6]);  // an empty date stays empty
    EXPECT_EQ(b.geometryType, "LINESTRING");
    ASSERT_EQ(b.parts.size(), 1u);
    ExpectNearPoints(b.parts[0], {{-1.5, -2.5}, {1.5, 2.5}}, 1e-6);
  }
}

TEST_F(TabWriterTest, StylesReachTheTable) {
  struct Case {
    TObjectTypes kind;
    TMIPen pen;
    std::vector<std::string> expected;  // pieces of the style string read back
    std::vector<std::string> absent;
  };
  TMIBrush brush{3, 0x0000FF00, 0x000000FF};  // green on red (stored as 0x00BBGGRR)
  const Case cases[] = {
      {otPline, TMIPen{3, 5, 0x000000FF}, {"PEN(w:3px", "c:#ff0000", "mapinfo-pen-5"}, {}},
      {otPline, TMIPen{}, {"PEN(w:1px", "c:#000000", "mapinfo-pen-2"}, {}},
      // Width 9 is no MapInfo pen: the library's default pen stands.
      {otPline, TMIPen{9, 5, 0x000000FF}, {"PEN(w:1px", "c:#000000", "mapinfo-pen-2"}, {"ff0000"}},
      // Region: brush with a transparent background (no bc), and the pen.
      {otRegion, TMIPen{2, 2, 0x00FF0000},
       {"BRUSH(fc:#00ff00", "mapinfo-brush-3", "PEN(w:2px", "c:#0000ff"}, {"bc:"}},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(k);
    const std::string stem = "style" + std::to_string(k++);
    auto w = NewWriter(stem);
    ASSERT_TRUE(w);
    w->SetPen(c.pen);
    w->SetBrush(brush);
    w->StartHeader(1, c.kind);
    w->AddField("id", gfInteger, 0, 0);
    w->AddObject(2, true, "1");
    if (c.kind == otRegion) {
      w->AddSection(1, Section({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}}));
      w->AddSection(1, Section({{2, 2}, {2, 4}, {4, 4}, {2, 2}}));
    } else {
      w->AddSection(1, Section({{0, 0}, {1, 1}}));
      w->AddSection(1, Section({{2, 2}, {3, 3}}));
    }
    w->Close();
    const TReadTable t = ReadTable(Path(stem + ".tab"));
    ASSERT_EQ(t.features.size(), 1u);
    for (const std::string& piece : c.expected)
      EXPECT_NE(t.features[0].style.find(piece), std::string::npos) << t.features[0].style;
    for (const std::string& piece : c.absent)
      EXPECT_EQ(t.features[0].style.find(piece), std::string::npos) << t.features[0].style;
    if (c.kind == otRegion) {
      EXPECT_EQ(t.features[0].geometryType, "POLYGON");
      ASSERT_EQ(t.features[0].parts.size(), 2u);
      EXPECT_EQ(t.features[0].parts[1].size(), 4u);
    }
  }
}

TEST_F(TabWriterTest, PointsCarryTheirSymbol) {
  auto w = NewWriter("points");
  ASSERT_TRUE(w);
  w->SetSymbol(TMISymbol{35, 0x00FF0000, 14});  // blue star
  w->StartHeader(1, otPoint);
  w->AddField("name", gfChar, 10, 0);
  w->AddPoint(7.25, 46.5, "\"a\"");
  w->AddPoint2(TFloatPoint{8.5, 47.25}, "\"b\"");
  w->AddLine(0, 0, 1, 1, "\"ignored\"");  // no lines in a point table
  w->Close();
  EXPECT_EQ(w->WrittenRecords(), 2);
  const TReadTable t = ReadTable(Path("points.tab"));
  ASSERT_EQ(t.features.size(), 2u);
  EXPECT_EQ(t.features[1].values[0], "b");
  EXPECT_EQ(t.features[1].geometryType, "POINT");
  ExpectNearPoints(t.features[1].parts[0], {{8.5, 47.25}}, 1e-6);
  for (const char* piece : {"SYMBOL(", "mapinfo-sym-35", "c:#0000ff", "s:14pt"})
    EXPECT_NE(t.features[0].style.find(piece), std::string::npos) << t.features[0].style;
}

TEST_F(TabWriterTest, AttributeOnlyTableKeepsOnlyTabAndDat) {
  auto w = NewWriter("attr");
  ASSERT_TRUE(w);
  w->StartHeader(2, otNone);
  w->AddField("id", gfInteger, 0, 0);
  w->AddField("name", gfChar, 20, 0);
  w->AddObject(0, false, "1,\"one\"");
  w->AddObject(0, false, "2,\"two\"");
  w->Close();
  EXPECT_TRUE(Exists("attr.tab"));
  EXPECT_TRUE(Exists("attr.dat"));
  EXPECT_FALSE(Exists("attr.map"));
  EXPECT_FALSE(Exists("attr.id"));
  const TReadTable t = ReadTable(Path("attr.tab"));
  ASSERT_EQ(t.features.size(), 2u);
  EXPECT_EQ(t.features[1].values, (std::vector<std::string>{"2", "two"}));
  EXPECT_EQ(t.features[1].geometryType, "");
}

// ================================================================ coordinate system

TEST(TabBounds, SplitAtTheBoundsPart) {
  struct Case {
    std::string coordSys, clause;
    double xmin, ymin, xmax, ymax;
  };
  const Case cases[] = {
      {DefaultCoordSys, DefaultCoordSys, 0, 0, 0, 0},
      {std::string(DefaultCoordSys) + " Bounds (-180, -90) (180, 90)",
       std::string(DefaultCoordSys) + " ", -180, -90, 180, 90},
      {"CoordSys Earth Projection 8, 104, \"m\", 9, 0, 0.9996, 500000, 0 bounds (-7745844.3, "
       "-9997964.9) (8745844.3, 9997964.9)",
       "CoordSys Earth Projection 8, 104, \"m\", 9, 0, 0.9996, 500000, 0 ", -7745844.3,
       -9997964.9, 8745844.3, 9997964.9},
      {"CoordSys NonEarth Units \"m\" Bounds (0, 0)", "CoordSys NonEarth Units \"m\" ", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    std::string clause;
    double b[4];
    TGISWriterMITAB::SplitBounds(c.coordSys, clause, b[0], b[1], b[2], b[3]);
    EXPECT_EQ(clause, c.clause);
    EXPECT_EQ(b[0], c.xmin) << c.coordSys;
    EXPECT_EQ(b[1], c.ymin) << c.coordSys;
    EXPECT_EQ(b[2], c.xmax) << c.coordSys;
    EXPECT_EQ(b[3], c.ymax) << c.coordSys;
  }
}

// Tighter bounds give finer integer coordinates in the .map file: with the
// world's bounds a point keeps 7 decimals, with MapInfo's default (+-1000
// degrees) only 6.
TEST_F(TabWriterTest, BoundsOfTheCoordSysReachTheMapFile) {
  const double x = 13.1234567, y = 52.7654321;
  struct Case {
    std::string coordSys;
    bool fine;
  };
  const Case cases[] = {
      {std::string(DefaultCoordSys) + " Bounds (-180, -90) (180, 90)", true},
      {DefaultCoordSys, false},
  };
  int k = 0;
  for (const Case& c : cases) {
    const std::string stem = "bounds" + std::to_string(k++);
    auto w = NewWriter(stem);
    ASSERT_TRUE(w);
    w->SetCoordSys(c.coordSys);
    w->StartHeader(1, otPoint);
    w->AddField("id", gfInteger, 0, 0);
    w->AddPoint(x, y, "1");
    w->Close();
    const TReadTable t = ReadTable(Path(stem + ".tab"));
    ASSERT_EQ(t.features.size(), 1u);
    const TFloatPoint p = t.features[0].parts[0][0];
    const double error = std::max(std::fabs(p.x - x), std::fabs(p.y - y));
    if (c.fine)
      EXPECT_LT(error, 1.5e-7) << c.coordSys;
    else
      EXPECT_GT(error, 1.5e-7) << c.coordSys;
  }
}

TEST_F(TabWriterTest, FailedCreationSilentlyDisablesTheWriter) {
  struct Case {
    std::string stem, coordSys;
  };
  const Case cases[] = {
      {"missing-folder/roads", DefaultCoordSys},
      {"badcs", "CoordSys Bogus"},
  };
  for (const Case& c : cases) {
    auto w = NewWriter(c.stem);
    ASSERT_TRUE(w);
    w->SetCoordSys(c.coordSys);
    w->StartHeader(1, otPline);
    w->AddField("id", gfInteger, 0, 0);
    w->AddLine(0, 0, 1, 1, "1");
    w->AddObject(1, false, "2");
    w->AddSection(1, Section({{0, 0}, {1, 1}}));
    w->Close();
    w->Drop();
    EXPECT_EQ(w->WrittenRecords(), 0) << c.stem;
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

// ================================================================ limits and life cycle

TEST(TabSizeCheck, NextCheckPoint) {
  struct Case {
    int64_t written, largest, fullAt, next;
  };
  const Case cases[] = {
      {1, 1024, 2147000000, 1048340},        // 0.5 + 1.0735e9 / 1024
      {10, 1073500000, 2147000000, 15},      // half the full point: halfway again
      {1000, 2147000001, 2147000000, 1001},  // past it: every record
      {7, 0, 2147000000, 14},                // nothing on disk yet: doubling
      {10000000000LL, 1, 2147000000, INT64_MAX},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TGISWriterTAB::NextSizeCheck(c.written, c.largest, c.fullAt), c.next)
        << c.written << " " << c.largest;
}

// A file within the reserve of the limit ends the table: closed complete,
// ETableFull naming the table and the remedy. NativeX tables are exempt.
TEST_F(TabWriterTest, TableIsClosedOnceAFileReachesTheLimit) {
  for (bool nativeX : {false, true}) {
    const std::string stem = nativeX ? "nx" : "big";
    auto w = NewWriter(stem);
    ASSERT_TRUE(w);
    w->SetnativeX(nativeX);
    w->StartHeader(1, otPline);
    w->AddField("id", gfInteger, 0, 0);
    // A sparse .id file stands in for 2 GB of written objects.
    fs::resize_file(Path(stem + ".id"), TabSizeLimit - TGISWriterTAB::SizeReserve(TabSizeLimit));
    if (nativeX) {
      w->AddLine(0, 0, 1, 1, "1");
      EXPECT_EQ(w->WrittenRecords(), 1);
    } else {
      try {
        w->AddLine(0, 0, 1, 1, "1");
        ADD_FAILURE() << "not full";
      } catch (const ETableFull& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("Table big is full: big.tab cannot grow past 2,147,483,647 bytes"), std::string::npos) << m;
        EXPECT_NE(m.find("--format gpkg, or MIF"), std::string::npos) << m;
      }
      // Closed: nothing more is written.
      w->AddLine(0, 0, 1, 1, "2");
      EXPECT_EQ(w->WrittenRecords(), 1);
    }
    w->Drop();
    EXPECT_FALSE(Exists(stem + ".id"));
  }
}

TEST_F(TabWriterTest, RegionPartLimit) {
  auto w = NewWriter("regions");
  ASSERT_TRUE(w);
  w->StartHeader(1, otRegion);
  w->AddField("id", gfInteger, 0, 0);
  try {
    w->AddObject(TGISWriterMITAB::MaxRegionParts + 1, true, "1");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "No more than 122500 parts");
  }
  // The refused record left nothing half done.
  w->AddObject(1, false, "2");
  w->AddSection(1, Section({{0, 0}, {1, 0}, {1, 1}, {0, 0}}));
  w->Close();
  EXPECT_EQ(ReadTable(Path("regions.tab")).features.size(), 1u);

  auto lines = NewWriter("lines");
  ASSERT_TRUE(lines);
  lines->StartHeader(1, otPline);
  lines->AddField("id", gfInteger, 0, 0);
  EXPECT_NO_THROW(lines->AddObject(TGISWriterMITAB::MaxRegionParts + 1, false, "1"));
  lines->Close();
}

TEST_F(TabWriterTest, BadRowRaisesAndTheNextRecordIsWritten) {
  auto w = NewWriter("rows");
  ASSERT_TRUE(w);
  w->StartHeader(2, otPline);
  w->AddField("a", gfInteger, 0, 0);
  w->AddField("b", gfInteger, 0, 0);
  EXPECT_THROW(w->AddLine(0, 0, 1, 1, "1,2,3"), Exception);
  w->AddLine(0, 0, 1, 1, "4,5");
  w->Close();
  EXPECT_EQ(w->WrittenRecords(), 1);
  const TReadTable t = ReadTable(Path("rows.tab"));
  ASSERT_EQ(t.features.size(), 1u);
  EXPECT_EQ(t.features[0].values, (std::vector<std::string>{"4", "5"}));
}

// A repeated field name (the driver renames the second "a") must not move
// the values of the fields after it into the wrong columns.
TEST_F(TabWriterTest, RepeatedFieldNameKeepsEveryColumnInPlace) {
  auto w = NewWriter("dup");
  ASSERT_TRUE(w);
  w->StartHeader(3, otPline);
  w->AddField("a", gfInteger, 0, 0);
  w->AddField("a", gfInteger, 0, 0);
  w->AddField("b", gfChar, 5, 0);
  w->AddLine(0, 0, 1, 1, "1,2,\"x\"");
  w->Close();
  const TReadTable t = ReadTable(Path("dup.tab"));
  ASSERT_EQ(t.features.size(), 1u);
  ASSERT_EQ(t.names.back(), "b");
  EXPECT_EQ(t.features[0].values, (std::vector<std::string>{"1", "2", "x"}));
}

// A value wider than its decimal field must not cost the record.
TEST_F(TabWriterTest, ValuesTooWideForTheirFieldKeepTheRecord) {
  auto w = NewWriter("wide");
  ASSERT_TRUE(w);
  w->StartHeader(2, otPline);
  w->AddField("lanes", gfDecimal, 3, 1);
  w->AddField("toll", gfDecimal, 1, 0);
  const char* rows[] = {"2.5,1", "12,5", "9.96,100", "-3,-1"};
  for (const char* row : rows) w->AddLine(0, 0, 1, 1, row);
  w->Close();
  const TReadTable t = ReadTable(Path("wide.tab"));
  ASSERT_EQ(t.features.size(), 4u);
  const std::vector<std::vector<std::string>> expected = {
      {"2.5", "1"}, {"9.9", "5"}, {"9.9", "99"}, {"0.0", "-1"}};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(t.features[i].values, expected[i]) << rows[i];
}

// A table that could not be written whole (here: the file size limit of a
// full disk) raises, whether the library meets the limit while records come
// in or only when the table is closed.
TEST_F(TabWriterTest, WriteFailureIsNotSuccess) {
  for (int records : {2000, 60000}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{100000, 100000};
      setrlimit(RLIMIT_FSIZE, &limit);
      int code = 3;
      try {
        auto w = NewWriter("full" + std::to_string(records));
        w->StartHeader(1, otPline);
        w->AddField("text", gfChar, 100, 0);
        const std::string row = "\"" + std::string(90, 'x') + "\"";
        for (int i = 0; i < records; ++i) w->AddLine(i, 0, i + 1, 1, row);
        w->Close();
        code = 0;
      } catch (const EWriteError&) {
        code = 1;
      } catch (...) {
        code = 2;
      }
      _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << records;
    EXPECT_EQ(WEXITSTATUS(status), 1) << records;
  }
}

TEST_F(TabWriterTest, LifeCycle) {
  auto write = [&](const std::string& stem, int records, bool close) {
    auto w = NewWriter(stem);
    ASSERT_TRUE(w);
    w->StartHeader(1, otPline);
    w->AddField("id", gfInteger, 0, 0);
    for (int i = 0; i < records; ++i) w->AddLine(i, 0, i + 1, 1, std::to_string(i));
    if (close) w->Close();
  };
  // Written again, a table is replaced.
  write("again", 3, true);
  write("again", 2, true);
  EXPECT_EQ(ReadTable(Path("again.tab")).features.size(), 2u);
  // Released without Close, the table is still completed.
  write("unclosed", 4, false);
  EXPECT_EQ(ReadTable(Path("unclosed.tab")).features.size(), 4u);
  // A record short of its sections keeps its row.
  {
    auto w = NewWriter("short");
    ASSERT_TRUE(w);
    w->StartHeader(1, otPline);
    w->AddField("id", gfInteger, 0, 0);
    w->AddObject(2, false, "7");
    w->AddSection(1, Section({{0, 0}, {1, 1}}));
    w->Close();
    const TReadTable t = ReadTable(Path("short.tab"));
    ASSERT_EQ(t.features.size(), 1u);
    EXPECT_EQ(t.features[0].values[0], "7");
  }
  // Drop removes every file.
  auto w = NewWriter("dropped");
  ASSERT_TRUE(w);
  w->StartHeader(1, otPline);
  w->AddField("id", gfInteger, 0, 0);
  w->AddLine(0, 0, 1, 1, "1");
  w->Drop();
  for (const char* ext : {".tab", ".map", ".dat", ".id"}) EXPECT_FALSE(Exists(std::string("dropped") + ext));
}

// ================================================================ end to end

TEST_F(TabWriterTest, CommandLineRoadTableMatchesTheShapefile) {
  const std::string cli = ExeFolder() + "osm2trassel-cli";
  ASSERT_TRUE(fs::exists(cli)) << cli << " is not there";  // the build always makes it
  const std::string input = std::string(PROJECT_DATA_DIR) + "/sample/west-oakland.osm";
  for (const char* format : {"tab", "shp"}) {
    const std::string cmd = cli + " -q --format " + format + " --modes car,bicycle --optional lanes,maxspeed -o " +
                            Path(format) + " " + input;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  const TReadTable tab = ReadTable(Path("tab/roads.tab"));
  const TReadTable shp = ReadTable(Path("shp/roads.shp"));
  ASSERT_TRUE(tab.opened);
  ASSERT_TRUE(shp.opened);
  EXPECT_GT(shp.features.size(), 10u);
  EXPECT_EQ(tab.features.size(), shp.features.size());
  EXPECT_EQ(tab.names, shp.names);
  ASSERT_EQ(tab.features.size(), shp.features.size());
  for (size_t i = 0; i < tab.features.size(); ++i) {
    const TReadFeature& a = tab.features[i];
    const TReadFeature& b = shp.features[i];
    EXPECT_EQ(a.values[0], b.values[0]) << i;  // osm_id
    EXPECT_EQ(a.values[1], b.values[1]) << i;  // name
    ASSERT_EQ(a.parts.size(), b.parts.size()) << i;
    for (size_t p = 0; p < a.parts.size(); ++p) ExpectNearPoints(a.parts[p], b.parts[p], 1e-6);
  }
}
