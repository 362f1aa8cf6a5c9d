// A synthetic street grid as OSM XML, for runs whose size a test chooses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// n x n nodes 0.001 degrees apart, one residential way between each two
// neighbours: n^2 nodes, 2 n (n - 1) ways of one link each.
inline std::string GridOsm(int32_t n) {
  std::string s = "<?xml version='1.0' encoding='UTF-8'?>\n<osm version=\"0.6\">\n";
  auto id = [n](int32_t i, int32_t j) { return std::to_string(int64_t(i) * n + j + 1); };
  char buf[128];
  for (int32_t i = 0; i < n; ++i)
    for (int32_t j = 0; j < n; ++j) {
      std::snprintf(buf, sizeof buf, " <node id=\"%s\" lat=\"%.7f\" lon=\"%.7f\"/>\n", id(i, j).c_str(),
                    52.0 + 0.001 * i, 13.0 + 0.001 * j);
      s += buf;
    }
  int64_t way = 0;
  auto addWay = [&](const std::string& a, const std::string& b) {
    s += " <way id=\"" + std::to_string(++way) + "\">\n  <nd ref=\"" + a + "\"/>\n  <nd ref=\"" + b +
         "\"/>\n  <tag k=\"highway\" v=\"residential\"/>\n </way>\n";
  };
  for (int32_t i = 0; i < n; ++i)
    for (int32_t j = 0; j + 1 < n; ++j) {
      addWay(id(i, j), id(i, j + 1));
      addWay(id(j, i), id(j + 1, i));
    }
  return s + "</osm>\n";
}
