#include "xml_lines.h"

#include <unistd.h>


#include <algorithm>
#include <cerrno>
#include <cstring>

#include "input_file.h"
#include "linvoro_functions.h"
#include "linvoro_json.h"
#include "linvoro_platform.h"
#include "linvoro_types.h"
#include "run_ui.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// ---------------------------------------------------------------- line operations

std::string_view FirstQuoted(std::string_view text) {
  const size_t a = text.find('"');
  if (a == std::string_view::npos) return {};
  const size_t b = text.find('"', a + 1);
  if (b == std::string_view::npos) return {};
  return text.substr(a + 1, b - a - 1);
}

void SplitTag(std::string_view text, std::string_view& k, std::string_view& v) {
  k = {};
  v = {};
  const size_t a = text.find('"');
  if (a == std::string_view::npos) return;
  const size_t b = text.find('"', a + 1);
  if (b == std::string_view::npos) return;
  k = text.substr(a + 1, b - a - 1);
  v = FirstQuoted(text.substr(b + 1));
}

// ---------------------------------------------------------------- tag values

namespace {

bool StartsNoCase(std::string_view s, size_t at, std::string_view lowerWord) {
  if (s.size() - at < lowerWord.size()) return false;
  for (size_t i = 0; i < lowerWord.size(); ++i) {
    char c = s[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lowerWord[i]) return false;
  }
  return true;
}

// Replaces every occurrence of a word (ASCII letter case ignored) by rep.
std::string ReplaceNoCase(std::string_view s, std::string_view lowerWord, char rep) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '&' && StartsNoCase(s, i, lowerWord)) {
      out += rep;
      i += lowerWord.size();
    } else {
      out += s[i++];
    }
  }
  return out;
}

// A numeric reference "&#123;" or "&#x7B;" starting at s[at]: its code and
// length; false when it does not parse.
bool NumericRef(std::string_view s, size_t at, uint32_t& cp, size_t& len) {
  size_t i = at + 2;
  if (i >= s.size()) return false;
  const bool hex = s[i] == 'x' || s[i] == 'X';
  if (hex) ++i;
  const size_t digits0 = i;
  uint32_t v = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      break;
    v = v * (hex ? 16 : 10) + d;
    if (v > 0x10FFFF) return false;
  }
  if (i == digits0 || i >= s.size() || s[i] != ';') return false;
  cp = v;
  len = i + 1 - at;
  return true;
}

// XML entities and numeric references, each "&" looked at once.
std::string DecodeEntities(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c != '&') {
      out += c;
      ++i;
      continue;
    }
    std::string_view rest = s.substr(i);
    if (rest.starts_with("&amp;")) {
      out += '&';
      i += 5;
    } else if (rest.starts_with("&lt;")) {
      out += '<';
      i += 4;
    } else if (rest.starts_with("&gt;")) {
      out += '>';
      i += 4;
    } else if (rest.starts_with("&quot;")) {
      out += '"';
      i += 6;
    } else if (rest.starts_with("&apos;")) {
      out += '\'';
      i += 6;
    } else if (rest.starts_with("&#")) {
      uint32_t cp;
      size_t len;
      if (!NumericRef(s, i, cp, len) || cp == 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) {
        out += '&';
        ++i;
        continue;
      }
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A high surrogate is only a character together with a following
        // low surrogate reference.
        uint32_t lo;
        size_t len2;
        if (i + len < s.size() && s.substr(i + len).starts_with("&#") &&
            NumericRef(s, i + len, lo, len2) && lo >= 0xDC00 && lo <= 0xDFFF) {
          AppendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00));
          i += len + len2;
        } else {
          out += '&';
          ++i;
        }
        continue;
      }
      AppendUtf8(out, cp);
      i += len;
    } else {
      out += '&';
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string_view XmlUnescapeAll(std::string_view raw, std::string& buf) {
  if (raw.find('&') == std::string_view::npos) return raw;
  // &apos; in any letter case: older writers spelled it so.
  buf = DecodeEntities(ReplaceNoCase(raw, "&apos;", '\''));
  return buf;
}

// ---------------------------------------------------------------- reader

namespace {

// First CR or LF in [p, e), nullptr when none.
inline const char* FindLineEnd(const char* p, const char* e) {
#ifdef __SSE2__
  const __m128i nl = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  while (e - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int m = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr)));
    if (m) return p + __builtin_ctz(static_cast<unsigned>(m));
    p += 16;
  }
#endif
  for (; p < e; ++p)
    if (*p == '\n' || *p == '\r') return p;
  return nullptr;
}

}  // namespace

namespace {

// A compressed file cannot seek: its reader keeps this much of the text
// before the next unread line, so that the way pass can step back from the
// position the node pass recorded (at most 1024 bytes) in the same stream.
constexpr size_t KeepBehind = 4096;

}  // namespace

TOsmLineReader::TOsmLineReader(const std::string& path, size_t bufferSize) : FFileName(path) {
  Open(bufferSize);
}

TOsmLineReader::TOsmLineReader(const std::string& path, TOsmFormat format, size_t bufferSize)
    : FFileName(path) {
  if (CompressionOf(format) != TCompression::None) {
    FSource = std::make_unique<TDecompressingSource>(path, CompressionOf(format));
    FSize = FSource->FileSize();
    FBuf.resize(bufferSize < 2 * KeepBehind ? 2 * KeepBehind : bufferSize);
    return;
  }
  Open(bufferSize);
}

void TOsmLineReader::Open(size_t bufferSize) {
  FHandle = OpenInputFile(FFileName, FSize);
  FBuf.resize(bufferSize < 64 ? 64 : bufferSize);
}

TOsmLineReader::~TOsmLineReader() {
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TOsmLineReader::ProgressPosition() const {
  return FSource ? FSource->FilePosition() : Position();
}

size_t TOsmLineReader::ReadSource(char* dst, size_t n) {
  return FSource ? FSource->Read(dst, n) : ReadInputFile(FHandle, dst, n, FFileName);
}

bool TOsmLineReader::Fill() {
  if (FAtEnd) return false;
  const size_t keep = FSource ? (FStart < KeepBehind ? FStart : KeepBehind) : 0;
  if (FStart > keep) {
    const size_t from = FStart - keep;
    const size_t n = FEnd - from;
    if (n) std::memmove(FBuf.data(), FBuf.data() + from, n);
    FBufPos += static_cast<int64_t>(from);
    FEnd = n;
    FStart = keep;
    FHasCR = FHasCR && std::memchr(FBuf.data() + keep, '\r', n - keep) != nullptr;
  }
  if (FEnd == FBuf.size()) FBuf.resize(FBuf.size() * 2);  // a line longer than the buffer
  const size_t got = ReadSource(FBuf.data() + FEnd, FBuf.size() - FEnd);
  if (got == 0) {
    FAtEnd = true;
    return false;
  }
  // Files with LF line ends only (the usual case) take the memchr path.
  if (!FHasCR) FHasCR = std::memchr(FBuf.data() + FEnd, '\r', got) != nullptr;
  FEnd += got;
  return true;
}

bool TOsmLineReader::ReadLine(std::string_view& line) {
  for (;;) {
    const char* b = FBuf.data();
    const char* p =
        FHasCR ? FindLineEnd(b + FStart + FScan, b + FEnd)
               : static_cast<const char*>(std::memchr(b + FStart + FScan, '\n', FEnd - FStart - FScan));
    if (p) {
      const size_t i = static_cast<size_t>(p - b);
      if (*p == '\r' && i + 1 == FEnd && !FAtEnd) {
        // Whether an LF follows decides where the next line starts.
        FScan = i - FStart;
        Fill();
        continue;
      }
      if (i - FStart > MaxLineBytes) [[unlikely]]
        LineTooLong();
      line = std::string_view(b + FStart, i - FStart);
      FStart = i + 1;
      if (*p == '\r' && FStart < FEnd && b[FStart] == '\n') ++FStart;
      FScan = 0;
      if (FLineNo >= 0) ++FLineNo;
      return true;
    }
    if (FEnd - FStart > MaxLineBytes) [[unlikely]]
      LineTooLong();
    if (FAtEnd) {
      if (FStart == FEnd) return false;
      line = std::string_view(b + FStart, FEnd - FStart);
      FStart = FEnd;
      FScan = 0;
      if (FLineNo >= 0) ++FLineNo;
      return true;
    }
    FScan = FEnd - FStart;
    Fill();
  }
}

void TOsmLineReader::LineTooLong() const {
  const std::string where =
      FLineNo >= 0 ? "line " + std::to_string(FLineNo + 1) : "the line at byte " + std::to_string(Position());
  throw EReadError("Error reading file \"" + FFileName + "\": " + where +
                   " is longer than 1 MiB, which OSM XML never needs. The file is damaged.");
}

void TOsmLineReader::Seek(int64_t pos, const std::function<void()>& poll) {
  if (pos < 0) pos = 0;
  FLineNo = pos == 0 ? 0 : -1;
  if (FSource) {
    FScan = 0;
    if (pos >= FBufPos && pos <= FBufPos + static_cast<int64_t>(FEnd)) {
      FStart = static_cast<size_t>(pos - FBufPos);
      FHasCR = std::memchr(FBuf.data() + FStart, '\r', FEnd - FStart) != nullptr;
      return;
    }
    FHasCR = false;
    if (pos < FBufPos) {
      FSource->Rewind();
      FBufPos = 0;
    } else {
      FBufPos += static_cast<int64_t>(FEnd);
    }
    FStart = FEnd = 0;
    FAtEnd = false;
    // Forward by reading: the bytes before pos are decompressed and dropped.
    while (FBufPos < pos) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(pos - FBufPos, static_cast<int64_t>(FBuf.size())));
      const size_t got = FSource->Read(FBuf.data(), want);
      if (got == 0) {
        FAtEnd = true;
        break;
      }
      FBufPos += static_cast<int64_t>(got);
      if (poll) poll();
    }
    return;
  }
  if (pos > FSize) pos = FSize;
  if (::lseek(FHandle, pos, SEEK_SET) < 0)
    throw EReadError("Error reading file \"" + FFileName + "\". " + SystemErrorText(errno));
  FBufPos = pos;
  FStart = FEnd = FScan = 0;
  FAtEnd = false;
  FHasCR = false;
}

bool CheckHeader(TOsmLineReader& reader) {
  std::string_view line;
  if (!reader.ReadLine(line)) return false;
  if (!reader.ReadLine(line)) return false;
  return Trim(line).starts_with("<osm version=\"0.6\"");
}

// ---------------------------------------------------------------- line form

namespace {

bool NameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':'; }
bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// One element on a trimmed line exactly as the line reader takes it: a
// name ended by a space or ">", name="value" attributes separated by
// spaces, the attributes the passes read in their places.
bool ElementLine(std::string_view t) {
  if (t.size() < 3 || t.front() != '<' || t.back() != '>') return false;
  if (t.starts_with("<!--")) return t.ends_with("-->") && t.size() >= 7;
  if (t.starts_with("<?")) return t.ends_with("?>");
  if (t.starts_with("<!")) return false;  // a markup declaration or CDATA section
  size_t i = 1;
  const bool closing = t[i] == '/';
  if (closing) ++i;
  if (i >= t.size() || !NameStart(t[i])) return false;
  while (i < t.size() && NameChar(t[i])) ++i;
  for (;;) {
    if (i >= t.size()) return false;
    if (t[i] == '>') return i + 1 == t.size();
    if (t[i] == '/' && !closing) return i + 2 == t.size() && t[i + 1] == '>';
    if (t[i] != ' ') return false;
    while (i < t.size() && t[i] == ' ') ++i;
    if (i < t.size() && (t[i] == '>' || t[i] == '/')) continue;
    if (closing || i >= t.size() || !NameStart(t[i])) return false;
    while (i < t.size() && NameChar(t[i])) ++i;
    if (i + 1 >= t.size() || t[i] != '=' || t[i + 1] != '"') return false;
    const size_t close = t.find('"', i + 2);
    if (close == std::string_view::npos) return false;
    if (t.substr(i + 2, close - i - 2).find('<') != std::string_view::npos) return false;
    i = close + 1;
  }
}

bool AttributesInPlace(std::string_view t) {
  const TElement e = SplitElement(t);
  if (e.name == "node" || e.name == "way" || e.name == "relation") return e.attrs.starts_with("id=\"");
  if (e.name == "nd") return e.attrs.starts_with("ref=\"");
  if (e.name == "tag") {
    if (!e.attrs.starts_with("k=\"")) return false;
    const size_t close = e.attrs.find('"', 3);
    return close != std::string_view::npos && e.attrs.substr(close + 1).starts_with(" v=\"");
  }
  return true;
}

bool IsUtf8Name(std::string_view s) {
  if (s.size() != 5 && s.size() != 4) return false;
  std::string l;
  for (const char c : s) l += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return l == "utf-8" || l == "utf8";
}

// The declaration's encoding, empty when it names none.
std::string_view DeclaredEncoding(std::string_view decl) {
  const size_t at = decl.find("encoding");
  if (at == std::string_view::npos) return {};
  size_t i = at + 8;
  while (i < decl.size() && (decl[i] == ' ' || decl[i] == '=')) ++i;
  if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return {};
  const size_t close = decl.find(decl[i], i + 1);
  if (close == std::string_view::npos) return {};
  return decl.substr(i + 1, close - i - 1);
}

}  // namespace

bool ReadsAsLines(std::string_view head, bool whole) {
  if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
  std::vector<std::string_view> lines;
  size_t b = 0;
  while (b < head.size()) {
    size_t e = head.find_first_of("\r\n", b);
    if (e == std::string_view::npos) {
      if (whole) lines.push_back(head.substr(b));
      break;
    }
    lines.push_back(head.substr(b, e - b));
    if (head[e] == '\r' && e + 1 < head.size() && head[e + 1] == '\n') ++e;
    b = e + 1;
  }
  if (lines.size() < 2) return false;
  const std::string_view decl = Trim(lines[0]);
  if (!decl.starts_with("<?xml") || !decl.ends_with("?>")) return false;
  const std::string_view enc = DeclaredEncoding(decl);
  if (!enc.empty() && !IsUtf8Name(enc)) return false;
  const std::string_view root = Trim(lines[1]);
  if (!root.starts_with("<osm version=\"0.6\"") || !ElementLine(root)) return false;
  for (size_t i = 2; i < lines.size(); ++i) {
    const std::string_view t = Trim(lines[i]);
    if (t.empty()) continue;
    if (!ElementLine(t) || !AttributesInPlace(t)) return false;
  }
  return true;
}

bool XmlReadsAsLines(const std::string& path, TOsmFormat format) {
  constexpr size_t HeadSize = 64 * 1024;
  std::string head = CompressionOf(format) != TCompression::None ? PeekDecompressed(path, CompressionOf(format), HeadSize + 1)
                                                                  : ReadInputHead(path, HeadSize + 1);
  const bool whole = head.size() <= HeadSize;
  if (!whole) head.resize(HeadSize);
  return ReadsAsLines(head, whole);
}
