// Spatial checks and their containers: the pair set and the location list,
// point-to-arc distances against a vector construction, and each check on
// networks converted from OSM extracts against a brute-force scan over all
// nodes, links and segments; small hand-made networks for the rules at the
// edges (radius, end points, touching links, empty results, errors).
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "error_text.h"
#include "extract_network.h"
#include "linvoro_import.h"
#include "linvoro_locationlist.h"
#include "linvoro_network.h"
#include "linvoro_network_calc.h"
#include "linvoro_network_spatial.h"
#include "linvoro_sparsematrix.h"
#include "run_driver.h"
#include "run_options.h"
#include "net_fixture.h"
#include "network_reference.h"
#include "run_ui.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

constexpr double R = 6378.13;  // km per radian
constexpr double D2R = M_PI / 180;

// ------------------------------------------------------------ reference geometry

// In extended precision, so that arcs of a few centimetres keep their
// digits through the unit vectors.
using LD = long double;
using V3 = std::array<LD, 3>;
V3 Vec(const TFloatPoint& p) {
  const LD k = LD(M_PI) / 180;
  const LD lon = LD(p.x) * k, lat = LD(p.y) * k;
  return {cosl(lat) * cosl(lon), cosl(lat) * sinl(lon), sinl(lat)};
}
V3 CrossV(const V3& a, const V3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
LD DotV(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
LD NormV(const V3& a) { return sqrtl(DotV(a, a)); }
LD AngleV(const V3& a, const V3& b) { return atan2l(NormV(CrossV(a, b)), DotV(a, b)); }
double Angle(const TFloatPoint& a, const TFloatPoint& b) { return double(AngleV(Vec(a), Vec(b))); }

// Central angle from p to the minor great-circle arc ab, and the angle from
// a to the nearest point of the arc.
double ArcDistance(const TFloatPoint& P, const TFloatPoint& A, const TFloatPoint& B, double& along) {
  const V3 a = Vec(A), b = Vec(B), p = Vec(P);
  V3 n = CrossV(a, b);
  const LD nn = NormV(n);
  const LD dA = AngleV(p, a), dB = AngleV(p, b);
  along = 0;
  if (nn < 1e-300L) return double(dA);
  for (LD& c : n) c /= nn;
  const LD pn = DotV(p, n);
  const V3 f = {p[0] - pn * n[0], p[1] - pn * n[1], p[2] - pn * n[2]};
  if (DotV(CrossV(a, f), n) >= 0 && DotV(CrossV(f, b), n) >= 0 && NormV(f) > 0) {
    along = double(AngleV(a, f));
    return double(atan2l(fabsl(pn), NormV(f)));
  }
  if (dA <= dB) return double(dA);
  along = double(AngleV(a, b));
  return double(dB);
}

// ------------------------------------------------------------ network files

// A network read from its files without the library.
struct TRawNet {
  int32_t links = 0, nodes = 0;
  std::vector<int32_t> from, to;
  std::vector<float> len;
  std::vector<TFloatPoint> node;               // 1-based
  std::vector<std::vector<TFloatPoint>> shape;  // 1-based, full polylines
  std::vector<std::vector<int32_t>> at;         // links at each node

  explicit TRawNet(const std::string& dir) {
    const auto lk = ReadArray<uint32_t>(dir + "link.bin");
    const auto ln = ReadArray<float>(dir + "length.bin");
    const auto co = ReadArray<TFloatPoint>(dir + "coord.bin");
    const auto c3 = ReadArray<TFloatPoint>(dir + "coord3.bin");
    const auto c3i = ReadArray<int32_t>(dir + "coord3i.bin");
    links = static_cast<int32_t>(ln.size());
    nodes = static_cast<int32_t>(co.size());
    node.assign(co.begin(), co.end());
    node.insert(node.begin(), TFloatPoint{});
    from.assign(links + 1, 0);
    to.assign(links + 1, 0);
    len.assign(links + 1, 0);
    shape.assign(links + 1, {});
    at.assign(nodes + 1, {});
    for (int32_t l = 1; l <= links; ++l) {
      from[l] = static_cast<int32_t>(lk[2 * (l - 1)]);
      to[l] = static_cast<int32_t>(lk[2 * (l - 1) + 1]);
      len[l] = ln[l - 1];
      if (len[l] == 0) continue;
      shape[l].push_back(node[from[l]]);
      for (int32_t k = c3i[l - 1]; k < c3i[l]; ++k) shape[l].push_back(c3[k]);
      shape[l].push_back(node[to[l]]);
      at[from[l]].push_back(l);
      at[to[l]].push_back(l);
    }
  }
  bool Connected(int32_t a, int32_t b) const {
    for (int32_t l : at[a])
      if (from[l] + to[l] - a == b) return true;
    return false;
  }
  // Nearest point of link l to P: central angle, segment, position.
  double Nearest(const TFloatPoint& P, int32_t l, double& percent) const {
    const auto& s = shape[l];
    double best = 1e300, before = 0, bestAlong = 0;
    for (size_t j = 1; j < s.size(); ++j) {
      double along;
      const double d = ArcDistance(P, s[j - 1], s[j], along);
      if (d < best) {
        best = d;
        bestAlong = before + along;
      }
      before += Angle(s[j - 1], s[j]);
    }
    percent = before > 0 ? std::min(1.0, bestAlong / before) : 0;
    return best;
  }
  TFloatRect Box(int32_t l) const {
    TFloatRect r{1e300, 1e300, -1e300, -1e300};
    for (const TFloatPoint& p : shape[l]) {
      r.xmin = std::min(r.xmin, p.x);
      r.ymin = std::min(r.ymin, p.y);
      r.xmax = std::max(r.xmax, p.x);
      r.ymax = std::max(r.ymax, p.y);
    }
    return r;
  }
};

// Rows of a MIF check table's .mid file, split at commas.
std::vector<std::vector<std::string>> MidRows(const std::string& stem) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(stem + ".mid");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string v;
    while (std::getline(ss, v, ',')) f.push_back(v);
    rows.push_back(f);
  }
  return rows;
}

// The two-point lines of a MIF check table, in row order.
std::vector<std::pair<TFloatPoint, TFloatPoint>> MifLines(const std::string& stem) {
  std::vector<std::pair<TFloatPoint, TFloatPoint>> lines;
  std::ifstream in(stem + ".mif");
  std::string w;
  while (in >> w) {
    if (w == "Line") {
      TFloatPoint a, b;
      in >> a.x >> a.y >> b.x >> b.y;
      lines.push_back({a, b});
    } else if (w == "Pline") {
      int n = 0;
      in >> n;
      std::vector<TFloatPoint> p(n);
      for (auto& q : p) in >> q.x >> q.y;
      if (n >= 2) lines.push_back({p.front(), p.back()});
    }
  }
  return lines;
}

// ------------------------------------------------------------ building networks

std::unique_ptr<TNetwork> OpenNet(const std::string& dir, bool spatialindex = true) {
  auto nw = std::make_unique<TNetwork>();
  nw->SetDirectory(dir);
  nw->Open(true, false, spatialindex, 0);
  return nw;
}


// Each extract's network of all modes: footways cross roads, which gives
// more overpasses.
class ExtractChecks : public TExtractTest {
 protected:
  ExtractChecks() : TExtractTest(true) {}
};

}  // namespace

// ------------------------------------------------------------ containers

TEST(SparseMatrix, IsASetOfOrderedPairs) {
  TSparseMatrix m(1000);
  std::set<std::pair<int32_t, int32_t>> ref;
  std::mt19937 rng(3);
  std::uniform_int_distribution<int32_t> small(0, 400), wide(-5, 200000);
  for (int i = 0; i < 300000; ++i) {
    const bool w = i % 3 == 0;
    const int32_t r = w ? wide(rng) : small(rng), c = w ? wide(rng) : small(rng);
    const bool present = !ref.insert({r, c}).second;
    ASSERT_EQ(m.Add(r, c), present) << r << "," << c;
  }
  EXPECT_EQ(m.Count(), static_cast<int64_t>(ref.size()));
  // Order matters, and the pair whose key would mark a free slot is a pair.
  TSparseMatrix s(10);
  EXPECT_FALSE(s.Add(3, 7));
  EXPECT_FALSE(s.Add(7, 3));
  EXPECT_TRUE(s.Add(3, 7));
  EXPECT_FALSE(s.Contains(-1, -1));
  EXPECT_FALSE(s.Add(-1, -1));
  EXPECT_TRUE(s.Add(-1, -1));
  EXPECT_TRUE(s.Contains(7, 3));
  EXPECT_FALSE(s.Contains(7, 4));
}

TEST(LocationList, OrdersByLinkThenPositionAndCleansUp) {
  TLocationList L;
  L.Add(5, 0.5, {1, 1});
  L.Add(5, 0.75, {2, 2});
  EXPECT_TRUE(L.Sorted());
  L.Add(3, 0.25, {3, 3});
  EXPECT_FALSE(L.Sorted());
  for (auto [l, p] : std::vector<std::pair<int32_t, double>>{
           {5, 0.5}, {3, 0.0}, {3, 1.0}, {4, -2}, {4, -1}, {5, 0.5}, {2, 1e-12}, {2, 1 - 1e-12}})
    L.Add(l, p, {9, 9});
  L.RemoveDuplicates();
  L.RemoveStartEndPos();
  std::vector<std::pair<int32_t, double>> got;
  for (int32_t i = 0; i < L.Count(); ++i) got.push_back({L[i].loc.link, L[i].loc.percent});
  const std::vector<std::pair<int32_t, double>> want = {
      {2, 1e-12}, {2, 1 - 1e-12}, {3, 0.25}, {4, -2}, {4, -1}, {5, 0.5}, {5, 0.75}};
  EXPECT_EQ(got, want);
  EXPECT_TRUE(L.Sorted());
  EXPECT_EQ(L[2].P, (TFloatPoint{3, 3}));  // the point travels with its item
}

// ------------------------------------------------------------ distance to an arc

TEST(SpatialGeometry, PointToArcMatchesVectorConstruction) {
  TSpatialSearch::TGeometry g;
  g.unit = cuDeg;
  g.angular = true;
  g.toRad = D2R;
  g.distfactor = R;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> lat(-70, 70), lon(-179, 179), u(-1, 1);
  for (double scale : {1e-5, 1e-4, 1e-2, 0.5}) {
    SCOPED_TRACE(scale);
    for (int i = 0; i < 3000; ++i) {
      const TFloatPoint A{lon(rng), lat(rng)};
      const TFloatPoint B{A.x + u(rng) * scale, A.y + u(rng) * scale};
      const TFloatPoint P{A.x + u(rng) * scale * 1.5, A.y + u(rng) * scale * 1.5};
      double frac, along;
      TFloatPoint foot;
      int32_t side;
      const double got = g.SegmentDist(P, A, B, frac, foot, side);
      const double want = ArcDistance(P, A, B, along);
      // The reference loses up to about 1e-12 rad (some micrometres) to the
      // unit vectors of points a metre apart.
      ASSERT_NEAR(got, want, 1e-9 * want + 2e-12) << i;
      // The foot lies at that distance from P and at frac along the arc.
      ASSERT_NEAR(Angle(P, foot), want, 1e-7 * want + 1e-12) << i;
      ASSERT_NEAR(frac * Angle(A, B), along, 1e-7 * Angle(A, B) + 1e-12) << i;
    }
  }
  // Plane units: perpendicular foot or the nearer end.
  TSpatialSearch::TGeometry p;
  p.unit = cuM;
  double frac;
  TFloatPoint foot;
  int32_t side;
  EXPECT_DOUBLE_EQ(p.SegmentDist({5, 3}, {0, 0}, {10, 0}, frac, foot, side), 3);
  EXPECT_EQ(foot, (TFloatPoint{5, 0}));
  EXPECT_EQ(frac, 0.5);
  EXPECT_EQ(side, 1);
  EXPECT_DOUBLE_EQ(p.SegmentDist({-3, -4}, {0, 0}, {10, 0}, frac, foot, side), 5);
  EXPECT_EQ(foot, (TFloatPoint{0, 0}));
  EXPECT_DOUBLE_EQ(p.SegmentDist({13, 4}, {0, 0}, {10, 0}, frac, foot, side), 5);
  EXPECT_EQ(frac, 1);
  EXPECT_DOUBLE_EQ(p.SegmentDist({1, 1}, {0, 0}, {0, 0}, frac, foot, side), std::sqrt(2.0));
}

// ------------------------------------------------------------ extracts

TEST_P(ExtractChecks, NonConnectedNodesAreAllClosePairsWithoutLink) {
  const TRawNet raw(dir);
  auto nw = OpenNet(dir);
  TSpatialSearch ss(nw.get());
  for (double radius : {0.002, 0.03}) {
    SCOPED_TRACE(radius);
    std::map<std::pair<int32_t, int32_t>, double> want;
    for (int32_t i = 1; i <= raw.nodes; ++i)
      for (int32_t j = i + 1; j <= raw.nodes; ++j) {
        if (std::fabs(raw.node[i].y - raw.node[j].y) > 0.001 ||
            std::fabs(raw.node[i].x - raw.node[j].x) > 0.002)
          continue;  // beyond 100 m
        const double d = Angle(raw.node[i], raw.node[j]) * R;
        if (d < radius && !raw.Connected(i, j)) want[{i, j}] = d;
      }
    const std::string stem = dir + "non_connected_nodes";
    const int32_t rows = ss.FindNonConnectedNodes(stem, gfMIF, radius);
    EXPECT_EQ(rows, static_cast<int32_t>(want.size()));
    if (want.empty()) {
      EXPECT_FALSE(fs::exists(stem + ".mif"));  // dropped
      continue;
    }
    std::map<std::pair<int32_t, int32_t>, double> got;
    for (const auto& f : MidRows(stem)) {
      ASSERT_EQ(f.size(), 3u);
      got[{std::stoi(f[0]), std::stoi(f[1])}] = std::stod(f[2]);
    }
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [k, d] : want) {
      ASSERT_TRUE(got.count(k)) << k.first << "," << k.second;
      EXPECT_NEAR(got[k], d, 1e-9 + 1e-9 * d);
    }
  }
}

TEST_P(ExtractChecks, NonConnectedLinksAreNodesNearALinkThatDoesNotReachThem) {
  const TRawNet raw(dir);
  auto nw = OpenNet(dir);
  TSpatialSearch ss(nw.get());
  for (double radius : {0.002, 0.01}) {
    SCOPED_TRACE(radius);
    // Per node, the links that qualify and their distances.
    std::map<int32_t, std::map<int32_t, double>> want;
    for (int32_t l = 1; l <= raw.links; ++l) {
      if (raw.len[l] == 0) continue;
      TFloatRect b = raw.Box(l);
      const double m = radius / R / D2R * 3;  // generous, in degrees
      for (int32_t i = 1; i <= raw.nodes; ++i) {
        const TFloatPoint& P = raw.node[i];
        if (P.y < b.ymin - m || P.y > b.ymax + m || P.x < b.xmin - 2 * m || P.x > b.xmax + 2 * m)
          continue;
        if (raw.from[l] == i || raw.to[l] == i) continue;
        double pct;
        const double d = raw.Nearest(P, l, pct) * R;
        if (d < radius && !raw.Connected(i, raw.from[l]) && !raw.Connected(i, raw.to[l]))
          want[i][l] = d;
      }
    }
    const std::string stem = dir + "non_connected_links";
    const int32_t rows = ss.FindNonConnected(stem, gfMIF, radius);
    std::set<int32_t> nodesWithRows;
    if (rows > 0) {
      const auto mid = MidRows(stem);
      const auto lines = MifLines(stem);
      ASSERT_EQ(mid.size(), static_cast<size_t>(rows));
      ASSERT_EQ(lines.size(), mid.size());
      for (size_t r = 0; r < mid.size(); ++r) {
        const int32_t i = std::stoi(mid[r][0]), l = std::stoi(mid[r][1]);
        const double d = std::stod(mid[r][2]);
        ASSERT_TRUE(want.count(i) && want[i].count(l)) << "row " << i << "," << l;
        EXPECT_NEAR(d, want[i][l], 1e-9 + 1e-7 * d);
        // The line runs from the node to its nearest point on the link.
        EXPECT_EQ(lines[r].first, raw.node[i]);
        EXPECT_NEAR(Angle(lines[r].second, raw.node[i]) * R, d, 1e-8);
        nodesWithRows.insert(i);
      }
    } else {
      EXPECT_FALSE(fs::exists(stem + ".mif"));
    }
    // Every node with a qualifying link is reported (at least once).
    for (const auto& [i, ls] : want) EXPECT_TRUE(nodesWithRows.count(i)) << "node " << i;
  }
}

TEST_P(ExtractChecks, SplitAndSnapFindsTheNearestOtherLinkOfEachEndOrBendNode) {
  const TRawNet raw(dir);
  auto nw = OpenNet(dir);
  TSpatialSearch ss(nw.get());
  const double radius = 0.005;
  TLocationList want;
  int32_t wantCount = 0;
  for (int32_t i = 1; i <= raw.nodes; ++i) {
    if (raw.at[i].size() > 2) continue;
    std::set<int32_t> excluded;
    for (int32_t l : raw.at[i]) {
      excluded.insert(l);
      for (int32_t k : raw.at[raw.from[l] + raw.to[l] - i]) excluded.insert(k);
    }
    double best = 1e300, bestPct = 0;
    int32_t bestLink = 0;
    const TFloatPoint& P = raw.node[i];
    const double m = radius / R / D2R * 3;
    for (int32_t l = 1; l <= raw.links; ++l) {
      if (raw.len[l] == 0 || excluded.count(l)) continue;
      const TFloatRect b = raw.Box(l);
      if (P.y < b.ymin - m || P.y > b.ymax + m || P.x < b.xmin - 2 * m || P.x > b.xmax + 2 * m)
        continue;
      double pct;
      const double d = raw.Nearest(P, l, pct);
      if (d < best) {
        best = d;
        bestLink = l;
        bestPct = pct;
      }
    }
    if (bestLink == 0 || best * R >= radius || bestPct == 0 || bestPct == 1) continue;
    // A foot within the arc's tilt against the grid of an end is that end.
    const double len = raw.len[bestLink];
    const double slack = best * R * len * std::tan(std::fabs(P.y) * D2R) / R + 1e-9 * len;
    if (bestPct * len <= slack || (1 - bestPct) * len <= slack) continue;
    ++wantCount;
    want.Add(bestLink, bestPct, P);
    for (int32_t l : raw.at[i]) want.Add(l, raw.from[l] == i ? -2.0 : -1.0, P);
  }
  want.RemoveDuplicates();
  want.RemoveStartEndPos();
  TLocationList got;
  EXPECT_EQ(ss.SplitAndSnap(radius, got), wantCount);
  ASSERT_EQ(got.Count(), want.Count());
  for (int32_t k = 0; k < got.Count(); ++k) {
    EXPECT_EQ(got[k].loc.link, want[k].loc.link) << k;
    EXPECT_NEAR(got[k].loc.percent, want[k].loc.percent, 1e-6) << k;
    // The point is the foot on the found link, within the radius of the node.
    EXPECT_LT(Angle(got[k].P, want[k].P) * R, radius);
  }
  if (raw.links > kLargeNetworkLinks) {
    EXPECT_GT(wantCount, 0);
  }
}

namespace {

// Same rules as the check: closed segments, an end point lying on the other
// segment is the crossing point itself, a crossing at a link's first or last
// point does not count. Calls f(k, l, X, tA, tB) for every counting crossing.
template <class F>
void Crossings(const std::vector<TFloatPoint>& a, const std::vector<TFloatPoint>& b, F&& f) {
  auto orient = [](const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2) {
    const double d1x = p1.x - p0.x, d1y = p1.y - p0.y, d2x = p2.x - p0.x, d2y = p2.y - p0.y;
    if (d1x * d2y > d1y * d2x) return 1;
    if (d1x * d2y < d1y * d2x) return -1;
    if (d1x * d2x < 0 || d1y * d2y < 0) return -1;
    if (d1x * d1x + d1y * d1y < d2x * d2x + d2y * d2y) return 1;
    return 0;
  };
  for (size_t k = 1; k < a.size(); ++k)
    for (size_t l = 1; l < b.size(); ++l) {
      const TFloatPoint &A1 = a[k - 1], &A2 = a[k], &B1 = b[l - 1], &B2 = b[l];
      const int o1 = orient(A1, A2, B1), o2 = orient(A1, A2, B2), o3 = orient(B1, B2, A1),
                o4 = orient(B1, B2, A2);
      if (!((o1 * o2 < 0 && o3 * o4 < 0) || !o1 || !o2 || !o3 || !o4)) continue;
      const double rx = A2.x - A1.x, ry = A2.y - A1.y, sx = B2.x - B1.x, sy = B2.y - B1.y;
      const double den = rx * sy - ry * sx;
      TFloatPoint X;
      double tA = 0, tB = 0;
      if (std::fabs(den) < 1e-10) {
        if (std::fabs((B1.x - B2.x) * (B2.y - A2.y) - (B1.y - B2.y) * (B2.x - A2.x)) >= 1e-10)
          continue;
        X = B1;
      } else {
        const double qx = B1.x - A1.x, qy = B1.y - A1.y;
        tA = std::clamp((qx * sy - qy * sx) / den, 0.0, 1.0);
        tB = std::clamp((qx * ry - qy * rx) / den, 0.0, 1.0);
        X = !o1 ? B1 : !o2 ? B2 : !o3 ? A1 : !o4 ? A2 : TFloatPoint{A1.x + tA * rx, A1.y + tA * ry};
      }
      if (X == a.front() || X == a.back() || X == b.front() || X == b.back()) continue;
      f(k, l, X, tA, tB);
    }
}

}  // namespace

TEST_P(ExtractChecks, OverpassesAreTheCrossingsOfLinksWithoutCommonNode) {
  const TRawNet raw(dir);
  auto nw = OpenNet(dir);
  TSpatialSearch ss(nw.get());
  TLocationList got;
  ss.FindOverpasses(got);
  // Items by crossing point.
  std::map<std::pair<double, double>, std::set<int32_t>> byPoint;
  std::map<std::pair<int32_t, std::pair<double, double>>, double> posOf;
  for (int32_t k = 0; k < got.Count(); ++k) {
    byPoint[{got[k].P.x, got[k].P.y}].insert(got[k].loc.link);
    posOf[{got[k].loc.link, {got[k].P.x, got[k].P.y}}] = got[k].loc.percent;
  }
  // Brute force over all pairs of links.
  std::vector<TFloatRect> box(raw.links + 1);
  for (int32_t l = 1; l <= raw.links; ++l)
    if (raw.len[l] != 0) box[l] = raw.Box(l);
  std::set<std::pair<int32_t, int32_t>> crossingPairs;
  std::map<std::pair<int32_t, int32_t>, std::vector<TFloatPoint>> points;
  for (int32_t A = 1; A <= raw.links; ++A) {
    if (raw.len[A] == 0) continue;
    for (int32_t B = A + 1; B <= raw.links; ++B) {
      if (raw.len[B] == 0) continue;
      if (raw.from[A] == raw.from[B] || raw.from[A] == raw.to[B] || raw.to[A] == raw.from[B] ||
          raw.to[A] == raw.to[B])
        continue;
      const TFloatRect &a = box[A], &b = box[B];
      if (a.xmin > b.xmax || b.xmin > a.xmax || a.ymin > b.ymax || b.ymin > a.ymax) continue;
      Crossings(raw.shape[A], raw.shape[B],
                [&](size_t, size_t, const TFloatPoint& X, double, double) {
                  crossingPairs.insert({A, B});
                  points[{A, B}].push_back(X);
                });
    }
  }
  // Every crossing pair has one of its crossing points on both links.
  for (const auto& [pair, pts] : points) {
    bool found = false;
    for (const TFloatPoint& X : pts) {
      auto it = byPoint.find({X.x, X.y});
      if (it != byPoint.end() && it->second.count(pair.first) && it->second.count(pair.second))
        found = true;
    }
    EXPECT_TRUE(found) << pair.first << " x " << pair.second;
  }
  // Every reported point is a crossing of two of its links; positions
  // follow the links' lengths.
  for (const auto& [pt, ls] : byPoint) {
    const TFloatPoint X{pt.first, pt.second};
    bool ok = false;
    for (int32_t A : ls)
      for (int32_t B : ls)
        if (A < B && crossingPairs.count({A, B}))
          for (const TFloatPoint& Y : points[{A, B}]) ok = ok || Y == X;
    EXPECT_TRUE(ok) << X.x << " " << X.y;
    for (int32_t L : ls) {
      // Length along the link's arcs up to X over its stored length.
      // (X lies on the straight segment in degrees, a little off the arc.)
      const auto& s = raw.shape[L];
      double before = 0, want = -1, nearest = 1e300;
      for (size_t j = 1; j < s.size(); ++j) {
        double along;
        const double d = ArcDistance(X, s[j - 1], s[j], along);
        if (d < nearest) {
          nearest = d;
          want = (before + along) * R / raw.len[L];
        }
        before += Angle(s[j - 1], s[j]);
      }
      const double gotPos = posOf[{L, pt}];
      EXPECT_NEAR(gotPos, want, 1e-5) << L;
    }
  }
  if (raw.links > kLargeNetworkLinks) {
    EXPECT_GT(crossingPairs.size(), 0u);
  }
}

TEST_P(ExtractChecks, NearestLocationAndSelectNodesMatchAFullScan) {
  const TRawNet raw(dir);
  auto nw = OpenNet(dir);
  TSpatialSearch ss(nw.get());
  const TFloatRect m = nw->Mbr();
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> ux(m.xmin, m.xmax), uy(m.ymin, m.ymax);
  TIntegerList sel;
  TBitArray ba;
  for (int k = 0; k < 60; ++k) {
    const TFloatPoint P{ux(rng), uy(rng)};
    TLocation loc;
    int32_t side;
    double dist;
    TFloatPoint Pnew;
    ss.NearestLocation(P, loc, side, dist, Pnew);
    double best = 1e300, bestPct = 0;
    int32_t bestLink = 0;
    const double kmPerDeg = R * D2R, cosLat = std::cos(P.y * D2R);
    for (int32_t l = 1; l <= raw.links; ++l) {
      if (raw.len[l] == 0) continue;
      // Links whose rectangle is clearly farther than the best so far.
      const TFloatRect b = raw.Box(l);
      const double dx = std::max({b.xmin - P.x, P.x - b.xmax, 0.0}) * kmPerDeg * cosLat;
      const double dy = std::max({b.ymin - P.y, P.y - b.ymax, 0.0}) * kmPerDeg;
      if (best < 1e300 && std::hypot(dx, dy) > best * R * 1.01 + 1e-6) continue;
      double pct;
      const double d = raw.Nearest(P, l, pct);
      if (d < best) {
        best = d;
        bestLink = l;
        bestPct = pct;
      }
    }
    ASSERT_NEAR(dist, best * R, 1e-9 + 1e-9 * dist) << k;
    if (loc.link == bestLink) {
      EXPECT_NEAR(loc.percent, bestPct, 1e-6);
    }
    // DistanceToLink on the found link agrees.
    double pct, d2;
    int32_t side2;
    TFloatPoint P2;
    nw->DistanceToLink(P, loc.link, pct, side2, d2, P2);
    EXPECT_NEAR(d2, dist, 1e-12 + 1e-12 * dist);
    EXPECT_NEAR(pct, loc.percent, 1e-12);

    const double radius = 0.05 + 0.5 * (k % 4);
    ss.SelectNodes(P, radius, sel, &ba);
    std::vector<int32_t> want;
    for (int32_t i = 1; i <= raw.nodes; ++i)
      if (std::fabs(P.y - raw.node[i].y) < 0.03 && Angle(P, raw.node[i]) * R < radius)
        want.push_back(i);
    ASSERT_EQ(std::vector<int32_t>(sel.begin(), sel.end()), want) << k;
    EXPECT_EQ(ba.CountTrue(), static_cast<int64_t>(want.size()));
    EXPECT_EQ(ba.Size(), raw.nodes + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(SharedData, ExtractChecks, ::testing::ValuesIn(ExtractParams()), ExtractTestName);

// ------------------------------------------------------------ hand-made networks

class SpatialRules : public TTempDirTest {
 protected:
  SpatialRules() : TTempDirTest("spatial_") {}
  std::unique_ptr<TNetwork> Build(const std::vector<std::vector<TFloatPoint>>& links,
                                  const std::string& coordsys = "CoordSys Earth Projection 1, 104") {
    BuildNetworkIn(dir, links, {}, false, coordsys);
    return OpenNet(dir);
  }
  // One metre in degrees of latitude.
  static constexpr double M = 1.0 / (R * 1000 * D2R);
};

namespace {
TFloatPoint G(double i, double j) { return {1.5 + i * 0.001, 42.5 + j * 0.001}; }
}  // namespace

TEST_F(SpatialRules, DeadEndsOneMetreApart) {
  // Two dead ends 1 m apart, then the same two joined by a link.
  const TFloatPoint a = G(1, 0), b{a.x, a.y + M};
  for (bool joined : {false, true}) {
    SCOPED_TRACE(joined);
    std::vector<std::vector<TFloatPoint>> L = {{G(0, 0), a}, {b, G(2, 1)}};
    if (joined) L.push_back({a, b});
    auto nw = Build(L);
    TSpatialSearch ss(nw.get());
    const std::string stem = dir + "non_connected_nodes";
    const int32_t rows = ss.FindNonConnectedNodes(stem, gfMIF, 0.002);
    if (joined) {
      EXPECT_EQ(rows, 0);
      EXPECT_FALSE(fs::exists(stem + ".mif"));
      continue;
    }
    ASSERT_EQ(rows, 1);
    const auto mid = MidRows(stem);
    ASSERT_EQ(mid.size(), 1u);
    EXPECT_LT(std::stoi(mid[0][0]), std::stoi(mid[0][1]));
    EXPECT_NEAR(std::stod(mid[0][2]), 0.001, 1e-9);
    std::ifstream mif(stem + ".mif");
    const std::string text((std::istreambuf_iterator<char>(mif)), {});
    EXPECT_NE(text.find("Pen(10,"), std::string::npos);
  }
}

TEST_F(SpatialRules, RadiusIsExclusive) {
  // Plane metres: nodes exactly 2 m and 1.999 m apart, radius 2 m.
  auto nw = Build({{{0, 0}, {0, 10}}, {{2, 0}, {2, 10}}, {{0, 30}, {0, 40}}, {{1.999, 30}, {1.999, 40}}},
                  "CoordSys NonEarth Units \"m\" Bounds (-100, -100) (100, 100)");
  ASSERT_EQ(nw->CoordinateUnit(), cuM);
  TSpatialSearch ss(nw.get());
  TIntegerList sel;
  ss.SelectNodes({0, 0}, 0.002, sel, nullptr);
  EXPECT_EQ(sel.Count(), 1);  // itself only
  ss.SelectNodes({0, 30}, 0.002, sel, nullptr);
  EXPECT_EQ(sel.Count(), 2);
  // Both ends of the 1.999 m pair, none of the 2 m pair.
  EXPECT_EQ(ss.FindNonConnectedNodes(dir + "ncn", gfMIF, 0.002), 2);
  const auto mid = MidRows(dir + "ncn");
  ASSERT_EQ(mid.size(), 2u);
  for (const auto& row : mid) EXPECT_NEAR(std::stod(row[2]), 0.001999, 1e-12);
}

TEST_F(SpatialRules, NodeBesideALinkAndSplitAndSnap) {
  // Link 1 runs along y = 0 through G(0,0) .. G(4,0) with a shape point;
  // a dead-end link ends 1 m above its middle.
  const TFloatPoint foot = G(2.5, 0), tip{foot.x, foot.y + M};
  auto nw = Build({{G(0, 0), G(2, 0), G(4, 0)}, {G(2.5, 3), tip}, {G(4, 0), G(4, 2)}});
  TSpatialSearch ss(nw.get());
  const int32_t tipNode = nw->ToNodeRaw(2);
  const std::string stem = dir + "non_connected_links";
  EXPECT_EQ(ss.FindNonConnected(stem, gfMIF, 0.002), 1);
  const auto mid = MidRows(stem);
  ASSERT_EQ(mid.size(), 1u);
  EXPECT_EQ(std::stoi(mid[0][0]), tipNode);
  EXPECT_EQ(std::stoi(mid[0][1]), 1);
  // The link is a great-circle arc a hair north of the parallel.
  EXPECT_NEAR(std::stod(mid[0][2]), 0.001, 1e-6);
  const auto lines = MifLines(stem);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, tip);
  EXPECT_NEAR(lines[0].second.x, foot.x, 1e-8);
  EXPECT_NEAR(lines[0].second.y, foot.y, 1e-8);

  TLocationList LL;
  EXPECT_EQ(ss.SplitAndSnap(0.002, LL), 1);
  ASSERT_EQ(LL.Count(), 2);
  EXPECT_EQ(LL[0].loc.link, 1);
  EXPECT_NEAR(LL[0].loc.percent, 2.5 / 4, 1e-4);  // arcs of a parallel: nearly linear
  EXPECT_EQ(LL[1].loc.link, 2);
  EXPECT_EQ(LL[1].loc.percent, -1.0);  // the node is link 2's to-node
  EXPECT_EQ(LL[0].P, LL[1].P);
  // The overpass list keeps the snap items and adds none: nothing crosses.
  ss.FindOverpasses(LL);
  EXPECT_EQ(LL.Count(), 2);
}

TEST_F(SpatialRules, DeadEndNearAnotherLinksEndIsNotSnapped) {
  // The nearest point of link 1 to the dead end, which lies just west of
  // it, is link 1's from-node.
  auto nw = Build({{G(0, 0), G(2, 0)}, {G(2, 0), G(2, 2)}, {G(-4, 4), {G(0, 0).x - M, G(0, 0).y}}});
  TSpatialSearch ss(nw.get());
  TLocationList LL;
  EXPECT_EQ(ss.SplitAndSnap(0.002, LL), 0);
  EXPECT_EQ(LL.Count(), 0);
}

TEST_F(SpatialRules, DeadEndBesideALinkEndGivesNothingOnEitherSide) {
  // A link of 0.001 degrees, east-west or north-south, and a dead end that
  // starts 1 m from one of its ends and runs 20 m away from it: north,
  // south or outwards of the east-west link's ends, east, west or outwards
  // of the north-south link's ends. Every such dead end's nearest point is
  // the link's end node, on both hemispheres and on the equator. One dead
  // end beside the link 0.7 m from its end shows the check still sees it.
  struct TSide {
    const char* name;
    double dx, dy;  // unit offset in metres east and north
  };
  const TSide sides[] = {{"north", 0, 1}, {"south", 0, -1}, {"east", 1, 0}, {"west", -1, 0}};
  for (const double lat : {52.5, -52.5, 0.0}) {
    const double mx = M / std::cos(lat * D2R);  // one metre east, in degrees
    const TFloatPoint w{13.4, lat}, e{13.401, lat}, s{13.4, lat}, n{13.4, lat + 0.001};
    struct TCase {
      std::string name;
      TFloatPoint a, b, end;
      TSide side;
    };
    std::vector<TCase> cases;
    for (const TSide& d : sides) {
      if (d.dx <= 0) cases.push_back({"east-west link, west end", w, e, w, d});
      if (d.dx >= 0) cases.push_back({"east-west link, east end", w, e, e, d});
      if (d.dy <= 0) cases.push_back({"north-south link, south end", s, n, s, d});
      if (d.dy >= 0) cases.push_back({"north-south link, north end", s, n, n, d});
    }
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::to_string(lat) + " " + c.name + ", " + c.side.name);
      const TFloatPoint tip{c.end.x + c.side.dx * mx, c.end.y + c.side.dy * M};
      const TFloatPoint far{c.end.x + c.side.dx * 21 * mx, c.end.y + c.side.dy * 21 * M};
      auto nw = Build({{c.a, c.b}, {tip, far}});
      TSpatialSearch ss(nw.get());
      TLocationList LL;
      EXPECT_EQ(ss.SplitAndSnap(0.002, LL), 0);
      for (int32_t k = 0; k < LL.Count(); ++k)
        ADD_FAILURE() << "split_and_snap row " << LL[k].loc.link << "," << LL[k].loc.percent;
      ss.FindOverpasses(LL);
      EXPECT_EQ(LL.Count(), 0);
      nw.reset();
      fs::remove_all(dir);
      fs::create_directories(dir);
    }
    SCOPED_TRACE(std::to_string(lat) + " beside the inside");
    const TFloatPoint tip{e.x - 0.7 * mx, e.y + M};
    auto nw = Build({{w, e}, {tip, {tip.x, tip.y + 20 * M}}});
    TSpatialSearch ss(nw.get());
    TLocationList LL;
    EXPECT_EQ(ss.SplitAndSnap(0.002, LL), 1);
    ASSERT_EQ(LL.Count(), 2);
    EXPECT_EQ(LL[0].loc.link, 1);
    EXPECT_NEAR(LL[0].loc.percent, 1 - 0.7 / (0.001 / mx), 1e-4);
    EXPECT_EQ(LL[1].loc.percent, -2.0);
    nw.reset();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
}

TEST_F(SpatialRules, OverpassCases) {
  struct TCase {
    const char* name;
    std::vector<std::vector<TFloatPoint>> links;
    int32_t items;
  } cases[] = {
      {"X without common node", {{G(0, 0), G(2, 2)}, {G(0, 2), G(2, 0)}}, 2},
      {"meeting at end nodes", {{G(0, 0), G(1, 1)}, {G(1, 1), G(2, 0)}, {G(1, 1), G(1, 3)}}, 0},
      {"common interior shape point", {{G(0, 0), G(1, 1), G(2, 2)}, {G(0, 2), G(1, 1), G(2, 0)}}, 2},
      {"end point on the other link", {{G(0, 0), G(2, 0)}, {G(1, 0), G(1, 2)}}, 0},
      {"two crossings, one reported", {{G(0, 0), G(4, 0)}, {G(1, -1), G(1, 1), G(3, 1), G(3, -1)}}, 2},
      {"parallel links", {{G(0, 0), G(2, 0)}, {G(0, 1), G(2, 1)}}, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto nw = Build(c.links);
    TSpatialSearch ss(nw.get());
    TLocationList LL;
    ss.FindOverpasses(LL);
    ASSERT_EQ(LL.Count(), c.items);
    if (c.items == 2) {
      EXPECT_EQ(LL[0].loc.link, 1);
      EXPECT_EQ(LL[1].loc.link, 2);
      EXPECT_EQ(LL[0].P, LL[1].P);
      EXPECT_GT(LL[0].loc.percent, 0);
      EXPECT_LT(LL[0].loc.percent, 1);
    }
    nw.reset();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
}

TEST_F(SpatialRules, CrossingAtTheMiddleOfBothLinks) {
  auto nw = Build({{G(0, 0), G(2, 2)}, {G(0, 2), G(2, 0)}});
  TSpatialSearch ss(nw.get());
  TLocationList LL;
  ss.FindOverpasses(LL);
  ASSERT_EQ(LL.Count(), 2);
  for (int k = 0; k < 2; ++k) {
    EXPECT_NEAR(LL[k].P.x, G(1, 1).x, 1e-12);
    EXPECT_NEAR(LL[k].P.y, G(1, 1).y, 1e-12);
    EXPECT_NEAR(LL[k].loc.percent, 0.5, 1e-4);
  }
  // Repeated searches add the same items, which come out once.
  ss.FindOverpasses(LL);
  EXPECT_EQ(LL.Count(), 2);
}

TEST_F(SpatialRules, SingleLinkNetworkFindsNothingToSnapTo) {
  auto nw = Build({{G(0, 0), G(1, 1)}});
  TSpatialSearch ss(nw.get());
  TLocationList LL;
  EXPECT_EQ(ss.SplitAndSnap(0.002, LL), 0);
  // With every link excluded the nearest search ends without a location.
  TBitArray none(2);
  ss.SetAllowedLinks(&none);
  TLocation loc{7, 0.5};
  int32_t side;
  double dist;
  TFloatPoint Pnew;
  ss.NearestLocation(G(0.6, 0.4), loc, side, dist, Pnew);
  EXPECT_EQ(loc.link, 0);
  ss.SetAllowedLinks(nullptr);
  ss.NearestLocation(G(0.6, 0.4), loc, side, dist, Pnew);
  EXPECT_EQ(loc.link, 1);
  // Degrees of longitude are 0.737 of those of latitude here: the foot
  // lies at (0.6 * 0.737^2 + 0.4) / (0.737^2 + 1) of the link.
  EXPECT_NEAR(loc.percent, 0.4704, 0.001);
  EXPECT_EQ(side, -1);  // right of the north-eastward link
  ss.NearestLocation(G(0.4, 0.6), loc, side, dist, Pnew);
  EXPECT_EQ(side, 1);
  EXPECT_EQ(ErrorOf([&] { ss.NearestLocation({100, 0}, loc, side, dist, Pnew); }),
            "Coordinates (100 , 0) are beyond search area");
}

TEST_F(SpatialRules, ErrorsOnClosedNetworkOrMissingIndex) {
  TNetwork closed;
  TSpatialSearch s1(&closed);
  TLocationList LL;
  EXPECT_EQ(ErrorOf([&] { s1.FindOverpasses(LL); }), "Network is not open");
  BuildNetworkIn(dir, {{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}});
  auto nw = OpenNet(dir, false);
  TSpatialSearch s2(nw.get());
  const std::string want = "Spatial index need to be open";
  EXPECT_EQ(ErrorOf([&] { s2.FindOverpasses(LL); }), want);
  EXPECT_EQ(ErrorOf([&] { s2.SplitAndSnap(0.002, LL); }), want);
  EXPECT_EQ(ErrorOf([&] { s2.FindNonConnected(dir + "x", gfMIF, 0.002); }), want);
  EXPECT_EQ(ErrorOf([&] { s2.FindNonConnectedNodes(dir + "x", gfMIF, 0.002); }), want);
  TIntegerList sel;
  EXPECT_EQ(ErrorOf([&] { s2.SelectNodes(G(0, 0), 1, sel, nullptr); }), want);
  // DistanceToLink checks the link.
  double pct, d;
  int32_t side;
  TFloatPoint P;
  EXPECT_EQ(ErrorOf([&] { nw->DistanceToLink(G(0, 0), 3, pct, side, d, P); }), "Link-ID must be <=2: 3");
  nw->DistanceToLink(G(0.5, 0), 1, pct, side, d, P);
  EXPECT_NEAR(d, 0, 1e-6);  // the arc runs a fraction of a millimetre north
  EXPECT_NEAR(pct, 0.5, 1e-4);
}

TEST_F(SpatialRules, CellIdsOutsideTheIndexAreRefused) {
  // A single-cell index whose cell id is out of range: the searches keep
  // their leaf marks by id, so the index is refused instead of trusted.
  BuildNetworkIn(dir, {{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}});
  std::string idx = Slurp(Path("spatialindex.bin"));
  int32_t count, id;
  std::memcpy(&count, idx.data(), 4);
  std::memcpy(&id, idx.data() + 36, 4);
  ASSERT_EQ(count, 1);
  ASSERT_EQ(id, 1);
  id = 5;
  std::memcpy(idx.data() + 36, &id, 4);
  Put(Path("spatialindex.bin"), idx);
  auto nw = OpenNet(dir);
  TSpatialSearch ss(nw.get());
  TLocationList LL;
  EXPECT_EQ(ErrorOf([&] { ss.FindOverpasses(LL); }), "spatialindex.bin is corrupt: cell id 5");
}

// ------------------------------------------------------------ stopping a check

class StoppedChecks : public TTempDirTest {
 protected:
  StoppedChecks() : TTempDirTest("stopped_") {}
};

// Every check stops at the progress point where its handler sets Cancel:
// no further progress than that point is reported, and a table it was
// writing is closed with the rows found until then. Each case first shows,
// unstopped, that the check reports progress more than once.
TEST_F(StoppedChecks, EachStopsAtTheProgressPointThatCancels) {
  constexpr int32_t n = 100;  // 10,000 nodes, 19,800 links
  std::vector<TLine> grid;
  auto P = [](int32_t i, int32_t j) { return TFloatPoint{13.0 + 0.001 * j, 52.0 + 0.001 * i}; };
  for (int32_t i = 0; i < n; ++i)
    for (int32_t j = 0; j + 1 < n; ++j) {
      grid.push_back({P(i, j), P(i, j + 1)});
      grid.push_back({P(j, i), P(j + 1, i)});
    }
  GDALAllRegister();
  BuildNetworkIn(dir, grid);
  auto nw = OpenNet(dir);
  TSpatialSearch ss(nw.get());
  TLocationList many;
  for (int32_t k = 1; k <= 10000; ++k) many.Add(k, 0.5, P(k % n, k / n));

  struct TCase {
    const char* name;
    TProgressCancel* reporter;
    std::function<void()> run;
    const char* table;  // "" when the check writes none
  };
  TRouteCalc calc(nw.get(), false);
  const TCase cases[] = {
      {"ParallelLinks", nw.get(), [&] { nw->ParallelLinks(dir + "parallel", gfMIF); }, "parallel"},
      {"ExportNodes", nw.get(), [&] { nw->ExportNodes(dir + "nodes", gfMIF); }, "nodes"},
      {"ObjectCheck", nw.get(), [&] { nw->ObjectCheck(dir + "object_check", gfMIF, 90); }, "object_check"},
      {"ExportLocationList", nw.get(), [&] { nw->ExportLocationList(dir + "list", gfMIF, many); }, "list"},
      {"FindNonConnectedNodes", &ss, [&] { ss.FindNonConnectedNodes(dir + "ncn", gfMIF, 0.002); }, "ncn"},
      {"FindNonConnected", &ss, [&] { ss.FindNonConnected(dir + "ncl", gfMIF, 0.002); }, "ncl"},
      {"SplitAndSnap", &ss, [&] { TLocationList LL; ss.SplitAndSnap(0.002, LL); }, ""},
      {"FindOverpasses", &ss, [&] { TLocationList LL; ss.FindOverpasses(LL); }, ""},
      {"SubNetEx", &calc, [&] { TIntegerArray ia; calc.SubNetEx(ia); }, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int32_t> calls;
    bool stop = false;
    c.reporter->SetOnProgress([&](TProgress*, int32_t p, bool& cancel) {
      calls.push_back(p);
      if (stop) cancel = true;
    });
    c.run();
    int32_t steps = 0;
    for (int32_t p : calls) steps += p > 0;
    ASSERT_GE(steps, 2) << "the check reports too little progress to show a stop";

    calls.clear();
    stop = true;
    c.run();
    ASSERT_GE(calls.size(), 1u);
    // At most the closing report of 0 follows the stopping point.
    EXPECT_LE(calls.size(), 2u);
    if (calls.size() == 2) {
      EXPECT_EQ(calls[1], 0);
    }
    EXPECT_TRUE(c.reporter->Cancelled());
    const std::string mif = dir + c.table + ".mif";
    if (*c.table && fs::exists(mif)) {
      // A whole table: GDAL reads every row the .mid holds.
      const auto rows = MidRows(dir + c.table);
      GDALDatasetH ds = GDALOpenEx(mif.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
      ASSERT_NE(ds, nullptr);
      EXPECT_EQ(OGR_L_GetFeatureCount(GDALDatasetGetLayer(ds, 0), TRUE), static_cast<int64_t>(rows.size()));
      GDALClose(ds);
      if (std::string(c.table) == "nodes" || std::string(c.table) == "list") {
        EXPECT_GT(rows.size(), 0u);
        EXPECT_LT(rows.size(), 10000u);
      }
    }
    c.reporter->SetOnProgress(nullptr);
  }
}
