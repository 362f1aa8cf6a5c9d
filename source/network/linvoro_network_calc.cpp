#include "linvoro_network_calc.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Saves the vehicle limits and the one-way switch of an engine and puts
// them back however the analysis ends.
class TSettingsGuard {
 public:
  TSettingsGuard(uint8_t (&limits)[9], bool& ignoreOneWay)
      : FLimits(limits), FIgnore(ignoreOneWay), FSavedIgnore(ignoreOneWay) {
    std::copy(std::begin(limits), std::end(limits), FSaved);
  }
  ~TSettingsGuard() {
    std::copy(std::begin(FSaved), std::end(FSaved), FLimits);
    FIgnore = FSavedIgnore;
  }
  TSettingsGuard(const TSettingsGuard&) = delete;
  TSettingsGuard& operator=(const TSettingsGuard&) = delete;

 private:
  uint8_t (&FLimits)[9];
  bool& FIgnore;
  uint8_t FSaved[9];
  bool FSavedIgnore;
};

}  // namespace

// ------------------------------------------------------------ TCalc

TCalc::TCalc(TNetwork* NW, bool aTurnmode) : FNW(NW), FTurnMode(aTurnmode) {}

TCalc::~TCalc() = default;

void TCalc::PrepareSearch() {
  if (FNW->LoopLinks()) throw Exception("Loop links are not allowed in the network");
  const size_t n = static_cast<size_t>(FNW->NodeCount()) + 1;
  if (cost0.size() != n) {
    cost0.assign(n, NoCost);
    P0array.assign(n, NotSettled);
    FTouchedMark.assign(n, 0);
    FTouched.clear();
  }
}

void TCalc::ResetNodeArrays() {
  for (int32_t node : FTouched) {
    cost0[node] = NoCost;
    P0array[node] = NotSettled;
    FTouchedMark[node] = 0;
  }
  FTouched.clear();
}

namespace {

// A loaded network as RunNodeSearch reads it: the flat arrays, unchecked.
struct TNetworkGraph {
  const TNetwork& nw;
  const float* len = nw.Lengths();
  const int32_t* fromN = nw.FromNodes();
  const int32_t* toN = nw.ToNodes();
  const TBitArray& cds = nw.CulDeSacSet();

  int32_t Degree(int32_t n) const { return nw.DegreeRaw(n); }
  int32_t NodeLink(int32_t n, int32_t k) const { return nw.NodeLinkRaw(n, k); }
  int32_t OtherNode(int32_t L, int32_t n) const { return fromN[L] + toN[L] - n; }
  float Length(int32_t L) const { return len[L]; }
  bool CulDeSac(int32_t L) const { return cds.GetBit(L); }
  double Distance(int32_t n1, int32_t n2) const {
    return nw.DistanceRaw(nw.NodePointRaw(n1), nw.NodePointRaw(n2));
  }
};

}  // namespace

struct TCalc::TArrayLabels {
  TCalc& c;
  // Only the entries the last search wrote, so that many small searches
  // stay linear overall.
  void Reset() { c.ResetNodeArrays(); }
  bool Settled(int32_t n) const { return c.P0array[n] != NotSettled; }
  float Cost(int32_t n) const { return c.cost0[n]; }
  void Settle(int32_t n, float cost, int32_t from, int32_t /*link*/) {
    c.cost0[n] = cost;
    c.P0array[n] = from;
    c.Touch(n);
  }
};

void TCalc::NodeSearch(int32_t s, int32_t target) {
  const TNetworkGraph g{*FNW};
  const bool route = target > 0;
  // Cul-de-sac rule: tree-shaped dead ends cannot lie on a route between two
  // nodes outside them, so they are only entered when the target lies in
  // one, or left when the start does.
  auto inside = [&](int32_t node) {
    const int32_t deg = FNW->DegreeRaw(node);
    for (int32_t k = 1; k <= deg; ++k)
      if (!g.cds.GetBit(std::abs(FNW->NodeLinkRaw(node, k)))) return false;
    return true;
  };
  TCulDeSacRule rule = TCulDeSacRule::crAllow;
  if (route && !inside(target)) rule = inside(s) ? TCulDeSacRule::crUntilLeft : TCulDeSacRule::crForbid;
  const TSearchSeed seed{s, 0, 0};
  const TSearchGoal goal{target, 0};
  TArrayLabels labels{*this};
  float best;
  RunNodeSearch(g, labels, PQ1, &seed, 1, &goal, route ? 1 : 0, Falpha, FIgnoreOneWay, rule, best);
}

int32_t TCalc::SubNet(TIntegerArray& IA) {
  PrepareSearch();
  TSettingsGuard guard(Flimit, FIgnoreOneWay);
  std::fill(std::begin(Flimit), std::end(Flimit), 0);
  FIgnoreOneWay = true;

  const int32_t links = FNW->LinkCount(), nodes = FNW->NodeCount();
  IA.assign(static_cast<size_t>(links) + 1, 0);
  if (nodes == 0) return 0;
  std::vector<int32_t> sub(static_cast<size_t>(nodes) + 1, -1);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(nodes);
  FCancelled = false;
  int32_t i = -1, start = 1, assigned = 0;
  for (;;) {
    ++i;
    NodeSearch(start, 0);
    for (int32_t n : FTouched) sub[n] = i;
    assigned += static_cast<int32_t>(FTouched.size());
    if (EventAssigned()) {
      ProgressExecute(assigned);
      // Stopped: the array is incomplete and the caller is to drop it.
      if (FCancelled) return i;
    }
    while (start <= nodes && sub[start] != -1) ++start;
    if (start > nodes) break;
  }
  const float* len = FNW->Lengths();
  const int32_t* fromN = FNW->FromNodes();
  for (int32_t l = 1; l <= links; ++l)
    if (len[l] != 0) IA[l] = sub[fromN[l]];
  if (i > 0) {
    std::vector<int64_t> count(static_cast<size_t>(i) + 1, 0);
    for (int32_t l = 1; l <= links; ++l)
      if (len[l] != 0) ++count[IA[l]];
    int32_t m = 0;
    for (int32_t k = 1; k <= i; ++k)
      if (count[k] > count[m]) m = k;
    if (m != 0)
      for (int32_t l = 1; l <= links; ++l) {
        if (len[l] == 0) continue;
        if (IA[l] == 0)
          IA[l] = m;
        else if (IA[l] == m)
          IA[l] = 0;
      }
  }
  if (EventAssigned()) ProgressExecuteZero();
  return i;
}

// ------------------------------------------------------------ TRouteCalc

TRouteCalc::TRouteCalc(TNetwork* NW, bool Turnmode) : TCalc(NW, Turnmode) {}

float TRouteCalc::Route(int32_t node1, int32_t node2) {
  PrepareSearch();
  FNW->CheckNode(node1);
  FNW->CheckNode(node2);
  if (FSkipNodeList && (FSkipNodeList->GetBit(node1) || FSkipNodeList->GetBit(node2))) return -1;
  if (node1 == node2) {
    // An empty route: the start is its own target.
    ResetNodeArrays();
    cost0[node1] = 0;
    P0array[node1] = 0;
    Touch(node1);
    return 0;
  }
  Falpha = FNW->LengthAlpha() * FXAlpha;
  NodeSearch(node1, node2);
  return P0array[node2] != NotSettled ? cost0[node2] : -1.0f;
}

void TRouteCalc::GetRoute(int32_t target, TRoute& R) const {
  R.nodes.clear();
  R.links.clear();
  const int32_t nodes = static_cast<int32_t>(P0array.size()) - 1;
  if (target < 1 || target > nodes || P0array[target] == NotSettled) return;
  const float* len = FNW->Lengths();
  const int32_t* fromN = FNW->FromNodes();
  const int32_t* toN = FNW->ToNodes();
  int32_t n = target;
  R.nodes.push_back(n);
  // A route never visits a node twice; the bound guards the walk.
  for (int32_t steps = 0; steps < nodes; ++steps) {
    const int32_t p = P0array[n];
    if (p <= 0 || p > nodes) break;
    int32_t best = 0;
    float bestCost = 0;
    const int32_t deg = FNW->DegreeRaw(n);
    for (int32_t k = 1; k <= deg; ++k) {
      const int32_t L = std::abs(FNW->NodeLinkRaw(n, k));
      if (fromN[L] + toN[L] - n != p) continue;
      if (!FIgnoreOneWay) {
        // The link's entry at p tells whether it may be left from p.
        bool allowed = false;
        const int32_t degp = FNW->DegreeRaw(p);
        for (int32_t j = 1; j <= degp; ++j) {
          const int32_t e = FNW->NodeLinkRaw(p, j);
          if (e == L) {
            allowed = true;
            break;
          }
        }
        if (!allowed) continue;
      }
      const float c = len[L];
      if (c > 0 && (best == 0 || c < bestCost)) {
        best = L;
        bestCost = c;
      }
    }
    if (best == 0) {
      // Predecessors that no usable link joins: not a route of this network.
      R.nodes.clear();
      R.links.clear();
      return;
    }
    R.links.push_back(fromN[best] == p ? best : -best);
    n = p;
    R.nodes.push_back(n);
  }
  std::reverse(R.nodes.begin(), R.nodes.end());
  std::reverse(R.links.begin(), R.links.end());
}

int32_t TRouteCalc::SubNetEx(TIntegerArray& IA) {
  PrepareSearch();
  TSettingsGuard guard(Flimit, FIgnoreOneWay);
  std::fill(std::begin(Flimit), std::end(Flimit), 0);

  // A one-way link u -> v has a way back exactly when v reaches u, that is
  // when u and v lie in one strongly connected part of the graph of allowed
  // moves. One pass over the graph decides every link; a return-route
  // search per link would cost a search of the whole reachable network for
  // every link that has no way back.
  const std::vector<int32_t> part = StrongParts();

  const int32_t links = FNW->LinkCount();
  const float* len = FNW->Lengths();
  const int32_t* fromN = FNW->FromNodes();
  const int32_t* toN = FNW->ToNodes();
  const uint16_t* attr = FNW->Attributes();
  IA.assign(static_cast<size_t>(links) + 1, 0);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(links);
  FCancelled = false;
  int32_t n = 0;
  for (int32_t l = 1; l <= links; ++l) {
    if (len[l] == 0) continue;
    const int32_t w = (attr[l] >> 9) & 3;
    if ((w == 1 || w == 2) && part[fromN[l]] != part[toN[l]]) {
      IA[l] = 1;
      ++n;
    }
    if (EventAssigned() && (l & 4095) == 0) {
      ProgressExecute(l);
      // Stopped: the array is incomplete and the caller is to drop it.
      if (FCancelled) break;
    }
  }
  if (EventAssigned()) ProgressExecuteZero();
  return n;
}

std::vector<int32_t> TRouteCalc::StrongParts() const {
  // Tarjan's algorithm without recursion; moves follow the node lists'
  // signs (a negative entry may not be used to leave its node).
  const int32_t nodes = FNW->NodeCount();
  const int32_t* fromN = FNW->FromNodes();
  const int32_t* toN = FNW->ToNodes();
  std::vector<int32_t> index(static_cast<size_t>(nodes) + 1, 0), low(index.size(), 0);
  std::vector<int32_t> part(index.size(), -1);
  std::vector<int32_t> stack;
  struct TFrame {
    int32_t node, slot;
  };
  std::vector<TFrame> calls;
  int32_t counter = 0, parts = 0;
  for (int32_t root = 1; root <= nodes; ++root) {
    if (index[root] != 0) continue;
    calls.push_back({root, 1});
    index[root] = low[root] = ++counter;
    stack.push_back(root);
    while (!calls.empty()) {
      TFrame& f = calls.back();
      const int32_t v = f.node;
      if (f.slot <= FNW->DegreeRaw(v)) {
        const int32_t e = FNW->NodeLinkRaw(v, f.slot++);
        if (e < 1) continue;
        const int32_t o = fromN[e] + toN[e] - v;
        if (index[o] == 0) {
          index[o] = low[o] = ++counter;
          stack.push_back(o);
          calls.push_back({o, 1});
        } else if (part[o] < 0) {
          low[v] = std::min(low[v], index[o]);
        }
        continue;
      }
      if (low[v] == index[v]) {
        int32_t w;
        do {
          w = stack.back();
          stack.pop_back();
          part[w] = parts;
        } while (w != v);
        ++parts;
      }
      calls.pop_back();
      if (!calls.empty()) {
        const int32_t u = calls.back().node;
        low[u] = std::min(low[u], low[v]);
      }
    }
  }
  return part;
}
