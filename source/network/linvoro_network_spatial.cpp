#include "linvoro_network_spatial.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "linvoro_functions.h"
#include "linvoro_sparsematrix.h"

namespace {

constexpr double NoDistance = 1e38;
constexpr double HalfPi = 1.5707963267948966;

inline bool Overlap(const TFloatRect& a, const TFloatRect& b) {
  return a.xmin <= b.xmax && b.xmin <= a.xmax && a.ymin <= b.ymax && b.ymin <= a.ymax;
}

inline bool Inside(const TFloatPoint& p, const TFloatRect& r) {
  return p.x >= r.xmin && p.x <= r.xmax && p.y >= r.ymin && p.y <= r.ymax;
}

// Initial course from (lon1, lat1) to (lon2, lat2), radians, in (-pi, pi].
// The north component is written so that it keeps its precision for points
// centimetres apart.
inline double Course(double lon1, double lat1, double lon2, double lat2) {
  const double dl = lon2 - lon1;
  const double s = std::sin(dl / 2);
  const double north = std::sin(lat2 - lat1) + 2 * std::sin(lat1) * std::cos(lat2) * s * s;
  return std::atan2(std::sin(dl) * std::cos(lat2), north);
}

// Angle between two courses, 0..pi.
inline double AngleBetween(double c1, double c2) {
  double d = std::fabs(c1 - c2);
  if (d > M_PI) d = 2 * M_PI - d;
  return d;
}

// The point at fraction f of the great-circle arc from a to b (radians).
TFloatPoint ArcPoint(double lon1, double lat1, double lon2, double lat2, double d, double f) {
  if (f <= 0) return {lon1, lat1};
  if (f >= 1) return {lon2, lat2};
  const double sd = std::sin(d);
  double wa, wb;
  if (sd < 1e-300) {
    wa = 1 - f;
    wb = f;
  } else {
    wa = std::sin((1 - f) * d) / sd;
    wb = std::sin(f * d) / sd;
  }
  const double x = wa * std::cos(lat1) * std::cos(lon1) + wb * std::cos(lat2) * std::cos(lon2);
  const double y = wa * std::cos(lat1) * std::sin(lon1) + wb * std::cos(lat2) * std::sin(lon2);
  const double z = wa * std::sin(lat1) + wb * std::sin(lat2);
  return {std::atan2(y, x), std::atan2(z, std::sqrt(x * x + y * y))};
}

// Orientation of p2 against the directed segment p0 -> p1: +1 / -1 for the
// two sides; on the line: -1 when p2 lies behind p0, +1 beyond p1, 0 on the
// closed segment.
inline int Orientation(const TFloatPoint& p0, const TFloatPoint& p1, const TFloatPoint& p2) {
  const double d1x = p1.x - p0.x, d1y = p1.y - p0.y;
  const double d2x = p2.x - p0.x, d2y = p2.y - p0.y;
  const double a = d1x * d2y, b = d1y * d2x;
  if (a > b) return 1;
  if (a < b) return -1;
  if (d1x * d2x < 0 || d1y * d2y < 0) return -1;
  if (d1x * d1x + d1y * d1y < d2x * d2x + d2y * d2y) return 1;
  return 0;
}

inline double Cross(double ax, double ay, double bx, double by) { return ax * by - ay * bx; }

std::string Int(int64_t v) { return std::to_string(v); }

TFloatRect BoxOf(const TFloatPointArrayEx& line) {
  TFloatRect r{line.Pnt[0].x, line.Pnt[0].y, line.Pnt[0].x, line.Pnt[0].y};
  for (int32_t i = 1; i < line.Count; ++i) ExtendRect(r, line.Pnt[i]);
  return r;
}

}  // namespace

// ------------------------------------------------------------ geometry

TSpatialSearch::TGeometry TSpatialSearch::GeometryOf(const TNetwork& NW) {
  return GeometryOf(NW.CoordinateUnit(), NW.DistFactor());
}

TSpatialSearch::TGeometry TSpatialSearch::GeometryOf(TCoordinateUnit unit, double distfactor) {
  TGeometry g;
  g.unit = unit;
  g.distfactor = distfactor;
  switch (g.unit) {
    case cuDeg: g.angular = true; g.toRad = DegToRad; break;
    case cuGrad: g.angular = true; g.toRad = GradToRad; break;
    case cuRad: g.angular = true; g.toRad = 1; break;
    default: break;
  }
  return g;
}

double TSpatialSearch::TGeometry::Dist(const TFloatPoint& a, const TFloatPoint& b) const {
  if (!angular) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    return std::sqrt(dx * dx + dy * dy);
  }
  switch (unit) {
    case cuDeg: return GreatCircleAngle(a, b);
    case cuGrad: return GreatCircleAngleGrad(a, b);
    default: return GreatCircleAngleRad(a, b);
  }
}

double TSpatialSearch::TGeometry::SegmentDist(const TFloatPoint& P, const TFloatPoint& A,
                                               const TFloatPoint& B, double& frac,
                                               TFloatPoint& foot, int32_t& side) const {
  // The nearest point is an end of the segment.
  auto AtEnd = [&](double f, const TFloatPoint& end, double d) {
    frac = f;
    foot = end;
    return d;
  };
  if (!angular) {
    const double abx = B.x - A.x, aby = B.y - A.y;
    const double apx = P.x - A.x, apy = P.y - A.y;
    const double bpx = P.x - B.x, bpy = P.y - B.y;
    const double h = apx * apx + apy * apy, l = abx * abx + aby * aby, m = bpx * bpx + bpy * bpy;
    const double cr = Cross(abx, aby, apx, apy);
    side = cr > 0 ? 1 : (cr < 0 ? -1 : 0);
    if (h == 0) return AtEnd(0, A, 0);
    if (l == 0) return AtEnd(0, A, std::sqrt(h));
    if (m == 0) return AtEnd(1, B, 0);
    if (m > l + h) return AtEnd(0, A, std::sqrt(h));
    if (h > l + m) return AtEnd(1, B, std::sqrt(m));
    frac = (apx * abx + apy * aby) / l;
    frac = std::clamp(frac, 0.0, 1.0);
    foot = {A.x + frac * abx, A.y + frac * aby};
    return std::fabs(cr) / std::sqrt(l);
  }
  const double ax = A.x * toRad, ay = A.y * toRad, bx = B.x * toRad, by = B.y * toRad;
  const double px = P.x * toRad, py = P.y * toRad;
  const double dAP = Dist(A, P), dBP = Dist(B, P);
  const double cAB = Course(ax, ay, bx, by), cAP = Course(ax, ay, px, py);
  {
    double s = cAP - cAB;
    if (s > M_PI) s -= 2 * M_PI;
    if (s < -M_PI) s += 2 * M_PI;
    // Courses grow clockwise: a positive difference puts P on the right.
    side = (dAP == 0 || s == 0 || s == M_PI || s == -M_PI) ? 0 : (s > 0 ? -1 : 1);
  }
  if (dAP == 0) return AtEnd(0, A, 0);
  if (dBP == 0) return AtEnd(1, B, 0);
  const double dAB = Dist(A, B);
  if (dAB == 0) return AtEnd(0, A, dAP);
  const double angA = AngleBetween(cAP, cAB);
  if (angA >= HalfPi) return AtEnd(0, A, dAP);
  const double angB = AngleBetween(Course(bx, by, px, py), Course(bx, by, ax, ay));
  if (angB >= HalfPi) return AtEnd(1, B, dBP);
  double s = std::sin(angA) * std::sin(dAP);
  if (s > 1) s = 1;
  const double xt = std::asin(s);
  // Along-track distance from A: right spherical triangle with hypotenuse
  // dAP and angle angA at A.
  const double along = std::atan(std::tan(dAP) * std::cos(angA));
  frac = std::clamp(along / dAB, 0.0, 1.0);
  const TFloatPoint f = ArcPoint(ax, ay, bx, by, dAB, frac);
  foot = {f.x / toRad, f.y / toRad};
  return xt;
}

TFloatRect TSpatialSearch::TGeometry::SearchRect(const TFloatPoint& P, double r) const {
  if (!angular) return {P.x - r, P.y - r, P.x + r, P.y + r};
  const double rc = r / toRad;
  TFloatRect q{0, P.y - rc, 0, P.y + rc};
  // The half width follows the latitude of the rectangle's edge nearer to
  // a pole, so that the rectangle holds every point within r on both
  // hemispheres; a small allowance covers the difference between r/cos and
  // its exact spherical value.
  const double lat = std::max(std::fabs(q.ymin), std::fabs(q.ymax)) * toRad;
  const double c = std::cos(lat);
  const double hw = c > 1e-12 ? rc / c * (1 + 1e-9) + 1e-15 : std::numeric_limits<double>::infinity();
  if (std::isinf(hw) || lat >= HalfPi) {
    q.xmin = -std::numeric_limits<double>::infinity();
    q.xmax = std::numeric_limits<double>::infinity();
  } else {
    q.xmin = P.x - hw;
    q.xmax = P.x + hw;
  }
  return q;
}

double TSpatialSearch::TGeometry::SegmentPad(const TFloatPoint& A, const TFloatPoint& B) const {
  if (!angular) return 0;
  const double dx = (B.x - A.x) * toRad, dy = (B.y - A.y) * toRad;
  const double lat = std::max(std::fabs(A.y), std::fabs(B.y)) * toRad;
  const double t = lat < 1.5 ? std::tan(lat) : 1e3;
  // A great-circle arc leaves the rectangle of its end points by at most
  // about (length^2 / 8) * tan(latitude); twice that plus a little.
  return ((dx * dx + dy * dy) * (1 + t) / 4 + 1e-15) / toRad;
}

double TSpatialSearch::TGeometry::EndSlack(const TFloatPoint& foot, double distanceKm,
                                           double lengthKm) const {
  const double rounding = 1e-9 * lengthKm;
  if (!angular) return rounding;
  // Up to 89 degrees: closer to a pole the grid no longer says which way is
  // "beside" a link.
  const double lat = std::min(std::fabs(foot.y * toRad), 89 * DegToRad);
  return distanceKm * lengthKm * std::tan(lat) / distfactor + rounding;
}

bool TSpatialSearch::TGeometry::NearestSegment(const TFloatPoint& P, const TFloatPoint* pts, int32_t first,
                                               int32_t last, double cap, TFloatRect& window, double& best,
                                               int32_t& seg, TFloatPoint& foot) const {
  bool improved = false;
  for (int32_t j = first + 1; j <= last; ++j) {
    const TFloatPoint& A = pts[j - 1];
    const TFloatPoint& B = pts[j];
    if (SegmentMisses(A, B, window)) continue;
    double frac;
    TFloatPoint f;
    int32_t side;
    const double d = SegmentDist(P, A, B, frac, f, side);
    if (d < best) {
      best = d;
      seg = j;
      foot = f;
      improved = true;
      window = SearchRect(P, std::min(best, cap));
    }
  }
  return improved;
}

TFloatRect TSpatialSearch::TGeometry::Unbounded() {
  constexpr double inf = std::numeric_limits<double>::infinity();
  return {-inf, -inf, inf, inf};
}

double TSpatialSearch::NearestOnLine(const TGeometry& g, const TFloatPoint& P,
                                     const TFloatPoint* pts, int32_t count, double& percent,
                                     int32_t& side, TFloatPoint& Pnew) {
  percent = 0;
  side = 0;
  if (count < 2) {
    Pnew = count == 1 ? pts[0] : P;
    return count == 1 ? g.Dist(P, pts[0]) : NoDistance;
  }
  double best = 0, bestFrac = 0, before = 0, bestBefore = 0, bestLen = 0;
  for (int32_t j = 1; j < count; ++j) {
    double frac;
    TFloatPoint foot;
    int32_t sd;
    const double d = g.SegmentDist(P, pts[j - 1], pts[j], frac, foot, sd);
    const double len = g.Dist(pts[j - 1], pts[j]);
    if (j == 1 || d < best) {
      best = d;
      bestFrac = frac;
      bestBefore = before;
      bestLen = len;
      Pnew = foot;
      side = sd;
    }
    before += len;
  }
  const double total = before;
  if (total > 0) {
    const double along = bestBefore + bestFrac * bestLen;
    percent = along >= total ? 1.0 : along / total;
  }
  return best;
}

// The nearest point on one given link.
void TNetwork::DistanceToLink(const TFloatPoint& P, int32_t link, double& percent,
                              int32_t& side, double& distance, TFloatPoint& Pnew) {
  CheckOpen();
  CheckLink(link);
  CheckCoordinate(P);
  TFloatPointArrayEx line;
  ReadGISSection(link, line);
  const TSpatialSearch::TGeometry g = TSpatialSearch::GeometryOf(*this);
  distance = TSpatialSearch::NearestOnLine(g, P, line, percent, side, Pnew) * g.distfactor;
}

// ------------------------------------------------------------ TSpatialSearch

TSpatialSearch::TSpatialSearch(TNetwork* NW) : FNW(NW), FGISarray(std::make_unique<TGISArray>()) {
  list1.Pnt.resize(1000);
  list2.Pnt.resize(1000);
}

TSpatialSearch::~TSpatialSearch() = default;

void TSpatialSearch::CheckReady() const {
  FNW->CheckOpen();
  const TQuadTree* qt = FNW->QuadTree();
  if (!qt || !qt->MainCell()) throw Exception("Spatial index need to be open");
}

const TQuadTreeCell* TSpatialSearch::LeafOf(const TFloatPoint& P) const {
  const TQuadTreeCell* c = FNW->QuadTree()->MainCell();
  while (c->Divided) {
    const TFloatRect& r = c->Child(1)->Rect;
    const double cx = r.xmin, cy = r.ymin;
    if (P.x > cx)
      c = c->Child(P.y > cy ? 1 : 4);
    else
      c = c->Child(P.y > cy ? 2 : 3);
  }
  return c;
}

const TFloatPoint* TSpatialSearch::Shape(int32_t link, int32_t& count,
                                         TFloatPointArrayEx& scratch) {
  if (FShapesCached) {
    const int64_t s0 = FShapeStart[link];
    count = static_cast<int32_t>(FShapeStart[link + 1] - s0);
    return FShapePts.data() + s0;
  }
  FNW->ReadGISSection(link, scratch);
  count = scratch.Count;
  return scratch.Pnt.data();
}

void TSpatialSearch::EnsureLinkBoxes() {
  if (FGeo.unit == cuUnknown) FGeo = GeometryOf(*FNW);
  const int32_t links = FNW->LinkCount();
  if (FLinkBox.size() == static_cast<size_t>(links) + 1) return;
  FLinkBox.assign(static_cast<size_t>(links) + 1, TFloatRect{});
  FLinkPad.assign(static_cast<size_t>(links) + 1, 0.0);
  const float* len = FNW->Lengths();
  int64_t points = 0;
  for (int32_t l = 1; l <= links; ++l)
    if (len[l] != 0) points += FNW->Coord3File().GetCount(l - 1);
  FShapesCached = false;
  FShapePts.clear();
  FShapeStart.clear();
  const bool cache = points <= MaxCachedShapePoints;
  if (cache) {
    FShapePts.reserve(static_cast<size_t>(points));
    FShapeStart.assign(static_cast<size_t>(links) + 2, 0);
  }
  for (int32_t l = 1; l <= links; ++l) {
    if (cache) FShapeStart[l] = static_cast<int64_t>(FShapePts.size());
    if (len[l] == 0) continue;
    FNW->ReadGISSection(l, list1);
    FLinkBox[l] = BoxOf(list1);
    double pad = 0;
    if (FGeo.angular)
      for (int32_t j = 1; j < list1.Count; ++j)
        pad = std::max(pad, FGeo.SegmentPad(list1.Pnt[j - 1], list1.Pnt[j]));
    FLinkPad[l] = pad;
    if (cache) FShapePts.insert(FShapePts.end(), list1.Pnt.begin(), list1.Pnt.begin() + list1.Count);
  }
  if (cache) {
    FShapeStart[static_cast<size_t>(links) + 1] = static_cast<int64_t>(FShapePts.size());
    FShapesCached = true;
  }
  // Leaf marks are kept by cell id; make sure the ids can index them.
  const TQuadTree* qt = FNW->QuadTree();
  const int32_t cells = qt->CellCount();
  std::vector<uint8_t> seen(static_cast<size_t>(cells) + 1, 0);
  std::vector<const TQuadTreeCell*> stack{qt->MainCell()};
  while (!stack.empty()) {
    const TQuadTreeCell* c = stack.back();
    stack.pop_back();
    if (c->ID < 1 || c->ID > cells || seen[c->ID])
      throw Exception(std::string(SpatialIndexFileName) + " is corrupt: cell id " + Int(c->ID));
    seen[c->ID] = 1;
    if (c->Divided)
      for (int k = 1; k <= 4; ++k) stack.push_back(c->Child(k));
  }
  FCellStamp.assign(static_cast<size_t>(cells) + 1, 0);
  FStamp = 0;
}

template <class F>
void TSpatialSearch::VisitLeaves(const TQuadTreeCell* cell, const TFloatRect& r, F&& f) const {
  if (!Overlap(cell->Rect, r)) return;
  if (cell->Divided) {
    for (int k = 1; k <= 4; ++k) VisitLeaves(cell->Child(k), r, f);
    return;
  }
  f(cell);
}

// ------------------------------------------------------------ node selection

void TSpatialSearch::SelectNodes(const TFloatPoint& P, double Radius, TIntegerList& List,
                                 TBitArray* BA) {
  CheckReady();
  FNW->CheckCoordinate(P);
  if (FGeo.unit == cuUnknown) FGeo = GeometryOf(*FNW);
  List.Clear();
  if (BA) {
    BA->SetSize(int64_t(FNW->NodeCount()) + 1);
    BA->SetAllFalse();
  }
  const double r = Radius / FGeo.distfactor;
  const TFloatRect rect = FGeo.SearchRect(P, r);
  const double* X = FNW->Xs();
  const double* Y = FNW->Ys();
  VisitLeaves(FNW->QuadTree()->MainCell(), rect, [&](const TQuadTreeCell* leaf) {
    for (int32_t n : leaf->nodes) {
      if (FSkipNodes && FSkipNodes->GetBit(n)) continue;
      const TFloatPoint q{X[n], Y[n]};
      if (!Inside(q, rect)) continue;
      if (FGeo.Dist(P, q) < r) {
        List.Add(n);
        if (BA) BA->SetBit(n, true);
      }
    }
  });
  List.Sort();
}

// ------------------------------------------------------------ nearest location

bool TSpatialSearch::TestLeaf(const TQuadTreeCell* leaf, const TFloatPoint& P, double limit,
                              double& best, int32_t& bestLink, int32_t& bestSeg) {
  FCellStamp[leaf->ID] = FStamp;
  bool improved = false;
  // Nothing outside the rectangle of the best distance (or of the limit)
  // can be nearer than it: links and segments that miss it are passed over.
  const double bound = std::min(best, limit);
  bool bounded = bound < NoDistance;
  TFloatRect rect = bounded ? FGeo.SearchRect(P, bound) : TGeometry::Unbounded();
  for (const TSubLink& s : leaf->SLL) {
    const int32_t L = s.Link;
    if (FSkipLinks && FSkipLinks->GetBit(L)) continue;
    if (FBA && !FBA->GetBit(L)) continue;
    if (bounded && !LinkNear(L, rect)) continue;
    int32_t count;
    const TFloatPoint* pts = Shape(L, count, list1);
    const int32_t last = std::min<int32_t>(s.sub2, count - 1);
    TFloatPoint foot;
    if (FGeo.NearestSegment(P, pts, s.sub1, last, limit, rect, best, bestSeg, foot)) {
      bestLink = L;
      improved = true;
      bounded = true;
    }
  }
  return improved;
}

void TSpatialSearch::NearestLocation(const TFloatPoint& P, TLocation& Loc, int32_t& side,
                                     double& distance, TFloatPoint& Pnew) {
  CheckReady();
  FNW->CheckCoordinate(P);
  NearestLocationWithin(P, NoDistance, Loc, side, distance, Pnew);
}

void TSpatialSearch::NearestLocationWithin(const TFloatPoint& P, double limit, TLocation& Loc,
                                           int32_t& side, double& distance, TFloatPoint& Pnew) {
  EnsureLinkBoxes();
  Loc = TLocation{};
  side = 0;
  distance = 0;
  Pnew = P;
  if (++FStamp == 0) {
    std::fill(FCellStamp.begin(), FCellStamp.end(), 0);
    FStamp = 1;
  }
  double best = NoDistance;
  int32_t bestLink = 0, bestSeg = 0;
  const TQuadTreeCell* main = FNW->QuadTree()->MainCell();
  // Tests every unvisited leaf overlapping the rectangle of the current
  // best distance (or of a, before anything was found), the rectangle
  // shrinking as the best improves.
  TFloatRect rect;
  auto sweep = [&](auto&& self, const TQuadTreeCell* cell) -> void {
    if (!Overlap(cell->Rect, rect)) return;
    if (cell->Divided) {
      for (int k = 1; k <= 4; ++k) self(self, cell->Child(k));
      return;
    }
    if (FCellStamp[cell->ID] == FStamp) return;
    if (TestLeaf(cell, P, limit, best, bestLink, bestSeg))
      rect = FGeo.SearchRect(P, std::min(best, limit));
  };

  const TQuadTreeCell* leaf0 = LeafOf(P);
  TestLeaf(leaf0, P, limit, best, bestLink, bestSeg);
  if (bestLink == 0) {
    double a = std::min(leaf0->Rect.xmax - leaf0->Rect.xmin, leaf0->Rect.ymax - leaf0->Rect.ymin);
    if (FGeo.angular) a *= FGeo.toRad;
    if (!(a > 0)) {
      a = std::max(main->Rect.xmax - main->Rect.xmin, main->Rect.ymax - main->Rect.ymin);
      if (FGeo.angular) a *= FGeo.toRad;
      if (!(a > 0)) a = 1e-9;
    }
    for (;;) {
      rect = FGeo.SearchRect(P, a);
      const bool coversAll = rect.xmin <= main->Rect.xmin && rect.xmax >= main->Rect.xmax &&
                             rect.ymin <= main->Rect.ymin && rect.ymax >= main->Rect.ymax;
      sweep(sweep, main);
      // Nothing allowed anywhere, or nothing within the caller's limit.
      if (bestLink != 0 || coversAll || a >= limit || std::isinf(a)) break;
      a *= 1.5;
    }
  }
  if (bestLink == 0) return;
  rect = FGeo.SearchRect(P, std::min(best, limit));
  sweep(sweep, main);

  // The position of the nearest point along the link's shape.
  int32_t count;
  const TFloatPoint* pts = Shape(bestLink, count, list2);
  double before = 0, total = 0, frac = 0, segLen = 0;
  for (int32_t j = 1; j < count; ++j) {
    const double l = FGeo.Dist(pts[j - 1], pts[j]);
    if (j < bestSeg) before += l;
    if (j == bestSeg) segLen = l;
    total += l;
  }
  TFloatPoint foot;
  const double d = FGeo.SegmentDist(P, pts[bestSeg - 1], pts[bestSeg], frac, foot, side);
  const double along = before + frac * segLen;
  Loc.link = bestLink;
  Loc.percent = total == 0 ? 0 : (along >= total ? 1.0 : along / total);
  Pnew = foot;
  distance = d * FGeo.distfactor;
}

// ------------------------------------------------------------ checks

std::unique_ptr<TGISWriter> TSpatialSearch::StartPairTable(const std::string& filename, TGISFormat GF,
                                                           const char* name1, const char* name2,
                                                           int32_t distWidth, int32_t distDecimals) {
  CheckReady();
  EnsureLinkBoxes();
  std::unique_ptr<TGISWriter> w = FNW->GISoutputInit(filename, GF);
  TMIPen pen = w->Pen();
  pen.Width = 10;
  w->SetPen(pen);
  w->StartHeader(3, otPline);
  w->AddField(name1, gfInteger, 0, 0);
  w->AddField(name2, gfInteger, 0, 0);
  w->AddField("distance", gfFloat, distWidth, distDecimals);
  return w;
}

void TSpatialSearch::FinishTable(TGISWriter& w, TGISFormat GF) {
  FNW->GISoutputDone(w, GF, true, Cancelled());
  if (GF == gfGeoJSON) FGeoJSON = FNW->GeoJSON();
}

int32_t TSpatialSearch::FindNonConnectedNodes(const std::string& filename, TGISFormat GF,
                                              double Radius) {
  std::unique_ptr<TGISWriter> w = StartPairTable(filename, GF, "Node1", "Node2", 0, 0);

  const int32_t nodes = FNW->NodeCount();
  const double* X = FNW->Xs();
  const double* Y = FNW->Ys();
  const double r = Radius / FGeo.distfactor;
  const TQuadTreeCell* main = FNW->QuadTree()->MainCell();
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(nodes);
  FCancelled = false;
  int32_t rows = 0;
  std::vector<int32_t> sel;
  std::string text;
  for (int32_t i = 1; i <= nodes; ++i) {
    const TFloatPoint P{X[i], Y[i]};
    const TFloatRect rect = FGeo.SearchRect(P, r);
    sel.clear();
    VisitLeaves(main, rect, [&](const TQuadTreeCell* leaf) {
      for (int32_t n : leaf->nodes) {
        // Pairs are reported from their lower node only.
        if (n <= i || (FSkipNodes && FSkipNodes->GetBit(n))) continue;
        const TFloatPoint q{X[n], Y[n]};
        if (Inside(q, rect) && FGeo.Dist(P, q) < r) sel.push_back(n);
      }
    });
    if (!sel.empty()) {
      std::sort(sel.begin(), sel.end());
      for (int32_t j : sel) {
        if (FNW->NodesConnected(i, j)) continue;
        const TFloatPoint Q{X[j], Y[j]};
        text = Int(i) + "," + Int(j) + ",";
        AppendNumber(text, FNW->DistanceRaw(P, Q));
        w->AddLine2(P, Q, text);
        const TFloatPoint line[2] = {P, Q};
        FNW->TableRow(*w, text, line, 2);
        ++rows;
      }
    }
    if (EventAssigned()) {
      ProgressExecute(i);
      // A stopped check keeps the rows written so far, as a whole table.
      if (FCancelled) break;
    }
  }
  FinishTable(*w, GF);
  return rows;
}

int32_t TSpatialSearch::FindNonConnected(const std::string& filename, TGISFormat GF,
                                         double Radius) {
  std::unique_ptr<TGISWriter> w = StartPairTable(filename, GF, "Node", "Link", 20, 8);

  const int32_t nodes = FNW->NodeCount(), links = FNW->LinkCount();
  const double* X = FNW->Xs();
  const double* Y = FNW->Ys();
  const int32_t* fromN = FNW->FromNodes();
  const int32_t* toN = FNW->ToNodes();
  const double r = Radius / FGeo.distfactor;
  const TQuadTreeCell* main = FNW->QuadTree()->MainCell();
  // Per link: the node it was last looked at for, instead of clearing a
  // seen mark per node.
  std::vector<int32_t> seenFor(static_cast<size_t>(links) + 1, 0);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(nodes);
  FCancelled = false;
  int32_t rows = 0;
  std::string text;
  for (int32_t i = 1; i <= nodes; ++i) {
    const TFloatPoint P{X[i], Y[i]};
    const TFloatRect rect = FGeo.SearchRect(P, r);
    VisitLeaves(main, rect, [&](const TQuadTreeCell* leaf) {
      for (const TSubLink& s : leaf->SLL) {
        const int32_t L = s.Link;
        if (seenFor[L] == i) continue;
        seenFor[L] = i;
        if (fromN[L] == i || toN[L] == i) continue;
        // A link or segment whose every point lies outside the rectangle is
        // at least the radius away; among the others the first with the
        // strictly smallest distance is the link's nearest point.
        if (!LinkNear(L, rect)) continue;
        int32_t count;
        const TFloatPoint* pts = Shape(L, count, list1);
        double best = NoDistance;
        TFloatPoint Pnew{};
        TFloatRect window = rect;
        int32_t seg;
        if (!FGeo.NearestSegment(P, pts, 0, count - 1, r, window, best, seg, Pnew)) continue;
        const double dist = best * FGeo.distfactor;
        if (Radius > dist && !FNW->NodesConnected(i, fromN[L]) && !FNW->NodesConnected(i, toN[L])) {
          text = Int(i) + "," + Int(L) + ",";
          AppendNumber(text, dist);
          w->AddLine2(P, Pnew, text);
          const TFloatPoint line[2] = {P, Pnew};
          FNW->TableRow(*w, text, line, 2);
          ++rows;
          break;  // the next leaf is still looked at
        }
      }
    });
    if (EventAssigned()) {
      ProgressExecute(i);
      // A stopped check keeps the rows written so far, as a whole table.
      if (FCancelled) break;
    }
  }
  FinishTable(*w, GF);
  return rows;
}

int32_t TSpatialSearch::SplitAndSnap(double Radius, TLocationList& LL) {
  CheckReady();
  EnsureLinkBoxes();
  const int32_t nodes = FNW->NodeCount(), links = FNW->LinkCount();
  const int32_t* fromN = FNW->FromNodes();
  const int32_t* toN = FNW->ToNodes();
  const double* X = FNW->Xs();
  const double* Y = FNW->Ys();
  const int32_t a3 = FNW->MaxDegree() >= 2 ? FNW->DegreeBoundRaw(3) : 0;
  const int32_t first = a3 + 1;
  const double r = Radius / FGeo.distfactor;

  // Allowed links: all but those at the node and at its neighbours. The
  // excluded bits are restored after each node instead of setting the
  // whole set again.
  TBitArray allowed(int64_t(links) + 1);
  allowed.SetAllTrue();
  const TBitArray* savedBA = FBA;
  FBA = &allowed;
  std::vector<int32_t> excluded;
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(nodes - first);
  FCancelled = false;
  int32_t count = 0;
  try {
    for (int32_t i = first; i <= nodes; ++i) {
      const int32_t deg = FNW->DegreeRaw(i);
      excluded.clear();
      for (int32_t k = 1; k <= deg; ++k) {
        const int32_t L = std::abs(FNW->NodeLinkRaw(i, k));
        excluded.push_back(L);
        const int32_t o = fromN[L] + toN[L] - i;
        const int32_t dego = FNW->DegreeRaw(o);
        for (int32_t j = 1; j <= dego; ++j) excluded.push_back(std::abs(FNW->NodeLinkRaw(o, j)));
      }
      for (int32_t L : excluded) allowed.SetBit(L, false);
      const TFloatPoint P{X[i], Y[i]};
      TLocation loc;
      int32_t side;
      double dist;
      TFloatPoint Pnew;
      // Only a link nearer than the radius matters, so the search need not
      // look further.
      NearestLocationWithin(P, r * (1 + 1e-9), loc, side, dist, Pnew);
      for (int32_t L : excluded) allowed.SetBit(L, true);
      // A foot at either end of the found link means joining at its end
      // node, which is not a place to split.
      bool inside = loc.link != 0 && Radius > dist && loc.percent != 0 && loc.percent != 1;
      if (inside) {
        const double len = FNW->Lengths()[loc.link];
        const double slack = FGeo.EndSlack(Pnew, dist, len);
        inside = loc.percent * len > slack && (1 - loc.percent) * len > slack;
      }
      if (inside) {
        ++count;
        LL.Add(loc.link, loc.percent, Pnew);
        for (int32_t k = 1; k <= deg; ++k) {
          const int32_t L = std::abs(FNW->NodeLinkRaw(i, k));
          LL.Add(L, fromN[L] == i ? -2.0 : -1.0, Pnew);
        }
      }
      if (EventAssigned()) {
        ProgressExecute(i - first);
        if (FCancelled) break;
      }
    }
  } catch (...) {
    FBA = savedBA;
    throw;
  }
  FBA = savedBA;
  if (EventAssigned()) ProgressExecuteZero();
  LL.RemoveDuplicates();
  LL.RemoveStartEndPos();
  return count;
}

void TSpatialSearch::FindOverpasses(TLocationList& LL) {
  CheckReady();
  EnsureLinkBoxes();
  const int32_t links = FNW->LinkCount();
  const int32_t* fromN = FNW->FromNodes();
  const int32_t* toN = FNW->ToNodes();
  const float* len = FNW->Lengths();
  const TQuadTree* qt = FNW->QuadTree();
  TSparseMatrix SM(int64_t(links) + 1);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(qt->CellCount());
  FCancelled = false;

  // Shapes of the current leaf's links, each read once per leaf.
  std::vector<int32_t> slotStamp(static_cast<size_t>(links) + 1, 0);
  std::vector<int32_t> slotOf(static_cast<size_t>(links) + 1, 0);
  std::vector<TFloatPoint> pts;
  std::vector<int32_t> start;  // per slot: first point in pts; one closing value
  int32_t leafNo = 0;
  // Loads a link's shape into the leaf's buffer; pointers into the buffer
  // are taken only after both shapes of a pair are loaded.
  auto load = [&](int32_t L) {
    if (FShapesCached || slotStamp[L] == leafNo) return;
    slotStamp[L] = leafNo;
    FNW->ReadGISSection(L, list1);
    slotOf[L] = static_cast<int32_t>(start.size()) - 1;
    pts.insert(pts.end(), list1.Pnt.begin(), list1.Pnt.begin() + list1.Count);
    start.push_back(static_cast<int32_t>(pts.size()));
  };
  auto shapeOf = [&](int32_t L, const TFloatPoint*& p, int32_t& n) {
    if (FShapesCached) {
      p = Shape(L, n, list1);
      return;
    }
    const int32_t s = slotOf[L];
    p = pts.data() + start[s];
    n = start[s + 1] - start[s];
  };
  // Search length of segments 0..k-1 of a line.
  auto lengthBefore = [&](const TFloatPoint* p, int32_t k) {
    double s = 0;
    for (int32_t j = 1; j <= k; ++j) s += FGeo.Dist(p[j - 1], p[j]);
    return s;
  };

  auto leafWork = [&](const TQuadTreeCell* leaf) {
    ++leafNo;
    pts.clear();
    start.assign(1, 0);
    const TSubLinkList& S = leaf->SLL;
    const int32_t n = S.Count();
    for (int32_t i = 0; i < n; ++i) {
      const int32_t A = S[i].Link;
      const TFloatRect& boxA = FLinkBox[A];
      for (int32_t j = i + 1; j < n; ++j) {
        const int32_t B = S[j].Link;
        if (A == B) continue;
        // The two tests that do not depend on the leaf come before the pair
        // set: a pair they refuse is refused in every leaf, so it need not
        // be remembered.
        if (fromN[B] == fromN[A] || fromN[B] == toN[A] || toN[B] == fromN[A] || toN[B] == toN[A])
          continue;
        const TFloatRect& boxB = FLinkBox[B];
        if (!Overlap(boxA, boxB)) continue;
        if (SM.Add(A, B)) continue;
        const TFloatPoint *a, *b;
        int32_t na, nb;
        load(A);
        load(B);
        shapeOf(A, a, na);
        shapeOf(B, b, nb);
        const TFloatPoint a0 = a[0], aN = a[na - 1], b0 = b[0], bN = b[nb - 1];
        bool done = false;
        for (int32_t k = 1; k < na && !done; ++k) {
          const TFloatPoint &A1 = a[k - 1], &A2 = a[k];
          const double axmin = std::min(A1.x, A2.x), axmax = std::max(A1.x, A2.x);
          const double aymin = std::min(A1.y, A2.y), aymax = std::max(A1.y, A2.y);
          if (axmax < boxB.xmin || axmin > boxB.xmax || aymax < boxB.ymin || aymin > boxB.ymax)
            continue;
          for (int32_t l = 1; l < nb; ++l) {
            const TFloatPoint &B1 = b[l - 1], &B2 = b[l];
            // Closed segments only meet when their rectangles do.
            if (std::max(B1.x, B2.x) < axmin || std::min(B1.x, B2.x) > axmax ||
                std::max(B1.y, B2.y) < aymin || std::min(B1.y, B2.y) > aymax)
              continue;
            const int o1 = Orientation(A1, A2, B1), o2 = Orientation(A1, A2, B2);
            const int o3 = Orientation(B1, B2, A1), o4 = Orientation(B1, B2, A2);
            if (!((o1 * o2 < 0 && o3 * o4 < 0) || o1 == 0 || o2 == 0 || o3 == 0 || o4 == 0))
              continue;
            TFloatPoint X;
            double tA, tB;
            const double d = Cross(B1.x - B2.x, B1.y - B2.y, A1.x - A2.x, A1.y - A2.y);
            if (std::fabs(d) < 1e-10 &&
                std::fabs(Cross(B1.x - B2.x, B1.y - B2.y, B2.x - A2.x, B2.y - A2.y)) < 1e-10) {
              X = B1;
              tA = 0;
              tB = 0;
            } else if (o1 == 0 || o2 == 0 || o3 == 0 || o4 == 0) {
              // One segment ends on the other: the crossing is that end
              // point exactly, so that a touch at a link's end is known as
              // such.
              if (std::fabs(d) < 1e-10) continue;  // parallel touch: no crossing point
              const double rx = A2.x - A1.x, ry = A2.y - A1.y, sx = B2.x - B1.x, sy = B2.y - B1.y;
              const double den = Cross(rx, ry, sx, sy);
              const double qx = B1.x - A1.x, qy = B1.y - A1.y;
              tA = Cross(qx, qy, sx, sy) / den;
              tB = Cross(qx, qy, rx, ry) / den;
              if (o1 == 0) {
                X = B1;
                tB = 0;
              } else if (o2 == 0) {
                X = B2;
                tB = 1;
              } else if (o3 == 0) {
                X = A1;
                tA = 0;
              } else {
                X = A2;
                tA = 1;
              }
              tA = std::clamp(tA, 0.0, 1.0);
              tB = std::clamp(tB, 0.0, 1.0);
            } else {
              const double rx = A2.x - A1.x, ry = A2.y - A1.y, sx = B2.x - B1.x, sy = B2.y - B1.y;
              const double den = Cross(rx, ry, sx, sy);
              const double qx = B1.x - A1.x, qy = B1.y - A1.y;
              tA = Cross(qx, qy, sx, sy) / den;
              tB = Cross(qx, qy, rx, ry) / den;
              X = {A1.x + tA * rx, A1.y + tA * ry};
            }
            if (X == a0 || X == aN || X == b0 || X == bN) continue;
            const double posA =
                (lengthBefore(a, k - 1) + tA * FGeo.Dist(A1, A2)) * FGeo.distfactor / len[A];
            const double posB =
                (lengthBefore(b, l - 1) + tB * FGeo.Dist(B1, B2)) * FGeo.distfactor / len[B];
            LL.Add(A, posA, X);
            LL.Add(B, posB, X);
            done = true;
            break;
          }
        }
      }
    }
  };

  int32_t visited = 0;
  auto walk = [&](auto&& self, const TQuadTreeCell* c) -> void {
    if (FCancelled) return;
    if (c->Divided) {
      for (int k = 1; k <= 4; ++k) self(self, c->Child(k));
      return;
    }
    leafWork(c);
    ++visited;
    if (EventAssigned()) ProgressExecute(visited);
  };
  walk(walk, qt->MainCell());
  if (EventAssigned()) ProgressExecuteZero();
  LL.RemoveDuplicates();
  LL.RemoveStartEndPos();
}
