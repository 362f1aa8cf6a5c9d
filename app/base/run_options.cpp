#include "run_options.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "linvoro_types.h"

uint8_t TRunOptions::FF() const {
  // Writer format codes: gfMIF = 0, gfSHP = 2, gfMITAB = 5, gfGPKG = 14.
  switch (OutputFormat) {
    case 0: return 0;
    case 2: return 5;
    case 3: return 14;
    default: return 2;
  }
}

uint16_t TRunOptions::TableCodePage() const {
  if (Encoding != 0) return Encoding;
  const int cp = SystemAnsiCodePage();
  return cp > 0 && cp <= 65535 ? static_cast<uint16_t>(cp) : 1252;
}

bool ParseEncoding(std::string_view text, uint16_t& encoding, std::string* why) {
  std::string t;
  for (char c : text) t += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  while (!t.empty() && t.front() == ' ') t.erase(t.begin());
  auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    return false;
  };
  if (t == "system") {
    encoding = 0;
    return true;
  }
  if (t == "utf-8" || t == "utf8") {
    encoding = 65001;
    return true;
  }
  uint32_t n = 0;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), n);
  if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
    return fail("system, utf-8 or a Windows code page number such as 1251");
  if (n == 0 || n > 65535) return fail("no code page has that number");
  if (n != 65001 && !CodePageSupported(static_cast<int>(n)))
    return fail("code page " + t + " is not available on this system");
  // UTF-16 and EBCDIC would break the quotes and commas of the rows and the
  // ASCII of the table headers.
  if (!CodePageKeepsAscii(static_cast<int>(n)))
    return fail("code page " + t + " does not store plain ASCII text as it is; tables cannot be written in it");
  encoding = static_cast<uint16_t>(n);
  return true;
}

std::string EncodingText(uint16_t encoding) {
  if (encoding == 0) return "system";
  if (encoding == 65001) return "utf-8";
  return std::to_string(encoding);
}

// ---------------------------------------------------------------- folders
