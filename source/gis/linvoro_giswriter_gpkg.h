// GeoPackage tables: every table of a run is a layer of one
// osm2trassel.gpkg in the table's folder, under the table's name. GDAL's
// GeoPackage driver (bound at run time, linvoro_gdal.h) makes the file and
// its layers; the rows go in through SQLite on GDAL's own connection.
//
// The writers of one file share one open dataset: the first writer opens
// (or creates) it, the last to close completes it. One thread per open file
// makes every GDAL call on it; the writers hand it their records through a
// bounded queue, so SQLite's work runs beside the making of the records,
// and writers on several threads may write their tables at once. A failure
// of a record written in the background is raised at the writer's next
// record or its Close. Features go in transactions of TransactionSize
// features counted over all writers of the file, since a transaction per
// feature would make SQLite sync the file each time. Each layer's R-tree is
// made with the layer and packed from all its rows' boxes at its close.
//
// Text is UTF-8 whatever code page the run asks for; character values are
// cut at the declared number of characters, as the other formats cut them,
// but never at a byte limit. Field names are kept whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "linvoro_giswriter.h"

// Registers TGISWriterGPKG for gfGPKG with the writer factory.
void RegisterGpkgWriter();

struct TGpkgDataset;
struct TGpkgRow;

class TGISWriterGPKG : public TGISWriter {
 public:
  static constexpr int64_t TransactionSize = 10000;

  TGISWriterGPKG();
  // A table not closed is completed here; errors are swallowed (Close
  // reports them).
  ~TGISWriterGPKG() override;

  // UTF-8 always: the code page settings are ignored.
  void SetCodepage(uint16_t) override {}
  void SetEncoding(uint16_t) override {}

  void StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) override;
  void AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                uint8_t decimals) override;
  void AddPoint(double X, double Y, std::string_view Attrib) override;
  void Close() override;
  // The layer without a spatial index: packing one for millions of rows
  // takes seconds, too long for a stop.
  void CloseUnfinished() override;
  // Close, then delete the layer from the file.
  void Drop() override;
  TGISFormat Format() const override { return gfGPKG; }

  // The file of the table FileName names, and its layer name.
  static std::string DatasetPath(const std::string& fileName);
  static std::string LayerName(const std::string& fileName);

 protected:
  void WriteObject(int32_t NumParts, std::string_view Attrib) override;
  void WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) override;

  void CreateLayer();
  // The values of the record being built, converted for their fields.
  void SetValues(TGpkgRow& row);
  // Hands the record being built to the file's writing thread.
  void WriteFeature();

 private:
  friend struct TGpkgDataset;
  // On the writing thread: the layer, and a record into it (taken over);
  // records go to SQLite BatchRows at a time.
  static constexpr size_t BatchRows = 32;
  void CreateLayerHere();
  void Insert(TGpkgRow& row);
  void FlushRows();
  // Fills the layer's R-tree with the entries gathered.
  void FillRTree();
  // Completes the layer once its rows are in: the R-tree, the extent and
  // feature count GDAL would have recorded, the triggers held back. Always
  // lets go of the insert statement.
  void FinishLayerHere();

 protected:
  [[noreturn]] void Fail(const std::string& what) const;
  // Fail with SQLite's message for the file's connection.
  [[noreturn]] void FailSql(const std::string& what) const;
  bool LayerOpen() const { return FLayer != nullptr; }

  std::shared_ptr<TGpkgDataset> FDataset;
  // Set and used on the writing thread (FLayer is read here once the layer
  // is made). The layer is made through GDAL, so that its metadata is
  // GDAL's own; its rows go in through one prepared INSERT on GDAL's SQLite
  // connection, an OGR feature per row costing several times the row.
  void* FLayer = nullptr;   // OGRLayerH
  // INSERTs of one row and of BatchRows rows (sqlite3_stmt*): SQLite's
  // work per statement, beyond that per row, is about as much again.
  void* FInsert = nullptr;
  void* FInsertMany = nullptr;
  std::vector<TGpkgRow> FPendingRows;
  int64_t FNextFid = 1;  // as GDAL numbers the rows of a new table
  bool FLayerCreated = false;
  std::vector<int> FColumn;  // [field] value index in a row, -1 when not created
  int64_t FRowsIn = 0;
  bool FHasExtent = false;
  double FExtent[4] = {0, 0, 0, 0};  // min x, max x, min y, max y
  // The R-tree's entries, written at once when the table closes (writing
  // thread).
  struct TRTreeEntry {
    int64_t Id;
    float MinX, MaxX, MinY, MaxY;
  };
  std::vector<TRTreeEntry> FRTree;
  bool FSpatial = false;
  bool FUnfinished = false;  // closed for a stopped or failed run
  // Triggers GDAL made that would run for every row (the R-tree's insert,
  // the feature count), held back while the table is written and made
  // again at its close: name and SQL.
  std::vector<std::pair<std::string, std::string>> FHeldTriggers;
  bool FCountTrigger = false;
  // The geometry of the record being built, as a GeoPackage blob: room for
  // the blob's header, then WKB; the header is written once the part count
  // and the envelope are known.
  std::vector<uint8_t> FWkb;
  std::unique_ptr<TGpkgRow> FRow;  // the record being handed over
  std::vector<size_t> FPartStart;
  int32_t FPartsWanted = 0;
  // The record's values until its last section: the caller's text need
  // not outlive the WriteObject call, as with the other formats.
  std::string FAttrib;
  int64_t FPoints = 0;
  double FEnv[4] = {0, 0, 0, 0};
  int32_t FSrsId = 0;
  std::string FText;
};

// Adds (or replaces) the layer `layer` of the GeoPackage at gpkgPath with
// the features of the GeoJSON file at geojsonPath, their properties as
// fields (lists as JSON text). Raises naming the file on a failure.
void AddGpkgLayerFromGeoJson(const std::string& gpkgPath, const std::string& layer,
                             const std::string& geojsonPath);

// Reads a layer of a GeoPackage record by record, in feature order: the
// network import's view of a road table written by TGISWriterGPKG. After
// ReadOnly, rows come straight from SQLite on GDAL's connection, lines
// decoded from their blobs here; a row whose geometry is anything but a
// plain line in the form GDAL writes is read through OGR instead, so that
// every value is the one OGR gives.
class TGpkgLayerReader {
 public:
  // Opens the layer read-only; raises naming the file and layer when it
  // cannot.
  TGpkgLayerReader(const std::string& path, const std::string& layer);
  ~TGpkgLayerReader();
  TGpkgLayerReader(const TGpkgLayerReader&) = delete;
  TGpkgLayerReader& operator=(const TGpkgLayerReader&) = delete;

  int64_t RecordCount() const { return FCount; }
  // Index of a field by name (any letter case), -1 when absent.
  int32_t FindField(const std::string& name) const;
  int32_t FieldCount() const;
  bool FieldIsText(int32_t field) const;
  // Reads only the given field of each record from now on (the others
  // read as null), or only the geometry when field is -1: a pass that needs
  // one column spares SQLite and OGR the decoding of all the others.
  void ReadOnly(int32_t field);
  // Back to before the first record.
  void Rewind();
  // Moves to the next record; false at the end.
  bool Next();
  // Values of the current record: text as stored (null as ""), integers as
  // stored (null as 0).
  std::string Text(int32_t field) const;
  int64_t Integer(int32_t field) const;
  // Geometry of the current record: the number of line parts (0 for none,
  // -1 for a geometry that is no line), and the points of a one-part line
  // into pts (returning their count).
  int32_t LineParts() const;
  int64_t LinePoints(std::vector<TFloatPoint>& pts) const;
  // The geometry type code a record that is no line carries (OGR's).
  int32_t GeometryType() const;

 private:
  // The current row's geometry from its blob; false when OGR must read it.
  bool DecodeLine(const uint8_t* blob, size_t size);

  void* FDataset = nullptr;  // GDALDatasetH
  void* FLayer = nullptr;
  void* FFeature = nullptr;  // the current row through OGR, if read so
  int64_t FCount = 0;
  std::string FPath;
  // The SQLite pass: its statement, the column read and how OGR would
  // take its value (0 none, 1 text, 2 32-bit integer, 3 64-bit integer).
  void* FStmt = nullptr;  // sqlite3_stmt*
  int32_t FField = -1;
  int FFieldKind = 0;
  bool FHasGeometry = false;
  bool FEnd = false;
  // The current row's line, decoded: parts (0 for none) and, for one
  // part, its points in the blob.
  int32_t FParts = 0;
  int32_t FType = 0;  // its WKB type
  const uint8_t* FPoints = nullptr;
  int64_t FPointCount = 0;
};
