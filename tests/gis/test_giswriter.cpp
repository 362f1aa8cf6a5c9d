// The GIS writers byte for byte: dBASE header, descriptors and value
// encodings; shapefile headers, records and index; MIF header lines, object
// syntax and styles; call-order checks, attribute-row splitting and the
// format factory.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "linvoro_giswriter.h"
#include "linvoro_giswriter_tab.h"
#include "linvoro_platform.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// prefix followed by the number n. Appending sidesteps a false -Wrestrict
// warning of g++ 12 on "literal" + std::string.
std::string WithNumber(std::string prefix, long long n) { return prefix.append(std::to_string(n)); }

class GisWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "giswriterXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string Stem(const std::string& name = "t") const { return (dir / name).string(); }

  std::unique_ptr<TGISWriter> Writer(uint8_t format, TObjectTypes ot,
                                     const std::vector<TFieldInfo>& fields,
                                     uint16_t codepage = 1252, const std::string& name = "t") {
    std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(format);
    w->SetFileName(Stem(name));
    w->SetEncoding(codepage);
    w->StartHeader(static_cast<int32_t>(fields.size()), ot);
    for (const TFieldInfo& f : fields) w->AddField(f.Name, f.FieldType, f.Width, f.decimals);
    return w;
  }

  fs::path dir;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

uint32_t BE32(const std::string& b, size_t off) {
  return (uint32_t(uint8_t(b[off])) << 24) | (uint32_t(uint8_t(b[off + 1])) << 16) |
         (uint32_t(uint8_t(b[off + 2])) << 8) | uint32_t(uint8_t(b[off + 3]));
}
uint32_t LE32(const std::string& b, size_t off) {
  return uint32_t(uint8_t(b[off])) | (uint32_t(uint8_t(b[off + 1])) << 8) |
         (uint32_t(uint8_t(b[off + 2])) << 16) | (uint32_t(uint8_t(b[off + 3])) << 24);
}
uint16_t LE16(const std::string& b, size_t off) {
  return uint16_t(uint8_t(b[off]) | (uint8_t(b[off + 1]) << 8));
}
double LEDouble(const std::string& b, size_t off) {
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= uint64_t(uint8_t(b[off + i])) << (8 * i);
  return std::bit_cast<double>(u);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t e = text.find("\r\n", start);
    if (e == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, e - start));
    start = e + 2;
  }
  return lines;
}

TFloatPointArrayEx Section(std::vector<TFloatPoint> pts) {
  TFloatPointArrayEx s;
  s.Count = static_cast<int32_t>(pts.size());
  s.Pnt = std::move(pts);
  return s;
}

const std::vector<TFieldInfo> kRoadFields = {{gfChar, 10, 0, "osm_id"}, {gfSmallInt, 0, 0, "attribute"}};

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

// ================================================================ splitting

TEST(AttribSplitter, SplitsByTheRecordRules) {
  struct Case {
    const char* row;
    std::vector<std::string> values;
  } cases[] = {
      {R"("a,b","say ""hi""",7)", {"a,b", "say \"hi\"", "7"}},
      {"1,2,", {"1", "2", ""}},
      {"1,2, ", {"1", "2"}},  // the comma is not the last character
      {"a b,c", {"a", "b", "c"}},
      {"  \"x\" ,\t 5 ", {"x", "5"}},
      {"", {}},
      {",,", {"", "", ""}},
      {R"("")", {""}},
      {R"("""")", {"\""}},
      {R"("open,end)", {"open,end"}},
      {R"("a""b)", {"a\"b"}},
      {R"("ab"cd,1)", {"ab", "cd", "1"}},
      {"\"\xC3\xA4\xC3\xB6\",12.5", {"\xC3\xA4\xC3\xB6", "12.5"}},
  };
  TAttribSplitter s;
  for (const Case& c : cases) {
    s.Split(c.row);
    std::vector<std::string> got(s.Values().begin(), s.Values().end());
    EXPECT_EQ(got, c.values) << "row: " << c.row;
  }
}

TEST(AttribSplitter, LogicalValues) {
  for (const char* t : {"T", "Y", "t", "y", "1", "yes", "true"}) EXPECT_TRUE(LogicalValue(t)) << t;
  for (const char* f : {"", "F", "n", "0", "x", " T"}) EXPECT_FALSE(LogicalValue(f)) << f;
}

// ================================================================ core

TEST_F(GisWriterTest, FactoryFallsBackToMif) {
  // Whatever TAB library this machine has: here the code runs without one.
  TGISWriter::RegisterWriter(gfMITAB, nullptr, nullptr);
  EXPECT_FALSE(TGISWriter::MITAB_supported());
  EXPECT_FALSE(TGISWriter::MFAL_supported());
  EXPECT_FALSE(TGISWriter::EFAL_supported());
  for (int code : {0, 3, 4, 5, 6, 9, 11, 12, 13, 15, 200, 255})
    EXPECT_NE(dynamic_cast<TGISWriterMIF*>(TGISWriter::GetGISObject(code).get()), nullptr) << code;
  // GeoPackage where GDAL is installed.
  EXPECT_EQ(TGISWriter::GetGISObject(gfGPKG)->Format(), TGISWriter::GPKG_supported() ? gfGPKG : gfMIF);
  EXPECT_EQ(dynamic_cast<TGISWriterMIF8*>(TGISWriter::GetGISObject(0).get()), nullptr);
  EXPECT_NE(dynamic_cast<TGISWriterMIF8*>(TGISWriter::GetGISObject(10).get()), nullptr);
  auto dbf = TGISWriter::GetGISObject(1);
  EXPECT_NE(dynamic_cast<TGISWriterDBF*>(dbf.get()), nullptr);
  EXPECT_EQ(dynamic_cast<TGISWriterSHP*>(dbf.get()), nullptr);
  EXPECT_NE(dynamic_cast<TGISWriterSHP*>(TGISWriter::GetGISObject(2).get()), nullptr);
}

// A stand-in for a TAB back-end that plugs into the factory.
class TFakeTab : public TGISWriterMIF {};
bool gFakeLibraryLoaded = false;

TEST_F(GisWriterTest, RegisteredBackEndServesItsCodeWhileSupported) {
  TGISWriter::RegisterWriter(
      gfMITAB, []() -> std::unique_ptr<TGISWriter> { return std::make_unique<TFakeTab>(); },
      []() { return gFakeLibraryLoaded; });
  gFakeLibraryLoaded = false;
  EXPECT_FALSE(TGISWriter::MITAB_supported());
  EXPECT_EQ(dynamic_cast<TFakeTab*>(TGISWriter::GetGISObject(5).get()), nullptr);
  gFakeLibraryLoaded = true;
  EXPECT_TRUE(TGISWriter::MITAB_supported());
  EXPECT_NE(dynamic_cast<TFakeTab*>(TGISWriter::GetGISObject(5).get()), nullptr);
  EXPECT_EQ(dynamic_cast<TFakeTab*>(TGISWriter::GetGISObject(0).get()), nullptr);
  TGISWriter::RegisterWriter(gfMITAB, nullptr, nullptr);
  EXPECT_FALSE(TGISWriter::MITAB_supported());
  EXPECT_EQ(dynamic_cast<TFakeTab*>(TGISWriter::GetGISObject(5).get()), nullptr);
}

TEST_F(GisWriterTest, DefaultsOfANewWriter) {
  auto w = TGISWriter::GetGISObject(gfSHP);
  EXPECT_EQ(w->CoordSys(), "CoordSys Earth Projection 1, 104");
  EXPECT_EQ(w->epsg(), 4326);
  EXPECT_EQ(w->PRJ(), DefaultPrj);
  EXPECT_FALSE(w->CompactMIF());
  EXPECT_EQ(w->Pen(), (TMIPen{1, 2, 0}));
  EXPECT_EQ(w->Brush(), (TMIBrush{2, 16777215, 0}));
  EXPECT_EQ(w->Symbol(), (TMISymbol{33, 0, 12}));
  EXPECT_EQ(w->BlockSize(), 512);
  EXPECT_EQ(w->GreatCircleDist(), 0);
  EXPECT_EQ(w->Codepage(), SystemAnsiCodePage());
  EXPECT_FALSE(w->OptimizePLinesSections());
  EXPECT_EQ(GISBoxLimit, 9.999999680285692e37);
  EXPECT_EQ(MIColor(255), 16711680);
  EXPECT_EQ(MIColor(0x00123456), 0x00563412);
}

TEST_F(GisWriterTest, CodepageRules) {
  for (uint8_t format : {gfMIF, gfDBF, gfSHP}) {
    auto w = TGISWriter::GetGISObject(format);
    w->SetCodepage(1251);
    w->SetCodepage(65001);
    EXPECT_EQ(w->Codepage(), 1251) << int(format);
    w->SetCodepage(1200);
    EXPECT_EQ(w->Codepage(), 1251) << int(format);
    w->SetCodepage(932);
    EXPECT_EQ(w->Codepage(), 932) << int(format);
  }
  auto mif8 = TGISWriter::GetGISObject(gfMIF8);
  EXPECT_EQ(mif8->Codepage(), 65001);
  mif8->SetCodepage(1252);
  EXPECT_EQ(mif8->Codepage(), 65001);
}

// The encoding a run chooses is taken as it is, UTF-8 included; UTF-16 is
// no text of 8-bit tables.
TEST_F(GisWriterTest, EncodingRules) {
  std::vector<uint8_t> formats = {gfMIF, gfDBF, gfSHP};
  if (TGISWriter::MITAB_supported()) formats.push_back(gfMITAB);
  for (uint8_t format : formats) {
    auto w = TGISWriter::GetGISObject(format);
    w->SetEncoding(65001);
    EXPECT_EQ(w->Codepage(), 65001) << int(format);
    w->SetEncoding(1200);
    EXPECT_EQ(w->Codepage(), 65001) << int(format);
    w->SetEncoding(1251);
    EXPECT_EQ(w->Codepage(), 1251) << int(format);
  }
  auto mif8 = TGISWriter::GetGISObject(gfMIF8);
  mif8->SetEncoding(1252);
  EXPECT_EQ(mif8->Codepage(), 65001);
}

// What each format can declare, asked before a table is started.
TEST_F(GisWriterTest, EncodingProblems) {
  const struct {
    uint8_t format;
    uint16_t codepage;
    const char* problem;  // a piece of the message; "" when there is none
  } cases[] = {
      {gfSHP, 65001, ""},       {gfMIF, 65001, ""},        {gfSHP, 1251, ""},   {gfMIF, 1251, ""},
      {gfSHP, 866, ""},         {gfMIF, 866, "no charset for code page 866"},
      {gfDBF, 20866, ""},       {gfSHP, 37, "does not store plain ASCII"},
      {gfMIF, 1200, "does not store plain ASCII"},  {gfSHP, 12345, "not available"},
      {gfMITAB, 1251, ""},
  };
  for (const auto& c : cases) {
    const std::string p = TGISWriter::EncodingProblem(c.format, c.codepage);
    if (*c.problem == 0)
      EXPECT_EQ(p, "") << int(c.format) << " " << c.codepage;
    else
      EXPECT_NE(p.find(c.problem), std::string::npos) << int(c.format) << " " << c.codepage << ": " << p;
  }
  // UTF-8 TAB tables need a library that says it writes them; without the
  // library, TAB is MIF, which can.
  const std::string tab = TGISWriter::EncodingProblem(gfMITAB, 65001);
  if (TGISWriter::MITAB_supported() && !TabCharsetWritable("UTF-8"))
    EXPECT_NE(tab.find("cannot write TAB tables in UTF-8"), std::string::npos) << tab;
  else
    EXPECT_EQ(tab, "");
}

// Every value that lost characters to the code page is reported, once per
// record, in every format; MIF finds them also across its text blocks.
TEST_F(GisWriterTest, ValuesThatLoseCharactersAreReported) {
  std::vector<uint8_t> formats = {gfMIF, gfDBF, gfSHP};
  if (TGISWriter::MITAB_supported()) formats.push_back(gfMITAB);
  const std::string filler(200, 'x');  // enough rows to fill several MID blocks
  for (uint8_t format : formats) {
    for (uint16_t codepage : {uint16_t(1252), uint16_t(65001)}) {
      SCOPED_TRACE(std::to_string(format) + " " + std::to_string(codepage));
      std::vector<std::string> reported;
      auto w = TGISWriter::GetGISObject(format);
      w->SetFileName(Stem(WithNumber("lost", format * 100000 + codepage)));
      w->SetEncoding(codepage);
      w->SetOnLostText([&](std::string_view v) { reported.emplace_back(v); });
      w->StartHeader(3, otPline);
      w->AddField("name", gfChar, 30, 0);
      w->AddField("note", gfChar, 254, 0);
      w->AddField("n", gfSmallInt, 0, 0);
      std::vector<std::string> expected;
      for (int i = 0; i < 2000; ++i) {
        std::string name = "Zürich";  // held by 1252
        if (i % 700 == 3) name = WithNumber("Тверская ", i);
        if (i == 1999) name = "say \"Ω\"";
        if (codepage != 65001 && name != "Zürich") expected.push_back(name);
        std::string quoted;
        for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        w->AddLine(0, 0, 1, 1, "\"" + quoted + "\",\"" + filler + "\"," + std::to_string(i % 100));
      }
      w->Close();
      EXPECT_EQ(reported, expected);
      EXPECT_EQ(w->LostTextValues(), static_cast<int64_t>(expected.size()));
    }
  }
}

TEST_F(GisWriterTest, CallOrderChecks) {
  for (uint8_t format : {gfMIF, gfDBF, gfSHP}) {
    SCOPED_TRACE(int(format));
    const std::vector<TFieldInfo> three = {
        {gfChar, 5, 0, "a"}, {gfSmallInt, 0, 0, "b"}, {gfDecimal, 4, 1, "c"}};
    auto w = TGISWriter::GetGISObject(format);
    w->SetFileName(Stem(WithNumber("order", format)));
    w->StartHeader(3, otPline);
    w->AddField("a", gfChar, 5, 0);
    w->AddField("b", gfSmallInt, 0, 0);
    EXPECT_EQ(ErrorOf([&] { w->AddObject(1, false, "\"x\",1,2"); }),
              "You are trying to add objects before all fields has been added");
    EXPECT_EQ(ErrorOf([&] { w->AddLine(0, 0, 1, 1, "\"x\",1,2"); }),
              "You are trying to add objects before all fields has been added");
    w->AddField("c", gfDecimal, 4, 1);
    EXPECT_EQ(ErrorOf([&] { w->AddField("d", gfChar, 5, 0); }),
              "You are trying to add more fields than declared");
    EXPECT_EQ(w->NumFields(), 3);
    EXPECT_EQ(w->FieldInfo(3).Name, "c");
    EXPECT_THROW(w->FieldInfo(0), EOutOfRange);
    EXPECT_THROW(w->FieldInfo(4), EOutOfRange);

    w->AddObject(1, false, "\"x\",1,2");
    EXPECT_EQ(ErrorOf([&] { w->AddSection(1, Section({})); }),
              "WriteSection requires that Segments.count>0");
    w->AddSection(1, Section({{0, 0}, {1, 1}, {2, 0}}));
    EXPECT_EQ(ErrorOf([&] { w->AddSection(1, Section({{0, 0}, {1, 1}})); }),
              "More sections added than announced by AddObject");
    // AddPoint belongs to point tables; the line table ignores it (the
    // dBASE writer alone writes the row whatever the kind).
    w->AddPoint(5, 5, "\"p\",1,2");
    w->AddObject(2, false, "\"y\",2,3");
    w->AddSection(1, Section({{0, 0}, {1, 1}}));
    EXPECT_EQ(ErrorOf([&] { w->AddObject(1, false, "\"z\",3,4"); }),
              "The previous object received fewer sections than announced");
    w->AddSection(1, Section({{1, 1}, {2, 2}}));
    EXPECT_EQ(w->WrittenRecords(), format == gfDBF ? 3 : 2);
    if (format != gfMIF) {  // MIF copies the row as it is
      EXPECT_EQ(ErrorOf([&] { w->AddObject(1, false, "\"z\",3"); }),
                "Number of values must match number of fields. NumVal = 2, NumFields = 3, "
                "string = \"\"z\",3\"");
      // The rejected row left no record waiting for sections.
      w->AddObject(0, false, "\"z\",3,4");
    }
    w->Close();
  }
}

TEST_F(GisWriterTest, MismatchedRowsAreRejectedByEverySplittingWriter) {
  struct Case {
    const char* row;
    int values;
  } cases[] = {
      {"\"a b\",1", 2},    // quoted space: fine
      {"a b,1", 3},        // unquoted space splits
      {"1,2,", 3},         // trailing comma adds a value
      {"\"x,y\"", 1},      // quoted comma stays inside
      {"", 0},
  };
  for (uint8_t format : {gfDBF, gfSHP}) {
    auto w = Writer(format, otPline, {{gfChar, 10, 0, "a"}, {gfChar, 10, 0, "b"}}, 1252,
                    WithNumber("rows", format));
    for (const Case& c : cases) {
      const std::string err = ErrorOf([&] { w->AddLine(0, 0, 1, 1, c.row); });
      if (c.values == 2) {
        EXPECT_EQ(err, "(no error)") << c.row;
      } else {
        EXPECT_EQ(err, "Number of values must match number of fields. NumVal = " +
                           std::to_string(c.values) + ", NumFields = 2, string = \"" + c.row + "\"");
      }
    }
    EXPECT_EQ(w->WrittenRecords(), 1);
    w->Close();
    // The rejected rows left nothing behind: one record, then the end mark.
    const std::string dbf = ReadAll(Stem(WithNumber("rows", format)) + ".dbf");
    EXPECT_EQ(LE32(dbf, 4), 1u);
    EXPECT_EQ(dbf.size(), 97u + 21u + 1u);
    EXPECT_EQ(dbf.substr(97, 21), " a b       1         ");
  }
}

TEST_F(GisWriterTest, RegionRingsMustBeClosedAndLongEnough) {
  auto w = Writer(gfMIF, otRegion, {{gfSmallInt, 0, 0, "id"}});
  w->AddObject(3, false, "1");
  EXPECT_EQ(ErrorOf([&] { w->AddSection(1, Section({{0, 0}, {1, 0}, {0, 0}})); }),
            "Region objects must have >=4 points");
  EXPECT_EQ(ErrorOf([&] { w->AddSection(1, Section({{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0.5}})); }),
            "Region objects must be closed");
  EXPECT_EQ(ErrorOf([&] { w->AddSection(1, Section({})); }), "Region objects must have >=4 points");
  w->AddSection(1, Section({{0, 0}, {1, 0}, {1, 1}, {0, 0}}));
  w->AddSection(1, Section({{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}}));
  w->AddSection(1, Section({{5, 5}, {6, 5}, {6, 6}, {5, 5}}));
  w->Close();
  EXPECT_EQ(w->WrittenRecords(), 1);
}

TEST_F(GisWriterTest, ShortcutsOutsideTheirTableKindDoNothing) {
  auto pts = Writer(gfSHP, otPoint, {{gfSmallInt, 0, 0, "id"}}, 1252, "pts");
  pts->AddLine(0, 0, 1, 1, "1");
  pts->AddLine2({0, 0}, {1, 1}, "1");
  EXPECT_EQ(pts->WrittenRecords(), 0);
  pts->Close();
  auto lines = Writer(gfMIF, otPline, {{gfSmallInt, 0, 0, "id"}}, 1252, "lines");
  lines->AddPoint(0, 0, "1");
  EXPECT_EQ(lines->WrittenRecords(), 0);
  lines->Close();
  EXPECT_EQ(ReadAll(Stem("pts") + ".shp").size(), 100u);
  EXPECT_EQ(ReadAll(Stem("lines") + ".mid"), "");
}

TEST_F(GisWriterTest, SectionJoiningMergesTouchingParts) {
  auto w = TGISWriter::GetGISObject(gfMIF);
  w->SetFileName(Stem());
  w->SetCompactMIF(true);
  w->StartHeader(1, otPline);
  w->AddField("id", gfSmallInt, 0, 0);
  w->SetOptimizePLinesSections(true);
  w->AddObject(3, false, "1");
  w->AddSection(1, Section({{0, 0}, {1, 0}}));
  EXPECT_EQ(ErrorOf([&] { w->SetOptimizePLinesSections(false); }),
            "Can not change the OptimizePLinesSections property during processing sections.");
  w->AddSection(1, Section({{1, 0}, {2, 0}, {3, 0}}));
  w->AddSection(1, Section({{5, 5}, {6, 6}}));
  w->SetOptimizePLinesSections(false);
  w->Close();
  const std::vector<std::string> l = Lines(ReadAll(Stem() + ".mif"));
  const std::vector<std::string> objects(std::find(l.begin(), l.end(), "Data") + 1, l.end());
  EXPECT_EQ(objects, (std::vector<std::string>{"Pline multiple 2", "4", "0 0", "1 0", "2 0", "3 0",
                                               "2", "5 5", "6 6"}));
}

TEST_F(GisWriterTest, AddSection1CopiesUpToLastAndCanReverse) {
  auto w = Writer(gfMIF, otPline, {{gfSmallInt, 0, 0, "id"}});
  w->SetCompactMIF(true);
  TFloatPointArrayEx2 s;
  s.Pnt = {{1, 1}, {2, 2}, {3, 3}, {9, 9}};
  s.Last = 2;
  w->AddObject(1, false, "1");
  w->AddSection1(1, s, false);
  w->AddObject(1, false, "2");
  w->AddSection1(1, s, true);
  w->AddObject(1, false, "3");
  w->AddSection3(1, {7, 8}, {9, 10});
  w->Close();
  const std::vector<std::string> l = Lines(ReadAll(Stem() + ".mif"));
  const std::vector<std::string> objects(std::find(l.begin(), l.end(), "Data") + 1, l.end());
  EXPECT_EQ(objects, (std::vector<std::string>{"Pline 3", "1 1", "2 2", "3 3", "Pline 3", "3 3",
                                               "2 2", "1 1", "Line 7 8 9 10"}));
}

// ================================================================ dBASE

TEST_F(GisWriterTest, DbfHeaderDescriptorsAndRecord) {
  auto w = Writer(gfDBF, otNone, kRoadFields);
  EXPECT_EQ(static_cast<TGISWriterDBF*>(w.get())->RecordLength(), 17);
  w->AddObject(0, false, "\"4711\",21");
  w->AddPoint(0, 0, "\"12345678901\",-7");
  w->Close();
  const std::string b = ReadAll(Stem() + ".dbf");
  ASSERT_EQ(b.size(), 97u + 2 * 17u + 1u);
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  EXPECT_EQ(uint8_t(b[0]), 0x03);
  EXPECT_EQ(uint8_t(b[1]), uint8_t(t.tm_year));
  EXPECT_EQ(uint8_t(b[2]), t.tm_mon + 1);
  EXPECT_EQ(uint8_t(b[3]), t.tm_mday);
  EXPECT_EQ(LE32(b, 4), 2u);
  EXPECT_EQ(LE16(b, 8), 97);
  EXPECT_EQ(LE16(b, 10), 17);
  EXPECT_EQ(b.substr(12, 17), std::string(17, '\0'));
  EXPECT_EQ(uint8_t(b[29]), 3);  // code page 1252
  EXPECT_EQ(b.substr(30, 2), std::string(2, '\0'));
  EXPECT_EQ(b.substr(32, 32), std::string("osm_id\0\0\0\0\0C\0\0\0\0\x0A\0", 18) + std::string(14, '\0'));
  EXPECT_EQ(b.substr(64, 32), std::string("attribute\0\0N\0\0\0\0\x06\0", 18) + std::string(14, '\0'));
  EXPECT_EQ(uint8_t(b[96]), 0x0D);
  EXPECT_EQ(b.substr(97, 17), " 4711          21");
  EXPECT_EQ(b.substr(114, 17), " 1234567890    -7");
  EXPECT_EQ(uint8_t(b.back()), 0x1A);
}

TEST_F(GisWriterTest, DbfTypeMappingIsStoredBack) {
  struct Case {
    TGISField type;
    uint8_t width, dec;
    char letter;
    uint8_t storedWidth, storedDec;
  } cases[] = {
      {gfChar, 255, 3, 'C', 254, 0},  {gfChar, 30, 0, 'C', 30, 0},
      {gfInteger, 3, 2, 'N', 11, 0},  {gfSmallInt, 0, 0, 'N', 6, 0},
      {gfDecimal, 7, 2, 'N', 7, 2},   {gfFloat, 0, 0, 'N', 20, 8},
      {gfFloat, 12, 3, 'N', 12, 3},   {gfDate, 0, 0, 'D', 8, 0},
      {gfLogical, 5, 0, 'L', 1, 0},   {gfTime, 0, 0, 'C', 9, 0},
      {gfDateTime, 0, 0, 'C', 17, 0}, {gfInt64, 0, 0, 'N', 20, 0},
  };
  std::vector<TFieldInfo> fields;
  for (size_t i = 0; i < std::size(cases); ++i)
    fields.push_back({cases[i].type, cases[i].width, cases[i].dec, WithNumber("f", i)});
  auto w = Writer(gfDBF, otNone, fields);
  w->Close();
  const std::string b = ReadAll(Stem() + ".dbf");
  int recordLength = 1;
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const size_t d = 32 * (i + 1);
    EXPECT_EQ(b[d + 11], cases[i].letter);
    EXPECT_EQ(uint8_t(b[d + 16]), cases[i].storedWidth);
    EXPECT_EQ(uint8_t(b[d + 17]), cases[i].storedDec);
    EXPECT_EQ(w->FieldInfo(int32_t(i) + 1).Width, cases[i].storedWidth);
    EXPECT_EQ(w->FieldInfo(int32_t(i) + 1).decimals, cases[i].storedDec);
    recordLength += cases[i].storedWidth;
  }
  EXPECT_EQ(LE16(b, 10), recordLength);
  EXPECT_EQ(LE16(b, 8), 32 * std::size(cases) + 33);
}

TEST_F(GisWriterTest, DbfValueEncodings) {
  struct Case {
    TGISField type;
    uint8_t width, dec;
    const char* value;  // as it stands in the attribute row
    std::string stored;
  } cases[] = {
      {gfDecimal, 4, 1, "12.5", "12.5"},
      {gfDecimal, 4, 1, "3", " 3.0"},
      {gfDecimal, 4, 1, "123.4", "123."},
      {gfDecimal, 4, 1, "", " 0.0"},
      {gfDecimal, 4, 1, "-1.25", "-1.2"},
      {gfDecimal, 4, 1, "0.05", " 0.1"},
      {gfDecimal, 6, 0, "007", "     7"},
      {gfDecimal, 5, 2, "12", "12.00"},
      {gfDecimal, 3, 0, "12345", "123"},
      {gfDecimal, 5, 1, "50 km/h", " 50.0"},
      {gfFloat, 0, 0, "1.5", "          1.50000000"},
      {gfSmallInt, 0, 0, "42", "    42"},
      {gfSmallInt, 0, 0, "1234567", "123456"},
      {gfSmallInt, 0, 0, "abc", "   abc"},  // not checked
      {gfInteger, 0, 0, "-17", "        -17"},
      {gfDate, 0, 0, "2024010", "        "},
      {gfDate, 0, 0, "20240131", "20240131"},
      {gfTime, 0, 0, "12:30:00", "         "},
      {gfTime, 0, 0, "123000000", "123000000"},
      {gfLogical, 0, 0, "y", "T"},
      {gfLogical, 0, 0, "True", "T"},
      {gfLogical, 0, 0, "1", "T"},
      {gfLogical, 0, 0, "n", "F"},
      {gfLogical, 0, 0, "", "F"},
      {gfChar, 4, 0, "abcdef", "abcd"},
      {gfChar, 6, 0, "ab", "ab    "},
      {gfChar, 6, 0, "say \"\"hi\"\"", "say \"h"},
      {gfChar, 3, 0, "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "\xE4\xF6\xFC"},  // äöüß in 1252
      {gfChar, 5, 0, "\xE2\x82\xAC", "\x80    "},                          // euro sign
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("value ") + c.value);
    auto w = Writer(gfDBF, otNone, {{c.type, c.width, c.dec, "v"}});
    w->AddObject(0, false, std::string("\"") + c.value + "\"");
    w->Close();
    const std::string b = ReadAll(Stem() + ".dbf");
    ASSERT_EQ(b.size(), 65u + 1 + c.stored.size() + 1);
    EXPECT_EQ(b.substr(66, c.stored.size()), c.stored);
  }
}

TEST_F(GisWriterTest, DbfTextInOtherCodePages) {
  {
    auto w = Writer(gfDBF, otNone, {{gfChar, 10, 0, "\xD0\xB8\xD0\xBC\xD1\x8F"}}, 1251);  // "имя"
    w->AddObject(0, false, "\"\xD0\x9C\xD0\xB8\xD1\x80\"");  // "Мир"
    w->Close();
    const std::string b = ReadAll(Stem() + ".dbf");
    EXPECT_EQ(uint8_t(b[29]), 201);
    EXPECT_EQ(b.substr(32, 4), "\xE8\xEC\xFF\0"s);
    EXPECT_EQ(b.substr(66, 10), "\xCC\xE8\xF0       ");
  }
}

// Repeats text until it has n characters.
std::string Chars(const std::string& text, size_t n) {
  std::vector<std::string> chars;
  for (size_t i = 0; i < text.size();) {
    size_t len = 1;
    while (i + len < text.size() && (static_cast<unsigned char>(text[i + len]) & 0xC0) == 0x80) ++len;
    chars.push_back(text.substr(i, len));
    i += len;
  }
  std::string s;
  for (size_t k = 0; k < n; ++k) s += chars[k % chars.size()];
  return s;
}

// The declared width of a text field is a number of characters. In UTF-8
// and the double-byte code pages the field is as wide as its longest value
// (in bytes, at most 254), never narrower than declared; values are cut at
// the declared number of characters, and at 254 bytes between characters.
TEST_F(GisWriterTest, DbfTextWidthsCountCharacters) {
  const std::string cyrillic = "Большая Новодмитровская улица";  // 29 characters, 56 bytes
  const std::string greek = Chars("Λεωφόρος Βασιλίσσης Σοφίας ", 50);
  const std::string cjk = Chars("東京都千代田区丸の内一丁目", 50);
  const struct Case {
    uint16_t codepage;
    uint8_t width;
    std::vector<std::string> values;
    std::vector<std::string> stored;  // UTF-8; empty: the value whole
    uint8_t storedWidth;
  } cases[] = {
      {65001, 50, {cyrillic, greek, cjk, "plain"}, {}, 150},
      {65001, 25, {Chars("Тверская ", 25), "М-10"}, {}, 48},
      {65001, 50, {Chars(cyrillic, 53)}, {Chars(cyrillic, 50)}, 97},
      {65001, 100, {Chars("日本", 100)}, {Chars("日本", 84)}, 252},  // 254 bytes at most
      {65001, 4, {"😀😀😀😀😀"}, {"😀😀😀😀"}, 16},
      {65001, 10, {"ab", ""}, {}, 10},  // as declared
      {932, 5, {"日本語テキスト", "a日"}, {"日本語テキ", "a日"}, 10},
      {932, 50, {cjk}, {}, 100},
      {1251, 5, {"Жизнь!"}, {"Жизнь"}, 5},  // one byte, one character
  };
  int n = 0;
  for (const Case& c : cases) {
    if (!CodePageSupported(c.codepage)) continue;
    SCOPED_TRACE(std::to_string(c.codepage) + " width " + std::to_string(c.width) + ": " + c.values[0]);
    const std::string name = WithNumber("w", n++);
    auto w = Writer(gfDBF, otNone, {{gfChar, c.width, 0, "name"}, {gfSmallInt, 0, 0, "id"}}, c.codepage, name);
    for (size_t i = 0; i < c.values.size(); ++i) w->AddObject(0, false, "\"" + c.values[i] + "\"," + std::to_string(i));
    w->Close();
    EXPECT_EQ(w->LostTextValues(), 0);
    EXPECT_EQ(w->FieldInfo(1).Width, c.storedWidth);
    EXPECT_EQ(static_cast<TGISWriterDBF*>(w.get())->RecordLength(), 1 + c.storedWidth + 6);

    const std::string b = ReadAll(Stem(name) + ".dbf");
    const size_t record = 1 + c.storedWidth + 6;
    ASSERT_EQ(b.size(), 97 + c.values.size() * record + 1);
    EXPECT_EQ(LE32(b, 4), c.values.size());
    EXPECT_EQ(LE16(b, 10), record);
    EXPECT_EQ(uint8_t(b[32 + 16]), c.storedWidth);
    EXPECT_EQ(b[32 + 11], 'C');
    EXPECT_EQ(uint8_t(b[64 + 16]), 6);
    EXPECT_EQ(uint8_t(b.back()), 0x1A);
    EXPECT_EQ(uint8_t(b[29]), CodePageToDbfLanguageDriver(c.codepage));
    for (size_t i = 0; i < c.values.size(); ++i) {
      const std::string text = Utf8ToCodePage(c.stored.empty() ? c.values[i] : c.stored[i], c.codepage);
      const size_t at = 97 + i * record;
      EXPECT_EQ(b[at], ' ');
      EXPECT_EQ(b.substr(at + 1, c.storedWidth), text + std::string(c.storedWidth - text.size(), ' ')) << i;
      EXPECT_EQ(b.substr(at + 1 + c.storedWidth, 6), std::string(5, ' ') + std::to_string(i));
    }
  }
}

// Where every value fits its declared bytes, a UTF-8 or double-byte table is
// the table those widths give, with its own language driver.
TEST_F(GisWriterTest, DbfTextThatFitsKeepsTheDeclaredWidths) {
  for (uint16_t codepage : {uint16_t(65001), uint16_t(932)}) {
    SCOPED_TRACE(codepage);
    std::string tables[2];
    for (int k = 0; k < 2; ++k) {
      auto w = Writer(gfSHP, otPline, {{gfChar, 10, 0, "osm_id"}, {gfChar, 50, 0, "name"}, {gfChar, 25, 0, "type"}},
                      k == 0 ? 1252 : codepage, WithNumber("fit", k));
      w->AddLine(1, 2, 3, 4, "\"4711\",\"Main Street\",\"residential\"");
      w->AddLine(1, 2, 3, 5, "\"4712\",\"" + std::string(50, 'x') + "\",\"primary\"");
      w->Close();
      tables[k] = ReadAll(Stem(WithNumber("fit", k)) + ".dbf");
      EXPECT_EQ(ReadAll(Stem(WithNumber("fit", k)) + ".shp"), ReadAll(Stem("fit0") + ".shp"));
    }
    ASSERT_EQ(tables[0].size(), tables[1].size());
    tables[0][29] = tables[1][29];
    EXPECT_EQ(tables[0], tables[1]);
  }
}

// Widened text fields share what the declared widths leave of the 65535
// bytes a record may have.
TEST_F(GisWriterTest, DbfWidenedFieldsStayWithinTheRecordLimit) {
  constexpr int kFields = 300;
  std::vector<TFieldInfo> fields;
  for (int i = 0; i < kFields; ++i) fields.push_back({gfChar, 200, 0, WithNumber("f", i)});
  auto w = Writer(gfDBF, otNone, fields, 65001, "many");
  auto* dbf = static_cast<TGISWriterDBF*>(w.get());
  EXPECT_LE(dbf->RecordLength(), 65535);
  std::string row;
  const std::string value = Chars("Ж", 200);  // 400 bytes
  for (int i = 0; i < kFields; ++i) row += (i ? ",\"" : "\"") + value + "\"";
  w->AddObject(0, false, row);
  const int32_t width = w->FieldInfo(1).Width;
  EXPECT_GT(width, 200);
  EXPECT_EQ(dbf->RecordLength(), 1 + kFields * width);
  w->Close();
  const std::string b = ReadAll(Stem("many") + ".dbf");
  EXPECT_EQ(LE16(b, 10), 1 + kFields * width);
  const size_t data = 32 * kFields + 33;
  for (int i : {0, kFields - 1}) {
    EXPECT_EQ(uint8_t(b[32 * (i + 1) + 16]), width);
    EXPECT_EQ(b.substr(data + 1 + i * width, width), Chars("Ж", width / 2) + std::string(width % 2, ' '));
  }

  // The declared widths themselves must fit.
  auto tooWide = TGISWriter::GetGISObject(gfDBF);
  tooWide->SetFileName(Stem("toowide"));
  tooWide->SetEncoding(65001);
  tooWide->StartHeader(300, otNone);
  for (int i = 0; i < 258; ++i) tooWide->AddField(WithNumber("f", i), gfChar, 254, 0);
  EXPECT_EQ(ErrorOf([&] { tooWide->AddField("last", gfChar, 254, 0); }),
            "dBASE records are limited to 65535 bytes; field last does not fit");
  tooWide->Close();
}

// Narrowing rewrites the table beside itself and only then replaces it: a
// table whose narrowing fails is left whole at the widths it was written in.
TEST_F(GisWriterTest, DbfNarrowingThatFailsLeavesTheWideTableWhole) {
  auto u = Writer(gfSHP, otPline, {{gfChar, 10, 0, "name"}}, 65001, "wide");
  u->AddLine(1, 2, 3, 4, "\"Жизнь\"");
  fs::create_directory(Stem("wide") + ".dbf.tmp");  // in the way of the rewrite
  EXPECT_NE(ErrorOf([&] { u->Close(); }), "(no error)");
  const std::string b = ReadAll(Stem("wide") + ".dbf");
  ASSERT_EQ(b.size(), 65u + 41 + 1);
  EXPECT_EQ(LE32(b, 4), 1u);
  EXPECT_EQ(uint8_t(b[48]), 40);
  EXPECT_EQ(b.substr(66, 40), "Жизнь" + std::string(30, ' '));
  EXPECT_EQ(uint8_t(b.back()), 0x1A);
  EXPECT_EQ(ReadAll(Stem("wide") + ".shx").size(), 108u);  // the shape files are complete too

  // Dropped, a widened table leaves nothing behind.
  fs::remove(Stem("wide") + ".dbf.tmp");
  auto d = Writer(gfSHP, otPline, {{gfChar, 10, 0, "name"}}, 65001, "dropped");
  d->AddLine(1, 2, 3, 4, "\"x\"");
  d->Drop();
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(e.path().filename().string().rfind("dropped", 0), std::string::npos) << e.path();
}

TEST_F(GisWriterTest, DbfFieldNamesAreCutToTenBytes) {
  auto w = Writer(gfDBF, otNone, {{gfChar, 1, 0, "averyverylongname"}, {gfChar, 1, 0, "exactly10_"}});
  w->Close();
  const std::string b = ReadAll(Stem() + ".dbf");
  EXPECT_EQ(b.substr(32, 12), "averyveryl\0C"s);
  EXPECT_EQ(b.substr(64, 12), "exactly10_\0C"s);
}

TEST_F(GisWriterTest, DbfWithoutFieldsHasOneByteRecords) {
  auto w = Writer(gfDBF, otNone, {});
  w->AddObject(0, false, "");
  w->Close();
  const std::string b = ReadAll(Stem() + ".dbf");
  EXPECT_EQ(b, std::string("\x03", 1) + b.substr(1, 3) + "\x01\0\0\0\x21\0\x01\0"s +
                   std::string(17, '\0') + "\x03\0\0\x0D \x1A"s);
}

TEST(DbfLanguageDriver, TableLookupsBothWays) {
  EXPECT_EQ(CodePageToDbfLanguageDriver(1252), 3);
  EXPECT_EQ(CodePageToDbfLanguageDriver(1250), 155);
  EXPECT_EQ(CodePageToDbfLanguageDriver(1251), 201);
  EXPECT_EQ(CodePageToDbfLanguageDriver(437), 1);
  EXPECT_EQ(CodePageToDbfLanguageDriver(932), 19);
  for (int cp : {1257, 1258, 65001, 0, -1, 70000}) EXPECT_EQ(CodePageToDbfLanguageDriver(cp), 0) << cp;
  EXPECT_EQ(DbfLanguageDriverToCodePage(87), 1252);
  EXPECT_EQ(DbfLanguageDriverToCodePage(0x57), 1252);
  EXPECT_EQ(DbfLanguageDriverToCodePage(201), 1251);
  EXPECT_EQ(DbfLanguageDriverToCodePage(203), 1253);
  EXPECT_EQ(DbfLanguageDriverToCodePage(0), 0);
  EXPECT_EQ(DbfLanguageDriverToCodePage(255), 0);
  int nonZero = 0;
  for (int id = 1; id < 256; ++id) {
    const int cp = DbfLanguageDriverToCodePage(static_cast<uint8_t>(id));
    if (cp == 0) continue;
    ++nonZero;
    const uint8_t low = CodePageToDbfLanguageDriver(cp);
    EXPECT_LE(low, id);
    EXPECT_EQ(DbfLanguageDriverToCodePage(low), cp);
  }
  EXPECT_EQ(nonZero, 76);
}

// ================================================================ shapefile

TEST_F(GisWriterTest, ShpSingleLine) {
  auto w = Writer(gfSHP, otPline, kRoadFields);
  w->AddLine(13.5, 52.25, 14.75, 51.5, "\"1\",2");
  w->Close();
  const std::string shp = ReadAll(Stem() + ".shp");
  const std::string shx = ReadAll(Stem() + ".shx");
  ASSERT_EQ(shp.size(), 188u);
  ASSERT_EQ(shx.size(), 108u);
  for (const std::string* f : {&shp, &shx}) {
    EXPECT_EQ(BE32(*f, 0), 9994u);
    EXPECT_EQ(f->substr(4, 20), std::string(20, '\0'));
    EXPECT_EQ(LE32(*f, 28), 1000u);
    EXPECT_EQ(LE32(*f, 32), 3u);
    EXPECT_EQ(LEDouble(*f, 36), 13.5);
    EXPECT_EQ(LEDouble(*f, 44), 51.5);
    EXPECT_EQ(LEDouble(*f, 52), 14.75);
    EXPECT_EQ(LEDouble(*f, 60), 52.25);
    EXPECT_EQ(f->substr(68, 32), std::string(32, '\0'));
  }
  EXPECT_EQ(BE32(shp, 24), 94u);
  EXPECT_EQ(BE32(shx, 24), 54u);
  EXPECT_EQ(BE32(shx, 100), 50u);
  EXPECT_EQ(BE32(shx, 104), 40u);
  EXPECT_EQ(BE32(shp, 100), 1u);   // record number
  EXPECT_EQ(BE32(shp, 104), 40u);  // content length in words
  EXPECT_EQ(LE32(shp, 108), 3u);
  EXPECT_EQ(LEDouble(shp, 112), 13.5);
  EXPECT_EQ(LEDouble(shp, 120), 51.5);
  EXPECT_EQ(LEDouble(shp, 128), 14.75);
  EXPECT_EQ(LEDouble(shp, 136), 52.25);
  EXPECT_EQ(LE32(shp, 144), 1u);  // parts
  EXPECT_EQ(LE32(shp, 148), 2u);  // points
  EXPECT_EQ(LE32(shp, 152), 0u);  // first point of part 1
  EXPECT_EQ(LEDouble(shp, 156), 13.5);
  EXPECT_EQ(LEDouble(shp, 164), 52.25);
  EXPECT_EQ(LEDouble(shp, 172), 14.75);
  EXPECT_EQ(LEDouble(shp, 180), 51.5);
  EXPECT_EQ(ReadAll(Stem() + ".prj"), DefaultPrj);
  EXPECT_EQ(ReadAll(Stem() + ".cpg"), "1252");
  EXPECT_EQ(LE32(ReadAll(Stem() + ".dbf"), 4), 1u);
}

TEST_F(GisWriterTest, ShpPointsAndIndex) {
  auto w = Writer(gfSHP, otPoint, {{gfSmallInt, 0, 0, "id"}});
  w->AddPoint(1, 2, "1");
  w->AddPoint2({-3, 4}, "2");
  w->AddObject(1, false, "3");
  w->AddSection(1, Section({{5, -6}}));
  w->Close();
  const std::string shp = ReadAll(Stem() + ".shp");
  const std::string shx = ReadAll(Stem() + ".shx");
  ASSERT_EQ(shp.size(), 184u);
  ASSERT_EQ(shx.size(), 124u);
  EXPECT_EQ(BE32(shp, 24), 92u);
  EXPECT_EQ(BE32(shx, 24), 62u);
  EXPECT_EQ(LE32(shp, 32), 1u);
  const uint32_t offsets[] = {50, 64, 78};
  const double xy[][2] = {{1, 2}, {-3, 4}, {5, -6}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(BE32(shx, 100 + 8 * i), offsets[i]);
    EXPECT_EQ(BE32(shx, 104 + 8 * i), 10u);
    const size_t r = 2 * offsets[i];
    EXPECT_EQ(BE32(shp, r), uint32_t(i + 1));
    EXPECT_EQ(BE32(shp, r + 4), 10u);
    EXPECT_EQ(LE32(shp, r + 8), 1u);
    EXPECT_EQ(LEDouble(shp, r + 12), xy[i][0]);
    EXPECT_EQ(LEDouble(shp, r + 20), xy[i][1]);
  }
  EXPECT_EQ(LEDouble(shp, 36), -3);
  EXPECT_EQ(LEDouble(shp, 44), -6);
  EXPECT_EQ(LEDouble(shp, 52), 5);
  EXPECT_EQ(LEDouble(shp, 60), 4);
}

TEST_F(GisWriterTest, ShpMultiPartAndNullShapes) {
  auto w = Writer(gfSHP, otPline, {{gfSmallInt, 0, 0, "id"}});
  w->AddObject(0, false, "1");  // Null shape
  w->AddObject(2, false, "2");
  w->AddSection(1, Section({{0, 0}, {1, 1}, {2, 0}}));
  w->AddSection(1, Section({{10, 10}, {11, 12}}));
  w->Close();
  const std::string shp = ReadAll(Stem() + ".shp");
  const std::string shx = ReadAll(Stem() + ".shx");
  // Null: 8 + 4 bytes. Two parts, five points: 8 + 44 + 8 + 80.
  ASSERT_EQ(shp.size(), 100u + 12 + 8 + 132);
  EXPECT_EQ(BE32(shp, 104), 2u);
  EXPECT_EQ(LE32(shp, 108), 0u);
  EXPECT_EQ(BE32(shx, 100), 50u);
  EXPECT_EQ(BE32(shx, 104), 2u);
  EXPECT_EQ(BE32(shx, 108), 56u);
  EXPECT_EQ(BE32(shx, 112), 66u);
  const size_t r = 112;
  EXPECT_EQ(BE32(shp, r), 2u);
  EXPECT_EQ(LE32(shp, r + 8), 3u);
  EXPECT_EQ(LEDouble(shp, r + 12), 0);
  EXPECT_EQ(LEDouble(shp, r + 20), 0);
  EXPECT_EQ(LEDouble(shp, r + 28), 11);
  EXPECT_EQ(LEDouble(shp, r + 36), 12);
  EXPECT_EQ(LE32(shp, r + 44), 2u);
  EXPECT_EQ(LE32(shp, r + 48), 5u);
  EXPECT_EQ(LE32(shp, r + 52), 0u);
  EXPECT_EQ(LE32(shp, r + 56), 3u);
  EXPECT_EQ(LEDouble(shp, r + 60 + 48), 10);
  // The table box ignores the Null shape.
  EXPECT_EQ(LEDouble(shp, 36), 0);
  EXPECT_EQ(LEDouble(shp, 60), 12);
}

TEST_F(GisWriterTest, ShpRegionKeepsRingOrder) {
  auto w = Writer(gfSHP, otRegion, {{gfSmallInt, 0, 0, "id"}});
  w->AddObject(1, true, "1");
  w->AddSection(1, Section({{0, 0}, {0, 1}, {1, 1}, {0, 0}}));
  w->Close();
  const std::string shp = ReadAll(Stem() + ".shp");
  ASSERT_EQ(shp.size(), 100u + 8 + 44 + 4 + 64);
  EXPECT_EQ(LE32(shp, 32), 5u);
  EXPECT_EQ(LE32(shp, 108), 5u);
  EXPECT_EQ(LEDouble(shp, 156 + 16 + 8), 1);  // second point y
}

TEST_F(GisWriterTest, ShpEmptyTableBox) {
  auto w = Writer(gfSHP, otPline, kRoadFields);
  w->Close();
  const std::string shp = ReadAll(Stem() + ".shp");
  ASSERT_EQ(shp.size(), 100u);
  EXPECT_EQ(BE32(shp, 24), 50u);
  EXPECT_EQ(LEDouble(shp, 36), 9.999999680285692e37);
  EXPECT_EQ(LEDouble(shp, 44), 9.999999680285692e37);
  EXPECT_EQ(LEDouble(shp, 52), -9.999999680285692e37);
  EXPECT_EQ(LEDouble(shp, 60), -9.999999680285692e37);
  EXPECT_EQ(ReadAll(Stem() + ".shx"), shp);
}

TEST_F(GisWriterTest, ShpAttributeOnlyTableWritesOnlyTheDbf) {
  auto w = Writer(gfSHP, otNone, kRoadFields);
  w->AddObject(0, false, "\"1\",2");
  w->AddLine(0, 0, 1, 1, "\"1\",2");  // not a line table
  w->Close();
  EXPECT_EQ(LE32(ReadAll(Stem() + ".dbf"), 4), 1u);
  for (const char* ext : {".shp", ".shx", ".prj", ".cpg"}) EXPECT_FALSE(fs::exists(Stem() + ext)) << ext;
  w->Drop();
  EXPECT_FALSE(fs::exists(Stem() + ".dbf"));
}

TEST_F(GisWriterTest, ShpCodepageAndProjectionFiles) {
  auto w = TGISWriter::GetGISObject(gfSHP);
  w->SetFileName(Stem());
  w->SetCodepage(1251);
  w->SetCodepage(65001);  // ignored
  w->SetPRJ("");
  w->StartHeader(1, otPoint);
  w->AddField("id", gfSmallInt, 0, 0);
  w->Close();
  EXPECT_EQ(ReadAll(Stem() + ".cpg"), "1251");
  EXPECT_FALSE(fs::exists(Stem() + ".prj"));

  auto u = TGISWriter::GetGISObject(gfSHP);  // UTF-8 goes by its name
  u->SetFileName(Stem("utf8"));
  u->SetEncoding(65001);
  u->StartHeader(1, otPoint);
  u->AddField("id", gfSmallInt, 0, 0);
  u->Close();
  EXPECT_EQ(ReadAll(Stem("utf8") + ".cpg"), "UTF-8");

  auto z = TGISWriter::GetGISObject(gfSHP);
  z->SetFileName(Stem("zero"));
  z->SetCodepage(0);
  z->SetPRJ("PROJCS[\"\xC3\xA9\"]");
  z->StartHeader(1, otPoint);
  z->AddField("id", gfSmallInt, 0, 0);
  z->Close();
  EXPECT_FALSE(fs::exists(Stem("zero") + ".cpg"));
  EXPECT_EQ(ReadAll(Stem("zero") + ".prj"), "PROJCS[\"\xE9\"]");
}

TEST_F(GisWriterTest, ShpRecordShortOfSectionsBecomesNullOnClose) {
  auto w = Writer(gfSHP, otPline, {{gfSmallInt, 0, 0, "id"}});
  w->AddLine(0, 0, 1, 1, "1");
  w->AddObject(2, false, "2");
  w->AddSection(1, Section({{5, 5}, {6, 6}}));
  w->Close();
  const std::string shp = ReadAll(Stem() + ".shp");
  const std::string shx = ReadAll(Stem() + ".shx");
  ASSERT_EQ(shp.size(), 188u + 12);
  EXPECT_EQ(BE32(shp, 24), 100u);
  EXPECT_EQ(BE32(shp, 188), 2u);
  EXPECT_EQ(BE32(shp, 192), 2u);
  EXPECT_EQ(LE32(shp, 196), 0u);
  ASSERT_EQ(shx.size(), 116u);
  EXPECT_EQ(BE32(shx, 108), 94u);
  EXPECT_EQ(LE32(ReadAll(Stem() + ".dbf"), 4), 2u);
  // The box holds only what was completed.
  EXPECT_EQ(LEDouble(shp, 52), 1);
}

TEST_F(GisWriterTest, ShpDropDeletesAllFiveFiles) {
  auto w = Writer(gfSHP, otPline, kRoadFields);
  w->AddLine(0, 0, 1, 1, "\"1\",2");
  w->Drop();
  for (const char* ext : {".shp", ".shx", ".dbf", ".prj", ".cpg"}) EXPECT_FALSE(fs::exists(Stem() + ext)) << ext;
}

TEST_F(GisWriterTest, ShpRecordsOfManyPointsAndParts) {
  // Larger than the record buffer's first size, to exercise its growth.
  auto w = Writer(gfSHP, otPline, {{gfSmallInt, 0, 0, "id"}});
  const int parts = 700, per = 5;
  w->AddObject(parts, false, "1");
  for (int p = 0; p < parts; ++p) {
    std::vector<TFloatPoint> pts;
    for (int i = 0; i < per; ++i) pts.push_back({double(p), double(i)});
    w->AddSection(1, Section(pts));
  }
  w->Close();
  const std::string shp = ReadAll(Stem() + ".shp");
  ASSERT_EQ(shp.size(), 100u + 8 + 44 + 4 * parts + 16 * parts * per);
  EXPECT_EQ(LE32(shp, 144), uint32_t(parts));
  EXPECT_EQ(LE32(shp, 148), uint32_t(parts * per));
  EXPECT_EQ(LE32(shp, 152 + 4 * (parts - 1)), uint32_t((parts - 1) * per));
  EXPECT_EQ(LEDouble(shp, shp.size() - 16), parts - 1);
  EXPECT_EQ(LEDouble(shp, shp.size() - 8), per - 1);
}

// ================================================================ MIF

std::vector<std::string> MifObjects(const std::string& path) {
  const std::vector<std::string> l = Lines(ReadAll(path));
  auto data = std::find(l.begin(), l.end(), "Data");
  if (data == l.end()) return {};
  return std::vector<std::string>(data + 1, l.end());
}

TEST_F(GisWriterTest, MifHeader) {
  auto w = Writer(gfMIF, otPline, kRoadFields);
  w->Close();
  EXPECT_EQ(ReadAll(Stem() + ".mif"),
            "Version 300\r\n"
            "CharSet \"WindowsLatin1\"\r\n"
            "Delimiter \",\"\r\n"
            "CoordSys Earth Projection 1, 104\r\n"
            "Columns 2\r\n"
            "  osm_id Char(10)\r\n"
            "  attribute Smallint\r\n"
            "Data\r\n");
  EXPECT_EQ(ReadAll(Stem() + ".mid"), "");
}

TEST_F(GisWriterTest, MifColumnTypesAndVersion) {
  struct Case {
    TGISField type;
    uint8_t width, dec;
    const char* text;
    int version;
  } cases[] = {
      {gfChar, 255, 0, "  f Char(254)", 300},      {gfInteger, 0, 0, "  f Integer", 300},
      {gfSmallInt, 0, 0, "  f Smallint", 300},     {gfDecimal, 4, 1, "  f Decimal(4,1)", 300},
      {gfFloat, 0, 0, "  f Float", 300},           {gfDate, 0, 0, "  f Date", 300},
      {gfLogical, 0, 0, "  f Logical", 300},       {gfTime, 0, 0, "  f Time", 900},
      {gfDateTime, 0, 0, "  f DateTime", 900},     {gfInt64, 0, 0, "  f LargeInt", 900},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto w = Writer(gfMIF, otNone, {{gfChar, 3, 0, "a"}, {c.type, c.width, c.dec, "f"}});
    w->Close();
    const std::vector<std::string> l = Lines(ReadAll(Stem() + ".mif"));
    ASSERT_EQ(l.size(), 7u);
    EXPECT_EQ(l[0], WithNumber("Version ", c.version));
    EXPECT_EQ(l[3], "Columns 2");  // no CoordSys in an attribute-only table
    EXPECT_EQ(l[5], c.text);
    EXPECT_EQ(w->FieldInfo(2).Width, c.width == 255 ? 254 : c.width);
  }
}

TEST_F(GisWriterTest, MifObjects) {
  auto w = Writer(gfMIF, otPline, kRoadFields);
  w->AddLine(1, 2, 3, 4, "\"a\",1");
  w->AddLine2({12.5, 0.000001}, {1000000, -0.5}, "\"b, c\",2");
  w->AddObject(1, false, "\"d\",3");
  w->AddSection(1, Section({{0, 0}, {1, 1}}));
  w->AddObject(1, false, "\"e\",4");
  w->AddSection(1, Section({{0, 0}, {1, 1}, {2, 0}}));
  w->AddObject(2, false, "\"f\",5");
  w->AddSection(1, Section({{0, 0}, {1, 1}}));
  w->AddSection(1, Section({{5, 5}, {6, 6}, {7, 7}}));
  w->AddObject(0, false, "\"g\",6");
  w->Close();
  EXPECT_EQ(MifObjects(Stem() + ".mif"),
            (std::vector<std::string>{"Line 1 2 3 4", "Line 12.5 1E-6 1000000 -0.5", "Line 0 0 1 1",
                                      "Pline 3", "0 0", "1 1", "2 0", "Pline multiple 2", "2", "0 0",
                                      "1 1", "3", "5 5", "6 6", "7 7", "None"}));
  EXPECT_EQ(ReadAll(Stem() + ".mid"),
            "\"a\",1\r\n\"b, c\",2\r\n\"d\",3\r\n\"e\",4\r\n\"f\",5\r\n\"g\",6\r\n");
  EXPECT_EQ(w->WrittenRecords(), 6);
}

TEST_F(GisWriterTest, MifRegionsPointsAndAttributeOnlyTables) {
  {
    auto w = Writer(gfMIF, otRegion, {{gfSmallInt, 0, 0, "id"}}, 1252, "reg");
    w->AddObject(2, false, "1");
    w->AddSection(1, Section({{0, 0}, {1, 0}, {1, 1}, {0, 0}}));
    w->AddSection(1, Section({{5, 5}, {6, 5}, {6, 6}, {5, 5}}));
    w->Close();
    EXPECT_EQ(MifObjects(Stem("reg") + ".mif"),
              (std::vector<std::string>{"Region 2", "4", "0 0", "1 0", "1 1", "0 0", "4", "5 5", "6 5",
                                        "6 6", "5 5"}));
  }
  {
    auto w = Writer(gfMIF, otPoint, {{gfSmallInt, 0, 0, "id"}}, 1252, "pt");
    w->AddPoint(1.25, -2, "1");
    w->AddObject(1, false, "2");
    w->AddSection(1, Section({{3, 4}}));
    w->Close();
    EXPECT_EQ(MifObjects(Stem("pt") + ".mif"), (std::vector<std::string>{"Point 1.25 -2", "Point 3 4"}));
  }
  {
    auto w = Writer(gfMIF, otNone, {{gfSmallInt, 0, 0, "id"}}, 1252, "none");
    w->AddObject(0, false, "1");
    w->AddObject(1, false, "2");  // a section has no place here
    w->AddSection(1, Section({{3, 4}, {5, 6}}));
    w->Close();
    const std::string mif = ReadAll(Stem("none") + ".mif");
    EXPECT_EQ(mif.find("CoordSys"), std::string::npos);
    EXPECT_EQ(MifObjects(Stem("none") + ".mif"), (std::vector<std::string>{"None", "None"}));
    EXPECT_EQ(ReadAll(Stem("none") + ".mid"), "1\r\n2\r\n");
  }
}

TEST_F(GisWriterTest, MifStyleLines) {
  struct Case {
    TObjectTypes ot;
    bool compact;
    bool styled;
    std::vector<std::string> styleLines;
  } cases[] = {
      {otPline, false, false, {}},
      {otPline, false, true, {"    Pen(2,2,16711680)"}},
      {otPline, true, true, {}},
      {otRegion, false, false, {}},
      {otRegion, false, true, {"    Brush(5,255,65280)", "    Pen(2,2,16711680)"}},
      {otPoint, false, false, {}},
      {otPoint, false, true, {"    Symbol(34,16711680,9)"}},
      {otPoint, true, true, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    auto w = TGISWriter::GetGISObject(gfMIF);
    w->SetFileName(Stem(WithNumber("s", n)));
    w->SetCompactMIF(c.compact);
    if (c.styled) {
      w->SetPen({2, 2, 255});
      w->SetBrush({5, 0xFF0000, 0x00FF00});
      w->SetSymbol({34, 255, 9});
    }
    w->StartHeader(1, c.ot);
    w->AddField("id", gfSmallInt, 0, 0);
    std::vector<std::string> geometry;
    switch (c.ot) {
      case otPline:
        w->AddLine(0, 0, 1, 1, "1");
        w->AddObject(1, false, "2");
        w->AddSection(1, Section({{0, 0}, {1, 1}, {2, 2}}));
        break;
      case otRegion:
        w->AddObject(1, false, "1");
        w->AddSection(1, Section({{0, 0}, {1, 0}, {1, 1}, {0, 0}}));
        break;
      default:
        w->AddPoint(0, 0, "1");
        break;
    }
    w->Close();
    std::vector<std::string> styles;
    for (const std::string& l : MifObjects(Stem(WithNumber("s", n)) + ".mif"))
      if (l.rfind("    ", 0) == 0) styles.push_back(l);
    std::vector<std::string> expected = c.styleLines;
    if (c.ot == otPline && !expected.empty()) expected.push_back(expected[0]);  // Line and Pline
    EXPECT_EQ(styles, expected);
    ++n;
  }
  auto w = Writer(gfMIF, otPline, {{gfSmallInt, 0, 0, "id"}}, 1252, "order");
  w->SetPen({2, 2, 255});
  w->AddObject(2, false, "1");
  w->AddSection(1, Section({{0, 0}, {1, 1}}));
  w->AddSection(1, Section({{2, 2}, {3, 3}}));
  w->Close();
  EXPECT_EQ(MifObjects(Stem("order") + ".mif"),
            (std::vector<std::string>{"Pline multiple 2", "2", "0 0", "1 1", "2", "2 2", "3 3",
                                      "    Pen(2,2,16711680)"}));
}

TEST_F(GisWriterTest, MifCodePages) {
  {
    auto w = Writer(gfMIF8, otPline, kRoadFields, 1252, "utf8");
    w->AddLine(0, 0, 1, 1, "\"\xD0\x9C\xD0\xB8\xD1\x80\",1");
    w->Close();
    const std::string mif = ReadAll(Stem("utf8") + ".mif");
    EXPECT_EQ(mif.substr(0, 17), "\xEF\xBB\xBFVersion 1520\r\n");
    EXPECT_EQ(Lines(mif)[1], "CharSet \"UTF-8\"");
    EXPECT_EQ(ReadAll(Stem("utf8") + ".mid"), "\"\xD0\x9C\xD0\xB8\xD1\x80\",1\r\n");  // no mark
  }
  {
    auto w = Writer(gfMIF, otPline, kRoadFields, 1251, "cyr");
    w->AddLine(0, 0, 1, 1, "\"\xD0\x9C\xD0\xB8\xD1\x80\",1");
    w->Close();
    const std::string mif = ReadAll(Stem("cyr") + ".mif");
    EXPECT_EQ(Lines(mif)[0], "Version 300");
    EXPECT_EQ(Lines(mif)[1], "CharSet \"WindowsCyrillic\"");
    EXPECT_EQ(ReadAll(Stem("cyr") + ".mid"), "\"\xCC\xE8\xF0\",1\r\n");
  }
  {
    // A code page without a MapInfo charset name gets no CharSet line.
    auto w = Writer(gfMIF, otPline, kRoadFields, 737, "nocs");
    w->Close();
    EXPECT_EQ(Lines(ReadAll(Stem("nocs") + ".mif"))[1], "Delimiter \",\"");
  }
}

TEST_F(GisWriterTest, MifWithoutFieldsNeverCreatesFiles) {
  auto w = Writer(gfMIF, otPline, {});
  w->AddLine(0, 0, 1, 1, "");
  w->AddObject(1, false, "");
  w->AddSection(1, Section({{0, 0}, {1, 1}}));
  EXPECT_EQ(w->WrittenRecords(), 0);
  w->Close();
  w->Drop();
  EXPECT_FALSE(fs::exists(Stem() + ".mif"));
  EXPECT_FALSE(fs::exists(Stem() + ".mid"));
}

TEST_F(GisWriterTest, MifManyRecordsAndCloseOnce) {
  auto w = Writer(gfMIF, otPline, kRoadFields);
  std::string expectedMid;
  for (int i = 0; i < 20000; ++i) {
    const std::string row = WithNumber("\"", i) + WithNumber("\",", i % 7);
    w->AddLine(i, i + 0.5, i + 1, i + 1.5, row);
    expectedMid += row + "\r\n";
  }
  w->Close();
  w->Close();
  EXPECT_EQ(ReadAll(Stem() + ".mid"), expectedMid);
  const std::vector<std::string> objects = MifObjects(Stem() + ".mif");
  ASSERT_EQ(objects.size(), 20000u);
  EXPECT_EQ(objects[19999], "Line 19999 19999.5 20000 20000.5");
  // Records after Close are not written.
  w->AddLine(0, 0, 1, 1, "\"x\",1");
  EXPECT_EQ(w->WrittenRecords(), 20000);
  w->Drop();
  EXPECT_FALSE(fs::exists(Stem() + ".mif"));
  EXPECT_FALSE(fs::exists(Stem() + ".mid"));
}

TEST_F(GisWriterTest, MifDataReachesTheFilesWhenReleasedUnclosed) {
  {
    auto w = Writer(gfMIF, otPline, kRoadFields);
    w->AddLine(0, 0, 1, 1, "\"x\",1");
  }
  EXPECT_EQ(MifObjects(Stem() + ".mif"), (std::vector<std::string>{"Line 0 0 1 1"}));
  EXPECT_EQ(ReadAll(Stem() + ".mid"), "\"x\",1\r\n");
}

}  // namespace
