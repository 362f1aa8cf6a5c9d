// The network stage of a run: builds the Linvoro 4 network from the road
// table just written and runs the chosen checks. Called by the run driver
// only when "Build Linvoro 4 network" is on, after the passes' objects are
// released.
#pragma once

#include <vector>

#include "check_sink.h"
#include "run_options.h"
#include "run_status.h"
#include "run_ui.h"

// Into o.MainDir, from the road table there. Every check table closed is
// listed in tables, also when an error or a stop ends the stage; checks
// (may be null) is told of the network and the checks' rows.
void RunNetworkStage(const TRunOptions& o, IRunUI& ui, TCheckSink* checks, std::vector<TWrittenTable>& tables);
