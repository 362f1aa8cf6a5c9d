#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "linvoro_charset.h"
#include "linvoro_platform.h"
#include "temp_dir_test.h"
#include "linvoro_textfilereader.h"
#include "linvoro_textfilewriter.h"

namespace fs = std::filesystem;

namespace {

class TextFileTest : public TTempDirTest {
 protected:
  TextFileTest() : TTempDirTest("lvtext_") {}
};

std::string Utf16(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::vector<std::string> ReadAll(TTextFileReader& r) {
  std::vector<std::string> lines;
  while (!r.EOF()) {
    lines.push_back(r.ReadLine());
    if (lines.size() > 100000) break;  // a reader that never ends
  }
  return lines;
}

}  // namespace

// ------------------------------------------------------------ reader

TEST_F(TextFileTest, ReaderSplitsLinesIdenticallyForEveryBlockSize) {
  const std::string a4095(4095, 'a');
  const std::string x65535(65535, 'x');
  const struct Case {
    const char* what;
    std::string bytes;
    int cp;
    std::vector<std::string> lines;
  } cases[] = {
      {"CR LF", "a\r\nb", 1252, {"a", "b"}},
      {"empty file", "", 1252, {}},
      {"lone line end", "\r\n", 1252, {}},
      {"empty line inside", "a\n\nb\n", 1252, {"a", "", "b"}},
      {"mixed ends", "a\rb\r\nc\nd\r", 1252, {"a", "b", "c", "d"}},
      {"CR CR LF is two ends", "a\r\r\nb", 1252, {"a", "", "b"}},
      {"LF CR is two ends", "a\n\rb", 1252, {"a", "", "b"}},
      {"CR LF across 4096", a4095 + "\r\nb", 1252, {a4095, "b"}},
      {"CR LF across 65536", x65535 + "\r\nz\r\n", 1252, {x65535, "z"}},
      {"1252", "Z\xFCrich\r\n\x80", 1252, {"Zürich", "€"}},
      {"1251", "\xC6\xE8\xE7\xED\xFC", 1251, {"Жизнь"}},
      {"932", Utf8ToCodePage("日本\r\n語", 932), 932, {"日本", "語"}},
      {"UTF-8 BOM", "\xEF\xBB\xBF\xC3\x84pfel\r\n\xC3\x9F", 65001, {"Äpfel", "ß"}},
      {"UTF-8 no BOM", "\xC3\x84\n", 65001, {"Ä"}},
      {"UTF-8 BOM kept for 1252", "\xEF\xBB\xBF" "abc", 1252, {"ï»¿abc"}},
      {"malformed UTF-8", "a\xFF" "b", 65001, {"a\xEF\xBF\xBD" "b"}},
      {"UTF-16 BOM", "\xFF\xFE" + Utf16(u"a\r\nЖ"), 1200, {"a", "Ж"}},
      {"UTF-16 no BOM", Utf16(u"x\ny\r"), 1200, {"x", "y"}},
      {"UTF-16 0D/0A bytes inside units", Utf16(u"\u0A0D\u0D0A\n\u0D0A"), 1200, {"\u0A0D\u0D0A", "\u0D0A"}},
      {"UTF-16 odd tail", Utf16(u"ab") + "c", 1200, {"ab\xEF\xBF\xBD"}},
      {"UTF-16 BOM under 65001", "\xFF\xFE" + Utf16(u"Ω"), 65001, {"Ω"}},
  };
  for (const Case& c : cases) {
    Put(Path("in.txt"), c.bytes);
    for (int32_t block : {1, 2, 3, 7, 4096, TTextFileReader::DefaultReadBufferSize}) {
      TTextFileReader r(Path("in.txt"), c.cp, block);
      EXPECT_EQ(r.Size(), static_cast<int64_t>(c.bytes.size())) << c.what;
      EXPECT_EQ(ReadAll(r), c.lines) << c.what << ", block " << block;
      EXPECT_EQ(r.ReadLine(), "") << c.what;  // stays at the end
      EXPECT_TRUE(r.EOF()) << c.what;
    }
  }
}

TEST_F(TextFileTest, ReaderPositionCountsCharactersPlusTwo) {
  Put(Path("ab.txt"), "a\r\nb\r\n");
  TTextFileReader r(Path("ab.txt"), 1252);
  EXPECT_FALSE(r.EOF());
  EXPECT_EQ(r.Position(), 0);
  EXPECT_EQ(r.ReadLine(), "a");
  EXPECT_EQ(r.Position(), 3);
  EXPECT_FALSE(r.EOF());
  EXPECT_EQ(r.ReadLine(), "b");
  EXPECT_EQ(r.Position(), 6);
  EXPECT_TRUE(r.EOF());

  // Characters, not bytes: UTF-16 units, so an emoji counts two.
  Put(Path("u.txt"), "\xEF\xBB\xBF" "Äß\n😀\n");
  TTextFileReader u(Path("u.txt"), 65001);
  u.ReadLine();
  EXPECT_EQ(u.Position(), 4);
  u.ReadLine();
  EXPECT_EQ(u.Position(), 8);
  EXPECT_EQ(u.Size(), 13);  // bytes
}

TEST_F(TextFileTest, ReaderEmptyLineKeepsEofFalseWhileDataFollows) {
  Put(Path("e.txt"), "a\n\nb");
  TTextFileReader r(Path("e.txt"), 65001);
  EXPECT_EQ(r.ReadLine(), "a");
  EXPECT_FALSE(r.EOF());
  EXPECT_EQ(r.ReadLine(), "");
  EXPECT_FALSE(r.EOF());
  EXPECT_EQ(r.ReadLine(), "b");
  EXPECT_TRUE(r.EOF());
}

TEST_F(TextFileTest, ReaderCodePageZeroIsTheSystemAnsiPage) {
  const int ansi = SystemAnsiCodePage();
  const std::string bytes = Utf8ToCodePage("Grüße", ansi);
  Put(Path("ansi.txt"), bytes + "\r\n");
  TTextFileReader r(Path("ansi.txt"), 0);
  EXPECT_EQ(r.ReadLine(), CodePageToUtf8(bytes, ansi));
}

TEST_F(TextFileTest, ReaderMissingFileRaisesOpenError) {
  try {
    TTextFileReader r(Path("none.txt"), 1252);
    FAIL() << "opened";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + Path("none.txt") + "\". No such file or directory");
  }
}

// ------------------------------------------------------------ writer

TEST_F(TextFileTest, WriterMarksOnlyUtf8) {
  const struct {
    uint16_t cp;
    bool bom;
    std::string expected;
  } cases[] = {
      {65001, true, "\xEF\xBB\xBFx\r\n"},
      {65001, false, "x\r\n"},
      {1252, true, "x\r\n"},
      {1251, true, "x\r\n"},
  };
  for (const auto& c : cases) {
    {
      TTextFileWriter w(Path("bom.txt"), c.cp, c.bom);
      w.writeln("x");
      w.Close();
    }
    EXPECT_EQ(Slurp(Path("bom.txt")), c.expected) << c.cp << " " << c.bom;
  }
}

TEST_F(TextFileTest, WriterConvertsAndSubstitutes) {
  const struct {
    uint16_t cp;
    const char* text;
    std::string bytes;
    size_t lost;
  } cases[] = {
      {1252, "Zürich Ж€", "Z\xFCrich ?\x80", 1},
      {1251, "Жизнь ü", "\xC6\xE8\xE7\xED\xFC ?", 1},
      {65001, "Жü", "\xD0\x96\xC3\xBC", 0},
      {65001, "a\xFF", "a\xEF\xBF\xBD", 0},  // a UTF-8 file never holds malformed text
      {28591, "é€", "\xE9?", 1},
  };
  for (const auto& c : cases) {
    size_t lost = 0;
    {
      TTextFileWriter w(Path("c.txt"), c.cp, false);
      w.write(c.text, lost);
      w.write("");
    }
    EXPECT_EQ(Slurp(Path("c.txt")), c.bytes) << c.cp;
    EXPECT_EQ(lost, c.lost) << c.cp;
  }
}

TEST_F(TextFileTest, WriterWritelnOfEmptyStringIsCrLf) {
  {
    TTextFileWriter w(Path("e.txt"), 1252, true);
    w.writeln("");
  }
  EXPECT_EQ(Slurp(Path("e.txt")), "\r\n");
}

TEST_F(TextFileTest, WriterReplacesAnExistingFile) {
  Put(Path("old.txt"), std::string(5000, 'z'));
  {
    TTextFileWriter w(Path("old.txt"), 1252, false);
    w.write("new");
  }
  EXPECT_EQ(Slurp(Path("old.txt")), "new");
}

TEST_F(TextFileTest, WriterAndReaderRoundTrip) {
  std::vector<std::string> lines;
  for (int i = 0; i < 60000; ++i)  // beyond one 1 MiB buffer
    lines.push_back("Улица " + std::to_string(i) + std::string(i % 40, 'x'));
  lines.push_back("");
  lines.push_back("last");
  for (uint16_t cp : {1251, 65001}) {
    {
      TTextFileWriter w(Path("rt.txt"), cp, true);
      for (const auto& l : lines) w.writeln(l);
      w.Close();
      EXPECT_FALSE(w.IsOpen());
    }
    TTextFileReader r(Path("rt.txt"), cp);
    EXPECT_EQ(ReadAll(r), lines) << cp;
    int64_t expected = 0;
    for (const auto& l : lines) expected += static_cast<int64_t>(Utf8ToCodePage(l, 1200).size() / 2) + 2;
    EXPECT_EQ(r.Position(), expected) << cp;
  }
}

TEST_F(TextFileTest, WriterErrors) {
  try {
    TTextFileWriter w(Path("no/dir.txt"), 1252, false);
    FAIL() << "created";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + Path("no/dir.txt") + "\". No such file or directory");
  }
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TTextFileWriter w("/dev/full", 1252, false);
  w.writeln("this cannot be stored");
  EXPECT_THROW(w.Close(), EWriteError);  // a full disk is reported, not lost
  EXPECT_FALSE(w.IsOpen());
  EXPECT_THROW(w.write("more"), EWriteError);
}

// ------------------------------------------------------------ charsets

TEST(CharSetList, LookupsFollowTheTable) {
  const TCharSetList& l = CharSetList();
  EXPECT_EQ(l.Count(), 36);
  const struct {
    uint16_t cp;
    const char* name;
    uint8_t id;
  } cases[] = {
      {1252, "WindowsLatin1", 10},     {1250, "WindowsLatin2", 11},      {1256, "WindowsArabic", 12},
      {1251, "WindowsCyrillic", 13},   {1253, "WindowsGreek", 14},       {1255, "WindowsHebrew", 15},
      {1254, "WindowsTurkish", 16},    {950, "WindowsTradChinese", 17},  {936, "WindowsSimpChinese", 18},
      {932, "WindowsJapanese", 19},    {949, "WindowsKorean", 20},       {874, "WindowsThai", 54},
      {1257, "WindowsBalticRim", 55},  {1258, "WindowsVietnamese", 56},  {437, "CodePage437", 34},
      {850, "CodePage850", 35},        {852, "CodePage852", 36},         {857, "CodePage857", 37},
      {860, "CodePage860", 38},        {861, "CodePage861", 39},         {863, "CodePage863", 40},
      {865, "CodePage865", 41},        {855, "CodePage855", 42},         {864, "CodePage864", 43},
      {869, "CodePage869", 44},        {28591, "ISO8859_1", 1},          {28595, "ISO8859_5", 5},
      {28599, "ISO8859_9", 9},         {65001, "UTF-8", 57},             {1200, "UTF-16", 58},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(l.CodePage2Charset(c.cp), c.name) << c.cp;
    EXPECT_EQ(l.CodePage2ID(c.cp), c.id) << c.cp;
    EXPECT_EQ(l.Charset2CodePage(c.name), c.cp) << c.name;
  }
  for (int k = 1; k <= 9; ++k) {
    EXPECT_EQ(l.CodePage2ID(static_cast<uint16_t>(28590 + k)), k);
    EXPECT_EQ(l.CodePage2Charset(static_cast<uint16_t>(28590 + k)), "ISO8859_" + std::to_string(k));
  }
  EXPECT_EQ(l[0].codepage, 1252);
  EXPECT_EQ(l[l.Count() - 1].codepage, 1200);
  EXPECT_TRUE(l[l.Count() - 1].EFALonly);
  EXPECT_TRUE(l[l.Count() - 2].EFALonly);
  EXPECT_FALSE(l[0].EFALonly);
}

TEST(CharSetList, UnknownValuesGiveEmptyAnswers) {
  const TCharSetList& l = CharSetList();
  EXPECT_EQ(l.CodePage2Charset(20127), "");
  EXPECT_EQ(l.CodePage2ID(20127), 0);
  EXPECT_EQ(l.Charset2CodePage("windowslatin2"), 1250);
  EXPECT_EQ(l.Charset2CodePage("WINDOWSCYRILLIC"), 1251);
  EXPECT_EQ(l.Charset2CodePage("utf-8"), 65001);
  EXPECT_EQ(l.Charset2CodePage("Neutral"), 0);
  EXPECT_EQ(l.Charset2CodePage(""), 0);
  EXPECT_EQ(l.Charset2CodePage("WindowsLatin1 "), 0);
}
