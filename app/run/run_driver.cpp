#include "run_driver.h"

#include <locale.h>
#include <pthread.h>
#include <sched.h>

#include <ctime>
#include <new>

#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "network_stage.h"
#include "osm_format.h"
#include "osm_passes.h"
#include "report_page.h"
#include "run_folder.h"

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

// The passes, then the network stage. errorFile: set to error.txt's path
// once pass 3 has begun it; a file of that name before then is none of this
// run's.
TRunResult Convert(const TRunOptions& o, const TIncludeLists& include, IRunUI& ui, TReportPage* report,
                   TRunSummary& summary) {
  TRunResult result;
  {
    // Every object of the passes lives in here and is released before the
    // network stage, also when an error ends the run.
    TPassDriver driver(o.Files, ui);
    if (report) {
      std::vector<std::string> formats;
      for (const TFileInfo& f : driver.Files()) formats.emplace_back(OsmFormatName(f.Format));
      report->SetInputFormats(std::move(formats));
    }
    bool errorFileBegun = false;
    TPassesResult passes;
    try {
      passes = ConvertOsmFiles(driver, o, include, ui, report ? &report->Roads() : nullptr, summary.Tables,
                               errorFileBegun);
    } catch (const EConvertError& e) {
      if (errorFileBegun) summary.ErrorFile = o.MainDir + "error.txt";
      // A number in the data that does not parse: say in which file.
      if (driver.CurrentFile() < 0) throw;
      throw EConvertError(std::string(e.what()) + " in file \"" +
                          driver.Files()[static_cast<size_t>(driver.CurrentFile())].Filename + "\"");
    } catch (...) {
      if (errorFileBegun) summary.ErrorFile = o.MainDir + "error.txt";
      throw;
    }
    summary.ErrorFile = o.MainDir + "error.txt";
    summary.LostNames = LostNamesLine(passes.LostNames, o.TableCodePage(), ui.LostCharactersAdvice());
    if (passes.HeaderFailedFile >= 0)
      result = {TRunStatus::rsHeaderFailed,
                "OSM version in header is not correct - should be 0.6 in file \"" +
                    driver.Files()[static_cast<size_t>(passes.HeaderFailedFile)].Filename +
                    "\": the ways of this file and of the files after it are not in the output"};
  }
  if (o.BuildNetwork) RunNetworkStage(o, ui, report, summary.Tables);
  return result;
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
    // Read before anything is written: it may be the findings file this
    // run replaces.
    if (report && !o.CompareFile.empty())
      report->Findings().SetEarlier(std::make_unique<TEarlierFindings>(o.CompareFile));
    result = Convert(o, include, ui, report.get(), summary);
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
