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

inline std::string MifTable(const std::vector<TLine>& lines,
                            const std::string& coordsys = "CoordSys Earth Projection 1, 104") {
  std::string s = "Version 300\r\nCharset \"WindowsLatin1\"\r\nDelimiter \",\"\r\n" + coordsys +
                  "\r\nColumns 1\r\n  id Integer\r\nData\r\n\r\n";
  for (const TLine& l : lines) {
    if (l.empty()) {
      s += "None\r\n";
      continue;
    }
    s += "Pline " + std::to_string(l.size()) + "\r\n";
    for (const TFloatPoint& p : l) s += MifNum(p.x) + " " + MifNum(p.y) + "\r\n";
  }
  return s;
}

class TNetFixture : public TTempDirTest {
 protected:
  TNetFixture() : TTempDirTest("netmodel_") {}

  // Builds the network of lines in dir; attribute.bin gets words (one per
  // line) when given. The last line must not be a placeholder: the MIF
  // reader does not see a trailing non-line object.
  void Build(const std::vector<TLine>& lines, const std::vector<uint16_t>& words = {},
             bool allowLoops = false) {
    Put(Path("roads.mif"), MifTable(lines));
    Put(Path("roads.mid"), std::string());
    TImport imp;
    imp.SetDirectory(dir);
    imp.Add(Path("roads.mif"));
    imp.SetAllowLoops(allowLoops);
    imp.Execute();
    std::vector<uint16_t> w = words;
    w.resize(lines.size(), 0);
    std::string bytes(w.size() * 2, '\0');
    if (!w.empty()) std::memcpy(bytes.data(), w.data(), bytes.size());
    Put(Path("attribute.bin"), bytes);
  }

  void Open(TNetwork& net, bool attributes = true) {
    net.SetDirectory(dir);
    net.Open(attributes, false, true, 0);
  }
};
