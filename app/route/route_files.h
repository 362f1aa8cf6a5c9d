// A trip written as a file or an answer: GeoJSON (also what the route
// service returns) and GPX 1.1.
#pragma once

#include <string>
#include <vector>

#include "route_trip.h"

// One LineString feature (length_km, duration_s, mode, links, osm_ways) and
// one Point feature per given point at its place.
std::string RouteGeoJson(const TTripResult& trip, const std::vector<std::string>& pointTexts, bool fastest);
// A waypoint per place and one track; creator names the writing program.
std::string RouteGpx(const TTripResult& trip, const std::vector<std::string>& pointTexts, const std::string& creator);

// Coordinates with 7 decimals (about a centimetre), trailing zeros dropped.
std::string RouteCoord(double v);
