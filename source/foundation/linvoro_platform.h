// The operating-system services the library needs, in one place: tick
// counter, temporary folder, code-page conversion and locale collation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Millisecond tick that wraps at 32 bits, like the desktop tick counters the
// progress throttling was designed around.
uint32_t GetTickCount32();

// The temporary folder, read once, with a trailing '/'.
const std::string& TempFolder();

// The ANSI code page Windows would assign to the user's locale language
// (LC_ALL / LC_CTYPE / LANG); 1252 when unknown.
int SystemAnsiCodePage();

// The ANSI code page for a locale name such as "ru_RU.UTF-8" or
// "sr_RS@latin"; SystemAnsiCodePage applies it to the user's locale.
int AnsiCodePageForLocale(std::string_view locale);

// UTF-8 text to bytes in a code page: 65001 returns UTF-8, 1200 UTF-16LE,
// 0 the system ANSI code page, any other a Windows code page with "?" for
// characters the code page cannot hold.
std::string Utf8ToCodePage(std::string_view utf8, int codepage);

// The same, appending to out (no temporary string in hot loops).
void AppendUtf8ToCodePage(std::string& out, std::string_view utf8, int codepage);

// Bytes in a code page (same rules as above) to UTF-8. Undecodable bytes
// become U+FFFD; never throws.
std::string CodePageToUtf8(std::string_view bytes, int codepage);
void AppendCodePageToUtf8(std::string& out, std::string_view bytes, int codepage);

// Whether the platform can convert this code page at all.
bool CodePageSupported(int codepage);

// Case-sensitive comparison in the user locale's collation: <0, 0, >0.
int CompareUserLocale(std::string_view a, std::string_view b);

// Text of an errno value, as the system states it.
std::string SystemErrorText(int err);

// The full path of a file name, as messages name it: relative names are
// taken from the current directory; the name as given when that fails.
std::string FullPath(const std::string& name);
