#include "linvoro_csvfiles.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "linvoro_functions.h"
#include "linvoro_io.h"
#include "linvoro_platform.h"

int64_t ConvertInteger(std::string_view text, int64_t lo, int64_t hi) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  int64_t value;
  if (!TryParseInt64(text.substr(i), value) || value < lo || value > hi) RaiseNotAnInteger(text);
  return value;
}

double ConvertFloat(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  size_t j = text.size();
  while (j > i && static_cast<unsigned char>(text[j - 1]) <= ' ') --j;
  std::string_view t = text.substr(i, j - i);
  bool negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  // from_chars would also take "inf", "nan" and hexadecimal forms; a table
  // value is plain decimal.
  bool digit = false, valid = !t.empty() && t[0] != '+' && t[0] != '-';
  for (size_t k = 0; k < t.size() && valid; ++k) {
    const char c = t[k];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == 'e' || c == 'E') {
      valid = digit;  // an exponent needs a mantissa; from_chars checks the rest
    } else if (c != '.' && c != '+' && c != '-') {
      valid = false;
    }
  }
  double v = 0;
  if (valid && digit) {
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    valid = r.ec == std::errc() && r.ptr == t.data() + t.size();
  } else {
    valid = false;
  }
  if (!valid) throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
  return negative ? -v : v;
}

TCSVFiles::TCSVFiles(int ACodePage) : FCodePage(ACodePage > 0 ? ACodePage : SystemAnsiCodePage()) {}

TCSVFiles::~TCSVFiles() = default;

void TCSVFiles::Add(const std::string& filename) { fFiles.push_back(filename); }

void TCSVFiles::Add(const std::vector<std::string>& files) {
  fFiles.insert(fFiles.end(), files.begin(), files.end());
}

void TCSVFiles::Open() {
  fFile.reset();
  fFileIndex = -1;
  fEof = false;
  fFilesPosition = 0;
  fTotalSize = 0;
  for (const std::string& name : fFiles) {
    TLvFileStream f(name, fmShareDenyWrite);
    fTotalSize += f.Size();
  }
  NextFile();
}

void TCSVFiles::NextFile() {
  for (;;) {
    if (fFile) {
      // Size - 1 per file; an empty file adds nothing, so that the position
      // (a progress figure) never drops below 0.
      fFilesPosition += std::max<int64_t>(fFile->Size() - 1, 0);
      fFile.reset();
    }
    ++fFileIndex;
    if (fFileIndex >= static_cast<int32_t>(fFiles.size())) {
      fEof = true;
      return;
    }
    fFile = std::make_unique<TTextFileReader>(fFiles[fFileIndex], FCodePage);
    if (!fFile->EOF()) return;
  }
}

std::string TCSVFiles::ReadLine() {
  if (fEof || !fFile) return std::string();
  if (fFile->EOF()) {
    NextFile();
    if (fEof) return std::string();
  }
  std::string line = fFile->ReadLine();
  // Advance now, so that Eof is true as soon as the last line has been read.
  if (fFile->EOF()) NextFile();
  return line;
}

void TCSVFiles::ReadLine(std::vector<std::string>& values) {
  ReadValues();
  values.assign(fValues.Values().begin(), fValues.Values().end());
}

void TCSVFiles::ReadValues() {
  fLine = ReadLine();
  fValues.Split(fLine);
}

void TCSVFiles::Read(int32_t fieldindex, std::string& value) {
  ReadValues();
  if (fieldindex >= 0 && fieldindex < static_cast<int32_t>(fValues.Count()))
    value = fValues[fieldindex];
  else
    value.clear();
}

void TCSVFiles::Read(int32_t fieldindex, int64_t& value) {
  ReadValues();
  value = fieldindex >= 0 && fieldindex < static_cast<int32_t>(fValues.Count())
              ? ConvertInteger(fValues[fieldindex], std::numeric_limits<int64_t>::min(),
                               std::numeric_limits<int64_t>::max())
              : 0;
}

void TCSVFiles::Read(int32_t fieldindex, int16_t& value) {
  ReadValues();
  value = fieldindex >= 0 && fieldindex < static_cast<int32_t>(fValues.Count())
              ? static_cast<int16_t>(ConvertInteger(fValues[fieldindex], INT16_MIN, INT16_MAX))
              : 0;
}

void TCSVFiles::Read(int32_t fieldindex, int8_t& value) {
  ReadValues();
  value = fieldindex >= 0 && fieldindex < static_cast<int32_t>(fValues.Count())
              ? static_cast<int8_t>(ConvertInteger(fValues[fieldindex], INT8_MIN, INT8_MAX))
              : 0;
}

void TCSVFiles::Read_Z(int32_t fieldindex1, int32_t fieldindex2, int32_t& z1, int32_t& z2) {
  ReadValues();
  const int32_t n = static_cast<int32_t>(fValues.Count());
  if (fieldindex1 < 0 || fieldindex1 >= n || fieldindex2 < 0 || fieldindex2 >= n)
    throw Exception("Invalid fields for Z-levels defined");
  const int32_t a = static_cast<int32_t>(ConvertInteger(fValues[fieldindex1], INT32_MIN, INT32_MAX));
  const int32_t b = static_cast<int32_t>(ConvertInteger(fValues[fieldindex2], INT32_MIN, INT32_MAX));
  if (a < -9 || a > 9 || b < -9 || b > 9) throw EOutOfRange("Z-levels of out range (-9..9)");
  z1 = a;
  z2 = b;
}

int64_t TCSVFiles::Position() const {
  return fFilesPosition + (fFile ? fFile->Position() : 0);
}
