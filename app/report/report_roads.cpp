#include "report_roads.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>

#include "report_text.h"
#include "way_attributes.h"

namespace {

constexpr const char* kClassKeys[rcCount] = {"motorway", "trunk",   "primary", "secondary",
                                             "tertiary", "minor",   "service", "track",
                                             "path",     "ferry",   "other"};

// The classes the overview may leave out, least important first. The
// others (motorways, trunk roads, ferries) are never left out as a whole:
// once only they remain and still exceed the budget, each stops taking
// roads where it stands.
constexpr TRoadClass kDropOrder[] = {rcPath, rcTrack, rcService, rcOther, rcMinor,
                                     rcTertiary, rcSecondary, rcPrimary};

// Douglas-Peucker as weights: per vertex of a line (E7 x, y pairs) the
// largest tolerance in metres at which the simplification still keeps it,
// so that the vertices kept at a tolerance are those weighing more. A
// vertex weighs its distance from the chord it splits, but no more than the
// vertex that split the chord before it (its ancestors are kept first).
void SimplificationWeights(const int64_t* xy, int32_t count, float* weight) {
  if (count <= 0) return;
  constexpr float kEnd = std::numeric_limits<float>::infinity();
  weight[0] = weight[count - 1] = kEnd;
  if (count < 3) return;
  // Metres per 1e-7 degree: of latitude, and of longitude at the line.
  constexpr double kMetresY = 6378137.0 * 3.14159265358979323846 / 180.0 * 1e-7;
  const double kx = kMetresY * std::cos(static_cast<double>(xy[1]) * 1e-7 * 3.14159265358979323846 / 180.0);
  const auto px = [&](int32_t i) { return static_cast<double>(xy[2 * i] - xy[0]) * kx; };
  const auto py = [&](int32_t i) { return static_cast<double>(xy[2 * i + 1] - xy[1]) * kMetresY; };
  struct TSpan {
    int32_t a, b;
    float limit;
  };
  std::vector<TSpan> stack{{0, count - 1, kEnd}};
  while (!stack.empty()) {
    const TSpan s = stack.back();
    stack.pop_back();
    if (s.b - s.a < 2) continue;
    const double ax = px(s.a), ay = py(s.a), dx = px(s.b) - ax, dy = py(s.b) - ay;
    const double len2 = dx * dx + dy * dy;
    double best = -1;
    int32_t at = s.a + 1;
    for (int32_t i = s.a + 1; i < s.b; ++i) {
      double qx = px(i) - ax, qy = py(i) - ay;
      if (len2 > 0) {
        const double t = std::clamp((qx * dx + qy * dy) / len2, 0.0, 1.0);
        qx -= t * dx;
        qy -= t * dy;
      }
      const double d2 = qx * qx + qy * qy;
      if (d2 > best) {
        best = d2;
        at = i;
      }
    }
    const float w = std::min(s.limit, static_cast<float>(std::sqrt(best)));
    weight[at] = w;
    stack.push_back({s.a, at, w});
    stack.push_back({at, s.b, w});
  }
}

}  // namespace

const char* RoadClassKey(TRoadClass c) { return c < rcCount ? kClassKeys[c] : "other"; }

TRoadClass TRoadClasses::OfHighway(std::string_view v) {
  if (v.size() > 5 && v.substr(v.size() - 5) == "_link") v = v.substr(0, v.size() - 5);
  static const struct {
    std::string_view value;
    TRoadClass cls;
  } kValues[] = {
      {"motorway", rcMotorway},     {"trunk", rcTrunk},         {"primary", rcPrimary},
      {"secondary", rcSecondary},   {"tertiary", rcTertiary},   {"unclassified", rcMinor},
      {"residential", rcMinor},     {"living_street", rcMinor}, {"road", rcMinor},
      {"service", rcService},       {"track", rcTrack},         {"busway", rcTrack},
      {"bus_guideway", rcTrack},    {"escape", rcTrack},        {"raceway", rcTrack},
      {"pedestrian", rcPath},       {"footway", rcPath},        {"path", rcPath},
      {"cycleway", rcPath},         {"bridleway", rcPath},      {"steps", rcPath},
      {"corridor", rcPath},         {"ferry", rcFerry},
  };
  for (const auto& e : kValues)
    if (e.value == v) return e.cls;
  return rcOther;
}

TRoadClasses::TRoadClasses(const TIncludeLists& include) {
  FByCode.fill(rcOther);
  std::array<bool, 256> set{};
  for (const std::string& v : include.Values(3)) {
    const int32_t code = include.TypeCode(v);
    if (code <= 0 || code > 255 || set[static_cast<size_t>(code)]) continue;
    set[static_cast<size_t>(code)] = true;
    FByCode[static_cast<size_t>(code)] = OfHighway(v);
  }
}

TRoadClass TRoadClasses::Of(uint32_t attribute) const {
  if (attribute & 4096) return rcFerry;
  return FByCode[attribute & 255];
}

// ---------------------------------------------------------------- streams

void TReportRoads::TStream::AppendHead(int64_t link, int64_t way, std::string_view name,
                                       uint32_t attribute, int32_t count) {
  auto it = NameIndex.find(name);
  if (it == NameIndex.end()) {
    it = NameIndex.emplace(std::string(name), static_cast<uint32_t>(Names.size())).first;
    Names.emplace_back(name);
  }
  AppendZigzag(Data, link - LastLink);
  AppendZigzag(Data, way - LastWay);
  AppendVarint(Data, it->second);
  AppendVarint(Data, attribute);
  AppendVarint(Data, static_cast<uint64_t>(count));
  LastLink = link;
  LastWay = way;
  ++Roads;
  Vertices += count;
}

void TReportRoads::TStream::AppendVertex(int64_t x, int64_t y) {
  AppendZigzag(Data, x - LastX);
  AppendZigzag(Data, y - LastY);
  LastX = x;
  LastY = y;
}

void TReportRoads::TStream::Append(int64_t link, int64_t way, std::string_view name,
                                   uint32_t attribute, const TFloatPoint* points, int32_t count) {
  AppendHead(link, way, name, attribute, count);
  for (int32_t i = 0; i < count; ++i) AppendVertex(E7(points[i].x), E7(points[i].y));
}

void TReportRoads::TStream::Clear() {
  // Released, not only emptied: the room is what dropping is for.
  std::string().swap(Data);
  std::vector<std::string>().swap(Names);
  decltype(NameIndex)().swap(NameIndex);
  Roads = Vertices = LastLink = LastWay = LastX = LastY = 0;
}

// ---------------------------------------------------------------- roads

TReportRoads::TReportRoads(const TIncludeLists& include, int64_t vertexBudget, int64_t findingVertexBudget)
    : FClasses(include), FBudget(vertexBudget), FFindingBudget(findingVertexBudget) {}

void TReportRoads::Road(int64_t record, int64_t wayId, uint32_t attribute, std::string_view row,
                        const TFloatPointArrayEx& points) {
  // The name the table holds: the value after osm_id (name or name_ref).
  FSplitter.Split(row);
  const std::string_view name = FSplitter.Count() > 1 ? FSplitter[1] : std::string_view();
  Add(record, wayId, name, attribute, points.Pnt.data(),
      points.Count);
}

bool TReportRoads::MakeRoom(TRoadClass c, int32_t count) {
  while (FVertices + count > FBudget) {
    TRoadClass lowest = rcCount;
    for (TRoadClass d : kDropOrder)
      if (!FDropped[d]) {
        lowest = d;
        break;
      }
    if (lowest == rcCount) return false;  // only the classes never dropped remain
    // The last class of the overview is thinned, not dropped: an empty
    // overview would tell nothing of where the roads run.
    if (FStreams[lowest].Roads >= 2 && FStreams[lowest].Vertices == FVertices) {
      Thin(lowest);
      continue;
    }
    FDropped[lowest] = true;
    FOmitted[lowest] += FStreams[lowest].Roads;
    FOmittedRoads += FStreams[lowest].Roads;
    FVertices -= FStreams[lowest].Vertices;
    FStreams[lowest].Clear();
    if (lowest == c) return false;
  }
  return true;
}

namespace {

uint64_t ReadVarint(const std::string& s, size_t& at) {
  uint64_t v = 0;
  for (int shift = 0; at < s.size() && shift < 64; shift += 7) {
    const uint8_t b = static_cast<uint8_t>(s[at++]);
    v |= uint64_t{b & 0x7fu} << shift;
    if (!(b & 0x80)) break;
  }
  return v;
}

int64_t ReadZigzag(const std::string& s, size_t& at) {
  const uint64_t v = ReadVarint(s, at);
  return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

}  // namespace

void TReportRoads::Thin(TRoadClass c) {
  const TStream old = std::move(FStreams[c]);
  FStreams[c] = TStream();
  TStream& kept = FStreams[c];
  FThinKept[c].clear();
  size_t at = 0;
  int64_t link = 0, way = 0, x = 0, y = 0;
  for (int64_t r = 0; r < old.Roads; ++r) {
    link += ReadZigzag(old.Data, at);
    way += ReadZigzag(old.Data, at);
    const uint64_t name = ReadVarint(old.Data, at);
    const auto attribute = static_cast<uint32_t>(ReadVarint(old.Data, at));
    const auto count = static_cast<int32_t>(ReadVarint(old.Data, at));
    const bool keep = r % 2 == 0;
    if (keep) {
      kept.AppendHead(link, way, name < old.Names.size() ? old.Names[name] : std::string(), attribute, count);
      FThinKept[c].push_back(link);
    } else {
      ++FOmitted[c];
      ++FOmittedRoads;
      FVertices -= count;
    }
    for (int32_t i = 0; i < count; ++i) {
      x += ReadZigzag(old.Data, at);
      y += ReadZigzag(old.Data, at);
      if (keep) kept.AppendVertex(x, y);
    }
  }
  FStride[c] *= 2;
}

void TReportRoads::Add(int64_t link, int64_t way, std::string_view name, uint32_t attribute,
                       const TFloatPoint* points, int32_t count) {
  if (link > FRecords) FRecords = link;
  const TRoadClass c = FClasses.Of(attribute);
  if (count <= 0) return;
  const int64_t offered = FOffered[c]++;
  bool keep = !FDropped[c] && FCutoff[c] == 0 && offered % FStride[c] == 0;
  if (keep) {
    const bool room = MakeRoom(c, count);
    // A class never dropped stops where the room ends.
    if (!room && !FDropped[c]) FCutoff[c] = link;
    // Making room may have thinned this very class.
    keep = room && offered % FStride[c] == 0;
  }
  if (!keep) {
    ++FOmitted[c];
    ++FOmittedRoads;
    return;
  }
  FStreams[c].Append(link, way, name, attribute, points, count);
  if (FStride[c] > 1) FThinKept[c].push_back(link);
  FVertices += count;
}

bool TReportRoads::Holds(int64_t link, uint32_t attribute) const {
  if (link < 1 || link > FRecords) return false;
  if (link < static_cast<int64_t>(FFindingRoadAdded.size()) && FFindingRoadAdded[static_cast<size_t>(link)])
    return true;
  const TRoadClass c = FClasses.Of(attribute);
  if (FDropped[c]) return false;
  if (FStride[c] > 1) return std::binary_search(FThinKept[c].begin(), FThinKept[c].end(), link);
  return FCutoff[c] == 0 || link < FCutoff[c];
}

void TReportRoads::AddFindingRoad(int64_t link, int64_t way, std::string_view name,
                                  uint32_t attribute, const TFloatPoint* points, int32_t count) {
  if (link < 1 || count <= 0) return;
  if (FFindingRoadAdded.size() <= static_cast<size_t>(link))
    FFindingRoadAdded.resize(static_cast<size_t>(link) + 1, false);
  if (FFindingRoadAdded[static_cast<size_t>(link)]) return;
  FFindingRoadAdded[static_cast<size_t>(link)] = true;
  // Links come in the order of the findings here, not ascending.
  const size_t first = FFindingWeight.size();
  FFindingRoads.push_back({link, way, std::string(name), attribute, first, count});
  for (int32_t i = 0; i < count; ++i) {
    FFindingXY.push_back(E7(points[i].x));
    FFindingXY.push_back(E7(points[i].y));
  }
  FFindingWeight.resize(first + static_cast<size_t>(count), 0.0f);
  SimplificationWeights(FFindingXY.data() + 2 * first, count, FFindingWeight.data() + first);
}

double TReportRoads::FindingRoadTolerance() const {
  // The vertices each tolerance keeps, at once for all of them.
  constexpr size_t kSteps = std::size(FindingRoadTolerances);
  std::array<int64_t, kSteps> kept{};
  // Tolerance 0 keeps every vertex, also one where the line doubles back
  // onto itself.
  kept[0] = static_cast<int64_t>(FFindingWeight.size());
  for (const float w : FFindingWeight)
    for (size_t k = 1; k < kSteps && w > FindingRoadTolerances[k]; ++k) ++kept[k];
  for (size_t k = 0; k < kSteps; ++k)
    if (kept[k] <= FFindingBudget) return FindingRoadTolerances[k];
  return FindingRoadTolerances[kSteps - 1];
}

void TReportRoads::AppendJson(std::string& out) const {
  const auto streamJson = [&out](const TStream& s) {
    out += "{\"roads\":";
    AppendJsonInt(out, s.Roads);
    out += ",\"vertices\":";
    AppendJsonInt(out, s.Vertices);
    out += ",\"names\":[";
    for (size_t i = 0; i < s.Names.size(); ++i) {
      if (i) out += ',';
      AppendJsonString(out, s.Names[i]);
    }
    out += "],\"data\":\"";
    AppendBase64(out, s.Data);
    out += "\"}";
  };
  out += "{\"classes\":[";
  for (int c = 0; c < rcCount; ++c) {
    if (c) out += ',';
    AppendJsonString(out, kClassKeys[c]);
  }
  // The class of every type code, so that the page classes a road by its
  // attribute code as this program does.
  out += "],\"codeClass\":[";
  for (int code = 0; code < 256; ++code) {
    if (code) out += ',';
    AppendJsonInt(out, FClasses.Of(static_cast<uint32_t>(code)));
  }
  out += "],\"records\":";
  AppendJsonInt(out, FRecords);
  out += ",\"vertices\":";
  AppendJsonInt(out, FVertices);
  out += ",\"vertexBudget\":";
  AppendJsonInt(out, FBudget);
  out += ",\"omitted\":{";
  bool first = true;
  for (int c = 0; c < rcCount; ++c) {
    if (FOmitted[c] == 0) continue;
    if (!first) out += ',';
    first = false;
    AppendJsonString(out, kClassKeys[c]);
    out += ':';
    AppendJsonInt(out, FOmitted[c]);
  }
  out += "},\"streams\":[";
  first = true;
  for (int c = 0; c < rcCount; ++c) {
    if (FStreams[c].Roads == 0) continue;
    if (!first) out += ',';
    first = false;
    streamJson(FStreams[c]);
  }
  const double tolerance = FindingRoadTolerance();
  TStream findingRoads;
  for (const TFindingRoad& r : FFindingRoads) {
    const float* w = FFindingWeight.data() + r.First;
    const int64_t* xy = FFindingXY.data() + 2 * r.First;
    const auto keep = [&](int32_t i) { return tolerance <= 0 || w[i] > tolerance; };
    int32_t n = 0;
    for (int32_t i = 0; i < r.Count; ++i) n += keep(i);
    findingRoads.AppendHead(r.Link, r.Way, r.Name, r.Attribute, n);
    for (int32_t i = 0; i < r.Count; ++i)
      if (keep(i)) findingRoads.AppendVertex(xy[2 * i], xy[2 * i + 1]);
  }
  out += "],\"findingRoads\":";
  streamJson(findingRoads);
  out += ",\"findingRoadsTolerance\":";
  AppendJsonNumber(out, tolerance);
  out += '}';
}
