// The three passes from the run's OSM files to the road table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include_file.h"
#include "pass_driver.h"
#include "road_sink.h"
#include "run_options.h"
#include "run_status.h"

struct TPassesResult {
  int32_t HeaderFailedFile = -1;  // the XML file whose header was wrong, else -1
  int64_t Loops = 0;              // closed links halved
  size_t LostNames = 0;           // distinct names that lost characters to the code page
};

// Passes 1 to 3 over driver's files into o.MainDir. A file that the line
// reader took for one element per line but that breaks the form later on
// is read again from the start of pass 1 with the XML parser: nothing but
// the list of unlisted highway values is written before pass 3, and that is
// written anew. Tables closed are listed in tables, also when an error
// ends the passes; errorFileBegun tells whether error.txt is this run's
// (pass 3 began it). sink (may be null) is told of every link.
TPassesResult ConvertOsmFiles(TPassDriver& driver, const TRunOptions& o, const TIncludeLists& include, IRunUI& ui,
                              TRoadSink* sink, std::vector<TWrittenTable>& tables, bool& errorFileBegun);
