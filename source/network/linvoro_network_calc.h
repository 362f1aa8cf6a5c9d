// Shortest-path search over the node graph of a network, with link length
// as cost, and the two connectivity analyses built on it: simple subnets
// (connected parts when one-way rules are ignored) and extended subnets
// (one-way links from whose far end there is no way back).
//
// The search itself (RunNodeSearch) is written once for any network that
// answers a few questions about its nodes and links: TCalc runs it on a
// loaded TNetwork, the place router (linvoro_placeroute) on a network read
// where the search goes (TLazyNetwork).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "linvoro_bitarray.h"
#include "linvoro_network.h"
#include "linvoro_pq.h"
#include "linvoro_progress.h"
#include "linvoro_types.h"

enum TRouteCriteria : uint8_t { rcDist, rcTime, rcCost };

// Where a search starts: a node, reached at cost from the start (0 for a
// start at the node itself), by link (signed in travel direction; 0 none).
struct TSearchSeed {
  int32_t node = 0;
  float cost = 0;
  int32_t link = 0;
};

// Where a search may end: a node, and what is still to travel from it.
struct TSearchGoal {
  int32_t node = 0;
  float extra = 0;
};

// Whether a route search may use cul-de-sac links: always, never, or until
// it first leaves them (a start inside a dead-end tree).
enum class TCulDeSacRule : uint8_t { crAllow, crForbid, crUntilLeft };

inline constexpr float SearchNoCost = 1e38f;

// The node search from seeds, in order of cost (plus alpha times the
// straight-line distance to the nearest goal, when there are goals).
//
// TGraph answers, for node n, slot k and link L:
//   int32_t Degree(n); int32_t NodeLink(n, k) (k = 1..Degree(n); below 1:
//   the link may not be used to leave n); int32_t OtherNode(L, n);
//   float Length(L); bool CulDeSac(L); double Distance(n1, n2) (km).
// TLabels keeps what the search settles:
//   void Reset(); bool Settled(n); float Cost(n) (SearchNoCost until
//   settled); void Settle(n, cost, fromNode, link).
//
// Without goals the search runs to exhaustion and returns -1. With goals it
// returns the index of the goal whose cost plus extra is least (best gets
// that total), once no queued item can do better or every goal is settled;
// -1 (best = SearchNoCost) when no goal can be reached.
template <class TGraph, class TLabels>
int32_t RunNodeSearch(const TGraph& g, TLabels& labels, TPQ& pq, const TSearchSeed* seeds,
                      int32_t seedCount, const TSearchGoal* goals, int32_t goalCount, float alpha,
                      bool ignoreOneWay, TCulDeSacRule rule, float& best) {
  labels.Reset();
  pq.Clear();
  best = SearchNoCost;
  int32_t bestGoal = -1, goalsSettled = 0;
  // The straight-line estimate to the nearest goal never exceeds what is
  // left to travel as long as alpha does not exceed any link's ratio of end
  // distance to length.
  auto estimate = [&](int32_t node) -> float {
    if (goalCount == 0) return 0;
    double d = g.Distance(node, goals[0].node);
    for (int32_t i = 1; i < goalCount; ++i) d = std::min(d, g.Distance(node, goals[i].node));
    return static_cast<float>(alpha * d);
  };
  for (int32_t i = 0; i < seedCount; ++i) {
    TPQitem it;
    it.FromNode = 0;
    it.ToNode = seeds[i].node;
    it.link = seeds[i].link;
    it.cost = seeds[i].cost;
    it.sortvar = seeds[i].cost + estimate(seeds[i].node);
    pq.Enq(it);
  }
  bool cdsAllowed = rule != TCulDeSacRule::crForbid;
  const bool cdsUntilLeft = rule == TCulDeSacRule::crUntilLeft;
  for (;;) {
    TPQitem it;
    for (;;) {
      if (pq.Empty()) return bestGoal;
      it = pq.Deq();
      // Every later item costs at least its key: nothing can beat best.
      if (bestGoal >= 0 && it.sortvar >= best) return bestGoal;
      if (cdsUntilLeft && cdsAllowed && it.link != 0 && !g.CulDeSac(std::abs(it.link)))
        cdsAllowed = false;
      if (!labels.Settled(it.ToNode)) break;
    }
    const int32_t c = it.ToNode;
    labels.Settle(c, it.cost, it.FromNode, it.link);
    if (goalCount > 0) {
      bool isGoal = false;
      for (int32_t i = 0; i < goalCount; ++i)
        if (goals[i].node == c) {
          isGoal = true;
          const float total = it.cost + goals[i].extra;
          if (total < best) {
            best = total;
            bestGoal = i;
          }
        }
      if (isGoal && ++goalsSettled == goalCount) return bestGoal;
    }
    const int32_t deg = g.Degree(c);
    for (int32_t k = 1; k <= deg; ++k) {
      int32_t e = g.NodeLink(c, k);
      if (ignoreOneWay) e = std::abs(e);
      if (e < 1) continue;
      if (!cdsAllowed && g.CulDeSac(e)) continue;
      const int32_t o = g.OtherNode(e, c);
      const float nc = it.cost + g.Length(e);
      if (labels.Cost(o) > nc) {
        TPQitem next;
        next.FromNode = c;
        next.ToNode = o;
        next.link = e;
        next.cost = nc;
        next.sortvar = nc + estimate(o);
        pq.Enq(next);
      }
    }
  }
}

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
  // RunNodeSearch's labels kept in cost0 and P0array.
  struct TArrayLabels;

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
