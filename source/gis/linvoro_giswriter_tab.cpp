// TAB writers. The mitab back-end hands every record to the library as a
// feature: attribute values in the table's code page, then the parts one by
// one, then the styles; the library writes stem.tab, .dat, .map and .id.
#include "linvoro_giswriter_tab.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "linvoro_charset.h"
#include "linvoro_functions.h"
#include "linvoro_platform.h"

void RegisterTabWriters() {
  TGISWriter::RegisterWriter(
      gfMITAB, []() -> std::unique_ptr<TGISWriter> { return std::make_unique<TGISWriterMITAB>(); },
      []() { return TMitabLibrary::Instance().Ready(); });
}

bool TabCharsetWritable(const std::string& charset) {
  const TMitabLibrary& lib = TMitabLibrary::Instance();
  if (!lib.Ready()) return false;
  if (lib.Api().charset_supported) return lib.Api().charset_supported(charset.c_str()) != 0;
  return charset != "UTF-8" && charset != "UTF-16";
}

// ---------------------------------------------------------------- TGISWriterTAB

void TGISWriterTAB::Drop() {
  Close();
  for (const char* ext : {".tab", ".map", ".dat", ".id"}) DeleteFileIfExists(FFileName + ext);
}

int64_t TGISWriterTAB::NextSizeCheck(int64_t written, int64_t largest, int64_t fullAt) {
  if (written < 1) return 1;
  if (largest <= 0) return written * 2;
  const double next =
      std::floor(static_cast<double>(written) * 0.5 +
                 static_cast<double>(fullAt) * 0.5 / static_cast<double>(largest) * static_cast<double>(written));
  // Near the limit the formula stops moving forward; from there every
  // record is checked.
  if (next <= static_cast<double>(written)) return written + 1;
  if (next >= 9.0e18) return INT64_MAX;
  return static_cast<int64_t>(next);
}

void TGISWriterTAB::CheckSize() {
  if (fnativeX || FWrittenRecords < FSizeCheckAt) return;
  int64_t largest = 0;
  for (const char* ext : {".map", ".id", ".dat"})
    largest = std::max(largest, FileSize(FFileName + ext));
  const int64_t limit = SizeLimit(TabSizeLimit);
  const int64_t fullAt = limit - SizeReserve(limit);
  if (largest >= fullAt) {
    const std::string message =
        TableFullMessage(FFileName.substr(FFileName.rfind('/') + 1) + ".tab", limit, "bytes",
                         "the most the 32-bit offsets of a TAB table's .map and .id files address");
    FNumParts = FWrittenParts = 0;
    Close();
    throw ETableFull(message);
  }
  FSizeCheckAt = NextSizeCheck(FWrittenRecords, largest, fullAt);
}

// ---------------------------------------------------------------- TGISWriterMITAB

TGISWriterMITAB::TGISWriterMITAB() = default;

TGISWriterMITAB::~TGISWriterMITAB() {
  try {
    if (FMH) Close();
  } catch (...) {
  }
}

void TGISWriterMITAB::SplitBounds(const std::string& coordSys, std::string& clause, double& xmin,
                                  double& ymin, double& xmax, double& ymax) {
  xmin = ymin = xmax = ymax = 0;
  std::string upper = coordSys;
  UpperInPlace(upper);
  const size_t at = upper.find("BOUNDS");
  if (at == std::string::npos) {
    clause = coordSys;
    return;
  }
  clause = coordSys.substr(0, at);
  std::string bounds = coordSys.substr(at);
  for (char& c : bounds) {
    if (c == '(')
      c = ',';
    else if (c == ')')
      c = ' ';
  }
  TAttribSplitter values;
  values.Split(bounds);
  double* const corner[4] = {&xmin, &ymin, &xmax, &ymax};
  for (size_t i = 1; i <= 4 && i < values.Count(); ++i) *corner[i - 1] = NumericPrefix(values[i]);
}

int TGISWriterMITAB::FeatureType(int32_t NumParts) const {
  if (NumParts == 0) return TABFC_NoGeom;
  switch (FObjectTypes) {
    case otPline: return TABFC_Polyline;
    case otPoint: return TABFC_Point;
    case otRegion: return TABFC_Region;
    default: return TABFC_NoGeom;
  }
}

const char* TGISWriterMITAB::Encoded(std::string_view utf8) {
  const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    FText.assign(utf8);
  } else {
    FText.clear();
    AppendUtf8ToCodePage(FText, utf8, FCodepage);
  }
  return FText.c_str();
}

const char* TGISWriterMITAB::EncodedChar(std::string_view utf8, size_t width, size_t maxChars) {
  const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    // The library cuts a longer value at the width as well; ASCII is ASCII
    // in every page a table is written in.
    FText.assign(utf8.substr(0, std::min({utf8.size(), width, maxChars})));
  } else {
    size_t lost = 0;
    FText = EncodeCut(utf8, width, &lost, maxChars);
    if (lost) LostText(utf8);
  }
  return FText.c_str();
}

void TGISWriterMITAB::StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) {
  // A writer started again leaves the earlier table complete, not dangling.
  if (FMH) Close();
  TGISWriterTAB::StartHeader(NumFields, ObjectTypes);
  FSizeCheckAt = 1;
  FCharLimit.assign(static_cast<size_t>(NumFields) + 1, 0);
  const TMitabLibrary& lib = TMitabLibrary::Instance();
  if (lib.Ready()) {
    FApi = lib.Api();
    std::string clause;
    double xmin, ymin, xmax, ymax;
    SplitBounds(FCoordSys, clause, xmin, ymin, xmax, ymax);
    // Paths are handed over as the file system spells them (UTF-8 here).
    const std::string path = FFileName + ".tab";
    const std::string coordSys = Utf8ToCodePage(clause, FCodepage);
    FMH = FApi.create(path.c_str(), "tab", coordSys.c_str(), ymax, ymin, xmax, xmin);
    if (FMH) FApi.set_charset(FMH, CharSetList().CodePage2Charset(FCodepage).c_str());
  }
  // Without a table every later call writes nothing, and says nothing.
  if (!FMH) FOpen = false;
}

void TGISWriterMITAB::AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                               uint8_t decimals) {
  if (Width == 255) Width = 254;
  const uint8_t declared = Width;
  if (Field == gfChar && Width > 0 && FWrittenFields < FNumFields) {
    const int maxBytes = CodePageMaxCharSize(FCodepage);
    if (maxBytes > 1) Width = static_cast<uint8_t>(std::min(254, maxBytes * Width));
  }
  TGISWriterTAB::AddField(FieldName, Field, Width, decimals);
  if (Width != declared) FCharLimit[FWrittenFields] = declared;
  if (!FMH) return;
  int type = static_cast<int>(Field) + 1;
  if (Field == gfInt64) {
    // mitab has no 64-bit integer; 20 decimal places hold every value.
    type = TABFT_Decimal;
    Width = 20;
    decimals = 0;
  }
  FApi.add_field(FMH, Encoded(FieldName), type, Width, decimals, 0, 0);
}

void TGISWriterMITAB::AddObject(int32_t NumParts, bool multiPolygon, std::string_view Attrib) {
  if (FObjectTypes == otRegion && NumParts > MaxRegionParts)
    throw Exception("No more than " + std::to_string(MaxRegionParts) + " parts");
  TGISWriterTAB::AddObject(NumParts, multiPolygon, Attrib);
}

void TGISWriterMITAB::WriteObject(int32_t NumParts, std::string_view Attrib) {
  // Split and checked first: a bad row raises without leaving a half-built
  // feature or a record that waits for sections behind.
  if (FMH) SplitAttrib(Attrib);
  TGISWriterTAB::WriteObject(NumParts, Attrib);
  if (!FMH) return;
  ++FWrittenRecords;
  FFH = FApi.create_feature(FMH, FeatureType(NumParts));
  if (FFH) {
    for (int32_t i = 1; i <= FNumFields; ++i) {
      std::string_view v = FValues[i - 1];
      const TFieldInfo& f = FFieldInfo[i];
      if (f.FieldType == gfLogical && LogicalValue(v)) v = "T";
      FApi.set_field(FFH, i - 1,
                     f.FieldType == gfChar
                         ? EncodedChar(v, f.Width > 0 ? f.Width : SIZE_MAX, FCharLimit[i] ? FCharLimit[i] : SIZE_MAX)
                         : Encoded(v));
    }
    // Widths 8 to 10 are no MapInfo pen; the library's default pen applies.
    if (FPen.Width < 8 || FPen.Width > 10)
      FApi.set_pen(FFH, FPen.Width, FPen.pattern, MIColor(FPen.Color));
    if (FObjectTypes == otRegion)
      FApi.set_brush(FFH, MIColor(FBrush.fg_color), MIColor(FBrush.bg_color), FBrush.pattern, 1);
  }
  // An attribute-only record waits for no parts, even when parts were
  // announced (they carry nothing such a table could keep).
  if (NumParts == 0 || FObjectTypes == otNone) FinishFeature();
}

void TGISWriterMITAB::WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) {
  TGISWriterTAB::WriteSection(Index, SegList);
  if (!FMH || FObjectTypes == otNone) return;
  const size_t n = static_cast<size_t>(SegList.Count);
  if (FX.size() < n) {
    FX.resize(n);
    FY.resize(n);
  }
  const TFloatPoint* p = SegList.Pnt.data();
  for (size_t k = 0; k < n; ++k) {
    FX[k] = p[k].x;
    FY[k] = p[k].y;
  }
  if (FFH) {
    const int part = (FObjectTypes == otRegion && Index < 0) ? 1 - FWrittenParts : FWrittenParts - 1;
    FApi.set_points(FFH, part, static_cast<int>(n), FX.data(), FY.data());
  }
  if (RecordComplete()) FinishFeature();
}

std::string TGISWriterMITAB::LibraryError() const {
  const char* m = FApi.getlasterrormsg ? FApi.getlasterrormsg() : nullptr;
  return m && *m ? std::string(": ") + m : std::string();
}

void TGISWriterMITAB::WriteFeature() {
  mitab_feature f = FFH;
  FFH = nullptr;
  const int written = FApi.write_feature(FMH, f);
  FApi.destroy_feature(f);
  // A record the library could not write (a full disk) is lost; the run
  // must not go on as if the table were whole.
  if (!written)
    throw EWriteError("Cannot write record " + std::to_string(FWrittenRecords) + " of " +
                      FFileName + ".tab" + LibraryError());
}

void TGISWriterMITAB::FinishFeature() {
  if (FFH) WriteFeature();
  CheckSize();
}

void TGISWriterMITAB::AddPoint(double X, double Y, std::string_view Attrib) {
  if (FObjectTypes != otPoint) return;
  CheckRecordStart();
  if (!FMH) return;
  WriteObject(1, Attrib);
  FX.resize(std::max<size_t>(FX.size(), 1));
  FY.resize(std::max<size_t>(FY.size(), 1));
  FX[0] = X;
  FY[0] = Y;
  if (FFH) {
    FApi.set_points(FFH, 0, 1, FX.data(), FY.data());
    FApi.set_symbol(FFH, FSymbol.Shape, FSymbol.Size, MIColor(FSymbol.Color));
  }
  FinishFeature();
  FWrittenParts = FNumParts;
}

void TGISWriterMITAB::Close() {
  TGISWriterTAB::Close();
  if (!FMH) return;
  // A record left short of its sections keeps its row, with the parts it
  // got, so that rows and records stay in step.
  FNumParts = FWrittenParts = 0;
  std::vector<double>().swap(FX);
  std::vector<double>().swap(FY);
  mitab_handle h = FMH;
  std::string failure;
  if (FFH) {
    try {
      WriteFeature();
    } catch (const Exception& e) {
      failure = e.Message();
    }
  }
  FMH = nullptr;
  const bool cleanBefore = !FApi.getlasterrorno || FApi.getlasterrorno() == 0;
  FApi.close(h);
  if (failure.empty() && cleanBefore && FApi.getlasterrorno && FApi.getlasterrorno() != 0)
    failure = "Cannot complete " + FFileName + ".tab" + LibraryError();
  if (FObjectTypes == otNone) {
    DeleteFileIfExists(FFileName + ".map");
    DeleteFileIfExists(FFileName + ".id");
  }
  if (!failure.empty()) throw EWriteError(failure);
}
