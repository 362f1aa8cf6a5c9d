#include <errno.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <unicode/ucnv.h>

#include "linvoro_charset.h"
#include "linvoro_platform.h"

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s += static_cast<char>(c);
  return s;
}

}  // namespace

TEST(Platform, TickCounterAdvancesInMilliseconds) {
  const uint32_t t0 = GetTickCount32();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const uint32_t dt = GetTickCount32() - t0;  // wraps like the tick it models
  EXPECT_GE(dt, 25u);
  EXPECT_LT(dt, 5000u);
}

TEST(Platform, TempFolderEndsWithSlash) {
  ASSERT_FALSE(TempFolder().empty());
  EXPECT_EQ(TempFolder().back(), '/');
}

TEST(Platform, SystemErrorTextIsTheSystemsWording) {
  EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
  EXPECT_FALSE(SystemErrorText(123456).empty());
}

TEST(Platform, AnsiCodePageFollowsLocaleLanguage) {
  const struct {
    const char* locale;
    int cp;
  } cases[] = {
      {"", 1252},           {"C", 1252},          {"POSIX", 1252},       {"C.UTF-8", 1252},
      {"en_US.UTF-8", 1252}, {"de_DE", 1252},     {"fr_FR.ISO-8859-1", 1252},
      {"ru_RU.UTF-8", 1251}, {"uk_UA", 1251},     {"bg_BG.UTF-8", 1251}, {"sr_RS", 1251},
      {"sr_RS@latin", 1250}, {"mk_MK", 1251},     {"kk_KZ", 1251},       {"be_BY", 1251},
      {"pl_PL.UTF-8", 1250}, {"cs_CZ", 1250},     {"hu_HU", 1250},       {"ro_RO", 1250},
      {"hr_HR", 1250},       {"sq_AL", 1250},     {"el_GR.UTF-8", 1253}, {"tr_TR", 1254},
      {"az_AZ", 1254},       {"he_IL", 1255},     {"ar_EG.UTF-8", 1256}, {"fa_IR", 1256},
      {"ur_PK", 1256},       {"et_EE", 1257},     {"lv_LV", 1257},       {"lt_LT", 1257},
      {"vi_VN", 1258},       {"th_TH", 874},      {"ja_JP.UTF-8", 932},  {"ko_KR.EUC-KR", 949},
      {"zh_CN.UTF-8", 936},  {"zh_SG", 936},      {"zh_TW.UTF-8", 950},  {"zh_HK", 950},
      {"RU_ru", 1251},
  };
  for (const auto& c : cases) EXPECT_EQ(AnsiCodePageForLocale(c.locale), c.cp) << c.locale;
}

// Every code page of the charset table must convert, with a character that
// only that page (family) holds surviving the round trip.
TEST(Platform, EveryTableCodePageConvertsBothWays) {
  const struct {
    int cp;
    const char* text;
  } samples[] = {
      {1252, "é€ß"},    {1250, "łŚő"},    {1256, "عربي"},   {1251, "Жизнь"}, {1253, "Ωμέγα"},
      {1255, "שלום"},   {1254, "şğİ"},    {950, "中文繁體"}, {936, "中文简体"}, {932, "日本語ｶﾅ"},
      {949, "한국어"},   {874, "ภาษาไทย"}, {1257, "ąčė"},    {1258, "₫ơư"},    {437, "é½░"},
      {850, "éÆ"},      {852, "łő"},      {857, "şğ"},      {860, "ãõ"},     {861, "þð"},
      {863, "éè"},      {865, "øå"},      {855, "Жж"},      {864, "°"},      {869, "Ωω"},
      {28591, "éÿ"},    {28592, "łő"},    {28593, "ĥŭ"},    {28594, "ąē"},   {28595, "Жж"},
      {28596, "عر"},    {28597, "Ωω"},    {28598, "אב"},    {28599, "şğ"},   {65001, "Жé中😀"},
      {1200, "Жé中😀"},
  };
  const TCharSetList& list = CharSetList();
  for (int32_t i = 0; i < list.Count(); ++i) {
    const int cp = list[i].codepage;
    bool found = false;
    for (const auto& s : samples) {
      if (s.cp != cp) continue;
      found = true;
      ASSERT_TRUE(CodePageSupported(cp)) << cp;
      const std::string text = std::string("Ab1 ~") + s.text;
      const std::string bytes = Utf8ToCodePage(text, cp);
      EXPECT_EQ(bytes.find('?'), std::string::npos) << cp;
      EXPECT_EQ(CodePageToUtf8(bytes, cp), text) << cp;
    }
    EXPECT_TRUE(found) << "no sample for code page " << cp;
  }
}

TEST(Platform, KnownEncodings) {
  EXPECT_EQ(Utf8ToCodePage("é€", 1252), Bytes({0xE9, 0x80}));
  EXPECT_EQ(Utf8ToCodePage("Жж", 1251), Bytes({0xC6, 0xE6}));
  EXPECT_EQ(Utf8ToCodePage("Aé", 1200), Bytes({0x41, 0x00, 0xE9, 0x00}));
  EXPECT_EQ(Utf8ToCodePage("😀", 1200), Bytes({0x3D, 0xD8, 0x00, 0xDE}));
  EXPECT_EQ(Utf8ToCodePage("日本", 932), Bytes({0x93, 0xFA, 0x96, 0x7B}));
  EXPECT_EQ(Utf8ToCodePage("\\", 932), "\\");  // backslash, not yen, in the Windows flavour
  EXPECT_EQ(CodePageToUtf8(Bytes({0xC6, 0xE6}), 1251), "Жж");
  EXPECT_EQ(CodePageToUtf8(Bytes({0x80}), 1252), "€");
  EXPECT_EQ(CodePageToUtf8(std::string("a\0b", 3), 1252), std::string("a\0b", 3));
}

// Windows maps every 7-bit byte to the same code point in all these pages;
// the IBM tables behind the DOS pages and 932 rotate 0x1A, 0x1C and 0x7F.
TEST(Platform, SevenBitBytesAreAsciiInEveryTablePage) {
  std::string ascii;
  for (int b = 0; b < 0x80; ++b) ascii += static_cast<char>(b);
  const TCharSetList& list = CharSetList();
  for (int32_t i = 0; i < list.Count(); ++i) {
    const int cp = list[i].codepage;
    if (cp == 1200) continue;
    // Alone (fast path) and next to a non-ASCII character (converter path).
    EXPECT_EQ(Utf8ToCodePage(ascii, cp), ascii) << cp;
    EXPECT_EQ(CodePageToUtf8(ascii, cp), ascii) << cp;
    EXPECT_EQ(Utf8ToCodePage(ascii + "é", cp).substr(0, 0x80), ascii) << cp;
    EXPECT_EQ(CodePageToUtf8(ascii + "\xE9", cp).substr(0, 0x80), ascii) << cp;
  }
}

// Single-byte pages are encoded through a table built from the converter;
// over the whole Basic Multilingual Plane it must agree with the converter.
TEST(Platform, SingleByteTablesAgreeWithTheConverter) {
  std::u16string all;
  for (char32_t u = 0x80; u < 0x10000; ++u)
    if (u < 0xD800 || u > 0xDFFF) all += static_cast<char16_t>(u);
  std::string utf8;
  for (char16_t u : all) {
    if (u < 0x800) {
      utf8 += static_cast<char>(0xC0 | (u >> 6));
    } else {
      utf8 += static_cast<char>(0xE0 | (u >> 12));
      utf8 += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    }
    utf8 += static_cast<char>(0x80 | (u & 0x3F));
  }
  const struct {
    int cp;
    const char* icu;
  } pages[] = {{1250, "windows-1250"}, {1251, "windows-1251"}, {1252, "windows-1252"}, {1253, "windows-1253"},
               {1254, "windows-1254"}, {1255, "windows-1255"}, {1256, "windows-1256"}, {1257, "windows-1257"},
               {1258, "windows-1258"}, {874, "windows-874"},   {437, "ibm-437"},       {850, "ibm-850"},
               {852, "ibm-852"},       {855, "ibm-855"},       {857, "ibm-857"},       {860, "ibm-860"},
               {861, "ibm-861"},       {863, "ibm-863"},       {864, "ibm-864"},       {865, "ibm-865"},
               {869, "ibm-869"},       {28591, "ISO-8859-1"},  {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},
               {28594, "ISO-8859-4"},  {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},  {28597, "ISO-8859-7"},
               {28598, "ISO-8859-8"},  {28599, "ISO-8859-9"}};
  for (const auto& p : pages) {
    UErrorCode err = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(p.icu, &err);
    ASSERT_TRUE(conv) << p.icu;
    err = U_ZERO_ERROR;
    ucnv_setSubstChars(conv, "?", 1, &err);
    std::string expected(all.size() * 2, '\0');
    err = U_ZERO_ERROR;
    const int32_t n = ucnv_fromUChars(conv, expected.data(), static_cast<int32_t>(expected.size()),
                                      reinterpret_cast<const UChar*>(all.data()), static_cast<int32_t>(all.size()), &err);
    ucnv_close(conv);
    ASSERT_TRUE(U_SUCCESS(err)) << p.icu;
    expected.resize(n);
    const std::string got = Utf8ToCodePage(utf8, p.cp);
    ASSERT_EQ(got.size(), expected.size()) << "code page " << p.cp;
    for (size_t i = 0; i < got.size(); ++i)
      if (got[i] != expected[i]) {
        ADD_FAILURE() << "code page " << p.cp << ", U+" << std::hex << static_cast<int>(all[i]) << ": got 0x"
                      << (got[i] & 0xFF) << ", converter 0x" << (expected[i] & 0xFF);
        break;
      }
  }
}

// Each "?" is counted as a lost character, on the table path of the 8-bit
// pages and on the converter path of the multi-byte ones alike; invisible
// format characters vanish without being counted.
TEST(Platform, UnmappableCharactersBecomeQuestionMarks) {
  const struct {
    const char* text;
    int cp;
    const char* expected;
    size_t lost;
  } cases[] = {
      {"Жx", 1252, "?x", 1},        {"a中b", 1251, "a?b", 1},       {"€", 28591, "?", 1},
      {"😀", 1252, "?", 1},          {"😀z", 932, "?z", 1},           {"é中", 437, "\x82?", 1},
      {"Ω", 1250, "?", 1},          {"ł", 1252, "?", 1},            {"Улица Ямская", 1252, "????? ??????", 11},
      {"שלום ab", 932, "???? ab", 4}, {"Ω\u200Bx", 1252, "?x", 1},     {"\u200B日本", 932, "\x93\xFA\x96\x7B", 0},
      {"Жизнь", 1251, "\xC6\xE8\xE7\xED\xFC", 0}, {"😀", 65001, "😀", 0}, {"plain", 1252, "plain", 0},
  };
  for (const auto& c : cases) {
    size_t lost = 0;
    EXPECT_EQ(Utf8ToCodePage(c.text, c.cp, &lost), c.expected) << c.text << " " << c.cp;
    EXPECT_EQ(lost, c.lost) << c.text << " " << c.cp;
    // The count adds up over calls, as a writer sums a table's values.
    std::string out;
    AppendUtf8ToCodePage(out, c.text, c.cp, &lost);
    EXPECT_EQ(lost, 2 * c.lost) << c.text << " " << c.cp;
  }
}

// UTF-8 output holds well-formed text only; cuts fall between characters.
TEST(Platform, Utf8OutputIsWellFormedAndCutsAtWholeCharacters) {
  const std::string badUtf8 = Bytes({'a', 0xC3, 'b', 0xED, 0xA0, 0x80});  // cut sequence, a surrogate
  EXPECT_FALSE(IsValidUtf8(badUtf8));
  const std::string fixed = Utf8ToCodePage(badUtf8, 65001);
  EXPECT_TRUE(IsValidUtf8(fixed));
  EXPECT_EQ(fixed.substr(0, 1), "a");
  EXPECT_TRUE(IsValidUtf8("Жé中😀 plain"));
  EXPECT_FALSE(IsValidUtf8(Bytes({0xC0, 0xAF})));  // overlong
  EXPECT_FALSE(IsValidUtf8(Bytes({0xF4, 0x90, 0x80, 0x80})));  // beyond U+10FFFF

  const struct {
    const char* text;
    size_t max;
    size_t cut;
  } cuts[] = {
      {"abc", 5, 3}, {"abc", 2, 2},   {"aЖ", 2, 1},  {"aЖ", 3, 3},   {"中文", 4, 3},
      {"中文", 5, 3}, {"中文", 6, 6},  {"😀a", 3, 0}, {"😀a", 4, 4},   {"", 0, 0},
  };
  for (const auto& c : cuts) EXPECT_EQ(Utf8CutPoint(c.text, c.max), c.cut) << c.text << " " << c.max;
}

// A text field holds a number of characters in at most so many bytes of
// its code page: the cut falls after the last whole character that meets
// both, wherever characters are wider than one byte.
TEST(Platform, CutsByCharactersAndBytesOfACodePage) {
  for (int cp : {1252, 1251, 874}) EXPECT_EQ(CodePageMaxCharSize(cp), 1) << cp;
  for (int cp : {932, 936, 949, 950}) EXPECT_EQ(CodePageMaxCharSize(cp), 2) << cp;
  for (int cp : {65001, 1200, 12345}) EXPECT_EQ(CodePageMaxCharSize(cp), 4) << cp;

  const std::string bad = Bytes({'a', 0xFF, 'b', 'c'});
  const struct {
    std::string text;
    int cp;
    size_t chars, bytes, cut;
  } cases[] = {
      {"Большая Новодмитровская улица", 65001, 50, 200, 56},  // 29 characters, 56 bytes
      {"Большая Новодмитровская улица", 65001, 25, 200, 48},
      {"Большая Новодмитровская улица", 65001, 50, 10, 10},  // 5 letters in 10 bytes
      {"Большая Новодмитровская улица", 65001, 50, 11, 10},  // never half a letter
      {"日本語テキスト", 65001, 5, 20, 15},
      {"日本語テキスト", 65001, 9, 20, 18},
      {"😀😀😀", 65001, 2, 254, 8},
      {"日本語テキスト", 932, 5, 254, 15},  // five characters of the UTF-8 text
      {"日本語テキスト", 932, 9, 9, 12},    // four characters of two bytes each
      {"aЖbc", 1251, 3, 3, 4},
      {"abcdef", 1252, 4, 254, 4},
      {"abcdef", 1252, 254, 4, 4},
      {"Ω\u200Bxyz", 1252, 254, 3, 7},  // the invisible character takes no byte
      {bad, 1252, 3, 254, 3},            // a malformed byte is one character
      {bad, 65001, 254, 4, 2},           // ... of three bytes in UTF-8
      {"", 65001, 0, 0, 0},
      {"abc", 65001, 0, 10, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CodePageCutPoint(c.text, c.cp, c.chars, c.bytes), c.cut)
        << c.text << " in " << c.cp << ", " << c.chars << " characters in " << c.bytes << " bytes";
}

// Only pages that keep ASCII as it is can carry the quotes, commas and
// headers of a table.
TEST(Platform, CodePagesThatKeepAscii) {
  for (int cp : {1252, 1251, 1250, 874, 932, 936, 949, 950, 437, 866, 28595, 20866, 65001})
    EXPECT_TRUE(CodePageKeepsAscii(cp)) << cp;
  for (int cp : {1200, 37, 500, 1026, 12345, -1}) EXPECT_FALSE(CodePageKeepsAscii(cp)) << cp;
}

TEST(Platform, MalformedInputNeverBreaksConversion) {
  const std::string badUtf8 = Bytes({'a', 0xC3, 'b', 0xFF, 0xE2, 0x82});
  EXPECT_EQ(Utf8ToCodePage(badUtf8, 1252), "a?b??");
  EXPECT_EQ(CodePageToUtf8(badUtf8, 65001), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(CodePageToUtf8(Bytes({0x41, 0x00, 0x42}), 1200), "A\xEF\xBF\xBD");  // odd byte count
  EXPECT_EQ(CodePageToUtf8(Bytes({0x00, 0xD8, 0x41, 0x00}), 1200), "\xEF\xBF\xBD" "A");  // lone surrogate
  EXPECT_FALSE(CodePageToUtf8(Bytes({0x81, 0x20, 0xFF}), 932).empty());
  EXPECT_EQ(CodePageToUtf8("", 1251), "");
  EXPECT_EQ(Utf8ToCodePage("", 1251), "");
}

TEST(Platform, UnknownCodePagesAreReported) {
  EXPECT_FALSE(CodePageSupported(12345));
  EXPECT_FALSE(CodePageSupported(-1));
  EXPECT_TRUE(CodePageSupported(0));
  EXPECT_TRUE(CodePageSupported(65001));
  EXPECT_TRUE(CodePageSupported(1200));
}

TEST(Platform, CodePageZeroIsTheSystemAnsiPage) {
  const std::string text = "Aé€Ж";
  EXPECT_EQ(Utf8ToCodePage(text, 0), Utf8ToCodePage(text, SystemAnsiCodePage()));
}

TEST(Platform, ConversionIsThreadSafe) {
  auto work = [](int cp, const char* text, bool* ok) {
    *ok = true;
    for (int i = 0; i < 2000; ++i)
      if (CodePageToUtf8(Utf8ToCodePage(text, cp), cp) != text) *ok = false;
  };
  bool ok1 = false, ok2 = false;
  std::thread t1(work, 1251, "Жизнь и судьба", &ok1);
  std::thread t2(work, 932, "日本語のテキスト", &ok2);
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

TEST(Platform, UserLocaleCollationIsCaseSensitiveAndLinguistic) {
  EXPECT_EQ(CompareUserLocale("Main Street", "Main Street"), 0);
  EXPECT_NE(CompareUserLocale("main", "Main"), 0);
  EXPECT_EQ(CompareUserLocale("main", "Main"), -CompareUserLocale("Main", "main"));
  EXPECT_LT(CompareUserLocale("apple", "Banana"), 0);  // not byte order
  EXPECT_LT(CompareUserLocale("Ärger", "Zebra"), 0);
  EXPECT_LT(CompareUserLocale("", "a"), 0);
}
