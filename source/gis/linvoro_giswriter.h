// Writers of one GIS table: a fixed, ordered list of typed attribute fields
// and a sequence of records, each with one attribute row and one geometry of
// the table's single kind. Callers pick a format code, declare the fields,
// add records and close; they never see a file format.
//
//   std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(gfSHP);
//   w->SetFileName(folder + "roads");
//   w->StartHeader(2, otPline);
//   w->AddField("osm_id", gfChar, 10, 0);
//   w->AddField("attribute", gfSmallInt, 0, 0);
//   w->AddLine(13.40, 52.52, 13.41, 52.53, "\"4711\",21");
//   w->Close();
//
// The attribute row of a record is one text with the values in field order,
// separated by commas, character values in double quotes with inner quotes
// doubled, numbers unquoted with "." as decimal separator. The MIF writer
// copies it verbatim as the MID line; every other writer splits it.
//
// Record operations on a writer whose files are not open (before
// StartHeader, after Close, or a MIF table declared with 0 fields, which
// never creates its files) write nothing and count nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_types.h"

class TLvStream;
class TLvBufferedStream;
class TTextFileWriter;

// Format codes, one byte, in this order (stored in settings and handed to
// the network checks).
enum TGISFormat : uint8_t {
  gfMIF = 0,
  gfDBF = 1,
  gfSHP = 2,
  gfCSV = 3,
  gfArray = 4,
  gfMITAB = 5,
  gfGML2 = 6,
  gfKML2 = 7,
  gfGeoJSON = 8,
  gfMFAL = 9,
  gfMIF8 = 10,
  gfEFAL = 11,
  gfEFALx = 12,
  gfGPX = 13,
  gfGPKG = 14
};

// The one file every GeoPackage table of a folder is a layer of.
inline constexpr const char* GpkgFileName = "osm2trassel.gpkg";

// The short name users know a format by: "MIF", "SHP", "TAB", ...
const char* GISFormatName(TGISFormat f);

enum TGISField : uint8_t {
  gfChar = 0,
  gfInteger = 1,
  gfSmallInt = 2,
  gfDecimal = 3,
  gfFloat = 4,
  gfDate = 5,
  gfLogical = 6,
  gfTime = 7,
  gfDateTime = 8,
  gfInt64 = 9
};

// Geometry kind of a table.
enum TObjectTypes : uint8_t { otPline = 0, otRegion = 1, otPoint = 2, otNone = 3 };

struct TFieldInfo {
  TGISField FieldType = gfChar;
  uint8_t Width = 0;
  uint8_t decimals = 0;
  std::string Name;
};

// Styles; colours are stored as 0x00BBGGRR (red in the low byte).
struct TMIPen {
  int32_t Width = 1;
  int32_t pattern = 2;
  int32_t Color = 0;
  friend bool operator==(const TMIPen&, const TMIPen&) = default;
};
struct TMIBrush {
  int32_t pattern = 2;
  int32_t fg_color = 16777215;
  int32_t bg_color = 0;
  friend bool operator==(const TMIBrush&, const TMIBrush&) = default;
};
struct TMISymbol {
  int32_t Shape = 33;
  int32_t Color = 0;
  int32_t Size = 12;
  friend bool operator==(const TMISymbol&, const TMISymbol&) = default;
};

// 0x00BBGGRR to red * 65536 + green * 256 + blue, the form MapInfo takes.
constexpr int32_t MIColor(int32_t c) {
  return static_cast<int32_t>(((static_cast<uint32_t>(c) & 0xFFu) << 16) |
                              (static_cast<uint32_t>(c) & 0xFF00u) |
                              ((static_cast<uint32_t>(c) >> 16) & 0xFFu));
}

// 1e38 as a single-precision value widened to double: the start value of
// every bounding box, and what an empty shapefile carries in its header.
constexpr double GISBoxLimit = static_cast<double>(1e38f);  // 9.999999680285692e37

// The most a table file may grow to, by format. A writer whose next record
// would take a file past its limit writes nothing more: it closes the table,
// complete at its last whole record, and raises ETableFull.
//
// Shapefile: record offsets (.shx) and the file length (.shp and .shx
// headers) are 32-bit counts of 16-bit words. Read as unsigned they would
// reach 8 GiB, but most readers take them as signed 32-bit numbers, so the
// largest count every reader gets right is 2^31 - 1 words: 4 GiB - 2 bytes.
constexpr int64_t ShapefileSizeLimit = (int64_t{1} << 32) - 2;
// dBASE: no offsets, but readers compute record positions and the file size
// in 32-bit numbers as well; the record count in the header is 32-bit and
// read as signed by most readers.
constexpr int64_t DbfSizeLimit = (int64_t{1} << 32) - 2;
constexpr int64_t DbfRecordLimit = INT32_MAX;
// TAB: the .map and .id files address objects by signed 32-bit offsets.
constexpr int64_t TabSizeLimit = INT32_MAX;

// Raised by a writer whose table reached its format's limit; the message
// names the table, the limit and the remedy.
LINVORO_EXCEPTION(ETableFull, Exception);

// dBASE language driver ids against Windows code pages. A code page maps to
// the lowest id carrying it; 0 means none (also for UTF-8).
int DbfLanguageDriverToCodePage(uint8_t id);
uint8_t CodePageToDbfLanguageDriver(int cp);

// Splits an attribute row by the record rules: characters 1 to 32 are
// skipped before and after a value; a value starting with a double quote runs
// to the next quote that is not doubled (doubled quotes become one, an
// unterminated quote runs to the end); any other value runs to the next
// comma or character 1 to 32; a comma that is the last character adds one
// more, empty value. The views stay valid until the next Split or until the
// row text itself changes; splitting reuses its storage, so a writer that
// splits every record allocates nothing per value.
class TAttribSplitter {
 public:
  void Split(std::string_view row);
  size_t Count() const { return FValues.size(); }
  std::string_view operator[](size_t i) const { return FValues[i]; }
  const std::vector<std::string_view>& Values() const { return FValues; }

 private:
  std::vector<std::string_view> FValues;
  std::string FUnquoted;  // values that had doubled quotes
};

// A value of a logical field counts as true when it starts with T, Y, t, y
// or 1.
constexpr bool LogicalValue(std::string_view v) {
  if (v.empty()) return false;
  const char c = v[0];
  return c == 'T' || c == 'Y' || c == 't' || c == 'y' || c == '1';
}

// Told about a character value (as UTF-8, the way the row gave it) of which
// the table's code page could not hold every character: those characters
// were stored as "?".
using TLostTextEvent = std::function<void(std::string_view value)>;

class TGISWriter;
using TGISWriterFactory = std::unique_ptr<TGISWriter> (*)();
using TGISWriterProbe = bool (*)();

class TGISWriter {
 public:
  TGISWriter();
  virtual ~TGISWriter();
  TGISWriter(const TGISWriter&) = delete;
  TGISWriter& operator=(const TGISWriter&) = delete;

  // A new writer, owned by the caller, for a format code: 1 dBASE,
  // 2 shapefile, 10 MIF in UTF-8;
  // 5, 9, 11 and 12 the TAB back-end registered for that code when its
  // library is available; 14 GeoPackage when GDAL is; every other code (0 included, and the TAB codes
  // without their library) MIF/MID.
  static std::unique_ptr<TGISWriter> GetGISObject(uint8_t Inp);

  // Back-ends that live outside this module plug in here. The TAB module
  // (linvoro_giswriter_tab) registers TGISWriterMITAB for gfMITAB, with the
  // mitab library's probe, the first time the factory or a *_supported
  // function is asked (that is when the library is loaded); GetGISObject
  // then hands out create() for that code while probe() (nullptr: always)
  // is true, and MITAB_supported reports the same. A later registration for
  // a code replaces the earlier one; Create == nullptr removes it.
  static void RegisterWriter(TGISFormat Format, TGISWriterFactory Create,
                             TGISWriterProbe Supported);

  // Whether the mitab, MFAL and EFAL back-ends are usable.
  static bool MITAB_supported();
  static bool MFAL_supported();
  static bool EFAL_supported();
  // Whether GDAL with its GeoPackage driver is there for gfGPKG (where the
  // library is in its place, it is taken to be, and loads meanwhile:
  // TGdalLibrary::Available).
  static bool GPKG_supported();
  // Why not, as a message for the user ("" when it is).
  static std::string GPKGProblem();

  // ---------------------------------------------------------------- settings
  // Set between creation and StartHeader.

  // Full path of the output without extension.
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& v) { FFileName = v; }
  const std::string& CoordSys() const { return FCoordSys; }
  void SetCoordSys(const std::string& v) { FCoordSys = v; }
  int32_t epsg() const { return Fepsg; }
  void Setepsg(int32_t v) { Fepsg = v; }
  // Projection text of a shapefile's .prj.
  const std::string& PRJ() const { return FPRJ; }
  void SetPRJ(const std::string& v) { FPRJ = v; }
  bool CompactMIF() const { return FCompactMIF; }
  void SetCompactMIF(bool v) { FCompactMIF = v; }
  const TMIPen& Pen() const { return FPen; }
  void SetPen(const TMIPen& v) { FPen = v; }
  const TMIBrush& Brush() const { return FBrush; }
  void SetBrush(const TMIBrush& v) { FBrush = v; }
  const TMISymbol& Symbol() const { return FSymbol; }
  void SetSymbol(const TMISymbol& v) { FSymbol = v; }
  int32_t BlockSize() const { return FBlockSize; }
  void SetBlockSize(int32_t v) { FBlockSize = v; }
  // Densification step; kept for the back-ends that use it. The writers of
  // this module write sections as given.
  double GreatCircleDist() const { return FGreatCircleDist; }
  void SetGreatCircleDist(double v) { FGreatCircleDist = v; }
  // Encoding of attribute text. Starts as the system's ANSI code page. Most
  // writers ignore 65001 (UTF-8) and 1200 (UTF-16); the MIF writer in UTF-8
  // ignores every value.
  uint16_t Codepage() const { return FCodepage; }
  virtual void SetCodepage(uint16_t v);
  // The encoding a run chooses for its tables: any 8-bit code page, and
  // UTF-8 (65001), which SetCodepage leaves alone. UTF-16 (1200) is no text
  // of 8-bit tables and is ignored. The MIF writer in UTF-8 keeps its page.
  virtual void SetEncoding(uint16_t v);
  // Why a table in format Inp cannot be written in this code page on this
  // system, as a message for the user; empty when it can. The format is
  // taken as GetGISObject would serve it (TAB without its library is MIF).
  static std::string EncodingProblem(uint8_t Inp, uint16_t Codepage);
  // Reported once per record for each character value that lost characters
  // to the code page; LostTextValues counts them.
  void SetOnLostText(TLostTextEvent e) { FOnLostText = std::move(e); }
  int64_t LostTextValues() const { return FLostTextValues; }
  // Joins touching sections of multi-part polylines. Changing it while a
  // record's sections are being gathered raises.
  bool OptimizePLinesSections() const { return FOptimizePLinesSections; }
  void SetOptimizePLinesSections(bool v);

  // ---------------------------------------------------------------- state

  int64_t WrittenRecords() const { return FWrittenRecords; }
  // The format this writer produces (a TAB request without its library
  // gets a MIF writer, which says gfMIF); gfArray for writers of no file.
  virtual TGISFormat Format() const { return gfArray; }
  int32_t NumFields() const { return FNumFields; }
  // Description of field Index, 1 to NumFields (EOutOfRange otherwise).
  const TFieldInfo& FieldInfo(int32_t Index) const;
  // The limit a writer applies for a format's limit: the format's own,
  // unless a test lowered every limit, through SetTestSizeLimit or the
  // environment variable OSM2TRASSEL_TEST_TABLE_LIMIT (bytes; read once,
  // and only when it is set), so that a small run reaches it.
  static int64_t SizeLimit(int64_t formatLimit);
  // 0 restores the formats' limits (the environment's, when it has one).
  static void SetTestSizeLimit(int64_t bytes);
  TObjectTypes ObjectTypes() const { return FObjectTypes; }

  // ---------------------------------------------------------------- operations

  virtual void StartHeader(int32_t NumFields, TObjectTypes ObjectTypes);
  virtual void AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                        uint8_t decimals);
  // Starts a record of NumParts parts (0: no geometry); exactly NumParts
  // AddSection calls follow.
  virtual void AddObject(int32_t NumParts, bool multiPolygon, std::string_view Attrib);
  void AddSection(int32_t Index, const TFloatPointArrayEx& SegList);
  // Points 0 to Last, reversed when swapdirection is set.
  void AddSection1(int32_t Index, const TFloatPointArrayEx2& SegList, bool swapdirection);
  void AddSection2(int32_t Index, double X1, double Y1, double X2, double Y2);
  void AddSection3(int32_t Index, const TFloatPoint& P1, const TFloatPoint& P2);
  // A one-part two-point polyline; does nothing outside otPline tables.
  virtual void AddLine(double X1, double Y1, double X2, double Y2, std::string_view Attrib);
  virtual void AddLine2(const TFloatPoint& P1, const TFloatPoint& P2, std::string_view Attrib);
  // A point record; does nothing outside otPoint tables (the dBASE writer
  // writes the attribute row whatever the kind).
  virtual void AddPoint(double X, double Y, std::string_view Attrib) = 0;
  void AddPoint2(const TFloatPoint& P, std::string_view Attrib) { AddPoint(P.x, P.y, Attrib); }
  // Completes and closes the files; must be called before destruction.
  virtual void Close();
  // Close for a run that was stopped or failed: the table complete at its
  // last record as with Close, without work that would keep the run
  // waiting (a GeoPackage layer's spatial index).
  virtual void CloseUnfinished() { Close(); }
  // Close, then delete every file of the table.
  virtual void Drop();

 protected:
  // Section joining: the record's part count and row are kept until the
  // last part has been gathered.
  virtual void StartOptimizedObject(int32_t NumParts, std::string_view Attrib);
  virtual void CollectSection(int32_t Index, const TFloatPointArrayEx& SegList);
  // Writes the attribute row and the start of the geometry.
  virtual void WriteObject(int32_t NumParts, std::string_view Attrib);
  // Writes one part; the base raises on an empty section and counts it.
  virtual void WriteSection(int32_t Index, const TFloatPointArrayEx& SegList);

  // Raises when fields are missing or the previous record still waits for
  // sections; every record entry point calls it.
  void CheckRecordStart() const;
  // Splits Attrib into FValues and checks the count against NumFields.
  void SplitAttrib(std::string_view Attrib);
  bool RecordComplete() const { return FWrittenParts >= FNumParts; }
  void ResetBox();
  // The message of ETableFull for file (with its extension) at limit bytes,
  // why being the format's reason.
  // limit counts unit ("bytes", "records").
  std::string TableFullMessage(const std::string& file, int64_t limit, const char* unit,
                               const std::string& why) const;
  static void DeleteFileIfExists(const std::string& path);
  // A character value lost characters to the code page.
  void LostText(std::string_view value);
  // Bytes of text in the table's code page: at most maxChars characters in
  // at most maxBytes bytes, never ending inside a character. Characters the
  // code page cannot hold (in the whole text) are added to lost when it is
  // given.
  std::string EncodeCut(std::string_view text, size_t maxBytes, size_t* lost = nullptr,
                        size_t maxChars = SIZE_MAX) const;

  std::string FFileName;
  std::string FCoordSys;
  int32_t Fepsg;
  std::string FPRJ;
  bool FCompactMIF = false;
  TMIPen FPen;
  TMIBrush FBrush;
  TMISymbol FSymbol;
  int32_t FBlockSize = 512;
  double FGreatCircleDist = 0;
  uint16_t FCodepage;
  bool FOptimizePLinesSections = false;

  int32_t FNumFields = 0;
  int32_t FWrittenFields = 0;
  TObjectTypes FObjectTypes = otPline;
  int32_t FNumParts = 0;
  int32_t FWrittenParts = 0;
  bool FMultiPolygon = false;
  bool FOpen = false;
  int64_t FWrittenRecords = 0;
  std::vector<TFieldInfo> FFieldInfo;  // [0] unused, 1..NumFields
  double FXMinG = GISBoxLimit, FYMinG = GISBoxLimit;
  double FXMaxG = -GISBoxLimit, FYMaxG = -GISBoxLimit;
  TAttribSplitter FValues;
  TFloatPointArrayEx FLine2;   // AddLine / AddSection2 / AddSection3
  TFloatPointArrayEx FPoint1;  // AddPoint
  TFloatPointArrayEx FSection; // AddSection1
  TLostTextEvent FOnLostText;
  int64_t FLostTextValues = 0;

 private:
  // Section joining state.
  bool FCollecting = false;
  int32_t FCollectParts = 0;
  int32_t FCollectedParts = 0;
  std::string FCollectAttrib;
  std::vector<TFloatPointArrayEx> FCollected;
};

// MapInfo interchange pair: stem.mif (header and geometries) and stem.mid
// (one attribute row per record), text in the writer's code page, CR LF.
class TGISWriterMIF : public TGISWriter {
 public:
  TGISWriterMIF();
  ~TGISWriterMIF() override;

  void AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                uint8_t decimals) override;
  void AddLine(double X1, double Y1, double X2, double Y2, std::string_view Attrib) override;
  void AddLine2(const TFloatPoint& P1, const TFloatPoint& P2, std::string_view Attrib) override;
  void AddPoint(double X, double Y, std::string_view Attrib) override;
  void Close() override;
  void Drop() override;

  int32_t Version() const { return fVersion; }
  TGISFormat Format() const override { return gfMIF; }

 protected:
  void WriteObject(int32_t NumParts, std::string_view Attrib) override;
  void WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) override;

  void WriteHeader();
  void AppendPoint(double x, double y);
  void AppendPenLine();
  void AppendMid(std::string_view Attrib);
  // Hands the collected text to the files once enough has gathered.
  void FlushIfFull() {
    if (FMifText.size() >= kFlushSize || FMidText.size() >= kFlushSize) FlushText();
  }
  void FlushText();
  // Writes the gathered MID rows; when the code page lost characters of
  // them, finds the values that lost them.
  void WriteMid(TTextFileWriter& mid);
  bool FilesOpen() const { return FOutMIF != nullptr; }

  static constexpr size_t kFlushSize = 1 << 16;
  int32_t fVersion = 300;
  std::vector<std::string> fields;  // column lines
  std::unique_ptr<TTextFileWriter> FOutMIF;
  std::unique_ptr<TTextFileWriter> FOutMID;
  std::string FMifText;  // UTF-8, not yet handed to FOutMIF
  std::string FMidText;
};

// MIF/MID with the code page fixed to UTF-8.
class TGISWriterMIF8 : public TGISWriterMIF {
 public:
  TGISWriterMIF8();
  void SetCodepage(uint16_t) override {}
  TGISFormat Format() const override { return gfMIF8; }
  void SetEncoding(uint16_t) override {}
};

// dBASE III table stem.dbf; also the attribute half of the shapefile writer.
class TGISWriterDBF : public TGISWriter {
 public:
  TGISWriterDBF();
  ~TGISWriterDBF() override;

  void StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) override;
  void AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                uint8_t decimals) override;
  // Writes the attribute row whatever the table kind; the point is ignored.
  void AddPoint(double X, double Y, std::string_view Attrib) override;
  void Close() override;
  void Drop() override;

  // Bytes of a record as the file holds it now (until Close narrows the
  // character fields, see below).
  int32_t RecordLength() const { return FRecordLength; }
  TGISFormat Format() const override { return gfDBF; }

 protected:
  void WriteObject(int32_t NumParts, std::string_view Attrib) override;
  // Splits, checks and writes one dBASE record; counts it. False when no
  // file is open (nothing written).
  bool WriteDbfRecord(std::string_view Attrib);
  // The two halves of it: the record assembled in FRecord, and written.
  bool BuildDbfRecord(std::string_view Attrib);
  void PutDbfRecord();
  // Why one more record would take the .dbf past its limit; "" when it fits.
  std::string DbfFullMessage() const;
  // Closes the table as it is, without the record being built, and raises
  // ETableFull with message.
  [[noreturn]] void FullStop(const std::string& message);
  // Encodes a character value into dest (width bytes, space-filled), at
  // most maxChars characters of it; returns the bytes it took.
  size_t EncodeChar(char* dest, int width, std::string_view v, size_t maxChars = SIZE_MAX);
  int64_t DbfSize() const;
  // The widths of character fields declared in an encoding whose characters
  // can take several bytes are counts of characters. Such a field is
  // written wide enough for that many characters of the widest kind (at
  // most 254 bytes) and narrowed by Close to what its longest value took,
  // never below the declared width.
  bool Widened(int32_t field) const { return FCharLimit[field] != 0; }
  uint8_t NarrowedWidth(int32_t field) const {
    return FLongest[field] > FCharLimit[field] ? FLongest[field] : static_cast<uint8_t>(FCharLimit[field]);
  }
  // When the widened fields would pass the record length limit, they share
  // what the declared widths leave of it.
  void FitWidenedFields();
  // Rewrites the closed table with the widened fields narrowed, through a
  // temporary file that replaces it only once complete.
  void NarrowClosedTable();
  void WriteDescriptorWidth(int32_t field, uint8_t width);

  std::unique_ptr<TLvBufferedStream> FOutDBF;
  int32_t FRecordLength = 1;
  int32_t FDeclaredLength = 1;  // with every field at its declared width
  int64_t FNarrowedLength = 1;  // with the widened fields narrowed as now
  uint32_t FDbfRecords = 0;
  bool FAsciiSafe = true;  // ASCII text is stored unchanged in the code page
  int FMaxCharBytes = 1;   // of the code page
  bool FNarrowOnClose = true;
  // The shapefile writer writes a record's row together with its shape,
  // once both are known to fit.
  bool FDeferRecord = false;
  std::vector<uint8_t> FCharLimit;  // [field] declared characters of a widened field, else 0
  std::vector<uint8_t> FLongest;    // [field] bytes of the longest value written
  std::string FRecord;     // one record, written in one call
  std::string FScratch;
};

// ESRI shapefile set: stem.shp, stem.shx, stem.dbf, stem.prj, stem.cpg.
class TGISWriterSHP : public TGISWriterDBF {
 public:
  TGISWriterSHP();
  ~TGISWriterSHP() override;

  void StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) override;
  void AddPoint(double X, double Y, std::string_view Attrib) override;
  void Close() override;
  void Drop() override;
  TGISFormat Format() const override { return gfSHP; }

 protected:
  void WriteObject(int32_t NumParts, std::string_view Attrib) override;
  void WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) override;

  int32_t ShapeType() const;
  // Writes the finished record (FRec) to stem.shp and its entry to stem.shx.
  void CompleteRecord();
  // A record left short of its sections becomes a Null shape, so that the
  // shape and dBASE records keep their one-to-one order.
  void FinishIncompleteRecord();

  std::unique_ptr<TLvBufferedStream> FOutSHP;
  std::unique_ptr<TLvBufferedStream> FOutSHX;
  int64_t FSHPOffset = 100;
  int32_t FContentLength = 0;
  int32_t FNumPoints = 0;
  bool FSHPopen = false;
  bool FRecordOpen = false;  // a shape record waits for sections
  uint32_t FShapeRecords = 0;
  double FXMinO = GISBoxLimit, FYMinO = GISBoxLimit;
  double FXMaxO = -GISBoxLimit, FYMaxO = -GISBoxLimit;
  // The current shape record, header included, written in one call once its
  // last section is in.
  std::vector<uint8_t> FRec;
  size_t FRecLen = 0;
};
