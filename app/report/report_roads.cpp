#include "report_roads.h"

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

void TReportRoads::TStream::Append(int64_t link, int64_t way, std::string_view name,
                                   uint32_t attribute, const TFloatPoint* points, int32_t count) {
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
  for (int32_t i = 0; i < count; ++i) {
    const int64_t x = E7(points[i].x), y = E7(points[i].y);
    AppendZigzag(Data, x - LastX);
    AppendZigzag(Data, y - LastY);
    LastX = x;
    LastY = y;
  }
  LastLink = link;
  LastWay = way;
  ++Roads;
  Vertices += count;
}

void TReportRoads::TStream::Clear() {
  // Released, not only emptied: the room is what dropping is for.
  std::string().swap(Data);
  std::vector<std::string>().swap(Names);
  decltype(NameIndex)().swap(NameIndex);
  Roads = Vertices = LastLink = LastWay = LastX = LastY = 0;
}

// ---------------------------------------------------------------- roads

TReportRoads::TReportRoads(const TIncludeLists& include, int64_t vertexBudget)
    : FClasses(include), FBudget(vertexBudget) {}

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
    FDropped[lowest] = true;
    FOmitted[lowest] += FStreams[lowest].Roads;
    FOmittedRoads += FStreams[lowest].Roads;
    FVertices -= FStreams[lowest].Vertices;
    FStreams[lowest].Clear();
    if (lowest == c) return false;
  }
  return true;
}

void TReportRoads::Add(int64_t link, int64_t way, std::string_view name, uint32_t attribute,
                       const TFloatPoint* points, int32_t count) {
  if (link > FRecords) FRecords = link;
  const TRoadClass c = FClasses.Of(attribute);
  if (count <= 0) return;
  if (FDropped[c] || FCutoff[c] != 0 || !MakeRoom(c, count)) {
    if (!FDropped[c] && FCutoff[c] == 0) FCutoff[c] = link;
    ++FOmitted[c];
    ++FOmittedRoads;
    return;
  }
  FStreams[c].Append(link, way, name, attribute, points, count);
  FVertices += count;
}

bool TReportRoads::Holds(int64_t link, uint32_t attribute) const {
  if (link < 1 || link > FRecords) return false;
  if (link < static_cast<int64_t>(FFindingRoadAdded.size()) && FFindingRoadAdded[static_cast<size_t>(link)])
    return true;
  const TRoadClass c = FClasses.Of(attribute);
  if (FDropped[c]) return false;
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
  FFindingRoads.Append(link, way, name, attribute, points, count);
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
  out += "],\"findingRoads\":";
  streamJson(FFindingRoads);
  out += '}';
}
