// MapInfo TAB tables (stem.tab with stem.dat, stem.map and stem.id) written
// through an external library. TGISWriterTAB holds what every TAB back-end
// shares; TGISWriterMITAB drives the mitab library through its C interface
// (linvoro_mitab.h). The factory hands out TGISWriterMITAB for gfMITAB only
// while the library is loaded; otherwise a TAB request writes MIF.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_giswriter.h"
#include "linvoro_mitab.h"

// Registers the TAB back-ends with the writer factory. The factory calls it
// once, before it first answers; the mitab library is probed then.
void RegisterTabWriters();

// Whether the loaded mitab library can write tables in this MapInfo charset.
// A library without the query writes the 8-bit charsets only.
bool TabCharsetWritable(const std::string& charset);

class TGISWriterTAB : public TGISWriter {
 public:
  // NativeX tables are exempt from the size check.
  bool nativeX() const { return fnativeX; }
  void SetnativeX(bool v) { fnativeX = v; }

  // Close, then delete stem.tab, stem.map, stem.dat and stem.id.
  void Drop() override;

  // The record count at which the size check runs next, given the records
  // written and the largest of the three data files: halfway, by the
  // growth so far, to the point where the table is full. An empty largest
  // file (all data still buffered) doubles the count instead.
  static int64_t NextSizeCheck(int64_t written, int64_t largest, int64_t fullAt);
  // The library writes its files itself, in blocks, and completes them on
  // close: a table is full this many bytes short of its limit, room for
  // what the library still holds and for the growth between checks.
  static int64_t SizeReserve(int64_t limit) { return std::min<int64_t>(int64_t{16} << 20, limit / 8); }

 protected:
  // Once the written records reach the check point, reads the sizes of
  // stem.map, stem.id and stem.dat: once the largest is within the reserve
  // of the limit, the table is closed as it is and ETableFull raised.
  void CheckSize();

  bool fnativeX = false;
  int64_t FSizeCheckAt = 1;
};

class TGISWriterMITAB : public TGISWriterTAB {
 public:
  // Regions of more parts than this are refused by AddObject.
  static constexpr int32_t MaxRegionParts = 122500;

  TGISWriterMITAB();
  // A table not closed is closed here, so that the library's files are
  // complete and its handle released.
  ~TGISWriterMITAB() override;

  void StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) override;
  void AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                uint8_t decimals) override;
  void AddObject(int32_t NumParts, bool multiPolygon, std::string_view Attrib) override;
  void AddPoint(double X, double Y, std::string_view Attrib) override;
  void Close() override;
  TGISFormat Format() const override { return gfMITAB; }

  // Splits a coordinate-system clause at "Bounds" (any letter case): the
  // part before it, and the corners read from "Bounds (xmin, ymin) (xmax,
  // ymax)"; all four 0 when there is no bounds part.
  static void SplitBounds(const std::string& coordSys, std::string& clause, double& xmin,
                          double& ymin, double& xmax, double& ymax);

 protected:
  void WriteObject(int32_t NumParts, std::string_view Attrib) override;
  void WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) override;

  int FeatureType(int32_t NumParts) const;
  // Text in the table's code page, null-terminated, in FText.
  const char* Encoded(std::string_view utf8);
  // A character value as Encoded, cut to at most maxChars characters in
  // the field's width at a whole character; characters the code page cannot
  // hold are reported.
  const char* EncodedChar(std::string_view utf8, size_t width, size_t maxChars = SIZE_MAX);
  // Writes and releases the feature being built; raises EWriteError when the
  // library could not write it.
  void WriteFeature();
  // WriteFeature when a feature is being built, then the size check.
  void FinishFeature();
  std::string LibraryError() const;

  TMitabApi FApi;              // the library's entry points, taken at StartHeader
  mitab_handle FMH = nullptr;  // the open table
  mitab_feature FFH = nullptr; // the feature being built
  std::vector<double> FX, FY;  // one section, in the separate arrays the library takes
  std::string FText;
  // Declared widths of character fields count characters. In an encoding
  // whose characters can take several bytes the library gets a width in
  // bytes for that many characters of the widest kind (at most 254), and
  // values are cut at the declared number of characters: [field] that
  // number, 0 for fields whose width is their declared one.
  std::vector<uint8_t> FCharLimit;
};
