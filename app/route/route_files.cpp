#include "route_files.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "linvoro_functions.h"
#include "linvoro_json.h"

namespace {

std::string Metres(double km) { return FormatDecimals(km * 1000, 1); }

// An OSM way id is written as a number; any other name as a string.
std::string JsonWay(const std::string& name) {
  int64_t v;
  const auto r = std::from_chars(name.data(), name.data() + name.size(), v);
  if (!name.empty() && r.ec == std::errc() && r.ptr == name.data() + name.size()) return name;
  return JsonString(name);
}

}  // namespace

void AppendRouteCoord(std::string& out, double v) {
  // Seven decimals (a centimetre) without trailing zeros; a route's line
  // has thousands, so no text is built for each.
  char buf[352];
  char* e;
  if (!std::isfinite(v)) {
    const std::string t = FormatDecimals(v, 7);
    out += t;
    return;
  }
  e = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 7).ptr;
  while (e[-1] == '0') --e;
  if (e[-1] == '.') --e;
  if (e - buf == 2 && buf[0] == '-' && buf[1] == '0') {
    out += '0';
    return;
  }
  out.append(buf, e);
}

std::string RouteCoord(double v) {
  std::string s;
  AppendRouteCoord(s, v);
  return s;
}

std::string RouteGeoJson(const TTripResult& trip, const std::vector<std::string>& pointTexts, bool fastest) {
  std::string s = "{\"type\":\"FeatureCollection\",\"features\":[\n{\"type\":\"Feature\",\"geometry\":{\"type\":"
                  "\"LineString\",\"coordinates\":[";
  // A LineString has two positions at least: a route of no length repeats
  // its one point.
  std::vector<TFloatPoint> line = trip.line;
  if (line.size() == 1) line.push_back(line.front());
  s.reserve(s.size() + line.size() * 24 + trip.links.size() * 8 + trip.osmWays.size() * 11 + 512);
  for (size_t i = 0; i < line.size(); ++i) {
    s += i ? ",[" : "[";
    AppendRouteCoord(s, line[i].x);
    s += ',';
    AppendRouteCoord(s, line[i].y);
    s += ']';
  }
  s += "]},\"properties\":{\"length_km\":" + FormatDecimals(trip.length, 6) +
       ",\"duration_s\":" + FormatDecimals(trip.duration, 1) + ",\"mode\":\"" +
       (fastest ? "fastest" : "shortest") + "\",\"links\":[";
  for (size_t i = 0; i < trip.links.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(trip.links[i]);
  }
  s += "],\"osm_ways\":[";
  for (size_t i = 0; i < trip.osmWays.size(); ++i) {
    if (i) s += ',';
    s += JsonWay(trip.osmWays[i]);
  }
  s += "]}}";
  for (size_t i = 0; i < trip.places.size(); ++i) {
    const TLinkPlace& p = trip.places[i].place;
    s += ",\n{\"type\":\"Feature\",\"geometry\":{\"type\":\"Point\",\"coordinates\":[" + RouteCoord(p.point.x) + "," +
         RouteCoord(p.point.y) + "]},\"properties\":{\"point\":" + std::to_string(i + 1) +
         ",\"given\":" + JsonString(i < pointTexts.size() ? pointTexts[i] : "") +
         ",\"distance_m\":" + Metres(p.distance) + ",\"link\":" + std::to_string(p.link) +
         ",\"node\":" + std::to_string(p.node) + "}}";
  }
  return s + "\n]}\n";
}

std::string RouteGpx(const TTripResult& trip, const std::vector<std::string>& pointTexts, const std::string& creator) {
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"" + XmlEscape(creator) +
                  "\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
  for (size_t i = 0; i < trip.places.size(); ++i) {
    const TLinkPlace& p = trip.places[i].place;
    s += " <wpt lat=\"" + RouteCoord(p.point.y) + "\" lon=\"" + RouteCoord(p.point.x) + "\"><name>Point " +
         std::to_string(i + 1) + "</name><desc>" + XmlEscape(i < pointTexts.size() ? pointTexts[i] : "") +
         "</desc></wpt>\n";
  }
  s += " <trk>\n  <name>Route " + FormatDecimals(trip.length, 3) + " km</name>\n  <desc>length_km " +
       FormatDecimals(trip.length, 6) + ", duration_s " + FormatDecimals(trip.duration, 1) +
       "</desc>\n  <trkseg>\n";
  for (const TFloatPoint& q : trip.line) {
    s += "   <trkpt lat=\"";
    AppendRouteCoord(s, q.y);
    s += "\" lon=\"";
    AppendRouteCoord(s, q.x);
    s += "\"/>\n";
  }
  return s + "  </trkseg>\n </trk>\n</gpx>\n";
}
