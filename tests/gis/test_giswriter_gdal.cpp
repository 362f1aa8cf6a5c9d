// Tables written by the GIS writers, read back by GDAL as an independent
// reader: field names, types, widths, values, geometries and record counts
// must come out as written, for MIF/MID, shapefiles and bare dBASE tables,
// in code pages 1252 and 1251, and in UTF-8 (TAB too).
#include <gtest/gtest.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "linvoro_giswriter.h"

namespace fs = std::filesystem;

namespace {

// prefix followed by the number n. Appending sidesteps a false -Wrestrict
// warning of g++ 12 on "literal" + std::string.
std::string WithNumber(std::string prefix, long long n) { return prefix.append(std::to_string(n)); }

class GdalReadBack : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GDALAllRegister(); }
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "gisgdalXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string Stem(const std::string& name) const { return (dir / name).string(); }
  fs::path dir;
};

// An open GDAL vector dataset with its first layer.
struct Dataset {
  GDALDatasetH ds = nullptr;
  OGRLayerH layer = nullptr;
  explicit Dataset(const std::string& path) {
    ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (ds && GDALDatasetGetLayerCount(ds) > 0) layer = GDALDatasetGetLayer(ds, 0);
  }
  ~Dataset() {
    if (ds) GDALClose(ds);
  }
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;
};

struct FieldExpect {
  std::string name;
  OGRFieldType type;
  int width;
  int precision;
};

void ExpectFields(OGRLayerH layer, const std::vector<FieldExpect>& fields) {
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  ASSERT_EQ(OGR_FD_GetFieldCount(defn), static_cast<int>(fields.size()));
  for (size_t i = 0; i < fields.size(); ++i) {
    OGRFieldDefnH f = OGR_FD_GetFieldDefn(defn, static_cast<int>(i));
    SCOPED_TRACE(fields[i].name);
    EXPECT_EQ(OGR_Fld_GetNameRef(f), fields[i].name);
    EXPECT_EQ(OGR_Fld_GetType(f), fields[i].type);
    if (fields[i].width >= 0) {
      EXPECT_EQ(OGR_Fld_GetWidth(f), fields[i].width);
    }
    if (fields[i].precision >= 0) {
      EXPECT_EQ(OGR_Fld_GetPrecision(f), fields[i].precision);
    }
  }
}

// Geometry as WKT-like text with coordinates in "%.15g", so that the
// comparison does not depend on GDAL's own number formatting.
std::string GeometryText(OGRGeometryH g) {
  std::string s = OGR_G_GetGeometryName(g);
  const int parts = OGR_G_GetGeometryCount(g);
  auto points = [](OGRGeometryH p) {
    std::string t = "(";
    for (int i = 0; i < OGR_G_GetPointCount(p); ++i) {
      char buf[64];
      std::snprintf(buf, sizeof(buf), "%s%.15g %.15g", i ? "," : "", OGR_G_GetX(p, i), OGR_G_GetY(p, i));
      t += buf;
    }
    return t + ")";
  };
  if (parts == 0) return s + " " + points(g);
  s += " (";
  for (int k = 0; k < parts; ++k) {
    OGRGeometryH sub = OGR_G_GetGeometryRef(g, k);
    if (k) s += ",";
    if (OGR_G_GetGeometryCount(sub) > 0) {  // polygon inside a multipolygon
      std::string inner = GeometryText(sub);
      s += inner.substr(inner.find('('));
    } else {
      s += points(sub);
    }
  }
  return s + ")";
}

// The features of the layer: field values as text (reals in "%.15g") and
// the geometry ("" for none).
struct Row {
  std::vector<std::string> values;
  std::string wkt;
};

std::vector<Row> ReadRows(OGRLayerH layer) {
  std::vector<Row> rows;
  OGR_L_ResetReading(layer);
  while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
    Row r;
    for (int i = 0; i < OGR_F_GetFieldCount(f); ++i) {
      if (!OGR_F_IsFieldSetAndNotNull(f, i)) {
        r.values.push_back("<null>");
      } else if (OGR_Fld_GetType(OGR_F_GetFieldDefnRef(f, i)) == OFTReal) {
        char buf[64];
        std::snprintf(buf, sizeof(buf), "%.15g", OGR_F_GetFieldAsDouble(f, i));
        r.values.push_back(buf);
      } else {
        r.values.push_back(OGR_F_GetFieldAsString(f, i));
      }
    }
    if (OGRGeometryH g = OGR_F_GetGeometryRef(f)) r.wkt = GeometryText(g);
    rows.push_back(std::move(r));
    OGR_F_Destroy(f);
  }
  return rows;
}

// The road-table fields the converter writes, plus a 255-wide text.
void AddRoadFields(TGISWriter& w, TObjectTypes ot) {
  w.StartHeader(7, ot);
  w.AddField("osm_id", gfChar, 10, 0);
  w.AddField("name", gfChar, 50, 0);
  w.AddField("type", gfChar, 25, 0);
  w.AddField("attribute", gfSmallInt, 0, 0);
  w.AddField("Car", gfDecimal, 1, 0);
  w.AddField("MaxHeight", gfDecimal, 4, 1);
  w.AddField("note", gfChar, 255, 0);
}

std::vector<FieldExpect> RoadFieldsAsRead(uint8_t format) {
  // Smallint: a 6-digit N field in dBASE, an Int16 in MIF; both read as
  // OFTInteger. The width of MIF integer columns is GDAL's own business.
  const bool mif = format == gfMIF;
  return {{"osm_id", OFTString, 10, -1},    {"name", OFTString, 50, -1},
          {"type", OFTString, 25, -1},      {"attribute", OFTInteger, mif ? -1 : 6, -1},
          {"Car", mif ? OFTReal : OFTInteger, 1, 0}, {"MaxHeight", OFTReal, 4, 1},
          {"note", OFTString, 254, -1}};
}

struct TextCase {
  uint16_t codepage;
  std::string name;  // UTF-8
};

class PolylineRoundTrip : public GdalReadBack,
                          public ::testing::WithParamInterface<std::tuple<uint8_t, TextCase>> {};

TEST_P(PolylineRoundTrip, FieldsValuesAndGeometry) {
  const uint8_t format = std::get<0>(GetParam());
  const TextCase text = std::get<1>(GetParam());
  auto w = TGISWriter::GetGISObject(format);
  w->SetFileName(Stem("roads"));
  w->SetCodepage(text.codepage);
  AddRoadFields(*w, otPline);
  const std::string quotedName = "\"" + text.name + "\"";
  const std::string longNote(300, 'x');
  w->AddLine(13.25, 52.5, 13.5, 52.75, "\"4711\"," + quotedName + ",\"residential\",21,1,4.5,\"\"");
  w->AddObject(1, false, "\"4712\",\"Main Street, North\",\"primary\",3,0,3,\"say \"\"hi\"\"\"");
  w->AddSection(1, TFloatPointArrayEx{{{1, 2}, {3, 4}, {5, 6.125}}, 3});
  w->AddObject(2, false, "\"4713\",\"\",\"track\",-5,1,123.4,\"" + longNote + "\"");
  w->AddSection(1, TFloatPointArrayEx{{{0, 0}, {1, 1}}, 2});
  w->AddSection(1, TFloatPointArrayEx{{{2, 2}, {3, 3}, {4, 4}}, 3});
  w->AddObject(0, false, "\"4714\",\"nothing\",\"none\",0,0,0,\"\"");
  w->Close();

  Dataset d(Stem("roads") + (format == gfMIF ? ".mif" : ".shp"));
  ASSERT_NE(d.layer, nullptr);
  ExpectFields(d.layer, RoadFieldsAsRead(format));
  EXPECT_EQ(OGR_L_GetFeatureCount(d.layer, TRUE), 4);
  const std::vector<Row> rows = ReadRows(d.layer);
  ASSERT_EQ(rows.size(), 4u);
  // Text fields are stored cut to their width; the read-back drops trailing
  // blanks.
  const std::vector<std::vector<std::string>> values = {
      {"4711", text.name, "residential", "21", "1", "4.5", format == gfMIF ? "" : "<null>"},
      {"4712", "Main Street, North", "primary", "3", "0", "3", "say \"hi\""},
      {"4713", format == gfMIF ? "" : "<null>", "track", "-5", "1",
       format == gfMIF ? "123.4" : "123", format == gfMIF ? longNote : longNote.substr(0, 254)},
      {"4714", "nothing", "none", "0", "0", "0", format == gfMIF ? "" : "<null>"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].values, values[i]);
  }
  EXPECT_EQ(rows[0].wkt, "LINESTRING (13.25 52.5,13.5 52.75)");
  EXPECT_EQ(rows[1].wkt, "LINESTRING (1 2,3 4,5 6.125)");
  EXPECT_EQ(rows[2].wkt, "MULTILINESTRING ((0 0,1 1),(2 2,3 3,4 4))");
  EXPECT_EQ(rows[3].wkt, "");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PolylineRoundTrip,
    ::testing::Combine(::testing::Values<uint8_t>(gfMIF, gfSHP),
                       ::testing::Values(TextCase{1252, "Stra\xC3\x9F" "e \xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
                                         TextCase{1251, "\xD0\x9D\xD0\xB5\xD0\xB2\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 "
                                                        "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x81\xD0\xBF\xD0\xB5\xD0\xBA\xD1\x82"})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == gfMIF ? "MIF" : "SHP") + "_cp" +
             std::to_string(std::get<1>(info.param).codepage);
    });

class FormatRoundTrip : public GdalReadBack, public ::testing::WithParamInterface<uint8_t> {
 protected:
  std::string Path(const std::string& name) const {
    return Stem(name) + (GetParam() == gfMIF ? ".mif" : ".shp");
  }
};

TEST_P(FormatRoundTrip, Points) {
  auto w = TGISWriter::GetGISObject(GetParam());
  w->SetFileName(Stem("pts"));
  w->StartHeader(2, otPoint);
  w->AddField("id", gfInteger, 0, 0);
  w->AddField("label", gfChar, 12, 0);
  w->AddPoint(1.5, -2.25, "1,\"a\"");
  w->AddPoint2({1e-6, 1000000}, "2,\"b,c\"");
  w->AddObject(1, false, "3,\"d\"");
  w->AddSection(1, TFloatPointArrayEx{{{7, 8}}, 1});
  w->Close();
  Dataset d(Path("pts"));
  ASSERT_NE(d.layer, nullptr);
  const std::vector<Row> rows = ReadRows(d.layer);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].values, (std::vector<std::string>{"1", "a"}));
  EXPECT_EQ(rows[1].values, (std::vector<std::string>{"2", "b,c"}));
  EXPECT_EQ(rows[0].wkt, "POINT (1.5 -2.25)");
  EXPECT_EQ(rows[1].wkt, "POINT (1e-06 1000000)");
  EXPECT_EQ(rows[2].wkt, "POINT (7 8)");
}

TEST_P(FormatRoundTrip, Regions) {
  auto w = TGISWriter::GetGISObject(GetParam());
  w->SetFileName(Stem("reg"));
  w->StartHeader(1, otRegion);
  w->AddField("id", gfSmallInt, 0, 0);
  // Outer rings clockwise, the hole anticlockwise, as shapefiles want them.
  w->AddObject(1, false, "1");
  w->AddSection(1, TFloatPointArrayEx{{{0, 0}, {0, 10}, {10, 10}, {10, 0}, {0, 0}}, 5});
  w->AddObject(2, false, "2");
  w->AddSection(1, TFloatPointArrayEx{{{20, 0}, {20, 10}, {30, 10}, {30, 0}, {20, 0}}, 5});
  w->AddSection(1, TFloatPointArrayEx{{{22, 2}, {28, 2}, {28, 8}, {22, 8}, {22, 2}}, 5});
  w->Close();
  Dataset d(Path("reg"));
  ASSERT_NE(d.layer, nullptr);
  const std::vector<Row> rows = ReadRows(d.layer);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].values, (std::vector<std::string>{"1"}));
  EXPECT_EQ(rows[0].wkt, "POLYGON ((0 0,0 10,10 10,10 0,0 0))");
  EXPECT_EQ(rows[1].wkt, "POLYGON ((20 0,20 10,30 10,30 0,20 0),(22 2,28 2,28 8,22 8,22 2))");
}

TEST_P(FormatRoundTrip, EmptyTable) {
  auto w = TGISWriter::GetGISObject(GetParam());
  w->SetFileName(Stem("empty"));
  AddRoadFields(*w, otPline);
  w->Close();
  Dataset d(Path("empty"));
  ASSERT_NE(d.layer, nullptr);
  ExpectFields(d.layer, RoadFieldsAsRead(GetParam()));
  EXPECT_EQ(OGR_L_GetFeatureCount(d.layer, TRUE), 0);
}

TEST_P(FormatRoundTrip, AttributeOnlyTable) {
  auto w = TGISWriter::GetGISObject(GetParam());
  w->SetFileName(Stem("none"));
  w->StartHeader(2, otNone);
  w->AddField("link", gfInteger, 0, 0);
  w->AddField("subnet", gfChar, 8, 0);
  for (int i = 1; i <= 3; ++i) w->AddObject(0, false, std::to_string(i) + WithNumber(",\"s", i) + "\"");
  w->Close();
  Dataset d(GetParam() == gfMIF ? Stem("none") + ".mif" : Stem("none") + ".dbf");
  ASSERT_NE(d.layer, nullptr);
  const std::vector<Row> rows = ReadRows(d.layer);
  ASSERT_EQ(rows.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rows[i].values, (std::vector<std::string>{std::to_string(i + 1), WithNumber("s", i + 1)}));
    EXPECT_EQ(rows[i].wkt, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatRoundTrip, ::testing::Values<uint8_t>(gfMIF, gfSHP),
                         [](const auto& info) { return std::string(info.param == gfMIF ? "MIF" : "SHP"); });

TEST_F(GdalReadBack, DbfAloneWithEveryFieldType) {
  auto w = TGISWriter::GetGISObject(gfDBF);
  w->SetFileName(Stem("all"));
  w->SetCodepage(1251);
  w->StartHeader(8, otNone);
  w->AddField("txt", gfChar, 6, 0);
  w->AddField("int", gfInteger, 0, 0);
  w->AddField("small", gfSmallInt, 0, 0);
  w->AddField("dec", gfDecimal, 7, 2);
  w->AddField("flt", gfFloat, 0, 0);
  w->AddField("day", gfDate, 0, 0);
  w->AddField("flag", gfLogical, 0, 0);
  w->AddField("big", gfInt64, 0, 0);
  w->AddObject(0, false,
               "\"\xD0\x9C\xD0\xB8\xD1\x80\xD0\xBE\xD0\xB2\xD0\xBE\xD0\xB9\",123456,-12,3.14159,2.5,"
               "\"20240229\",\"y\",1234567890123");
  w->AddPoint(0, 0, "\"x\",0,0,-0.005,0,\"bad\",\"n\",0");
  w->Close();
  Dataset d(Stem("all") + ".dbf");
  ASSERT_NE(d.layer, nullptr);
  ExpectFields(d.layer, {{"txt", OFTString, 6, -1},
                         {"int", OFTInteger64, 11, 0},
                         {"small", OFTInteger, 6, 0},
                         {"dec", OFTReal, 7, 2},
                         {"flt", OFTReal, 20, 8},
                         {"day", OFTDate, -1, -1},
                         {"flag", OFTString, 1, -1},
                         {"big", OFTReal, 20, 0}});
  const std::vector<Row> rows = ReadRows(d.layer);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].values,
            (std::vector<std::string>{"\xD0\x9C\xD0\xB8\xD1\x80\xD0\xBE\xD0\xB2\xD0\xBE", "123456", "-12",
                                      "3.14", "2.5", "2024/02/29", "T", "1234567890123"}));
  EXPECT_EQ(rows[1].values,
            (std::vector<std::string>{"x", "0", "0", "-0.01", "0", "<null>", "F", "0"}));
}

// ---------------------------------------------------------------- UTF-8 tables

// The first n characters of UTF-8 text, counted here without the writers'
// helpers.
std::string FirstCharacters(const std::string& s, size_t n) {
  size_t end = 0;
  for (; end < s.size() && n > 0; --n) {
    const unsigned char c = static_cast<unsigned char>(s[end]);
    end += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  }
  return s.substr(0, end);
}

std::string Slurp(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::string s;
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

class Utf8RoundTrip : public GdalReadBack, public ::testing::WithParamInterface<uint8_t> {};

// Names in every script go in and come out as they were: whole from MIF,
// which has no widths, and from the tables with widths whole up to the
// declared number of characters, however many bytes they take. Each table
// says it is UTF-8.
TEST_P(Utf8RoundTrip, NamesInEveryScript) {
  const uint8_t format = GetParam();
  if (format == gfMITAB && !TGISWriter::MITAB_supported()) GTEST_SKIP() << "no TAB library";
  const std::vector<std::string> names = {
      "Большая Новодмитровская ул",                          // 26 characters, 50 bytes
      "Улица Академика Петра Леонидовича Капицы, Москва",    // 48, 90
      "Λεωφόρος Βασιλίσσης Σοφίας",                          // 26, 50
      "Οδός Ελευθερίου Βενιζέλου και Πανεπιστημίου Αθηνών",  // 50, 95
      "北海道札幌市中央区北一条西二丁目一番地札幌市役所本庁舎前通り",  // 30, 90
      "東京都千代田区丸の内一丁目大手町仲通り東京駅丸の内北口前広場から皇居外苑和田倉門交差点まで",  // 45, 135
      "Проспект Маршала Советского Союза Георгия Константиновича Жукова",  // 64: cut at 50
      "רחוב הרצל",
      "Emoji Lane 😀😀😀",
      "Straße \"Ost\"",
      "plain",
  };
  constexpr uint8_t kWidth = 50;
  auto w = TGISWriter::GetGISObject(format);
  w->SetFileName(Stem("names"));
  w->SetEncoding(65001);
  std::vector<std::string> lost;
  w->SetOnLostText([&](std::string_view v) { lost.emplace_back(v); });
  w->StartHeader(2, otPline);
  w->AddField("id", gfSmallInt, 0, 0);
  w->AddField("name", gfChar, kWidth, 0);
  for (size_t i = 0; i < names.size(); ++i) {
    std::string quoted;
    for (char c : names[i]) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    w->AddLine(37.6, 55.7 + 0.001 * i, 37.61, 55.7 + 0.001 * i, std::to_string(i) + ",\"" + quoted + "\"");
  }
  w->Close();
  EXPECT_TRUE(lost.empty());
  EXPECT_EQ(w->LostTextValues(), 0);

  const char* ext = format == gfMIF ? ".mif" : format == gfSHP ? ".shp" : ".tab";
  // GDAL of this system may not know the MapInfo charset "UTF-8" yet; it
  // then says so and hands the bytes on as they are.
  CPLPushErrorHandler(CPLQuietErrorHandler);
  Dataset d(Stem("names") + ext);
  CPLPopErrorHandler();
  ASSERT_NE(d.layer, nullptr);
  CPLPushErrorHandler(CPLQuietErrorHandler);
  const std::vector<Row> rows = ReadRows(d.layer);
  CPLPopErrorHandler();
  ASSERT_EQ(rows.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string expected = format == gfMIF ? names[i] : FirstCharacters(names[i], kWidth);
    EXPECT_EQ(rows[i].values[0], std::to_string(i));  // nothing in front of the first row
    EXPECT_EQ(rows[i].values[1], expected) << names[i];
  }

  switch (format) {
    case gfSHP: {
      EXPECT_EQ(Slurp(Stem("names") + ".cpg"), "UTF-8");
      const std::string dbf = Slurp(Stem("names") + ".dbf");
      EXPECT_EQ(dbf.at(29), 0);  // no language driver for UTF-8
      EXPECT_EQ(static_cast<uint8_t>(dbf.at(64 + 16)), 135);  // as wide as the longest name
      break;
    }
    case gfMIF: {
      const std::string mif = Slurp(Stem("names") + ".mif");
      EXPECT_TRUE(mif.starts_with("\xEF\xBB\xBFVersion 1520\r\nCharSet \"UTF-8\"\r\n")) << mif.substr(0, 40);
      EXPECT_TRUE(Slurp(Stem("names") + ".mid").starts_with("0,\"Большая Новодмитровская ул\""));
      break;
    }
    default:
      EXPECT_NE(Slurp(Stem("names") + ".tab").find("Charset \"UTF-8\""), std::string::npos);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Utf8RoundTrip, ::testing::Values<uint8_t>(gfMIF, gfSHP, gfMITAB),
                         [](const auto& info) {
                           return std::string(info.param == gfMIF ? "MIF" : info.param == gfSHP ? "SHP" : "TAB");
                         });

TEST_F(GdalReadBack, ShapefileNullShapesKeepRecordsAligned) {
  auto w = TGISWriter::GetGISObject(gfSHP);
  w->SetFileName(Stem("gaps"));
  w->StartHeader(1, otPline);
  w->AddField("id", gfSmallInt, 0, 0);
  for (int i = 1; i <= 6; ++i) {
    if (i % 2) {
      w->AddObject(0, false, std::to_string(i));
    } else {
      w->AddLine(i, 0, i, 1, std::to_string(i));
    }
  }
  w->Close();
  Dataset d(Stem("gaps") + ".shp");
  ASSERT_NE(d.layer, nullptr);
  const std::vector<Row> rows = ReadRows(d.layer);
  ASSERT_EQ(rows.size(), 6u);
  for (int i = 1; i <= 6; ++i) {
    EXPECT_EQ(rows[i - 1].values, (std::vector<std::string>{std::to_string(i)}));
    EXPECT_EQ(rows[i - 1].wkt, i % 2 ? "" : WithNumber("LINESTRING (", i) + WithNumber(" 0,", i) + " 1)");
  }
  OGREnvelope env;
  ASSERT_EQ(OGR_L_GetExtent(d.layer, &env, FALSE), OGRERR_NONE);
  EXPECT_EQ(env.MinX, 2);
  EXPECT_EQ(env.MaxX, 6);
  EXPECT_EQ(env.MinY, 0);
  EXPECT_EQ(env.MaxY, 1);
}

TEST_F(GdalReadBack, ShapefileProjectionIsWgs84) {
  auto w = TGISWriter::GetGISObject(gfSHP);
  w->SetFileName(Stem("prj"));
  w->StartHeader(1, otPoint);
  w->AddField("id", gfSmallInt, 0, 0);
  w->AddPoint(1, 2, "1");
  w->Close();
  Dataset d(Stem("prj") + ".shp");
  ASSERT_NE(d.layer, nullptr);
  OGRSpatialReferenceH srs = OGR_L_GetSpatialRef(d.layer);
  ASSERT_NE(srs, nullptr);
  EXPECT_TRUE(OSRIsGeographic(srs));
  const char* datum = OSRGetAttrValue(srs, "DATUM", 0);
  ASSERT_NE(datum, nullptr);
  EXPECT_NE(std::string(datum).find("WGS_1984"), std::string::npos);
}

}  // namespace

// A table that reaches its format's limit (lowered here) is closed complete
// at its last whole record: no file passes the limit, GDAL reads every
// record written, the message names the table, the limit and the remedy,
// and later records write nothing. Each case makes a different file reach
// the limit first.
TEST_F(GdalReadBack, TableClosedCompleteAtItsSizeLimit) {
  struct TCase {
    const char* name;
    uint8_t format;
    int nameWidth;  // wide rows fill the .dbf before the .shp
    int points;     // long lines fill the .shp first
    const char* fullFile;
    const char* limitText;
  };
  const TCase cases[] = {
      {"shp_first", gfSHP, 10, 40, "shp_first.shp", "cannot grow past 20,000 bytes"},
      {"dbf_first", gfSHP, 200, 2, "dbf_first.dbf", "cannot grow past 20,000 bytes"},
      {"dbf_alone", gfDBF, 200, 2, "dbf_alone.dbf", "cannot grow past 20,000 bytes"},
  };
  constexpr int64_t kLimit = 20000;
  TGISWriter::SetTestSizeLimit(kLimit);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto w = TGISWriter::GetGISObject(c.format);
    w->SetFileName(Stem(c.name));
    w->StartHeader(2, otPline);
    w->AddField("id", gfInteger, 0, 0);
    w->AddField("name", gfChar, static_cast<uint8_t>(c.nameWidth), 0);
    TFloatPointArrayEx line;
    line.Pnt.resize(c.points);
    line.Count = c.points;
    std::string message;
    int64_t tried = 0;
    try {
      for (; tried < 100000; ++tried) {
        for (int k = 0; k < c.points; ++k) line.Pnt[k] = {7.0 + 0.001 * k, 43.0 + 0.0001 * tried};
        const std::string row = std::to_string(tried + 1) + ",\"road " + std::to_string(tried + 1) + "\"";
        if (c.format == gfDBF) {
          w->AddPoint(0, 0, row);
        } else {
          w->AddObject(1, false, row);
          w->AddSection(0, line);
        }
      }
    } catch (const ETableFull& e) {
      message = e.what();
    }
    ASSERT_FALSE(message.empty()) << "no limit reached";
    const int64_t written = w->WrittenRecords();
    EXPECT_EQ(written, tried);
    EXPECT_GT(written, 10);
    EXPECT_NE(message.find(std::string("Table ") + c.name + " is full: " + c.fullFile), std::string::npos) << message;
    EXPECT_NE(message.find(c.limitText), std::string::npos) << message;
    EXPECT_NE(message.find("--format gpkg, or MIF"), std::string::npos) << message;
    EXPECT_NE(message.find("first " + std::to_string(written) + " records"), std::string::npos) << message;
    // Closed already: more records and Close change nothing.
    const std::string stem = Stem(c.name);
    const auto dbfSize = fs::file_size(stem + ".dbf");
    if (c.format == gfDBF)
      w->AddPoint(0, 0, "1,\"x\"");
    else
      w->AddLine(0, 0, 1, 1, "1,\"x\"");
    w->Close();
    EXPECT_EQ(fs::file_size(stem + ".dbf"), dbfSize);
    EXPECT_EQ(w->WrittenRecords(), written);
    for (const char* ext : {".shp", ".shx", ".dbf"}) {
      if (fs::exists(stem + ext)) {
        EXPECT_LE(static_cast<int64_t>(fs::file_size(stem + ext)), kLimit) << ext;
      }
    }
    Dataset d(stem + (c.format == gfDBF ? ".dbf" : ".shp"));
    ASSERT_NE(d.layer, nullptr);
    EXPECT_EQ(OGR_L_GetFeatureCount(d.layer, TRUE), written);
    // The last record is whole.
    OGRFeatureH last = OGR_L_GetFeature(d.layer, written - 1);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(OGR_F_GetFieldAsInteger64(last, 0), written);
    EXPECT_EQ(std::string(OGR_F_GetFieldAsString(last, 1)), "road " + std::to_string(written));
    if (c.format == gfSHP) {
      OGRGeometryH g = OGR_F_GetGeometryRef(last);
      ASSERT_NE(g, nullptr);
      EXPECT_EQ(OGR_G_GetPointCount(g), c.points);
    }
    OGR_F_Destroy(last);
  }
  TGISWriter::SetTestSizeLimit(0);
}
