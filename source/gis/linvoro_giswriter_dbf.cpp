// dBASE III writer. A record is assembled in one buffer and written in one
// call through the buffered stream; the header's record count and the end
// mark are patched in by Close.
#include <algorithm>
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
  FDbfRecords = 0;
  FWrittenRecords = 0;
  FFileIsFull = false;
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
  FOutDBF = std::make_unique<TLvBufferedStream>(new TLvFileStream(FFileName + ".dbf", fmCreate), true);
  FOutDBF->WriteBuffer(h.data(), static_cast<int64_t>(h.size()));
  FRecord.assign(1, ' ');
}

void TGISWriterDBF::EncodeChar(char* dest, int width, std::string_view v) {
  if (width <= 0) return;
  if (FAsciiSafe && IsAscii(v)) {
    const size_t n = std::min(v.size(), static_cast<size_t>(width));
    std::memcpy(dest, v.data(), n);
    std::memset(dest + n, ' ', width - n);
    return;
  }
  if (FCodepage == 65001 && IsValidUtf8(v)) {
    // Stored as given, cut at a whole character.
    const size_t n = Utf8CutPoint(v, static_cast<size_t>(width));
    std::memcpy(dest, v.data(), n);
    std::memset(dest + n, ' ', width - n);
    return;
  }
  size_t lost = 0;
  const std::string enc = EncodeCut(v, static_cast<size_t>(width), &lost);
  std::memcpy(dest, enc.data(), enc.size());
  std::memset(dest + enc.size(), ' ', width - enc.size());
  if (lost) LostText(v);
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
  if (FWrittenFields < FNumFields && FRecordLength + w > 65535)
    throw EOutOfRange("dBASE records are limited to 65535 bytes; field " + FieldName +
                      " does not fit");
  TGISWriter::AddField(FieldName, Field, w, d);
  const int32_t k = FWrittenFields;

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
    uint8_t len[2];
    PutLE16(len, static_cast<uint16_t>(FRecordLength));
    FOutDBF->Seek(10, soBeginning);
    FOutDBF->WriteBuffer(len, 2);
    FOutDBF->Seek(32 * static_cast<int64_t>(FNumFields) + 33, soBeginning);
    FRecord.assign(FRecordLength, ' ');
  }
}

bool TGISWriterDBF::WriteDbfRecord(std::string_view Attrib) {
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
        EncodeChar(dest, width, v);
        break;
    }
  }
  FOutDBF->WriteBuffer(rec, FRecordLength);
  ++FDbfRecords;
  ++FWrittenRecords;
  if (DbfSize() > GISFileSizeLimit) FFileIsFull = true;
  return true;
}

void TGISWriterDBF::WriteObject(int32_t NumParts, std::string_view Attrib) {
  // The row first: a rejected row must not leave a record waiting for
  // sections.
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
  std::unique_ptr<TLvBufferedStream> f = std::move(FOutDBF);
  f->Seek(DbfSize(), soBeginning);
  f->WriteByte(0x1A);
  f->Seek(4, soBeginning);
  f->WriteUInt32(FDbfRecords);
  f->Flush();
}

void TGISWriterDBF::Drop() {
  Close();
  DeleteFileIfExists(FFileName + ".dbf");
}
