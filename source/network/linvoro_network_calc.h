// Shortest-path search over the node graph of an open network, with link
// length as cost, and the two connectivity analyses built on it: simple
// subnets (connected parts when one-way rules are ignored) and extended
// subnets (one-way links from whose far end there is no way back).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "linvoro_bitarray.h"
#include "linvoro_network.h"
#include "linvoro_pq.h"
#include "linvoro_progress.h"
#include "linvoro_types.h"

enum TRouteCriteria : uint8_t { rcDist, rcTime, rcCost };

class TCalc : public TProgressCancel {
 public:
  // Not settled yet (P0array).
  static constexpr int32_t NotSettled = 2147483647;
  // No path found yet (cost0).
  static constexpr float NoCost = 1e38f;

  // The network must outlive the engine; it is not owned.
  TCalc(TNetwork* NW, bool aTurnmode);
  ~TCalc() override;

  // IA[link] = number of the link's connected part, 0 for the largest one
  // (most links; the one found first wins ties), 0 for placeholder links.
  // One-way rules are ignored. Returns the number of parts minus one.
  // Raises Exception "Loop links are not allowed in the network". Stopped
  // by the progress handler's Cancel, IA is incomplete (Cancelled()).
  int32_t SubNet(TIntegerArray& IA);

  bool IgnoreOneWay() const { return FIgnoreOneWay; }
  void SetIgnoreOneWay(bool v) { FIgnoreOneWay = v; }
  bool TurnMode() const { return FTurnMode; }
  TRouteCriteria RouteCriteria() const { return FRouteCriteria; }
  // Nodes a route may neither start nor end at (not owned; may be null).
  void SetSkipNodeList(const TBitArray* v) { FSkipNodeList = v; }

  // Results of the last search, index 0..NodeCount: best cost found, and
  // the predecessor of each settled node (0 for the start node).
  const std::vector<float>& Costs() const { return cost0; }
  const std::vector<int32_t>& Predecessors() const { return P0array; }

 protected:
  // Loop-link refusal and allocation of the per-node arrays.
  void PrepareSearch();
  // Resets the per-node arrays for a new search: only the entries the last
  // search wrote, so that many small searches stay linear overall.
  void ResetNodeArrays();
  // The node search from s. target > 0: stop once target is settled, with
  // the straight-line estimate weighted by Falpha in the queue key and the
  // cul-de-sac rule applied; target = 0: search to exhaustion.
  void NodeSearch(int32_t s, int32_t target);
  void Touch(int32_t node) {
    if (!FTouchedMark[node]) {
      FTouchedMark[node] = 1;
      FTouched.push_back(node);
    }
  }
  // Straight-line distance between two nodes in km.
  double NodeDistance(int32_t n1, int32_t n2) const;

  TNetwork* FNW;
  bool FTurnMode;
  TRouteCriteria FRouteCriteria = rcDist;
  bool FIgnoreOneWay = false;
  uint8_t Flimit[9] = {};  // Flimit1 .. Flimit9
  bool Fanylimit = false;
  bool FNoDriveThrough = false;
  bool FHierarchy = false;
  const TBitArray* FSkipLinkList = nullptr;
  const TBitArray* fIncludeNodes = nullptr;
  const TBitArray* FSkipNodeList = nullptr;
  std::vector<float> cost0;
  std::vector<int32_t> P0array;
  TPQ PQ1, PQ2;
  float Falpha = 0;
  // Nodes whose entries the last search changed.
  std::vector<int32_t> FTouched;
  std::vector<uint8_t> FTouchedMark;
};

class TRouteCalc : public TCalc {
 public:
  TRouteCalc(TNetwork* NW, bool Turnmode);

  // IA[link] = 1 for a one-way link that can be entered but from whose far
  // end its near end can never be reached again (by any route that obeys
  // the one-way rules); else 0. Returns the number of such links. Same
  // loop-link refusal and the same stop as SubNet.
  int32_t SubNetEx(TIntegerArray& IA);

  // Length in km of the shortest route from node1 to node2 that obeys the
  // one-way rules; -1 when there is none, 0 when node1 = node2. Node ids
  // are checked (EOutOfRange).
  float Route(int32_t node1, int32_t node2);

  // The route to target found by the last search, in travel order (links
  // negative when travelled from their to-node to their from-node); empty
  // when target was not reached.
  void GetRoute(int32_t target, TRoute& R) const;

  float XAlpha() const { return FXAlpha; }
  void SetXAlpha(float v) { FXAlpha = v; }

 protected:
  // Number of the strongly connected part of every node (index 0 unused)
  // in the graph of moves the one-way rules allow.
  std::vector<int32_t> StrongParts() const;

  float FXAlpha = 1.0f;
};
