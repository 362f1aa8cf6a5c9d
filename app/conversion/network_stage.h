// The network stage of a run: builds the Linvoro 4 network from the road
// table just written and runs the chosen checks. Called by the run driver
// only when "Build Linvoro 4 network" is on, after the conversion objects
// are released.
#pragma once

struct TRunContext;

void RunNetworkStage(TRunContext& run);
