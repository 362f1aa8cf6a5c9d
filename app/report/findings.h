// The findings of a run's checks in a form a mapper can act on: every
// record of every check table as a GeoJSON feature with the OSM way of its
// link (findings.geojson), and the same records compactly for the report
// page. Records are taken as the checks write them (TNetwork's row event),
// so that both hold exactly the tables' records, whatever their format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "linvoro_giswriter.h"
#include "linvoro_types.h"
#include "whole_file.h"

class TNetwork;
class TReportRoads;

// A check table that holds findings, and how its records name their place.
struct TFindingTable {
  const char* Name;
  const char* LinkField;      // the field with the link number; null: none
  bool OwnGeometry;           // the record's geometry is its own, not the link's polyline
  const char* NodeFields[2];  // fields naming nodes; their links' ways are listed
};
// In the order a run writes them ("nodes" is an export, not a finding).
const std::vector<TFindingTable>& FindingTables();

enum class TCheckState : uint8_t { csNotRun, csRunning, csRan, csStopped };

struct TCheckFindings {
  const TFindingTable* Table = nullptr;
  TCheckState State = TCheckState::csNotRun;
  int64_t Rows = 0;
  std::vector<TFieldInfo> Fields;  // as the table declares them (known from its first row)
  std::vector<std::string> Columns;  // per field: JSON values, comma-separated
  std::string Points;  // own geometry: x, y in 1e-7 degrees, comma-separated
  std::string Ways;    // node findings: a JSON array of way ids per row, comma-separated
};

class TFindings {
 public:
  static constexpr const char* FileName = "findings.geojson";

  // path: where findings.geojson goes; roads: the page's roads, which
  // receive every link with a finding that they do not hold (may be null).
  TFindings(std::string path, TReportRoads* roads);
  ~TFindings();
  TFindings(const TFindings&) = delete;
  TFindings& operator=(const TFindings&) = delete;

  // The network whose checks are about to run: its check rows come in
  // through its row event from now on. Creates the file the first time.
  void Attach(TNetwork& net);
  // Before the network is released.
  void Detach();

  // A check that writes table begins and ends; stopped: the user stopped
  // it, its table holds what it had found.
  void Begin(const std::string& table);
  void End(const std::string& table, bool stopped);

  // One record of a check table (the row event).
  void Row(const TGISWriter& writer, std::string_view row, const TFloatPoint* points, int32_t count);

  // Completes findings.geojson; errors name the file, and a file that could
  // not be completed is removed. Nothing when it was never created.
  void Close();
  // The GeoPackage that also receives the findings, as its layer
  // "findings", once findings.geojson is complete ("" for none).
  void SetGpkgFile(std::string path) { FGpkgFile = std::move(path); }

  bool FileCreated() const { return FFile != nullptr; }
  const std::string& Path() const { return FPath; }
  const std::vector<TCheckFindings>& Checks() const { return FChecks; }

  // The page's findings as one JSON array; a check still running when the
  // run ended is "stopped" when the run was stopped, else "failed".
  void AppendJson(std::string& out, bool runStopped) const;

 private:
  TCheckFindings* Check(const std::string& table);
  int64_t WayOfLink(int32_t link);
  const std::string& NameOfLink(int32_t link);
  void Flush();

  std::string FPath;
  std::string FGpkgFile;
  TReportRoads* FRoads;
  TNetwork* FNet = nullptr;
  std::vector<TCheckFindings> FChecks;
  std::unique_ptr<TWholeFile> FFile;  // from the first Attach on
  bool FFirstFeature = true;
  std::string FBuffer;  // GeoJSON text not yet written
  // Road-name lookups by name id: a way's id and name are read once.
  std::unordered_map<int32_t, int64_t> FWays;
  std::unordered_map<int32_t, std::string> FNames;
  TAttribSplitter FSplitter;
  TFloatPointArrayEx FSection;
  std::vector<int64_t> FNodeWays;
};
