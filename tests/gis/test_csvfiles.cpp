// The MID attribute reader: several comma-separated files read as one
// sequence of records, one value per call.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "linvoro_csvfiles.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;
using Values = std::vector<std::string>;


namespace {

class CSVFilesTest : public TTempDirTest {
 protected:
  CSVFilesTest() : TTempDirTest("linvoro_csv_") {}

  std::string File(const std::string& name, const std::string& bytes) {
    Put(Path(name), bytes);
    return Path(name);
  }
};

}  // namespace

TEST_F(CSVFilesTest, FilesReadAsOneSequenceSkippingEmptyOnes) {
  TCSVFiles csv(1252);
  // An empty file first: skipping it must not take the position below 0.
  csv.Add(File("empty0.mid", ""));
  csv.Add(File("a.mid", "1,\"a\"\r\n2,\"b\"\r\n3,\"c\"\r\n"));
  csv.Add(std::vector<std::string>{File("empty.mid", ""), File("b.mid", "4,\"d\"\n5,\"e\"")});
  csv.Open();
  const int64_t size = csv.Size();
  EXPECT_EQ(size, 21 + 0 + 11);
  EXPECT_EQ(csv.Position(), 0);

  std::vector<std::string> lines;
  int64_t last = 0;
  while (!csv.Eof()) {
    lines.push_back(csv.ReadLine());
    EXPECT_GE(csv.Position(), last);
    EXPECT_LE(csv.Position(), size);
    last = csv.Position();
  }
  EXPECT_EQ(lines, (Values{"1,\"a\"", "2,\"b\"", "3,\"c\"", "4,\"d\"", "5,\"e\""}));
  EXPECT_TRUE(csv.Eof());
  EXPECT_EQ(csv.ReadLine(), "");
  std::string s = "x";
  csv.Read(0, s);
  EXPECT_EQ(s, "");
  int64_t i = 9;
  csv.Read(0, i);
  EXPECT_EQ(i, 0);
}

TEST_F(CSVFilesTest, NoFilesOrOnlyEmptyFilesAreAtEofAtOnce) {
  TCSVFiles none(0);
  none.Open();
  EXPECT_TRUE(none.Eof());
  EXPECT_EQ(none.ReadLine(), "");

  TCSVFiles empty(0);
  empty.Add(File("e1.mid", ""));
  empty.Add(File("e2.mid", ""));
  empty.Open();
  EXPECT_TRUE(empty.Eof());
}

TEST_F(CSVFilesTest, ReadPicksOneValuePerLine) {
  TCSVFiles csv(1252);
  csv.Add(File("t.mid",
                "\"a, with comma\",12,-7\n"   // 1
                "\"x\",123456789012345,3\n"   // 2
                "\"y\",5,6\n"                 // 3
                "\"z\",-32768,127\n"          // 4
                "\"w\",7\n"                   // 5
                "\"v\",1,2\n"));              // 6
  csv.Open();
  std::string s;
  csv.Read(0, s);
  EXPECT_EQ(s, "a, with comma");
  int64_t big = 0;
  csv.Read(1, big);
  EXPECT_EQ(big, 123456789012345);
  csv.Read(3, s);  // a line of 3 values has no index 3
  EXPECT_EQ(s, "");
  int16_t i16 = 0;
  csv.Read(1, i16);
  EXPECT_EQ(i16, -32768);
  int64_t missing = 5;
  csv.Read(3, missing);
  EXPECT_EQ(missing, 0);
  Values v;
  csv.ReadLine(v);
  EXPECT_EQ(v, (Values{"v", "1", "2"}));
  EXPECT_TRUE(csv.Eof());
}

TEST_F(CSVFilesTest, IntegerConversionFailures) {
  const struct {
    const char* value;
    int width;  // 64, 16 or 8
  } bad[] = {{"\"\"", 64}, {"\"abc\"", 64}, {"\"12x\"", 64}, {"1.5", 64},
             {"9223372036854775808", 64}, {"\"- 5\"", 64}, {"32768", 16},
             {"-129", 8}, {"128", 8}, {"\"+-1\"", 64}};
  std::string text;
  for (const auto& b : bad) text += std::string("\"id\",") + b.value + "\n";
  TCSVFiles csv(1252);
  csv.Add(File("bad.mid", text));
  csv.Open();
  for (const auto& b : bad) {
    SCOPED_TRACE(b.value);
    if (b.width == 64) {
      int64_t v;
      EXPECT_THROW(csv.Read(1, v), EConvertError);
    } else if (b.width == 16) {
      int16_t v;
      EXPECT_THROW(csv.Read(1, v), EConvertError);
    } else {
      int8_t v;
      EXPECT_THROW(csv.Read(1, v), EConvertError);
    }
  }

  TCSVFiles ok(1252);
  ok.Add(File("ok.mid", "-9223372036854775808\n+17\n\" 42\"\n-128\n"));
  ok.Open();
  int64_t v = 0;
  ok.Read(0, v);
  EXPECT_EQ(v, INT64_MIN);
  ok.Read(0, v);
  EXPECT_EQ(v, 17);
  ok.Read(0, v);
  EXPECT_EQ(v, 42);
  int8_t v8 = 0;
  ok.Read(0, v8);
  EXPECT_EQ(v8, -128);
}

TEST_F(CSVFilesTest, ZLevels) {
  TCSVFiles csv(1252);
  csv.Add(File("z.mid", "\"r\",-9,9\n\"r\",10,0\n\"r\",0,-10\n\"r\",1\n\"r\",x,1\n\"r\",3,-4\n"));
  csv.Open();
  int32_t z1 = 0, z2 = 0;
  csv.Read_Z(1, 2, z1, z2);
  EXPECT_EQ(z1, -9);
  EXPECT_EQ(z2, 9);
  for (int line = 2; line <= 3; ++line) {
    try {
      csv.Read_Z(1, 2, z1, z2);
      ADD_FAILURE() << "line " << line << " should fail";
    } catch (const EOutOfRange& e) {
      EXPECT_EQ(e.Message(), "Z-levels of out range (-9..9)");
    }
  }
  try {
    csv.Read_Z(1, 2, z1, z2);
    ADD_FAILURE() << "a line of two values has no index 2";
  } catch (const EOutOfRange&) {
    ADD_FAILURE() << "wrong exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invalid fields for Z-levels defined");
  }
  EXPECT_THROW(csv.Read_Z(1, 2, z1, z2), EConvertError);
  csv.Read_Z(2, 1, z1, z2);
  EXPECT_EQ(z1, -4);
  EXPECT_EQ(z2, 3);
  EXPECT_THROW(csv.Read_Z(-1, 1, z1, z2), Exception);  // nothing left: no values at all
}

TEST_F(CSVFilesTest, TextIsDecodedFromTheCodePage) {
  // "Москва" in code page 1251 and "Café" in code page 1252.
  TCSVFiles cyr(1251);
  cyr.Add(File("c.mid", "\"\xcc\xee\xf1\xea\xe2\xe0\",1\r\n"));
  cyr.Open();
  std::string s;
  cyr.Read(0, s);
  EXPECT_EQ(s, "Москва");

  TCSVFiles lat(1252);
  lat.Add(File("l.mid", "\"Caf\xe9\",1\r\n"));
  lat.Open();
  lat.Read(0, s);
  EXPECT_EQ(s, "Café");
}

TEST_F(CSVFilesTest, MissingFileFailsOnOpen) {
  TCSVFiles csv(0);
  csv.Add(File("there.mid", "1\n"));
  csv.Add(Path("not_there.mid"));
  EXPECT_THROW(csv.Open(), EFOpenError);
}

TEST_F(CSVFilesTest, LinesSplitByTheAttributeRecordRules) {
  const struct {
    std::string line;
    Values values;
  } cases[] = {
      {"\"a,b\",\"say \"\"hi\"\"\",7", {"a,b", "say \"hi\"", "7"}},
      {"1,2,", {"1", "2", ""}},
      {"  12 ,\t\"x\"  , -3.5  ", {"12", "x", "-3.5"}},
      {"a b", {"a", "b"}},
      {"\"\",,\"\xcc\xee\xf1\xea\xe2\xe0\"", {"", "", "Москва"}},
  };
  std::string text;
  for (const auto& c : cases) text += c.line + "\r\n";
  TCSVFiles csv(1251);
  csv.Add(File("split.mid", text));
  csv.Open();
  Values v{"stale"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    csv.ReadLine(v);
    EXPECT_EQ(v, c.values);
  }
}

TEST(ConvertNumbers, AcceptOnlyPlainDecimals) {
  const struct {
    const char* text;
    bool ok;
    double value;
  } floats[] = {{"12.5", true, 12.5}, {" -0.25 ", true, -0.25}, {"+3", true, 3},
                {"1e3", true, 1000},  {".5", true, 0.5},        {"5.", true, 5},
                {"", false, 0},       {"  ", false, 0},         {"-", false, 0},
                {".", false, 0},      {"1,5", false, 0},        {"+-1", false, 0},
                {"1e", false, 0},     {"inf", false, 0},        {"nan", false, 0},
                {"0x10", false, 0},   {"1.2.3", false, 0},      {"**.**", false, 0}};
  for (const auto& f : floats) {
    SCOPED_TRACE(f.text);
    if (f.ok)
      EXPECT_EQ(ConvertFloat(f.text), f.value);
    else
      EXPECT_THROW(ConvertFloat(f.text), EConvertError);
  }
  EXPECT_EQ(ConvertInteger("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ConvertInteger("9223372036854775807"), INT64_MAX);
  EXPECT_THROW(ConvertInteger("-9223372036854775809"), EConvertError);
  EXPECT_THROW(ConvertInteger("5", 6, 9), EConvertError);
  // Any control character or blank may lead; nothing may follow.
  const struct {
    const char* text;
    bool ok;
    int64_t value;
  } integers[] = {{" 5", true, 5},     {"\t-5", true, -5}, {"\r\n+7", true, 7}, {"007", true, 7},
                  {"5 ", false, 0},    {"", false, 0},     {"  ", false, 0},     {"+-1", false, 0},
                  {"- 1", false, 0},   {"1.0", false, 0},  {"0x10", false, 0},   {"1e3", false, 0}};
  for (const auto& c : integers) {
    SCOPED_TRACE(c.text);
    if (c.ok)
      EXPECT_EQ(ConvertInteger(c.text), c.value);
    else
      EXPECT_THROW(ConvertInteger(c.text), EConvertError);
  }
  try {
    ConvertInteger(" 300", INT8_MIN, INT8_MAX);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "' 300' is not a valid integer value");  // the text as given
  }
}
