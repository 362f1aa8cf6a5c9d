#include "findings.h"

#include <cerrno>
#include <charconv>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "linvoro_giswriter_gpkg.h"
#include "linvoro_network.h"
#include "linvoro_platform.h"
#include "report_roads.h"
#include "report_text.h"

namespace {

// GeoJSON text is handed to the file in blocks of about this size.
constexpr size_t kFlushSize = 1 << 20;
// Road-name files up to this size are read into memory for the lookups.
constexpr int64_t kCacheNamesUpTo = int64_t(256) << 20;

// A whole field as a number (int64_t or double), a leading "+" allowed.
template <typename T>
bool ParseNumber(std::string_view v, T& out) {
  if (v.empty()) return false;
  const char* b = v.data();
  const char* e = b + v.size();
  if (*b == '+') ++b;
  const auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e;
}

// A value of the row as the JSON value of its field's type.
void AppendValue(std::string& out, const TFieldInfo& f, std::string_view v) {
  switch (f.FieldType) {
    case gfInteger:
    case gfSmallInt:
    case gfInt64:
    case gfDecimal:
    case gfFloat: {
      int64_t i;
      double d;
      if (ParseNumber(v, i))
        AppendJsonInt(out, i);
      else if (ParseNumber(v, d))
        AppendJsonNumber(out, d);
      else if (v.empty())
        out += "null";
      else
        AppendJsonString(out, v);
      break;
    }
    case gfLogical: out += LogicalValue(v) ? "true" : "false"; break;
    default: AppendJsonString(out, v); break;
  }
}

// A way id, or null for a way not known (-1).
void AppendWay(std::string& out, int64_t way) {
  if (way >= 0)
    AppendJsonInt(out, way);
  else
    out += "null";
}

// A number of the table times factor, rounded to 1/per; null when the
// field holds none.
void AppendRounded(std::string& out, std::string_view v, double factor, double per) {
  double d;
  if (ParseNumber(v, d))
    AppendJsonNumber(out, std::round(d * factor * per) / per);
  else
    out += "null";
}

const char* TypeKey(TGISField t) {
  switch (t) {
    case gfInteger:
    case gfSmallInt:
    case gfInt64: return "integer";
    case gfDecimal:
    case gfFloat: return "number";
    case gfLogical: return "logical";
    default: return "text";
  }
}

void AppendPoint(std::string& out, const TFloatPoint& p) {
  out += '[';
  AppendJsonNumber(out, p.x);
  out += ',';
  AppendJsonNumber(out, p.y);
  out += ']';
}

// The values of a comma-joined list of JSON values (one per row) whose row
// is kept; every value when keep is empty.
void AppendKept(std::string& out, std::string_view joined, const std::vector<bool>& keep) {
  if (keep.empty()) {
    out += joined;
    return;
  }
  size_t row = 0, start = 0;
  int depth = 0;
  bool inString = false, first = true;
  for (size_t i = 0; i <= joined.size(); ++i) {
    if (i < joined.size()) {
      const char ch = joined[i];
      if (inString) {
        if (ch == '\\') ++i;
        else if (ch == '"') inString = false;
        continue;
      }
      if (ch == '"') inString = true;
      else if (ch == '[' || ch == '{') ++depth;
      else if (ch == ']' || ch == '}') --depth;
      if (ch != ',' || depth != 0) continue;
    }
    if (row < keep.size() && keep[row]) {
      if (!first) out += ',';
      first = false;
      out.append(joined, start, i - start);
    }
    ++row;
    start = i + 1;
  }
}

// The own geometries of the kept rows: per row its point count, then x, y
// of each point.
void AppendKeptPoints(std::string& out, std::string_view joined, const std::vector<bool>& keep) {
  if (keep.empty()) {
    out += joined;
    return;
  }
  size_t at = 0, row = 0;
  bool first = true;
  // The next number; false at the end.
  const auto next = [&](int64_t& v) {
    if (at >= joined.size()) return false;
    const size_t comma = joined.find(',', at);
    const size_t end = comma == std::string_view::npos ? joined.size() : comma;
    std::from_chars(joined.data() + at, joined.data() + end, v);
    at = end + 1;
    return true;
  };
  int64_t n = 0;
  while (next(n)) {
    const size_t begin = std::min(at, joined.size());
    int64_t v;
    for (int64_t k = 0; k < 2 * n && next(v); ++k) {
    }
    const size_t end = std::min(at, joined.size() + 1) - 1;  // before the comma that ends the row
    if (row < keep.size() && keep[row]) {
      if (!first) out += ',';
      first = false;
      AppendJsonInt(out, n);
      if (n > 0 && end > begin) {
        out += ',';
        out.append(joined, begin, end - begin);
      }
    }
    ++row;
  }
}

}  // namespace

const std::vector<TFindingTable>& FindingTables() {
  static const std::vector<TFindingTable> tables = {
      {"subnets_extended", "LinkID", false, {nullptr, nullptr}},
      {"subnets", "LinkID", false, {nullptr, nullptr}},
      {"parallel", "Link", false, {nullptr, nullptr}},
      {"object_check", "Link", false, {nullptr, nullptr}},
      {"non_connected_nodes", nullptr, true, {"Node1", "Node2"}},
      {"non_connected_links", "Link", true, {nullptr, nullptr}},
      {"split_and_snap", "Link", true, {nullptr, nullptr}},
      {"overpasses", "Link", true, {nullptr, nullptr}},
  };
  return tables;
}

std::string FindingPropertyName(const std::string& field, TFieldForm form) {
  switch (form) {
    case TFieldForm::ffMetres: return "distance_m";
    case TFieldForm::ffPosition: return "position";
    case TFieldForm::ffLink: return "link";
    default: break;
  }
  // The table's own names, which the feature's own properties ("link",
  // "name", ...) never equal in any letter case.
  return field;
}

std::string LevelText(TWayLevel level) {
  std::string s = LevelBridge(level) ? "bridge" : LevelTunnel(level) ? "tunnel" : "ground";
  if (LevelBridge(level) && LevelTunnel(level)) s = "bridge and tunnel";
  if (const int32_t layer = LevelLayer(level); layer != 0) s += ", layer " + std::to_string(layer);
  return s;
}

const char* FindingMessage(const std::string& check, bool splitAndSnapPlace, bool levelsDiffer) {
  if (check == "subnets_extended")
    return "A one-way road that can be entered but not left: check its oneway tag and whether the road that "
           "leads on shares a node with it.";
  if (check == "subnets")
    return "A road not connected to the main network: join it at a shared node where it meets another road "
           "(at the edge of an extract the cut can cause it).";
  if (check == "parallel")
    return "Links that join the same two nodes: a way drawn twice is deleted, different roads can be right.";
  if (check == "object_check")
    return "An odd shape (a repeated point, a self-crossing or a sharp turn back): move or delete the node "
           "placed by mistake.";
  if (check == "non_connected_nodes")
    return "Two road ends or junctions less than 2 m apart that no road joins: merge them into one node.";
  if (check == "non_connected_links")
    return "A road end less than 2 m from a road it does not join: add the end as a node of that road.";
  if (check == "split_and_snap" || (check == "overpasses" && splitAndSnapPlace))
    return "A road end within 2 m of the inside of another road: add a node to that road there and join the "
           "end to it.";
  if (check == "overpasses")
    return levelsDiffer ? "Two roads cross on different levels (bridge, tunnel or layer): usually correct, "
                          "nothing to do."
                        : "Two roads cross on the same level without a shared node: add the junction node, or "
                          "tag the upper one as a bridge (or the lower as a tunnel) with a layer.";
  return "A finding of a network check.";
}

TFindings::TFindings(std::string path, TReportRoads* roads) : FPath(std::move(path)), FRoads(roads) {
  for (const TFindingTable& t : FindingTables()) {
    FChecks.emplace_back();
    FChecks.back().Table = &t;
  }
}

TFindings::~TFindings() {
  Detach();
  try {
    Close();
  } catch (...) {
  }
}

void TFindings::Attach(TNetwork& net) {
  FNet = &net;
  // Every finding looks up its link's way and name: read from the files
  // one by one, a run with many findings would spend its time in seeks.
  for (const int32_t n : {1, 2})
    if (TRoadNameFile* f = net.RoadNameFile(n); f && f->NameFileSize() <= kCacheNamesUpTo) f->CacheNames();
  net.SetOnTableRow([this](const TGISWriter& w, std::string_view row, const TFloatPoint* p, int32_t n) {
    Row(w, row, p, n);
  });
  FParts.resize(FChecks.size());
  if (FFile) return;
  FFile = std::make_unique<TWholeFile>(FPath, true);
  FFirstFeature = true;
  FBuffer = "{\"type\":\"FeatureCollection\",\"name\":\"findings\",\"features\":[";
}

void TFindings::Detach() {
  // A table left by an error or a stop still gets its rows, while the
  // network can name their ways.
  if (FNet) {
    for (std::unique_ptr<TFindingsPart>& p : FParts)
      if (p) p->Finish();
    ChoosePageRows();
    FNet->SetOnTableRow(nullptr);
  }
  FNet = nullptr;
  // Their lookups hold name ids of the network's road-name files.
  FParts.clear();
}

TCheckFindings* TFindings::Check(std::string_view table) {
  for (TCheckFindings& c : FChecks)
    if (table == c.Table->Name) return &c;
  return nullptr;
}

TFindingsPart& TFindings::OwnPart(TCheckFindings& c) {
  std::unique_ptr<TFindingsPart>& p = FParts[static_cast<size_t>(&c - FChecks.data())];
  if (!p) p = std::make_unique<TFindingsPart>(*this, c, &FBuffer, &FFirstFeature, [this] { Flush(); });
  return *p;
}

std::unique_ptr<TFindingsPart> TFindings::Part(const std::string& table, TCheckText out) {
  TCheckFindings* c = Check(table);
  if (!c || !FNet) return nullptr;
  return std::make_unique<TFindingsPart>(*this, *c, std::move(out));
}

void TFindings::AppendPart(std::string_view block) {
  if (block.empty()) return;
  // A part's every feature follows a comma; the file's first follows "[".
  if (FFirstFeature && block.front() == ',') block.remove_prefix(1);
  FFirstFeature = false;
  Flush();
  if (FFile && FFile->IsOpen()) FFile->Write(block);
}

void TFindings::Begin(const std::string& table) {
  if (TCheckFindings* c = Check(table)) c->State = TCheckState::csRunning;
}

void TFindings::End(const std::string& table, bool stopped) {
  TCheckFindings* c = Check(table);
  if (!c) return;
  if (FNet) {
    if (std::unique_ptr<TFindingsPart>& p = FParts[static_cast<size_t>(c - FChecks.data())]) p->Finish();
  }
  c->State = stopped ? TCheckState::csStopped : TCheckState::csRan;
}

void TFindings::Row(const TGISWriter& writer, std::string_view row, const TFloatPoint* points,
                    int32_t count) {
  std::string_view file = writer.FileName();
  if (const size_t slash = file.rfind('/'); slash != std::string_view::npos) file.remove_prefix(slash + 1);
  TCheckFindings* c = Check(file);
  if (!c || !FNet) return;
  OwnPart(*c).Row(writer, row, points, count);
}

// ------------------------------------------------------------ a check's part

int64_t TLinkLookup::Way(int32_t link) {
  TRoadNameFile* f = FNet ? FNet->RoadNameFile(1) : nullptr;
  if (!f) return -1;
  const int32_t id = f->RoadNameID1(link);
  auto it = FWays.find(id);
  if (it != FWays.end()) return it->second;
  int64_t way = -1;
  if (!ParseNumber(f->RoadName2(id), way) || way < 0) way = -1;
  FWays.emplace(id, way);
  return way;
}

const std::string& TLinkLookup::Name(int32_t link) {
  static const std::string none;
  TRoadNameFile* f = FNet ? FNet->RoadNameFile(2) : nullptr;
  if (!f) return none;
  const int32_t id = f->RoadNameID1(link);
  auto it = FNames.find(id);
  if (it == FNames.end()) it = FNames.emplace(id, f->RoadName2(id)).first;
  return it->second;
}

std::string_view TLinkLookup::RoadClass(int32_t link) const {
  if (!FRoads) return {};
  return RoadClassKey(FRoads->Classes().Of(FNet->Attribute(link)));
}

TFindingsPart::TFindingsPart(TFindings& owner, TCheckFindings& check, std::string* text, bool* first,
                             std::function<void()> full)
    : F(owner), C(check), FText(text), FFirst(first), FFull(std::move(full)), FLinks(owner.FNet, owner.FRoads) {}

TFindingsPart::TFindingsPart(TFindings& owner, TCheckFindings& check, TCheckText out)
    : F(owner),
      C(check),
      FOut(std::move(out)),
      FText(&FOwnText),
      FFirst(&FOwnFirst),
      FFull([this] {
        FOut(FOwnText);
        // The block was taken whole: the next one starts at full size.
        FOwnText.clear();
        FOwnText.reserve(kFlushSize + kFlushSize / 4);
      }),
      FLinks(owner.FNet, owner.FRoads) {}

void TFindingsPart::Row(const TGISWriter& writer, std::string_view row, const TFloatPoint* points,
                        int32_t count) {
  std::string_view file = writer.FileName();
  if (const size_t slash = file.rfind('/'); slash != std::string_view::npos) file.remove_prefix(slash + 1);
  if (file != C.Table->Name) return;
  if (C.Fields.empty()) {
    const TFindingTable& t = *C.Table;
    for (int32_t i = 1; i <= writer.NumFields(); ++i) {
      const TFieldInfo f = writer.FieldInfo(i);
      C.Fields.push_back(f);
      C.Forms.push_back(t.LinkField && f.Name == t.LinkField ? TFieldForm::ffLink
                         : f.Name == "distance"                ? TFieldForm::ffMetres
                         : f.Name == "Percent"                 ? TFieldForm::ffPosition
                                                               : TFieldForm::ffAsIs);
    }
    C.Columns.resize(C.Fields.size());
  }
  const bool isPoint = writer.ObjectTypes() == otPoint;
  if (file == "split_and_snap") {
    FSplitter.Split(row);
    int64_t link = 0;
    double pos = 0;
    if (FSplitter.Count() >= 2 && ParseNumber(FSplitter[0], link) && ParseNumber(FSplitter[1], pos)) {
      std::lock_guard<std::mutex> g(F.FSnapLock);
      F.FSnapPlaces.emplace_back(link, pos);
    }
  } else if (file == "overpasses") {
    // Every row waits, so that the page's crossings stay one per row.
    FPending.push_back({std::string(row), count > 0 ? points[0] : TFloatPoint{}, std::min(count, 1), isPoint});
    return;
  }
  Emit(row, points, count, isPoint, TCrossing());
}

void TFindingsPart::Finish() {
  EmitCrossings();
  if (FOut && !FOwnText.empty()) FFull();
}

void TFindingsPart::EmitCrossings() {
  if (FPending.empty()) return;
  std::vector<TPending> pending;
  pending.swap(FPending);
  std::vector<std::pair<int64_t, double>> snapPlaces;
  {
    std::lock_guard<std::mutex> g(F.FSnapLock);
    snapPlaces = F.FSnapPlaces;
  }
  std::sort(snapPlaces.begin(), snapPlaces.end());
  // Both rows of a crossing lie on the crossing point exactly.
  std::vector<int64_t> links(pending.size(), 0);
  std::vector<bool> snap(pending.size(), false);
  std::unordered_map<uint64_t, std::vector<size_t>> at;
  const auto keyOf = [](const TFloatPoint& p) {
    return (static_cast<uint64_t>(E7(p.x)) << 32) ^ static_cast<uint32_t>(E7(p.y));
  };
  for (size_t i = 0; i < pending.size(); ++i) {
    FSplitter.Split(pending[i].Row);
    double pos = 0;
    if (FSplitter.Count() >= 2) {
      ParseNumber(FSplitter[0], links[i]);
      ParseNumber(FSplitter[1], pos);
    }
    snap[i] = std::binary_search(snapPlaces.begin(), snapPlaces.end(), std::pair{links[i], pos});
    if (snap[i] || pending[i].Count == 0) continue;
    at[keyOf(pending[i].P)].push_back(i);
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    TCrossing x;
    x.Known = true;
    x.SplitAndSnap = snap[i];
    if (!snap[i] && pending[i].Count > 0) {
      for (const size_t j : at[keyOf(pending[i].P)])
        if (links[j] != links[i]) {
          x.Link = links[j];
          break;
        }
    }
    Emit(pending[i].Row, &pending[i].P, pending[i].Count, pending[i].IsPoint, x);
  }
  if (FText->size() >= kFlushSize) FFull();
}

void TFindingsPart::Emit(std::string_view row, const TFloatPoint* points, int32_t count, bool isPoint,
                         const TCrossing& crossing) {
  TCheckFindings& c = C;
  const TNetwork* net = F.FNet;
  const TReportRoads* roads = F.FRoads;
  const TFindingTable& t = *c.Table;
  FSplitter.Split(row);
  const size_t nf = std::min(c.Fields.size(), FSplitter.Count());

  std::string& out = *FText;
  out += *FFirst ? "\n" : ",\n";
  *FFirst = false;
  out += "{\"type\":\"Feature\",\"geometry\":";
  if (count <= 0) {
    out += "null";
  } else if (isPoint) {
    out += "{\"type\":\"Point\",\"coordinates\":";
    AppendPoint(out, points[0]);
    out += '}';
  } else {
    out += "{\"type\":\"LineString\",\"coordinates\":[";
    for (int32_t i = 0; i < count; ++i) {
      if (i) out += ',';
      AppendPoint(out, points[i]);
    }
    out += "]}";
  }
  out += ",\"properties\":{\"check\":";
  AppendJsonString(out, t.Name);
  int64_t link = 0;
  int64_t nodes[2] = {0, 0};
  std::string value;
  for (size_t i = 0; i < nf; ++i) {
    const TFieldInfo& f = c.Fields[i];
    const std::string_view v = FSplitter[i];
    // The file and the page get the same value, rounded to what it means.
    value.clear();
    switch (c.Forms[i]) {
      case TFieldForm::ffMetres: AppendRounded(value, v, 1000, 100); break;  // km to m, to the cm
      case TFieldForm::ffPosition: AppendRounded(value, v, 1, 10000); break;
      default: AppendValue(value, f, v); break;
    }
    std::string& col = c.Columns[i];
    if (c.Rows > 0) col += ',';
    col += value;
    if (c.Forms[i] == TFieldForm::ffLink) {
      ParseNumber(v, link);
    } else {
      out += ',';
      AppendJsonString(out, FindingPropertyName(f.Name, c.Forms[i]));
      out += ':';
      out += value;
    }
    for (int k = 0; k < 2; ++k)
      if (t.NodeFields[k] && f.Name == t.NodeFields[k]) ParseNumber(v, nodes[k]);
  }
  // A short row leaves the page's columns aligned.
  for (size_t i = nf; i < c.Columns.size(); ++i) c.Columns[i] += c.Rows > 0 ? ",null" : "null";

  const bool linkKnown = link >= 1 && link <= net->LinkCount();
  int64_t wayOfRow = -1;
  std::string_view roadClass;
  TRoadClass rowClass = rcCount;
  int32_t pageLink = 0;
  if (t.LinkField) {
    out += ",\"link\":";
    if (linkKnown) {
      AppendJsonInt(out, link);
      const int32_t l = static_cast<int32_t>(link);
      wayOfRow = FLinks.Way(l);
      roadClass = FLinks.RoadClass(l);
      const std::string& name = FLinks.Name(l);
      out += ",\"name\":";
      AppendJsonString(out, name);
      if (roads) rowClass = roads->Classes().Of(net->Attribute(l));
      // The page draws the finding on its link (ChoosePageRows).
      if (net->LengthRaw(l) != 0) pageLink = l;
    } else {
      out += "null,\"name\":null";
    }
  }
  if (t.NodeFields[0]) {
    // The ways of every link that ends at either node; the road class of
    // the most important of them.
    FNodeWays.clear();
    TRoadClass best = rcCount;
    for (const int64_t node : nodes) {
      if (node < 1 || node > net->NodeCount()) continue;
      const int32_t n = static_cast<int32_t>(node);
      for (int32_t k = 1; k <= net->DegreeRaw(n); ++k) {
        const int32_t l = std::abs(net->NodeLinkRaw(n, k));
        if (roads) best = std::min(best, roads->Classes().Of(net->Attribute(l)));
        const int64_t way = FLinks.Way(l);
        if (way < 0) continue;
        bool seen = false;
        for (const int64_t w : FNodeWays) seen = seen || w == way;
        if (!seen) FNodeWays.push_back(way);
      }
    }
    if (best < rcCount) roadClass = RoadClassKey(best);
    rowClass = best;
    if (!FNodeWays.empty()) wayOfRow = FNodeWays[0];
    out += ",\"osm_ways\":[";
    const size_t at = out.size();
    for (size_t i = 0; i < FNodeWays.size(); ++i) {
      if (i) out += ',';
      AppendJsonInt(out, FNodeWays[i]);
    }
    if (c.Rows > 0) c.Ways += ',';
    c.Ways += '[';
    c.Ways.append(out, at, std::string::npos);
    c.Ways += ']';
    out += ']';
  }
  // The way as a number for editors and scripts, and as the road table's
  // osm_id (text of the same name), so that a GIS joins the two as they are.
  out += ",\"osm_way\":";
  AppendWay(out, wayOfRow);
  out += ",\"osm_id\":";
  if (wayOfRow >= 0)
    AppendJsonString(out, std::to_string(wayOfRow));
  else
    out += "null";
  out += ",\"road_class\":";
  if (roadClass.empty())
    out += "null";
  else
    AppendJsonString(out, roadClass);

  bool levelsDiffer = false;
  if (crossing.Known) {
    std::string page;
    out += ",\"split_and_snap_place\":";
    out += crossing.SplitAndSnap ? "true" : "false";
    out += ",\"crossing_osm_way\":";
    const bool known = crossing.Link >= 1 && crossing.Link <= net->LinkCount();
    if (known) {
      const int32_t l = static_cast<int32_t>(crossing.Link);
      const int64_t way = FLinks.Way(l);
      const TWayLevel a = roads && wayOfRow >= 0 ? roads->LevelOf(wayOfRow) : 0;
      const TWayLevel b = roads && way >= 0 ? roads->LevelOf(way) : 0;
      levelsDiffer = a != b;
      AppendWay(out, way);
      out += ",\"levels_differ\":";
      out += levelsDiffer ? "true" : "false";
      out += ",\"level\":";
      AppendJsonString(out, LevelText(a));
      out += ",\"crossing_level\":";
      AppendJsonString(out, LevelText(b));
      page += '[';
      AppendWay(page, way);
      page += ',';
      AppendJsonString(page, FLinks.Name(l));
      page += ',';
      AppendJsonString(page, FLinks.RoadClass(l));
      page += levelsDiffer ? ",true," : ",false,";
      AppendJsonString(page, LevelText(a));
      page += ',';
      AppendJsonString(page, LevelText(b));
      page += ']';
    } else {
      out += "null,\"levels_differ\":null,\"level\":null,\"crossing_level\":null";
      page = crossing.SplitAndSnap ? "null" : "[null,\"\",\"\",null,\"\",\"\"]";
    }
    if (c.Rows > 0) c.Crossings += ',';
    c.Crossings += page;
    c.SplitAndSnapRows += crossing.SplitAndSnap;
    c.LevelsDifferRows += levelsDiffer;
  }
  out += ",\"message\":";
  AppendJsonString(out, FindingMessage(t.Name, crossing.SplitAndSnap, levelsDiffer));
  if (F.FEarlier) {
    FRowWays.clear();
    if (t.NodeFields[0])
      FRowWays = FNodeWays;
    else if (wayOfRow >= 0)
      FRowWays.push_back(wayOfRow);
    const bool same = F.FEarlier->Match(t.Name, FRowWays, points, count);
    out += same ? ",\"change\":\"unchanged\"" : ",\"change\":\"new\"";
    if (c.Rows > 0) c.Changes += ',';
    c.Changes += same ? '2' : '1';
    ++(same ? c.Unchanged : c.New);
  }
  out += "}}";

  if (t.OwnGeometry) {
    if (c.Rows > 0) c.Points += ',';
    AppendJsonInt(c.Points, count);
    for (int32_t i = 0; i < count; ++i) {
      c.Points += ',';
      AppendJsonInt(c.Points, E7(points[i].x));
      c.Points += ',';
      AppendJsonInt(c.Points, E7(points[i].y));
    }
  }
  c.RowClass.push_back(static_cast<uint8_t>(rowClass));
  c.RowLink.push_back(pageLink);
  ++c.Rows;
  if (out.size() >= kFlushSize) FFull();
}

void TFindings::ChoosePageRows() {
  TLinkLookup links(FNet, FRoads);
  for (TCheckFindings& c : FChecks) {
    if (c.Chosen || c.Rows == 0) continue;
    c.Chosen = true;
    c.PageRows = c.Rows;
    if (c.Rows > FPageBound) {
      // Every row of the classes that fit whole, then the first rows of
      // the class where the bound ends.
      std::vector<int64_t> perClass(rcCount + 1, 0);
      for (const uint8_t k : c.RowClass) ++perClass[std::min<size_t>(k, rcCount)];
      size_t last = 0;
      int64_t before = 0;
      while (last < perClass.size() && before + perClass[last] <= FPageBound) before += perClass[last++];
      int64_t room = FPageBound - before;
      c.Keep.assign(static_cast<size_t>(c.Rows), false);
      for (size_t i = 0; i < c.RowClass.size(); ++i) {
        const size_t k = std::min<size_t>(c.RowClass[i], rcCount);
        c.Keep[i] = k < last || (k == last && room-- > 0);
      }
      c.PageRows = FPageBound;
    }
    // The links the overview left out come in with their findings.
    for (size_t i = 0; i < c.RowLink.size(); ++i) {
      const int32_t l = c.RowLink[i];
      if (l == 0 || !FRoads || (!c.Keep.empty() && !c.Keep[i])) continue;
      const uint32_t attr = FNet->Attribute(l);
      if (FRoads->Holds(l, attr)) continue;
      FNet->ReadGISSection(l, FSection);
      FRoads->AddFindingRoad(l, links.Way(l), links.Name(l), attr, FSection.Pnt.data(), FSection.Count);
    }
    std::vector<uint8_t>().swap(c.RowClass);
    std::vector<int32_t>().swap(c.RowLink);
  }
}

void TFindings::Flush() {
  // A GeoJSON file that cannot be completed is of no use to anyone: the
  // file removes itself on a failed write, and later text goes nowhere.
  if (FFile && FFile->IsOpen()) FFile->Write(FBuffer);
  FBuffer.clear();
}

void TFindings::Close(bool stopped) {
  if (!FFile || !FFile->IsOpen()) return;
  if (FEarlier) {
    // The earlier findings that are gone, with their earlier geometry.
    // Only a check that ran to its end can tell what is gone.
    FEarlier->ForEachFixed([this](const TEarlierFindings::TFixed& f) {
      TCheckFindings* c = Check(std::string(f.Check));
      if (!c || c->State != TCheckState::csRan) return;
      FBuffer += FFirstFeature ? "\n" : ",\n";
      FFirstFeature = false;
      FBuffer += f.Feature;
      if (FBuffer.size() >= kFlushSize) Flush();
      // The page holds as many as it holds findings of a check.
      if (c->FixedCount++ >= FPageBound) return;
      if (c->FixedCount > 1) c->Fixed += ',';
      c->Fixed += "[[";
      for (size_t i = 0; i < f.Ways.size(); ++i) {
        if (i) c->Fixed += ',';
        AppendJsonInt(c->Fixed, f.Ways[i]);
      }
      c->Fixed += "],";
      AppendJsonString(c->Fixed, f.Name);
      for (const TFloatPoint& p : f.Points) {
        c->Fixed += ',';
        AppendJsonInt(c->Fixed, E7(p.x));
        c->Fixed += ',';
        AppendJsonInt(c->Fixed, E7(p.y));
      }
      c->Fixed += ']';
    });
  }
  FBuffer += "\n]}\n";
  Flush();
  FFile->Close();
  if (!FGpkgFile.empty() && !stopped) AddGpkgLayerFromGeoJson(FGpkgFile, "findings", FPath);
}

void TFindings::AppendJson(std::string& out, bool runStopped) const {
  out += '[';
  bool firstCheck = true;
  for (const TCheckFindings& c : FChecks) {
    if (!firstCheck) out += ',';
    firstCheck = false;
    const TFindingTable& t = *c.Table;
    out += "{\"table\":";
    AppendJsonString(out, t.Name);
    out += ",\"state\":";
    switch (c.State) {
      case TCheckState::csNotRun: out += "\"not run\""; break;
      case TCheckState::csRunning: out += runStopped ? "\"stopped\"" : "\"failed\""; break;
      case TCheckState::csRan: out += "\"ran\""; break;
      case TCheckState::csStopped: out += "\"stopped\""; break;
    }
    // The rows the page holds, and all the check wrote.
    out += ",\"rows\":";
    AppendJsonInt(out, c.Keep.empty() ? c.Rows : c.PageRows);
    out += ",\"total\":";
    AppendJsonInt(out, c.Rows);
    out += ",\"fields\":[";
    int linkField = -1;
    for (size_t i = 0; i < c.Fields.size(); ++i) {
      if (i) out += ',';
      // The unit beside the rounded value.
      switch (c.Forms[i]) {
        case TFieldForm::ffMetres: AppendJsonString(out, "distance (m)"); break;
        case TFieldForm::ffPosition: AppendJsonString(out, "position (0\u20131)"); break;
        default: AppendJsonString(out, c.Fields[i].Name); break;
      }
      if (c.Forms[i] == TFieldForm::ffLink) linkField = static_cast<int>(i);
    }
    out += "],\"types\":[";
    for (size_t i = 0; i < c.Fields.size(); ++i) {
      if (i) out += ',';
      AppendJsonString(out, TypeKey(c.Fields[i].FieldType));
    }
    out += "],\"linkField\":";
    AppendJsonInt(out, linkField);
    out += ",\"own\":";
    out += t.OwnGeometry ? "true" : "false";
    out += ",\"cols\":[";
    for (size_t i = 0; i < c.Columns.size(); ++i) {
      if (i) out += ',';
      out += '[';
      AppendKept(out, c.Columns[i], c.Keep);
      out += ']';
    }
    out += "],\"xy\":[";
    AppendKeptPoints(out, c.Points, c.Keep);
    out += "],\"ways\":[";
    AppendKept(out, c.Ways, c.Keep);
    out += "],\"crossings\":[";
    AppendKept(out, c.Crossings, c.Keep);
    out += "],\"splitAndSnapRows\":";
    AppendJsonInt(out, c.SplitAndSnapRows);
    out += ",\"levelsDifferRows\":";
    AppendJsonInt(out, c.LevelsDifferRows);
    if (FEarlier) {
      out += ",\"changes\":[";
      AppendKept(out, c.Changes, c.Keep);
      out += "],\"fixed\":[";
      out += c.Fixed;
      out += "],\"fixedTotal\":";
      AppendJsonInt(out, c.FixedCount);
      out += ",\"newTotal\":";
      AppendJsonInt(out, c.New);
      out += ",\"unchangedTotal\":";
      AppendJsonInt(out, c.Unchanged);
    }
    out += '}';
  }
  out += ']';
}
