// osm2trassel-cli route: routes on networks built by a real run from small
// OSM towns, each held against a shortest-path search of this file's own on
// the road table as GDAL reads it (placement on the nearest usable link,
// part-links, one-way rules), the route's files as GDAL reads them, the
// exits and messages when there is no route, and the network folder left
// as it was.
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <queue>
#include <sstream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_process.h"
#include "cli_route.h"
#include "include_file.h"
#include "linvoro_platform.h"
#include "run_driver.h"
#include "run_options.h"
#include "run_ui.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------ the town

struct TLatLon {
  double lat, lon;
};

// A street grid of 4 rows and 5 columns with uneven spacing and a little
// jitter (no two routes are equally long), one-way rows and a one-way
// column, a roundabout, a closed loop on a spur, a part no road reaches and
// a dead end that only a one-way street enters.
class TTown {
 public:
  TTown() {
    const double rows[4] = {0, 0.0011, 0.0019, 0.0032};
    const double cols[5] = {0, 0.0013, 0.0029, 0.0042, 0.0061};
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 5; ++c) {
        const int64_t id = Grid(r, c);
        const double jitter = static_cast<double>((id * 37) % 11 - 5) * 2e-6;
        Node(id, Lat0 + rows[r] + jitter, Lon0 + cols[c] - jitter);
      }
    const std::vector<std::pair<const char*, const char*>> none;
    Way({Grid(0, 0), Grid(0, 1), Grid(0, 2), Grid(0, 3), Grid(0, 4)}, {});
    Way({Grid(1, 0), Grid(1, 1), Grid(1, 2), Grid(1, 3), Grid(1, 4)}, {{"oneway", "yes"}});
    Way({Grid(2, 0), Grid(2, 1), Grid(2, 2), Grid(2, 3), Grid(2, 4)}, {{"oneway", "-1"}});
    Way({Grid(3, 0), Grid(3, 1), Grid(3, 2), Grid(3, 3), Grid(3, 4)}, {});
    Way({Grid(0, 0), Grid(1, 0), Grid(2, 0), Grid(3, 0)}, {});
    Way({Grid(0, 2), Grid(1, 2), Grid(2, 2), Grid(3, 2)}, {});
    Way({Grid(0, 4), Grid(1, 4), Grid(2, 4), Grid(3, 4)}, {{"oneway", "yes"}});
    Way({Grid(0, 1), Grid(1, 1)}, {});
    Way({Grid(2, 3), Grid(3, 3)}, {});
    // Roundabout east of the grid, entered from (1, 4), with a spur.
    std::vector<int64_t> ring;
    for (int k = 0; k < 6; ++k) {
      const double a = k * M_PI / 3;
      Node(2001 + k, Lat0 + 0.0014 + 0.0004 * std::sin(a), Lon0 + 0.0085 - 0.0006 * std::cos(a));
      ring.push_back(2001 + k);
    }
    ring.push_back(2001);
    Way(ring, {{"junction", "roundabout"}});
    Way({Grid(1, 4), 2001}, {});
    Node(2100, Lat0 + 0.0012, Lon0 + 0.0112);
    Way({2004, 2100}, {});
    // A closed loop at the end of a spur south-west of the grid.
    Node(3000, Lat0 - 0.0009, Lon0 - 0.0007);
    Node(3001, Lat0 - 0.0016, Lon0 - 0.0003);
    Node(3002, Lat0 - 0.0021, Lon0 - 0.0012);
    Node(3003, Lat0 - 0.0014, Lon0 - 0.0019);
    Way({Grid(0, 0), 3000}, {});
    Way({3000, 3001, 3002, 3003, 3000}, {});
    // Apart from everything.
    Node(4000, Lat0 + 0.0060, Lon0 + 0.0010);
    Node(4001, Lat0 + 0.0062, Lon0 + 0.0030);
    Node(4002, Lat0 + 0.0061, Lon0 + 0.0050);
    Way({4000, 4001, 4002}, {});
    // Entered by a one-way street only.
    Node(5000, Lat0 + 0.0042, Lon0 + 0.0070);
    Node(5001, Lat0 + 0.0050, Lon0 + 0.0078);
    Way({Grid(3, 4), 5000}, {{"oneway", "yes"}});
    Way({5000, 5001}, {});
  }

  static int64_t Grid(int r, int c) { return 1000 + 10 * r + c; }
  TLatLon At(int64_t id) const { return nodes_.at(id); }

  std::string Osm() const {
    std::string s = "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n";
    char buf[160];
    for (const auto& [id, p] : nodes_) {
      std::snprintf(buf, sizeof buf, " <node id=\"%lld\" lat=\"%.7f\" lon=\"%.7f\"/>\n", static_cast<long long>(id),
                    p.lat, p.lon);
      s += buf;
    }
    s += ways_;
    return s + "</osm>\n";
  }

  static constexpr double Lat0 = 48.1, Lon0 = 11.5;

 private:
  void Node(int64_t id, double lat, double lon) {
    // As the file holds them: seven decimals.
    nodes_[id] = {std::round(lat * 1e7) / 1e7, std::round(lon * 1e7) / 1e7};
  }
  void Way(const std::vector<int64_t>& refs, const std::vector<std::pair<const char*, const char*>>& tags) {
    ways_ += " <way id=\"" + std::to_string(++wayId_) + "\">\n";
    for (const int64_t r : refs) ways_ += "  <nd ref=\"" + std::to_string(r) + "\"/>\n";
    ways_ += "  <tag k=\"highway\" v=\"residential\"/>\n";
    for (const auto& [k, v] : tags) ways_ += std::string("  <tag k=\"") + k + "\" v=\"" + v + "\"/>\n";
    ways_ += " </way>\n";
  }
  std::map<int64_t, TLatLon> nodes_;
  std::string ways_;
  int64_t wayId_ = 100;
};

// A point between two nodes of the town: fraction f of the way from a to b,
// then metres to the left of that direction.
TLatLon Between(const TTown& t, int64_t a, int64_t b, double f, double leftMetres) {
  const TLatLon p = t.At(a), q = t.At(b);
  const double k = std::cos(p.lat * M_PI / 180);
  const double dx = (q.lon - p.lon) * k, dy = q.lat - p.lat;
  const double len = std::hypot(dx, dy);
  const double m = leftMetres / 111195.0;  // degrees of latitude per metre
  return {p.lat + f * dy + m * dx / len, p.lon + (f * dx - m * dy / len) / k};
}

std::string Text(const TLatLon& p) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.7f,%.7f", p.lat, p.lon);
  return buf;
}

// ------------------------------------------------------------ the reference

constexpr double R = 6378.13;

double Haversine(const TLatLon& a, const TLatLon& b) {
  const double k = M_PI / 180;
  const double h = std::pow(std::sin((b.lat - a.lat) * k / 2), 2) +
                   std::cos(a.lat * k) * std::cos(b.lat * k) * std::pow(std::sin((b.lon - a.lon) * k / 2), 2);
  return 2 * std::asin(std::min(1.0, std::sqrt(h))) * R;
}

// The road table as GDAL reads it: feature k is link k + 1.
struct TRoad {
  std::vector<TLatLon> pts;
  int oneway = 0;  // 0 both, 1 forward only, 2 backward only, 3 closed
  double length = 0;
  int64_t osmId = 0;
  std::string type;
  int maxspeed = 0;  // 0: none
};

std::vector<TRoad> ReadRoads(const std::string& shp) {
  std::vector<TRoad> roads;
  GDALDatasetH ds = GDALOpenEx(shp.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (!ds) return roads;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGR_L_ResetReading(layer);
  OGRFeatureH f;
  while ((f = OGR_L_GetNextFeature(layer)) != nullptr) {
    TRoad r;
    r.oneway = (OGR_F_GetFieldAsInteger(f, OGR_F_GetFieldIndex(f, "attribute")) >> 9) & 3;
    r.osmId = OGR_F_GetFieldAsInteger64(f, OGR_F_GetFieldIndex(f, "osm_id"));
    r.type = OGR_F_GetFieldAsString(f, OGR_F_GetFieldIndex(f, "type"));
    const int ms = OGR_F_GetFieldIndex(f, "MaxSpeed");
    if (ms >= 0) r.maxspeed = OGR_F_GetFieldAsInteger(f, ms);
    OGRGeometryH g = OGR_F_GetGeometryRef(f);
    for (int i = 0; g && i < OGR_G_GetPointCount(g); ++i) r.pts.push_back({OGR_G_GetY(g, i), OGR_G_GetX(g, i)});
    for (size_t i = 1; i < r.pts.size(); ++i) r.length += Haversine(r.pts[i - 1], r.pts[i]);
    roads.push_back(r);
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return roads;
}

// A place: link (1-based), km from its first vertex, or a node when at an end.
struct TRefPlace {
  int link = 0;
  double along = 0;
  TLatLon foot{};
  bool atStart = false, atEnd = false;
};

// Nearest point of every usable road, in a plane around the point (the town
// is small enough for that to pick the same road and foot as the sphere).
TRefPlace PlaceRef(const std::vector<TRoad>& roads, const TLatLon& p) {
  TRefPlace best;
  double bestD = 1e300;
  const double k = std::cos(p.lat * M_PI / 180);
  for (size_t l = 0; l < roads.size(); ++l) {
    const TRoad& r = roads[l];
    if (r.oneway == 3 || r.pts.size() < 2) continue;
    double before = 0;
    for (size_t i = 1; i < r.pts.size(); ++i) {
      const TLatLon a = r.pts[i - 1], b = r.pts[i];
      const double ax = (a.lon - p.lon) * k, ay = a.lat - p.lat, bx = (b.lon - p.lon) * k, by = b.lat - p.lat;
      const double dx = bx - ax, dy = by - ay;
      double t = -(ax * dx + ay * dy) / (dx * dx + dy * dy);
      t = std::clamp(t, 0.0, 1.0);
      const double d = std::hypot(ax + t * dx, ay + t * dy);
      if (d < bestD) {
        bestD = d;
        best.link = static_cast<int>(l) + 1;
        best.foot = {a.lat + t * (b.lat - a.lat), a.lon + t * (b.lon - a.lon)};
        best.along = before + Haversine(a, best.foot);
        best.atStart = i == 1 && t == 0;
        best.atEnd = i == r.pts.size() - 1 && t == 1;
      }
      before += Haversine(a, b);
    }
  }
  return best;
}

struct TRefRoute {
  bool found = false;
  double length = 0;
  std::vector<int> links;
};

// Dijkstra over the road table's end points, with the two places as nodes
// of their own that reach (and are reached from) their road's ends along
// the road as its one-way value allows.
// Seconds to drive a road: its maxspeed, else the help page's speed of its
// class (those the fixtures use).
double Seconds(const TRoad& r, const std::map<std::string, double>& speeds) {
  const double kmh = r.maxspeed > 0 ? r.maxspeed : speeds.at(r.type);
  return r.length / kmh * 3600;
}

const std::map<std::string, double> DefaultSpeeds = {{"primary", 70}, {"residential", 30}};

// byTime: seconds at speeds as the cost, else km.
TRefRoute RouteRef(const std::vector<TRoad>& roads, const TRefPlace& a, const TRefPlace& b,
                   const std::map<std::string, double>* byTime = nullptr) {
  std::map<std::pair<double, double>, int> ids;
  auto id = [&](const TLatLon& p) {
    const auto key = std::make_pair(p.lat, p.lon);
    const auto it = ids.find(key);
    if (it != ids.end()) return it->second;
    const int n = static_cast<int>(ids.size());
    ids[key] = n;
    return n;
  };
  struct TEdge {
    int to;
    double cost;
    int link;  // signed, 0 for the step between a place and its node
  };
  std::vector<std::vector<TEdge>> adj;
  auto edge = [&](int u, int v, double c, int link) {
    adj.resize(std::max<size_t>(adj.size(), static_cast<size_t>(std::max(u, v)) + 1));
    adj[static_cast<size_t>(u)].push_back({v, c, link});
  };
  std::vector<int> from(roads.size() + 1), to(roads.size() + 1);
  for (size_t l = 0; l < roads.size(); ++l) {
    from[l + 1] = id(roads[l].pts.front());
    to[l + 1] = id(roads[l].pts.back());
  }
  // km of road l as the search's cost.
  auto cost = [&](size_t l, double km) {
    return byTime ? (roads[l].length > 0 ? km / roads[l].length * Seconds(roads[l], *byTime) : 0) : km;
  };
  for (size_t l = 0; l < roads.size(); ++l) {
    const int L = static_cast<int>(l) + 1, w = roads[l].oneway;
    if (w == 0 || w == 1) edge(from[L], to[L], cost(l, roads[l].length), L);
    if (w == 0 || w == 2) edge(to[L], from[L], cost(l, roads[l].length), -L);
  }
  const int S = static_cast<int>(ids.size()), T = S + 1;
  auto side = [&](const TRefPlace& p, bool start) {
    const TRoad& r = roads[static_cast<size_t>(p.link) - 1];
    const int L = p.link;
    if (p.atStart || p.atEnd) {
      const int n = p.atStart ? from[L] : to[L];
      start ? edge(S, n, 0, 0) : edge(n, T, 0, 0);
      return;
    }
    const size_t l = static_cast<size_t>(L) - 1;
    if (r.oneway == 0 || r.oneway == 1)
      start ? edge(S, to[L], cost(l, r.length - p.along), L) : edge(from[L], T, cost(l, p.along), L);
    if (r.oneway == 0 || r.oneway == 2)
      start ? edge(S, from[L], cost(l, p.along), -L) : edge(to[L], T, cost(l, r.length - p.along), -L);
  };
  side(a, true);
  side(b, false);
  if (a.link == b.link && !(a.atStart || a.atEnd || b.atStart || b.atEnd)) {
    const int w = roads[static_cast<size_t>(a.link) - 1].oneway;
    const size_t l = static_cast<size_t>(a.link) - 1;
    if (b.along > a.along && (w == 0 || w == 1)) edge(S, T, cost(l, b.along - a.along), a.link);
    if (b.along < a.along && (w == 0 || w == 2)) edge(S, T, cost(l, a.along - b.along), -a.link);
  }
  adj.resize(static_cast<size_t>(T) + 1);
  std::vector<double> dist(adj.size(), 1e300);
  std::vector<std::pair<int, int>> prev(adj.size(), {-1, 0});
  using TItem = std::pair<double, int>;
  std::priority_queue<TItem, std::vector<TItem>, std::greater<>> pq;
  dist[static_cast<size_t>(S)] = 0;
  pq.push({0, S});
  while (!pq.empty()) {
    const auto [d, u] = pq.top();
    pq.pop();
    if (d > dist[static_cast<size_t>(u)]) continue;
    for (const TEdge& e : adj[static_cast<size_t>(u)])
      if (d + e.cost < dist[static_cast<size_t>(e.to)]) {
        dist[static_cast<size_t>(e.to)] = d + e.cost;
        prev[static_cast<size_t>(e.to)] = {u, e.link};
        pq.push({d + e.cost, e.to});
      }
  }
  TRefRoute r;
  if (dist[static_cast<size_t>(T)] >= 1e300) return r;
  r.found = true;
  r.length = dist[static_cast<size_t>(T)];  // seconds when byTime
  for (int n = T; n != S; n = prev[static_cast<size_t>(n)].first)
    if (prev[static_cast<size_t>(n)].second != 0) r.links.push_back(prev[static_cast<size_t>(n)].second);
  std::reverse(r.links.begin(), r.links.end());
  return r;
}

// ------------------------------------------------------------ running


// The files of a folder with their contents.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = Slurp(e.path().string());
  return files;
}

// The route's GeoJSON as GDAL reads it.
struct TGeoRoute {
  bool ok = false;
  double length = 0;
  std::vector<int> links;
  std::vector<int64_t> ways;
  std::vector<TLatLon> line;
  std::vector<TLatLon> points;
};

TGeoRoute ReadGeoJson(const std::string& path) {
  TGeoRoute r;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  if (!ds) return r;
  OGRLayerH layer = GDALDatasetGetLayer(ds, 0);
  OGRFeatureH f;
  while ((f = OGR_L_GetNextFeature(layer)) != nullptr) {
    OGRGeometryH g = OGR_F_GetGeometryRef(f);
    if (wkbFlatten(OGR_G_GetGeometryType(g)) == wkbLineString) {
      r.ok = true;
      r.length = OGR_F_GetFieldAsDouble(f, OGR_F_GetFieldIndex(f, "length_km"));
      int n = 0;
      const int* links = OGR_F_GetFieldAsIntegerList(f, OGR_F_GetFieldIndex(f, "links"), &n);
      r.links.assign(links, links + n);
      // Small ids come as 32-bit lists.
      const int wf = OGR_F_GetFieldIndex(f, "osm_ways");
      if (OGR_Fld_GetType(OGR_F_GetFieldDefnRef(f, wf)) == OFTIntegerList) {
        const int* ways = OGR_F_GetFieldAsIntegerList(f, wf, &n);
        r.ways.assign(ways, ways + n);
      } else {
        const GIntBig* ways = OGR_F_GetFieldAsInteger64List(f, wf, &n);
        r.ways.assign(ways, ways + n);
      }
      for (int i = 0; i < OGR_G_GetPointCount(g); ++i) r.line.push_back({OGR_G_GetY(g, i), OGR_G_GetX(g, i)});
    } else {
      r.points.push_back({OGR_G_GetY(g, 0), OGR_G_GetX(g, 0)});
    }
    OGR_F_Destroy(f);
  }
  GDALClose(ds);
  return r;
}

}  // namespace

class RouteCommand : public TTempDirTest {
 protected:
  RouteCommand() : TTempDirTest("route_") {}

  static void SetUpTestSuite() { GDALAllRegister(); }

  void SetUp() override {
    TTempDirTest::SetUp();
    // The build always makes the tool: a missing one is a fault, not a reason to skip.
    ASSERT_TRUE(fs::exists(CliPath())) << CliPath() << " is not there";
    net = dir + "net/";
    fs::create_directories(net);
    const std::string osm = dir + "town.osm";
    std::ofstream(osm, std::ios::binary) << Osm();
    // Through the real run, as a user builds a network.
    TIncludeLists include;
    include.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
    TRunOptions o;
    o.BuildNetwork = true;
    o.Files = {osm};
    o.MainDir = net;
    o.Optional[oiMaxSpeed] = true;
    TNullRunUI ui;
    const TRunResult r = RunConversion(o, include, ui);
    ASSERT_EQ(r.Status, TRunStatus::rsOk) << r.Message;
    roads = ReadRoads(net + "roads.shp");
    ASSERT_FALSE(roads.empty());
  }

  virtual std::string Osm() const { return town.Osm(); }

  // stdoutTo: where the standard output goes instead of a file read back.
  TProcess Run(const std::string& args, const std::string& stdoutTo = "") {
    TProcess p;
    const std::string out = stdoutTo.empty() ? dir + "stdout.txt" : stdoutTo, err = dir + "stderr.txt";
    const int rc = std::system((CliPath() + " route " + args + " >" + out + " 2>" + err).c_str());
    p.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    p.out = stdoutTo.empty() ? Slurp(out) : "";
    p.err = Slurp(err);
    return p;
  }

  TTown town;
  std::string net;
  std::vector<TRoad> roads;
};

// Each route as the reference finds it: length, links in travel order with
// their direction, the line from place to place and the OSM way of every
// link.
TEST_F(RouteCommand, RoutesMatchAnIndependentSearchOnTheRoadTable) {
  const auto G = [](int r, int c) { return TTown::Grid(r, c); };
  struct TCase {
    const char* name;
    std::vector<TLatLon> points;
  };
  const TCase cases[] = {
      {"mid-link to mid-link across the grid", {Between(town, G(0, 0), G(0, 1), 0.4, -6), Between(town, G(3, 2), G(3, 3), 0.6, 5)}},
      {"along a one-way street", {Between(town, G(1, 0), G(1, 1), 0.5, 4), Between(town, G(1, 3), G(1, 4), 0.5, 4)}},
      {"against a one-way street: round the block", {Between(town, G(1, 3), G(1, 4), 0.5, 4), Between(town, G(1, 1), G(1, 2), 0.5, 4)}},
      {"same one-way link, target behind", {Between(town, G(1, 2), G(1, 3), 0.7, -3), Between(town, G(1, 2), G(1, 3), 0.3, -3)}},
      {"same one-way link, target ahead", {Between(town, G(1, 2), G(1, 3), 0.3, -3), Between(town, G(1, 2), G(1, 3), 0.7, -3)}},
      {"same two-way link, backwards", {Between(town, G(0, 2), G(0, 3), 0.8, 2), Between(town, G(0, 2), G(0, 3), 0.2, 2)}},
      {"westbound street", {Between(town, G(2, 3), G(2, 4), 0.5, 3), Between(town, G(2, 0), G(2, 1), 0.5, 3)}},
      {"from a junction", {town.At(G(1, 2)), Between(town, G(3, 0), G(3, 1), 0.5, 3)}},
      {"junction to junction", {town.At(G(0, 0)), town.At(G(3, 4))}},
      {"into and round the roundabout", {Between(town, G(0, 3), G(0, 4), 0.5, -4), Between(town, 2004, 2100, 0.5, 3)}},
      {"out of the roundabout", {Between(town, 2004, 2100, 0.6, 3), Between(town, G(0, 0), G(0, 1), 0.5, 3)}},
      {"round the loop", {Between(town, 3001, 3002, 0.5, 2), Between(town, G(0, 1), G(0, 2), 0.5, 3)}},
      {"via points", {Between(town, G(0, 0), G(0, 1), 0.5, 3), Between(town, G(2, 2), G(2, 3), 0.5, 3),
                      Between(town, G(3, 3), G(3, 4), 0.5, 3)}},
      {"via a point on a one-way link, going on", {Between(town, G(1, 0), G(1, 1), 0.2, 3),
                                                    Between(town, G(1, 1), G(1, 2), 0.5, 3),
                                                    Between(town, G(1, 1), G(1, 2), 0.9, 3)}},
      {"into the one-way dead end", {Between(town, G(3, 3), G(3, 4), 0.5, 3), Between(town, 5000, 5001, 0.5, 2)}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string args = net;
    for (const TLatLon& p : c.points) args += " " + Text(p);
    const std::string geojson = dir + "route.geojson";
    fs::remove(geojson);
    const TProcess p = Run(args + " -o " + geojson);
    ASSERT_EQ(p.status, 0) << p.err;

    TRefRoute want;
    std::vector<TRefPlace> places;
    for (const TLatLon& q : c.points) places.push_back(PlaceRef(roads, q));
    for (size_t i = 0; i + 1 < places.size(); ++i) {
      const TRefRoute leg = RouteRef(roads, places[i], places[i + 1]);
      ASSERT_TRUE(leg.found) << "leg " << i;
      want.length += leg.length;
      for (size_t j = 0; j < leg.links.size(); ++j) {
        // A via point inside a link that the route travels on: listed once.
        const bool goesOn = i > 0 && j == 0 && !want.links.empty() && want.links.back() == leg.links[0] &&
                            !places[i].atStart && !places[i].atEnd && places[i].link == std::abs(leg.links[0]);
        if (!goesOn) want.links.push_back(leg.links[j]);
      }
    }
    const TGeoRoute got = ReadGeoJson(geojson);
    ASSERT_TRUE(got.ok);
    EXPECT_NEAR(got.length, want.length, 1e-5) << "km";
    EXPECT_EQ(got.links, want.links);
    ASSERT_EQ(got.ways.size(), got.links.size());
    for (size_t i = 0; i < got.ways.size(); ++i)
      EXPECT_EQ(got.ways[i], roads[static_cast<size_t>(std::abs(got.links[i])) - 1].osmId) << got.links[i];
    // The line runs from the first place to the last; a Point per place.
    ASSERT_EQ(got.points.size(), c.points.size());
    ASSERT_FALSE(got.line.empty());
    for (size_t i = 0; i < places.size(); ++i) {
      EXPECT_NEAR(got.points[i].lat, places[i].foot.lat, 2e-7) << "place " << i + 1;
      EXPECT_NEAR(got.points[i].lon, places[i].foot.lon, 2e-7) << "place " << i + 1;
    }
    EXPECT_NEAR(got.line.front().lat, places.front().foot.lat, 2e-7);
    EXPECT_NEAR(got.line.back().lon, places.back().foot.lon, 2e-7);
    // The summary says the same.
    char line[64];
    std::snprintf(line, sizeof line, "Route: %.3f km, %zu link", want.length, want.links.size());
    EXPECT_EQ(p.out.rfind(line, 0), 0u) << p.out;
  }
}

// No route, a point too far, a network missing or damaged: status 1 and a
// message that says which points or which folder; usage errors: status 2.
// None of it writes into the network folder.
TEST_F(RouteCommand, FailuresExitWithTheirMessages) {
  const auto G = [](int r, int c) { return TTown::Grid(r, c); };
  const std::map<std::string, std::string> before = Snapshot(net);
  const std::string grid = Text(Between(town, G(0, 0), G(0, 1), 0.5, 3));
  const std::string apart = Text(Between(town, 4000, 4001, 0.5, 3));
  const std::string trapped = Text(Between(town, 5000, 5001, 0.5, 2));
  const std::string far = Text({TTown::Lat0 - 0.05, TTown::Lon0});  // 5.6 km south
  struct TCase {
    std::string args;
    int status;
    std::string err;  // a piece of stderr
  };
  const std::vector<TCase> cases = {
      {"--max-snap 300 " + net + " " + grid + " " + apart, 1,
       "No route from " + grid + " to " + apart + ": the points lie in different simple subnets"},
      {"--max-snap 300 " + net + " " + grid + " " + apart, 1, "point 2 3.0 m away on link"},
      {"--max-snap 300 " + net + " " + grid + " " + apart, 1, ", an island of 1 link."},
      {net + " " + trapped + " " + grid, 1,
       "No route from " + trapped + " to " + grid + ": the one-way rules allow no way"},
      {net + " " + grid + " " + far, 1,
       "Point 2 (" + far + ") is farther than 1000 m from every usable link of the network"},
      {"--max-snap 20 " + net + " " + Text(Between(town, G(0, 2), G(0, 3), 0.5, 40)) + " " + grid, 1,
       "Point 1 (" + Text(Between(town, G(0, 2), G(0, 3), 0.5, 40)) + ") is farther than 20 m"},
      {net + " " + grid + " " + far + " --max-snap=7000", 0, ""},
      {dir + "nothing " + grid + " " + grid, 1, FullPath(dir + "nothing") + " does not exist"},
      {dir + "town.osm " + grid + " " + grid, 1, FullPath(dir + "town.osm") + " is a file, not a folder"},
      {dir + " " + grid + " " + grid, 1,
       FullPath(dir).substr(0, FullPath(dir).size() - 1) + " holds no routing network; build one with --network"},
      // Longitude first: far from everything, and said to fit when swapped.
      {net + " " + grid + " 11.5006536,48.1000240", 1,
       "with latitude and longitude swapped it lies inside: give the point as LAT,LON (48.100024,11.500654)"},
      {net + " " + grid + " " + far, 1, "which covers latitude 48.09"},
      {net + " " + grid + " " + grid + " --speeds " + dir + "none.csv", 1, "Cannot open file"},
      {"", 2, "no network folder given"},
      {net + " " + grid, 2, "a route needs at least two points"},
      {net + " " + grid + " 91,11.5", 2, "invalid point '91,11.5'"},
      {net + " " + grid + " '48.1;11.5'", 2, "invalid point '48.1;11.5'"},
      {net + " " + grid + " " + grid + " -o " + dir + "r.kml", 2, "-o writes .geojson or .gpx files"},
      {net + " " + grid + " " + grid + " -o " + net + "r.geojson", 2, "must not write into the network folder"},
      {net + " --pairs " + dir + "p.csv " + grid, 2, "give no points on the command line"},
      {net + " --pairs " + dir + "p.csv -o " + dir + "p.geojson", 2, "with --pairs the output is CSV"},
      {net + " " + grid + " " + grid + " --max-snap -5", 2, "invalid value '-5' for --max-snap"},
      {net + " " + grid + " " + grid + " --max-snap", 2, "option '--max-snap' needs a value"},
      {net + " " + grid + " " + grid + " --fast", 2, "unknown option '--fast'"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.args);
    const TProcess p = Run(c.args);
    EXPECT_EQ(p.status, c.status) << p.out << p.err;
    EXPECT_NE(p.err.find(c.err), std::string::npos) << p.err;
    if (c.status == 2) {
      EXPECT_NE(p.err.find("Try 'osm2trassel-cli route --help'"), std::string::npos);
    }
  }
  // Results that cannot be written are no success.
  const TProcess full = Run(net + " " + grid + " " + grid, "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("Cannot write to the standard output"), std::string::npos) << full.err;
  // A negative latitude is a point, not an option.
  EXPECT_EQ(Run(net + " -48.1,11.5 " + grid).err.find("unknown option"), std::string::npos);

  const TProcess help = Run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, RouteUsageText());
  EXPECT_EQ(Snapshot(net), before);
}

// A network folder with a damaged or missing file: status 1 and the
// library's message, naming the folder; never a crash.
TEST_F(RouteCommand, DamagedNetworksAreReportedNamingTheFolder) {
  const auto G = [](int r, int c) { return TTown::Grid(r, c); };
  const std::string points = Text(Between(town, G(0, 0), G(0, 1), 0.5, 3)) + " " +
                             Text(Between(town, G(3, 3), G(3, 4), 0.5, 3));
  const std::string folder = FullPath(net).substr(0, FullPath(net).size() - 1);
  struct TCase {
    const char* name;
    const char* file;
    std::function<void(std::string&)> damage;  // of the file's bytes; null: the file is removed
    const char* err;
  };
  auto cut = [](size_t keep) { return [keep](std::string& b) { b.resize(std::min(b.size(), keep)); }; };
  auto poke = [](size_t at, uint32_t v) {
    return [at, v](std::string& b) {
      if (b.size() >= at + 4) std::memcpy(b.data() + at, &v, 4);
    };
  };
  const std::vector<TCase> cases = {
      {"no link.bin", "link.bin", nullptr, "File is missing: "},
      {"no attribute.bin", "attribute.bin", nullptr, "File is missing: "},
      {"no spatial index", "spatialindex.bin", nullptr, "File is missing: "},
      {"config edited", "linvoro_config.ini", [](std::string& b) { b[b.find("linkcount=") + 10] ^= 1; },
       "The config file is corrupted"},
      {"link.bin cut short", "link.bin", cut(20), "link.bin is corrupt: size 20"},
      {"node.bin cut short", "node.bin", cut(30), "node.bin is corrupt"},
      {"node.bin degree table", "node.bin", poke(0, 300), "node.bin is corrupt: maximum degree 300"},
      {"node.bin lists foreign links", "node.bin", [](std::string& b) {
         uint32_t d;
         std::memcpy(&d, b.data(), 4);
         for (size_t i = 4 * (1 + d); i + 4 <= b.size(); i += 4) std::memcpy(b.data() + i, "\x07\x00\x00\x00", 4);
       }, "that does not end there"},
      {"link.bin end node out of range", "link.bin", [](std::string& b) {
         for (size_t i = 0; i < b.size(); i += 8) std::memcpy(b.data() + i, "\xff\xff\x00\x00", 4);
       }, "link.bin is corrupt: link "},
      {"length.bin not a number", "length.bin", [](std::string& b) {
         for (size_t i = 0; i < b.size(); i += 4) std::memcpy(b.data() + i, "\x00\x00\xc0\x7f", 4);
       }, "length.bin is corrupt"},
      {"coord3i.bin garbage", "coord3i.bin", [](std::string& b) {
         for (size_t i = 4; i < b.size(); i += 4) std::memcpy(b.data() + i, "\x00\x00\x00\x40", 4);
       }, "coord3i.bin is corrupt"},
      {"spatial index cut short", "spatialindex.bin", cut(100), "spatialindex.bin is corrupt"},
      {"spatial index cell count", "spatialindex.bin", poke(0, 0), "spatialindex.bin is corrupt: cell count 0"},
  };
  const std::string saved = dir + "saved/";
  fs::create_directories(saved);
  for (const auto& e : fs::directory_iterator(net)) fs::copy_file(e.path(), saved + e.path().filename().string());
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = net + c.file;
    if (c.damage) {
      std::string bytes = Slurp(path);
      c.damage(bytes);
      std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    } else {
      fs::remove(path);
    }
    const TProcess p = Run(net + " " + points);
    EXPECT_EQ(p.status, 1) << p.out << p.err;
    EXPECT_NE(p.err.find(c.err), std::string::npos) << p.err;
    EXPECT_NE(p.err.find(folder), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("rebuild it with --network"), std::string::npos) << p.err;
    fs::copy_file(saved + c.file, path, fs::copy_options::overwrite_existing);
  }
  EXPECT_EQ(Run(net + " " + points).status, 0);
}

// --pairs: one CSV row per pair, in order, with the length of the route the
// single command finds or the reason there is none; a header and blank lines
// are passed over; -o holds the same text; a malformed line stops the
// command naming the file and line, and leaves no half-written -o file.
TEST_F(RouteCommand, PairsGiveOneRowEach) {
  const auto G = [](int r, int c) { return TTown::Grid(r, c); };
  const TLatLon a = Between(town, G(0, 0), G(0, 1), 0.5, 3), b = Between(town, G(3, 2), G(3, 3), 0.5, 3);
  const TLatLon c = Between(town, G(1, 3), G(1, 4), 0.5, 4), d = Between(town, G(1, 1), G(1, 2), 0.5, 4);
  const TLatLon apart = Between(town, 4000, 4001, 0.5, 3), trapped = Between(town, 5000, 5001, 0.5, 2);
  const TLatLon far{TTown::Lat0 - 0.05, TTown::Lon0};
  auto fields = [](const TLatLon& p, const TLatLon& q) { return Text(p) + "," + Text(q); };
  auto km = [&](const TLatLon& p, const TLatLon& q) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", RouteRef(roads, PlaceRef(roads, p), PlaceRef(roads, q)).length);
    return std::string(buf);
  };
  const std::string pairs = dir + "pairs.csv";
  std::ofstream(pairs, std::ios::binary) << "from_lat,from_lon,to_lat,to_lon\r\n"
                                         << fields(a, b) << "\r\n\r\n"
                                         << fields(c, d) << "\n"
                                         << fields(a, apart) << "\n"
                                         << fields(trapped, a) << "\n"
                                         << fields(far, a) << "\n"
                                         << fields(a, a) << "\n";
  const TProcess p = Run(net + " --pairs " + pairs);
  EXPECT_EQ(p.status, 1);  // some pairs have no route
  std::istringstream rows(p.out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(rows, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 7u) << p.out;
  EXPECT_EQ(lines[0], "from_lat,from_lon,to_lat,to_lon,length_km,links,reason,duration_s");
  auto lengthOf = [](const std::string& row) {
    std::vector<std::string> f;
    std::stringstream ss(row);
    for (std::string x; std::getline(ss, x, ',');) f.push_back(x);
    return f.size() > 4 ? std::stod(f[4]) : -1.0;
  };
  EXPECT_EQ(lines[1].rfind(fields(a, b) + ",", 0), 0u);
  EXPECT_NEAR(lengthOf(lines[1]), std::stod(km(a, b)), 1e-5);
  EXPECT_NEAR(lengthOf(lines[2]), std::stod(km(c, d)), 1e-5);
  // The point beside the island is placed on the grid, as the single
  // command places it.
  EXPECT_EQ(lines[3].rfind(fields(a, apart) + ",", 0), 0u);
  EXPECT_GT(lengthOf(lines[3]), 0) << lines[3];
  EXPECT_EQ(lines[4], fields(trapped, a) + ",,,the one-way rules allow no way,");
  EXPECT_EQ(lines[5], fields(far, a) + ",,,from point farther than 1000 m from every usable link,");
  EXPECT_EQ(lines[6], fields(a, a) + ",0.000000,0,,0.0");
  EXPECT_EQ(p.err, "4 routed, 2 without a route, 0 malformed lines\n");

  // The same rows in a file; only routes found: status 0.
  std::ofstream(pairs, std::ios::binary) << fields(a, b) << "\n" << fields(c, d) << "\n";
  const std::string csv = dir + "out.csv";
  const TProcess q = Run(net + " --pairs " + pairs + " -o " + csv);
  EXPECT_EQ(q.status, 0) << q.err;
  EXPECT_EQ(q.out, "");
  EXPECT_EQ(Slurp(csv),
            "from_lat,from_lon,to_lat,to_lon,length_km,links,reason,duration_s\n" + lines[1] + "\n" + lines[2] + "\n");

  // Malformed lines among good ones: a row with the reason each, the batch
  // goes on, and the status says something was wrong.
  std::ofstream(pairs, std::ios::binary) << fields(a, b) << "\n"
                                         << Text(a) << ",x,1,2\n"
                                         << fields(c, d) << "\n"
                                         << std::string(70000, '7') << "\n"
                                         << "1,2,3\n"
                                         << fields(a, b) << "\n";
  fs::remove(csv);
  const TProcess bad = Run(net + " --pairs " + pairs + " -o " + csv);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find(FullPath(pairs) + " line 2: expected from_lat,from_lon,to_lat,to_lon"), std::string::npos)
      << bad.err;
  EXPECT_NE(bad.err.find("3 routed, 0 without a route, 3 malformed lines"), std::string::npos) << bad.err;
  std::istringstream badRows(Slurp(csv));
  std::vector<std::string> got;
  for (std::string line; std::getline(badRows, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[1], lines[1]);
  EXPECT_EQ(got[2], ",,,,,,\"bad line: line 2: expected from_lat,from_lon,to_lat,to_lon in degrees, found \"\"" +
                        Text(a) + ",x,1,2\"\"\",");
  EXPECT_EQ(got[3], lines[2]);
  EXPECT_EQ(got[4], ",,,,,,bad line: line 4: longer than 65536 bytes,");
  EXPECT_NE(got[5].find("bad line: line 5"), std::string::npos);
  EXPECT_EQ(got[6], lines[1]);
  const TProcess missing = Run(net + " --pairs " + dir + "none.csv");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Cannot open file \"" + FullPath(dir + "none.csv") + "\""), std::string::npos);
}

// The GPX file: a GPX 1.1 track along the same line as the GeoJSON, and a
// waypoint per place.
TEST_F(RouteCommand, GpxTrackFollowsTheRoute) {
  const auto G = [](int r, int c) { return TTown::Grid(r, c); };
  const std::string points = Text(Between(town, G(1, 3), G(1, 4), 0.5, 4)) + " " +
                             Text(Between(town, G(1, 1), G(1, 2), 0.5, 4));
  ASSERT_EQ(Run(net + " " + points + " -o " + dir + "r.geojson").status, 0);
  const TProcess p = Run(net + " " + points + " --output=" + dir + "r.gpx");
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_NE(p.out.find("Written: " + FullPath(dir + "r.gpx")), std::string::npos);
  const TGeoRoute route = ReadGeoJson(dir + "r.geojson");
  GDALDatasetH ds = GDALOpenEx((dir + "r.gpx").c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(OGR_L_GetFeatureCount(GDALDatasetGetLayerByName(ds, "waypoints"), TRUE), 2);
  OGRLayerH tracks = GDALDatasetGetLayerByName(ds, "tracks");
  ASSERT_EQ(OGR_L_GetFeatureCount(tracks, TRUE), 1);
  OGRFeatureH f = OGR_L_GetNextFeature(tracks);
  OGRGeometryH seg = OGR_G_GetGeometryRef(OGR_F_GetGeometryRef(f), 0);
  ASSERT_EQ(OGR_G_GetPointCount(seg), static_cast<int>(route.line.size()));
  for (int i = 0; i < OGR_G_GetPointCount(seg); ++i) {
    EXPECT_NEAR(OGR_G_GetY(seg, i), route.line[static_cast<size_t>(i)].lat, 1e-9);
    EXPECT_NEAR(OGR_G_GetX(seg, i), route.line[static_cast<size_t>(i)].lon, 1e-9);
  }
  OGR_F_Destroy(f);
  GDALClose(ds);
}

// A point beside an island (a way joined to nothing) with the grid farther
// away: placed on the grid, routed as the reference routes without the
// island, and the output names the island it passed over.
TEST_F(RouteCommand, PointsBesideAnIslandArePlacedWhereTheTripGoesOn) {
  const auto G = [](int r, int c) { return TTown::Grid(r, c); };
  std::vector<TRoad> withoutIsland = roads;
  int64_t islandWay = 0;
  for (TRoad& r : withoutIsland)
    if (std::fabs(r.pts.front().lat - town.At(4000).lat) < 1e-7 && std::fabs(r.pts.front().lon - town.At(4000).lon) < 1e-7) {
      r.oneway = 3;  // out of reach of the reference's placement
      islandWay = r.osmId;
    }
  ASSERT_NE(islandWay, 0);
  const TLatLon start = Between(town, G(0, 0), G(0, 1), 0.5, 3), island = Between(town, 4000, 4001, 0.5, 3);
  for (const bool islandFirst : {false, true}) {
    SCOPED_TRACE(islandFirst ? "island point first" : "island point last");
    const TLatLon a = islandFirst ? island : start, b = islandFirst ? start : island;
    const std::string geojson = dir + "island.geojson";
    const TProcess p = Run(net + " " + Text(a) + " " + Text(b) + " -o " + geojson);
    ASSERT_EQ(p.status, 0) << p.err;
    const TRefRoute want = RouteRef(withoutIsland, PlaceRef(withoutIsland, a), PlaceRef(withoutIsland, b));
    ASSERT_TRUE(want.found);
    const TGeoRoute got = ReadGeoJson(geojson);
    EXPECT_NEAR(got.length, want.length, 1e-5);
    EXPECT_EQ(got.links, want.links);
    const std::string point = islandFirst ? "Point 1 (" : "Point 2 (";
    const size_t at = p.out.find(point + Text(island) + ")");
    ASSERT_NE(at, std::string::npos) << p.out;
    const std::string line = p.out.substr(at, p.out.find('\n', at) - at);
    EXPECT_NE(line.find("; the nearest road, 3.0 m away, is an island of 1 link (way " + std::to_string(islandWay) + ")"),
              std::string::npos)
        << line;
  }
  // Both points on the island: it holds them all, and the route stays there.
  const TProcess both = Run(net + " " + Text(island) + " " + Text(Between(town, 4001, 4002, 0.5, 3)));
  EXPECT_EQ(both.status, 0) << both.err;
  EXPECT_EQ(both.out.find("nearest road"), std::string::npos) << both.out;
}

// The fastest route against the shortest where the faster road is longer:
// a residential street straight from west to east and a primary road round
// a bend; each held against the reference search by time on the road table.
class FastestRoute : public RouteCommand {
 protected:
  std::string Osm() const override {
    // West (1) and east (2) 1.1 km apart; the primary road bends 500 m north.
    std::string s = "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n"
                    " <node id=\"1\" lat=\"47.0\" lon=\"8.0\"/>\n <node id=\"2\" lat=\"47.0\" lon=\"8.0146\"/>\n"
                    " <node id=\"3\" lat=\"47.0045\" lon=\"8.0\"/>\n <node id=\"4\" lat=\"47.0045\" lon=\"8.0146\"/>\n"
                    " <node id=\"5\" lat=\"46.9990\" lon=\"7.9990\"/>\n <node id=\"6\" lat=\"46.9990\" lon=\"8.0156\"/>\n";
    s += " <way id=\"10\"><nd ref=\"1\"/><nd ref=\"2\"/><tag k=\"highway\" v=\"residential\"/></way>\n";
    s += " <way id=\"11\"><nd ref=\"1\"/><nd ref=\"3\"/><nd ref=\"4\"/><nd ref=\"2\"/><tag k=\"highway\" v=\"primary\"/></way>\n";
    s += " <way id=\"12\"><nd ref=\"5\"/><nd ref=\"1\"/><tag k=\"highway\" v=\"residential\"/></way>\n";
    s += " <way id=\"13\"><nd ref=\"2\"/><nd ref=\"6\"/><tag k=\"highway\" v=\"residential\"/></way>\n";
    return s + "</osm>\n";
  }
};

TEST_F(FastestRoute, FastestTakesTheFasterLongerRoadAndShortestTheShorter) {
  const TLatLon a{46.99905, 7.99905}, b{46.99905, 8.01555};  // on the spurs west and east
  struct TCase {
    const char* name;
    std::string args;
    std::map<std::string, double> speeds;
    bool byTime;
  };
  const std::string speedFile = dir + "speeds.csv";
  std::ofstream(speedFile, std::ios::binary) << "class,kmh\nresidential,60\n3,40\n";
  const TCase cases[] = {
      {"shortest", "", DefaultSpeeds, false},
      {"fastest", "--fastest", DefaultSpeeds, true},
      {"fastest at the speeds of a file", "--fastest --speeds " + speedFile, {{"primary", 40}, {"residential", 60}}, true},
  };
  std::vector<int> firstLinks;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string geojson = dir + "fast.geojson";
    const TProcess p = Run(c.args + " " + net + " " + Text(a) + " " + Text(b) + " -o " + geojson);
    ASSERT_EQ(p.status, 0) << p.err;
    const TRefPlace pa = PlaceRef(roads, a), pb = PlaceRef(roads, b);
    const TRefRoute want = RouteRef(roads, pa, pb, c.byTime ? &c.speeds : nullptr);
    ASSERT_TRUE(want.found);
    const TGeoRoute got = ReadGeoJson(geojson);
    EXPECT_EQ(got.links, want.links);
    // The time of the links taken, at the case's speeds, and their length.
    const TRefRoute byTime = RouteRef(roads, pa, pb, &c.speeds);
    const TRefRoute byLength = RouteRef(roads, pa, pb);
    if (got.links == byTime.links) {
      GDALDatasetH ds = GDALOpenEx(geojson.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
      ASSERT_NE(ds, nullptr);
      OGRFeatureH f = OGR_L_GetNextFeature(GDALDatasetGetLayer(ds, 0));
      EXPECT_NEAR(OGR_F_GetFieldAsDouble(f, OGR_F_GetFieldIndex(f, "duration_s")), byTime.length, 0.1);
      OGR_F_Destroy(f);
      GDALClose(ds);
    }
    if (!c.byTime) {
      EXPECT_NEAR(got.length, byLength.length, 1e-5);
    }
    firstLinks.push_back(got.links.size() > 1 ? std::abs(got.links[1]) : 0);
  }
  // The cases differ where they should: the primary road only by time at the
  // default speeds.
  EXPECT_NE(firstLinks[0], firstLinks[1]);
  EXPECT_EQ(firstLinks[0], firstLinks[2]);
}

// The help page's section on the command names every option route --help
// lists, every exit status and the messages; the tool's own --help lists
// the command.
TEST(RouteDocs, HelpPageAndUsageDescribeTheCommand) {
  const std::string section = HelpSection("route");
  ASSERT_FALSE(section.empty());
  EXPECT_NE(Slurp(std::string(PROJECT_DATA_DIR) + "/help.html").find("<a href=\"#route\">"), std::string::npos);
  const std::vector<std::string> options = UsageOptions(RouteUsageText());
  EXPECT_GE(options.size(), 6u);
  for (const std::string& o : options) EXPECT_NE(section.find("<code>" + o), std::string::npos) << o;
  for (const char* part : {"<td>0</td>", "<td>1</td>", "<td>2</td>", "different simple subnets",
                           "the one-way rules allow no way", "farther than", "length_km", "osm_ways", "GPX 1.1",
                           "nothing is ever written into"})
    EXPECT_NE(section.find(part), std::string::npos) << part;
  const std::string main = UsageText();
  EXPECT_NE(main.find("osm2trassel-cli route [OPTIONS] DIR LAT,LON LAT,LON"), std::string::npos);
  EXPECT_NE(main.find("\n  route "), std::string::npos);
}
