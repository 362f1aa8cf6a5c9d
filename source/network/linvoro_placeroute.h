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
struct TLinkPlace {
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
struct TRouteLeg {
  bool found = false;
  double length = 0;    // km
  double duration = 0;  // s, at the speeds of the router's TLinkSpeeds (0 without)
  // Links in travel order, negative when travelled from to-node to from-node;
  // the first and the last are travelled only from or up to a place inside
  // them.
  std::vector<int32_t> links;
  TLinkPlace from, to;
};

// Link speeds for routes by travel time, as the caller finds them: km/h,
// above 0 and at most MaxSpeed(), which bounds the search's estimate.
class TLinkSpeeds {
 public:
  virtual ~TLinkSpeeds() = default;
  virtual double Speed(int32_t link) = 0;
  virtual double MaxSpeed() const = 0;
};

// What a place's simple subnet is, as far as a bounded walk finds out.
struct TSubnetProbe {
  bool whole = false;          // the walk came to its end: links is the whole subnet
  std::vector<int32_t> links;  // ascending; only when whole
  int32_t Id() const { return whole && !links.empty() ? links.front() : 0; }
};

class TLegRouter {
 public:
  // The network must be open and outlive the router; it is not owned.
  explicit TLegRouter(TLazyNetwork& NW);

  // Places every point (in the network's coordinates) on the nearest link
  // that may be travelled in some direction, no farther than maxDistance
  // km; places[i].link = 0 for a point with no such link. One pass over
  // the spatial index serves all points.
  // Links in skip (ascending) are passed over.
  void Place(const std::vector<TFloatPoint>& points, double maxDistance, std::vector<TLinkPlace>& places,
             const std::vector<int32_t>* skip = nullptr);

  // The speeds of the travel times (not owned; null: none, and no route by
  // time), and whether Route finds the fastest route instead of the
  // shortest.
  void SetSpeeds(TLinkSpeeds* speeds) { FSpeeds = speeds; }
  void SetFastest(bool fastest);
  bool Fastest() const { return FFastest; }

  // The shortest (or fastest) route from a to b that obeys the one-way
  // rules (found = false when there is none). Both must be placed.
  void Route(const TLinkPlace& a, const TLinkPlace& b, TRouteLeg& R);

  // Walks the simple subnet of p (one-way rules ignored, closed links not
  // travelled) up to maxNodes nodes: small subnets are found whole, the
  // walk stops early in a large one.
  TSubnetProbe ProbeSubnet(const TLinkPlace& p, int32_t maxNodes);

  // Seconds to travel the fraction part (0..1) of link at its speed.
  double LinkSeconds(int32_t link, double part = 1);

  // Whether a and b lie in the same simple subnet: some chain of links joins
  // them when the one-way rules are ignored.
  bool Connected(const TLinkPlace& a, const TLinkPlace& b);

  // The route's line in travel order, appended to Line; a first point that
  // equals Line's last one is not repeated.
  void AppendShape(const TRouteLeg& R, std::vector<TFloatPoint>& Line);

  // The links of consecutive legs as one list: a link a via place lies
  // inside, travelled on in the same direction, is listed once.
  static std::vector<int32_t> JoinLegs(const std::vector<TRouteLeg>& legs);

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
  void Seeds(const TLinkPlace& a, std::vector<TSearchSeed>& seeds, bool ignoreOneWay);
  void Goals(const TLinkPlace& b, std::vector<TSearchGoal>& goals, std::vector<int32_t>& goalLinks,
             bool ignoreOneWay);
  // Snaps a place that lies on its link's end to that node.
  void FinishPlace(TLinkPlace& p, const TFloatPointArrayEx& line);

  // The search's cost of a part of a link.
  float Cost(int32_t link, double part);
  // The search's estimate per km of straight line.
  float Alpha();
  struct TCostGraph;

  TLazyNetwork& FNW;
  TLinkSpeeds* FSpeeds = nullptr;
  bool FFastest = false;
  TSpatialSearch::TGeometry FGeo;
  THashLabels FLabels;
  TPQ FPQ;
  TFloatPointArrayEx FLine;
  std::vector<TSearchSeed> FSeeds;
  std::vector<TSearchGoal> FGoals;
  std::vector<int32_t> FGoalLinks;
};
