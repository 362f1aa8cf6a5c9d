#include "linvoro_dbffiles.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "linvoro_charset.h"
#include "linvoro_csvfiles.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"

namespace {

constexpr int32_t MaxReadableField = 255;  // field numbers above it read as empty

bool IsBlank(unsigned char c) { return c <= ' '; }

// Upper case of a UTF-8 text; field names and .tab lines are compared in it.
std::string UpperText(std::string_view s) {
  bool ascii = true;
  for (unsigned char c : s) ascii = ascii && c < 0x80;
  std::string out;
  if (ascii) {
    out.assign(s);
    for (char& c : out)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  u.toUpper(icu::Locale::getRoot());
  u.toUTF8String(out);
  return out;
}

// Bytes taken as the characters of the same codes (U+0000..U+00FF).
std::string Latin1ToUtf8(const uint8_t* p, size_t n) {
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = p[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

uint64_t LoadLE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int SmallNumber(std::string_view s) {
  if (!AllDigits(s) || s.size() > 9) return 0;
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// The code page named by the first line of a .cpg file. Our shapefile writer
// stores the number (1252); other writers store names such as "UTF-8",
// "CP1251", "ANSI 1251" or "ISO-8859-1", which would otherwise fall back to
// the system code page and garble every non-ASCII value.
int CpgCodePage(std::string_view line) {
  const std::string t = UpperText(Trim(line));
  const std::string_view s = t;
  if (AllDigits(s)) return SmallNumber(s);
  if (s == "UTF-8" || s == "UTF8") return 65001;
  for (std::string_view prefix : {"CP", "ANSI ", "ANSI_", "WINDOWS-", "WINDOWS "})
    if (s.starts_with(prefix)) return SmallNumber(Trim(s.substr(prefix.size())));
  for (std::string_view prefix : {"ISO-8859-", "ISO8859-", "ISO8859_", "8859_"})
    if (s.starts_with(prefix)) {
      const int n = SmallNumber(s.substr(prefix.size()));
      return n >= 1 && n <= 16 ? 28590 + n : 0;
    }
  return 0;
}

// Power of ten as a single-precision value, widened.
double Pow10Single(int e) { return static_cast<double>(static_cast<float>(std::pow(10.0, e))); }

std::string WithExtension(const std::string& name, const char* ext) {
  std::filesystem::path p(name);
  p.replace_extension(ext);
  return p.string();
}

// stem + ext in lower case, or in upper case when only that exists.
std::string Companion(const std::string& name, const char* lower, const char* upper) {
  std::string p = WithExtension(name, lower);
  std::error_code ec;
  if (std::filesystem::exists(p, ec)) return p;
  std::string q = WithExtension(name, upper);
  if (std::filesystem::exists(q, ec)) return q;
  return p;
}

bool FileExists(const std::string& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec);
}

const Tdbffield EmptyField{};

}  // namespace

// ------------------------------------------------------------------ TDbfFile

TDbfFile::TDbfFile(const std::string& FileName, int ACodePage, int32_t ABufferSize)
    : fFilename(FileName), fCodePage(ACodePage), fGivenCodePage(ACodePage), fBufferSize(ABufferSize) {}

TDbfFile::~TDbfFile() = default;

void TDbfFile::Close() {
  fBinFile.reset();
  fOpen = false;
  fFields.clear();
  fFieldCount = 0;
  fRecordCount = 0;
  fStartOfData = 0;
  fRecordLength = 0;
}

void TDbfFile::Damaged(const std::string& what) const {
  throw EOutOfRange("Table " + fFilename + " is damaged: " + what);
}

void TDbfFile::Open(bool ReadWrite) {
  Close();
  const std::string ext = UpperText(std::filesystem::path(fFilename).extension().string());
  if (ext == ".DBF")
    fDBFtype = TDBFtype::dbf;
  else if (ext == ".DAT")
    fDBFtype = TDBFtype::dat;
  else
    return;

  fCodePage = fGivenCodePage;
  try {
    if (fDBFtype == TDBFtype::dat) {
      // The .tab is checked before the .dat is touched.
      OpenDat(ReadWrite ? 0x0022 : 0x0020);
    } else {
      fBinFile = std::make_unique<TLvBufferedStream>(
          new TLvFileStream(fFilename, ReadWrite ? 0x0022 : 0x0020), true, fBufferSize);
      OpenDbf();
    }
    CompleteFields();
  } catch (...) {
    Close();
    throw;
  }
  fOpen = true;
}

void TDbfFile::OpenDbf() {
  const int64_t size = fBinFile->Size();
  uint8_t head[32];
  if (size < 32) Damaged("the header is incomplete");
  fBinFile->SetPosition(0);
  fBinFile->ReadBuffer(head, 32);

  if (fCodePage == 0) {
    const std::string cpg = Companion(fFilename, ".cpg", ".CPG");
    fCodePage = FileExists(cpg) ? CpgCodePage(ReadFirstLine(cpg))
                                : DbfLanguageDriverToCodePage(head[29]);
  }
  if (fCodePage <= 0) fCodePage = SystemAnsiCodePage();

  fRecordCount = static_cast<int64_t>(LoadLE(head + 4, 4));
  const int64_t headerLength = static_cast<int64_t>(LoadLE(head + 8, 2));
  fRecordLength = static_cast<int64_t>(LoadLE(head + 10, 2));
  fStartOfData = headerLength;
  if (headerLength < 33 || headerLength > size)
    Damaged("header length " + std::to_string(headerLength) + " does not fit a file of " +
            std::to_string(size) + " bytes");
  fFieldCount = static_cast<int32_t>((headerLength - 1) / 32 - 1);

  std::vector<uint8_t> header(static_cast<size_t>(headerLength));
  fBinFile->SetPosition(0);
  fBinFile->ReadBuffer(header.data(), headerLength);

  // The descriptors end at the 0x0D terminator; tables with extra header
  // bytes after it (Visual FoxPro keeps 263 there) have fewer fields than the
  // header length alone suggests.
  for (int32_t i = 0; i < fFieldCount; ++i)
    if (header[32 + 32 * static_cast<size_t>(i)] == 0x0D) {
      fFieldCount = i;
      break;
    }
  fFields.resize(static_cast<size_t>(fFieldCount));
  for (int32_t i = 0; i < fFieldCount; ++i) {
    const uint8_t* d = header.data() + 32 + 32 * static_cast<size_t>(i);
    size_t n = 0;
    while (n < 11 && d[n] != 0) ++n;
    Tdbffield& f = fFields[i];
    // Names are stored in the table's code page like the values.
    f.Name = UpperText(fCodePage == 1200
                           ? Latin1ToUtf8(d, n)
                           : CodePageToUtf8(std::string_view(reinterpret_cast<const char*>(d), n),
                                            fCodePage));
    switch (d[11]) {
      case 'C': f.FieldType = gfChar; break;
      case 'D': f.FieldType = gfDate; break;
      case 'N': case 'F': f.FieldType = gfDecimal; break;
      case 'L': f.FieldType = gfLogical; break;
      default: f.FieldType = gfChar; break;
    }
    f.Width = d[16];
    f.decimals = d[17];
  }
}

void TDbfFile::ReadTab(const std::string& tabName, bool& nativeX,
                       std::vector<Tdbffield>& fields) {
  // The header is read as bytes: its keywords are ASCII, while MapInfo
  // writes field names in the table's character set, which is known by the
  // time the field lines come. Without a known character set they are UTF-8.
  std::ifstream tab(tabName, std::ios::binary);
  if (!tab) throw EFOpenError("Cannot open file \"" + tabName + "\". " + SystemErrorText(errno));
  std::string raw;
  bool first = true;
  auto nextLine = [&]() -> bool {
    if (!std::getline(tab, raw)) return false;
    if (first && raw.starts_with("\xEF\xBB\xBF")) raw.erase(0, 3);
    first = false;
    return true;
  };
  std::string fieldsLine;
  bool found = false;
  int charsetPage = -1;
  while (nextLine()) {
    const std::string line = UpperText(Trim(CodePageToUtf8(raw, 65001)));
    if (line.starts_with("!CHARSET"))
      charsetPage = CharSetList().Charset2CodePage(Trim(std::string_view(line).substr(
          std::min<size_t>(line.size(), 9))));
    if (line.starts_with("TYPE NATIVEX")) nativeX = true;
    if (line.find("FIELDS") != std::string::npos) {
      fieldsLine = line;
      found = true;
      break;
    }
  }
  // The .tab names the character set of its .dat; a name we do not know
  // leaves the code page the caller gave (0: the system's).
  if (charsetPage > 0) fCodePage = charsetPage;
  const int namePage = charsetPage > 0 ? charsetPage : 65001;

  if (!found)
    throw EConvertError("TAB file " + tabName + " has no field list (no \"Fields\" line)");
  const size_t at = fieldsLine.find("FIELDS") + 7;
  const std::string countText(Trim(std::string_view(fieldsLine).substr(
      std::min(at, fieldsLine.size()))));
  int64_t count = 0;
  try {
    count = ConvertInteger(countText, 0, std::numeric_limits<int32_t>::max());
  } catch (const EConvertError&) {
    throw EConvertError("TAB file " + tabName + ": '" + countText +
                        "' is not a valid field count");
  }

  for (int64_t i = 0; i < count; ++i) {
    if (!nextLine())
      throw EOutOfRange("TAB file " + tabName + " lists " + std::to_string(i) + " of " +
                        std::to_string(count) + " fields");
    const std::string line = UpperText(Trim(CodePageToUtf8(raw, namePage)));
    size_t sp = 0;
    while (sp < line.size() && !IsBlank(static_cast<unsigned char>(line[sp]))) ++sp;
    Tdbffield f;
    f.Name = line.substr(0, sp);
    const std::string_view rest = Trim(std::string_view(line).substr(sp));
    static constexpr std::pair<const char*, TGISField> Prefixes[] = {
        {"CHAR", gfChar},         {"DATETIME", gfDateTime}, {"DATE", gfDate},
        {"TIME", gfTime},         {"SMALLINT", gfSmallInt}, {"INTEGER", gfInteger},
        {"LARGEINT", gfInt64},    {"FLOAT", gfFloat},       {"DECIMAL", gfDecimal},
        {"LOGICAL", gfLogical}};
    for (const auto& [prefix, type] : Prefixes)
      if (rest.starts_with(prefix)) {
        f.FieldType = type;
        break;
      }
    fields.push_back(std::move(f));
  }
}

void TDbfFile::OpenDat(uint16_t mode) {
  const std::string tabName = Companion(fFilename, ".tab", ".TAB");
  if (!FileExists(tabName))
    throw EFileMissing("Corresponding TAB file is missing for DAT file " + fFilename);
  bool nativeX = false;
  std::vector<Tdbffield> fields;
  ReadTab(tabName, nativeX, fields);
  fDBFtype = nativeX ? TDBFtype::datx : TDBFtype::dat;

  fBinFile = std::make_unique<TLvBufferedStream>(new TLvFileStream(fFilename, mode), true, fBufferSize);
  const int64_t size = fBinFile->Size();
  const int64_t fixed = nativeX ? 20 : 12;
  if (size < fixed) Damaged("the header is incomplete");
  uint8_t head[20];
  fBinFile->SetPosition(0);
  fBinFile->ReadBuffer(head, fixed);
  int64_t headerLength;
  if (nativeX) {
    fRecordCount = static_cast<int64_t>(LoadLE(head + 4, 8));
    headerLength = static_cast<int64_t>(LoadLE(head + 12, 4));
    fRecordLength = static_cast<int64_t>(LoadLE(head + 16, 4));
  } else {
    fRecordCount = static_cast<int64_t>(LoadLE(head + 4, 4));
    headerLength = static_cast<int64_t>(LoadLE(head + 8, 2));
    fRecordLength = static_cast<int64_t>(LoadLE(head + 10, 2));
  }
  if (fRecordCount < 0) Damaged("negative record count");
  if (headerLength > size)
    Damaged("header length " + std::to_string(headerLength) + " does not fit a file of " +
            std::to_string(size) + " bytes");
  fStartOfData = headerLength;

  fFieldCount = static_cast<int32_t>(fields.size());
  // Descriptor i keeps its width and decimals at 32 i + 48: one byte each, or
  // a 32-bit integer each in NativeX tables.
  const int64_t descEnd = 32 * static_cast<int64_t>(fFieldCount) + 48 - 32 + (nativeX ? 8 : 2);
  if (fFieldCount > 0 && descEnd > headerLength)
    Damaged("the header holds fewer field descriptors than the " + std::to_string(fFieldCount) +
            " fields of its TAB file");
  std::vector<uint8_t> header(static_cast<size_t>(std::max<int64_t>(headerLength, 0)));
  fBinFile->SetPosition(0);
  if (!header.empty()) fBinFile->ReadBuffer(header.data(), headerLength);
  for (int32_t i = 0; i < fFieldCount; ++i) {
    const uint8_t* d = header.data() + 48 + 32 * static_cast<size_t>(i);
    if (nativeX) {
      fields[i].Width = static_cast<int32_t>(LoadLE(d, 4));
      fields[i].decimals = static_cast<int32_t>(LoadLE(d + 4, 4));
    } else {
      fields[i].Width = d[0];
      fields[i].decimals = d[1];
    }
    if (fields[i].Width < 0 || fields[i].decimals < 0)
      Damaged("field " + fields[i].Name + " has a negative width");
  }
  fFields = std::move(fields);
}

void TDbfFile::CompleteFields() {
  const int64_t size = fBinFile->Size();
  if (fRecordLength > std::numeric_limits<int32_t>::max())
    Damaged("record length " + std::to_string(fRecordLength) + " is out of range");
  int64_t pos = 1;
  if (fDBFtype == TDBFtype::datx) pos += (fFieldCount + 7) / 8;
  for (Tdbffield& f : fFields) {
    f.Pos = static_cast<int32_t>(pos);
    pos += f.Width;
    if (pos > fRecordLength)
      Damaged("field " + f.Name + " ends at byte " + std::to_string(pos) +
              " of a record of " + std::to_string(fRecordLength) + " bytes");
    if (f.FieldType == gfDecimal) {
      const int w = f.Width, d = f.decimals;
      if (d > 0) {
        f.Max = Pow10Single(w - d - 1) - Pow10Single(-d);
        f.Min = -(Pow10Single(w - d - 2) - Pow10Single(-d));
      } else {
        f.Max = Pow10Single(w) - 1;
        f.Min = -(Pow10Single(w - 1) - 1);
      }
    }
  }
  // Every record the header announces must be in the file: a truncated table
  // would otherwise hand out the bytes of whatever follows as values.
  if (fRecordCount > 0) {
    const int64_t room = size - fStartOfData;
    const int64_t held = fRecordLength > 0 ? std::max<int64_t>(room, 0) / fRecordLength
                                           : std::numeric_limits<int64_t>::max();
    if (fRecordCount > held)
      Damaged("the header announces " + std::to_string(fRecordCount) +
              " records, the file holds " + std::to_string(held));
  }
}

const Tdbffield& TDbfFile::FieldInfo(int32_t FieldNum) const {
  if (FieldNum < 0 || FieldNum >= static_cast<int32_t>(fFields.size())) return EmptyField;
  return fFields[FieldNum];
}

int32_t TDbfFile::FindField(std::string_view Fieldname) const {
  if (!fOpen) return -1;
  const std::string name = UpperText(Fieldname);
  for (int32_t i = 0; i < fFieldCount; ++i)
    if (fFields[i].Name == name) return i;
  return -1;
}

bool TDbfFile::ReadField(int32_t FieldNum, int64_t RecNum) {
  if (!fOpen || FieldNum < 0 || FieldNum >= fFieldCount || FieldNum > MaxReadableField ||
      RecNum < 1 || RecNum > fRecordCount)
    return false;
  const Tdbffield& f = fFields[FieldNum];
  const size_t need = std::max<size_t>(static_cast<size_t>(f.Width), 8);
  if (fBuffer.size() < need) fBuffer.resize(need);
  fBinFile->Seek(fStartOfData + (RecNum - 1) * fRecordLength + f.Pos, soBeginning);
  const int32_t got = f.Width > 0 ? fBinFile->Read(fBuffer.data(), f.Width) : 0;
  // A file cut short after opening reads as zero bytes, never as stale data.
  std::memset(fBuffer.data() + std::max(got, 0), 0, need - static_cast<size_t>(std::max(got, 0)));
  fFieldLength = f.Width;
  return true;
}

std::string TDbfFile::ReadString(int32_t FieldNum, int64_t RecNum) {
  if (!ReadField(FieldNum, RecNum)) return std::string();
  const char* p = reinterpret_cast<const char*>(fBuffer.data());
  std::string text;
  if (fCodePage == 1200) {
    // UTF-16LE: the text ends at the first zero unit (a field whose first
    // unit is zero is empty).
    size_t n = 0;
    while (n + 1 < static_cast<size_t>(fFieldLength) && (p[n] != 0 || p[n + 1] != 0)) n += 2;
    if (n == 0) return std::string();
    text = CodePageToUtf8(std::string_view(p, n), 1200);
  } else {
    // Trailing spaces count as the end of the text, so do zero bytes.
    const void* z = std::memchr(p, 0, static_cast<size_t>(fFieldLength));
    size_t n = z ? static_cast<size_t>(static_cast<const char*>(z) - p)
                 : static_cast<size_t>(fFieldLength);
    while (n > 0 && p[n - 1] == ' ') --n;
    text = CodePageToUtf8(std::string_view(p, n), fCodePage);
  }
  const std::string_view t = Trim(text);
  if (t.size() == text.size()) return text;
  return std::string(t);
}

namespace {

// The text of a numeric field: bytes in code page 437 (digits, sign, point).
std::string NumericText(const uint8_t* p, int32_t width) {
  std::string_view raw(reinterpret_cast<const char*>(p), static_cast<size_t>(width));
  if (const size_t z = raw.find('\0'); z != std::string_view::npos) raw = raw.substr(0, z);
  raw = Trim(raw);
  for (unsigned char c : raw)
    if (c >= 0x80) return CodePageToUtf8(raw, 437);
  return std::string(raw);
}

template <typename T>
T Binary(const uint8_t* p) {
  return static_cast<T>(LoadLE(p, sizeof(T)));
}

}  // namespace

int64_t TDbfFile::ReadInteger(int32_t FieldNum, int64_t RecNum) {
  if (!ReadField(FieldNum, RecNum)) return 0;
  const Tdbffield& f = fFields[FieldNum];
  const uint8_t* p = fBuffer.data();
  switch (f.FieldType) {
    case gfInteger: return Binary<int32_t>(p);
    case gfSmallInt: return Binary<int16_t>(p);
    case gfInt64: return Binary<int64_t>(p);
    case gfFloat: return Round(std::bit_cast<double>(Binary<uint64_t>(p)));
    case gfDecimal: {
      const std::string text = NumericText(p, fFieldLength);
      return f.decimals > 0 ? Round(ConvertFloat(text)) : ConvertInteger(text);
    }
    default:
      throw Exception("Field type is not supported");
  }
}

double TDbfFile::ReadFloat(int32_t FieldNum, int64_t RecNum) {
  if (!ReadField(FieldNum, RecNum)) return 0;
  const Tdbffield& f = fFields[FieldNum];
  const uint8_t* p = fBuffer.data();
  switch (f.FieldType) {
    case gfInteger: return Binary<int32_t>(p);
    case gfSmallInt: return Binary<int16_t>(p);
    case gfInt64: return static_cast<double>(Binary<int64_t>(p));
    case gfFloat: return std::bit_cast<double>(Binary<uint64_t>(p));
    case gfDecimal: return ConvertFloat(NumericText(p, fFieldLength));
    default:
      throw Exception("Field type is not supported");
  }
}

bool TDbfFile::IsDeleted(int64_t RecNum) {
  if (!fOpen || RecNum < 1 || RecNum > fRecordCount) return false;
  fBinFile->Seek(fStartOfData + (RecNum - 1) * fRecordLength, soBeginning);
  uint8_t mark = 0;
  return fBinFile->Read(&mark, 1) == 1 && mark == '*';
}

// ----------------------------------------------------------------- TDbfFiles

TDbfFiles::TDbfFiles(int ACodePage) : fCodePage(ACodePage) {}

TDbfFiles::~TDbfFiles() = default;

void TDbfFiles::Add(const std::string& FileName) { fFiles.push_back(FileName); }

void TDbfFiles::Add(const std::vector<std::string>& Files) {
  fFiles.insert(fFiles.end(), Files.begin(), Files.end());
}

void TDbfFiles::Open() {
  fDbf.clear();
  fEnds.clear();
  fFieldCount = -1;
  fRecordCount = -1;
  int64_t total = 0;
  for (const std::string& name : fFiles) {
    auto f = std::make_unique<TDbfFile>(name, fCodePage);
    f->Open(false);
    total += f->RecordCount();
    fEnds.push_back(total);
    fDbf.push_back(std::move(f));
  }
  const int32_t fieldCount = fDbf.empty() ? 0 : fDbf[0]->FieldCount();
  for (size_t k = 1; k < fDbf.size(); ++k) {
    const TDbfFile& f = *fDbf[k];
    const std::string& name = fFiles[k];
    if (f.FieldCount() != fieldCount)
      throw EDifferentDBFFilesStructure("DBF files structure are different. Fields count of table " +
                                        name + " is not the same as the first");
    for (int32_t i = 0; i < fieldCount; ++i) {
      if (f.FieldInfo(i).Name != fDbf[0]->FieldInfo(i).Name)
        throw EDifferentDBFFilesStructure("DBF files structure are different. Names in table " +
                                          name + " is not the same as the first");
      if (f.FieldInfo(i).FieldType != fDbf[0]->FieldInfo(i).FieldType)
        throw EDifferentDBFFilesStructure(
            "DBF files structure are different. Fields types in table " + name +
            " is not the same as the first");
    }
  }
  fFieldCount = fieldCount;
  fRecordCount = total;
}

int32_t TDbfFiles::FindField(std::string_view Fieldname) const {
  return fDbf.empty() ? -1 : fDbf[0]->FindField(Fieldname);
}

const Tdbffield& TDbfFiles::FieldInfo(int32_t FieldNum) const {
  return fDbf.empty() ? EmptyField : fDbf[0]->FieldInfo(FieldNum);
}

TDbfFile* TDbfFiles::Locate(int64_t& RecNum) {
  if (RecNum < 1 || fEnds.empty() || RecNum > fEnds.back()) return nullptr;
  const auto it = std::lower_bound(fEnds.begin(), fEnds.end(), RecNum);
  const size_t k = static_cast<size_t>(it - fEnds.begin());
  if (k > 0) RecNum -= fEnds[k - 1];
  return fDbf[k].get();
}

std::string TDbfFiles::ReadString(int32_t FieldNum, int64_t RecNum) {
  TDbfFile* f = Locate(RecNum);
  return f ? f->ReadString(FieldNum, RecNum) : std::string();
}

int64_t TDbfFiles::ReadInteger(int32_t FieldNum, int64_t RecNum) {
  TDbfFile* f = Locate(RecNum);
  return f ? f->ReadInteger(FieldNum, RecNum) : 0;
}

double TDbfFiles::ReadFloat(int32_t FieldNum, int64_t RecNum) {
  TDbfFile* f = Locate(RecNum);
  return f ? f->ReadFloat(FieldNum, RecNum) : 0;
}
