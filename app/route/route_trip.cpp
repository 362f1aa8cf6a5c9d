#include "route_trip.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "linvoro_functions.h"

namespace {

// A subnet walked further than this is taken as a large part of the
// network: the walk stops and no island is that big.
constexpr int32_t IslandNodes = 5000;
// How many nearer islands a point may pass over on its way to a usable part.
constexpr int IslandsPassed = 8;

std::string Metres(double km) { return FormatDecimals(km * 1000, 1); }

std::string LinkCount(int32_t n) { return std::to_string(n) + (n == 1 ? " link" : " links"); }

}  // namespace

std::string TTripPlanner::Describe(int32_t link) {
  TLazyNetwork& nw = FRouter.Network();
  std::string way, name;
  // Road-name files are optional to a route: a network without them still
  // routes.
  try {
    way = nw.RoadName(1, link);
    name = nw.RoadName(2, link);
  } catch (const std::exception&) {
  }
  std::string s = "link " + std::to_string(link);
  if (!way.empty() || !name.empty()) {
    s += " (";
    if (!way.empty()) s += "way " + way;
    if (!way.empty() && !name.empty()) s += ", ";
    s += name;
    s += ")";
  }
  return s;
}

std::string TTripPlanner::FarText(const TFloatPoint& p, double maxSnap) {
  const TFloatRect& m = FRouter.Network().Mbr();
  std::string s = "farther than " + FormatNumber(maxSnap) + " m from every usable link of the network, which covers latitude " +
                  FormatDecimals(m.ymin, 4) + " to " + FormatDecimals(m.ymax, 4) + ", longitude " +
                  FormatDecimals(m.xmin, 4) + " to " + FormatDecimals(m.xmax, 4);
  const bool inside = p.x >= m.xmin && p.x <= m.xmax && p.y >= m.ymin && p.y <= m.ymax;
  const bool swappedInside = p.y >= m.xmin && p.y <= m.xmax && p.x >= m.ymin && p.x <= m.ymax;
  if (!inside && swappedInside)
    s += "; with latitude and longitude swapped it lies inside: give the point as LAT,LON (" +
         FormatDecimals(p.x, 6) + "," + FormatDecimals(p.y, 6) + ")";
  return s;
}

bool TTripPlanner::RouteLegs(TTripResult& trip) {
  trip.legs.clear();
  trip.length = trip.duration = 0;
  for (size_t i = 0; i + 1 < trip.places.size(); ++i) {
    TRouteLeg leg;
    FRouter.Route(trip.places[i].place, trip.places[i + 1].place, leg);
    if (!leg.found) return false;
    trip.length += leg.length;
    trip.duration += leg.duration;
    trip.legs.push_back(std::move(leg));
  }
  trip.links = TLegRouter::JoinLegs(trip.legs);
  return true;
}

TTripResult TTripPlanner::Plan(const std::vector<TFloatPoint>& points, const std::vector<std::string>& texts,
                               double maxSnap, const std::vector<TLinkPlace>* known) {
  TTripResult trip;
  std::vector<TLinkPlace> nearest;
  if (known)
    nearest = *known;
  else
    FRouter.Place(points, maxSnap / 1000, nearest);
  for (size_t i = 0; i < nearest.size(); ++i) {
    if (!nearest[i].Placed()) {
      trip.status = TTripStatus::tsNoPlace;
      trip.message = "Point " + std::to_string(i + 1) + " (" + texts[i] + ") is " + FarText(points[i], maxSnap);
      return trip;
    }
    trip.places.push_back({nearest[i], {}, 0});
  }
  // Most trips route from the nearest places; only a failed one looks
  // further, which costs walks of the subnets.
  if (RouteLegs(trip)) {
    trip.status = TTripStatus::tsRouted;
    return trip;
  }
  if (!PlaceTogether(points, texts, maxSnap, trip)) return trip;
  if (RouteLegs(trip)) {
    trip.status = TTripStatus::tsRouted;
    return trip;
  }
  for (size_t i = 0; i + 1 < trip.places.size(); ++i) {
    TRouteLeg leg;
    FRouter.Route(trip.places[i].place, trip.places[i + 1].place, leg);
    if (!leg.found) {
      trip.message = "No route from " + texts[i] + " to " + texts[i + 1] +
                     ": the one-way rules allow no way from the first point to the second";
      break;
    }
  }
  trip.status = TTripStatus::tsNoRoute;
  return trip;
}

bool TTripPlanner::PlaceTogether(const std::vector<TFloatPoint>& points, const std::vector<std::string>& texts,
                                 double maxSnap, TTripResult& trip) {
  // Each point's candidates, nearest first: the nearest place, and while
  // that lies on an island (a subnet walked whole), the nearest place off
  // it and every island before.
  struct TCandidate {
    TLinkPlace place;
    TSubnetProbe probe;
    int32_t group = 0;  // the subnet, numbered across all points
  };
  const size_t n = points.size();
  std::vector<std::vector<TCandidate>> cand(n);
  for (size_t i = 0; i < n; ++i) {
    std::vector<int32_t> skip;
    TLinkPlace p = trip.places[i].place;
    for (int k = 0; k <= IslandsPassed && p.Placed(); ++k) {
      TCandidate c{p, FRouter.ProbeSubnet(p, IslandNodes), 0};
      const bool island = c.probe.whole;
      if (island) {
        std::vector<int32_t> merged;
        std::merge(skip.begin(), skip.end(), c.probe.links.begin(), c.probe.links.end(), std::back_inserter(merged));
        skip.swap(merged);
      }
      cand[i].push_back(std::move(c));
      if (!island) break;
      std::vector<TLinkPlace> next;
      FRouter.Place({points[i]}, maxSnap / 1000, next, &skip);
      p = next.front();
    }
  }
  // Subnets by number: an island by its least link, large parts by whether
  // a search joins them.
  std::map<int32_t, int32_t> islandGroup;
  std::vector<const TLinkPlace*> largeGroups;  // a place of each large part
  int32_t groups = 0;
  for (auto& list : cand)
    for (TCandidate& c : list) {
      if (c.probe.whole) {
        auto it = islandGroup.find(c.probe.Id());
        if (it == islandGroup.end()) it = islandGroup.emplace(c.probe.Id(), ++groups).first;
        c.group = it->second;
        continue;
      }
      for (size_t g = 0; g < largeGroups.size() && c.group == 0; ++g)
        if (FRouter.Connected(*largeGroups[g], c.place)) c.group = -static_cast<int32_t>(g) - 1;
      if (c.group == 0) {
        largeGroups.push_back(&c.place);
        c.group = -static_cast<int32_t>(largeGroups.size());
      }
    }
  // The subnet that holds a place for every point, the nearest in sum.
  std::map<int32_t, std::pair<size_t, double>> reach;  // group -> points, sum of distances
  for (size_t i = 0; i < n; ++i) {
    std::vector<int32_t> seen;
    for (const TCandidate& c : cand[i]) {
      if (std::find(seen.begin(), seen.end(), c.group) != seen.end()) continue;
      seen.push_back(c.group);
      auto& r = reach[c.group];
      ++r.first;
      r.second += c.place.distance;
    }
  }
  int32_t best = 0;
  double bestSum = 0;
  for (const auto& [g, r] : reach)
    if (r.first == n && (best == 0 || r.second < bestSum)) {
      best = g;
      bestSum = r.second;
    }
  if (best == 0) {
    trip.status = TTripStatus::tsNoRoute;
    std::string m = "No route from " + texts.front() + " to " + texts.back() +
                    ": the points lie in different simple subnets (no chain of links joins them) and no subnet holds "
                    "a place within " +
                    FormatNumber(maxSnap) + " m of every point. Nearest places:";
    for (size_t i = 0; i < n; ++i) {
      const TCandidate& c = cand[i].front();
      m += " point " + std::to_string(i + 1) + " " + Metres(c.place.distance) + " m away on " + Describe(c.place.link) +
           (c.probe.whole ? ", an island of " + LinkCount(static_cast<int32_t>(c.probe.links.size()))
                          : ", in a large part of the network (subnet " + std::to_string(-c.group) + ")") +
           (i + 1 < n ? ";" : ".");
    }
    trip.message = m;
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    TTripPlace& tp = trip.places[i];
    for (const TCandidate& c : cand[i])
      if (c.group == best) {
        tp.place = c.place;
        break;
      }
    const TCandidate& first = cand[i].front();
    if (first.group != best) {
      tp.passedOver = first.place;
      tp.passedOverLinks = first.probe.whole ? static_cast<int32_t>(first.probe.links.size()) : 0;
    }
  }
  return true;
}

void TTripPlanner::Complete(TTripResult& trip) {
  trip.line.clear();
  for (const TRouteLeg& leg : trip.legs) FRouter.AppendShape(leg, trip.line);
  if (trip.legs.empty() && !trip.places.empty()) trip.line.push_back(trip.places.front().place.point);
  trip.osmWays.clear();
  for (const int32_t e : trip.links) {
    std::string way;
    try {
      way = FRouter.Network().RoadName(1, std::abs(e));
    } catch (const std::exception&) {
    }
    trip.osmWays.push_back(way);
  }
}

std::vector<std::string> TTripPlanner::PlaceLines(const TTripResult& trip, const std::vector<std::string>& texts) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < trip.places.size(); ++i) {
    const TTripPlace& tp = trip.places[i];
    const TLinkPlace& p = tp.place;
    std::string s = "Point " + std::to_string(i + 1) + " (" + texts[i] + "): " + Metres(p.distance) +
                    " m from its place " + (p.node != 0 ? "at node " + std::to_string(p.node) + " of " : "on ") +
                    Describe(p.link);
    if (tp.passedOver.Placed()) {
      s += "; the nearest road, " + Metres(tp.passedOver.distance) + " m away, ";
      s += tp.passedOverLinks > 0 ? "is an island of " + LinkCount(tp.passedOverLinks)
                                  : "lies in a part of the network the other points cannot be reached from";
      std::string way;
      try {
        way = FRouter.Network().RoadName(1, tp.passedOver.link);
      } catch (const std::exception&) {
      }
      s += " (" + (way.empty() ? "link " + std::to_string(tp.passedOver.link) : "way " + way) + ")";
    }
    lines.push_back(s);
  }
  return lines;
}
