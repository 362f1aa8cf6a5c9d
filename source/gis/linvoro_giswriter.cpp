// The writer core: settings, call-order checks, attribute-row splitting,
// section shortcuts and joining, and the format factory. The concrete
// writers live in linvoro_giswriter_mif.cpp, _dbf.cpp and _shp.cpp.
#include "linvoro_giswriter.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "linvoro_charset.h"
#include "linvoro_giswriter_gpkg.h"
#include "linvoro_giswriter_tab.h"
#include "linvoro_platform.h"

// ---------------------------------------------------------------- language driver ids

namespace {

constexpr uint16_t kLanguageDrivers[256] = {
    0, 437, 850, 1252, 10000, 0, 0, 0, 865, 437, 850, 437, 850, 437, 850, 437,  // 0-15
    850, 437, 850, 932, 850, 437, 850, 865, 437, 437, 850, 437, 863, 850, 0, 852,  // 16-31
    867, 0, 852, 852, 860, 850, 866, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 32-47
    0, 0, 0, 0, 0, 0, 0, 850, 0, 0, 0, 0, 0, 0, 0, 0,  // 48-63
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 936, 949, 950,  // 64-79
    874, 0, 0, 0, 0, 0, 932, 1252, 1252, 1252, 0, 0, 0, 0, 437, 437,  // 80-95
    850, 1252, 1252, 0, 852, 866, 865, 861, 895, 620, 737, 857, 0, 0, 0, 0,  // 96-111
    0, 0, 0, 0, 0, 0, 0, 0, 950, 949, 936, 932, 874, 1255, 1256, 0,  // 112-127
    0, 0, 0, 0, 0, 862, 437, 852, 857, 0, 0, 0, 0, 0, 868, 0,  // 128-143
    0, 0, 0, 0, 0, 0, 10007, 10029, 10006, 0, 0, 1250, 850, 0, 0, 0,  // 144-159
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 160-175
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 176-191
    0, 0, 0, 0, 0, 0, 0, 0, 1250, 1251, 1254, 1253, 0, 0, 0, 0,  // 192-207
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 208-223
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 224-239
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 240-255
};

}  // namespace

int DbfLanguageDriverToCodePage(uint8_t id) { return kLanguageDrivers[id]; }

uint8_t CodePageToDbfLanguageDriver(int cp) {
  if (cp <= 0) return 0;
  for (int id = 1; id < 256; ++id)
    if (kLanguageDrivers[id] == cp) return static_cast<uint8_t>(id);
  return 0;
}

// ---------------------------------------------------------------- TAttribSplitter

namespace {
inline bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }
}  // namespace

void TAttribSplitter::Split(std::string_view row) {
  FValues.clear();
  FUnquoted.clear();
  // Unquoting only shrinks, so the scratch never reallocates while views
  // into it are handed out.
  FUnquoted.reserve(row.size());
  const char* p = row.data();
  const char* const e = p + row.size();
  while (p < e && IsBlank(static_cast<unsigned char>(*p))) ++p;
  while (p < e) {
    std::string_view value;
    if (*p == '"') {
      const char* start = ++p;
      const char* q = static_cast<const char*>(std::memchr(p, '"', e - p));
      if (!q) {  // unterminated: the rest of the row
        value = std::string_view(start, e - start);
        p = e;
      } else if (q + 1 < e && q[1] == '"') {
        const size_t off = FUnquoted.size();
        for (;;) {
          // q is the first quote of a doubled pair: keep one of them.
          FUnquoted.append(p, q + 1);
          p = q + 2;
          q = static_cast<const char*>(std::memchr(p, '"', e - p));
          if (!q) {
            FUnquoted.append(p, e);
            p = e;
            break;
          }
          if (!(q + 1 < e && q[1] == '"')) {
            FUnquoted.append(p, q);
            p = q + 1;
            break;
          }
        }
        value = std::string_view(FUnquoted.data() + off, FUnquoted.size() - off);
      } else {
        value = std::string_view(start, q - start);
        p = q + 1;
      }
    } else {
      const char* start = p;
      while (p < e && *p != ',' && !IsBlank(static_cast<unsigned char>(*p))) ++p;
      value = std::string_view(start, p - start);
    }
    FValues.push_back(value);
    while (p < e && IsBlank(static_cast<unsigned char>(*p))) ++p;
    if (p < e && *p == ',') {
      if (p + 1 == e) FValues.emplace_back();
      ++p;
      while (p < e && IsBlank(static_cast<unsigned char>(*p))) ++p;
    }
  }
}

// ---------------------------------------------------------------- factory

namespace {

struct TWriterRegistration {
  TGISWriterFactory Create = nullptr;
  TGISWriterProbe Supported = nullptr;
};

TWriterRegistration* Registrations() {
  static TWriterRegistration table[gfGPKG + 1];
  return table;
}

// The back-ends built into this library register themselves before the
// factory first answers (the TAB module probes its library then). The lock
// is recursive because registering goes through RegisterWriter again.
void RegisterBuiltInBackEnds() {
  static std::recursive_mutex lock;
  static bool done = false;
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (done) return;
  done = true;
  RegisterTabWriters();
  RegisterGpkgWriter();
}

bool RegisteredAndSupported(TGISFormat f) {
  RegisterBuiltInBackEnds();
  const TWriterRegistration& r = Registrations()[f];
  return r.Create && (!r.Supported || r.Supported());
}

}  // namespace

void TGISWriter::RegisterWriter(TGISFormat Format, TGISWriterFactory Create,
                                TGISWriterProbe Supported) {
  if (Format > gfGPKG) return;
  RegisterBuiltInBackEnds();
  Registrations()[Format] = TWriterRegistration{Create, Create ? Supported : nullptr};
}

bool TGISWriter::MITAB_supported() { return RegisteredAndSupported(gfMITAB); }
bool TGISWriter::MFAL_supported() { return RegisteredAndSupported(gfMFAL); }
bool TGISWriter::EFAL_supported() { return RegisteredAndSupported(gfEFAL); }

const char* GISFormatName(TGISFormat f) {
  switch (f) {
    case gfMIF: return "MIF";
    case gfDBF: return "DBF";
    case gfSHP: return "SHP";
    case gfCSV: return "CSV";
    case gfArray: return "memory";
    case gfMITAB: case gfMFAL: case gfEFAL: case gfEFALx: return "TAB";
    case gfGML2: return "GML";
    case gfKML2: return "KML";
    case gfGeoJSON: return "GeoJSON";
    case gfMIF8: return "MIF (UTF-8)";
    case gfGPX: return "GPX";
    case gfGPKG: return "GPKG";
  }
  return "unknown";
}

std::unique_ptr<TGISWriter> TGISWriter::GetGISObject(uint8_t Inp) {
  if (Inp <= gfGPKG && RegisteredAndSupported(static_cast<TGISFormat>(Inp))) {
    std::unique_ptr<TGISWriter> w = Registrations()[Inp].Create();
    if (w) return w;
  }
  switch (Inp) {
    case gfDBF:
      return std::make_unique<TGISWriterDBF>();
    case gfSHP:
      return std::make_unique<TGISWriterSHP>();
    case gfMIF8:
      return std::make_unique<TGISWriterMIF8>();
    default:
      // MIF is the format every machine can write: also the answer for the
      // TAB codes without their library and for writers not built here.
      return std::make_unique<TGISWriterMIF>();
  }
}

// ---------------------------------------------------------------- size limits

namespace {

int64_t EnvironmentSizeLimit() {
  static const int64_t limit = [] {
    const char* v = std::getenv("OSM2TRASSEL_TEST_TABLE_LIMIT");
    if (!v || !*v) return int64_t{0};
    char* end = nullptr;
    const long long x = std::strtoll(v, &end, 10);
    return end && *end == 0 && x > 0 ? static_cast<int64_t>(x) : int64_t{0};
  }();
  return limit;
}

std::atomic<int64_t> TestSizeLimit{0};

std::string Grouped(int64_t v) {
  const std::string digits = std::to_string(v);
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
    s += digits[i];
  }
  return s;
}

}  // namespace

int64_t TGISWriter::SizeLimit(int64_t formatLimit) {
  int64_t test = TestSizeLimit.load(std::memory_order_relaxed);
  if (test <= 0) test = EnvironmentSizeLimit();
  return test > 0 && test < formatLimit ? test : formatLimit;
}

void TGISWriter::SetTestSizeLimit(int64_t bytes) { TestSizeLimit.store(bytes > 0 ? bytes : 0); }

std::string TGISWriter::TableFullMessage(const std::string& file, int64_t limit, const char* unit,
                                         const std::string& why) const {
  const size_t slash = FFileName.rfind('/');
  const std::string table = slash == std::string::npos ? FFileName : FFileName.substr(slash + 1);
  return "Table " + table + " is full: " + file + " cannot grow past " + Grouped(limit) + " " + unit + " (" + why +
         "). It was closed complete with its first " + Grouped(FWrittenRecords) +
         " records and the rest was not written; for a table this large use --format gpkg, or MIF.";
}

// ---------------------------------------------------------------- TGISWriter

TGISWriter::TGISWriter() : FCoordSys(DefaultCoordSys), Fepsg(DefaultEPSG), FPRJ(DefaultPrj) {
  const int cp = SystemAnsiCodePage();
  FCodepage = (cp > 0 && cp <= 65535) ? static_cast<uint16_t>(cp) : 1252;
  FLine2.Pnt.resize(2);
  FLine2.Count = 2;
  FPoint1.Pnt.resize(1);
  FPoint1.Count = 1;
}

TGISWriter::~TGISWriter() = default;

void TGISWriter::SetCodepage(uint16_t v) {
  // The writers store single- or double-byte text; Unicode pages are left to
  // the writers that handle them.
  if (v == 65001 || v == 1200) return;
  FCodepage = v;
}

void TGISWriter::SetEncoding(uint16_t v) {
  if (v == 1200) return;
  FCodepage = v;
}

std::string TGISWriter::EncodingProblem(uint8_t Inp, uint16_t Codepage) {
  const std::string cp = std::to_string(Codepage);
  if (Codepage != 65001 && !CodePageSupported(Codepage))
    return "Code page " + cp + " is not available on this system";
  if (!CodePageKeepsAscii(Codepage))
    return "Code page " + cp + " does not store plain ASCII text as it is; tables cannot be written in it";
  if (Inp == gfDBF || Inp == gfSHP) return std::string();  // .cpg and the header take any page
  // A GeoPackage holds UTF-8 whatever the run asks for.
  if (Inp == gfGPKG && GPKG_supported()) return std::string();
  // MIF, and TAB, which is MIF without its library: the table declares its
  // text by a MapInfo charset name.
  const std::string charset = CharSetList().CodePage2Charset(Codepage);
  if (charset.empty())
    return "MapInfo tables have no charset for code page " + cp +
           "; choose SHP output or another encoding";
  if (Inp == gfMITAB && MITAB_supported() && !TabCharsetWritable(charset))
    return Codepage == 65001
               ? "The MapInfo driver of this system's GDAL cannot write TAB tables in UTF-8; choose MIF "
                 "or SHP output for UTF-8, or another encoding for TAB"
               : "The TAB library cannot write tables in charset " + charset;
  return std::string();
}

void TGISWriter::LostText(std::string_view value) {
  ++FLostTextValues;
  if (FOnLostText) FOnLostText(value);
}

std::string TGISWriter::EncodeCut(std::string_view text, size_t maxBytes, size_t* lost,
                                  size_t maxChars) const {
  std::string enc = Utf8ToCodePage(text, FCodepage, lost);
  // A character is at least one byte, so a text of at most maxChars bytes
  // has at most that many characters.
  if (enc.size() <= maxBytes && text.size() <= maxChars) return enc;
  if (FCodepage == 65001) {
    // Well-formed now: cut the table's text itself.
    enc.resize(CodePageCutPoint(enc, 65001, maxChars, maxBytes));
    return enc;
  }
  const size_t cut = CodePageCutPoint(text, FCodepage, maxChars, maxBytes);
  if (cut == text.size()) return enc;
  return Utf8ToCodePage(text.substr(0, cut), FCodepage);
}

void TGISWriter::SetOptimizePLinesSections(bool v) {
  if (FCollecting)
    throw Exception("Can not change the OptimizePLinesSections property during processing sections.");
  FOptimizePLinesSections = v;
}

const TFieldInfo& TGISWriter::FieldInfo(int32_t Index) const {
  if (Index < 1 || Index > FNumFields || static_cast<size_t>(Index) >= FFieldInfo.size())
    throw EOutOfRange("Field index out of range: " + std::to_string(Index));
  return FFieldInfo[Index];
}

void TGISWriter::ResetBox() {
  FXMinG = GISBoxLimit;
  FYMinG = GISBoxLimit;
  FXMaxG = -GISBoxLimit;
  FYMaxG = -GISBoxLimit;
}

void TGISWriter::DeleteFileIfExists(const std::string& path) { std::remove(path.c_str()); }

void TGISWriter::StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) {
  if (NumFields < 0)
    throw EOutOfRange("Number of fields must not be negative: " + std::to_string(NumFields));
  if (ObjectTypes > otNone)
    throw EOutOfRange("Unknown object type: " + std::to_string(static_cast<int>(ObjectTypes)));
  FNumFields = NumFields;
  FObjectTypes = ObjectTypes;
  FWrittenFields = 0;
  FFieldInfo.assign(static_cast<size_t>(NumFields) + 1, TFieldInfo());
  FNumParts = 0;
  FWrittenParts = 0;
  FCollecting = false;
  FOpen = true;
  ResetBox();
}

void TGISWriter::AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                          uint8_t decimals) {
  if (FWrittenFields >= FNumFields) throw Exception("You are trying to add more fields than declared");
  ++FWrittenFields;
  TFieldInfo& f = FFieldInfo[FWrittenFields];
  f.FieldType = Field;
  f.Width = Width;
  f.decimals = decimals;
  f.Name = FieldName;
}

void TGISWriter::CheckRecordStart() const {
  if (FWrittenFields < FNumFields)
    throw Exception("You are trying to add objects before all fields has been added");
  // A record short of its sections would leave the shapefile's record
  // header unfinished and the MIF object cut off.
  if (FCollecting || FWrittenParts < FNumParts)
    throw Exception("The previous object received fewer sections than announced");
}

void TGISWriter::SplitAttrib(std::string_view Attrib) {
  FValues.Split(Attrib);
  if (FValues.Count() != static_cast<size_t>(FNumFields)) {
    std::string m = "Number of values must match number of fields. NumVal = ";
    m += std::to_string(FValues.Count());
    m += ", NumFields = ";
    m += std::to_string(FNumFields);
    m += ", string = \"";
    m += Attrib;
    m += '"';
    throw Exception(m);
  }
}

void TGISWriter::AddObject(int32_t NumParts, bool multiPolygon, std::string_view Attrib) {
  CheckRecordStart();
  if (NumParts < 0)
    throw EOutOfRange("Number of parts must not be negative: " + std::to_string(NumParts));
  FMultiPolygon = multiPolygon;
  if (!FOptimizePLinesSections || NumParts < 2 || FObjectTypes != otPline)
    WriteObject(NumParts, Attrib);
  else
    StartOptimizedObject(NumParts, Attrib);
}

void TGISWriter::WriteObject(int32_t NumParts, std::string_view) {
  FNumParts = NumParts;
  FWrittenParts = 0;
}

void TGISWriter::WriteSection(int32_t, const TFloatPointArrayEx& SegList) {
  if (SegList.Count <= 0) throw Exception("WriteSection requires that Segments.count>0");
  ++FWrittenParts;
}

void TGISWriter::AddSection(int32_t Index, const TFloatPointArrayEx& SegList) {
  if (SegList.Count < 0 || static_cast<size_t>(SegList.Count) > SegList.Pnt.size())
    throw EOutOfRange("Section point count " + std::to_string(SegList.Count) +
                      " does not match its " + std::to_string(SegList.Pnt.size()) + " points");
  if (FObjectTypes == otRegion) {
    if (SegList.Count <= 3) throw Exception("Region objects must have >=4 points");
    if (!(SegList.Pnt[0] == SegList.Pnt[SegList.Count - 1]))
      throw Exception("Region objects must be closed");
  }
  if (FCollecting) {
    CollectSection(Index, SegList);
    return;
  }
  if (FWrittenParts >= FNumParts) throw Exception("More sections added than announced by AddObject");
  WriteSection(Index, SegList);
}

void TGISWriter::AddSection1(int32_t Index, const TFloatPointArrayEx2& SegList, bool swapdirection) {
  const int32_t n = SegList.Last + 1;
  if (n < 0 || static_cast<size_t>(n) > SegList.Pnt.size())
    throw EOutOfRange("Section point count " + std::to_string(n) + " does not match its " +
                      std::to_string(SegList.Pnt.size()) + " points");
  if (FSection.Pnt.size() < static_cast<size_t>(n)) FSection.Pnt.resize(n);
  if (swapdirection)
    for (int32_t i = 0; i < n; ++i) FSection.Pnt[i] = SegList.Pnt[n - 1 - i];
  else
    for (int32_t i = 0; i < n; ++i) FSection.Pnt[i] = SegList.Pnt[i];
  FSection.Count = n;
  AddSection(Index, FSection);
}

void TGISWriter::AddSection2(int32_t Index, double X1, double Y1, double X2, double Y2) {
  FLine2.Pnt[0] = TFloatPoint{X1, Y1};
  FLine2.Pnt[1] = TFloatPoint{X2, Y2};
  AddSection(Index, FLine2);
}

void TGISWriter::AddSection3(int32_t Index, const TFloatPoint& P1, const TFloatPoint& P2) {
  AddSection2(Index, P1.x, P1.y, P2.x, P2.y);
}

void TGISWriter::AddLine(double X1, double Y1, double X2, double Y2, std::string_view Attrib) {
  if (FObjectTypes != otPline) return;
  AddObject(1, false, Attrib);
  AddSection2(0, X1, Y1, X2, Y2);
}

void TGISWriter::AddLine2(const TFloatPoint& P1, const TFloatPoint& P2, std::string_view Attrib) {
  AddLine(P1.x, P1.y, P2.x, P2.y, Attrib);
}

void TGISWriter::Close() { FOpen = false; }

void TGISWriter::Drop() { Close(); }

// ---------------------------------------------------------------- section joining

void TGISWriter::StartOptimizedObject(int32_t NumParts, std::string_view Attrib) {
  FCollecting = true;
  FCollectParts = NumParts;
  FCollectedParts = 0;
  FCollectAttrib.assign(Attrib);
  FCollected.clear();
}

void TGISWriter::CollectSection(int32_t, const TFloatPointArrayEx& SegList) {
  if (SegList.Count <= 0) throw Exception("WriteSection requires that Segments.count>0");
  ++FCollectedParts;
  const TFloatPoint* src = SegList.Pnt.data();
  int32_t n = SegList.Count;
  if (!FCollected.empty()) {
    TFloatPointArrayEx& last = FCollected.back();
    if (last.Pnt[last.Count - 1] == src[0]) {
      // Touching: continue the gathered section without the shared point.
      last.Pnt.insert(last.Pnt.begin() + last.Count, src + 1, src + n);
      last.Count += n - 1;
      n = 0;
    }
  }
  if (n > 0) {
    FCollected.emplace_back();
    FCollected.back().Pnt.assign(src, src + n);
    FCollected.back().Count = n;
  }
  if (FCollectedParts < FCollectParts) return;
  FCollecting = false;
  WriteObject(static_cast<int32_t>(FCollected.size()), FCollectAttrib);
  for (const TFloatPointArrayEx& s : FCollected) WriteSection(1, s);
  FCollected.clear();
}
