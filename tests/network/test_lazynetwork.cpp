// The network read where a search goes (TLazyNetwork) against the loaded one
// (TNetwork) on networks converted from OSM extracts: every value, the
// placement of points against the spatial search's nearest location, and
// routes between nodes against TRouteCalc; and damaged folders, which must
// end in an exception, never in a crash or a read outside the files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "error_text.h"
#include "extract_network.h"
#include "linvoro_lazynetwork.h"
#include "linvoro_network.h"
#include "linvoro_network_calc.h"
#include "linvoro_network_spatial.h"
#include "linvoro_placeroute.h"

namespace fs = std::filesystem;

namespace {

// Each extract's network of all modes.
class LazyNetworks : public TExtractTest {
 protected:
  LazyNetworks() : TExtractTest(true) {}
};

std::unique_ptr<TNetwork> Loaded(const std::string& dir) {
  auto nw = std::make_unique<TNetwork>();
  nw->SetDirectory(dir);
  nw->Open(true, false, true, 0);
  nw->OpenRoadName(1, false);
  nw->OpenRoadName(2, false);
  return nw;
}

// A place at a node, as Place gives one for a point on it.
TLinkPlace NodePlace(const TLazyNetwork& nw, int32_t node) {
  TLinkPlace p;
  p.node = node;
  p.link = std::abs(nw.NodeLink(node, 1));
  p.point = p.given = nw.NodePoint(node);
  return p;
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

TEST_P(LazyNetworks, ReadsWhatTheLoadedNetworkHolds) {
  const auto full = Loaded(dir);
  TLazyNetwork lazy;
  lazy.SetDirectory(dir);
  lazy.Open();
  ASSERT_EQ(lazy.LinkCount(), full->LinkCount());
  ASSERT_EQ(lazy.NodeCount(), full->NodeCount());
  EXPECT_EQ(lazy.MaxDegree(), full->MaxDegree());
  EXPECT_EQ(lazy.DistFactor(), full->DistFactor());
  EXPECT_EQ(lazy.LengthAlpha(), full->LengthAlpha());
  TFloatPointArrayEx line;
  for (int32_t l = 1; l <= full->LinkCount(); ++l) {
    ASSERT_EQ(lazy.Length(l), full->LengthRaw(l)) << l;
    ASSERT_EQ(lazy.FromNode(l), full->FromNodeRaw(l)) << l;
    ASSERT_EQ(lazy.ToNode(l), full->ToNodeRaw(l)) << l;
    ASSERT_EQ(lazy.Attribute(l), full->AttributeRaw(l)) << l;
    ASSERT_EQ(lazy.RoadName(1, l), full->RoadNameFile(1)->RoadName1(l)) << l;
    ASSERT_EQ(lazy.RoadName(2, l), full->RoadNameFile(2)->RoadName1(l)) << l;
    if (full->LengthRaw(l) == 0) continue;
    lazy.ReadGISSection(l, line);
    ASSERT_TRUE(line == full->GetGISSection(l)) << l;
  }
  for (int32_t n = 1; n <= full->NodeCount(); ++n) {
    ASSERT_EQ(lazy.Degree(n), full->DegreeRaw(n)) << n;
    ASSERT_TRUE(lazy.NodePoint(n) == full->NodePointRaw(n)) << n;
    for (int32_t k = 1; k <= full->DegreeRaw(n); ++k) ASSERT_EQ(lazy.NodeLink(n, k), full->NodeLinkRaw(n, k)) << n;
  }
  // The spatial index as the loaded tree holds it, leaf by leaf.
  std::vector<std::pair<TFloatRect, int32_t>> leaves;
  const TFloatRect all{-180, -90, 180, 90};
  lazy.ScanLeaves(all, [&](const TFloatRect& r, const uint8_t*, int32_t count) { leaves.push_back({r, count}); });
  size_t i = 0;
  std::function<void(const TQuadTreeCell*)> walk = [&](const TQuadTreeCell* c) {
    if (c->Divided) {
      for (int k = 1; k <= 4; ++k) walk(c->Child(k));
      return;
    }
    ASSERT_LT(i, leaves.size());
    EXPECT_EQ(leaves[i].first.xmin, c->Rect.xmin);
    EXPECT_EQ(leaves[i].first.ymax, c->Rect.ymax);
    EXPECT_EQ(leaves[i].second, c->nodes.Count() + c->SLL.Count());
    ++i;
  };
  walk(full->QuadTree()->MainCell());
  EXPECT_EQ(i, leaves.size());
  // A scan for a small area, which stops reading after the last subtree
  // that may meet it, still finds every leaf that meets it; so does a scan
  // for two areas apart, every leaf that meets either.
  const TFloatRect m = full->Mbr();
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> u(0, 1);
  for (int k = 0; k < 30; ++k) {
    std::vector<TFloatRect> areas;
    for (int a = 0; a < 1 + k % 2; ++a) {
      const double x = m.xmin + u(rng) * (m.xmax - m.xmin), y = m.ymin + u(rng) * (m.ymax - m.ymin);
      const double w = (m.xmax - m.xmin) * u(rng) / 20;
      areas.push_back({x - w, y - w, x + w, y + w});
    }
    std::vector<const TQuadTreeCell*> want;
    std::function<void(const TQuadTreeCell*)> meet = [&](const TQuadTreeCell* c) {
      if (c->Divided) {
        for (int j = 1; j <= 4; ++j) meet(c->Child(j));
        return;
      }
      for (const TFloatRect& area : areas)
        if (c->Rect.xmin <= area.xmax && area.xmin <= c->Rect.xmax && c->Rect.ymin <= area.ymax &&
            area.ymin <= c->Rect.ymax) {
          want.push_back(c);
          return;
        }
    };
    meet(full->QuadTree()->MainCell());
    size_t got = 0;
    lazy.ScanLeaves(areas.data(), areas.size(), [&](const TFloatRect& r, const uint8_t*, int32_t) {
      ASSERT_LT(got, want.size());
      EXPECT_EQ(r.xmin, want[got]->Rect.xmin);
      EXPECT_EQ(r.ymin, want[got]->Rect.ymin);
      ++got;
    });
    EXPECT_EQ(got, want.size()) << k;
  }
  // Scans step over the subtrees earlier scans read through: one over all
  // of it, on a network that has scanned small areas, still sees every leaf.
  std::vector<std::pair<TFloatRect, int32_t>> again;
  lazy.ScanLeaves(all, [&](const TFloatRect& r, const uint8_t*, int32_t count) { again.push_back({r, count}); });
  ASSERT_EQ(again.size(), leaves.size());
  for (size_t j = 0; j < leaves.size(); ++j) {
    EXPECT_EQ(again[j].first.xmin, leaves[j].first.xmin);
    EXPECT_EQ(again[j].first.ymax, leaves[j].first.ymax);
    EXPECT_EQ(again[j].second, leaves[j].second);
  }
}

// Points anywhere in the network's area land where the spatial search's
// nearest location puts them (the same distance; the same link unless two
// are equally near), and on a link's end they are that node.
TEST_P(LazyNetworks, PlacesPointsAtTheNearestLocation) {
  const auto full = Loaded(dir);
  TSpatialSearch search(full.get());
  TLazyNetwork lazy;
  lazy.SetDirectory(dir);
  lazy.Open();
  TLegRouter router(lazy);
  std::mt19937 rng(5);
  const TFloatRect m = full->Mbr();
  std::uniform_real_distribution<double> x(m.xmin, m.xmax), y(m.ymin, m.ymax);
  std::vector<TFloatPoint> points;
  for (int i = 0; i < 300; ++i) points.push_back({x(rng), y(rng)});
  // Exactly on nodes, and on a shape point.
  for (int32_t n = 1; n <= full->NodeCount(); n += full->NodeCount() / 7 + 1) points.push_back(full->NodePointRaw(n));
  std::vector<TLinkPlace> places;
  router.Place(points, 1e4, places);
  int nodes = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    TLocation loc;
    int32_t side;
    double dist;
    TFloatPoint foot;
    search.NearestLocation(points[i], loc, side, dist, foot);
    const TLinkPlace& p = places[i];
    ASSERT_TRUE(p.Placed()) << i;
    if (p.node == 0) {
      EXPECT_NEAR(p.distance, dist, 1e-9) << i;
      if (p.link == loc.link) {
        EXPECT_NEAR(p.percent, loc.percent, 1e-9) << i;
        EXPECT_NEAR(p.point.x, foot.x, 1e-12) << i;
      }
    } else {
      ++nodes;
      // A point on a node is that node; a point beside a link's end lies
      // as far from the node as from the nearest location.
      EXPECT_TRUE(p.node == lazy.FromNode(p.link) || p.node == lazy.ToNode(p.link));
      EXPECT_NEAR(p.distance, dist, 2e-6) << i;
      if (i >= 300) {
        EXPECT_EQ(p.distance, 0) << i;
        EXPECT_TRUE(p.point == points[i]);
      }
    }
  }
  EXPECT_GT(nodes, 0);
  // One point at a time (the search then reads around each point alone,
  // widening from a few metres) finds what the batch found; so does a
  // network that keeps what its scans read.
  TLazyNetwork keeping;
  keeping.SetDirectory(dir);
  keeping.Open();
  keeping.SetKeepSpatialIndex(true);
  TLegRouter keepingRouter(keeping);
  for (size_t i = 0; i < points.size(); i += 7) {
    for (TLegRouter* r : {&router, &keepingRouter}) {
      std::vector<TLinkPlace> one;
      r->Place({points[i]}, 1e4, one);
      EXPECT_EQ(one[0].link, places[i].link) << i;
      EXPECT_EQ(one[0].distance, places[i].distance) << i;
      EXPECT_EQ(one[0].percent, places[i].percent) << i;
    }
  }
}

// Between nodes, the place router and TRouteCalc agree on every length; the
// route is a chain of links the one-way rules allow that adds up to it.
TEST_P(LazyNetworks, NodeRoutesMatchTheLoadedSearch) {
  const auto full = Loaded(dir);
  TRouteCalc calc(full.get(), false);
  TLazyNetwork lazy;
  lazy.SetDirectory(dir);
  lazy.Open();
  TLegRouter router(lazy);
  std::mt19937 rng(9);
  std::uniform_int_distribution<int32_t> node(1, full->NodeCount());
  int found = 0, none = 0;
  for (int k = 0; k < 200; ++k) {
    const int32_t s = node(rng), t = node(rng);
    const float want = calc.Route(s, t);
    TRouteLeg R;
    router.Route(NodePlace(lazy, s), NodePlace(lazy, t), R);
    if (want < 0) {
      EXPECT_FALSE(R.found) << s << " -> " << t;
      // Unless the two lie in different simple subnets, one-way rules
      // are what keeps them apart.
      ++none;
      continue;
    }
    ASSERT_TRUE(R.found) << s << " -> " << t;
    EXPECT_NEAR(R.length, want, 1e-5 * want + 1e-6) << s << " -> " << t;
    int32_t at = s;
    double sum = 0;
    for (const int32_t e : R.links) {
      const int32_t L = std::abs(e);
      const int32_t w = lazy.Oneway(L);
      EXPECT_EQ(e > 0 ? lazy.FromNode(L) : lazy.ToNode(L), at) << L;
      EXPECT_TRUE(w == 0 || (w == 1 && e > 0) || (w == 2 && e < 0)) << L;
      at = e > 0 ? lazy.ToNode(L) : lazy.FromNode(L);
      sum += lazy.Length(L);
    }
    EXPECT_EQ(at, t);
    EXPECT_NEAR(sum, R.length, 1e-5 * sum + 1e-6);
    ++found;
  }
  EXPECT_GT(found, 50);
  // Whether two places share a simple subnet: as TCalc's subnets say.
  TCalc sub(full.get(), false);
  TIntegerArray IA;
  sub.SubNet(IA);
  for (int k = 0; k < 100; ++k) {
    const int32_t s = node(rng), t = node(rng);
    const TLinkPlace a = NodePlace(lazy, s), b = NodePlace(lazy, t);
    EXPECT_EQ(router.Connected(a, b), IA[static_cast<size_t>(a.link)] == IA[static_cast<size_t>(b.link)])
        << s << " -> " << t;
  }
}

// Networks of one service, one per thread, sharing the blocks read: each
// routes and places points on its thread as a network of its own would,
// while the others read (and load blocks) beside it, and they go on after
// the network they share with is closed.
TEST_P(LazyNetworks, NetworksSharingBlocksAnswerAsOnesOfTheirOwn) {
  TLazyNetwork own;
  own.SetDirectory(dir);
  own.Open();
  TLegRouter ownRouter(own);
  const TFloatRect m = own.Mbr();
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> node(1, own.NodeCount());
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<std::pair<int32_t, int32_t>> pairs;
  std::vector<TFloatPoint> points;
  for (int k = 0; k < 60; ++k) {
    pairs.emplace_back(node(rng), node(rng));
    points.push_back({m.xmin + u(rng) * (m.xmax - m.xmin), m.ymin + u(rng) * (m.ymax - m.ymin)});
  }
  std::vector<TRouteLeg> want(pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k)
    ownRouter.Route(NodePlace(own, pairs[k].first), NodePlace(own, pairs[k].second), want[k]);
  std::vector<TLinkPlace> wantPlaces;
  ownRouter.Place(points, 1e9, wantPlaces);

  auto first = std::make_unique<TLazyNetwork>();
  first->SetDirectory(dir);
  first->Open();
  first->SetKeepSpatialIndex(true);
  TLazyNetwork shared[2];
  for (TLazyNetwork& n : shared) n.OpenSharing(*first);
  // Each thread asks its network everything, starting at a different pair,
  // so that they load blocks the other needs at the same time.
  auto ask = [&](TLazyNetwork& nw, size_t start, std::vector<std::string>& wrong) {
    TLegRouter router(nw);
    for (size_t i = 0; i < pairs.size(); ++i) {
      const size_t k = (start + i) % pairs.size();
      TRouteLeg R;
      router.Route(NodePlace(nw, pairs[k].first), NodePlace(nw, pairs[k].second), R);
      if (R.found != want[k].found || R.length != want[k].length || R.links != want[k].links)
        wrong.push_back("route " + std::to_string(k));
      std::vector<TLinkPlace> places;
      router.Place({points[k]}, 1e9, places);
      if (places[0].link != wantPlaces[k].link || places[0].distance != wantPlaces[k].distance)
        wrong.push_back("place " + std::to_string(k));
    }
  };
  std::vector<std::string> wrong[2];
  std::thread other([&] { ask(shared[1], pairs.size() / 2, wrong[1]); });
  ask(shared[0], 0, wrong[0]);
  other.join();
  for (const auto& w : wrong) EXPECT_TRUE(w.empty()) << w.front() << " differs (" << w.size() << " in all)";
  // The blocks stay with the networks that share them.
  first.reset();
  std::vector<std::string> after;
  ask(shared[0], 7, after);
  EXPECT_TRUE(after.empty()) << after.front();
  EXPECT_EQ(shared[1].RoadName(1, 1), own.RoadName(1, 1));
}

// Every file of a network damaged in many ways: opening, placing and routing
// either go through or raise an exception naming what is wrong.
INSTANTIATE_TEST_SUITE_P(SharedData, LazyNetworks, ::testing::ValuesIn(ExtractParams()), ExtractTestName);

TEST(LazyNetwork, DamagedFilesRaiseNeverCrash) {
  if (!fs::exists(SharedExtractFolder() + "monaco.osm.gz"))
    GTEST_SKIP() << "no monaco.osm.gz in " << SharedExtractFolder();
  const TExtractNetwork& monaco = ExtractNetwork("monaco", false);
  ASSERT_NO_FATAL_FAILURE(RequireNetwork(monaco, "monaco"));
  if (::testing::Test::IsSkipped()) return;
  const std::string& dir = monaco.dir;
  const std::string work = dir + "damaged/";
  fs::create_directories(work);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) {
      names.push_back(e.path().filename().string());
      fs::copy_file(e.path(), work + names.back(), fs::copy_options::overwrite_existing);
    }
  TLazyNetwork probe;
  probe.SetDirectory(dir);
  probe.Open();
  const TFloatRect m = probe.Mbr();
  const std::vector<TFloatPoint> points = {{(m.xmin + m.xmax) / 2, (m.ymin + m.ymax) / 2},
                                           {m.xmin + (m.xmax - m.xmin) / 3, m.ymin + (m.ymax - m.ymin) / 3}};
  std::mt19937 rng(3);
  int raised = 0, runs = 0;
  for (const char* file : {"length.bin", "link.bin", "attribute.bin", "coord.bin", "node.bin", "coord3.bin",
                           "coord3i.bin", "spatialindex.bin", "roadnumber01.bin", "roadname01.bin"}) {
    const std::string original = Slurp(dir + file);
    for (int round = 0; round < 12; ++round) {
      std::string bytes = original;
      if (bytes.empty()) continue;
      // Words of garbage at random places, or the file cut short.
      if (round % 4 == 3) {
        bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng));
      } else {
        for (int k = 0; k < 1 + round * 20; ++k) {
          const size_t at = std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng) & ~size_t(3);
          const uint32_t v = rng() >> (rng() % 32);
          std::memcpy(bytes.data() + at, &v, std::min<size_t>(4, bytes.size() - at));
        }
      }
      std::ofstream(work + file, std::ios::binary | std::ios::trunc) << bytes;
      ++runs;
      const std::string error = ErrorOf([&] {
        TLazyNetwork nw;
        nw.SetDirectory(work);
        nw.Open();
        TLegRouter router(nw);
        std::vector<TLinkPlace> places;
        router.Place(points, 5, places);
        if (places[0].Placed() && places[1].Placed()) {
          TRouteLeg R;
          router.Route(places[0], places[1], R);
          router.Connected(places[0], places[1]);
          std::vector<TFloatPoint> line;
          router.AppendShape(R, line);
          for (const int32_t e : R.links) nw.RoadName(1, std::abs(e));
        }
      });
      raised += error != "(no error)";
    }
    std::ofstream(work + file, std::ios::binary | std::ios::trunc) << original;
  }
  EXPECT_GT(raised, runs / 3);
  fs::remove_all(work);
}
