// Pass 1: which ways are roads for the chosen modes, which nodes they need,
// and which nodes are shared (split candidates).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "id_set.h"
#include "include_file.h"
#include "pass_driver.h"
#include "run_options.h"

struct TWaySelection {
  TIdSet Ways;      // the selected ways
  TIdSet Modes[3];  // the selected ways per mode: pedestrian, bicycle, car
  // Nodes the selected ways need; released once their coordinates are read.
  std::unique_ptr<TIdSet> Nodes = std::make_unique<TIdSet>();
  TIdSet SplitNodes;  // nodes that more than one way or place of a way needs
  // Ways with more than MaxWayRefs node references, in the order met: they
  // are reported, and their nodes are not marked.
  std::vector<std::pair<int64_t, size_t>> TooLongWays;
  int32_t HeaderFailedFile = -1;  // the XML file whose header was wrong, else -1
};

// Pass 1 over the driver's files. Writes additional_highway_tags.txt (the
// highway values the include file does not list) into o.MainDir, unless an
// XML file's header is wrong: the message box is shown then, and the
// selection holds the ways of the files before it.
std::unique_ptr<TWaySelection> SelectWays(TPassDriver& driver, const TRunOptions& o, const TIncludeLists& include,
                                          IRunUI& ui);
