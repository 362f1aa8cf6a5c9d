#include "network_stage.h"

#include "run_context.h"

// The network builder and its checks are not part of this program yet; the
// road table is left for them in the output folder.
void RunNetworkStage(TRunContext& /*run*/) {}
