// The network import: reads a road table (MIF/MID, shapefile, TAB or a
// GeoPackage layer) object
// by object as links, rejects objects that cannot be links (recording why),
// matches link end points exactly into nodes and writes the network file
// set: coord.bin, link.bin, length.bin, node.bin, coord3.bin, coord3i.bin,
// spatialindex.bin, linvoro_config.ini, and on request network_report.txt.
//
// TBaseImport holds the state, the per-object writing, the build step and
// the report; TImport adds the file list and the dispatch on the input kind.
// The per-format readers are members of TImport, one source file each
// (linvoro_import_mif.cpp, linvoro_import_shp.cpp, linvoro_import_tab.cpp).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "linvoro_configfile.h"
#include "linvoro_filebase.h"
#include "linvoro_io.h"
#include "linvoro_types.h"

// The build report, beside the network files.
inline constexpr const char* ReportFileName = "network_report.txt";

// Why an input object did not become a link. Codes 7 and 8 belong to input
// kinds this system does not read; they keep their report texts.
enum TErrorCode : uint8_t {
  ecDeleted = 0,
  ecNotGeoCoded,
  ecNotPolyLine,
  ecMultiSection,
  ecZeroOrOneVertices,
  ecLoopLink,
  ecTooManyVertices,
  ecInvalidGeography,
  ecSinglePoint
};

struct TImportError {
  int32_t fileindex = 0;  // 0-based position of the input file in the list
  int32_t linklocal = 0;  // 1-based object number within that file
  int32_t link = 0;       // link id
  TErrorCode errorcode = ecDeleted;
  int32_t value = 0;      // number printed after the error text, 0 when none
};

// The report line of a rejected object: "(code) Object link" and the text.
std::string ImportErrorText(const TImportError& e);

enum TImportSource : uint8_t { isFiles = 0, isDatabase };

// The role of a point written by WritePoint.
enum TPointRole : uint8_t { prFrom = 0, prShape, prTo };

class TDbfFiles;

class TBaseImport : public TFileBase {
 public:
  using TDateTime = std::chrono::system_clock::time_point;

  // Defaults: current directory, spatial-index leaf capacity 50,
  // coordinate systems must agree, unit detected from the input, EPSG 0, no
  // Z-levels, loops not allowed, spatial index built, source isFiles.
  TBaseImport();
  ~TBaseImport() override;
  TBaseImport(const TBaseImport&) = delete;
  TBaseImport& operator=(const TBaseImport&) = delete;

  bool AllowLoops() const { return fAllowLoops; }
  void SetAllowLoops(bool v) { fAllowLoops = v; }
  bool FailOnDifferentCoordSys() const { return fFailOnDifferentCoordSys; }
  void SetFailOnDifferentCoordSys(bool v) { fFailOnDifferentCoordSys = v; }
  TCoordinateUnit CoordinateUnit() const { return fCoordinateUnit; }
  void SetCoordinateUnit(TCoordinateUnit v) { fCoordinateUnit = v; }
  const std::string& CoordSys() const { return fCoordSys; }
  void SetCoordSys(const std::string& v) { fCoordSys = v; }
  int32_t EPSG() const { return fEPSG; }
  void SetEPSG(int32_t v) { fEPSG = v; }
  const std::string& Prj() const { return fPrj; }
  void SetPrj(const std::string& v) { fPrj = v; }
  int32_t ZFromField() const { return fZfromField; }
  void SetZFromField(int32_t v) { fZfromField = v; }
  int32_t ZToField() const { return fZtoField; }
  void SetZToField(int32_t v) { fZtoField = v; }
  bool SkipSpatialIndex() const { return fSkipSpatialIndex; }
  void SetSkipSpatialIndex(bool v) { fSkipSpatialIndex = v; }
  int32_t MaxNodesPerCell() const { return fMaxNodesPerCell; }
  // Values of 10 and below are ignored.
  void SetMaxNodesPerCell(int32_t v) {
    if (v > 10) fMaxNodesPerCell = v;
  }
  TImportSource ImportSource() const { return fImportSource; }
  // Threads the build may use (the spatial index takes two at most); by
  // default those of the machine.
  int32_t Threads() const { return fThreads; }
  void SetThreads(int32_t v) { fThreads = v > 1 ? v : 1; }

  const std::vector<TImportError>& ImportErrorList() const { return fImportErrorList; }
  int32_t LinkCount() const { return fLinkCount; }
  // False after an import that met no object with vertices: then no network
  // file set was written.
  bool ObjectsFound() const { return fObjects_found; }
  int32_t MaxDegree() const { return fMaxdegree; }
  const TFloatRect& MBR() const { return fMBR; }
  int32_t NodeCount() const { return fNodeCount; }
  TDateTime StartTime() const { return fStartTime; }
  TDateTime StopTime() const { return fStopTime; }
  double TotalLength() const { return fTotallength; }
  const std::vector<std::string>& Files() const { return fFiles; }

  virtual void Execute() = 0;
  // Empties the file list.
  void Clear() { fFiles.clear(); }
  // Writes network_report.txt (replacing it) from the state of the last
  // Execute.
  void CreateReport();
  // Deletes every file a build writes except the report.
  void DeleteNetworkFiles();
  // The names of those files, temporary ones included.
  static const std::vector<std::string>& BuildFileNames();

 protected:
  // The user locale's decimal separator for the two kilometre totals of the
  // report.
  virtual char ReportDecimalSeparator() const;

  // Creates the four temporary files and resets the counters.
  void StartImport();
  // A rejected object: the placeholder link's (0, 0) ends and a report line.
  void AddImportError(int32_t fileindex, int32_t linklocal, int32_t link, TErrorCode code,
                      int32_t value);
  // Appends the current record count of coord3.bin to coord3i.bin.
  void WriteShapeIndex() { fg3i->WriteInt32(fCoord3Records); }
  // Validates and stores the object in the first fNumPoints entries of
  // fVertices.
  void FinishObject(int32_t fileindex);
  void WritePoint(const TFloatPoint& p, TPointRole role);
  // Makes room for n vertices in fVertices.
  void ReserveVertices(int64_t n) {
    if (fVertices.size() < static_cast<size_t>(n)) fVertices.resize(static_cast<size_t>(n));
  }
  // The unit factor for lengths and the Z-level offset radius.
  void SettleUnit();
  // The build step, with its progress starting at percent c.
  void BuildNetwork(int32_t c);

  void CloseTempWriters();
  // coordfrom.bin, coordto.bin, coord3.bin, coord3i.bin.
  void DeleteReaderFiles();
  std::string PathOf(const char* name) const { return Directory() + name; }

  bool fAllowLoops = false;
  int32_t fEPSG = 0;
  int32_t fMaxNodesPerCell = 50;
  std::vector<TImportError> fImportErrorList;
  int32_t fNodeCount = 0;
  TFloatRect fMBR;
  int32_t fMaxdegree = 0;
  double fTotallength = 0;
  TDateTime fStartTime{};
  TDateTime fStopTime{};
  std::string fCoordSys;
  bool fFailOnDifferentCoordSys = true;
  std::string fPrj;
  TCoordinateUnit fCoordinateUnit = cuUnknown;
  std::vector<TFloatPoint> fVertices;
  int32_t fNumPoints = 0;
  std::string fg1Filename, fg2Filename, fg3Filename, fg3iFilename;
  std::unique_ptr<TLvBufferedStream> fg1, fg2, fg3, fg3i;
  bool fZLevels = false;
  int32_t fZfromField = -1;
  int32_t fZtoField = -1;
  int32_t fZFrom = 0;
  int32_t fZTo = 0;
  double fZRadius = 0;
  bool fObjects_found = false;
  bool fSkipSpatialIndex = false;
  int32_t fLinkCount = 0;
  int32_t fLinkCountFile = 0;
  int32_t fNumSections = 0;
  std::vector<std::string> fFiles;
  TImportSource fImportSource = isFiles;
  int32_t fThreads = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));

  // Records written to coord3.bin so far.
  int32_t fCoord3Records = 0;
  // Kilometres per coordinate unit, set by SettleUnit.
  double fDistFactor = 0;
};

class TImport : public TBaseImport {
 public:
  void Add(const std::string& filename) { fFiles.push_back(filename); }
  void AddFiles(const std::vector<std::string>& list) {
    fFiles.insert(fFiles.end(), list.begin(), list.end());
  }

  // Runs the whole import. Failures are exceptions with fixed texts; every
  // failure after the first file was created removes the files of this
  // build again, so that the folder never holds a half-built network.
  void Execute() override;

  // The layer a GeoPackage input is read from.
  const std::string& Layer() const { return fLayer; }
  void SetLayer(const std::string& v) { fLayer = v; }

 protected:
  void ReadMIFTables();
  void ReadGPKGTables();
  void ReadSHPTables();
  // AExtended: .map files with 64-bit object offsets (version 1500).
  void ReadTABTables(bool AExtended);

  // The Z-level option of the shapefile and TAB readers: the attribute
  // tables beside the input files (extension ext, ".dbf" or ".dat") as one
  // table, or nullptr when the option is off.
  std::unique_ptr<TDbfFiles> OpenZLevelTable(const char* ext, int codepage);
  // The levels of record fLinkCount into fZFrom and fZTo.
  void ReadZLevels(TDbfFiles& table);

  std::string fLayer = "roads";
};
