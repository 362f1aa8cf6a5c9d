// One trip through points given as latitude and longitude on a network
// opened read-only: the points placed where the trip can go on, the legs
// between them, and messages that say what happened to each point. Shared
// by the route command, its --pairs batch and the route service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "linvoro_lazynetwork.h"
#include "linvoro_placeroute.h"

// How a trip ended.
enum class TTripStatus {
  tsRouted,
  tsNoPlace,  // a point farther than the snap distance from every usable link
  tsNoRoute,  // no subnet holds all points, or the one-way rules allow no way
};

// A point's place, and the nearer place passed over when that lay in a part
// of the network the other points cannot be reached from.
struct TTripPlace {
  TLinkPlace place;
  TLinkPlace passedOver;         // Placed() when one was passed over
  int32_t passedOverLinks = 0;   // links of its subnet when found whole, else 0
};

struct TTripResult {
  TTripStatus status = TTripStatus::tsNoRoute;
  std::string message;  // why not, for tsNoPlace and tsNoRoute
  std::vector<TTripPlace> places;
  std::vector<TRouteLeg> legs;
  std::vector<int32_t> links;        // all legs, a link a via point lies inside listed once
  std::vector<std::string> osmWays;  // per link: road-name file 1, the OSM way id
  std::vector<TFloatPoint> line;     // the route's polyline
  double length = 0;                 // km
  double duration = 0;               // s
};

class TTripPlanner {
 public:
  // The router (and its network) must outlive the planner.
  explicit TTripPlanner(TLegRouter& router) : FRouter(router) {}

  // The trip through points (x longitude, y latitude) in order; texts name
  // them in messages. maxSnap in metres. places, when given, are the
  // points' nearest places found already (as Place finds them).
  TTripResult Plan(const std::vector<TFloatPoint>& points, const std::vector<std::string>& texts, double maxSnap,
                   const std::vector<TLinkPlace>* places = nullptr);

  // Fills in the route's line and OSM ways of a routed trip.
  void Complete(TTripResult& trip);

  // "link 12 (way 345, Main Street)" for a place's link.
  std::string Describe(int32_t link);
  // One line per point: where it was placed and what was passed over.
  std::vector<std::string> PlaceLines(const TTripResult& trip, const std::vector<std::string>& texts);

  // "farther than 1000 m from every usable link of the network, which
  // covers ..." with a word on swapped coordinates when they fit.
  std::string FarText(const TFloatPoint& p, double maxSnap);

 private:
  bool RouteLegs(TTripResult& trip);
  // Places every point in a subnet that holds a place for each of them.
  bool PlaceTogether(const std::vector<TFloatPoint>& points, const std::vector<std::string>& texts,
                     double maxSnap, TTripResult& trip);

  TLegRouter& FRouter;
};
