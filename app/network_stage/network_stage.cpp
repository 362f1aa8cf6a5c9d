#include "network_stage.h"

#include <cstdio>
#include <exception>
#include <string>

#include "linvoro_giswriter.h"
#include "linvoro_import.h"
#include "linvoro_importattributes.h"
#include "linvoro_locationlist.h"
#include "linvoro_network.h"
#include "linvoro_network_calc.h"
#include "linvoro_network_spatial.h"
#include "output_files.h"

namespace {

// What every step of the stage uses.
struct TStage {
  const TRunOptions& Options;
  IRunUI& UI;
  TCheckSink* Checks;  // may be null
  std::vector<TWrittenTable>& Tables;
  const std::string& MainDir;
};

void NoteTable(TStage& run, const TGISWriter& writer) {
  const std::string& path = writer.FileName();
  const size_t slash = path.rfind('/');
  run.Tables.push_back({slash == std::string::npos ? path : path.substr(slash + 1),
                        GISFormatName(writer.Format()), writer.WrittenRecords()});
}

// The front end's progress display for every network object. A stop asked
// for by the user cancels the object at its next progress point; the stage
// then raises ERunCancelled once the object has returned (CheckCancelled).
TProgressCancelEvent NetworkProgress(TStage& run) {
  IRunUI* ui = &run.UI;
  return [ui](TProgress*, int32_t progress, bool& cancel) {
    ui->Progress(progress);
    ui->ProcessMessages();
    if (ui->CancelRequested()) cancel = true;
  };
}

// The steps of the network stage and the checks, reported as stages. A stop
// asked for by the user ends the stage before the next step begins.
class TStageCounter {
 public:
  TStageCounter(TStage& run, TStageKind kind, int32_t count) : FRun(run), FKind(kind), FCount(count) {}
  void Next(const char* name) {
    CheckCancelled(FRun.UI);
    TRunStage s;
    s.Kind = FKind;
    s.Name = name;
    s.Number = ++FNumber;
    s.Count = FCount;
    FRun.UI.Stage(s);
  }

 private:
  TStage& FRun;
  TStageKind FKind;
  int32_t FCount;
  int32_t FNumber = 0;
};

// Removes the network file set of the folder, its report too unless asked
// to keep it.
void RemoveNetworkFiles(const TStage& run, bool keepReport) {
  for (const std::string& f : NetworkFileNames())
    if (!keepReport || f != ReportFileName) std::remove((run.MainDir + f).c_str());
}

// True when the import built a network; a road table without objects builds
// none.
bool ImportNetwork(TStage& run, uint8_t ff) {
  run.UI.Log("Importing Linvoro 4 network");
  TImport import;
  import.SetDirectory(run.MainDir);
  import.SetOnProgress(NetworkProgress(run));
  const char* main = ff == gfMIF ? "roads.mif" : ff == gfSHP ? "roads.shp" : ff == gfGPKG ? GpkgFileName : "roads.tab";
  import.Add(run.MainDir + main);
  import.SetAllowLoops(false);
  import.Execute();
  // A cancelled import has removed its partial file set already.
  CheckCancelled(run.UI);
  import.CreateReport();
  if (run.Checks && import.ObjectsFound()) run.Checks->NetworkBuilt(import.LinkCount(), import.NodeCount());
  return import.ObjectsFound();
}

void ImportAttributes(TStage& run, uint8_t ff) {
  run.UI.Log("Importing Linvoro 4 network - attributes");
  TImportAttributes ia;
  ia.SetDirectory(run.MainDir);
  ia.SetOnProgress(NetworkProgress(run));
  if (ff == gfMIF) {
    ia.Add(run.MainDir + "roads.mid");
    // The extra "ref" column of the two-field name choice shifts "attribute".
    ia.ExecuteAttribute(run.Options.NameRef == nrNameAndRef ? 4 : 3, "", fkCSV);
    ia.SetRoadNameFileIndex(1);
    ia.ExecuteRoadname(0, "", fkCSV);
    ia.SetRoadNameFileIndex(2);
    ia.ExecuteRoadname(1, "", fkCSV);
  } else if (ff == gfGPKG) {
    ia.Add(run.MainDir + GpkgFileName);
    ia.ExecuteAttribute(0, "attribute", fkGPKG);
    ia.SetRoadNameFileIndex(1);
    ia.ExecuteRoadname(0, "osm_id", fkGPKG);
    ia.SetRoadNameFileIndex(2);
    ia.ExecuteRoadname(1, "", fkGPKG);
  } else {
    ia.Add(run.MainDir + (ff == gfSHP ? "roads.dbf" : "roads.dat"));
    ia.ExecuteAttribute(1, "attribute", fkDBF);
    ia.SetRoadNameFileIndex(1);
    ia.ExecuteRoadname(0, "osm_id", fkDBF);
    ia.SetRoadNameFileIndex(2);
    ia.ExecuteRoadname(1, "", fkDBF);
  }
  CheckCancelled(run.UI);
}

// The findings are told when a check that writes table begins and ends.
class TCheckScope {
 public:
  TCheckScope(TStage& run, const char* table) : FRun(run), FTable(table) {
    if (FRun.Checks) FRun.Checks->Begin(FTable);
  }
  ~TCheckScope() {
    // Left by an error: the check stays running, which the page tells as
    // failed (or stopped, when the run was).
    if (FRun.Checks && std::uncaught_exceptions() == FExceptions)
      FRun.Checks->End(FTable, FRun.UI.CancelRequested());
  }
  TCheckScope(const TCheckScope&) = delete;
  TCheckScope& operator=(const TCheckScope&) = delete;

 private:
  TStage& FRun;
  const char* FTable;
  int FExceptions = std::uncaught_exceptions();
};

// Subnet tables: links whose entry in the search's array is non-zero.
void DetectSubnets(TStage& run, TNetwork& net, TGISFormat ff, TStageCounter& checks) {
  TIntegerArray ia;
  TFloatPointArrayEx section;
  std::string row;
  checks.Next("Extended subnets");
  run.UI.Log("Checking for extended subnets");
  {
    TCheckScope scope(run, "subnets_extended");
    {
      TRouteCalc calc(&net, false);
      calc.SetOnProgress(NetworkProgress(run));
      calc.SubNetEx(ia);
    }
    // A stopped search leaves an incomplete array: no table from it.
    CheckCancelled(run.UI);
    std::unique_ptr<TGISWriter> w = net.GISoutputInit(run.MainDir + "subnets_extended", ff);
    w->StartHeader(1, otPline);
    w->AddField("LinkID", gfInteger, 0, 0);
    for (int32_t l = 1; l <= net.LinkCount(); ++l) {
      if (l >= static_cast<int32_t>(ia.size()) || ia[l] == 0) continue;
      row = std::to_string(l);
      net.ReadGISSection(l, section);
      w->AddObject(1, false, row);
      w->AddSection(1, section);
      net.TableRow(*w, row, section.Pnt.data(), section.Count);
    }
    w->Close();
    NoteTable(run, *w);
  }
  checks.Next("Simple subnets");
  TCheckScope scope(run, "subnets");
  run.UI.Log("Locating simple subnets");
  ia.clear();
  {
    TCalc calc(&net, false);
    calc.SetOnProgress(NetworkProgress(run));
    calc.SubNet(ia);
  }
  CheckCancelled(run.UI);
  std::unique_ptr<TGISWriter> w = net.GISoutputInit(run.MainDir + "subnets", ff);
  w->StartHeader(2, otPline);
  w->AddField("LinkID", gfInteger, 0, 0);
  w->AddField("Subnet", gfInteger, 0, 0);
  for (int32_t l = 1; l <= net.LinkCount(); ++l) {
    if (l >= static_cast<int32_t>(ia.size()) || ia[l] == 0) continue;
    row = std::to_string(l) + "," + std::to_string(ia[l]);
    net.ReadGISSection(l, section);
    w->AddObject(1, false, row);
    w->AddSection(1, section);
    net.TableRow(*w, row, section.Pnt.data(), section.Count);
  }
  w->Close();
  NoteTable(run, *w);
}

void TopoChecks(TStage& run, TNetwork& net, TSpatialSearch& search, TGISFormat ff,
                TStageCounter& checks) {
  const std::string& d = run.MainDir;
  checks.Next("Parallel links");
  run.UI.Log("Identifying parallel links");
  {
    TCheckScope scope(run, "parallel");
    net.ParallelLinks(d + "parallel", ff);
  }
  checks.Next("Network nodes");
  run.UI.Log("Exporting network nodes");
  net.ExportNodes(d + "nodes", ff);
  checks.Next("Object check");
  run.UI.Log("Object check");
  {
    TCheckScope scope(run, "object_check");
    net.ObjectCheck(d + "object_check", ff, 90);
  }
  checks.Next("Non-connected nodes");
  run.UI.Log("Identifying non connected nodes");
  {
    TCheckScope scope(run, "non_connected_nodes");
    search.FindNonConnectedNodes(d + "non_connected_nodes", ff, 0.002);
  }
  checks.Next("Non-connected links");
  run.UI.Log("Identifying non connected links");
  {
    TCheckScope scope(run, "non_connected_links");
    search.FindNonConnected(d + "non_connected_links", ff, 0.002);
  }
}

void OverpassChecks(TStage& run, TNetwork& net, TSpatialSearch& search, TGISFormat ff,
                    TStageCounter& checks) {
  TLocationList list;
  checks.Next("Split and snap");
  run.UI.Log("Identifying possible split&snap");
  {
    TCheckScope scope(run, "split_and_snap");
    search.SplitAndSnap(0.002, list);
    // A stopped search leaves an incomplete list: no table from it.
    CheckCancelled(run.UI);
    net.ExportLocationList(run.MainDir + "split_and_snap", ff, list);
  }
  checks.Next("Overpasses");
  run.UI.Log("Identifying overpasses");
  TCheckScope scope(run, "overpasses");
  search.FindOverpasses(list);
  CheckCancelled(run.UI);
  net.ExportLocationList(run.MainDir + "overpasses", ff, list);
}

// Opens the network just built and runs the chosen checks; each writes its
// table beside the road table. Overpasses run only together with one of the
// other two choices.
void CheckNetwork(TStage& run, TGISFormat ff, TStageCounter& steps) {
  const TRunOptions& o = run.Options;
  if (!o.Subnets && !o.TopoChecks) return;
  steps.Next("Opening network");
  run.UI.Log("Opening network");
  TNetwork net;
  net.SetDirectory(run.MainDir);
  if (o.Encoding != 0) net.SetCodepage(o.Encoding);  // the check tables declare it too
  net.SetOnProgress(NetworkProgress(run));
  net.SetOnTableWritten([&run](const TGISWriter& w) { NoteTable(run, w); });
  net.Open(true, false, true, 0);
  net.OpenRoadName(1, false);
  net.OpenRoadName(2, false);
  // The findings take every check row as it is written, until the network
  // goes.
  struct TAttached {
    TCheckSink* f;
    ~TAttached() {
      if (f) f->Detach();
    }
  } attached{run.Checks};
  if (attached.f) attached.f->Attach(net);
  TStageCounter checks(run, TStageKind::skCheck,
                       (o.Subnets ? 2 : 0) + (o.TopoChecks ? 5 : 0) + (o.Overpasses ? 2 : 0));
  if (o.Subnets) DetectSubnets(run, net, ff, checks);
  TSpatialSearch search(&net);
  search.SetOnProgress(NetworkProgress(run));
  if (o.TopoChecks) TopoChecks(run, net, search, ff, checks);
  if (o.Overpasses) OverpassChecks(run, net, search, ff, checks);
  // The last check may have been stopped too: its table holds the rows
  // found until then, and the run ends as cancelled.
  CheckCancelled(run.UI);
}

}  // namespace

void RunNetworkStage(const TRunOptions& o, IRunUI& ui, TCheckSink* checkSink, std::vector<TWrittenTable>& tables) {
  TStage run{o, ui, checkSink, tables, o.MainDir};
  const uint8_t ff = o.FF();
  TStageCounter steps(run, TStageKind::skNetwork, o.Subnets || o.TopoChecks ? 3 : 2);
  // A stop asked for after the last point of pass 3 ends the run here,
  // before any network file is written.
  steps.Next("Network import");
  bool built = false;
  try {
    built = ImportNetwork(run, ff);
    if (built) {
      steps.Next("Attribute import");
      ImportAttributes(run, ff);
    }
  } catch (...) {
    // A network that was not completed (a full disk, a damaged table, or
    // the user stopped the run) must not stay declared by its
    // linvoro_config.ini, nor described by a report that counts its links:
    // the whole set goes, and the run reports the failure or the stop.
    RemoveNetworkFiles(run, false);
    throw;
  }
  if (!built) {
    // Nothing to build a network from: attribute and road-name files for no
    // network, or checks that look for a missing one, would only mislead, and
    // a set left by an earlier run in this folder is not this table's
    // network. The report of this import stays: it says what was rejected.
    RemoveNetworkFiles(run, true);
    run.UI.Log("No network built: the road table has no objects");
    return;
  }
  CheckNetwork(run, static_cast<TGISFormat>(ff), steps);
}
