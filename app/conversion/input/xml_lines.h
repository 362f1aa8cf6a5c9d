// Line-oriented reading of OSM XML: the converter never parses XML, it relies
// on the one-element-per-line layout the OSM API and extract tools write.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compressed_input.h"
#include "linvoro_functions.h"
#include "linvoro_io.h"
#include "osm_format.h"

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

// Splits a trimmed line into element name (the leading "<" dropped) and
// attribute text (everything after the first space or ">"). A line without
// either gives an empty name and the whole line as attribute text.
inline TElement SplitElement(std::string_view s) {
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

// Entity decoding and quote doubling of a tag value before it enters an
// attribute record: &apos; and &#10; (any letter case) first, then the XML
// entities and numeric references (UTF-8 out), then every CR and LF becomes
// a blank (BlankLineBreaks), every double quote is doubled and runs of
// spaces become one space.
std::string DecodeTagValue(std::string_view v);

// Every CR and LF in a decoded tag value becomes a blank. A road table holds
// one record per line in its MID file, so a line break inside a value would
// split the record; every input path passes its values through here.
void BlankLineBreaks(std::string& value);

// A tag value that is text already (OSM PBF) as the raw attribute text an
// OSM XML file holds for it: & " ' < > as the entities osmium writes, LF, CR
// and tab as the decimal references the OSM API writes. The passes then
// treat it exactly like the XML value; DecodeTagValue gives back the text.
// The result is value itself when nothing needs escaping, else a view of
// buf.
std::string_view XmlText(std::string_view value, std::string& buf);

// Integer conversions. A text that is not a valid integer of the range
// raises EConvertError "'<text>' is not a valid integer value".
int32_t ParseInt32(std::string_view text);  // 32-bit signed
int64_t ParseId(std::string_view text);     // 64-bit signed: node and way ids

// Where a pass is in its file, for the progress bar: bytes of the file on
// disk behind what the pass has taken (the compressed bytes for a
// compressed file) and the file's size.
class TInputPosition {
 public:
  virtual int64_t ProgressPosition() const = 0;
  virtual int64_t ProgressSize() const = 0;

 protected:
  ~TInputPosition() = default;
};

// Sequential reader of one OSM XML file, plain or compressed: lines end at
// CR, LF or CR LF; lines of any length (the buffer grows to hold the longest
// line). A compressed file is decompressed as a stream; positions are then
// offsets into the decompressed text.
class TOsmLineReader final : public TInputPosition {
 public:
  static constexpr size_t DefaultBufferSize = size_t(4) << 20;

  // A plain XML file. Throws EFOpenError naming the file and the system's
  // reason.
  explicit TOsmLineReader(const std::string& path, size_t bufferSize = DefaultBufferSize);
  // A file in the given format (ofXml, ofGzip or ofBzip2).
  TOsmLineReader(const std::string& path, TOsmFormat format, size_t bufferSize = DefaultBufferSize);
  ~TOsmLineReader();
  TOsmLineReader(const TOsmLineReader&) = delete;
  TOsmLineReader& operator=(const TOsmLineReader&) = delete;

  // Next line without its line end; false at end of file. The view stays
  // valid until the next ReadLine or Seek. Throws EReadError on I/O failure
  // and on damaged compressed data.
  bool ReadLine(std::string_view& line);
  // Byte offset of the next unread line's start (exact, not the buffered
  // file position).
  int64_t Position() const { return FBufPos + static_cast<int64_t>(FStart); }
  // The size of the file on disk.
  int64_t Size() const { return FSize; }
  bool EOF() const { return FStart == FEnd && FAtEnd; }
  // The next ReadLine starts at byte pos (not below 0; a plain file's reader
  // also not beyond its size). A compressed file moves back within the last
  // few kilobytes read without decompressing again.
  void Seek(int64_t pos);
  const std::string& FileName() const { return FFileName; }
  bool Compressed() const { return FSource != nullptr; }

  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override { return FSize; }

 private:
  void Open(size_t bufferSize);
  bool Fill();  // false when nothing more could be read
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
};

// The way-selection pass's header check: reads two lines; true when the
// second, trimmed, begins with <osm version="0.6".
bool CheckHeader(TOsmLineReader& reader);

// Positions a reader at the way section of its file from the position the
// node pass recorded: back 1024 bytes (not below 0), then past every line up
// to the first that contains "<way". Returns false when no such line
// remains (the reader is then at end of file). On true, line holds that
// first way line (valid until the next read).
bool SeekToWays(TOsmLineReader& reader, int64_t thirdPassStart, std::string_view& line);

// Percentage progress of a pass over one file, shown at most once per second
// and then letting the front end process pending events. The tick counter is
// consulted only every 1024 lines (or objects) to keep the per-line cost at
// an increment.
class TPassProgress {
 public:
  TPassProgress(IRunUI& ui, const TInputPosition& input);
  void Step() {
    if ((++FLines & 1023) == 0) [[unlikely]] Check();
  }
  // The same check at once, for a reader that moved on without handing
  // out lines or objects.
  void Check();

 private:
  IRunUI& FUI;
  const TInputPosition& FInput;
  uint32_t FLines = 0;
  uint32_t FLastTick;
};
