// One conversion run from start to finish, without any window: the front end
// passes the options, the include lists and its IRunUI, and gets back how the
// run ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "include_file.h"
#include "run_options.h"
#include "run_status.h"
#include "run_ui.h"

struct TRunResult {
  TRunStatus Status = TRunStatus::rsOk;
  std::string Message;
  // Full path of the report page the run wrote; empty when it wrote none.
  std::string ReportFile;

  TRunResult(TRunStatus status = TRunStatus::rsOk, std::string message = {}, std::string reportFile = {})
      : Status(status), Message(std::move(message)), ReportFile(std::move(reportFile)) {}
};

// The option rules a run applies before it starts: no network without split
// loop links, no network sub-option without the network. The window applies
// the same to its controls.
void ReconcileOptions(TRunOptions& o);

// Why the tables of a run cannot be written in its chosen encoding on this
// system (a code page MapInfo tables cannot declare, UTF-8 TAB tables without
// a TAB library that writes them); empty when they can. The run refuses to
// start then, before anything is touched.
std::string TableEncodingProblem(const TRunOptions& o);

// The log line of a run whose road table lost characters of lostNames
// distinct names to its code page, ending in the front end's advice
// (IRunUI::LostCharactersAdvice); empty when none did.
std::string LostNamesLine(size_t lostNames, uint16_t codepage, const std::string& advice);

// The log line that points to error.txt when it holds lines; empty for none.
std::string ErrorFileLine(int64_t lines);

// How the front ends' logs name the report page as their last line.
std::string ReportLogLine(const std::string& path);

// The current local time in the user's long time format, as the run log
// shows it after "Start at " and "Finish at ".
std::string LongTimeText();

// The run. Files listed in o.Files are read as one data set; everything is
// written to o.MainDir. Errors never escape: the run's objects are released,
// files written so far stay, and the error's message is returned.
// The log begins with the start time and the output folder and ends with
// the tables written, the findings in error.txt and the names that lost
// characters, then one line of how the run ended: "Finish at ", "Run
// cancelled at ", or "Run failed at " with the message (an incomplete run
// says "Run failed: " with its message before "Finish at "). Unless
// o.Report is off, the run ends with its report page, whatever way it ended
// (a page that cannot be written fails the run).
TRunResult RunConversion(const TRunOptions& o, const TIncludeLists& include, IRunUI& ui);
