// Line-oriented reading of OSM XML: the converter never parses XML, it relies
// on the one-element-per-line layout the OSM API and extract tools write.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compressed_input.h"
#include "linvoro_functions.h"
#include "linvoro_io.h"
#include "osm_format.h"
#include "osm_reader.h"

// The reader's end-of-file test is named EOF, which the C library defines as
// a macro: <cstdio> is included above so that its guard is set, and the macro
// is retired for every unit that uses the reader.
#ifdef EOF
#undef EOF
#endif

class IRunUI;

struct TElement {
  std::string_view name;   // "way", "nd", "tag", "/way", ...
  std::string_view attrs;  // everything after the name's end
};

// 1-based position of the first space or ">" in a trimmed line, 0 when none.
inline size_t ElementEnd(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == ' ' || s[i] == '>') return i + 1;
  return 0;
}

// The first four bytes of a text as one number, in the machine's order.
constexpr uint32_t LineWord(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[0])) |
         static_cast<uint32_t>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[3])) << 24;
}

// Splits a trimmed line into element name (the leading "<" dropped) and
// attribute text (everything after the first space or ">"). A line without
// either gives an empty name and the whole line as attribute text.
inline TElement SplitElement(std::string_view s) {
  // The elements that make up nearly every line of a file are told by one
  // comparison of the bytes after "<" instead of a scan for the name's end:
  // this runs for every line of every pass.
  if constexpr (std::endian::native == std::endian::little) {
    if (s.size() >= 6) {
      uint32_t w;
      std::memcpy(&w, s.data() + 1, 4);
      switch (w) {
        case LineWord("nd r"):
          return {s.substr(1, 2), s.substr(4)};
        case LineWord("tag "):
        case LineWord("way "):
          return {s.substr(1, 3), s.substr(5)};
        case LineWord("node"):
        case LineWord("/way"):
          if (s[5] == ' ' || s[5] == '>') return {s.substr(1, 4), s.substr(6)};
          break;
        default:
          break;
      }
    }
  }
  TElement e;
  const size_t end = ElementEnd(s);
  if (end == 0) {
    e.attrs = s;
    return e;
  }
  if (end > 2) e.name = s.substr(1, end - 2);
  e.attrs = s.substr(end);
  return e;
}

// Text between the first double quote and the next one; empty when there is
// no pair of quotes.
std::string_view FirstQuoted(std::string_view text);

// k and v of a tag line's attribute text: k is the first quoted value, v the
// first quoted value after k's closing quote. No decoding.
void SplitTag(std::string_view text, std::string_view& k, std::string_view& v);

// A tag value or key as the plain text it stands for: the XML entities
// and numeric references (UTF-8 out) decoded, and &apos; in any letter
// case. The result is raw itself when it holds no '&', else a view of buf.
std::string_view XmlUnescapeAll(std::string_view raw, std::string& buf);
inline std::string_view XmlUnescape(std::string_view raw, std::string& buf) {
  // Nearly every key and value holds none: the line reader's hot path.
  return raw.find('&') == std::string_view::npos ? raw : XmlUnescapeAll(raw, buf);
}

// A node or way id: ParseInt64, whose plain digits take a short path.
inline int64_t ParseId(std::string_view text) { return ParseInt64(text); }

// Sequential reader of one OSM XML file, plain or compressed: lines end at
// CR, LF or CR LF; lines of any length (the buffer grows to hold the longest
// line). A compressed file is decompressed as a stream; positions are then
// offsets into the decompressed text.
class TOsmLineReader final : public TInputPosition {
 public:
  static constexpr size_t DefaultBufferSize = size_t(4) << 20;
  // No line of OSM XML comes near this; a longer one is damage (or a file
  // without line breaks), and holding it would only cost memory.
  static constexpr size_t MaxLineBytes = size_t(1) << 20;

  // A plain XML file. Throws EFOpenError naming the file and the system's
  // reason.
  explicit TOsmLineReader(const std::string& path, size_t bufferSize = DefaultBufferSize);
  // A file in the given format (ofXml, ofGzip or ofBzip2).
  TOsmLineReader(const std::string& path, TOsmFormat format, size_t bufferSize = DefaultBufferSize);
  ~TOsmLineReader();
  TOsmLineReader(const TOsmLineReader&) = delete;
  TOsmLineReader& operator=(const TOsmLineReader&) = delete;

  // Next line without its line end; false at end of file. The view stays
  // valid until the next ReadLine or Seek. Throws EReadError on I/O failure,
  // on damaged compressed data and for a line longer than MaxLineBytes.
  bool ReadLine(std::string_view& line);
  // The 1-based number of the line ReadLine returned last, counted from the
  // file's start; 0 after a Seek to anywhere but the start.
  int64_t LineNumber() const { return FLineNo; }
  // Byte offset of the next unread line's start (exact, not the buffered
  // file position).
  int64_t Position() const { return FBufPos + static_cast<int64_t>(FStart); }
  // The size of the file on disk.
  int64_t Size() const { return FSize; }
  bool EOF() const { return FStart == FEnd && FAtEnd; }
  // The next ReadLine starts at byte pos (not below 0; a plain file's reader
  // also not beyond its size). A compressed file moves back within the last
  // few kilobytes read without decompressing again; moving forward it
  // decompresses and drops the bytes before pos, calling poll (when given)
  // after each block so that a pass can show progress and stop.
  void Seek(int64_t pos, const std::function<void()>& poll = nullptr);
  const std::string& FileName() const { return FFileName; }
  bool Compressed() const { return FSource != nullptr; }

  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override { return FSize; }

 private:
  void Open(size_t bufferSize);
  bool Fill();  // false when nothing more could be read
  [[noreturn]] void LineTooLong() const;
  size_t ReadSource(char* dst, size_t n);
  std::string FFileName;
  int FHandle = -1;
  std::unique_ptr<TDecompressingSource> FSource;
  int64_t FSize = 0;
  TRawBuffer<char> FBuf;  // only [FStart, FEnd) is ever read
  size_t FStart = 0, FEnd = 0;  // unread bytes are FBuf[FStart, FEnd)
  size_t FScan = 0;             // bytes from FStart already known to hold no line end
  int64_t FBufPos = 0;          // file offset of FBuf[0]
  bool FAtEnd = false;          // the file has no bytes beyond FEnd
  bool FHasCR = false;          // FBuf[FStart, FEnd) may hold a CR: scan for both ends
  int64_t FLineNo = 0;          // lines returned since the start; -1 after a seek
};

// The header check of a file's first lines: reads two lines; true when the
// second, trimmed, begins with <osm version="0.6".
bool CheckHeader(TOsmLineReader& reader);

// Whether the line reader reads a file as written, judged from its first
// bytes (head; whole when that is the entire file): an XML declaration
// (UTF-8 or none named) on line 1, <osm version="0.6" on line 2, then one
// element per line with double-quoted attributes in the order the OSM API
// writes (id first; ref; k before v), no comment, processing instruction
// or markup declaration that spans lines. Any other well-formed file is
// read with the XML parser.
bool ReadsAsLines(std::string_view head, bool whole);
// The same judged from the first 64 KiB of an XML file's text (plain or
// compressed).
bool XmlReadsAsLines(const std::string& path, TOsmFormat format);

// A line of a file that ReadsAsLines accepted breaks its rules further on:
// the file is read again, from the start of pass 1, with the XML parser.
class EXmlLineForm : public Exception {
 public:
  EXmlLineForm() : Exception("The file does not keep one element per line") {}
};
