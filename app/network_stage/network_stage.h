// The network stage of a run: builds the Linvoro 4 network from the road
// table just written and runs the chosen checks. Called by the run driver
// only when "Build Linvoro 4 network" is on, after the passes' objects are
// released.
#pragma once

#include <cstddef>
#include <vector>

#include "check_sink.h"
#include "run_options.h"
#include "run_status.h"
#include "run_ui.h"

// Into o.MainDir, from the road table there. Every check table closed is
// listed in tables, also when an error or a stop ends the stage; checks
// (may be null) is told of the network and the checks' rows.
void RunNetworkStage(const TRunOptions& o, IRunUI& ui, TCheckSink* checks, std::vector<TWrittenTable>& tables);

// How much of the findings' text of a check running ahead of the one being
// handed over waits in memory before the rest goes to a temporary file
// (tests lower it to see the file at work); returns the bound before.
size_t SetCheckTextInMemory(size_t bytes);
