// How a run ended and what it wrote: what the run driver, the report and the
// front ends share.
#pragma once

#include <cstdint>
#include <string>

enum class TRunStatus {
  rsOk,      // the run went through
  rsNoMode,  // no travel mode chosen: only the message box, nothing touched
  rsFailed,   // an error ended the run; Message holds its text
  rsCancelled, // the user stopped the run; what was written so far is complete
  // An XML file failed the header check: its message box was shown and the
  // run went on without the ways of that file and the files after it.
  // Message names the file. Not a success: the output is incomplete.
  rsHeaderFailed
};

// A table the run wrote and closed: what its summary line in the log says.
struct TWrittenTable {
  std::string Name;    // "roads", "nodes", ...
  std::string Format;  // "SHP", "MIF", "TAB"
  int64_t Records = 0;
};
