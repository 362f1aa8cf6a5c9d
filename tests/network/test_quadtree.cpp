// The spatial index: built over imported networks and hand-made network
// files, loaded back and checked against brute force; damaged index files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "linvoro_configfile.h"
#include "linvoro_import.h"
#include "linvoro_quadtree.h"
#include "network_reference.h"

namespace fs = std::filesystem;

namespace {

std::string Num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

void WriteBytes(const std::string& path, const void* data, size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

template <class T>
void WriteArray(const std::string& path, const std::vector<T>& v) {
  WriteBytes(path, v.data(), v.size() * sizeof(T));
}

// Polylines in plane metres, written as a MIF road table and imported.
void ImportPolylines(const std::string& dir, const std::vector<std::vector<TFloatPoint>>& lines,
                     int32_t maxNodesPerCell = 50) {
  std::string s =
      "Version 300\r\nDelimiter \",\"\r\nCoordSys NonEarth Units \"m\" Bounds (0, 0) (1, 1)\r\n"
      "Columns 1\r\n  id Integer\r\nData\r\n\r\n";
  for (const auto& l : lines) {
    s += "Pline " + std::to_string(l.size()) + "\r\n";
    for (const TFloatPoint& p : l) s += Num(p.x) + " " + Num(p.y) + "\r\n";
  }
  std::ofstream(dir + "roads.mif", std::ios::binary) << s;
  TImport imp;
  imp.SetDirectory(dir);
  imp.SetMaxNodesPerCell(maxNodesPerCell);
  imp.Add(dir + "roads.mif");
  imp.Execute();
}

class QuadTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quadtestXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl + "/";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<TQuadTree> Load() {
    auto t = std::make_unique<TQuadTree>();
    t->SetDirectory(dir);
    t->Load();
    return t;
  }

  void CheckAgainstBruteForce(const TQuadTree& t) { CheckIndexAgainstBruteForce(dir, t); }

  // A network folder written by hand: nodes, and links as node pairs with
  // shape points.
  void WriteNetwork(const std::vector<TFloatPoint>& nodes, const TFloatRect& mbr,
                    const std::vector<std::vector<TFloatPoint>>& shapes = {},
                    const std::vector<std::pair<uint32_t, uint32_t>>& ends = {}) {
    WriteArray(dir + "coord.bin", nodes);
    std::vector<uint32_t> link;
    std::vector<float> length;
    std::vector<TFloatPoint> c3;
    std::vector<int32_t> c3i{0};
    for (size_t k = 0; k < ends.size(); ++k) {
      link.push_back(ends[k].first);
      link.push_back(ends[k].second);
      length.push_back(1);
      c3.insert(c3.end(), shapes[k].begin(), shapes[k].end());
      c3i.push_back(static_cast<int32_t>(c3.size()));
    }
    WriteArray(dir + "link.bin", link);
    WriteArray(dir + "length.bin", length);
    WriteArray(dir + "coord3.bin", c3);
    WriteArray(dir + "coord3i.bin", c3i);
    TConfig c;
    c.Cu = cuM;
    c.LinkCount = static_cast<int32_t>(ends.size());
    c.Mbr = mbr;
    WriteConfigFile(dir + ConfigFileName, c);
  }

  std::string dir;
};

}  // namespace

TEST_F(QuadTreeTest, RandomNetworkAgainstBruteForce) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> u(0, 10000);
  std::vector<TFloatPoint> pool(900);
  for (TFloatPoint& p : pool) p = {u(rng), u(rng)};
  // Half the nodes crowd into one corner, so that the tree grows deep there
  // while long links cross empty cells elsewhere.
  for (size_t i = 0; i < pool.size() / 2; ++i) pool[i] = {pool[i].x * 0.01, pool[i].y * 0.01};
  std::vector<std::vector<TFloatPoint>> lines;
  for (int k = 0; k < 3000; ++k) {
    const size_t a = rng() % pool.size();
    const size_t b = (a + 1 + rng() % (pool.size() - 1)) % pool.size();
    std::vector<TFloatPoint> l{pool[a]};
    const int shape = static_cast<int>(rng() % 4);
    for (int i = 0; i < shape; ++i) l.push_back({u(rng), u(rng)});
    l.push_back(pool[b]);
    lines.push_back(l);
  }
  ImportPolylines(dir, lines);
  const auto tree = Load();
  const TQuadTree& t = *tree;
  EXPECT_GT(t.CellCount(), 40);
  CheckAgainstBruteForce(t);

  // A deep copy holds the same tree.
  const auto copy = t.Clone();
  std::vector<const TQuadTreeCell*> a, b;
  ForEachLeaf(t.MainCell(), 0, [&](const TQuadTreeCell* c, int) { a.push_back(c); });
  ForEachLeaf(copy->MainCell(), 0, [&](const TQuadTreeCell* c, int) { b.push_back(c); });
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_NE(a[i], b[i]);
    EXPECT_EQ(a[i]->ID, b[i]->ID);
    EXPECT_TRUE(std::equal(a[i]->nodes.begin(), a[i]->nodes.end(), b[i]->nodes.begin(), b[i]->nodes.end()));
    EXPECT_TRUE(std::equal(a[i]->SLL.begin(), a[i]->SLL.end(), b[i]->SLL.begin(), b[i]->SLL.end()));
  }
}

TEST_F(QuadTreeTest, SmallNetworkIsOneLeafInTheFileLayout) {
  ImportPolylines(dir, {{{0, 0}, {5, 5}, {10, 0}}, {{10, 0}, {20, 5}}});
  const std::string f = ReadText(dir + SpatialIndexFileName);
  // count, rect, id, divided, entry count, 3 nodes, 2 runs
  ASSERT_EQ(f.size(), 4 + 32 + 4 + 1 + 2 + 5 * 8u);
  int32_t count, id;
  double rect[4];
  std::memcpy(&count, f.data(), 4);
  std::memcpy(rect, f.data() + 4, 32);
  std::memcpy(&id, f.data() + 36, 4);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(f[40], 0);
  const TConfig cfg = ReadConfigFile(dir + ConfigFileName);
  EXPECT_EQ(rect[0], cfg.Mbr.xmin);
  EXPECT_EQ(rect[3], cfg.Mbr.ymax);
  uint16_t n;
  std::memcpy(&n, f.data() + 41, 2);
  EXPECT_EQ(n, 5);
  struct Entry {
    int32_t id;
    uint16_t a, b;
  };
  std::vector<Entry> e(5);
  std::memcpy(e.data(), f.data() + 43, 40);
  // Nodes in id order, then the runs: link 1 vertices 0..2, link 2 0..1.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(e[i].id, i + 1);
    EXPECT_EQ(e[i].a, 0);
    EXPECT_EQ(e[i].b, 0);
  }
  EXPECT_EQ(e[3].id, 1);
  EXPECT_EQ(e[3].a, 0);
  EXPECT_EQ(e[3].b, 2);
  EXPECT_EQ(e[4].id, 2);
  EXPECT_EQ(e[4].a, 0);
  EXPECT_EQ(e[4].b, 1);
}

TEST_F(QuadTreeTest, LinkLeavingAndReenteringALeafHasTwoRuns) {
  // 64 short links on a grid force a split; a zigzag over the centre line
  // x = 50 enters the upper-left and upper-right cells twice each.
  std::vector<std::vector<TFloatPoint>> lines;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j)
      lines.push_back({{i * 12.5 + 1, j * 25.0 + 1}, {i * 12.5 + 2, j * 25.0 + 2}});
  lines.push_back({{40, 90}, {60, 91}, {41, 92}, {42, 93}, {60, 94}});
  ImportPolylines(dir, lines);
  const auto tree = Load();
  const TQuadTree& t = *tree;
  ASSERT_TRUE(t.MainCell()->Divided);
  CheckAgainstBruteForce(t);
  const int32_t zigzag = static_cast<int32_t>(lines.size());
  int twice = 0;
  ForEachLeaf(t.MainCell(), 0, [&](const TQuadTreeCell* leaf, int) {
    int runs = 0;
    for (const TSubLink& s : leaf->SLL) runs += s.Link == zigzag;
    twice += runs >= 2;
  });
  EXPECT_GE(twice, 1);
}

TEST_F(QuadTreeTest, NodeOnTheCentreGoesToTheUpperRightChild) {
  std::vector<TFloatPoint> nodes{{5, 5}, {5, 1}, {1, 5}};
  for (int i = 0; i < 60; ++i) nodes.push_back({0.1 + i * 0.01, 0.2});
  WriteNetwork(nodes, {0, 0, 10, 10});
  TQuadTreeSetup setup;
  setup.SetDirectory(dir);
  setup.Build();
  const auto tree = Load();
  const TQuadTree& t = *tree;
  ASSERT_TRUE(t.MainCell()->Divided);
  const auto has = [](const TQuadTreeCell* c, int32_t id) {
    bool found = false;
    ForEachLeaf(c, 0, [&](const TQuadTreeCell* leaf, int) {
      for (const int32_t n : leaf->nodes) found |= n == id;
    });
    return found;
  };
  EXPECT_TRUE(has(t.MainCell()->Child(1), 1));  // (5, 5)
  EXPECT_TRUE(has(t.MainCell()->Child(4), 2));  // (5, 1): x on the line, y below
  EXPECT_TRUE(has(t.MainCell()->Child(2), 3));  // (1, 5): y on the line, x left
  EXPECT_EQ(t.MainCell()->Child(1)->Rect.xmin, 5);
  EXPECT_EQ(t.MainCell()->Child(3)->Rect.xmax, 5);
}

TEST_F(QuadTreeTest, StraightNorthSouthNetworkKeepsItsLinkInTheIndex) {
  // No east-west extent to pad by: the bounds must still hold the link.
  const double x = 7.123456789012345;
  ImportPolylines(dir, {{{x, 1.000000000000001}, {x, 3.333333333333333}}});
  const TConfig cfg = ReadConfigFile(dir + ConfigFileName);
  EXPECT_LT(cfg.Mbr.xmin, x);
  EXPECT_GT(cfg.Mbr.xmax, x);
  const auto t = Load();
  ASSERT_EQ(t->MainCell()->SLL.Count(), 1);
  EXPECT_EQ(t->MainCell()->SLL[0], (TSubLink{1, 0, 1}));
}

TEST_F(QuadTreeTest, OverfullLeafIsRefused) {
  // 70000 distinct nodes within 1e-9 of each other end in one deepest leaf.
  std::vector<TFloatPoint> nodes(70000);
  for (size_t i = 0; i < nodes.size(); ++i) nodes[i] = {0.5 + i * 1e-14, 0.5};
  WriteNetwork(nodes, {0, 0, 1, 1});
  TQuadTreeSetup setup;
  setup.SetDirectory(dir);
  EXPECT_THROW(setup.Build(), EOutOfRange);
  EXPECT_FALSE(fs::exists(dir + SpatialIndexFileName));
}

TEST_F(QuadTreeTest, InconsistentNetworkFilesAreRefused) {
  WriteNetwork({{1, 1}, {2, 2}}, {0, 0, 3, 3}, {{}}, {{1, 3}});  // node 3 does not exist
  TQuadTreeSetup setup;
  setup.SetDirectory(dir);
  EXPECT_THROW(setup.Build(), Exception);
  WriteNetwork({{1, 1}, {2, 2}}, {0, 0, 3, 3}, {{}}, {{1, 2}});
  WriteArray(dir + "coord3i.bin", std::vector<int32_t>{0, 5});  // more shape points than exist
  EXPECT_THROW(setup.Build(), Exception);
}

// A network of many links places its later half on a second thread: the
// file is the one a single thread writes, also where runs of links from
// both halves share a leaf; damaged files in both halves report what one
// thread meets first; a stop ends the build without a file.
TEST_F(QuadTreeTest, TwoThreadsWriteTheFileOfOne) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(0, 10000);
  std::vector<TFloatPoint> nodes(6000);
  for (TFloatPoint& p : nodes) p = {u(rng), u(rng)};
  std::vector<std::vector<TFloatPoint>> shapes;
  std::vector<std::pair<uint32_t, uint32_t>> ends;
  for (int k = 0; k < 30000; ++k) {
    const uint32_t a = static_cast<uint32_t>(rng() % nodes.size()) + 1;
    // Mostly short links, some crossing the whole area.
    uint32_t b = static_cast<uint32_t>(rng() % nodes.size()) + 1;
    std::vector<TFloatPoint> shape;
    const TFloatPoint& p = nodes[a - 1];
    for (int i = 0, n = static_cast<int>(rng() % 4); i < n; ++i)
      shape.push_back(k % 10 == 0 ? TFloatPoint{u(rng), u(rng)}
                                  : TFloatPoint{p.x + u(rng) * 0.01, p.y + u(rng) * 0.01});
    shapes.push_back(shape);
    ends.push_back({a, b});
  }
  const TFloatRect mbr{-1, -1, 10200, 10200};
  WriteNetwork(nodes, mbr, shapes, ends);
  auto build = [&](int32_t threads) {
    TQuadTreeSetup setup;
    setup.SetDirectory(dir);
    setup.SetThreads(threads);
    setup.Build();
    return ReadText(dir + SpatialIndexFileName);
  };
  const std::string one = build(1);
  EXPECT_TRUE(build(2) == one) << "the two-thread file differs";
  // Leaves hold runs of links from both halves.
  const auto tree = Load();
  int mixed = 0;
  ForEachLeaf(tree->MainCell(), 0, [&](const TQuadTreeCell* c, int) {
    bool early = false, late = false;
    for (const TSubLink& r : c->SLL) (r.Link <= 15000 ? early : late) = true;
    mixed += early && late;
  });
  EXPECT_GT(mixed, 10);
  CheckAgainstBruteForce(*tree);

  // A node id out of range in the later half, and shape counts that run
  // backwards in the earlier one: the earlier half's error is the one told.
  const struct {
    int32_t badLink;      // its to-node made 0, or 0 for none
    int32_t backwards;    // link whose coord3i entry goes back, or 0
    const char* message;  // what the error names
  } cases[] = {{20000, 0, "link.bin"}, {0, 20000, "coord3i.bin"}, {20000, 5000, "coord3i.bin"},
               {5000, 20000, "link.bin"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.badLink) + " " + std::to_string(c.backwards));
    auto damaged = ends;
    if (c.badLink) damaged[c.badLink - 1].second = 0;
    WriteNetwork(nodes, mbr, shapes, damaged);
    if (c.backwards) {
      std::vector<int32_t> c3i{0};
      for (const auto& s : shapes) c3i.push_back(c3i.back() + static_cast<int32_t>(s.size()));
      c3i[c.backwards] = c3i[c.backwards - 1] - 1;
      WriteArray(dir + "coord3i.bin", c3i);
    }
    for (const int32_t threads : {1, 2}) {
      fs::remove(dir + SpatialIndexFileName);
      TQuadTreeSetup setup;
      setup.SetDirectory(dir);
      setup.SetThreads(threads);
      try {
        setup.Build();
        ADD_FAILURE() << threads << " threads: no error";
      } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << threads << ": " << e.what();
      }
      EXPECT_FALSE(fs::exists(dir + SpatialIndexFileName));
    }
  }

  WriteNetwork(nodes, mbr, shapes, ends);
  for (const int32_t at : {10, 70}) {
    fs::remove(dir + SpatialIndexFileName);
    TQuadTreeSetup setup;
    setup.SetDirectory(dir);
    setup.SetThreads(2);
    setup.SetOnProgress([at](TProgress*, int32_t p, bool& cancel) { cancel = p >= at; });
    setup.Build();
    EXPECT_TRUE(setup.Cancelled()) << at;
    EXPECT_FALSE(fs::exists(dir + SpatialIndexFileName)) << at;
  }
}

TEST_F(QuadTreeTest, DamagedIndexFilesRaiseInsteadOfCrashing) {
  ImportPolylines(dir, {{{0, 0}, {5, 5}}, {{5, 5}, {9, 1}}});
  const std::string good = ReadText(dir + SpatialIndexFileName);
  auto withCount = [&](int32_t count) {
    std::string s = good;
    std::memcpy(&s[0], &count, 4);
    return s;
  };
  // A divided flag on every cell, nested far deeper than any build goes.
  std::string bomb(4, '\0');
  const int32_t one = 1;
  std::memcpy(&bomb[0], &one, 4);
  for (int i = 0; i < 200000; ++i) bomb += std::string(36, '\0') + '\1';
  std::string badFlag = good;
  badFlag[40] = 7;
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"truncated", good.substr(0, good.size() - 3)},
      {"header only", good.substr(0, 20)},
      {"wrong cell count", withCount(3)},
      {"negative cell count", withCount(-1)},
      {"deep nesting", bomb},
      {"divided flag", badFlag},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir + SpatialIndexFileName, c.bytes.data(), c.bytes.size());
    TQuadTree t;
    t.SetDirectory(dir);
    try {
      t.Load();
      FAIL() << "accepted";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "The spatial index file is corrupt");
    }
    EXPECT_EQ(t.MainCell(), nullptr);
  }
  WriteBytes(dir + SpatialIndexFileName, good.data(), good.size());
  EXPECT_EQ(Load()->CellCount(), 1);
}

TEST_F(QuadTreeTest, CancelledLoadLeavesNoTree) {
  ImportPolylines(dir, {{{0, 0}, {5, 5}}, {{5, 5}, {9, 1}}});
  TQuadTree t;
  t.SetDirectory(dir);
  t.SetOnProgress([](TProgress*, int32_t, bool& cancel) { cancel = true; });
  t.Load();
  EXPECT_TRUE(t.Cancelled());
  EXPECT_EQ(t.MainCell(), nullptr);
}

TEST(SubLinkList, RunsAndVertexCount) {
  TSubLinkList l;
  l.incsub2();  // nothing to extend
  l.Add({7, 0, 1});
  l.incsub2();
  l.Add({8, 3, 0});
  EXPECT_EQ(l[0], (TSubLink{7, 0, 2}));
  EXPECT_EQ(l.Vertexcount(), 3);
}
