// An independent model of the network file set, for checking what the
// import and the spatial index write: the expected files of a list of
// accepted links, and a brute-force check of a loaded spatial index.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "linvoro_quadtree.h"
#include "linvoro_types.h"

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

template <class T>
std::vector<T> ReadArray(const std::string& path) {
  const std::string bytes = ReadText(path);
  std::vector<T> v(bytes.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
  return v;
}

struct TExpected {
  std::vector<TFloatPoint> coord;
  std::vector<uint32_t> link;
  std::vector<double> length;
  std::vector<uint32_t> node;
  std::vector<TFloatPoint> coord3;
  std::vector<int32_t> coord3i;
};

inline double Haversine(TFloatPoint a, TFloatPoint b) {
  const double k = M_PI / 180;
  const double dlat = (b.y - a.y) * k, dlon = (b.x - a.x) * k;
  const double h = std::pow(std::sin(dlat / 2), 2) +
                   std::cos(a.y * k) * std::cos(b.y * k) * std::pow(std::sin(dlon / 2), 2);
  return 2 * std::asin(std::min(1.0, std::sqrt(h))) * 6378.13;
}

// Links as accepted (nullopt for a placeholder), degree coordinates.
inline TExpected Reference(const std::vector<std::optional<std::vector<TFloatPoint>>>& links) {
  TExpected e;
  auto key = [](TFloatPoint p) { return std::make_pair(p.x, p.y); };
  std::map<std::pair<double, double>, int> degree;
  for (const auto& l : links)
    if (l) {
      ++degree[key(l->front())];
      ++degree[key(l->back())];
    }
  std::vector<std::pair<int, std::pair<double, double>>> order;
  for (const auto& [p, d] : degree) order.push_back({-d, p});
  std::sort(order.begin(), order.end());
  std::map<std::pair<double, double>, uint32_t> id;
  for (size_t i = 0; i < order.size(); ++i) {
    id[order[i].second] = static_cast<uint32_t>(i + 1);
    e.coord.push_back({order[i].second.first, order[i].second.second});
  }
  std::vector<std::vector<uint32_t>> lists(order.size() + 1);
  e.coord3i.push_back(0);
  for (size_t k = 0; k < links.size(); ++k) {
    const auto& l = links[k];
    if (!l) {
      e.link.insert(e.link.end(), {0, 0});
      e.length.push_back(0);
    } else {
      const uint32_t f = id[key(l->front())], t = id[key(l->back())];
      e.link.insert(e.link.end(), {f, t});
      lists[f].push_back(static_cast<uint32_t>(k + 1));
      lists[t].push_back(static_cast<uint32_t>(k + 1));
      double len = 0;
      for (size_t i = 1; i < l->size(); ++i) len += Haversine((*l)[i - 1], (*l)[i]);
      e.length.push_back(len);
      e.coord3.insert(e.coord3.end(), l->begin() + 1, l->end() - 1);
    }
    e.coord3i.push_back(static_cast<int32_t>(e.coord3.size()));
  }
  const uint32_t D = order.empty() ? 1 : static_cast<uint32_t>(-order.front().first);
  e.node.push_back(D);
  for (uint32_t d = D; d >= 1; --d) {
    uint32_t c = 0;
    for (const auto& o : order) c += static_cast<uint32_t>(-o.first) >= d;
    e.node.push_back(c);
  }
  for (size_t n = 1; n < lists.size(); ++n) {
    std::sort(lists[n].begin(), lists[n].end());
    e.node.insert(e.node.end(), lists[n].begin(), lists[n].end());
  }
  return e;
}

// The vertices FinishObject keeps of an object, nullopt when it rejects
// it: loops (first and last vertex equal) first, then consecutive
// duplicates are dropped and fewer than two vertices remain.
inline std::optional<std::vector<TFloatPoint>> AcceptedLink(const std::vector<TFloatPoint>& v) {
  if (v.size() < 2 || v.front() == v.back()) return std::nullopt;
  std::vector<TFloatPoint> out;
  for (const TFloatPoint& p : v)
    if (out.empty() || !(out.back() == p)) out.push_back(p);
  if (out.size() < 2) return std::nullopt;
  return out;
}

// The network files in dir hold exactly the expected network (lengths to
// float precision).
inline void ExpectNetworkFiles(const std::string& dir, const TExpected& e) {
  const auto coord = ReadArray<TFloatPoint>(dir + "coord.bin");
  ASSERT_EQ(coord.size(), e.coord.size());
  for (size_t i = 0; i < coord.size(); ++i) {
    EXPECT_EQ(coord[i].x, e.coord[i].x) << "node " << i + 1;
    EXPECT_EQ(coord[i].y, e.coord[i].y) << "node " << i + 1;
  }
  EXPECT_EQ(ReadArray<uint32_t>(dir + "link.bin"), e.link);
  EXPECT_EQ(ReadArray<uint32_t>(dir + "node.bin"), e.node);
  EXPECT_EQ(ReadArray<int32_t>(dir + "coord3i.bin"), e.coord3i);
  const auto c3 = ReadArray<TFloatPoint>(dir + "coord3.bin");
  ASSERT_EQ(c3.size(), e.coord3.size());
  for (size_t i = 0; i < c3.size(); ++i) EXPECT_TRUE(c3[i] == e.coord3[i]) << "shape point " << i;
  const auto len = ReadArray<float>(dir + "length.bin");
  ASSERT_EQ(len.size(), e.length.size());
  for (size_t i = 0; i < len.size(); ++i) {
    if (e.length[i] == 0)
      EXPECT_EQ(len[i], 0.0f) << "link " << i + 1;
    else
      EXPECT_NEAR(len[i], e.length[i], e.length[i] * 1e-6) << "link " << i + 1;
  }
}

// The network as the files hold it: every link's full vertex list.
inline std::vector<std::vector<TFloatPoint>> NetworkLinks(const std::string& dir) {
  const auto coord = ReadArray<TFloatPoint>(dir + "coord.bin");
  const auto link = ReadArray<uint32_t>(dir + "link.bin");
  const auto c3 = ReadArray<TFloatPoint>(dir + "coord3.bin");
  const auto c3i = ReadArray<int32_t>(dir + "coord3i.bin");
  std::vector<std::vector<TFloatPoint>> links(link.size() / 2);
  for (size_t k = 0; k < links.size(); ++k) {
    if (link[2 * k] == 0) continue;
    links[k].push_back(coord[link[2 * k] - 1]);
    for (int32_t i = c3i[k]; i < c3i[k + 1]; ++i) links[k].push_back(c3[static_cast<size_t>(i)]);
    links[k].push_back(coord[link[2 * k + 1] - 1]);
  }
  return links;
}

// Whether the closed segment a-b meets the closed rectangle, by separating
// axes: the two coordinate axes and the segment's normal.
inline bool SegmentMeetsRect(TFloatPoint a, TFloatPoint b, const TFloatRect& r) {
  if (std::max(a.x, b.x) < r.xmin || std::min(a.x, b.x) > r.xmax || std::max(a.y, b.y) < r.ymin ||
      std::min(a.y, b.y) > r.ymax)
    return false;
  const double dx = b.x - a.x, dy = b.y - a.y;
  int pos = 0, neg = 0;
  for (const TFloatPoint c : {TFloatPoint{r.xmin, r.ymin}, TFloatPoint{r.xmin, r.ymax},
                              TFloatPoint{r.xmax, r.ymin}, TFloatPoint{r.xmax, r.ymax}}) {
    const double cross = dx * (c.y - a.y) - dy * (c.x - a.x);
    pos += cross > 0;
    neg += cross < 0;
  }
  return !(pos == 4 || neg == 4);
}

inline void ForEachLeaf(const TQuadTreeCell* c, int depth,
                 const std::function<void(const TQuadTreeCell*, int)>& f) {
  if (c->Divided) {
    for (int k = 1; k <= 4; ++k) ForEachLeaf(c->Child(k), depth + 1, f);
  } else {
    f(c, depth);
  }
}

// Every node in exactly one leaf that contains it; every segment in
// exactly the leaves it meets, as maximal runs.
inline void CheckIndexAgainstBruteForce(const std::string& dir, const TQuadTree& t) {
  const auto coord = ReadArray<TFloatPoint>(dir + "coord.bin");
  const auto links = NetworkLinks(dir);
  std::vector<int> seen(coord.size() + 1, 0);
  int32_t leaves = 0, maxId = 0;
  std::function<void(const TQuadTreeCell*)> ids = [&](const TQuadTreeCell* c) {
    maxId = std::max(maxId, c->ID);
    if (c->Divided) {
      EXPECT_EQ(c->nodes.Count(), 0);
      EXPECT_EQ(c->SLL.Count(), 0);
      for (int k = 1; k <= 4; ++k) ids(c->Child(k));
    }
  };
  ids(t.MainCell());
  EXPECT_EQ(maxId, t.CellCount());
  size_t runsInLeaves = 0, expectedRuns = 0;
  ForEachLeaf(t.MainCell(), 0, [&](const TQuadTreeCell* leaf, int depth) {
    ++leaves;
    const TFloatRect& r = leaf->Rect;
    if (leaf->nodes.Count() > 50) {
      EXPECT_EQ(depth, 16);
    }
    for (const int32_t id : leaf->nodes) {
      ASSERT_GE(id, 1);
      ASSERT_LE(id, static_cast<int32_t>(coord.size()));
      ++seen[static_cast<size_t>(id)];
      const TFloatPoint p = coord[static_cast<size_t>(id) - 1];
      EXPECT_TRUE(p.x >= r.xmin && p.x <= r.xmax && p.y >= r.ymin && p.y <= r.ymax) << id;
    }
    // The segments the leaf lists, per link.
    std::set<std::pair<int32_t, int32_t>> listed;
    for (int32_t i = 0; i < leaf->SLL.Count(); ++i) {
      const TSubLink& s = leaf->SLL[i];
      ASSERT_GE(s.Link, 1);
      ASSERT_LE(s.Link, static_cast<int32_t>(links.size()));
      ASSERT_LT(s.sub1, s.sub2);
      ASSERT_LT(s.sub2, links[static_cast<size_t>(s.Link) - 1].size());
      for (int32_t seg = s.sub1; seg < s.sub2; ++seg) EXPECT_TRUE(listed.insert({s.Link, seg}).second);
      for (int32_t j = 0; j < i; ++j)  // runs are maximal
        EXPECT_FALSE(leaf->SLL[j].Link == s.Link && leaf->SLL[j].sub2 == s.sub1);
    }
    runsInLeaves += leaf->SLL.Count();
    for (size_t k = 0; k < links.size(); ++k) {
      const auto& l = links[k];
      bool previous = false;
      for (size_t seg = 0; seg + 1 < l.size(); ++seg) {
        const bool meets = SegmentMeetsRect(l[seg], l[seg + 1], r);
        EXPECT_EQ(meets, listed.count({static_cast<int32_t>(k + 1), static_cast<int32_t>(seg)}) == 1)
            << "link " << k + 1 << " segment " << seg << " cell " << leaf->ID;
        expectedRuns += meets && !previous;
        previous = meets;
      }
    }
  });
  EXPECT_EQ(runsInLeaves, expectedRuns);
  for (size_t id = 1; id < seen.size(); ++id) EXPECT_EQ(seen[id], 1) << "node " << id;
  EXPECT_GT(leaves, 0);
}

