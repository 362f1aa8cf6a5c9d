// The operating-system services the library needs, in one place: tick
// counter, temporary folder, code-page conversion and locale collation.
#pragma once

#include <cstddef>
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

// UTF-8 text to bytes in a code page: 65001 returns UTF-8 (malformed
// sequences replaced by U+FFFD), 1200 UTF-16LE, 0 the system ANSI code page,
// any other a Windows code page with "?" for characters the code page cannot
// hold. When lost is given, the number of characters that became "?" is
// added to it (invisible format characters, which vanish, are not counted).
std::string Utf8ToCodePage(std::string_view utf8, int codepage, size_t* lost = nullptr);

// The same, appending to out (no temporary string in hot loops).
void AppendUtf8ToCodePage(std::string& out, std::string_view utf8, int codepage, size_t* lost = nullptr);

// Whether the text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// The character of UTF-8 text at p (p < e): its length in bytes, and its code
// point in cp. A malformed byte counts as one character U+FFFD, as a
// conversion sees it.
size_t Utf8NextChar(const char* p, const char* e, uint32_t& cp);

// Length of the longest prefix of UTF-8 text that has at most maxBytes bytes
// and does not end inside a character.
size_t Utf8CutPoint(std::string_view utf8, size_t maxBytes);

// The most bytes one character can take in a code page: 1 in the
// single-byte pages, 2 in the double-byte pages (932, 936, 949, 950), 4 in
// UTF-8 and UTF-16, and 4 for a page the platform cannot convert, whose text
// is written as UTF-8. 0 is the system ANSI code page.
int CodePageMaxCharSize(int codepage);

// Where UTF-8 text is cut so that at most maxChars characters remain and
// their bytes in the code page (same rules as Utf8ToCodePage) are at most
// maxBytes: a byte offset into utf8, never inside a character. Characters
// are code points; a malformed byte counts as one.
size_t CodePageCutPoint(std::string_view utf8, int codepage, size_t maxChars, size_t maxBytes);

// Bytes in a code page (same rules as above) to UTF-8. Undecodable bytes
// become U+FFFD; never throws.
std::string CodePageToUtf8(std::string_view bytes, int codepage);
void AppendCodePageToUtf8(std::string& out, std::string_view bytes, int codepage);

// Whether the platform can convert this code page at all.
bool CodePageSupported(int codepage);

// Whether text in this code page stores the printable ASCII characters as
// the same single bytes, both ways: what comma-separated rows, quoted values
// and dBASE headers need to stay readable. UTF-8 does; UTF-16, EBCDIC and
// unsupported pages do not.
bool CodePageKeepsAscii(int codepage);

// Case-sensitive comparison in the user locale's collation: <0, 0, >0.
int CompareUserLocale(std::string_view a, std::string_view b);

// Text of an errno value, as the system states it.
std::string SystemErrorText(int err);

// The full path of a file name, as messages name it: relative names are
// taken from the current directory; the name as given when that fails.
std::string FullPath(const std::string& name);
