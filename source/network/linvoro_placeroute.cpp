#include "linvoro_placeroute.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "linvoro_quadtree.h"

namespace {

constexpr double NoCap = std::numeric_limits<double>::infinity();

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

void TLegRouter::THashLabels::Reset() {
  if (FSlots.empty()) {
    FSlots.resize(1024);
    FMask = 1023;
  }
  for (uint32_t i : FUsed) FSlots[i] = TEntry{};
  FUsed.clear();
}

const TLegRouter::THashLabels::TEntry* TLegRouter::THashLabels::Find(int32_t n) const {
  if (FSlots.empty()) return nullptr;
  uint32_t i = (static_cast<uint32_t>(n) * 2654435761u) & FMask;
  for (;;) {
    const TEntry& e = FSlots[i];
    if (e.node == n) return &e;
    if (e.node == 0) return nullptr;
    i = (i + 1) & FMask;
  }
}

void TLegRouter::THashLabels::Grow() {
  std::vector<TEntry> old;
  old.reserve(FUsed.size());
  for (uint32_t i : FUsed) old.push_back(FSlots[i]);
  FSlots.assign(FSlots.size() * 2, TEntry{});
  FMask = static_cast<uint32_t>(FSlots.size() - 1);
  FUsed.clear();
  for (const TEntry& e : old) Settle(e.node, e.cost, e.from, e.link);
}

void TLegRouter::THashLabels::Settle(int32_t n, float cost, int32_t from, int32_t link) {
  if (FSlots.empty()) Reset();
  // At most half full, so that probes stay short.
  if ((FUsed.size() + 1) * 2 > FSlots.size()) Grow();
  uint32_t i = (static_cast<uint32_t>(n) * 2654435761u) & FMask;
  while (FSlots[i].node != 0 && FSlots[i].node != n) i = (i + 1) & FMask;
  if (FSlots[i].node == 0) FUsed.push_back(i);
  FSlots[i] = TEntry{n, from, link, cost};
}

bool TLegRouter::THashLabels::Predecessor(int32_t n, int32_t& from, int32_t& link) const {
  const TEntry* e = Find(n);
  if (!e) return false;
  from = e->from;
  link = e->link;
  return true;
}

// ------------------------------------------------------------ router

// A mapped network as RunNodeSearch reads it, with the router's cost as the
// links' length. It knows no cul-de-sac links: finding them would read the
// whole network, and they only prune.
struct TLegRouter::TCostGraph {
  // The goals' points are asked for at every step of the search (a place
  // inside a link has two goals, its ends): they are read once.
  TCostGraph(TLegRouter& router, const std::vector<TSearchGoal>& goals) : r(router) {
    for (size_t i = 0; i < goals.size() && i < 2; ++i) {
      goal[i] = goals[i].node;
      goalPoint[i] = r.FNW.NodePoint(goals[i].node);
    }
  }
  TLegRouter& r;
  int32_t goal[2] = {0, 0};
  TFloatPoint goalPoint[2]{};
  int32_t Degree(int32_t n) const { return r.FNW.Degree(n); }
  int32_t NodeLink(int32_t n, int32_t k) const { return r.FNW.NodeLink(n, k); }
  int32_t OtherNode(int32_t L, int32_t n) const { return r.FNW.OtherNode(L, n); }
  float Length(int32_t L) const { return r.Cost(L, 1); }
  bool CulDeSac(int32_t) const { return false; }
  // A node is reached by each of its links, and its distance to a goal
  // asked each time: the last answers are kept by node.
  double Distance(int32_t n1, int32_t n2) const {
    TKnown& k = known[(static_cast<uint32_t>(n1) * 2654435761u >> 20) & (KnownSlots - 1)];
    if (k.node == n1 && k.goal == n2) return k.distance;
    const TFloatPoint p = r.FNW.NodePoint(n1);
    double d;
    if (n2 == goal[0])
      d = r.FNW.Distance(p, goalPoint[0]);
    else if (n2 == goal[1])
      d = r.FNW.Distance(p, goalPoint[1]);
    else
      d = r.FNW.Distance(p, r.FNW.NodePoint(n2));
    k = {n1, n2, d};
    return d;
  }
  struct TKnown {
    int32_t node = 0, goal = 0;
    double distance = 0;
  };
  static constexpr size_t KnownSlots = 4096;
  std::unique_ptr<TKnown[]> known{new TKnown[KnownSlots]};
};

void TLegRouter::SetFastest(bool fastest) {
  if (fastest && !FSpeeds) throw Exception("The fastest route needs the links' speeds");
  FFastest = fastest;
}

double TLegRouter::LinkSeconds(int32_t link, double part) {
  if (!FSpeeds) return 0;
  return part * FNW.Length(link) / FSpeeds->Speed(link) * 3600;
}

float TLegRouter::Cost(int32_t link, double part) {
  return static_cast<float>(FFastest ? LinkSeconds(link, part) : part * FNW.Length(link));
}

TSubnetProbe TLegRouter::ProbeSubnet(const TLinkPlace& p, int32_t maxNodes) {
  TSubnetProbe probe;
  if (!p.Placed()) return probe;
  // The labels of the search serve as the set of nodes seen.
  FLabels.Reset();
  std::vector<int32_t> queue{FNW.FromNode(p.link)};
  FLabels.Settle(queue.front(), 0, 0, 0);
  TLazyNetwork::TLinkEnds ends;
  for (size_t i = 0; i < queue.size(); ++i) {
    if (static_cast<int32_t>(queue.size()) > maxNodes) return probe;
    const int32_t n = queue[i];
    const int32_t deg = FNW.Degree(n);
    for (int32_t k = 1; k <= deg; ++k) {
      const int32_t L = std::abs(FNW.NodeLink(n, k, ends));
      if (((ends.attribute >> 9) & 3) == 3 && L != p.link) continue;
      if (ends.from == n) probe.links.push_back(L);  // each link once, from its from-node
      const int32_t o = ends.from + ends.to - n;
      if (!FLabels.Settled(o)) {
        FLabels.Settle(o, 0, 0, 0);
        queue.push_back(o);
      }
    }
  }
  probe.whole = true;
  std::sort(probe.links.begin(), probe.links.end());
  probe.links.erase(std::unique(probe.links.begin(), probe.links.end()), probe.links.end());
  return probe;
}

TLegRouter::TLegRouter(TLazyNetwork& NW)
    : FNW(NW), FGeo(TSpatialSearch::GeometryOf(NW.CoordinateUnit(), NW.DistFactor())) {}

void TLegRouter::Place(const std::vector<TFloatPoint>& points, double maxDistance,
                       std::vector<TLinkPlace>& places, const std::vector<int32_t>* skip) {
  const size_t n = points.size();
  places.assign(n, TLinkPlace{});
  struct TBest {
    double dist;    // search distance of the nearest segment so far
    TFloatRect rect;  // what can still be nearer
    int32_t link = 0, segment = 0;
  };
  // A link exactly maxDistance away still counts.
  const double reach = std::nextafter(maxDistance / FGeo.distfactor, std::numeric_limits<double>::infinity());
  std::vector<TBest> best(n);
  for (size_t i = 0; i < n; ++i) places[i].given = points[i];
  if (n == 0) return;
  // Most points lie a few metres from a road, and the search near them
  // reads and measures a small part of what the whole snap distance holds:
  // the radius grows from 30 m fourfold up to the snap distance, and a point
  // stays with what the first radius that meets a link finds. That is the
  // nearest link, and the same one a search over the whole distance picks:
  // every segment at most as far lies inside the smaller rectangle, and the
  // leaves are read in the same order.
  std::vector<size_t> open(n);
  for (size_t i = 0; i < n; ++i) open[i] = i;
  std::vector<TFloatRect> areas;
  std::vector<TFloatPoint> run;
  for (double radius = std::min(reach, 0.03 / FGeo.distfactor); !open.empty(); radius = std::min(reach, radius * 4)) {
    const bool last = radius >= reach;
    const double r = last ? reach : std::nextafter(radius, std::numeric_limits<double>::infinity());
    for (size_t i : open) {
      best[i].dist = r;
      best[i].rect = FGeo.SearchRect(points[i], r);
    }
    // The leaves the points can reach: the rest of the index need not be
    // read. Each point's own rectangle ends the reading sooner than the one
    // around them all; for many points, whose rectangles each leaf would be
    // tested against, the one around them all.
    constexpr size_t OwnAreas = 16;
    areas.clear();
    if (open.size() <= OwnAreas) {
      for (size_t i : open) areas.push_back(best[i].rect);
    } else {
      TFloatRect area = best[open[0]].rect;
      for (size_t i : open) {
        area.xmin = std::min(area.xmin, best[i].rect.xmin);
        area.ymin = std::min(area.ymin, best[i].rect.ymin);
        area.xmax = std::max(area.xmax, best[i].rect.xmax);
        area.ymax = std::max(area.ymax, best[i].rect.ymax);
      }
      areas.push_back(area);
    }
    FNW.ScanLeaves(areas.data(), areas.size(), [&](const TFloatRect& rect, const uint8_t* entries, int32_t count) {
      for (size_t i : open) {
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
          if (skip && std::binary_search(skip->begin(), skip->end(), L)) continue;
          const int32_t vertices = FNW.VertexCount(L);
          if (first >= end || end >= vertices)
            FNW.Corrupt(SpatialIndexFileName, "lists vertices " + std::to_string(first) + ".." +
                                                  std::to_string(end) + " of link " + std::to_string(L));
          FNW.Vertices(L, first, end, run);
          int32_t j;
          TFloatPoint foot;
          if (FGeo.NearestSegment(P, run.data(), 0, static_cast<int32_t>(run.size()) - 1, NoCap, b.rect, b.dist, j,
                                  foot)) {
            b.link = L;
            b.segment = first + j;
          }
        }
      }
    });
    if (last) break;
    open.erase(std::remove_if(open.begin(), open.end(), [&](size_t i) { return best[i].link != 0; }), open.end());
  }
  for (size_t i = 0; i < n; ++i) {
    const TBest& b = best[i];
    if (b.link == 0) continue;
    TLinkPlace& p = places[i];
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

void TLegRouter::FinishPlace(TLinkPlace& p, const TFloatPointArrayEx& line) {
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

void TLegRouter::Seeds(const TLinkPlace& a, std::vector<TSearchSeed>& seeds, bool ignoreOneWay) {
  seeds.clear();
  if (a.node != 0) {
    seeds.push_back({a.node, 0, 0});
    return;
  }
  const int32_t L = a.link, w = ignoreOneWay ? 0 : FNW.Oneway(L);
  if (Forward(w)) seeds.push_back({FNW.ToNode(L), Cost(L, 1 - a.percent), L});
  if (Backward(w)) seeds.push_back({FNW.FromNode(L), Cost(L, a.percent), -L});
}

void TLegRouter::Goals(const TLinkPlace& b, std::vector<TSearchGoal>& goals, std::vector<int32_t>& goalLinks,
                         bool ignoreOneWay) {
  goals.clear();
  goalLinks.clear();
  if (b.node != 0) {
    goals.push_back({b.node, 0});
    goalLinks.push_back(0);
    return;
  }
  const int32_t L = b.link, w = ignoreOneWay ? 0 : FNW.Oneway(L);
  if (Forward(w)) {
    goals.push_back({FNW.FromNode(L), Cost(L, b.percent)});
    goalLinks.push_back(L);
  }
  if (Backward(w)) {
    goals.push_back({FNW.ToNode(L), Cost(L, 1 - b.percent)});
    goalLinks.push_back(-L);
  }
}

void TLegRouter::Route(const TLinkPlace& a, const TLinkPlace& b, TRouteLeg& R) {
  if (!a.Placed() || !b.Placed()) throw Exception("A route needs two places on the network");
  R = TRouteLeg{};
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
    if (b.percent > a.percent && Forward(w)) {
      direct = Cost(L, b.percent - a.percent);
      directLink = L;
    } else if (b.percent < a.percent && Backward(w)) {
      direct = Cost(L, a.percent - b.percent);
      directLink = -L;
    }
  }
  Seeds(a, FSeeds, false);
  Goals(b, FGoals, FGoalLinks, false);
  float best = SearchNoCost;
  int32_t g = -1;
  if (!FSeeds.empty() && !FGoals.empty())
    g = RunNodeSearch(TCostGraph(*this, FGoals), FLabels, FPQ, FSeeds.data(), static_cast<int32_t>(FSeeds.size()),
                      FGoals.data(), static_cast<int32_t>(FGoals.size()), Alpha(), false,
                      TCulDeSacRule::crAllow, best);
  if (direct >= 0 && (g < 0 || direct <= best)) {
    R.links = {directLink};
  } else {
    if (g < 0) return;
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
  R.found = true;
  // Length and time summed in double along the links, whichever the search
  // minimised.
  const size_t last = R.links.size() - 1;
  for (size_t i = 0; i < R.links.size(); ++i) {
    const int32_t e = R.links[i], L = std::abs(e);
    double from = 0, to = 1;  // of the link in travel direction
    if (i == 0 && a.InsideLink() && a.link == L) from = e > 0 ? a.percent : 1 - a.percent;
    if (i == last && b.InsideLink() && b.link == L) to = e > 0 ? b.percent : 1 - b.percent;
    const double part = std::max(0.0, to - from);
    R.length += part * FNW.Length(L);
    R.duration += LinkSeconds(L, part);
  }
}

float TLegRouter::Alpha() {
  // The straight line at the top speed never takes longer than the road.
  if (FFastest) return static_cast<float>(FNW.LengthAlpha() * 3600 / FSpeeds->MaxSpeed());
  return FNW.LengthAlpha();
}

bool TLegRouter::Connected(const TLinkPlace& a, const TLinkPlace& b) {
  if (!a.Placed() || !b.Placed()) return false;
  if (a.link == b.link || (a.node != 0 && a.node == b.node)) return true;
  Seeds(a, FSeeds, true);
  Goals(b, FGoals, FGoalLinks, true);
  float best;
  return RunNodeSearch(TCostGraph(*this, FGoals), FLabels, FPQ, FSeeds.data(), static_cast<int32_t>(FSeeds.size()),
                       FGoals.data(), static_cast<int32_t>(FGoals.size()), Alpha(), true,
                       TCulDeSacRule::crAllow, best) >= 0;
}

void TLegRouter::AppendShape(const TRouteLeg& R, std::vector<TFloatPoint>& Line) {
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

std::vector<int32_t> TLegRouter::JoinLegs(const std::vector<TRouteLeg>& legs) {
  std::vector<int32_t> links;
  for (size_t i = 0; i < legs.size(); ++i) {
    const TRouteLeg& leg = legs[i];
    for (size_t j = 0; j < leg.links.size(); ++j) {
      const int32_t e = leg.links[j];
      const bool goesOn = i > 0 && j == 0 && !links.empty() && links.back() == e && leg.from.InsideLink() &&
                          leg.from.link == std::abs(e);
      if (!goesOn) links.push_back(e);
    }
  }
  return links;
}
