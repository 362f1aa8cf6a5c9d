// Attribute table readers: dBASE files and MapInfo .dat files (native and
// NativeX), alone and several as one table. Synthetic files cover the rules
// and damaged headers; files written by GDAL are an independent check of the
// layouts.
#include <gtest/gtest.h>

#include <gdal.h>
#include <ogr_api.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "linvoro_dbffiles.h"
#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

// Prefix and number as one string (spelled out so that GCC 12 does not warn
// about "literal" + std::string).
inline std::string Num(const char* prefix, long long n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

namespace {

std::string LE(uint64_t v, int bytes) {
  std::string s(static_cast<size_t>(bytes), '\0');
  for (int i = 0; i < bytes; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string Dbl(double v) { return LE(std::bit_cast<uint64_t>(v), 8); }

void PutBytes(std::string& s, size_t off, const std::string& bytes) { s.replace(off, bytes.size(), bytes); }

struct DbfField {
  std::string name;
  char type;
  uint8_t width;
  uint8_t decimals;
};

// A dBASE III file; every cell is given as its bytes and padded with spaces
// to the field width.
std::string BuildDbf(const std::vector<DbfField>& fields,
                     const std::vector<std::vector<std::string>>& rows, uint8_t ldid = 0x57) {
  const size_t n = fields.size();
  size_t recLen = 1;
  for (const auto& f : fields) recLen += f.width;
  std::string s(32 * n + 33, '\0');
  s[0] = 0x03;
  s[1] = 124;
  s[2] = 5;
  s[3] = 6;
  PutBytes(s, 4, LE(rows.size(), 4));
  PutBytes(s, 8, LE(32 * n + 33, 2));
  PutBytes(s, 10, LE(recLen, 2));
  s[29] = static_cast<char>(ldid);
  for (size_t i = 0; i < n; ++i) {
    PutBytes(s, 32 + 32 * i, fields[i].name.substr(0, 10));
    s[32 + 32 * i + 11] = fields[i].type;
    s[32 + 32 * i + 16] = static_cast<char>(fields[i].width);
    s[32 + 32 * i + 17] = static_cast<char>(fields[i].decimals);
  }
  s[32 * n + 32] = 0x0D;
  for (const auto& row : rows) {
    s += ' ';
    for (size_t i = 0; i < n; ++i) {
      std::string cell = row[i].substr(0, fields[i].width);
      cell.resize(fields[i].width, ' ');
      s += cell;
    }
  }
  s += '\x1A';
  return s;
}

struct DatField {
  std::string tabLine;  // "name Char (10)"
  uint32_t width;
  uint32_t decimals;
};

// A MapInfo .dat (native or NativeX) and the .tab lines that describe it;
// cells are exact bytes of the field width.
std::string BuildDat(bool nativeX, const std::vector<DatField>& fields,
                     const std::vector<std::vector<std::string>>& rows) {
  const size_t n = fields.size();
  const size_t nullBytes = nativeX ? (n + 7) / 8 : 0;
  size_t recLen = 1 + nullBytes;
  for (const auto& f : fields) recLen += f.width;
  std::string s(32 * n + 33, '\0');
  s[0] = 0x03;
  if (nativeX) {
    PutBytes(s, 4, LE(rows.size(), 8));
    PutBytes(s, 12, LE(32 * n + 33, 4));
    PutBytes(s, 16, LE(recLen, 4));
  } else {
    PutBytes(s, 4, LE(rows.size(), 4));
    PutBytes(s, 8, LE(32 * n + 33, 2));
    PutBytes(s, 10, LE(recLen, 2));
  }
  for (size_t i = 0; i < n; ++i) {
    PutBytes(s, 32 + 32 * i, Num("F", i));
    s[32 + 32 * i + 11] = 'C';
    if (nativeX) {
      PutBytes(s, 48 + 32 * i, LE(fields[i].width, 4));
      PutBytes(s, 52 + 32 * i, LE(fields[i].decimals, 4));
    } else {
      s[48 + 32 * i] = static_cast<char>(fields[i].width);
      s[49 + 32 * i] = static_cast<char>(fields[i].decimals);
    }
  }
  s[32 * n + 32] = 0x0D;
  for (const auto& row : rows) {
    s += ' ';
    s += std::string(nullBytes, '\0');
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(row[i].size(), fields[i].width) << fields[i].tabLine;
      std::string cell = row[i];
      cell.resize(fields[i].width, '\0');
      s += cell;
    }
  }
  return s;
}

std::string BuildTab(const std::string& charset, bool nativeX, const std::vector<DatField>& fields) {
  std::string t = "!table\r\n!version 300\r\n";
  if (!charset.empty()) t += "!charset " + charset + "\r\n";
  t += "\r\nDefinition Table\r\n  ";
  t += nativeX ? "type nativex" : "Type NATIVE";
  t += " Charset \"" + charset + "\"\r\n  Fields ";
  t += std::to_string(fields.size());
  t += "\r\n";
  for (const auto& f : fields) t += "    " + f.tabLine + " ;\r\n";
  return t;
}

std::string Padded(const std::string& s, size_t width) {
  std::string r = s;
  r.resize(width, ' ');
  return r;
}

class DbfTest : public TTempDirTest {
 protected:
  DbfTest() : TTempDirTest("linvoro_dbf_") {}

  std::string File(const std::string& name, const std::string& bytes) {
    Put(Path(name), bytes);
    return Path(name);
  }
};

// The road table's own layout: osm_id C 10 and attribute N 6.
const std::vector<DbfField> RoadFields = {{"osm_id", 'C', 10, 0}, {"attribute", 'N', 6, 0}};

}  // namespace

// ------------------------------------------------------------------ dBASE

TEST_F(DbfTest, ReadsTheStructure) {
  const std::string name = File(
      "t.dbf", BuildDbf({{"osm_id", 'C', 10, 0}, {"attribute", 'N', 6, 0}, {"len", 'F', 12, 3},
                         {"day", 'D', 8, 0}, {"ok", 'L', 1, 0}, {"memo", 'M', 10, 0},
                         {"abcdefghijk", 'C', 4, 0}},
                        {}));
  TDbfFile t(name, 0);
  EXPECT_EQ(t.FindField("osm_id"), -1);  // not open yet
  t.Open(false);
  ASSERT_TRUE(t.IsOpen());
  EXPECT_EQ(t.FieldCount(), 7);
  EXPECT_EQ(t.RecordCount(), 0);
  const struct {
    const char* name;
    TGISField type;
    int width, decimals, pos;
  } expected[] = {{"OSM_ID", gfChar, 10, 0, 1},   {"ATTRIBUTE", gfDecimal, 6, 0, 11},
                  {"LEN", gfDecimal, 12, 3, 17},  {"DAY", gfDate, 8, 0, 29},
                  {"OK", gfLogical, 1, 0, 37},    {"MEMO", gfChar, 10, 0, 38},
                  {"ABCDEFGHIJ", gfChar, 4, 0, 48}};
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    const Tdbffield& f = t.FieldInfo(i);
    EXPECT_EQ(f.Name, expected[i].name);
    EXPECT_EQ(f.FieldType, expected[i].type);
    EXPECT_EQ(f.Width, expected[i].width);
    EXPECT_EQ(f.decimals, expected[i].decimals);
    EXPECT_EQ(f.Pos, expected[i].pos);
  }
  EXPECT_EQ(t.FindField("Attribute"), 1);
  EXPECT_EQ(t.FindField("ATTRIBUTE"), 1);
  EXPECT_EQ(t.FindField("attrib"), -1);
  EXPECT_EQ(t.FieldInfo(-1).Name, "");
  EXPECT_EQ(t.FieldInfo(7).Name, "");
  EXPECT_EQ(t.FieldInfo(7).Width, 0);
}

TEST_F(DbfTest, DecimalLimitsUseSinglePrecisionPowers) {
  auto p = [](int e) { return static_cast<double>(std::pow(10.0f, static_cast<float>(e))); };
  const struct {
    uint8_t width, decimals;
    double max, min;
  } cases[] = {{4, 1, p(2) - p(-1), -(p(1) - p(-1))},
               {6, 0, 999999, -99999},
               {11, 0, p(11) - 1, -(p(10) - 1)},
               {20, 8, p(11) - p(-8), -(p(10) - p(-8))},
               {1, 0, 9, 0}};
  std::vector<DbfField> fields;
  for (const auto& c : cases) fields.push_back({"n", 'N', c.width, c.decimals});
  TDbfFile t(File("m.dbf", BuildDbf(fields, {})), 0);
  t.Open();
  for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t.FieldInfo(i).Max, cases[i].max);
    EXPECT_EQ(t.FieldInfo(i).Min, cases[i].min);
  }
  // 10^-1 in single precision is not 0.1: the limit of N(4,1) is just below 99.9.
  EXPECT_NE(t.FieldInfo(0).Max, 99.9);
  EXPECT_NEAR(t.FieldInfo(0).Max, 99.9, 1e-6);
}

TEST_F(DbfTest, ReadStringRules) {
  const std::vector<DbfField> fields = {{"s", 'C', 12, 0}};
  const struct {
    std::string cell;
    std::string text;
  } cases[] = {
      {"abc", "abc"},
      {"  abc  ", "abc"},                  // blanks around are trimmed
      {"", ""},                            // all spaces
      {std::string("ab\0cd", 5), "ab"},    // cut at the first zero byte
      {std::string("\0abc", 4), ""},
      {"a\tb\t", "a\tb"},
      {"Caf\xe9 \xc4rger", "Café Ärger"},  // code page 1252
      {"123456789012345", "123456789012"},
  };
  std::vector<std::vector<std::string>> rows;
  for (const auto& c : cases) rows.push_back({c.cell});
  TDbfFile t(File("s.dbf", BuildDbf(fields, rows, 0x57)), 0);
  t.Open();
  EXPECT_EQ(t.CodePage(), 1252);
  ASSERT_EQ(t.RecordCount(), static_cast<int64_t>(std::size(cases)));
  for (size_t r = 0; r < std::size(cases); ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(t.ReadString(0, static_cast<int64_t>(r + 1)), cases[r].text);
  }
}

TEST_F(DbfTest, CodePageComesFromCallerCpgOrLanguageDriver) {
  // "Ёлка" in code page 1251 bytes; how it reads tells the code page in use.
  const std::string cyr = "\xa8\xeb\xea\xe0";
  const struct {
    const char* what;
    int given;
    const char* cpg;  // nullptr: no .cpg file
    uint8_t ldid;
    int codepage;
  } cases[] = {
      {"caller wins", 1251, "1252", 0x57, 1251},
      {"cpg number", 0, "1251", 0x57, 1251},
      {"cpg number with line end", 0, "1251\r\n", 0x57, 1251},
      {"cpg name as GDAL writes it", 0, "CP1251", 0x57, 1251},
      {"cpg UTF-8", 0, "UTF-8", 0x57, 65001},
      {"cpg ANSI name", 0, "ANSI 1251", 0, 1251},
      {"cpg ISO name", 0, "ISO-8859-5", 0, 28595},
      {"cpg garbage falls back to the system", 0, "nonsense", 201, SystemAnsiCodePage()},
      {"language driver 0x57", 0, nullptr, 0x57, 1252},
      {"language driver 201", 0, nullptr, 201, 1251},
      {"language driver 0", 0, nullptr, 0, SystemAnsiCodePage()},
      {"language driver without code page", 0, nullptr, 5, SystemAnsiCodePage()},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string stem = Num("cp", k++);
    const std::string name = File(stem + ".dbf", BuildDbf({{"s", 'C', 8, 0}}, {{cyr}}, c.ldid));
    if (c.cpg) File(stem + ".cpg", c.cpg);
    TDbfFile t(name, c.given);
    t.Open();
    EXPECT_EQ(t.CodePage(), c.codepage);
    if (c.codepage == 1251) {
      EXPECT_EQ(t.ReadString(0, 1), "Ёлка");
    } else if (c.codepage == 1252) {
      EXPECT_EQ(t.ReadString(0, 1), "¨ëêà");
    }
  }
}

TEST_F(DbfTest, ReadIntegerFromText) {
  const std::vector<DbfField> fields = {
      {"n", 'N', 11, 0}, {"d", 'N', 8, 2}, {"c", 'C', 4, 0}, {"day", 'D', 8, 0}, {"l", 'L', 1, 0}};
  const struct {
    const char* n;
    const char* d;
    int64_t nv, dv;
  } ok[] = {{"         12", "    2.50", 12, 2},       {"         -7", "    3.50", -7, 4},
            {"0", "   -2.50", 0, -2},                  {"+5", "  -3.50", 5, -4},
            {"12345678901", "99999.99", 12345678901, 100000},
            {"-1234567890", "   0.499", -1234567890, 0}};
  std::vector<std::vector<std::string>> rows;
  for (const auto& o : ok) rows.push_back({o.n, o.d, "abcd", "20230506", "T"});
  // Malformed numbers after the good rows.
  rows.push_back({"", "", "1", "", ""});
  rows.push_back({"12a", "1.2.3", "1", "", ""});
  rows.push_back({"1.5", "*****", "1", "", ""});
  TDbfFile t(File("i.dbf", BuildDbf(fields, rows)), 0);
  t.Open();
  for (size_t r = 0; r < std::size(ok); ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(t.ReadInteger(0, static_cast<int64_t>(r + 1)), ok[r].nv);
    EXPECT_EQ(t.ReadInteger(1, static_cast<int64_t>(r + 1)), ok[r].dv);
  }
  EXPECT_DOUBLE_EQ(t.ReadFloat(1, 1), 2.5);
  for (int64_t r = std::size(ok) + 1; r <= t.RecordCount(); ++r) {
    SCOPED_TRACE(r);
    EXPECT_THROW(t.ReadInteger(0, r), EConvertError);
    EXPECT_THROW(t.ReadInteger(1, r), EConvertError);
  }
  for (int f : {2, 3, 4}) {
    try {
      t.ReadInteger(f, 1);
      ADD_FAILURE() << "field " << f;
    } catch (const EConvertError&) {
      ADD_FAILURE() << "field " << f << ": wrong exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Field type is not supported");
    }
  }
}

TEST_F(DbfTest, OutOfRangeReadsGiveEmptyValues) {
  TDbfFile t(File("r.dbf", BuildDbf(RoadFields, {{"4711", "    21"}, {"4712", "    22"}})), 0);
  EXPECT_EQ(t.ReadString(0, 1), "");  // not open
  EXPECT_EQ(t.ReadInteger(1, 1), 0);
  t.Open();
  EXPECT_EQ(t.ReadString(0, 2), "4712");
  EXPECT_EQ(t.ReadInteger(1, 2), 22);
  EXPECT_FALSE(t.IsDeleted(1));
  for (int64_t rec : {int64_t(0), int64_t(-1), int64_t(3), INT64_MAX}) {
    EXPECT_EQ(t.ReadString(0, rec), "") << rec;
    EXPECT_EQ(t.ReadInteger(1, rec), 0) << rec;
  }
  for (int32_t field : {-1, 2, 256, INT32_MAX}) {
    EXPECT_EQ(t.ReadString(field, 1), "") << field;
    EXPECT_EQ(t.ReadInteger(field, 1), 0) << field;
  }
  t.Close();
  EXPECT_EQ(t.ReadString(0, 1), "");
  EXPECT_EQ(t.FindField("osm_id"), -1);
}

TEST_F(DbfTest, FieldsBeyond255ReadAsEmpty) {
  std::vector<DbfField> fields;
  std::vector<std::string> row;
  for (int i = 0; i < 260; ++i) {
    fields.push_back({Num("f", i), 'C', 3, 0});
    row.push_back(std::to_string(i));
  }
  TDbfFile t(File("wide.dbf", BuildDbf(fields, {row})), 0);
  t.Open();
  EXPECT_EQ(t.FieldCount(), 260);
  EXPECT_EQ(t.ReadString(255, 1), "255");
  EXPECT_EQ(t.ReadString(256, 1), "");
}

TEST_F(DbfTest, DeletedRecordsAreMarked) {
  std::string bytes = BuildDbf(RoadFields, {{"1", "1"}, {"2", "2"}});
  bytes[97 + 17] = '*';  // second record: header 97 bytes, records 17
  TDbfFile t(File("del.dbf", bytes), 0);
  t.Open();
  EXPECT_FALSE(t.IsDeleted(1));
  EXPECT_TRUE(t.IsDeleted(2));
  EXPECT_FALSE(t.IsDeleted(3));
}

TEST_F(DbfTest, OtherExtensionsStayClosed) {
  for (const char* name : {"t.shp", "t", "t.dbf.bak", "t.csv"}) {
    TDbfFile t(File(name, BuildDbf(RoadFields, {{"1", "1"}})), 0);
    EXPECT_NO_THROW(t.Open());
    EXPECT_FALSE(t.IsOpen()) << name;
    EXPECT_EQ(t.FieldCount(), 0);
  }
  TDbfFile upper(File("UP.DBF", BuildDbf(RoadFields, {{"1", "1"}})), 0);
  upper.Open();
  EXPECT_TRUE(upper.IsOpen());
}

TEST_F(DbfTest, WriterOutputReadsBack) {
  const std::string stem = Path("roads");
  {
    std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(gfDBF);
    w->SetFileName(stem);
    w->SetCodepage(1251);
    w->StartHeader(5, otNone);
    w->AddField("osm_id", gfChar, 10, 0);
    w->AddField("attribute", gfSmallInt, 0, 0);
    w->AddField("name", gfChar, 20, 0);
    w->AddField("maxspeed", gfDecimal, 6, 1);
    w->AddField("big", gfInt64, 0, 0);
    w->AddObject(0, false, "\"4711\",21,\"Улица \"\"Мира\"\"\",50.5,123456789012345");
    w->AddObject(0, false, "\"4712\",-3,\"\",7.5,-1");
    w->Close();
  }
  TDbfFile t(stem + ".dbf", 0);
  t.Open();
  EXPECT_EQ(t.CodePage(), 1251);  // from the language driver id
  ASSERT_EQ(t.RecordCount(), 2);
  EXPECT_EQ(t.FieldInfo(0).Name, "OSM_ID");
  EXPECT_EQ(t.FieldInfo(1).FieldType, gfDecimal);
  EXPECT_EQ(t.FieldInfo(1).Width, 6);
  EXPECT_EQ(t.ReadString(0, 1), "4711");
  EXPECT_EQ(t.ReadInteger(1, 1), 21);
  EXPECT_EQ(t.ReadString(2, 1), "Улица \"Мира\"");
  EXPECT_EQ(t.ReadInteger(3, 1), 50);  // 50.5 rounds to even
  EXPECT_EQ(t.ReadInteger(4, 1), 123456789012345);
  EXPECT_EQ(t.ReadInteger(1, 2), -3);
  EXPECT_EQ(t.ReadString(2, 2), "");
  EXPECT_EQ(t.ReadInteger(3, 2), 8);  // 7.5 rounds to even
  EXPECT_EQ(t.ReadInteger(4, 2), -1);
}

// Damaged dBASE headers: a clear error naming the file, never a read out of
// bounds.
TEST_F(DbfTest, DamagedDbfHeadersRaise) {
  const std::string good = BuildDbf(RoadFields, {{"1", "1"}, {"2", "2"}});
  auto patched = [&](size_t off, const std::string& bytes) {
    std::string s = good;
    PutBytes(s, off, bytes);
    return s;
  };
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"shorter than the fixed header", good.substr(0, 20)},
      {"header length 0", patched(8, LE(0, 2))},
      {"header length below one descriptor block", patched(8, LE(32, 2))},
      {"header length past the end of the file", patched(8, LE(4000, 2))},
      {"more records than the file holds", patched(4, LE(3, 4))},
      {"a record count near 2^32", patched(4, LE(0xFFFFFFFFu, 4))},
      {"field widths past the record length", patched(10, LE(12, 2))},
      {"record length 0", patched(10, LE(0, 2))},
      {"a width of 255 past the record", patched(32 + 16, std::string(1, '\xff'))},
      {"cut inside the records", good.substr(0, good.size() - 10)},
      {"cut inside the descriptors", good.substr(0, 60)},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = File(Num("bad", k++) + ".dbf", c.bytes);
    TDbfFile t(name, 0);
    try {
      t.Open();
      ADD_FAILURE() << "opened";
    } catch (const EOutOfRange& e) {
      EXPECT_NE(e.Message().find(name), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(t.IsOpen());
    EXPECT_EQ(t.ReadString(0, 1), "");
  }
  // A missing trailing 0x1A is no damage.
  TDbfFile t(File("noeof.dbf", good.substr(0, good.size() - 1)), 0);
  EXPECT_NO_THROW(t.Open());
  EXPECT_EQ(t.ReadString(0, 2), "2");
  // Neither is a header that states fewer records than the file holds.
  TDbfFile fewer(File("fewer.dbf", patched(4, LE(1, 4))), 0);
  fewer.Open();
  EXPECT_EQ(fewer.RecordCount(), 1);
  EXPECT_EQ(fewer.ReadString(0, 2), "");
}

TEST_F(DbfTest, DescriptorsEndAtTheTerminator) {
  // Visual FoxPro keeps 263 more header bytes after the 0x0D terminator.
  std::string bytes = BuildDbf(RoadFields, {});
  bytes.insert(97, std::string(263, '\0'));
  PutBytes(bytes, 8, LE(97 + 263, 2));
  bytes.insert(bytes.size() - 1, " " + Padded("4711", 10) + "    21");
  bytes[4] = 1;
  TDbfFile t(File("vfp.dbf", bytes), 0);
  t.Open();
  EXPECT_EQ(t.FieldCount(), 2);
  EXPECT_EQ(t.ReadString(0, 1), "4711");
  EXPECT_EQ(t.ReadInteger(1, 1), 21);
}

TEST_F(DbfTest, MissingFileRaisesOpenError) {
  TDbfFile t(Path("none.dbf"), 0);
  EXPECT_THROW(t.Open(), EFOpenError);
  EXPECT_FALSE(t.IsOpen());
}

// ------------------------------------------------------------------ MapInfo .dat

namespace {

const std::vector<DatField> DatFields = {
    {"Name Char (12)", 12, 0},  {"Id Integer", 4, 0},   {"Small SmallInt", 2, 0},
    {"Big LargeInt", 8, 0},     {"Len Float", 8, 0},    {"Price Decimal (8, 2)", 8, 2},
    {"Day Date", 4, 0},         {"Open Logical", 1, 0}, {"At Time", 4, 0},
    {"Stamp DateTime", 8, 0},   {"Other Blob", 3, 0},
};

std::vector<std::string> DatRow(const std::string& name, int32_t id, int16_t small, int64_t big,
                                double len, const std::string& price) {
  std::string n = name;
  n.resize(12, '\0');
  return {n,        LE(static_cast<uint32_t>(id), 4), LE(static_cast<uint16_t>(small), 2),
          LE(static_cast<uint64_t>(big), 8), Dbl(len), Padded(price, 8),
          LE(20230506, 4), "T", LE(0, 4), LE(0, 8), "xyz"};
}

}  // namespace

TEST_F(DbfTest, DatNativeAndNativeX) {
  const std::vector<std::vector<std::string>> rows = {
      DatRow("\xcc\xee\xf1\xea\xe2\xe0", 12, -3, 123456789012345, 2.5, "   12.35"),
      DatRow("  x  ", -7, 4, -5, -3.5, "   -0.50"),
      DatRow("", 0, 0, 0, 1e300, "        "),
  };
  for (bool nativeX : {false, true}) {
    SCOPED_TRACE(nativeX ? "NativeX" : "native");
    const std::string stem = nativeX ? "x" : "n";
    File(stem + ".tab", BuildTab("WindowsCyrillic", nativeX, DatFields));
    TDbfFile t(File(stem + ".dat", BuildDat(nativeX, DatFields, rows)), 0);
    t.Open();
    EXPECT_EQ(t.DBFtype(), nativeX ? TDBFtype::datx : TDBFtype::dat);
    EXPECT_EQ(t.CodePage(), 1251);
    ASSERT_EQ(t.FieldCount(), 11);
    ASSERT_EQ(t.RecordCount(), 3);
    const TGISField types[] = {gfChar,    gfInteger, gfSmallInt, gfInt64, gfFloat,  gfDecimal,
                               gfDate,    gfLogical, gfTime,     gfDateTime, gfChar};
    const int firstPos = nativeX ? 1 + 2 : 1;  // 11 fields: two bytes of null bits
    int pos = firstPos;
    for (int i = 0; i < 11; ++i) {
      EXPECT_EQ(t.FieldInfo(i).FieldType, types[i]) << i;
      EXPECT_EQ(t.FieldInfo(i).Pos, pos) << i;
      EXPECT_EQ(t.FieldInfo(i).Width, static_cast<int>(DatFields[i].width)) << i;
      pos += DatFields[i].width;
    }
    EXPECT_EQ(t.FieldInfo(5).decimals, 2);
    EXPECT_EQ(t.FindField("price"), 5);
    EXPECT_EQ(t.FieldInfo(0).Name, "NAME");

    EXPECT_EQ(t.ReadString(0, 1), "Москва");
    EXPECT_EQ(t.ReadInteger(1, 1), 12);
    EXPECT_EQ(t.ReadInteger(2, 1), -3);
    EXPECT_EQ(t.ReadInteger(3, 1), 123456789012345);
    EXPECT_EQ(t.ReadInteger(4, 1), 2);  // 2.5 to even
    EXPECT_EQ(t.ReadInteger(5, 1), 12);
    EXPECT_DOUBLE_EQ(t.ReadFloat(5, 1), 12.35);
    EXPECT_EQ(t.ReadString(7, 1), "T");

    EXPECT_EQ(t.ReadString(0, 2), "x");
    EXPECT_EQ(t.ReadInteger(1, 2), -7);
    EXPECT_EQ(t.ReadInteger(2, 2), 4);
    EXPECT_EQ(t.ReadInteger(3, 2), -5);
    EXPECT_EQ(t.ReadInteger(4, 2), -4);  // -3.5 to even
    EXPECT_EQ(t.ReadInteger(5, 2), 0);   // -0.5 to even

    EXPECT_EQ(t.ReadString(0, 3), "");
    EXPECT_EQ(t.ReadInteger(4, 3), INT64_MAX);  // beyond the range: its limit
    EXPECT_THROW(t.ReadInteger(5, 3), EConvertError);
    for (int f : {0, 6, 7, 8, 9, 10}) EXPECT_THROW(t.ReadInteger(f, 1), Exception) << f;
  }
}

TEST_F(DbfTest, DatCharsetAndNativeXMarker) {
  const std::vector<DatField> fields = {{"s Char (4)", 4, 0}};
  const std::string cafe = "Caf\xe9";
  const struct {
    const char* what;
    std::string tab;
    int given;
    int codepage;
    bool nativeX;
  } cases[] = {
      {"charset in any letter case", "!CHARSET windowslatin1\nDefinition Table\nFields 1\ns Char (4)\n",
       0, 1252, false},
      {"unknown charset keeps the caller's code page",
       "!charset Neutral\nDefinition Table\nFields 1\ns Char (4)\n", 1250, 1250, false},
      {"no charset and no caller code page", "Definition Table\nFields 1\ns Char (4)\n", 0, 0,
       false},
      {"charset beats the caller", "!charset WindowsLatin1\nFields 1\ns Char (4)\n", 1251, 1252,
       false},
      {"TYPE NATIVEX in lower case", "\xEF\xBB\xBF!charset WindowsLatin1\n  TyPe NatiVeX Charset \"x\"\n  Fields 1\n s Char (4)\n",
       0, 1252, true},
      {"Type NATIVE is not NativeX", "!charset WindowsLatin1\nType NATIVE\nFields 1\ns Char (4)\n",
       0, 1252, false},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string stem = Num("c", k++);
    File(stem + ".tab", c.tab);
    TDbfFile t(File(stem + ".dat", BuildDat(c.nativeX, fields, {{cafe}})), c.given);
    t.Open();
    EXPECT_EQ(t.CodePage(), c.codepage);
    EXPECT_EQ(t.DBFtype(), c.nativeX ? TDBFtype::datx : TDBFtype::dat);
    if (c.codepage == 1252) {
      EXPECT_EQ(t.ReadString(0, 1), "Café");
    }
  }
}

TEST_F(DbfTest, Utf16FieldsEndAtTheFirstZeroUnit) {
  const std::vector<DatField> fields = {{"s Char (10)", 10, 0}};
  auto u16 = [](const std::u16string& text) {
    std::string b;
    for (char16_t c : text) b += LE(c, 2);
    b.resize(10, '\0');
    return b;
  };
  const struct {
    std::string cell;
    const char* text;
  } cases[] = {{u16(u"Ab"), "Ab"},
               {u16(u" \u041c\u0438\u0440 "), "Мир"},
               {u16(std::u16string(u"x\0y", 3)), "x"},
               {u16(u""), ""},
               {std::string("\0\0X\0\0\0\0\0\0\0", 10), ""},
               {u16(u"abcde"), "abcde"}};
  std::vector<std::vector<std::string>> rows;
  for (const auto& c : cases) rows.push_back({c.cell});
  File("u.tab", BuildTab("UTF-16", true, fields));
  TDbfFile t(File("u.dat", BuildDat(true, fields, rows)), 0);
  t.Open();
  EXPECT_EQ(t.CodePage(), 1200);
  for (size_t r = 0; r < std::size(cases); ++r)
    EXPECT_EQ(t.ReadString(0, static_cast<int64_t>(r + 1)), cases[r].text) << r;
}

TEST_F(DbfTest, DatFieldLineTypePrefixes) {
  const struct {
    const char* line;
    TGISField type;
  } cases[] = {{"a Char (10)", gfChar},     {"a DateTime", gfDateTime}, {"a Date", gfDate},
               {"a Time", gfTime},          {"a SmallInt", gfSmallInt}, {"a Integer", gfInteger},
               {"a LargeInt", gfInt64},     {"a Float", gfFloat},       {"a Decimal (5, 2)", gfDecimal},
               {"a Logical", gfLogical},    {"a Unknown", gfChar},      {"a", gfChar},
               {"a   integer", gfInteger},  {"a\tFloat", gfFloat}};
  std::string tab = Num("Definition Table\nFields ", std::size(cases)) + "\n";
  std::vector<DatField> fields;
  for (const auto& c : cases) {
    tab += std::string(c.line) + "\n";
    fields.push_back({c.line, 1, 0});
  }
  File("p.tab", tab);
  TDbfFile t(File("p.dat", BuildDat(false, fields, {})), 0);
  t.Open();
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(t.FieldInfo(static_cast<int32_t>(i)).FieldType, cases[i].type) << cases[i].line;
}

TEST_F(DbfTest, NativeXFieldsWiderThanTheOldBuffer) {
  const std::string longText(1000, 'z');
  const std::vector<DatField> fields = {{"a Char (1000)", 1000, 0}, {"b Integer", 4, 0}};
  File("w.tab", BuildTab("WindowsLatin1", true, fields));
  TDbfFile t(File("w.dat", BuildDat(true, fields, {{longText, LE(99, 4)}})), 0);
  t.Open();
  EXPECT_EQ(t.FieldInfo(0).Width, 1000);
  EXPECT_EQ(t.ReadString(0, 1), longText);
  EXPECT_EQ(t.ReadInteger(1, 1), 99);
}

TEST_F(DbfTest, DamagedDatTablesRaise) {
  const std::vector<DatField> fields = {{"a Char (4)", 4, 0}, {"b Integer", 4, 0}};
  const std::string dat = BuildDat(false, fields, {{"abcd", LE(1, 4)}});
  const std::string datX = BuildDat(true, fields, {{"abcd", LE(1, 4)}});

  {  // .dat without .tab: the message names the .dat as given
    const std::string name = File("alone.dat", dat);
    TDbfFile t(name, 0);
    try {
      t.Open();
      ADD_FAILURE();
    } catch (const EFileMissing& e) {
      EXPECT_EQ(e.Message(), "Corresponding TAB file is missing for DAT file " + name);
    }
  }
  {  // .tab without a Fields line
    File("nofields.tab", "!table\n!charset WindowsLatin1\nDefinition Table\n");
    TDbfFile t(File("nofields.dat", dat), 0);
    EXPECT_THROW(t.Open(), EConvertError);
    EXPECT_FALSE(t.IsOpen());
  }
  {  // Fields without a number
    File("badcount.tab", "Definition Table\nFields x\na Char (4)\n");
    TDbfFile t(File("badcount.dat", dat), 0);
    EXPECT_THROW(t.Open(), EConvertError);
  }

  auto patched = [](std::string s, size_t off, const std::string& bytes) {
    PutBytes(s, off, bytes);
    return s;
  };
  const struct {
    const char* what;
    std::string tab;
    std::string dat;
  } cases[] = {
      {"tab lists fewer field lines than its count",
       "Definition Table\nFields 3\na Char (4)\nb Integer\n", dat},
      {"tab declares more fields than the header describes",
       "Definition Table\nFields 40\n" + std::string(40 * 4, 'x'), dat},
      {"header length past the end", BuildTab("", false, fields), patched(dat, 8, LE(9000, 2))},
      {"more records than the file holds", BuildTab("", false, fields), patched(dat, 4, LE(2, 4))},
      {"widths past the record", BuildTab("", false, fields), patched(dat, 48, std::string(1, '\xc8'))},
      {"NativeX width beyond any buffer", BuildTab("", true, fields),
       patched(datX, 48, LE(0x7FFFFFFF, 4))},
      {"NativeX negative width", BuildTab("", true, fields), patched(datX, 48, LE(0xFFFFFFF0u, 4))},
      {"NativeX record length beyond 2 GB", BuildTab("", true, fields),
       patched(datX, 16, LE(0xFFFFFFFFu, 4))},
      {"NativeX negative record count", BuildTab("", true, fields),
       patched(datX, 4, LE(0xFFFFFFFFFFFFFFFFull, 8))},
      {"NativeX huge record count", BuildTab("", true, fields),
       patched(datX, 4, LE(0x7FFFFFFFFFFFFFFFull, 8))},
      {"cut inside the header", BuildTab("", true, fields), datX.substr(0, 15)},
  };
  // "x\nx\n..." makes 40 field lines for the second case.
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string tab = c.tab;
    if (tab.find("Fields 40") != std::string::npos) {
      tab = "Definition Table\nFields 40\n";
      for (int i = 0; i < 40; ++i) tab += Num("f", i) + " Char (1)\n";
    }
    const std::string stem = Num("d", k++);
    File(stem + ".tab", tab);
    TDbfFile t(File(stem + ".dat", c.dat), 0);
    EXPECT_THROW(t.Open(), EOutOfRange);
    EXPECT_FALSE(t.IsOpen());
    EXPECT_EQ(t.ReadString(0, 1), "");
  }
}

// ------------------------------------------------------------------ several files

TEST_F(DbfTest, SeveralFilesReadAsOneTable) {
  std::vector<std::vector<std::string>> a, b;
  for (int i = 1; i <= 100; ++i) a.push_back({Num("a", i), std::to_string(i)});
  for (int i = 1; i <= 50; ++i) b.push_back({Num("b", i), std::to_string(1000 + i)});
  const std::string fa = File("a.dbf", BuildDbf(RoadFields, a));
  const std::string fe = File("e.dbf", BuildDbf(RoadFields, {}));
  const std::string fb = File("b.dbf", BuildDbf(RoadFields, b));
  TDbfFiles t(0);
  EXPECT_EQ(t.FieldCount(), -1);
  EXPECT_EQ(t.RecordCount(), -1);
  EXPECT_EQ(t.FindField("osm_id"), -1);
  t.Add(fa);
  t.Add(std::vector<std::string>{fe, fb});
  t.Open();
  EXPECT_EQ(t.FieldCount(), 2);
  EXPECT_EQ(t.RecordCount(), 150);
  EXPECT_EQ(t.FindField("ATTRIBUTE"), 1);
  EXPECT_EQ(t.FieldInfo(0).Width, 10);
  const struct {
    int64_t rec;
    const char* text;
    int64_t value;
  } reads[] = {{1, "a1", 1},     {100, "a100", 100}, {101, "b1", 1001}, {120, "b20", 1020},
               {150, "b50", 1050}, {151, "", 0},     {0, "", 0},        {-5, "", 0}};
  for (const auto& r : reads) {
    EXPECT_EQ(t.ReadString(0, r.rec), r.text) << r.rec;
    EXPECT_EQ(t.ReadInteger(1, r.rec), r.value) << r.rec;
  }
}

TEST_F(DbfTest, SeveralFilesMustShareTheStructure) {
  const std::string first = File("first.dbf", BuildDbf(RoadFields, {{"1", "1"}}));
  const struct {
    const char* what;
    std::vector<DbfField> fields;
    const char* message;
  } cases[] = {
      {"field count", {{"osm_id", 'C', 10, 0}},
       "DBF files structure are different. Fields count of table %s is not the same as the first"},
      {"names", {{"osm_id", 'C', 10, 0}, {"attr", 'N', 6, 0}},
       "DBF files structure are different. Names in table %s is not the same as the first"},
      {"types", {{"osm_id", 'C', 10, 0}, {"attribute", 'C', 6, 0}},
       "DBF files structure are different. Fields types in table %s is not the same as the first"},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string other = File(Num("other", k++) + ".dbf",
                                   BuildDbf(c.fields, {}));
    TDbfFiles t(0);
    t.Add(first);
    t.Add(other);
    std::string expected = c.message;
    expected.replace(expected.find("%s"), 2, other);
    try {
      t.Open();
      ADD_FAILURE() << "opened";
    } catch (const EDifferentDBFFilesStructure& e) {
      EXPECT_EQ(e.Message(), expected);
    }
  }
  // Widths may differ; names compare in upper case.
  TDbfFiles ok(0);
  ok.Add(first);
  ok.Add(File("same.dbf", BuildDbf({{"OSM_ID", 'C', 12, 0}, {"Attribute", 'N', 11, 0}}, {})));
  EXPECT_NO_THROW(ok.Open());
}

// ------------------------------------------------------------------ GDAL as the writer

namespace {

struct OgrField {
  std::string name;
  OGRFieldType type;
  int width, precision;
};

struct OgrTable {
  std::vector<OgrField> fields;
  std::vector<std::vector<std::string>> text;  // as OGR reads each value
  std::vector<std::vector<double>> number;
  std::vector<std::vector<int64_t>> integer;
};

OgrTable ReadWithOgr(const std::string& path) {
  OgrTable t;
  GDALAllRegister();
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  EXPECT_NE(ds, nullptr) << path;
  if (!ds) return t;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
  for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i) {
    OGRFieldDefnH f = OGR_FD_GetFieldDefn(defn, i);
    t.fields.push_back({OGR_Fld_GetNameRef(f), OGR_Fld_GetType(f), OGR_Fld_GetWidth(f),
                        OGR_Fld_GetPrecision(f)});
  }
  OGR_L_ResetReading(layer);
  while (OGRFeatureH feat = OGR_L_GetNextFeature(layer)) {
    std::vector<std::string> row;
    std::vector<double> nums;
    std::vector<int64_t> ints;
    for (size_t i = 0; i < t.fields.size(); ++i) {
      row.push_back(OGR_F_GetFieldAsString(feat, static_cast<int>(i)));
      nums.push_back(OGR_F_GetFieldAsDouble(feat, static_cast<int>(i)));
      ints.push_back(OGR_F_GetFieldAsInteger64(feat, static_cast<int>(i)));
    }
    t.text.push_back(row);
    t.number.push_back(nums);
    t.integer.push_back(ints);
    OGR_F_Destroy(feat);
  }
  GDALClose(ds);
  return t;
}

// What ReadInteger must give for an OGR value: integers exactly, reals
// rounded to even.
int64_t Expected(const OgrTable& t, const OgrField& f, size_t row, size_t col) {
  return f.type == OFTInteger || f.type == OFTInteger64 ? t.integer[row][col]
                                                        : Round(t.number[row][col]);
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c -= 32;
  return s;
}

// A CSV with typed columns (.csvt) as GDAL's input.
void WriteCsv(const fs::path& dir, const std::string& rows) {
  std::ofstream(dir / "in.csv") << "name,i,big,f,dec,d\n" << rows;
  std::ofstream(dir / "in.csvt")
      << "\"String(24)\",\"Integer\",\"Integer64\",\"Real\",\"Real(9.2)\",\"Date\"\n";
}

const struct {
  const char* encoding;  // "" : GDAL's default
  int codepage;
  const char* rows;
} GdalCases[] = {
    {"", 1252,
     "\"Café, \"\"Straße\"\"\",12,123456789012,2.5,12.35,2023-05-06\n"
     "\"  Ærø  \",-7,-5,-3.5,-0.5,1999-12-31\n"
     ",0,0,0.5,1.5,2000-01-01\n"},
    {"CP1252", 1252,
     "\"Crème brûlée\",1,2,3.5,4.25,2023-05-06\n\"Œuvre\",2147483647,-9007199254740993,-0.5,-2.5,"
     "2024-02-29\n"},
    {"CP1251", 1251,
     "\"Москва, \"\"центр\"\"\",12,123456789012,2.5,12.35,2023-05-06\n"
     "\"Ёлка\",-7,-5,-3.5,-0.5,1999-12-31\n"},
};

int RunGdal(const std::string& cmd) { return std::system((cmd + " 2>/dev/null").c_str()); }

}  // namespace

TEST_F(DbfTest, ReadsDbfWrittenByGdal) {
  for (const auto& c : GdalCases) {
    SCOPED_TRACE(*c.encoding ? c.encoding : "default");
    const fs::path sub = fs::path(dir) / (std::string("shp_") + c.encoding);
    fs::create_directories(sub);
    WriteCsv(sub, c.rows);
    const std::string out = (sub / "t.dbf").string();
    ASSERT_EQ(RunGdal("ogr2ogr -f \"ESRI Shapefile\" " +
                      (*c.encoding ? std::string("-lco ENCODING=") + c.encoding + " " : "") +
                      "'" + out + "' '" + (sub / "in.csv").string() + "'"),
              0);
    const OgrTable ogr = ReadWithOgr(out);

    TDbfFile t(out, 0);
    t.Open();
    EXPECT_EQ(t.CodePage(), c.codepage);
    ASSERT_EQ(t.FieldCount(), static_cast<int32_t>(ogr.fields.size()));
    ASSERT_EQ(t.RecordCount(), static_cast<int64_t>(ogr.text.size()));
    for (int i = 0; i < t.FieldCount(); ++i) {
      const OgrField& o = ogr.fields[i];
      SCOPED_TRACE(o.name);
      const Tdbffield& f = t.FieldInfo(i);
      EXPECT_EQ(f.Name, Upper(o.name));
      EXPECT_EQ(t.FindField(o.name), i);
      EXPECT_EQ(f.Width, o.type == OFTDate ? 8 : o.width);  // OGR reports dates as 10 wide
      EXPECT_EQ(f.decimals, o.precision);
      const TGISField type = o.type == OFTString ? gfChar : o.type == OFTDate ? gfDate : gfDecimal;
      EXPECT_EQ(f.FieldType, type);
      for (int64_t r = 1; r <= t.RecordCount(); ++r) {
        const std::string& text = ogr.text[r - 1][i];
        if (o.type == OFTString) {
          EXPECT_EQ(t.ReadString(i, r), text) << r;
        } else if (o.type == OFTDate) {
          std::string digits;
          for (char ch : text)
            if (ch != '/') digits += ch;
          EXPECT_EQ(t.ReadString(i, r), digits) << r;
        } else {
          EXPECT_EQ(t.ReadInteger(i, r), Expected(ogr, o, r - 1, i)) << r;
          EXPECT_DOUBLE_EQ(t.ReadFloat(i, r), ogr.number[r - 1][i]) << r;
        }
      }
    }
  }
}

TEST_F(DbfTest, ReadsMapInfoTablesWrittenByGdal) {
  for (const auto& c : GdalCases) {
    if (!*c.encoding) continue;  // GDAL's default MapInfo charset is "Neutral"
    SCOPED_TRACE(c.encoding);
    const fs::path sub = fs::path(dir) / (std::string("tab_") + c.encoding);
    fs::create_directories(sub);
    WriteCsv(sub, c.rows);
    const std::string tab = (sub / "t.tab").string();
    ASSERT_EQ(RunGdal(std::string("ogr2ogr -f \"MapInfo File\" -nlt NONE -lco ENCODING=") +
                      c.encoding + " '" + tab + "' '" + (sub / "in.csv").string() + "'"),
              0);
    const OgrTable ogr = ReadWithOgr(tab);

    TDbfFile t((sub / "t.dat").string(), 0);
    t.Open();
    EXPECT_EQ(t.DBFtype(), TDBFtype::dat);
    EXPECT_EQ(t.CodePage(), c.codepage);
    ASSERT_EQ(t.FieldCount(), static_cast<int32_t>(ogr.fields.size()));
    ASSERT_EQ(t.RecordCount(), static_cast<int64_t>(ogr.text.size()));
    for (int i = 0; i < t.FieldCount(); ++i) {
      const OgrField& o = ogr.fields[i];
      SCOPED_TRACE(o.name);
      const Tdbffield& f = t.FieldInfo(i);
      EXPECT_EQ(f.Name, Upper(o.name));
      TGISField type = gfChar;
      switch (o.type) {
        case OFTInteger: type = gfInteger; break;
        case OFTReal: type = o.width > 0 ? gfDecimal : gfFloat; break;
        case OFTDate: type = gfDate; break;
        default: break;
      }
      EXPECT_EQ(f.FieldType, type);
      if (type == gfDecimal) {
        EXPECT_EQ(f.Width, o.width);
        EXPECT_EQ(f.decimals, o.precision);
      }
      for (int64_t r = 1; r <= t.RecordCount(); ++r) {
        if (type == gfChar) {
          EXPECT_EQ(t.ReadString(i, r), ogr.text[r - 1][i]) << r;
        } else if (type != gfDate) {
          EXPECT_EQ(t.ReadInteger(i, r), Expected(ogr, o, r - 1, i)) << r;
          EXPECT_DOUBLE_EQ(t.ReadFloat(i, r), ogr.number[r - 1][i]) << r;
        }
      }
    }
  }
}
