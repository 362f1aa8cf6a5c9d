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

#include <functional>
#include <mutex>

#include "check_sink.h"
#include "linvoro_giswriter.h"
#include "findings_compare.h"
#include "linvoro_types.h"
#include "road_sink.h"
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

// How a table field's value goes into findings.geojson and the page.
enum class TFieldForm : uint8_t {
  ffAsIs,
  ffLink,      // the link number: the feature's "link", not a field of its own
  ffMetres,    // kilometres in the table: "distance_m" in metres to the centimetre
  ffPosition,  // the place along the link 0-1: "position" to four places
};

struct TCheckFindings {
  const TFindingTable* Table = nullptr;
  TCheckState State = TCheckState::csNotRun;
  int64_t Rows = 0;
  std::vector<TFieldInfo> Fields;  // as the table declares them (known from its first row)
  std::vector<TFieldForm> Forms;   // per field
  std::vector<std::string> Columns;  // per field: JSON values, comma-separated
  std::string Points;  // own geometry: x, y in 1e-7 degrees, comma-separated
  std::string Ways;    // node findings: a JSON array of way ids per row, comma-separated
  // Crossings: per row a JSON array [crossing way, its name, its road class,
  // levels differ, level, crossing level], or null for a split-and-snap
  // place; comma-separated.
  std::string Crossings;
  int64_t SplitAndSnapRows = 0;  // rows that are split-and-snap places
  int64_t LevelsDifferRows = 0;  // crossings on different levels
  // Per row until the page's rows are chosen: the road class (rcCount:
  // none) and the link whose road the page draws (0: none).
  std::vector<uint8_t> RowClass;
  std::vector<int32_t> RowLink;
  // The rows the page holds when there are more than its bound (empty:
  // every row), the most important roads first.
  std::vector<bool> Keep;
  int64_t PageRows = 0;
  bool Chosen = false;
  // Compared with an earlier run: per row 1 new, 2 unchanged,
  // comma-separated; and the earlier findings that are gone, each a JSON
  // array [ways, name, x, y, ...] in 1e-7 degrees, comma-separated.
  std::string Changes;
  std::string Fixed;
  int64_t New = 0, Unchanged = 0, FixedCount = 0;
};

// The property names of findings.geojson of a table field.
std::string FindingPropertyName(const std::string& field, TFieldForm form);
// A level as words: "ground", "bridge, layer 1", "tunnel, layer -1".
std::string LevelText(TWayLevel level);
// What a finding of check means and what a mapper usually does, in one
// sentence; for overpasses after what is known of the crossing.
const char* FindingMessage(const std::string& check, bool splitAndSnapPlace = false, bool levelsDiffer = false);

class TFindings;

// A finding's link as the mapper knows it: the OSM way, the name and the
// road class; each way and name read once.
class TLinkLookup {
 public:
  TLinkLookup(const TNetwork* net, const TReportRoads* roads) : FNet(net), FRoads(roads) {}
  int64_t Way(int32_t link);  // -1: not known
  const std::string& Name(int32_t link);
  std::string_view RoadClass(int32_t link) const;

 private:
  const TNetwork* FNet;
  const TReportRoads* FRoads;
  // By name id, which belongs to the network's road-name files.
  std::unordered_map<int32_t, int64_t> FWays;
  std::unordered_map<int32_t, std::string> FNames;
};

// The records of one check as features and as the page's data. It writes
// only its check's own record and reads what no other part writes, so the
// parts of checks that run beside each other each take their rows on their
// own thread.
class TFindingsPart final : public TCheckRows {
 public:
  // The features go into text, each after ",\n" (after "\n" while first
  // is set); full is called when text holds a block to hand on.
  TFindingsPart(TFindings& owner, TCheckFindings& check, std::string* text, bool* first,
                std::function<void()> full);
  // The features go out through out in blocks.
  TFindingsPart(TFindings& owner, TCheckFindings& check, TCheckText out);
  TFindingsPart(const TFindingsPart&) = delete;
  TFindingsPart& operator=(const TFindingsPart&) = delete;

  void Row(const TGISWriter& writer, std::string_view row, const TFloatPoint* points, int32_t count) override;
  void Finish() override;

 private:
  // One record as it goes into the file and the page, once its crossing is
  // known (overpasses: the row at the same place on another link).
  struct TCrossing {
    bool Known = false;         // an overpasses row
    bool SplitAndSnap = false;  // one of split_and_snap's places
    int64_t Link = 0;           // the crossing link, 0: none found
  };
  void Emit(std::string_view row, const TFloatPoint* points, int32_t count, bool point, const TCrossing& crossing);
  // The overpasses rows wait until the table is complete, so that each
  // knows the row that crosses it.
  void EmitCrossings();

  TFindings& F;
  TCheckFindings& C;
  std::string FOwnText;
  bool FOwnFirst = false;
  TCheckText FOut;
  std::string* FText;
  bool* FFirst;
  std::function<void()> FFull;
  TLinkLookup FLinks;
  TAttribSplitter FSplitter;
  std::vector<int64_t> FNodeWays, FRowWays;
  struct TPending {
    std::string Row;
    TFloatPoint P;
    int32_t Count;
    bool IsPoint;
  };
  std::vector<TPending> FPending;
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
  // The rows of table taken on the calling thread while attached (a check
  // beside others): their features go out through out, to come back in
  // the order of the checks through AppendPart. Null for a table that holds
  // no findings.
  std::unique_ptr<TFindingsPart> Part(const std::string& table, TCheckText out);
  // A block of features a part handed out.
  void AppendPart(std::string_view block);

  // Completes findings.geojson; errors name the file, and a file that could
  // not be completed is removed. Nothing when it was never created.
  // The GeoPackage's findings layer is copied from it unless the run was
  // stopped: a copy of millions of findings would keep the stop waiting,
  // and the file holds them all.
  void Close(bool stopped = false);
  // The GeoPackage that also receives the findings, as its layer
  // "findings", once findings.geojson is complete ("" for none).
  void SetGpkgFile(std::string path) { FGpkgFile = std::move(path); }

  bool FileCreated() const { return FFile != nullptr; }
  // The earlier run's findings to compare with: each feature gets
  // "change", and those gone are written as fixed on Close.
  void SetEarlier(std::unique_ptr<TEarlierFindings> earlier) { FEarlier = std::move(earlier); }
  const TEarlierFindings* Earlier() const { return FEarlier.get(); }
  const std::string& Path() const { return FPath; }
  const std::vector<TCheckFindings>& Checks() const { return FChecks; }

  // Findings per check the page holds at most: above it, those on the most
  // important roads (findings.geojson holds every one). Lowered by tests.
  // A mapper works through a few thousand at most, and so many draw fast
  // on any machine; a small run's page holds every finding.
  static constexpr int64_t DefaultPageBound = 2500;
  // For the findings made from now on (tests lower it to see the bound at
  // work on small data).
  static void SetPageBoundOfNew(int64_t bound) { NewPageBound() = bound; }

  // The page's findings as one JSON array; a check still running when the
  // run ended is "stopped" when the run was stopped, else "failed".
  void AppendJson(std::string& out, bool runStopped) const;

 private:
  friend class TFindingsPart;
  TCheckFindings* Check(std::string_view table);
  // The part that takes the rows told through the network's row event.
  TFindingsPart& OwnPart(TCheckFindings& c);
  // Chooses the rows the page holds of each check that has not been
  // chosen yet, and hands their roads to the page's map.
  void ChoosePageRows();
  void Flush();

  std::string FPath;
  std::string FGpkgFile;
  TReportRoads* FRoads;
  TNetwork* FNet = nullptr;
  std::vector<TCheckFindings> FChecks;
  std::unique_ptr<TWholeFile> FFile;  // from the first Attach on
  bool FFirstFeature = true;
  std::string FBuffer;  // GeoJSON text not yet written
  // Per check (in FChecks' order), while attached.
  std::vector<std::unique_ptr<TFindingsPart>> FParts;
  TFloatPointArrayEx FSection;
  std::unique_ptr<TEarlierFindings> FEarlier;
  static int64_t& NewPageBound() {
    static int64_t bound = DefaultPageBound;
    return bound;
  }
  int64_t FPageBound = NewPageBound();
  // split_and_snap's places, by link and position, to tell them among
  // the overpasses rows; the two checks may take their rows on a thread
  // other than this one's.
  std::mutex FSnapLock;
  std::vector<std::pair<int64_t, double>> FSnapPlaces;
};
