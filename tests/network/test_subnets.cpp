// Subnet detection and the route search under it: the priority queue, simple
// subnets against connected components of link.bin, extended subnets
// against a search per one-way link, routes against a plain Dijkstra, on
// networks converted from OSM extracts and on small hand-made networks for
// the rules that real data rarely shows.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <queue>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "error_text.h"
#include "extract_network.h"
#include "linvoro_import.h"
#include "linvoro_network.h"
#include "linvoro_network_calc.h"
#include "linvoro_pq.h"
#include "run_driver.h"
#include "run_options.h"
#include "net_fixture.h"
#include "network_reference.h"
#include "run_ui.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------ network files

// The network as its files hold it, read without the library.
struct TRawNet {
  int32_t links = 0, nodes = 0;
  std::vector<int32_t> from, to;  // 1-based
  std::vector<double> len;
  std::vector<uint16_t> attr;

  explicit TRawNet(const std::string& dir) {
    const auto lk = ReadArray<uint32_t>(dir + "link.bin");
    const auto ln = ReadArray<float>(dir + "length.bin");
    attr = ReadArray<uint16_t>(dir + "attribute.bin");
    links = static_cast<int32_t>(ln.size());
    nodes = static_cast<int32_t>(fs::file_size(dir + "coord.bin") / 16);
    from.assign(links + 1, 0);
    to.assign(links + 1, 0);
    len.assign(links + 1, 0);
    attr.insert(attr.begin(), 0);
    attr.resize(links + 1, 0);
    for (int32_t l = 1; l <= links; ++l) {
      from[l] = static_cast<int32_t>(lk[2 * (l - 1)]);
      to[l] = static_cast<int32_t>(lk[2 * (l - 1) + 1]);
      len[l] = ln[l - 1];
    }
  }
  int32_t Oneway(int32_t l) const { return (attr[l] >> 9) & 3; }
  // Directed adjacency by the one-way rule: (link, next node) per node.
  std::vector<std::vector<std::pair<int32_t, int32_t>>> Directed() const {
    std::vector<std::vector<std::pair<int32_t, int32_t>>> adj(nodes + 1);
    for (int32_t l = 1; l <= links; ++l) {
      if (len[l] == 0) continue;
      const int32_t w = Oneway(l);
      if (w == 0 || w == 1) adj[from[l]].push_back({l, to[l]});
      if (w == 0 || w == 2) adj[to[l]].push_back({l, from[l]});
    }
    return adj;
  }
};

// Subnet numbers as the analysis defines them, from a union-find over the
// links: parts numbered by their lowest node, the part with the most links
// (the lower number on a tie) swapped with number 0.
std::vector<int32_t> ReferenceSubnets(const TRawNet& n, int32_t& parts) {
  std::vector<int32_t> up(n.nodes + 1);
  std::iota(up.begin(), up.end(), 0);
  std::function<int32_t(int32_t)> root = [&](int32_t x) {
    while (up[x] != x) x = up[x] = up[up[x]];
    return x;
  };
  for (int32_t l = 1; l <= n.links; ++l)
    if (n.len[l] != 0) up[root(n.from[l])] = root(n.to[l]);
  std::map<int32_t, int32_t> number;  // root -> part number
  std::vector<int32_t> part(n.nodes + 1, -1);
  for (int32_t v = 1; v <= n.nodes; ++v) {
    const int32_t r = root(v);
    auto it = number.find(r);
    if (it == number.end()) it = number.emplace(r, static_cast<int32_t>(number.size())).first;
    part[v] = it->second;
  }
  parts = static_cast<int32_t>(number.size());
  std::vector<int32_t> IA(n.links + 1, 0);
  std::vector<int64_t> count(std::max(parts, 1), 0);
  for (int32_t l = 1; l <= n.links; ++l)
    if (n.len[l] != 0) ++count[IA[l] = part[n.from[l]]];
  const int32_t m = static_cast<int32_t>(std::max_element(count.begin(), count.end()) - count.begin());
  for (int32_t l = 1; l <= n.links; ++l)
    if (n.len[l] != 0 && m != 0) IA[l] = IA[l] == 0 ? m : (IA[l] == m ? 0 : IA[l]);
  return IA;
}

// One-way links whose entry node cannot be reached from their exit node.
std::vector<int32_t> ReferenceTraps(const TRawNet& n) {
  const auto adj = n.Directed();
  std::vector<int32_t> IA(n.links + 1, 0);
  std::vector<int32_t> mark(n.nodes + 1, 0);
  int32_t stamp = 0;
  for (int32_t l = 1; l <= n.links; ++l) {
    const int32_t w = n.len[l] != 0 ? n.Oneway(l) : 0;
    if (w != 1 && w != 2) continue;
    const int32_t s = w == 1 ? n.to[l] : n.from[l], t = w == 1 ? n.from[l] : n.to[l];
    ++stamp;
    std::vector<int32_t> stack{s};
    mark[s] = stamp;
    bool found = false;
    while (!stack.empty() && !found) {
      const int32_t v = stack.back();
      stack.pop_back();
      for (const auto& [link, o] : adj[v]) {
        if (mark[o] == stamp) continue;
        mark[o] = stamp;
        if (o == t) found = true;
        stack.push_back(o);
      }
    }
    IA[l] = found ? 0 : 1;
  }
  return IA;
}

// Plain Dijkstra in double precision by the one-way rule; -1 when unreachable.
double ReferenceRoute(const TRawNet& n, const std::vector<std::vector<std::pair<int32_t, int32_t>>>& adj,
                      int32_t s, int32_t t) {
  std::vector<double> d(n.nodes + 1, 1e300);
  using Item = std::pair<double, int32_t>;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> pq;
  d[s] = 0;
  pq.push({0, s});
  while (!pq.empty()) {
    const auto [c, v] = pq.top();
    pq.pop();
    if (c > d[v]) continue;
    if (v == t) return c;
    for (const auto& [l, o] : adj[v])
      if (c + n.len[l] < d[o]) pq.push({d[o] = c + n.len[l], o});
  }
  return -1;
}

// ------------------------------------------------------------ building networks

// Each extract's car network.
class ExtractNetworks : public TExtractTest {
 protected:
  ExtractNetworks() : TExtractTest(false) {}
};

class ExtractHelper : public TTempDirTest {
 protected:
  ExtractHelper() : TTempDirTest("extract_helper_") {}
};

std::unique_ptr<TNetwork> OpenNet(const std::string& dir) {
  auto nw = std::make_unique<TNetwork>();
  nw->SetDirectory(dir);
  nw->Open(true, false, true, 0);
  return nw;
}

}  // namespace

// ------------------------------------------------------------ priority queue

TEST(PriorityQueue, DequeuesInKeyOrderAndGrowsByAFifth) {
  TPQ pq;
  EXPECT_EQ(pq.Capacity(), 10000);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> key(0, 500);  // many equal keys
  std::vector<float> keys;
  for (int i = 0; i < 25000; ++i) {
    TPQitem it;
    it.FromNode = i + 1;
    it.ToNode = i;
    it.sortvar = static_cast<float>(key(rng));
    it.cost = it.sortvar * 2;
    keys.push_back(it.sortvar);
    pq.Enq(it);
    if (i == 10000) {
      EXPECT_EQ(pq.Capacity(), 12000);
    }
  }
  EXPECT_EQ(pq.Capacity(), 29860);  // 12000, 14400, 17280, 20736, 24883, 29860
  std::sort(keys.begin(), keys.end());
  for (float k : keys) {
    const TPQitem it = pq.Deq();
    ASSERT_EQ(it.sortvar, k);
    EXPECT_EQ(it.cost, k * 2);  // the item travels whole
  }
  EXPECT_TRUE(pq.Empty());
  const TPQitem none = pq.Deq();
  EXPECT_EQ(none.FromNode, 0);
  EXPECT_EQ(none.cost, 0);
  pq.Enq(TPQitem{1, 2, 3, 4, 5});
  pq.Clear();
  EXPECT_EQ(pq.Count(), 0);
}

// ------------------------------------------------------------ extracts

TEST_P(ExtractNetworks, SimpleSubnetsAreTheConnectedPartsOfLinkBin) {
  const TRawNet raw(dir);
  int32_t parts = 0;
  const std::vector<int32_t> expected = ReferenceSubnets(raw, parts);
  auto nw = OpenNet(dir);
  TCalc calc(nw.get(), false);
  TIntegerArray IA;
  EXPECT_EQ(calc.SubNet(IA), parts - 1);
  EXPECT_EQ(IA, expected);
  EXPECT_FALSE(calc.IgnoreOneWay());  // restored
}

TEST_P(ExtractNetworks, ExtendedSubnetsAreTheOneWayLinksWithoutWayBack) {
  const TRawNet raw(dir);
  const std::vector<int32_t> expected = ReferenceTraps(raw);
  auto nw = OpenNet(dir);
  TRouteCalc rc(nw.get(), false);
  TIntegerArray IA;
  const int32_t n = rc.SubNetEx(IA);
  EXPECT_EQ(IA, expected);
  EXPECT_EQ(n, std::count(expected.begin(), expected.end(), 1));
  if (raw.links > kLargeNetworkLinks) {
    EXPECT_GT(n, 0);
  }
}

TEST_P(ExtractNetworks, RoutesMatchDijkstraAndFollowTheLinks) {
  const TRawNet raw(dir);
  const auto adj = raw.Directed();
  auto nw = OpenNet(dir);
  TRouteCalc rc(nw.get(), false);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int32_t> node(1, raw.nodes);
  int found = 0;
  for (int k = 0; k < 150; ++k) {
    const int32_t s = node(rng), t = node(rng);
    const double want = ReferenceRoute(raw, adj, s, t);
    const float got = rc.Route(s, t);
    if (want < 0) {
      EXPECT_EQ(got, -1.0f) << s << " -> " << t;
      continue;
    }
    ASSERT_NEAR(got, want, 1e-5 * want + 1e-6) << s << " -> " << t;
    TRoute R;
    rc.GetRoute(t, R);
    ASSERT_EQ(R.nodes.size(), R.links.size() + 1);
    EXPECT_EQ(R.nodes.front(), s);
    EXPECT_EQ(R.nodes.back(), t);
    double sum = 0;
    for (size_t i = 0; i < R.links.size(); ++i) {
      const int32_t l = std::abs(R.links[i]);
      const int32_t a = R.links[i] > 0 ? raw.from[l] : raw.to[l];
      const int32_t b = R.links[i] > 0 ? raw.to[l] : raw.from[l];
      EXPECT_EQ(a, R.nodes[i]);
      EXPECT_EQ(b, R.nodes[i + 1]);
      const int32_t w = raw.Oneway(l);
      EXPECT_TRUE(w == 0 || (w == 1 && R.links[i] > 0) || (w == 2 && R.links[i] < 0)) << l;
      sum += raw.len[l];
    }
    EXPECT_NEAR(sum, want, 1e-5 * want + 1e-6);
    ++found;
  }
  if (raw.nodes > 100) {
    EXPECT_GT(found, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(SharedData, ExtractNetworks, ::testing::ValuesIn(ExtractParams()), ExtractTestName);

// ------------------------------------------------------------ the extract helper

// An extract that cannot be converted fails the test that needs it, with
// the extract's name and the reason: it never reads as a skip. One that
// converts without roads for the network's modes skips, saying so.
TEST_F(ExtractHelper, FailsTheTestWhenTheExtractCannotBeConverted) {
  std::string gzip = "gzip -c > '";
  gzip += Path("not-osm.osm.gz");
  gzip += "'";
  FILE* p = ::popen(gzip.c_str(), "w");
  ASSERT_NE(p, nullptr);
  std::fputs("route,from,to\n1,2,3\n", p);
  ASSERT_EQ(::pclose(p), 0);
  Put(Path("not-gzip.osm.gz"), "<osm version=\"0.6\"></osm>");
  gzip = "gzip -c > '";
  gzip += Path("no-roads.osm.gz");
  gzip += "'";
  p = ::popen(gzip.c_str(), "w");
  ASSERT_NE(p, nullptr);
  std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<osm version=\"0.6\">\n"
             " <node id=\"1\" lat=\"42.5\" lon=\"1.5\"/>\n <node id=\"2\" lat=\"42.6\" lon=\"1.6\"/>\n"
             " <way id=\"3\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n  <tag k=\"waterway\" v=\"river\"/>\n </way>\n"
             "</osm>\n",
             p);
  ASSERT_EQ(::pclose(p), 0);
  const struct {
    const char* file;
    const char* says;  // in the failure; empty for a skip
  } cases[] = {
      {"missing.osm.gz", "is not there"},
      {"not-gzip.osm.gz", "gzip cannot decompress"},
      {"not-osm.osm.gz", "extract.osm"},  // the run's message names the file it read
      {"no-roads.osm.gz", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const TExtractNetwork n = ConvertExtract(Path(c.file), Path("out/"), false);
    EXPECT_TRUE(n.dir.empty());
    ::testing::TestPartResultArray results;
    {
      ::testing::ScopedFakeTestPartResultReporter reporter(
          ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
      RequireNetwork(n, c.file);
    }
    ASSERT_EQ(results.size(), 1);
    const ::testing::TestPartResult& r = results.GetTestPartResult(0);
    const std::string message = r.message();
    if (*c.says) {
      EXPECT_EQ(n.error.rfind(c.file, 0), 0u) << n.error;  // the extract's name first
      EXPECT_TRUE(r.fatally_failed()) << message;
      EXPECT_NE(message.find(c.file), std::string::npos) << message;
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
    } else {
      EXPECT_EQ(n.error, "");
      EXPECT_TRUE(r.skipped()) << message;
      EXPECT_NE(message.find("has no roads"), std::string::npos) << message;
    }
  }
}

// ------------------------------------------------------------ hand-made networks

class SubnetRules : public TTempDirTest {
 protected:
  SubnetRules() : TTempDirTest("subnets_") {}
  std::unique_ptr<TNetwork> Build(const std::vector<std::vector<TFloatPoint>>& links,
                                  const std::vector<uint16_t>& attrs = {}, bool loops = false) {
    BuildNetworkIn(dir, links, attrs, loops, DefaultCoordSys, "Point 1.5 42.5");
    return OpenNet(dir);
  }
};

namespace {
constexpr double S = 0.001;  // about 80 to 110 m around Andorra
TFloatPoint G(double i, double j) { return {1.5 + i * S, 42.5 + j * S}; }
// A path of n links along x from column x0 on row y.
void AddPath(std::vector<std::vector<TFloatPoint>>& L, int x0, int y, int n) {
  for (int i = 0; i < n; ++i) L.push_back({G(x0 + i, y), G(x0 + i + 1, y)});
}
}  // namespace

TEST_F(SubnetRules, LargestPartIsSubnetZeroWhereverNodeOneLies) {
  // A star of 3 links (its centre has the highest degree, so it is node 1)
  // and a path of 10 links; a rejected object sits between them.
  std::vector<std::vector<TFloatPoint>> L = {{G(0, 0), G(1, 0)}, {G(0, 0), G(0, 1)}, {G(0, 0), G(-1, 0)}, {}};
  AddPath(L, 0, 5, 10);
  auto nw = Build(L);
  ASSERT_EQ(nw->FromNodeRaw(1), 1);
  TCalc calc(nw.get(), false);
  TIntegerArray IA;
  EXPECT_EQ(calc.SubNet(IA), 1);
  const TIntegerArray want = {0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(IA, want);
}

TEST_F(SubnetRules, EqualPartsKeepThePartOfTheLowestNodeAsMain) {
  // Two paths of 3 links and one of 2. All inner nodes have degree 2 and
  // are numbered by x, then y: G(1,0) is node 1, G(1,5) node 2, G(10,6) 5.
  std::vector<std::vector<TFloatPoint>> L;
  AddPath(L, 0, 0, 3);
  AddPath(L, 0, 5, 3);
  L.push_back({G(10, 5), G(10, 6)});
  L.push_back({G(10, 6), G(10, 7)});
  auto nw = Build(L);
  ASSERT_EQ(nw->NodePointRaw(1), G(1, 0));
  TCalc calc(nw.get(), false);
  TIntegerArray IA;
  EXPECT_EQ(calc.SubNet(IA), 2);
  EXPECT_EQ(IA, (TIntegerArray{0, 0, 0, 0, 1, 1, 1, 2, 2}));
}

TEST_F(SubnetRules, ConnectedNetworkHasNoSubnets) {
  std::vector<std::vector<TFloatPoint>> L;
  AddPath(L, 0, 0, 4);
  L.push_back({G(2, 0), G(2, 1)});
  auto nw = Build(L, {512, 1024, 1536, 0, 512});
  TCalc calc(nw.get(), false);
  TIntegerArray IA;
  EXPECT_EQ(calc.SubNet(IA), 0);
  EXPECT_EQ(IA, TIntegerArray(6, 0));
}

TEST_F(SubnetRules, ExtendedSubnetCases) {
  constexpr uint16_t F = 512, T = 1024, X = 1536;
  struct TCase {
    const char* name;
    std::vector<std::vector<TFloatPoint>> links;
    std::vector<uint16_t> attrs;
    TIntegerArray want;  // index 0 unused
  } cases[] = {
      {"one-way side of a loop with two-way links",
       {{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}, {G(1, 1), G(0, 0)}},
       {F, 0, 0},
       {0, 0, 0, 0}},
      {"one-way links against their direction forming a cycle",
       {{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}, {G(1, 1), G(0, 0)}},
       {T, T, T},
       {0, 0, 0, 0}},
      {"one-way links into a node without way out",
       {{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}, {G(1, 1), G(0, 0)}},
       {T, F, F},
       {0, 1, 1, 1}},
      {"one-way and two-way dead-end spurs on a loop",
       {{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}, {G(1, 1), G(0, 0)}, {G(1, 0), G(2, 0)},
        {G(1, 1), G(1, 2)}},
       {0, 0, 0, F, 0},
       {0, 0, 0, 0, 1, 0}},
      {"closed link is never reported",
       {{G(0, 0), G(1, 0)}, {G(1, 0), G(2, 0)}},
       {X, X},
       {0, 0, 0}},
      {"one-way into a part left only by one-way links leading away",
       // Loop A (links 1-3), entry 4 (one-way A -> B), loop B (links 5-7),
       // exits 8 and 9 (one-way out of B to a far loop C, links 10-12).
       {{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}, {G(1, 1), G(0, 0)}, {G(1, 0), G(3, 0)},
        {G(3, 0), G(4, 0)}, {G(4, 0), G(4, 1)}, {G(4, 1), G(3, 0)}, {G(4, 0), G(6, 0)},
        {G(4, 1), G(6, 1)}, {G(6, 0), G(7, 0)}, {G(7, 0), G(6, 1)}, {G(6, 1), G(6, 0)}},
       {0, 0, 0, F, 0, 0, 0, F, F, 0, 0, 0},
       {0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0}},
      {"one-way chain ending in a sink, beside a two-way road",
       {{G(0, 0), G(1, 0)}, {G(1, 0), G(2, 0)}, {G(2, 0), G(1, 1)}, {G(1, 1), G(0, 0)}},
       {F, F, T, 0},  // link 3 runs from its to-node: G(1,1) -> G(2,0) is forbidden
       {0, 1, 1, 1, 0}},
      {"placeholders are not reported",
       {{}, {G(0, 0), G(1, 0)}, {}, {G(1, 0), G(2, 0)}},
       {F, F, T, 0},
       {0, 0, 1, 0, 0}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto nw = Build(c.links, c.attrs);
    TRouteCalc rc(nw.get(), false);
    TIntegerArray IA;
    const int32_t n = rc.SubNetEx(IA);
    EXPECT_EQ(IA, c.want);
    EXPECT_EQ(n, std::count(c.want.begin(), c.want.end(), 1));
    // The brute-force reference agrees on every case as well.
    const TRawNet raw(dir);
    EXPECT_EQ(ReferenceTraps(raw), c.want);
    nw.reset();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
}

TEST_F(SubnetRules, RouteCornerCases) {
  // A loop with a two-link dead-end spur (cul-de-sac) and a one-way link.
  auto nw = Build({{G(0, 0), G(1, 0)}, {G(1, 0), G(1, 1)}, {G(1, 1), G(0, 0)}, {G(1, 0), G(2, 0)},
                   {G(2, 0), G(3, 0)}},
                  {512, 0, 0, 0, 0});
  TRouteCalc rc(nw.get(), false);
  const int32_t a = nw->FromNodeRaw(1), b = nw->ToNodeRaw(1), c = nw->ToNodeRaw(2);
  const int32_t tip = nw->ToNodeRaw(5), mid = nw->ToNodeRaw(4);
  EXPECT_EQ(rc.Route(a, a), 0.0f);
  EXPECT_NEAR(rc.Route(a, b), nw->LengthRaw(1), 1e-6);
  // Against the one-way link: around the loop.
  EXPECT_NEAR(rc.Route(b, a), nw->LengthRaw(2) + nw->LengthRaw(3), 1e-6);
  // Into, out of and within the cul-de-sac.
  EXPECT_NEAR(rc.Route(c, tip), nw->LengthRaw(2) + nw->LengthRaw(4) + nw->LengthRaw(5), 1e-6);
  EXPECT_NEAR(rc.Route(tip, c), nw->LengthRaw(2) + nw->LengthRaw(4) + nw->LengthRaw(5), 1e-6);
  EXPECT_NEAR(rc.Route(tip, mid), nw->LengthRaw(5), 1e-6);
  TRoute R;
  rc.GetRoute(mid, R);
  EXPECT_EQ(R.links, TIntegerArray{-5});
  EXPECT_EQ(ErrorOf([&] { rc.Route(0, 1); }), "Node-ID must be >=1: 0");
  EXPECT_EQ(ErrorOf([&] { rc.Route(1, nw->NodeCount() + 1); }),
            "Node-ID must be =<" + std::to_string(nw->NodeCount()) + ": " +
                std::to_string(nw->NodeCount() + 1));
  // Two parts: no route.
  nw.reset();
  fs::remove_all(dir);
  fs::create_directories(dir);
  auto two = Build({{G(0, 0), G(1, 0)}, {G(5, 0), G(6, 0)}});
  TRouteCalc r2(two.get(), false);
  EXPECT_EQ(r2.Route(two->FromNodeRaw(1), two->FromNodeRaw(2)), -1.0f);
  r2.GetRoute(two->FromNodeRaw(2), R);
  EXPECT_TRUE(R.links.empty());
  EXPECT_TRUE(R.nodes.empty());
}

TEST_F(SubnetRules, LoopLinksAndClosedNetworksAreRefused) {
  auto nw = Build({{G(0, 0), G(1, 0)}, {G(1, 0), G(2, 0), G(2, 1), G(1, 0)}}, {}, true);
  ASSERT_TRUE(nw->LoopLinks());
  TIntegerArray IA;
  TCalc calc(nw.get(), false);
  TRouteCalc rc(nw.get(), false);
  EXPECT_EQ(ErrorOf([&] { calc.SubNet(IA); }), "Loop links are not allowed in the network");
  EXPECT_EQ(ErrorOf([&] { rc.SubNetEx(IA); }), "Loop links are not allowed in the network");
  EXPECT_EQ(ErrorOf([&] { rc.Route(1, 2); }), "Loop links are not allowed in the network");
  TNetwork closed;
  TCalc c2(&closed, false);
  EXPECT_EQ(ErrorOf([&] { c2.SubNet(IA); }), "Network is not open");
}
