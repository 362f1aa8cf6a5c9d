#include "linvoro_platform.h"

#include <time.h>
#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

uint32_t GetTickCount32() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

const std::string& TempFolder() {
  static const std::string folder = [] {
    const char* t = std::getenv("TMPDIR");
    std::string s = (t && *t) ? t : "/tmp";
    if (s.back() != '/') s += '/';
    return s;
  }();
  return folder;
}

// ------------------------------------------------------------ locale

namespace {

// The locale name the C library would use for text: LC_ALL, LC_CTYPE, LANG.
std::string UserLocaleName() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "";
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

}  // namespace

int AnsiCodePageForLocale(std::string_view locale) {
  // language[_territory][.codeset][@modifier]
  const std::string loc = Lower(locale);
  std::string modifier;
  const size_t at = loc.find('@');
  if (at != std::string::npos) modifier = loc.substr(at + 1);
  const size_t langEnd = loc.find_first_of("_-.@");
  const std::string lang = loc.substr(0, langEnd);
  std::string territory;
  if (langEnd != std::string::npos && (loc[langEnd] == '_' || loc[langEnd] == '-')) {
    const size_t tEnd = loc.find_first_of(".@", langEnd + 1);
    territory = loc.substr(langEnd + 1, tEnd == std::string::npos ? std::string::npos : tEnd - langEnd - 1);
  }
  auto in = [&](std::initializer_list<const char*> list) {
    for (const char* l : list)
      if (lang == l) return true;
    return false;
  };
  if (lang.empty() || lang == "c" || lang == "posix") return 1252;
  // Serbian, Azeri and Uzbek come in Latin and Cyrillic script.
  if (lang == "sr") return modifier == "latin" ? 1250 : 1251;
  if (lang == "az" || lang == "uz") return modifier == "cyrillic" ? 1251 : 1254;
  if (in({"pl", "cs", "hu", "sk", "sl", "hr", "ro", "sq", "bs", "hsb", "dsb"})) return 1250;
  if (in({"ru", "uk", "be", "bg", "mk", "kk", "ky", "tt", "ba", "mn", "tg", "sah", "cv", "os"})) return 1251;
  if (lang == "el") return 1253;
  if (in({"tr", "tk"})) return 1254;
  if (in({"he", "iw", "yi"})) return 1255;
  if (in({"ar", "fa", "ur", "ps", "ug", "prs", "ckb", "sd"})) return 1256;
  if (in({"et", "lv", "lt"})) return 1257;
  if (lang == "vi") return 1258;
  if (lang == "th") return 874;
  if (lang == "ja") return 932;
  if (lang == "ko") return 949;
  if (lang == "zh") {
    if (territory == "tw" || territory == "hk" || territory == "mo" || modifier == "hant") return 950;
    return 936;
  }
  return 1252;
}

int SystemAnsiCodePage() {
  static const int cp = AnsiCodePageForLocale(UserLocaleName());
  return cp;
}

// ------------------------------------------------------------ code pages

namespace {

const char* IcuConverterName(int codepage) {
  switch (codepage) {
    case 1250: return "windows-1250";
    case 1251: return "windows-1251";
    case 1252: return "windows-1252";
    case 1253: return "windows-1253";
    case 1254: return "windows-1254";
    case 1255: return "windows-1255";
    case 1256: return "windows-1256";
    case 1257: return "windows-1257";
    case 1258: return "windows-1258";
    case 874: return "windows-874";
    case 932: return "windows-31j";
    case 936: return "windows-936";
    case 949: return "windows-949";
    case 950: return "windows-950";
    case 437: return "ibm-437";
    case 737: return "ibm-737";
    case 775: return "ibm-775";
    case 850: return "ibm-850";
    case 852: return "ibm-852";
    case 855: return "ibm-855";
    case 857: return "ibm-857";
    case 860: return "ibm-860";
    case 861: return "ibm-861";
    case 862: return "ibm-862";
    case 863: return "ibm-863";
    case 864: return "ibm-864";
    case 865: return "ibm-865";
    case 866: return "ibm-866";
    case 869: return "ibm-869";
    case 20127: return "US-ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    default: return nullptr;
  }
}

// One opened converter with what the fast paths need to know about it.
struct TConverter {
  int codepage = 0;
  UConverter* conv = nullptr;
  bool asciiSafe = false;   // bytes 0x00..0x7F are exactly ASCII both ways
  bool singleByte = false;  // decode table below is filled
  bool remapControls = false;  // preEncode / postDecode differ from identity
  uint8_t preEncode[128] = {};   // what to hand ICU to get byte b
  uint8_t postDecode[128] = {};  // which byte ICU's 7-bit result came from
  std::array<std::array<char, 4>, 256> decode{};  // UTF-8, first byte = length
  // Encoding table of a single-byte page: encodeIndex[cp >> 8] names a page
  // of encodePages (0 = none), whose entry is the byte or 0 for unmappable.
  bool canEncodeByTable = false;
  std::array<uint16_t, 256> encodeIndex{};
  std::vector<std::array<uint8_t, 256>> encodePages;
  size_t substituted = 0;  // characters the converter replaced since reset
  ~TConverter() {
    if (conv) ucnv_close(conv);
  }
};

void AppendUtf8(std::string& out, UChar32 c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// ICU's substitution, counting what it replaces. Invisible format
// characters that the converter drops without a trace are not counted.
void CountingSubstitute(const void* context, UConverterFromUnicodeArgs* args, const UChar* units,
                        int32_t length, UChar32 codePoint, UConverterCallbackReason reason,
                        UErrorCode* err) {
  if (reason <= UCNV_IRREGULAR &&
      !(reason == UCNV_UNASSIGNED && u_hasBinaryProperty(codePoint, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)))
    ++*static_cast<size_t*>(const_cast<void*>(context));
  UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, codePoint, reason, err);
}

std::unique_ptr<TConverter> OpenConverter(int codepage) {
  const char* name = IcuConverterName(codepage);
  std::string fallback;
  if (!name) {
    fallback = "windows-" + std::to_string(codepage);
    name = fallback.c_str();
  }
  UErrorCode err = U_ZERO_ERROR;
  UConverter* conv = ucnv_open(name, &err);
  if (U_FAILURE(err) || !conv) {
    if (conv) ucnv_close(conv);
    fallback = "ibm-" + std::to_string(codepage);
    err = U_ZERO_ERROR;
    conv = ucnv_open(fallback.c_str(), &err);
    if (U_FAILURE(err) || !conv) {
      if (conv) ucnv_close(conv);
      return nullptr;
    }
  }
  auto c = std::make_unique<TConverter>();
  c->codepage = codepage;
  c->conv = conv;
  err = U_ZERO_ERROR;
  ucnv_setSubstChars(conv, "?", 1, &err);
  err = U_ZERO_ERROR;
  ucnv_setFromUCallBack(conv, CountingSubstitute, &c->substituted, nullptr, nullptr, &err);

  // Probe the byte range once. IBM tables rotate the controls 0x1A, 0x1C
  // and 0x7F, which Windows maps one to one; when the 7-bit range is a
  // permutation of ASCII, the permutation is undone around every call so
  // that all ASCII bytes pass straight through, as they do on Windows.
  c->singleByte = ucnv_getMaxCharSize(conv) == 1;
  auto decodeOne = [&](int b) -> UChar32 {
    const char byte = static_cast<char>(b);
    UChar u[4];
    UErrorCode e = U_ZERO_ERROR;
    ucnv_resetToUnicode(conv);
    const int32_t n = ucnv_toUChars(conv, u, 4, &byte, 1, &e);
    UChar32 cp = 0xFFFD;
    if (U_SUCCESS(e) && n >= 1) {
      int32_t i = 0;
      U16_NEXT(u, i, n, cp);
      if (i != n) cp = 0xFFFD;
    }
    return cp;
  };
  bool perm = true;
  bool seen[128] = {};
  for (int b = 0; b < 0x80 && perm; ++b) {
    const UChar32 u = decodeOne(b);
    if (u < 0 || u >= 0x80 || seen[u]) {
      perm = false;
      break;
    }
    seen[u] = true;
    const UChar uc = static_cast<UChar>(u);
    char out[8];
    UErrorCode e = U_ZERO_ERROR;
    ucnv_resetFromUnicode(conv);
    const int32_t m = ucnv_fromUChars(conv, out, sizeof out, &uc, 1, &e);
    if (U_FAILURE(e) || m != 1 || static_cast<unsigned char>(out[0]) != b) perm = false;
    c->preEncode[b] = static_cast<uint8_t>(u);
    c->postDecode[u] = static_cast<uint8_t>(b);
    if (u != b) c->remapControls = true;
  }
  c->asciiSafe = perm;
  if (!perm) c->remapControls = false;
  if (c->singleByte) {
    for (int b = 0; b < 256; ++b) {
      const UChar32 u = (b < 0x80 && perm) ? b : decodeOne(b);
      std::string tmp;
      AppendUtf8(tmp, u);
      if (tmp.size() > 3) {  // cannot happen for a single-byte page
        c->singleByte = false;
        break;
      }
      c->decode[b][0] = static_cast<char>(tmp.size());
      std::memcpy(&c->decode[b][1], tmp.data(), tmp.size());
    }
  }
  // The converter maps from Unicode exactly the round-trip pairs of its
  // decode table (no extra fallbacks for these pages), so the reverse of the
  // table is the encoder. Pairs that do not round-trip are left out.
  if (c->singleByte && perm) {
    c->encodePages.emplace_back();  // page 0: nothing maps
    c->encodePages[0].fill(0);
    for (int b = 0x80; b < 256; ++b) {
      const UChar32 u = decodeOne(b);
      if (u < 0x80 || u > 0xFFFF || u == 0xFFFD) continue;
      const UChar uc = static_cast<UChar>(u);
      char out[8];
      UErrorCode e = U_ZERO_ERROR;
      ucnv_resetFromUnicode(conv);
      const int32_t m = ucnv_fromUChars(conv, out, sizeof out, &uc, 1, &e);
      if (U_FAILURE(e) || m != 1 || static_cast<unsigned char>(out[0]) != b) continue;
      uint16_t& page = c->encodeIndex[u >> 8];
      if (!page) {
        page = static_cast<uint16_t>(c->encodePages.size());
        c->encodePages.emplace_back();
        c->encodePages.back().fill(0);
      }
      c->encodePages[page][u & 0xFF] = static_cast<uint8_t>(b);
    }
    c->canEncodeByTable = true;
  }
  ucnv_reset(conv);
  return c;
}

// Converters are not thread-safe, so every thread keeps its own few.
TConverter* GetConverter(int codepage) {
  struct TCache {
    std::vector<std::unique_ptr<TConverter>> items;
    std::vector<int> missing;
  };
  thread_local TCache cache;
  for (auto& c : cache.items)
    if (c->codepage == codepage) return c.get();
  for (int m : cache.missing)
    if (m == codepage) return nullptr;
  auto c = OpenConverter(codepage);
  if (!c) {
    cache.missing.push_back(codepage);
    return nullptr;
  }
  cache.items.push_back(std::move(c));
  return cache.items.back().get();
}

size_t AsciiPrefix(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  while (i + 8 <= n) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

// UTF-8 to UTF-16 with U+FFFD for malformed input.
std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string w;
  if (s.empty()) return w;
  w.resize(s.size());
  int32_t len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(w.data()), static_cast<int32_t>(w.size()), &len, s.data(),
                       static_cast<int32_t>(s.size()), 0xFFFD, nullptr, &err);
  if (U_FAILURE(err)) return std::u16string();
  w.resize(len);
  return w;
}

std::string Utf16ToUtf8(const UChar* u, int32_t n) {
  std::string out;
  if (n <= 0) return out;
  out.resize(static_cast<size_t>(n) * 3);
  int32_t len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &len, u, n, 0xFFFD, nullptr, &err);
  if (U_FAILURE(err)) return std::string();
  out.resize(len);
  return out;
}

// Keeps well-formed UTF-8 as it is and replaces malformed sequences.
std::string SanitizeUtf8(std::string_view s) {
  const size_t a = AsciiPrefix(s);
  if (a == s.size()) return std::string(s);
  const std::u16string w = Utf8ToUtf16(s);
  return Utf16ToUtf8(reinterpret_cast<const UChar*>(w.data()), static_cast<int32_t>(w.size()));
}

}  // namespace

bool CodePageSupported(int codepage) {
  if (codepage == 0 || codepage == 65001 || codepage == 1200) return true;
  if (codepage < 0 || codepage > 65535) return false;
  return GetConverter(codepage) != nullptr;
}

bool CodePageKeepsAscii(int codepage) {
  if (codepage == 65001) return true;
  if (codepage == 1200 || !CodePageSupported(codepage)) return false;
  std::string ascii;
  for (int c = 32; c < 127; ++c) ascii += static_cast<char>(c);
  return Utf8ToCodePage(ascii, codepage) == ascii && CodePageToUtf8(ascii, codepage) == ascii;
}

namespace {

// The length of the well-formed UTF-8 character at p (a byte of 0x80 or
// above), with its code point in cp; 0 for a malformed, overlong or
// surrogate sequence.
inline int StrictUtf8Char(const unsigned char* p, const unsigned char* e, uint32_t& cp) {
  const unsigned char b0 = *p;
  int len;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    cp = b0 & 0x1Fu;
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    cp = b0 & 0x0Fu;
    len = 3;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    cp = b0 & 0x07u;
    len = 4;
  } else {
    return 0;
  }
  if (e - p < len) return 0;
  for (int i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3Fu);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return len;
}

// Well-formed UTF-8 to a single-byte page through the converter's table.
// Returns false, leaving out as it was, at the first malformed sequence so
// that the converter can apply its own substitution rules to the text.
bool EncodeSingleByte(std::string& out, std::string_view s, const TConverter& c, size_t& lost) {
  const size_t base = out.size();
  out.resize(base + s.size());  // never more bytes out than in
  char* o = out.data() + base;
  size_t found = 0;  // counted only once the whole text has gone this way
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* e = p + s.size();
  while (p < e) {
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
      *o++ = static_cast<char>(b0);
      ++p;
      continue;
    }
    uint32_t cp;
    const int len = StrictUtf8Char(p, e, cp);
    if (len == 0) {
      out.resize(base);
      return false;
    }
    p += len;
    uint8_t byte = 0;
    if (cp < 0x10000) {
      const uint16_t page = c.encodeIndex[cp >> 8];
      if (page) byte = c.encodePages[page][cp & 0xFF];
    }
    if (byte) {
      *o++ = static_cast<char>(byte);
    } else if (!u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) {
      *o++ = '?';  // invisible format characters vanish, as the converter drops them
      ++found;
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  lost += found;
  return true;
}

}  // namespace

void AppendUtf8ToCodePage(std::string& out, std::string_view utf8, int codepage, size_t* lost) {
  if (codepage == 0) codepage = SystemAnsiCodePage();
  if (codepage == 65001) {
    // A UTF-8 table holds well-formed text only, whatever the input held.
    if (IsValidUtf8(utf8))
      out.append(utf8);
    else
      out += SanitizeUtf8(utf8);
    return;
  }
  if (codepage == 1200) {
    const std::u16string w = Utf8ToUtf16(utf8);
    const size_t base = out.size();
    out.resize(base + w.size() * 2);
    for (size_t i = 0; i < w.size(); ++i) {
      out[base + 2 * i] = static_cast<char>(w[i] & 0xFF);
      out[base + 2 * i + 1] = static_cast<char>(w[i] >> 8);
    }
    return;
  }
  TConverter* c = GetConverter(codepage);
  if (!c) {  // nothing better to offer than UTF-8
    out += SanitizeUtf8(utf8);
    return;
  }
  const size_t prefix = c->asciiSafe ? AsciiPrefix(utf8) : 0;
  out.append(utf8.substr(0, prefix));
  if (prefix == utf8.size()) return;
  const std::string_view rest = utf8.substr(prefix);
  size_t found = 0;
  if (c->canEncodeByTable && EncodeSingleByte(out, rest, *c, found)) {
    if (lost) *lost += found;
    return;
  }
  std::u16string w = Utf8ToUtf16(rest);
  if (w.empty()) return;
  if (c->remapControls)
    for (char16_t& u : w)
      if (u < 0x80) u = c->preEncode[u];
  const size_t base = out.size();
  out.resize(base + w.size() * static_cast<size_t>(ucnv_getMaxCharSize(c->conv)) + 8);
  UErrorCode err = U_ZERO_ERROR;
  ucnv_resetFromUnicode(c->conv);
  c->substituted = 0;
  const int32_t n = ucnv_fromUChars(c->conv, out.data() + base, static_cast<int32_t>(out.size() - base),
                                    reinterpret_cast<const UChar*>(w.data()), static_cast<int32_t>(w.size()), &err);
  out.resize(U_FAILURE(err) ? base : base + static_cast<size_t>(n));
  if (lost && U_SUCCESS(err)) *lost += c->substituted;
}

std::string Utf8ToCodePage(std::string_view utf8, int codepage, size_t* lost) {
  std::string out;
  AppendUtf8ToCodePage(out, utf8, codepage, lost);
  return out;
}

bool IsValidUtf8(std::string_view text) {
  const size_t a = AsciiPrefix(text);
  if (a == text.size()) return true;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + a;
  const auto* e = reinterpret_cast<const unsigned char*>(text.data()) + text.size();
  while (p < e) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    uint32_t cp;
    const int len = StrictUtf8Char(p, e, cp);
    if (len == 0) return false;
    p += len;
  }
  return true;
}

size_t Utf8NextChar(const char* p, const char* e, uint32_t& cp) {
  const unsigned char c = static_cast<unsigned char>(*p);
  size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    cp = 0xFFFD;
    return 1;
  }
  if (static_cast<size_t>(e - p) < len) {
    cp = 0xFFFD;
    return 1;
  }
  for (size_t i = 1; i < len; ++i) {
    const unsigned char d = static_cast<unsigned char>(p[i]);
    if ((d & 0xC0) != 0x80) {
      cp = 0xFFFD;
      return 1;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  return len;
}

size_t Utf8CutPoint(std::string_view utf8, size_t maxBytes) {
  if (utf8.size() <= maxBytes) return utf8.size();
  // Back off over continuation bytes to the start of the character that
  // does not fit; a character is at most four bytes long.
  size_t cut = maxBytes;
  for (int k = 0; k < 3 && cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80; ++k) --cut;
  return cut;
}

int CodePageMaxCharSize(int codepage) {
  if (codepage == 0) codepage = SystemAnsiCodePage();
  if (codepage == 65001 || codepage == 1200) return 4;
  TConverter* c = codepage > 0 && codepage <= 65535 ? GetConverter(codepage) : nullptr;
  return c ? ucnv_getMaxCharSize(c->conv) : 4;
}

size_t CodePageCutPoint(std::string_view utf8, int codepage, size_t maxChars, size_t maxBytes) {
  if (codepage == 0) codepage = SystemAnsiCodePage();
  const char* const b = utf8.data();
  // The first n characters end here.
  auto afterChars = [b](const char* e, size_t n) {
    const char* q = b;
    uint32_t cp;
    for (; q < e && n > 0; --n) q += Utf8NextChar(q, e, cp);
    return q;
  };
  // A character is at least one byte, so only a longer text can have more.
  const char* const p = utf8.size() > maxChars ? afterChars(b + utf8.size(), maxChars) : b + utf8.size();
  const std::string_view head(b, static_cast<size_t>(p - b));
  if (codepage == 65001 && IsValidUtf8(head)) return Utf8CutPoint(head, maxBytes);
  const TConverter* c = codepage == 65001 || codepage == 1200 ? nullptr : GetConverter(codepage);
  if (c && c->asciiSafe && head.size() <= maxBytes && AsciiPrefix(head) == head.size()) return head.size();
  const std::string enc = Utf8ToCodePage(head, codepage);
  if (enc.size() <= maxBytes) return head.size();
  if (c && c->singleByte) {
    // One byte for each character, unless invisible format characters
    // vanished: then the cut is a count of characters.
    size_t n = 0;
    uint32_t cp;
    for (const char* q = b; q < p; ++n) q += Utf8NextChar(q, p, cp);
    if (enc.size() == n) return static_cast<size_t>(afterChars(p, maxBytes) - b);
  }
  // Whole characters while they fit.
  size_t used = 0;
  uint32_t cp;
  for (const char* q = b; q < p;) {
    const size_t len = Utf8NextChar(q, p, cp);
    used += Utf8ToCodePage(std::string_view(q, len), codepage).size();
    if (used > maxBytes) return static_cast<size_t>(q - b);
    q += len;
  }
  return head.size();
}

void AppendCodePageToUtf8(std::string& out, std::string_view bytes, int codepage) {
  if (codepage == 0) codepage = SystemAnsiCodePage();
  if (codepage == 65001) {
    if (AsciiPrefix(bytes) == bytes.size())
      out.append(bytes);
    else
      out += SanitizeUtf8(bytes);
    return;
  }
  if (codepage == 1200) {
    size_t n = bytes.size() / 2;
    std::vector<UChar> w(n + 1);
    for (size_t i = 0; i < n; ++i)
      w[i] = static_cast<UChar>(static_cast<unsigned char>(bytes[2 * i]) |
                                (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    if (bytes.size() % 2) w[n++] = 0xFFFD;  // a dangling half unit
    out += Utf16ToUtf8(w.data(), static_cast<int32_t>(n));
    return;
  }
  TConverter* c = GetConverter(codepage);
  if (!c) {
    out += SanitizeUtf8(bytes);
    return;
  }
  const size_t prefix = c->asciiSafe ? AsciiPrefix(bytes) : 0;
  out.append(bytes.substr(0, prefix));
  if (prefix == bytes.size()) return;
  if (c->singleByte) {
    const size_t base = out.size();
    out.resize(base + (bytes.size() - prefix) * 3);
    char* o = out.data() + base;
    for (size_t i = prefix; i < bytes.size(); ++i) {
      const auto& d = c->decode[static_cast<unsigned char>(bytes[i])];
      std::memcpy(o, &d[1], 3);
      o += d[0];
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return;
  }
  const std::string_view rest = bytes.substr(prefix);
  std::vector<UChar> w(rest.size() * 2 + 2);
  UErrorCode err = U_ZERO_ERROR;
  ucnv_resetToUnicode(c->conv);
  const int32_t n = ucnv_toUChars(c->conv, w.data(), static_cast<int32_t>(w.size()), rest.data(),
                                  static_cast<int32_t>(rest.size()), &err);
  if (U_FAILURE(err)) return;
  if (c->remapControls)
    for (int32_t i = 0; i < n; ++i)
      if (w[i] < 0x80) w[i] = c->postDecode[w[i]];
  out += Utf16ToUtf8(w.data(), n);
}

std::string CodePageToUtf8(std::string_view bytes, int codepage) {
  std::string out;
  AppendCodePageToUtf8(out, bytes, codepage);
  return out;
}

// ------------------------------------------------------------ collation

int CompareUserLocale(std::string_view a, std::string_view b) {
  static UCollator* coll = [] {
    std::string name = UserLocaleName();
    const size_t cut = name.find_first_of(".@");
    if (cut != std::string::npos) name.resize(cut);
    if (name == "C" || name == "POSIX") name.clear();
    UErrorCode err = U_ZERO_ERROR;
    UCollator* c = ucol_open(name.c_str(), &err);
    if (U_FAILURE(err) || !c) {
      err = U_ZERO_ERROR;
      c = ucol_open("", &err);
    }
    if (c) {
      err = U_ZERO_ERROR;
      ucol_setStrength(c, UCOL_TERTIARY);
    }
    return U_FAILURE(err) ? nullptr : c;
  }();
  if (!coll) {
    const int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  UErrorCode err = U_ZERO_ERROR;
  const UCollationResult r = ucol_strcollUTF8(coll, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                              static_cast<int32_t>(b.size()), &err);
  if (U_FAILURE(err)) {
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

// ------------------------------------------------------------ errors

namespace {
// strerror_r comes in a GNU flavour returning the text and an XSI flavour
// filling the buffer; accept either.
[[maybe_unused]] const char* ErrText(const char* r, const char*) { return r; }
[[maybe_unused]] const char* ErrText(int r, const char* buf) { return r == 0 ? buf : "Unknown error"; }
}  // namespace

std::string FullPath(const std::string& name) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(name, ec);
  return ec ? name : p.lexically_normal().string();
}

std::string SystemErrorText(int err) {
  char buf[256] = {0};
  return ErrText(strerror_r(err, buf, sizeof buf), buf);
}
