// The link checks of an open network: parallel links, node export, shape
// check, and the export of a location list. Each writes one GIS table.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include "linvoro_functions.h"
#include "linvoro_locationlist.h"
#include "linvoro_network.h"

namespace {

// Progress is reported once per this many items; the handler throttles to
// one call per percent anyway, and the tick read is not free.
constexpr int32_t ProgressStep = 4096;

void AppendInt(std::string& s, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

}  // namespace

// ------------------------------------------------------------ ParallelLinks

int32_t TNetwork::ParallelLinks(const std::string& filename, TGISFormat GF) {
  CheckOpen();
  std::unique_ptr<TGISWriter> w = GISoutputInit(filename, GF);
  w->StartHeader(3, otPline);
  w->AddField("Link", gfInteger, 0, 0);
  w->AddField("Group", gfInteger, 0, 0);
  w->AddField("SameLength", gfLogical, 0, 0);

  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(FNodeCount);
  FCancelled = false;

  // Loop links join a node to itself; they are never grouped.
  TBitArray done(int64_t(FLinkCount) + 1);
  for (int32_t L = 1; L <= FLinkCount; ++L)
    if (FLength[L] != 0 && Fromnode[L] == tonode[L]) done.SetBit(L, true);

  int32_t rows = 0, group = 0;
  std::vector<int32_t> members;
  std::string row;
  auto writeGroup = [&]() {
    if (members.empty()) return;
    const float len0 = FLength[members[0]];
    bool same = true;
    for (int32_t m : members) same = same && FLength[m] == len0;
    for (int32_t m : members) {
      row.clear();
      AppendInt(row, m);
      row += ',';
      AppendInt(row, group);
      row += same ? ",1" : ",0";
      ReadGISSection(m, FSection);
      w->AddObject(1, false, row);
      w->AddSection(1, FSection);
      TableRow(*w, row, FSection.Pnt.data(), FSection.Count);
      ++rows;
    }
    members.clear();
  };

  for (int32_t j = 1; j <= FNodeCount; ++j) {
    const int32_t n = FDegree[j];
    for (int32_t k = 1; k < n; ++k) {
      const int32_t L = std::abs(FNodearray[k][j]);
      if (done.GetBit(L)) continue;
      const int32_t o = Fromnode[L] + tonode[L] - j;
      bool opened = false;
      for (int32_t l = k + 1; l <= n; ++l) {
        const int32_t M = std::abs(FNodearray[l][j]);
        if (done.GetBit(M) || Fromnode[M] + tonode[M] != j + o) continue;
        if (!opened) {
          writeGroup();
          ++group;
          members.push_back(L);
          opened = true;
        }
        members.push_back(M);
        done.SetBit(M, true);
      }
    }
    if ((j % ProgressStep) == 0 && EventAssigned()) {
      ProgressExecute(j);
      // A stopped check keeps the rows written so far, as a whole table.
      if (FCancelled) break;
    }
  }
  writeGroup();
  if (EventAssigned()) ProgressExecuteZero();
  GISoutputDone(*w, GF, true, FCancelled);
  return rows;
}

// ------------------------------------------------------------ ExportNodes

void TNetwork::ExportNodes(const std::string& filename, TGISFormat GF) {
  CheckOpen();
  std::unique_ptr<TGISWriter> w = GISoutputInit(filename, GF);
  w->StartHeader(2, otPoint);
  w->AddField("ID", gfInteger, 9, 0);
  w->AddField("Degree", gfSmallInt, 2, 0);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(FNodeCount);
  FCancelled = false;
  std::string row;
  for (int32_t n = 1; n <= FNodeCount; ++n) {
    const int32_t d = FDegree[n];
    w->SetSymbol(NodeSymbol(d));
    row.clear();
    AppendInt(row, n);
    row += ',';
    AppendInt(row, d);
    w->AddPoint(FX[n], FY[n], row);
    const TFloatPoint P{FX[n], FY[n]};
    TableRow(*w, row, &P, 1);
    if ((n % ProgressStep) == 0 && EventAssigned()) {
      ProgressExecute(n);
      if (FCancelled) break;
    }
  }
  if (EventAssigned()) ProgressExecuteZero();
  GISoutputDone(*w, GF, false, FCancelled);
}

TMISymbol TNetwork::NodeSymbol(int32_t degree) {
  // Colours given as red * 65536 + green * 256 + blue; the writer stores
  // them with red in the low byte.
  switch (degree) {
    case 1: return {34, MIColor(255), 10};          // blue
    case 2: return {34, MIColor(0), 5};             // black
    case 3: return {34, MIColor(16711680), 7};      // red
    case 4: return {34, MIColor(16711935), 7};      // magenta
    default: return {34, MIColor(16776960), 7};     // yellow
  }
}

// ------------------------------------------------------------ ObjectCheck

namespace {

struct TSeg {
  double x1, y1, x2, y2;
  double m, c;  // slope and intercept unless vertical
  double xlo, xhi, ylo, yhi;
  bool vertical;
};

// Every way the rules below let two segments cross puts the crossing (or
// the overlap) inside both closed bounding boxes, so boxes that do not meet
// settle the pair without any division.
bool BoxesMeet(const TSeg& s, const TSeg& t) {
  return s.xlo <= t.xhi && t.xlo <= s.xhi && s.ylo <= t.yhi && t.ylo <= s.yhi;
}

bool Overlap(const TSeg& s, const TSeg& t) {
  return StrictlyBetween(s.y1, t.y1, t.y2) || StrictlyBetween(s.y2, t.y1, t.y2) ||
         StrictlyBetween(t.y1, s.y1, s.y2) || StrictlyBetween(t.y2, s.y1, s.y2);
}

bool VerticalCrosses(const TSeg& v, const TSeg& o) {
  const double x = v.x1;
  return StrictlyBetween(x, o.x1, o.x2) && StrictlyBetween(o.m * x + o.c, v.y1, v.y2);
}

bool Crosses(const TSeg& s, const TSeg& t) {
  if (s.vertical && t.vertical) return s.x1 == t.x1 && Overlap(s, t);
  if (s.vertical) return VerticalCrosses(s, t);
  if (t.vertical) return VerticalCrosses(t, s);
  if (s.m != t.m) {
    const double x = (s.c - t.c) / (t.m - s.m);
    return StrictlyBetween(x, s.x1, s.x2) && StrictlyBetween(x, t.x1, t.x2);
  }
  return s.c == t.c && Overlap(s, t);
}

// Below this many points the plain quadratic scans beat sorting.
constexpr int32_t SmallShape = 48;

bool HasRepeatedPoint(const TFloatPoint* p, int32_t n, std::vector<TFloatPoint>& scratch) {
  if (n <= SmallShape) {
    for (int32_t i = 0; i < n; ++i)
      for (int32_t j = i + 1; j < n; ++j)
        if (p[i] == p[j]) return true;
    return false;
  }
  scratch.assign(p, p + n);
  std::sort(scratch.begin(), scratch.end(), [](const TFloatPoint& a, const TFloatPoint& b) {
    return a.x < b.x || (a.x == b.x && a.y < b.y);
  });
  for (int32_t i = 1; i < n; ++i)
    if (scratch[i] == scratch[i - 1]) return true;
  return false;
}

bool HasSelfCrossing(const TFloatPoint* p, int32_t n, std::vector<TSeg>& segs,
                     std::vector<int32_t>& order) {
  const int32_t ns = n - 1;
  if (ns < 3) return false;
  segs.resize(static_cast<size_t>(ns));
  for (int32_t i = 0; i < ns; ++i) {
    TSeg& s = segs[i];
    s.x1 = p[i].x;
    s.y1 = p[i].y;
    s.x2 = p[i + 1].x;
    s.y2 = p[i + 1].y;
    s.vertical = s.x1 == s.x2;
    s.xlo = std::min(s.x1, s.x2);
    s.xhi = std::max(s.x1, s.x2);
    s.ylo = std::min(s.y1, s.y2);
    s.yhi = std::max(s.y1, s.y2);
    if (!s.vertical) {
      s.m = (s.y2 - s.y1) / (s.x2 - s.x1);
      s.c = (s.y1 * s.x2 - s.y2 * s.x1) / (s.x2 - s.x1);
    } else {
      s.m = s.c = 0;
    }
  }
  if (n <= SmallShape) {
    for (int32_t i = 0; i < ns; ++i)
      for (int32_t j = i + 2; j < ns; ++j)
        if (BoxesMeet(segs[i], segs[j]) && Crosses(segs[i], segs[j])) return true;
    return false;
  }
  // Every way two segments can cross needs their closed x ranges to meet,
  // so a sweep over x finds the same crossings as the full pair scan.
  order.resize(static_cast<size_t>(ns));
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](int32_t a, int32_t b) { return segs[a].xlo < segs[b].xlo; });
  for (int32_t u = 0; u < ns; ++u) {
    const int32_t i = order[u];
    const double hi = segs[i].xhi;
    for (int32_t v = u + 1; v < ns; ++v) {
      const int32_t j = order[v];
      if (segs[j].xlo > hi) break;
      if (std::abs(i - j) < 2) continue;
      if (BoxesMeet(segs[i], segs[j]) && Crosses(segs[i], segs[j])) return true;
    }
  }
  return false;
}

int32_t TurnFlag(double in, double out, int32_t turn_angle, bool& done) {
  const double d = out - in;
  // Coordinates that are no numbers have no direction.
  if (!std::isfinite(d)) return 0;
  // nearbyint rounds halves to even in the default rounding mode.
  int64_t angle = static_cast<int64_t>(std::nearbyint(d)) % 360;
  if (angle < 0) angle += 360;
  if (180 - turn_angle < angle && angle < 180 + turn_angle) {
    done = true;
    return static_cast<int32_t>(std::llabs(180 - angle)) * 100;
  }
  return 0;
}

int32_t SharpTurn(const TFloatPoint* p, int32_t n, TCoordinateUnit unit, int32_t turn_angle) {
  if (n < 3) return 0;
  bool done = false;
  if (unit == cuDeg || unit == cuRad || unit == cuGrad) {
    // Initial great-circle course, in the atan2 form: the sine and cosine
    // of each latitude serve both segments at a vertex. It measures the
    // course clockwise where Course counts anticlockwise; the test below
    // only looks at the distance of the turn from 180 degrees, which is the
    // same either way.
    const double k = unit == cuDeg ? M_PI / 180 : unit == cuGrad ? M_PI / 200 : 1.0;
    double s0, c0, s1, c1;
    sincos(p[0].y * k, &s0, &c0);
    auto course = [&](const TFloatPoint& a, const TFloatPoint& b, double sa, double ca, double sb,
                      double cb) {
      double sl, cl;
      sincos((b.x - a.x) * k, &sl, &cl);
      return std::atan2(sl * cb, ca * sb - sa * cb * cl) * (180 / M_PI);
    };
    sincos(p[1].y * k, &s1, &c1);
    double in = course(p[0], p[1], s0, c0, s1, c1);
    for (int32_t i = 1; i <= n - 2; ++i) {
      double s2, c2;
      sincos(p[i + 1].y * k, &s2, &c2);
      const double out = course(p[i], p[i + 1], s1, c1, s2, c2);
      const int32_t f = TurnFlag(in, out, turn_angle, done);
      if (done) return f;
      in = out;
      s1 = s2;
      c1 = c2;
    }
    return 0;
  }
  double in = PlanarDirection(p[1].x - p[0].x, p[1].y - p[0].y);
  for (int32_t i = 1; i <= n - 2; ++i) {
    const double out = PlanarDirection(p[i + 1].x - p[i].x, p[i + 1].y - p[i].y);
    const int32_t f = TurnFlag(in, out, turn_angle, done);
    if (done) return f;
    in = out;
  }
  return 0;
}

}  // namespace

int32_t TNetwork::ShapeTest(const TFloatPointArrayEx& line, TCoordinateUnit unit,
                            int32_t turn_angle) {
  thread_local std::vector<TFloatPoint> points;
  thread_local std::vector<TSeg> segs;
  thread_local std::vector<int32_t> order;
  const TFloatPoint* p = line.Pnt.data();
  const int32_t n = std::min<int32_t>(line.Count, static_cast<int32_t>(line.Pnt.size()));
  if (n < 2) return 0;
  if (HasRepeatedPoint(p, n, points)) return 1;
  int32_t f = SharpTurn(p, n, unit, turn_angle);
  if (HasSelfCrossing(p, n, segs, order)) f += 2;
  return f;
}

int32_t TNetwork::ObjectCheck(const std::string& filename, TGISFormat GF, int32_t turn_angle) {
  CheckOpen();
  std::unique_ptr<TGISWriter> w = GISoutputInit(filename, GF);
  w->StartHeader(4, otPline);
  w->AddField("Link", gfInteger, 0, 0);
  w->AddField("Duplicate", gfDecimal, 1, 0);
  w->AddField("SelfInter", gfDecimal, 1, 0);
  w->AddField("SharpTurn", gfDecimal, 3, 0);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(FLinkCount);
  FCancelled = false;
  int32_t rows = 0;
  std::string row;
  for (int32_t L = 1; L <= FLinkCount; ++L) {
    if ((L % ProgressStep) == 0 && EventAssigned()) {
      ProgressExecute(L);
      if (FCancelled) break;
    }
    if (FLength[L] == 0) continue;
    ReadGISSection(L, FSection);
    const int32_t f = ShapeTest(FSection, FCoordinateUnit, turn_angle);
    if (f == 0) continue;
    row.clear();
    AppendInt(row, L);
    row += (f & 1) ? ",1" : ",0";
    row += (f & 2) ? ",1" : ",0";
    row += ',';
    AppendInt(row, f / 100);
    w->AddObject(1, false, row);
    w->AddSection(1, FSection);
    TableRow(*w, row, FSection.Pnt.data(), FSection.Count);
    ++rows;
  }
  if (EventAssigned()) ProgressExecuteZero();
  GISoutputDone(*w, GF, true, FCancelled);
  return rows;
}

// ------------------------------------------------------------ ExportLocationList

void TNetwork::ExportLocationList(const std::string& filename, TGISFormat GF,
                                  const TLocationList& LL) {
  CheckOpen();
  std::unique_ptr<TGISWriter> w = GISoutputInit(filename, GF);
  w->StartHeader(2, otPoint);
  w->AddField("Link", gfInteger, 9, 0);
  w->AddField("Percent", gfFloat, 0, 0);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(LL.Count());
  FCancelled = false;
  std::string row;
  for (int32_t i = 0; i < LL.Count(); ++i) {
    const TLocationListItem& it = LL[i];
    row.clear();
    AppendInt(row, it.loc.link);
    row += ',';
    AppendNumber(row, it.loc.percent);
    w->AddPoint(it.P.x, it.P.y, row);
    TableRow(*w, row, &it.P, 1);
    if ((i % ProgressStep) == 0 && EventAssigned()) {
      ProgressExecute(i);
      if (FCancelled) break;
    }
  }
  if (EventAssigned()) ProgressExecuteZero();
  GISoutputDone(*w, GF, false, FCancelled);
}
