// dBASE III writer. A record is assembled in one buffer and written in one
// call through the buffered stream; the header's record count and the end
// mark are patched in by Close.
//
// Field widths are bytes, while the widths callers declare for text are
// lengths of names: in an encoding of one byte per character both are the
// same. In UTF-8 or a double-byte code page a character field is written
// wide enough for its declared number of characters of the widest kind, and
// Close narrows it to its longest value, never below the declared width: a
// table whose values all fit the declared bytes comes out as it would have
// at the declared widths.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_io.h"
#include "linvoro_platform.h"

namespace {

bool IsAscii(std::string_view v) {
  unsigned char acc = 0;
  for (char c : v) acc |= static_cast<unsigned char>(c);
  return acc < 0x80;
}

// The low byte of each character's code.
void LowBytes(std::string_view v, std::string& out) {
  out.clear();
  uint32_t cp;
  for (const char *p = v.data(), *e = p + v.size(); p < e;) {
    p += Utf8NextChar(p, e, cp);
    out += static_cast<char>(cp & 0xFF);
  }
}

void PutRightAligned(char* dest, int width, const char* text, size_t len) {
  if (len >= static_cast<size_t>(width)) {
    std::memcpy(dest, text, width);
  } else {
    std::memset(dest, ' ', width - len);
    std::memcpy(dest + (width - len), text, len);
  }
}

// Integral numbers (no sign, no leading zero, at most 15 digits) are common
// in road tables; their fixed text needs no round trip through a double.
bool PutPlainInteger(char* dest, int width, int decimals, std::string_view v) {
  if (v.empty() || v.size() > 15 || (v[0] == '0' && v.size() > 1) || decimals > 20) return false;
  for (char c : v)
    if (c < '0' || c > '9') return false;
  char buf[40];
  std::memcpy(buf, v.data(), v.size());
  size_t len = v.size();
  if (decimals > 0) {
    buf[len++] = '.';
    std::memset(buf + len, '0', decimals);
    len += decimals;
  }
  PutRightAligned(dest, width, buf, len);
  return true;
}

void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

TGISWriterDBF::TGISWriterDBF() = default;

TGISWriterDBF::~TGISWriterDBF() = default;

int64_t TGISWriterDBF::DbfSize() const {
  return 32 * static_cast<int64_t>(FNumFields) + 33 +
         static_cast<int64_t>(FDbfRecords) * FRecordLength;
}

void TGISWriterDBF::StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) {
  // The header length is a 16-bit number.
  if (NumFields > 2046)
    throw EOutOfRange("A dBASE table holds at most 2046 fields, not " + std::to_string(NumFields));
  TGISWriter::StartHeader(NumFields, ObjectTypes);
  FRecordLength = 1;
  FDeclaredLength = 1;
  FNarrowedLength = 1;
  FDbfRecords = 0;
  FWrittenRecords = 0;
  FDeferRecord = false;
  FNarrowOnClose = true;
  FMaxCharBytes = CodePageMaxCharSize(FCodepage);
  FCharLimit.assign(static_cast<size_t>(NumFields) + 1, 0);
  FLongest.assign(static_cast<size_t>(NumFields) + 1, 0);
  {
    // Code pages that keep ASCII as it is let plain values skip conversion.
    std::string ascii;
    for (int c = 32; c < 127; ++c) ascii += static_cast<char>(c);
    FAsciiSafe = Utf8ToCodePage(ascii, FCodepage) == ascii;
  }

  const size_t headerLength = 32 * static_cast<size_t>(NumFields) + 33;
  std::vector<uint8_t> h(headerLength, 0);
  h[0] = 0x03;
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  h[1] = static_cast<uint8_t>(t.tm_year & 0xFF);  // years since 1900
  h[2] = static_cast<uint8_t>(t.tm_mon + 1);
  h[3] = static_cast<uint8_t>(t.tm_mday);
  PutLE16(&h[8], static_cast<uint16_t>(headerLength));
  // Completed by the last field; a table without fields has records of the
  // deletion flag alone.
  PutLE16(&h[10], 1);
  h[29] = CodePageToDbfLanguageDriver(FCodepage);
  h[headerLength - 1] = 0x0D;

  FOutDBF.reset();
  FOutDBF = CreateWriteBehindFile(FFileName + ".dbf");
  FOutDBF->WriteBuffer(h.data(), static_cast<int64_t>(h.size()));
  FRecord.assign(1, ' ');
}

size_t TGISWriterDBF::EncodeChar(char* dest, int width, std::string_view v, size_t maxChars) {
  if (width <= 0) return 0;
  const size_t bytes = static_cast<size_t>(width);
  if (FAsciiSafe && IsAscii(v)) {
    const size_t n = std::min({v.size(), bytes, maxChars});
    std::memcpy(dest, v.data(), n);
    std::memset(dest + n, ' ', width - n);
    return n;
  }
  if (FCodepage == 65001 && IsValidUtf8(v)) {
    // Stored as given, cut at a whole character.
    const size_t n = v.size() <= maxChars ? Utf8CutPoint(v, bytes) : CodePageCutPoint(v, 65001, maxChars, bytes);
    std::memcpy(dest, v.data(), n);
    std::memset(dest + n, ' ', width - n);
    return n;
  }
  size_t lost = 0;
  const std::string enc = EncodeCut(v, bytes, &lost, maxChars);
  std::memcpy(dest, enc.data(), enc.size());
  std::memset(dest + enc.size(), ' ', width - enc.size());
  if (lost) LostText(v);
  return enc.size();
}

void TGISWriterDBF::WriteDescriptorWidth(int32_t field, uint8_t width) {
  FOutDBF->Seek(32 * static_cast<int64_t>(field) + 16, soBeginning);
  FOutDBF->WriteBuffer(&width, 1);
  FFieldInfo[field].Width = width;
}

void TGISWriterDBF::FitWidenedFields() {
  if (FRecordLength <= 65535) return;
  // The declared widths fit (AddField checked them); the room above them is
  // shared in proportion to what each widened field asked for.
  const int64_t room = 65535 - FDeclaredLength;
  const int64_t asked = FRecordLength - FDeclaredLength;
  FRecordLength = FDeclaredLength;
  for (int32_t i = 1; i <= FNumFields; ++i) {
    if (!Widened(i)) continue;
    const int64_t extra = FFieldInfo[i].Width - FCharLimit[i];
    const auto w = static_cast<uint8_t>(FCharLimit[i] + extra * room / asked);
    WriteDescriptorWidth(i, w);
    FRecordLength += w - FCharLimit[i];
  }
}

void TGISWriterDBF::AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                             uint8_t decimals) {
  if (Width == 255) Width = 254;
  char letter = 'N';
  uint8_t w = Width;
  uint8_t d = 0;
  switch (Field) {
    case gfInteger: w = 11; break;
    case gfSmallInt: w = 6; break;
    case gfDecimal: d = decimals; break;
    case gfFloat:
      w = Width == 0 ? 20 : Width;
      d = decimals == 0 ? 8 : decimals;
      break;
    case gfDate: letter = 'D'; w = 8; break;
    case gfLogical: letter = 'L'; w = 1; break;
    case gfTime: letter = 'C'; w = 9; break;
    case gfDateTime: letter = 'C'; w = 17; break;
    case gfInt64: w = 20; break;
    default: letter = 'C'; break;  // gfChar and unknown type codes
  }
  if (FWrittenFields < FNumFields && FDeclaredLength + w > 65535)
    throw EOutOfRange("dBASE records are limited to 65535 bytes; field " + FieldName +
                      " does not fit");
  const uint8_t declared = w;
  if (Field == gfChar && FMaxCharBytes > 1 && w > 0)
    w = static_cast<uint8_t>(std::min(254, FMaxCharBytes * w));
  TGISWriter::AddField(FieldName, Field, w, d);
  const int32_t k = FWrittenFields;
  if (w != declared) FCharLimit[k] = declared;
  FDeclaredLength += declared;
  FNarrowedLength += declared;

  uint8_t desc[32] = {};
  const std::string name = EncodeCut(FieldName, 10);
  std::memcpy(desc, name.data(), name.size());
  desc[11] = static_cast<uint8_t>(letter);
  desc[16] = w;
  desc[17] = d;
  FOutDBF->Seek(32 * static_cast<int64_t>(k), soBeginning);
  FOutDBF->WriteBuffer(desc, 32);
  FRecordLength += w;

  if (k == FNumFields) {
    FitWidenedFields();
    uint8_t len[2];
    PutLE16(len, static_cast<uint16_t>(FRecordLength));
    FOutDBF->Seek(10, soBeginning);
    FOutDBF->WriteBuffer(len, 2);
    FOutDBF->Seek(32 * static_cast<int64_t>(FNumFields) + 33, soBeginning);
    FRecord.assign(FRecordLength, ' ');
  }
}

bool TGISWriterDBF::WriteDbfRecord(std::string_view Attrib) {
  if (!BuildDbfRecord(Attrib)) return false;
  PutDbfRecord();
  return true;
}

std::string TGISWriterDBF::DbfFullMessage() const {
  // Asked before every record: the file name is put together only for the
  // message.
  auto file = [this] { return FileName().substr(FileName().rfind('/') + 1) + ".dbf"; };
  const int64_t records = SizeLimit(DbfRecordLimit);
  if (static_cast<int64_t>(FDbfRecords) + 1 > records)
    return TableFullMessage(file(), records, "records", "the record count dBASE readers take");
  // The end mark byte included.
  const int64_t bytes = SizeLimit(DbfSizeLimit);
  if (DbfSize() + FRecordLength + 1 > bytes)
    return TableFullMessage(file(), bytes, "bytes", "the most dBASE readers address");
  return std::string();
}

void TGISWriterDBF::FullStop(const std::string& message) {
  FNumParts = FWrittenParts = 0;
  Close();
  throw ETableFull(message);
}

void TGISWriterDBF::PutDbfRecord() {
  if (const std::string full = DbfFullMessage(); !full.empty()) FullStop(full);
  FOutDBF->WriteBuffer(FRecord.data(), FRecordLength);
  ++FDbfRecords;
  ++FWrittenRecords;
}

bool TGISWriterDBF::BuildDbfRecord(std::string_view Attrib) {
  if (!FOutDBF) return false;
  // Split and check before anything is written, so that a rejected row
  // leaves no half record behind.
  SplitAttrib(Attrib);
  char* rec = FRecord.data();
  rec[0] = ' ';
  int pos = 1;
  for (int32_t i = 1; i <= FNumFields; ++i) {
    const TFieldInfo& f = FFieldInfo[i];
    const std::string_view v = FValues[i - 1];
    const int width = f.Width;
    char* dest = rec + pos;
    pos += width;
    if (width == 0) continue;
    switch (f.FieldType) {
      case gfInteger:
      case gfSmallInt:
      case gfInt64:
        // Stored as given: the text is neither checked nor reformatted.
        if (IsAscii(v)) {
          PutRightAligned(dest, width, v.data(), v.size());
        } else {
          LowBytes(v, FScratch);
          PutRightAligned(dest, width, FScratch.data(), FScratch.size());
        }
        break;
      case gfDecimal:
      case gfFloat:
        if (!PutPlainInteger(dest, width, f.decimals, v))
          FormatFixed(dest, width, f.decimals, NumericPrefix(v));
        break;
      case gfLogical:
        *dest = LogicalValue(v) ? 'T' : 'F';
        break;
      case gfDate:
      case gfTime:
      case gfDateTime:
        if (IsAscii(v)) {
          if (v.size() == static_cast<size_t>(width))
            std::memcpy(dest, v.data(), width);
          else
            std::memset(dest, ' ', width);
        } else {
          LowBytes(v, FScratch);
          if (FScratch.size() == static_cast<size_t>(width))
            std::memcpy(dest, FScratch.data(), width);
          else
            std::memset(dest, ' ', width);
        }
        break;
      default:
        if (Widened(i)) {
          const auto n = static_cast<uint8_t>(EncodeChar(dest, width, v, FCharLimit[i]));
          if (n > FLongest[i]) {
            FNarrowedLength += std::max(n, FCharLimit[i]) - NarrowedWidth(i);
            FLongest[i] = n;
          }
        } else {
          EncodeChar(dest, width, v);
        }
        break;
    }
  }
  return true;
}

void TGISWriterDBF::WriteObject(int32_t NumParts, std::string_view Attrib) {
  // The row first: a rejected row must not leave a record waiting for
  // sections.
  if (FDeferRecord)
    BuildDbfRecord(Attrib);
  else
    WriteDbfRecord(Attrib);
  TGISWriter::WriteObject(NumParts, Attrib);
}

void TGISWriterDBF::AddPoint(double, double, std::string_view Attrib) {
  CheckRecordStart();
  WriteDbfRecord(Attrib);
}

void TGISWriterDBF::Close() {
  TGISWriter::Close();
  if (!FOutDBF) return;
  {
    // First complete at the widths written, so that the table is whole
    // whatever becomes of the narrowing.
    std::unique_ptr<TLvBufferedStream> f = std::move(FOutDBF);
    f->Seek(DbfSize(), soBeginning);
    f->WriteByte(0x1A);
    f->Seek(4, soBeginning);
    f->WriteUInt32(FDbfRecords);
    f->Flush();
  }
  if (!FNarrowOnClose || FWrittenFields < FNumFields) return;
  for (int32_t i = 1; i <= FNumFields; ++i)
    if (Widened(i) && NarrowedWidth(i) < FFieldInfo[i].Width) {
      NarrowClosedTable();
      return;
    }
}

void TGISWriterDBF::NarrowClosedTable() {
  const std::string path = FFileName + ".dbf";
  const std::string temp = path + ".tmp";
  const int64_t headerLength = 32 * static_cast<int64_t>(FNumFields) + 33;
  // Byte ranges of a wide record that the narrow one keeps, joined where
  // fields keep their width.
  struct TSpan {
    int32_t from, length;
  };
  std::vector<TSpan> spans;
  int32_t from = 1, narrowLength = 1;
  spans.push_back({0, 1});
  for (int32_t i = 1; i <= FNumFields; ++i) {
    const int32_t wide = FFieldInfo[i].Width;
    const int32_t keep = Widened(i) ? NarrowedWidth(i) : wide;
    if (spans.back().from + spans.back().length == from)
      spans.back().length += keep;
    else
      spans.push_back({from, keep});
    from += wide;
    narrowLength += keep;
  }
  try {
    TLvBufferedStream in(new TLvFileStream(path, fmOpenRead), true);
    TLvBufferedStream out(new TLvFileStream(temp, fmCreate), true);
    std::vector<uint8_t> header(static_cast<size_t>(headerLength));
    in.ReadBuffer(header.data(), headerLength);
    PutLE16(&header[10], static_cast<uint16_t>(narrowLength));
    for (int32_t i = 1; i <= FNumFields; ++i)
      if (Widened(i)) header[32 * static_cast<size_t>(i) + 16] = NarrowedWidth(i);
    out.WriteBuffer(header.data(), headerLength);
    std::vector<char> wide(static_cast<size_t>(FRecordLength));
    std::vector<char> narrow(static_cast<size_t>(narrowLength));
    for (uint32_t r = 0; r < FDbfRecords; ++r) {
      in.ReadBuffer(wide.data(), FRecordLength);
      char* o = narrow.data();
      for (const TSpan& s : spans) {
        std::memcpy(o, wide.data() + s.from, s.length);
        o += s.length;
      }
      out.WriteBuffer(narrow.data(), narrowLength);
    }
    out.WriteByte(0x1A);
    out.Flush();
  } catch (...) {
    DeleteFileIfExists(temp);
    throw;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    DeleteFileIfExists(temp);
    throw EWriteError("Cannot replace " + FullPath(path) + ". " + SystemErrorText(err));
  }
  for (int32_t i = 1; i <= FNumFields; ++i)
    if (Widened(i)) FFieldInfo[i].Width = NarrowedWidth(i);
  FRecordLength = narrowLength;
}

void TGISWriterDBF::Drop() {
  // Narrowing a table about to be deleted is wasted work.
  FNarrowOnClose = false;
  Close();
  DeleteFileIfExists(FFileName + ".dbf");
}
