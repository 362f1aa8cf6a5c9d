// osm2trassel-cli route: the shortest or fastest route on a network a run
// has built, between points given as latitude and longitude, or for every
// line of a CSV file of point pairs. The argument parsing and the shell over
// the route library (app/route): the network folder is only read.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "linvoro_types.h"

struct TRouteOptions {
  std::string Dir;                      // the network folder
  std::vector<std::string> PointTexts;  // LAT,LON as given
  std::vector<TFloatPoint> Points;      // x longitude, y latitude
  std::string Output;                   // -o: .geojson, .gpx, or .csv with --pairs
  std::string Pairs;                    // --pairs FILE.csv
  std::string Speeds;                   // --speeds FILE.csv
  double MaxSnap = 1000;                // metres
  bool Fastest = false;
};

enum class TRouteParse { rpRun, rpHelp, rpUsageError };

// Parses the arguments after "route". On rpUsageError, error holds the
// message.
TRouteParse ParseRouteCommandLine(int argc, const char* const* argv, TRouteOptions& o, std::string& error);

// The text of osm2trassel-cli route --help.
std::string RouteUsageText();

// The whole command on argv after "route": messages on err, results on out
// (or in the -o file). Returns the exit status: 0 done, 1 no route, a point
// too far, a network that cannot be read, a malformed pairs line or an
// output that cannot be written, 2 usage error.
int RunRouteCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* err);
