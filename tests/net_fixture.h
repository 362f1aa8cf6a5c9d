// Hand-made networks for the network reader and the checks: polylines are
// written as a MIF road table and built into a network folder by the
// import, so every test opens a file set exactly as a run would.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "linvoro_import.h"
#include "linvoro_network.h"
#include "temp_dir_test.h"

// One road-table object; an empty point list stands for an object the
// import rejects (a placeholder link).
using TLine = std::vector<TFloatPoint>;

inline std::string MifNum(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// placeholder: the object written for an empty line.
inline std::string MifTable(const std::vector<TLine>& lines, const std::string& coordsys = DefaultCoordSys,
                            const std::string& placeholder = "None") {
  std::string s = "Version 300\r\nCharset \"WindowsLatin1\"\r\nDelimiter \",\"\r\n" + coordsys +
                  "\r\nColumns 1\r\n  id Integer\r\nData\r\n\r\n";
  for (const TLine& l : lines) {
    if (l.empty()) {
      s += placeholder + "\r\n";
      continue;
    }
    s += "Pline " + std::to_string(l.size()) + "\r\n";
    for (const TFloatPoint& p : l) s += MifNum(p.x) + " " + MifNum(p.y) + "\r\n";
  }
  return s;
}

// Builds the network of lines in dir (ending in a separator) through the
// import; attribute.bin gets words (one per line, 0 for the rest).
inline void BuildNetworkIn(const std::string& dir, const std::vector<TLine>& lines,
                           const std::vector<uint16_t>& words = {}, bool allowLoops = false,
                           const std::string& coordsys = DefaultCoordSys,
                           const std::string& placeholder = "None") {
  std::ofstream(dir + "roads.mif", std::ios::binary) << MifTable(lines, coordsys, placeholder);
  std::ofstream(dir + "roads.mid", std::ios::binary);
  TImport imp;
  imp.SetDirectory(dir);
  imp.Add(dir + "roads.mif");
  imp.SetAllowLoops(allowLoops);
  imp.Execute();
  std::vector<uint16_t> w = words;
  w.resize(lines.size(), 0);
  std::ofstream(dir + "attribute.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(w.data()), std::streamsize(w.size() * 2));
}

class TNetFixture : public TTempDirTest {
 protected:
  TNetFixture() : TTempDirTest("netmodel_") {}

  // Builds the network of lines in dir; attribute.bin gets words (one per
  // line) when given. The last line must not be a placeholder: the MIF
  // reader does not see a trailing non-line object.
  void Build(const std::vector<TLine>& lines, const std::vector<uint16_t>& words = {},
             bool allowLoops = false) {
    BuildNetworkIn(dir, lines, words, allowLoops);
  }

  void Open(TNetwork& net, bool attributes = true) {
    net.SetDirectory(dir);
    net.Open(attributes, false, true, 0);
  }
};
