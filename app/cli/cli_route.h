// osm2trassel-cli route: the shortest route on a network a run has built,
// between points given as latitude and longitude, or for every line of a
// CSV file of point pairs. A shell over TPlaceRouter and TLazyNetwork
// (linvoro_placeroute): the network folder is only read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "linvoro_placeroute.h"

struct TRouteOptions {
  std::string Dir;                      // the network folder
  std::vector<std::string> PointTexts;  // LAT,LON as given
  std::vector<TFloatPoint> Points;      // x longitude, y latitude
  std::string Output;                   // -o: .geojson, .gpx, or .csv with --pairs
  std::string Pairs;                    // --pairs FILE.csv
  double MaxSnap = 1000;                // metres
};

enum class TRouteParse { rpRun, rpHelp, rpUsageError };

// Parses the arguments after "route". On rpUsageError, error holds the
// message.
TRouteParse ParseRouteCommandLine(int argc, const char* const* argv, TRouteOptions& o, std::string& error);

// The text of osm2trassel-cli route --help.
std::string RouteUsageText();

// "LAT,LON" (blanks allowed around the numbers) as a point; false when it is
// not two numbers or lies outside -90..90, -180..180.
bool ParseLatLon(const std::string& text, TFloatPoint& p);

// The whole command on argv after "route": messages on err, results on out
// (or in the -o file). Returns the exit status: 0 done, 1 no route, a point
// too far, a network that cannot be read or an output that cannot be
// written, 2 usage error.
int RunRouteCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

// One route through the points of the command line.
struct TTripResult {
  std::vector<TRoutePlace> places;
  std::vector<TPlaceRoute> legs;
  std::vector<int32_t> links;      // all legs, a link a via point lies inside listed once
  std::vector<std::string> osmWays;  // per link: road-name file 1, the OSM way id
  std::vector<TFloatPoint> line;   // the route's polyline
  double length = 0;               // km
};

// The route as GeoJSON: one LineString feature (length_km, links, osm_ways)
// and one Point feature per given point at its place.
std::string RouteGeoJson(const TTripResult& trip, const std::vector<std::string>& pointTexts);
// The route as a GPX 1.1 file: a waypoint per place and one track.
std::string RouteGpx(const TTripResult& trip, const std::vector<std::string>& pointTexts);
