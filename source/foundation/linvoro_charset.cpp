#include "linvoro_charset.h"

namespace {

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

TCharSetList::TCharSetList() {
  auto add = [this](uint16_t cp, uint8_t id, const char* name, bool efal = false) {
    Add(TCharSet{cp, id, name, efal});
  };
  add(1252, 10, "WindowsLatin1");
  add(1250, 11, "WindowsLatin2");
  add(1256, 12, "WindowsArabic");
  add(1251, 13, "WindowsCyrillic");
  add(1253, 14, "WindowsGreek");
  add(1255, 15, "WindowsHebrew");
  add(1254, 16, "WindowsTurkish");
  add(950, 17, "WindowsTradChinese");
  add(936, 18, "WindowsSimpChinese");
  add(932, 19, "WindowsJapanese");
  add(949, 20, "WindowsKorean");
  add(874, 54, "WindowsThai");
  add(1257, 55, "WindowsBalticRim");
  add(1258, 56, "WindowsVietnamese");
  add(437, 34, "CodePage437");
  add(850, 35, "CodePage850");
  add(852, 36, "CodePage852");
  add(857, 37, "CodePage857");
  add(860, 38, "CodePage860");
  add(861, 39, "CodePage861");
  add(863, 40, "CodePage863");
  add(865, 41, "CodePage865");
  add(855, 42, "CodePage855");
  add(864, 43, "CodePage864");
  add(869, 44, "CodePage869");
  static const char* const iso[9] = {"ISO8859_1", "ISO8859_2", "ISO8859_3", "ISO8859_4", "ISO8859_5",
                                     "ISO8859_6", "ISO8859_7", "ISO8859_8", "ISO8859_9"};
  for (int k = 1; k <= 9; ++k) add(static_cast<uint16_t>(28590 + k), static_cast<uint8_t>(k), iso[k - 1]);
  add(65001, 57, "UTF-8", true);
  add(1200, 58, "UTF-16", true);
}

std::string TCharSetList::CodePage2Charset(uint16_t Codepage) const {
  for (const TCharSet& c : *this)
    if (c.codepage == Codepage) return c.charset;
  return std::string();
}

uint8_t TCharSetList::CodePage2ID(uint16_t Codepage) const {
  for (const TCharSet& c : *this)
    if (c.codepage == Codepage) return c.ID;
  return 0;
}

uint16_t TCharSetList::Charset2CodePage(std::string_view charset) const {
  for (const TCharSet& c : *this)
    if (SameTextAscii(c.charset, charset)) return c.codepage;
  return 0;
}

const TCharSetList& CharSetList() {
  static const TCharSetList list;
  return list;
}
