// Routes between points anywhere near a network, not only between its
// nodes: each point is placed on the nearest link that may be travelled, and
// the route search of linvoro_network_calc runs from that place to the next,
// over a TLazyNetwork, so that a route costs what it touches and not what
// the network holds.
//
// A place inside a link reaches the link's ends along the link as far as the
// one-way rules allow, and is reached from them the same way; the parts of
// the first and last link count in the length. A place at a link's end is
// that node, so a point at a junction routes from the junction itself.
#pragma once

#include <cstdint>
#include <vector>

#include "linvoro_lazynetwork.h"
#include "linvoro_network_calc.h"
#include "linvoro_network_spatial.h"
#include "linvoro_pq.h"
#include "linvoro_types.h"

// A point placed on the network.
struct TRoutePlace {
  TFloatPoint given;    // the point asked for (x longitude, y latitude for degrees)
  TFloatPoint point;    // its place on the network
  double distance = 0;  // km from given to point
  int32_t link = 0;     // the link of the place; 0: no usable link near enough
  double percent = 0;   // position along the link's shape, 0 at its from-node, 1 at its to-node
  int32_t segment = 0;  // the shape segment holding the place: vertices segment-1 .. segment
  int32_t node = 0;     // the node the place is, when it lies on a link's end; else 0

  bool Placed() const { return link != 0; }
  bool InsideLink() const { return link != 0 && node == 0; }
};

// The route from one place to the next, in travel order.
struct TPlaceRoute {
  bool found = false;
  double length = 0;  // km
  // Links in travel order, negative when travelled from to-node to from-node;
  // the first and the last are travelled only from or up to a place inside
  // them.
  std::vector<int32_t> links;
  TRoutePlace from, to;
};

class TPlaceRouter {
 public:
  // The network must be open and outlive the router; it is not owned.
  explicit TPlaceRouter(TLazyNetwork& NW);

  // Places every point (in the network's coordinates) on the nearest link
  // that may be travelled in some direction, no farther than maxDistance
  // km; places[i].link = 0 for a point with no such link. One pass over
  // the spatial index serves all points.
  void Place(const std::vector<TFloatPoint>& points, double maxDistance, std::vector<TRoutePlace>& places);

  // The shortest route from a to b that obeys the one-way rules, link
  // length as cost (found = false when there is none). Both must be placed.
  void Route(const TRoutePlace& a, const TRoutePlace& b, TPlaceRoute& R);

  // Whether a and b lie in the same simple subnet: some chain of links joins
  // them when the one-way rules are ignored.
  bool Connected(const TRoutePlace& a, const TRoutePlace& b);

  // The route's line in travel order, appended to Line; a first point that
  // equals Line's last one is not repeated.
  void AppendShape(const TPlaceRoute& R, std::vector<TFloatPoint>& Line);

  // The links of consecutive legs as one list: a link a via place lies
  // inside, travelled on in the same direction, is listed once.
  static std::vector<int32_t> JoinLegs(const std::vector<TPlaceRoute>& legs);

  TLazyNetwork& Network() const { return FNW; }

  // The labels of a search kept by node in a small table: a route settles
  // few of a large network's nodes, and a table of all of them would cost
  // more to set up than the search.
  class THashLabels {
   public:
    void Reset();
    bool Settled(int32_t n) const { return Find(n) != nullptr; }
    float Cost(int32_t n) const {
      const TEntry* e = Find(n);
      return e ? e->cost : SearchNoCost;
    }
    void Settle(int32_t n, float cost, int32_t from, int32_t link);
    // The node a settled node was reached from (0 for a seed) and by which
    // link (the seed's own link for a seed).
    bool Predecessor(int32_t n, int32_t& from, int32_t& link) const;

   private:
    struct TEntry {
      int32_t node = 0;  // 0: free
      int32_t from = 0;
      int32_t link = 0;
      float cost = 0;
    };
    const TEntry* Find(int32_t n) const;
    void Grow();
    std::vector<TEntry> FSlots;
    std::vector<uint32_t> FUsed;
    uint32_t FMask = 0;
  };

 private:
  void Seeds(const TRoutePlace& a, std::vector<TSearchSeed>& seeds, bool ignoreOneWay);
  void Goals(const TRoutePlace& b, std::vector<TSearchGoal>& goals, std::vector<int32_t>& goalLinks,
             bool ignoreOneWay);
  // Snaps a place that lies on its link's end to that node.
  void FinishPlace(TRoutePlace& p, const TFloatPointArrayEx& line);

  TLazyNetwork& FNW;
  TSpatialSearch::TGeometry FGeo;
  THashLabels FLabels;
  TPQ FPQ;
  TFloatPointArrayEx FLine;
  std::vector<TSearchSeed> FSeeds;
  std::vector<TSearchGoal> FGoals;
  std::vector<int32_t> FGoalLinks;
};
