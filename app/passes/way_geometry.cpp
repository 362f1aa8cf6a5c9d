#include "way_geometry.h"

#include <algorithm>
#include <charconv>

#include "linvoro_smooth.h"

namespace {

void AppendInt(std::string& out, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Links of up to this many points are compared pair by pair; longer ones
// through a sorted copy, which finds the same answer in n log n.
constexpr int32_t PairwiseLimit = 48;

}  // namespace

bool ResolveNodes(TNode2List& nodes, const TNodeListEx& coords) {
  const int32_t n = nodes.Count();
  // The first node is searched for in the whole list, each next one from
  // where the one before it was found.
  int32_t near = -1;
  for (int32_t i = 0; i < n; ++i) {
    TNode2& node = nodes[i];
    if (coords.ReadPointNear(node.ID, node.P, near) != 0) return false;
    SetRadians(node);
  }
  return true;
}

bool RemoveRepeatedPoints(TNode2List& nodes, std::vector<double>* angles) {
  const int32_t n = nodes.Count();
  if (angles) angles->clear();
  if (n < 2) return false;
  // Node i goes when it repeats its predecessor in the original order; the
  // kept nodes are packed to the front in one sweep.
  TFloatPoint prev = nodes[0].Prad;
  int32_t kept = 1;
  for (int32_t i = 1; i < n; ++i) {
    const TFloatPoint cur = nodes[i].Prad;
    const double angle = GreatCircleAngleRad(prev, cur);
    if (angles) angles->push_back(angle);
    if (!(angle < RepeatedPointAngle)) {
      if (kept != i) nodes[kept] = nodes[i];
      ++kept;
    }
    prev = cur;
  }
  while (nodes.Count() > kept) nodes.Delete(nodes.Count() - 1);
  return kept < n;
}

bool HasEqualPoints(const TFloatPoint* points, int32_t count, std::vector<TFloatPoint>& scratch) {
  if (count < 2) return false;
  if (count <= PairwiseLimit) {
    for (int32_t i = 0; i < count; ++i)
      for (int32_t j = i + 1; j < count; ++j)
        if (points[i] == points[j]) return true;
    return false;
  }
  scratch.assign(points, points + count);
  std::sort(scratch.begin(), scratch.end(), [](const TFloatPoint& a, const TFloatPoint& b) {
    return a.x < b.x || (a.x == b.x && a.y < b.y);
  });
  for (size_t i = 1; i < scratch.size(); ++i)
    if (scratch[i - 1] == scratch[i]) return true;
  return false;
}

// ---------------------------------------------------------------- TWayGeometry

TWayGeometry::TWayGeometry(const TRunOptions& options, TGISWriter& writer, TErrorSink& errors)
    : FOptions(options), FWriter(writer), FErrors(errors) {
  FLine.reserve(128);
}

void TWayGeometry::FinishWay(TNode2List& nodes, const TNodeListEx& coords,
                             TWayAttributes& attrs, const TIdSet* splitNode) {
  if (!ResolveNodes(nodes, coords)) {
    FLine.assign("MissingNode,");
    FLine += attrs.WayIdText();
    FLine += ", is missing one more nodes in file (osmosis generated file?)";
    FErrors.ErrorLine(FLine);
    return;
  }
  WriteWay(nodes, attrs, splitNode);
}

void TWayGeometry::WriteWay(TNode2List& nodes, TWayAttributes& attrs, const TIdSet* splitNode) {
  FNodes = &nodes;
  FAttrs = &attrs;

  // The angles between the nodes serve every part; they are measured while
  // repeated points are looked for, and again only when one went.
  const bool removed = RemoveRepeatedPoints(nodes, &FSegAngle);
  const int32_t n = nodes.Count();
  if (n <= 1) {
    FLine.assign("NotALine,");
    FLine += attrs.WayIdText();
    FLine += ", has only ";
    AppendInt(FLine, n);
    FLine += " node (split-object)";
    FErrors.ErrorLine(FLine);
    return;
  }

  if (attrs.Roundabout() && FOptions.Driving != drSkip && nodes[0].P == nodes[n - 1].P)
    CheckRoundabout();

  if (removed) {
    FSegAngle.resize(static_cast<size_t>(n - 1));
    for (int32_t i = 0; i + 1 < n; ++i)
      FSegAngle[static_cast<size_t>(i)] = GreatCircleAngleRad(nodes[i].Prad, nodes[i + 1].Prad);
  }

  // End nodes never cause a cut.
  FSplit = false;
  if (FOptions.SplitLinks && splitNode != nullptr) {
    for (int32_t i = 1; i + 1 < n; ++i)
      if (splitNode->GetBit(nodes[i].ID)) {
        FSplit = true;
        break;
      }
  }

  if (!FSplit) {
    WritePart(0, n - 1);
    return;
  }
  FTotalAngle = 0;
  if (attrs.Duration() != 0)
    for (int32_t i = 0; i + 1 < n; ++i) FTotalAngle += FSegAngle[static_cast<size_t>(i)];
  int32_t start = 0;
  for (int32_t i = 1; i + 1 < n; ++i) {
    if (!splitNode->GetBit(nodes[i].ID)) continue;
    WritePart(start, i);
    start = i;
  }
  WritePart(start, n - 1);
}

void TWayGeometry::CheckRoundabout() {
  const TNode2List& nodes = *FNodes;
  const int32_t n = nodes.Count();
  if (FPoints.Pnt.size() < static_cast<size_t>(n)) FPoints.Pnt.resize(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) FPoints.Pnt[static_cast<size_t>(i)] = nodes[i].P;
  // The ring is given with its closing point, as the orientation test wants.
  const bool clockwise = IsClockwise(FPoints.Pnt.data(), static_cast<size_t>(n));
  if (FOptions.Driving == drRight && clockwise) {
    FLine.assign("Roundabout,");
    FLine += FAttrs->WayIdText();
    FLine += ", not counter-clockwise";
    FErrors.ErrorLine(FLine);
  } else if (FOptions.Driving == drLeft && !clockwise) {
    FLine.assign("Roundabout,");
    FLine += FAttrs->WayIdText();
    FLine += ",  not clockwise";
    FErrors.ErrorLine(FLine);
  }
}

void TWayGeometry::WritePart(int32_t first, int32_t last) {
  const TNode2List& nodes = *FNodes;
  if (FOptions.SplitLoopLinks && last - first > 1 && nodes[first].P == nodes[last].P) {
    ++FLoopCount;
    const int32_t mid = (first + last) / 2;
    WritePart(first, mid);
    WritePart(mid, last);
    return;
  }

  double angle = 0;
  for (int32_t i = first; i < last; ++i) angle += FSegAngle[static_cast<size_t>(i)];
  const double length = angle * EarthRadius * 1000;

  const int32_t duration = FAttrs->Duration();
  int32_t share = duration;
  if (duration == 0)
    share = 0;
  else if (FSplit)
    share = FTotalAngle > 0 ? static_cast<int32_t>(Round(angle / FTotalAngle * duration)) : 0;

  if (!(length > FOptions.minObjectLen)) {
    FLine.assign("TooShort,");
    FLine += FAttrs->WayIdText();
    FLine += ", is only ";
    AppendNumber(FLine, length);
    FLine += " meter";
    FErrors.ErrorLine(FLine);
    return;
  }

  const int32_t count = last - first + 1;
  if (FPoints.Pnt.size() < static_cast<size_t>(count))
    FPoints.Pnt.resize(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) FPoints.Pnt[static_cast<size_t>(i)] = nodes[first + i].P;
  FPoints.Count = count;

  const std::string& row = FAttrs->PartRecord(share);
  const int64_t before = FWriter.WrittenRecords();
  FWriter.AddObject(1, false, row);
  // A part that meets itself (a closed part when loops are kept whole) is
  // left as it is: the turn test has no course between equal points.
  if (FOptions.Simplify > 0 && !HasEqualPoints(FPoints.Pnt.data(), count, FScratch))
    Simplify(FPoints, smGeographic, FOptions.Simplify);
  FWriter.AddSection(1, FPoints);
  // A table that is full takes no more records; those are no links.
  if (FRoadSink && FWriter.WrittenRecords() > before) {
    if (const TWayLevel level = FAttrs->Level(); level != 0) FRoadSink->WayLevel(FAttrs->WayId(), level);
    FRoadSink->Road(FWriter.WrittenRecords(), FAttrs->WayId(), static_cast<uint32_t>(FAttrs->Attribute()), row, FPoints);
  }
}
