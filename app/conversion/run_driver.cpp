#include "run_driver.h"

#include <locale.h>
#include <pthread.h>
#include <sched.h>

#include <ctime>
#include <new>

#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "network_stage.h"
#include "run_context.h"
#include "report_page.h"
#include "run_folder.h"
#include "xml_lines.h"

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
  // GeoPackage output has no fallback: a run asked for one gets one or
  // does not start.
  if (o.FF() == gfGPKG && !TGISWriter::GPKG_supported()) return TGISWriter::GPKGProblem();
  if (o.Encoding == 0) return std::string();  // the system's page suits every format
  return TGISWriter::EncodingProblem(o.FF(), o.Encoding);
}

std::string LostNamesLine(size_t lostNames, uint16_t codepage, const std::string& advice) {
  if (lostNames == 0) return std::string();
  return (lostNames == 1 ? std::string("1 name") : std::to_string(lostNames) + " names") +
         " lost characters that code page " + std::to_string(codepage) + " cannot hold (written as \"?\"); " +
         advice;
}

std::string ErrorFileLine(int64_t lines) {
  if (lines <= 0) return std::string();
  return "File error.txt: " + std::to_string(lines) + (lines == 1 ? " line" : " lines") +
         " of findings about the data";
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

// What the log's end says, whatever way the run ended.
struct TRunSummary {
  std::vector<TWrittenTable> Tables;  // every table the run closed: on disk and complete
  std::string ErrorFile;              // error.txt once pass 3 has begun it, else empty
  std::string LostNames;              // LostNamesLine, empty when no name lost characters
};

// One line per table, then the findings in error.txt when there are any,
// then the names that lost characters to the table's code page.
void LogEnd(IRunUI& ui, const TRunSummary& summary) {
  for (const TWrittenTable& t : summary.Tables)
    ui.Log("Table " + t.Name + " (" + t.Format + "): " + std::to_string(t.Records) +
           (t.Records == 1 ? " record" : " records"));
  if (!summary.ErrorFile.empty())
    if (const std::string line = ErrorFileLine(CountLines(summary.ErrorFile)); !line.empty()) ui.Log(line);
  if (!summary.LostNames.empty()) ui.Log(summary.LostNames);
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

// Passes 1 and 2. A file that the line reader took for one element per
// line but that breaks the form later on is read again from the start of
// pass 1 with the XML parser: nothing but the list of unlisted highway
// values is written before pass 3, and that list is written anew.
void SelectWaysAndNodes(TRunContext& run) {
  for (;;) {
    run.SplitNode = std::make_unique<TIdSet>();
    run.wayid = std::make_unique<TIdSet>();
    run.inc0 = std::make_unique<TIdSet>();
    run.inc1 = std::make_unique<TIdSet>();
    run.inc2 = std::make_unique<TIdSet>();
    run.Nodes = std::make_unique<TIdSet>();
    run.FerryNodes = std::make_unique<TNodeIDList>();
    run.TooLongWays.clear();
    run.LastFileReader.reset();
    run.HeaderFailedFile = -1;
    try {
      ScanWays(run);
      MarkFerryNodes(run);

      const TRunOptions& o = run.Options;
      run.UI.Log(std::to_string(run.wayid->CountTrue()) + " ways found");
      const int64_t needed = run.Nodes->CountTrue();
      run.UI.Log(std::to_string(needed) + " nodes found (needed by the selected ways)");
      if (o.SplitLinks) run.UI.Log(std::to_string(run.SplitNode->CountTrue()) + " nodes marked for split");

      run.UI.Log("Reading node coordinates");
      run.CoordFile = std::make_unique<TNodeListEx>();
      run.CoordFile->SetCapacity(static_cast<int32_t>(std::min<int64_t>(needed, INT32_MAX)));
      run.JunctionList = std::make_unique<TJunctionList>();
      ReadNodeCoordinates(run);
      return;
    } catch (const EXmlLineForm&) {
      TFileInfo& info = run.FileInfo[static_cast<size_t>(run.CurrentFile)];
      info.XmlLines = false;
      run.UI.Log("File \"" + info.Filename +
                 "\" does not keep one element per line throughout: the run starts again, reading it with the "
                 "XML parser");
    }
  }
}

// errorFile: set to error.txt's path once pass 3 is about to write it; a
// file of that name before then is none of this run's.
void Convert(TRunContext& run, std::string& errorFile) {
  const TRunOptions& o = run.Options;
  for (const auto& f : o.Files) run.FileInfo.emplace_back(f);
  // Every file is known by its content before anything is read or written:
  // a file in none of the formats read ends the run here.
  for (TFileInfo& info : run.FileInfo) {
    info.Format = DetectOsmFormat(info.Filename);
    if (IsXml(info.Format)) info.XmlLines = XmlReadsAsLines(info.Filename, info.Format);
  }

  SelectWaysAndNodes(run);

  run.Nodes.reset();
  run.FerryNodes.reset();
  run.CoordFile->Sort();

  errorFile = run.MainDir + "error.txt";
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
  TRunSummary summary;
  std::unique_ptr<TReportPage> report;
  try {
    TLowPriority priority;
    ui.Log("Start at " + LongTimeText());
    // By default the first input's folder, often Downloads: said first, so
    // that the user knows where to look.
    ui.Log("Output folder: " + FullPath(o.MainDir));
    if (o.Report) report = std::make_unique<TReportPage>(o, include);
    {
      // Every object of the run lives in here and is released on the way
      // out, also when an error ends the run.
      TRunContext run(o, include, ui);
      run.Tables = &summary.Tables;
      run.Report = report.get();
      try {
        Convert(run, summary.ErrorFile);
      } catch (const EConvertError& e) {
        // A number in the data that does not parse: say in which file.
        if (run.CurrentFile < 0) throw;
        throw EConvertError(std::string(e.what()) + " in file \"" +
                            run.FileInfo[static_cast<size_t>(run.CurrentFile)].Filename + "\"");
      }
      summary.LostNames = LostNamesLine(run.LostNames.size(), o.TableCodePage(), ui.LostCharactersAdvice());
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
  LogEnd(ui, summary);
  // The report comes last, so that it tells how the run ended; a run whose
  // report cannot be written has not done what it was asked to.
  if (report) {
    try {
      result.ReportFile = report->Write(result.Status, result.Message, summary.Tables);
    } catch (const std::bad_alloc&) {
      if (result.Status != TRunStatus::rsCancelled) result = {TRunStatus::rsFailed, "Out of memory", ""};
    } catch (const std::exception& e) {
      if (result.Status != TRunStatus::rsCancelled) result = {TRunStatus::rsFailed, e.what(), ""};
    }
    report.reset();
  }
  // The failure first, then when the run ended.
  switch (result.Status) {
    case TRunStatus::rsHeaderFailed:
      ui.Log("Run failed: " + result.Message);
      ui.Log("Finish at " + LongTimeText());
      break;
    case TRunStatus::rsOk:
      ui.Log("Finish at " + LongTimeText());
      break;
    case TRunStatus::rsCancelled:
      ui.Log("Run cancelled at " + LongTimeText());
      break;
    default:
      ui.Log("Run failed at " + LongTimeText() + ": " + result.Message);
      break;
  }
  return result;
}
