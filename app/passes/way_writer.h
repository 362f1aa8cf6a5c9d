// Pass 3: the ways of every file once more. Each selected way gets its
// attribute record and its nodes' coordinates, and is cut into links that go
// to the road table; findings about the data go to error.txt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include_file.h"
#include "node_store.h"
#include "road_sink.h"
#include "run_options.h"
#include "run_status.h"
#include "text_set.h"
#include "way_selection.h"

struct TRoadTableResult {
  int64_t Loops = 0;   // closed links halved
  TTextSet LostNames;  // distinct names that lost characters to the table's code page
};

// Pass 3 into o.MainDir ("roads" in the chosen format, "error.txt"). Each
// way written is cleared from sel.Ways. The road table, once closed, is
// listed in tables, also when an error or a stop ends the pass: what was
// written so far is then closed complete. sink (may be null) is told of
// every link.
TRoadTableResult WriteRoadTable(TPassDriver& driver, TWaySelection& sel, const TNodeCoordinates& nodes,
                                const TRunOptions& o, const TIncludeLists& include, IRunUI& ui, TRoadSink* sink,
                                std::vector<TWrittenTable>& tables);
