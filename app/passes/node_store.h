// Pass 2: the coordinates of the nodes pass 1 marked, and the "ref" of each
// (a motorway junction's number, which a motorway link leaving it takes).
#pragma once

#include <memory>

#include "id_set.h"
#include "node_list.h"
#include "pass_driver.h"

struct TNodeCoordinates {
  TNodeListEx Coords;  // sorted by id
  TJunctionList Junctions;
};

// Pass 2 over the driver's files for the nodes in needed.
std::unique_ptr<TNodeCoordinates> StoreNodes(TPassDriver& driver, const TIdSet& needed, IRunUI& ui);
