#include "linvoro_placeroute.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "linvoro_quadtree.h"

namespace {

// A mapped network as RunNodeSearch reads it. It knows no cul-de-sac links:
// finding them would read the whole network, and they only prune.
struct TLazyGraph {
  const TLazyNetwork& nw;
  int32_t Degree(int32_t n) const { return nw.Degree(n); }
  int32_t NodeLink(int32_t n, int32_t k) const { return nw.NodeLink(n, k); }
  int32_t OtherNode(int32_t L, int32_t n) const { return nw.OtherNode(L, n); }
  float Length(int32_t L) const { return nw.Length(L); }
  bool CulDeSac(int32_t) const { return false; }
  double Distance(int32_t n1, int32_t n2) const { return nw.NodeDistance(n1, n2); }
};

inline bool Overlap(const TFloatRect& a, const TFloatRect& b) {
  return a.xmin <= b.xmax && b.xmin <= a.xmax && a.ymin <= b.ymax && b.ymin <= a.ymax;
}

template <class T>
inline T At(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

bool Forward(int32_t oneway) { return oneway == 0 || oneway == 1; }
bool Backward(int32_t oneway) { return oneway == 0 || oneway == 2; }

}  // namespace

// ------------------------------------------------------------ labels

void TPlaceRouter::THashLabels::Reset() {
  if (FSlots.empty()) {
    FSlots.resize(1024);
    FMask = 1023;
  }
  for (uint32_t i : FUsed) FSlots[i] = TEntry{};
  FUsed.clear();
}

const TPlaceRouter::THashLabels::TEntry* TPlaceRouter::THashLabels::Find(int32_t n) const {
  if (FSlots.empty()) return nullptr;
  uint32_t i = (static_cast<uint32_t>(n) * 2654435761u) & FMask;
  for (;;) {
    const TEntry& e = FSlots[i];
    if (e.node == n) return &e;
    if (e.node == 0) return nullptr;
    i = (i + 1) & FMask;
  }
}

void TPlaceRouter::THashLabels::Grow() {
  std::vector<TEntry> old;
  old.reserve(FUsed.size());
  for (uint32_t i : FUsed) old.push_back(FSlots[i]);
  FSlots.assign(FSlots.size() * 2, TEntry{});
  FMask = static_cast<uint32_t>(FSlots.size() - 1);
  FUsed.clear();
  for (const TEntry& e : old) Settle(e.node, e.cost, e.from, e.link);
}

void TPlaceRouter::THashLabels::Settle(int32_t n, float cost, int32_t from, int32_t link) {
  if (FSlots.empty()) Reset();
  // At most half full, so that probes stay short.
  if ((FUsed.size() + 1) * 2 > FSlots.size()) Grow();
  uint32_t i = (static_cast<uint32_t>(n) * 2654435761u) & FMask;
  while (FSlots[i].node != 0 && FSlots[i].node != n) i = (i + 1) & FMask;
  if (FSlots[i].node == 0) FUsed.push_back(i);
  FSlots[i] = TEntry{n, from, link, cost};
}

bool TPlaceRouter::THashLabels::Predecessor(int32_t n, int32_t& from, int32_t& link) const {
  const TEntry* e = Find(n);
  if (!e) return false;
  from = e->from;
  link = e->link;
  return true;
}

// ------------------------------------------------------------ router

TPlaceRouter::TPlaceRouter(TLazyNetwork& NW)
    : FNW(NW), FGeo(TSpatialSearch::GeometryOf(NW.CoordinateUnit(), NW.DistFactor())) {}

void TPlaceRouter::Place(const std::vector<TFloatPoint>& points, double maxDistance,
                         std::vector<TRoutePlace>& places) {
  const size_t n = points.size();
  places.assign(n, TRoutePlace{});
  struct TBest {
    double dist;    // search distance of the nearest segment so far
    TFloatRect rect;  // what can still be nearer
    int32_t link = 0, segment = 0;
  };
  // A link exactly maxDistance away still counts.
  const double reach = std::nextafter(maxDistance / FGeo.distfactor, std::numeric_limits<double>::infinity());
  std::vector<TBest> best(n);
  for (size_t i = 0; i < n; ++i) {
    places[i].given = points[i];
    best[i].dist = reach;
    best[i].rect = FGeo.SearchRect(points[i], reach);
  }
  if (n == 0) return;
  // The leaves the points can reach: the rest of the index need not be read.
  TFloatRect area = best[0].rect;
  for (size_t i = 1; i < n; ++i) {
    area.xmin = std::min(area.xmin, best[i].rect.xmin);
    area.ymin = std::min(area.ymin, best[i].rect.ymin);
    area.xmax = std::max(area.xmax, best[i].rect.xmax);
    area.ymax = std::max(area.ymax, best[i].rect.ymax);
  }
  std::vector<TFloatPoint> run;
  FNW.ScanLeaves(area, [&](const TFloatRect& rect, const uint8_t* entries, int32_t count) {
    for (size_t i = 0; i < n; ++i) {
      TBest& b = best[i];
      if (!Overlap(rect, b.rect)) continue;
      const TFloatPoint& P = points[i];
      for (int32_t k = 0; k < count; ++k) {
        const uint8_t* e = entries + 8 * k;
        const int32_t L = At<int32_t>(e);
        const int32_t first = At<uint16_t>(e + 4), end = At<uint16_t>(e + 6);
        if (end == 0) continue;  // a node
        if (L < 1 || L > FNW.LinkCount() || FNW.Length(L) == 0)
          FNW.Corrupt(SpatialIndexFileName, "lists link " + std::to_string(L));
        if (FNW.Oneway(L) == 3) continue;  // closed both ways: no place to start or end
        const int32_t vertices = FNW.VertexCount(L);
        if (first >= end || end >= vertices)
          FNW.Corrupt(SpatialIndexFileName, "lists vertices " + std::to_string(first) + ".." +
                                                std::to_string(end) + " of link " + std::to_string(L));
        run.clear();
        for (int32_t v = first; v <= end; ++v) run.push_back(FNW.Vertex(L, v));
        for (int32_t j = 1; j < static_cast<int32_t>(run.size()); ++j) {
          const TFloatPoint& A = run[static_cast<size_t>(j) - 1];
          const TFloatPoint& B = run[static_cast<size_t>(j)];
          if (FGeo.SegmentMisses(A, B, b.rect)) continue;
          double frac;
          TFloatPoint foot;
          int32_t side;
          const double d = FGeo.SegmentDist(P, A, B, frac, foot, side);
          if (d < b.dist) {
            b.dist = d;
            b.link = L;
            b.segment = first + j;
            b.rect = FGeo.SearchRect(P, d);
          }
        }
      }
    }
  });
  for (size_t i = 0; i < n; ++i) {
    const TBest& b = best[i];
    if (b.link == 0) continue;
    TRoutePlace& p = places[i];
    FNW.ReadGISSection(b.link, FLine);
    // The position along the shape, measured as the search measures.
    double before = 0, total = 0, segLen = 0;
    for (int32_t j = 1; j < FLine.Count; ++j) {
      const double l = FGeo.Dist(FLine.Pnt[j - 1], FLine.Pnt[j]);
      if (j < b.segment) before += l;
      if (j == b.segment) segLen = l;
      total += l;
    }
    double frac;
    int32_t side;
    const double d = FGeo.SegmentDist(p.given, FLine.Pnt[b.segment - 1], FLine.Pnt[b.segment], frac, p.point, side);
    const double along = before + frac * segLen;
    p.link = b.link;
    p.segment = b.segment;
    p.percent = total == 0 ? 0 : (along >= total ? 1.0 : along / total);
    p.distance = d * FGeo.distfactor;
    FinishPlace(p, FLine);
  }
}

void TPlaceRouter::FinishPlace(TRoutePlace& p, const TFloatPointArrayEx& line) {
  // A foot a rounding away from a link's end is that end: the great-circle
  // tilt of the link at its ends (TGeometry::EndSlack) and a millimetre.
  const double len = FNW.Length(p.link);
  const double slack = FGeo.EndSlack(p.point, p.distance, len) + 1e-6;
  int32_t node = 0;
  if (p.percent * len <= slack) {
    node = FNW.FromNode(p.link);
    p.percent = 0;
    p.segment = 1;
  } else if ((1 - p.percent) * len <= slack) {
    node = FNW.ToNode(p.link);
    p.percent = 1;
    p.segment = line.Count - 1;
  }
  if (node == 0) return;
  p.node = node;
  p.point = FNW.NodePoint(node);
  p.distance = FNW.Distance(p.given, p.point);
}

void TPlaceRouter::Seeds(const TRoutePlace& a, std::vector<TSearchSeed>& seeds, bool ignoreOneWay) {
  seeds.clear();
  if (a.node != 0) {
    seeds.push_back({a.node, 0, 0});
    return;
  }
  const int32_t L = a.link, w = ignoreOneWay ? 0 : FNW.Oneway(L);
  const double len = FNW.Length(L);
  if (Forward(w)) seeds.push_back({FNW.ToNode(L), static_cast<float>((1 - a.percent) * len), L});
  if (Backward(w)) seeds.push_back({FNW.FromNode(L), static_cast<float>(a.percent * len), -L});
}

void TPlaceRouter::Goals(const TRoutePlace& b, std::vector<TSearchGoal>& goals, std::vector<int32_t>& goalLinks,
                         bool ignoreOneWay) {
  goals.clear();
  goalLinks.clear();
  if (b.node != 0) {
    goals.push_back({b.node, 0});
    goalLinks.push_back(0);
    return;
  }
  const int32_t L = b.link, w = ignoreOneWay ? 0 : FNW.Oneway(L);
  const double len = FNW.Length(L);
  if (Forward(w)) {
    goals.push_back({FNW.FromNode(L), static_cast<float>(b.percent * len)});
    goalLinks.push_back(L);
  }
  if (Backward(w)) {
    goals.push_back({FNW.ToNode(L), static_cast<float>((1 - b.percent) * len)});
    goalLinks.push_back(-L);
  }
}

void TPlaceRouter::Route(const TRoutePlace& a, const TRoutePlace& b, TPlaceRoute& R) {
  if (!a.Placed() || !b.Placed()) throw Exception("A route needs two places on the network");
  R = TPlaceRoute{};
  R.from = a;
  R.to = b;
  if ((a.node != 0 && a.node == b.node) ||
      (a.InsideLink() && b.InsideLink() && a.link == b.link && a.percent == b.percent)) {
    R.found = true;  // the same place
    return;
  }
  // Along the one link both places lie inside, when its direction allows.
  double direct = -1;
  int32_t directLink = 0;
  if (a.InsideLink() && b.InsideLink() && a.link == b.link) {
    const int32_t L = a.link, w = FNW.Oneway(L);
    const double len = FNW.Length(L);
    if (b.percent > a.percent && Forward(w)) {
      direct = (b.percent - a.percent) * len;
      directLink = L;
    } else if (b.percent < a.percent && Backward(w)) {
      direct = (a.percent - b.percent) * len;
      directLink = -L;
    }
  }
  Seeds(a, FSeeds, false);
  Goals(b, FGoals, FGoalLinks, false);
  float best = SearchNoCost;
  int32_t g = -1;
  if (!FSeeds.empty() && !FGoals.empty())
    g = RunNodeSearch(TLazyGraph{FNW}, FLabels, FPQ, FSeeds.data(), static_cast<int32_t>(FSeeds.size()),
                      FGoals.data(), static_cast<int32_t>(FGoals.size()), FNW.LengthAlpha(), false,
                      TCulDeSacRule::crAllow, best);
  if (direct >= 0 && (g < 0 || direct <= best)) {
    R.found = true;
    R.length = direct;
    R.links = {directLink};
    return;
  }
  if (g < 0) return;
  R.found = true;
  R.length = best;
  // Back from the goal's node to a seed, then turned into travel order.
  int32_t n = FGoals[static_cast<size_t>(g)].node;
  for (int32_t steps = 0;; ++steps) {
    int32_t from, link;
    if (!FLabels.Predecessor(n, from, link) || steps > FNW.NodeCount())
      throw Exception("The route search lost its way back at node " + std::to_string(n));
    if (from == 0) {
      if (link != 0) R.links.push_back(link);
      break;
    }
    R.links.push_back(FNW.FromNode(link) == from && FNW.ToNode(link) == n ? link : -link);
    n = from;
  }
  std::reverse(R.links.begin(), R.links.end());
  if (FGoalLinks[static_cast<size_t>(g)] != 0) R.links.push_back(FGoalLinks[static_cast<size_t>(g)]);
}

bool TPlaceRouter::Connected(const TRoutePlace& a, const TRoutePlace& b) {
  if (!a.Placed() || !b.Placed()) return false;
  if (a.link == b.link || (a.node != 0 && a.node == b.node)) return true;
  Seeds(a, FSeeds, true);
  Goals(b, FGoals, FGoalLinks, true);
  float best;
  return RunNodeSearch(TLazyGraph{FNW}, FLabels, FPQ, FSeeds.data(), static_cast<int32_t>(FSeeds.size()),
                       FGoals.data(), static_cast<int32_t>(FGoals.size()), FNW.LengthAlpha(), true,
                       TCulDeSacRule::crAllow, best) >= 0;
}

void TPlaceRouter::AppendShape(const TPlaceRoute& R, std::vector<TFloatPoint>& Line) {
  auto push = [&](const TFloatPoint& p) {
    if (Line.empty() || !(Line.back() == p)) Line.push_back(p);
  };
  if (R.links.empty()) {
    push(R.from.point);
    push(R.to.point);
    return;
  }
  const size_t last = R.links.size() - 1;
  for (size_t i = 0; i < R.links.size(); ++i) {
    const int32_t e = R.links[i], L = std::abs(e);
    FNW.ReadGISSection(L, FLine);
    const int32_t n = FLine.Count;
    const bool startInside = i == 0 && R.from.InsideLink() && R.from.link == L;
    const bool endInside = i == last && R.to.InsideLink() && R.to.link == L;
    if (startInside) push(R.from.point);
    if (e > 0) {
      const int32_t v0 = startInside ? R.from.segment : 0;
      const int32_t v1 = endInside ? R.to.segment - 1 : n - 1;
      for (int32_t v = v0; v <= v1; ++v) push(FLine.Pnt[static_cast<size_t>(v)]);
    } else {
      const int32_t v0 = startInside ? R.from.segment - 1 : n - 1;
      const int32_t v1 = endInside ? R.to.segment : 0;
      for (int32_t v = v0; v >= v1; --v) push(FLine.Pnt[static_cast<size_t>(v)]);
    }
    if (endInside) push(R.to.point);
  }
}

std::vector<int32_t> TPlaceRouter::JoinLegs(const std::vector<TPlaceRoute>& legs) {
  std::vector<int32_t> links;
  for (size_t i = 0; i < legs.size(); ++i) {
    const TPlaceRoute& leg = legs[i];
    for (size_t j = 0; j < leg.links.size(); ++j) {
      const int32_t e = leg.links[j];
      const bool goesOn = i > 0 && j == 0 && !links.empty() && links.back() == e && leg.from.InsideLink() &&
                          leg.from.link == std::abs(e);
      if (!goesOn) links.push_back(e);
    }
  }
  return links;
}
