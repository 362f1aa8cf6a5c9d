#include "run_driver.h"

#include <locale.h>
#include <pthread.h>
#include <sched.h>

#include <ctime>
#include <new>

#include "linvoro_giswriter.h"
#include "network_stage.h"
#include "run_context.h"
#include "report_page.h"

void ReconcileOptions(TRunOptions& o) {
  // The network builder rejects closed links, so it needs them split.
  if (!o.SplitLoopLinks) o.BuildNetwork = false;
  if (!o.BuildNetwork) {
    o.Subnets = false;
    o.TopoChecks = false;
    o.Overpasses = false;
  }
}

std::string TableEncodingProblem(const TRunOptions& o) {
  if (o.Encoding == 0) return std::string();  // the system's page suits every format
  return TGISWriter::EncodingProblem(o.FF(), o.Encoding);
}

std::string LostNamesLine(size_t lostNames, uint16_t codepage) {
  if (lostNames == 0) return std::string();
  return (lostNames == 1 ? std::string("1 name") : std::to_string(lostNames) + " names") +
         " lost characters that code page " + std::to_string(codepage) +
         " cannot hold (written as \"?\"); choose the UTF-8 encoding for the tables to keep them";
}

std::string ReportLogLine(const std::string& path) { return "Report: " + path; }

std::string LongTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[128];
  size_t n = 0;
  // The user's locale, without touching the process-wide one.
  locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (loc) {
    n = strftime_l(buf, sizeof buf, "%X", &tm, loc);
    freelocale(loc);
  }
  if (n == 0) n = std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return std::string(buf, n);
}

namespace {

// The run yields to the rest of the system. Linux has no per-thread "below
// normal" that an unprivileged process can undo (a raised nice value cannot
// be lowered again), so the thread runs under the batch policy, which can.
class TLowPriority {
 public:
  TLowPriority() {
    if (pthread_getschedparam(pthread_self(), &FPolicy, &FParam) != 0) return;
    if (FPolicy != SCHED_OTHER) return;
    sched_param p{};
    FChanged = pthread_setschedparam(pthread_self(), SCHED_BATCH, &p) == 0;
  }
  ~TLowPriority() {
    if (FChanged) pthread_setschedparam(pthread_self(), FPolicy, &FParam);
  }
  TLowPriority(const TLowPriority&) = delete;
  TLowPriority& operator=(const TLowPriority&) = delete;

 private:
  int FPolicy = SCHED_OTHER;
  sched_param FParam{};
  bool FChanged = false;
};

}  // namespace

void BeginPassFile(TRunContext& run, int32_t pass, size_t fi) {
  run.CurrentFile = static_cast<int32_t>(fi);
  run.UI.SelectFile(static_cast<int32_t>(fi));
  TRunStage s;
  s.Kind = TStageKind::skPass;
  s.Name = "Pass " + std::to_string(pass) + "/3";
  s.Number = pass;
  s.Count = 3;
  s.File = static_cast<int32_t>(fi);
  s.FileCount = static_cast<int32_t>(run.FileInfo.size());
  s.FileName = run.FileInfo[fi].Filename;
  run.UI.Stage(s);
}

void NoteTable(TRunContext& run, const TGISWriter& writer) {
  if (!run.Tables) return;
  const std::string& path = writer.FileName();
  const size_t slash = path.rfind('/');
  run.Tables->push_back({slash == std::string::npos ? path : path.substr(slash + 1),
                         GISFormatName(writer.Format()), writer.WrittenRecords()});
}

namespace {

// The end of the log, whatever way the run ended: one line per table the run
// closed (what is on disk and complete), then the names that lost characters
// to the table's code page, if any.
void LogEnd(IRunUI& ui, const std::vector<TWrittenTable>& tables, const std::string& lostNames) {
  for (const TWrittenTable& t : tables)
    ui.Log("Table " + t.Name + " (" + t.Format + "): " + std::to_string(t.Records) +
           (t.Records == 1 ? " record" : " records"));
  if (!lostNames.empty()) ui.Log(lostNames);
}

void MarkFerryNodes(TRunContext& run) {
  TNodeIDList& ferry = *run.FerryNodes;
  TIdSet& nodes = *run.Nodes;
  TIdSet& split = *run.SplitNode;
  ferry.RemoveDuplicates();
  for (const int64_t id : ferry) {
    if (nodes.GetBit(id))
      split.SetBit(id, true);
    else
      nodes.SetBit(id, true);
  }
}

void Convert(TRunContext& run) {
  const TRunOptions& o = run.Options;
  for (const auto& f : o.Files) run.FileInfo.emplace_back(f);
  // Every file is known by its content before anything is read or written:
  // a file in none of the formats read ends the run here.
  for (TFileInfo& info : run.FileInfo) info.Format = DetectOsmFormat(info.Filename);

  run.SplitNode = std::make_unique<TIdSet>();
  run.wayid = std::make_unique<TIdSet>();
  run.inc0 = std::make_unique<TIdSet>();
  run.inc1 = std::make_unique<TIdSet>();
  run.inc2 = std::make_unique<TIdSet>();
  run.Nodes = std::make_unique<TIdSet>();
  run.FerryNodes = std::make_unique<TNodeIDList>();

  ScanWays(run);
  MarkFerryNodes(run);

  run.UI.Log(std::to_string(run.wayid->CountTrue()) + " ways found");
  const int64_t needed = run.Nodes->CountTrue();
  run.UI.Log(std::to_string(needed) + " nodes found (needed by the selected ways)");
  if (o.SplitLinks) run.UI.Log(std::to_string(run.SplitNode->CountTrue()) + " nodes marked for split");

  run.UI.Log("Reading node coordinates");
  run.CoordFile = std::make_unique<TNodeListEx>();
  run.CoordFile->SetCapacity(static_cast<int32_t>(std::min<int64_t>(needed, INT32_MAX)));
  run.JunctionList = std::make_unique<TJunctionList>();
  ReadNodeCoordinates(run);

  run.Nodes.reset();
  run.FerryNodes.reset();
  run.CoordFile->Sort();

  WriteOutput(run);
  run.CurrentFile = -1;

  run.wayid.reset();
  run.inc0.reset();
  run.inc1.reset();
  run.inc2.reset();
  run.SplitNode.reset();
  run.CoordFile.reset();
  run.JunctionList.reset();
}

}  // namespace

TRunResult RunConversion(const TRunOptions& options, const TIncludeLists& include, IRunUI& ui) {
  TRunOptions o = options;
  ReconcileOptions(o);
  if (o.OutputModes() == 0) {
    ui.MessageBox("Choose at least 1 mode in output");
    return {TRunStatus::rsNoMode, "Choose at least 1 mode in output"};
  }
  if (!o.MainDir.empty() && o.MainDir.back() != '/') o.MainDir += '/';
  const std::string encodingProblem = TableEncodingProblem(o);
  if (!encodingProblem.empty()) return {TRunStatus::rsFailed, encodingProblem};

  TRunResult result;
  std::vector<TWrittenTable> tables;
  std::string lostNames;  // said at the end, however the run ends
  std::unique_ptr<TReportPage> report;
  try {
    TLowPriority priority;
    ui.Log("Start at " + LongTimeText());
    if (o.Report) report = std::make_unique<TReportPage>(o, include);
    {
      // Every object of the run lives in here and is released on the way
      // out, also when an error ends the run.
      TRunContext run(o, include, ui);
      run.Tables = &tables;
      run.Report = report.get();
      try {
        Convert(run);
      } catch (const EConvertError& e) {
        // A number in the data that does not parse: say in which file.
        if (run.CurrentFile < 0) throw;
        throw EConvertError(std::string(e.what()) + " in file \"" +
                            run.FileInfo[static_cast<size_t>(run.CurrentFile)].Filename + "\"");
      }
      lostNames = LostNamesLine(run.LostNames.size(), o.TableCodePage());
      if (o.BuildNetwork) RunNetworkStage(run);
      if (run.HeaderFailedFile >= 0)
        result = {TRunStatus::rsHeaderFailed,
                  "OSM version in header is not correct - should be 0.6 in file \"" +
                      run.FileInfo[static_cast<size_t>(run.HeaderFailedFile)].Filename +
                      "\": the ways of this file and of the files after it are not in the output"};
    }
  } catch (const ERunCancelled& e) {
    result = {TRunStatus::rsCancelled, e.what()};
  } catch (const std::bad_alloc&) {
    result = {TRunStatus::rsFailed, "Out of memory"};
  } catch (const std::exception& e) {
    result = {TRunStatus::rsFailed, e.what()};
  }
  LogEnd(ui, tables, lostNames);
  // The report comes last, so that it tells how the run ended; a run whose
  // report cannot be written has not done what it was asked to.
  if (report) {
    try {
      result.ReportFile = report->Write(result.Status, result.Message, tables);
    } catch (const std::bad_alloc&) {
      if (result.Status != TRunStatus::rsCancelled) result = {TRunStatus::rsFailed, "Out of memory", ""};
    } catch (const std::exception& e) {
      if (result.Status != TRunStatus::rsCancelled) result = {TRunStatus::rsFailed, e.what(), ""};
    }
    report.reset();
  }
  if (result.Status == TRunStatus::rsOk || result.Status == TRunStatus::rsHeaderFailed)
    ui.Log("Finish at " + LongTimeText());
  else if (result.Status == TRunStatus::rsCancelled)
    ui.Log("Run cancelled at " + LongTimeText());
  return result;
}
