#include "findings.h"

#include <cerrno>
#include <charconv>
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
  if (FFile) return;
  FFile = std::make_unique<TWholeFile>(FPath);
  FFirstFeature = true;
  FBuffer = "{\"type\":\"FeatureCollection\",\"name\":\"findings\",\"features\":[";
}

void TFindings::Detach() {
  if (FNet) FNet->SetOnTableRow(nullptr);
  FNet = nullptr;
  // Name ids belong to the network's road-name files.
  FWays.clear();
  FNames.clear();
}

TCheckFindings* TFindings::Check(const std::string& table) {
  for (TCheckFindings& c : FChecks)
    if (table == c.Table->Name) return &c;
  return nullptr;
}

void TFindings::Begin(const std::string& table) {
  if (TCheckFindings* c = Check(table)) c->State = TCheckState::csRunning;
}

void TFindings::End(const std::string& table, bool stopped) {
  if (TCheckFindings* c = Check(table)) c->State = stopped ? TCheckState::csStopped : TCheckState::csRan;
}

int64_t TFindings::WayOfLink(int32_t link) {
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

const std::string& TFindings::NameOfLink(int32_t link) {
  static const std::string none;
  TRoadNameFile* f = FNet ? FNet->RoadNameFile(2) : nullptr;
  if (!f) return none;
  const int32_t id = f->RoadNameID1(link);
  auto it = FNames.find(id);
  if (it == FNames.end()) it = FNames.emplace(id, f->RoadName2(id)).first;
  return it->second;
}

void TFindings::Row(const TGISWriter& writer, std::string_view row, const TFloatPoint* points,
                    int32_t count) {
  const std::string& file = writer.FileName();
  const size_t slash = file.rfind('/');
  TCheckFindings* c = Check(slash == std::string::npos ? file : file.substr(slash + 1));
  if (!c || !FNet) return;
  const TFindingTable& t = *c->Table;
  if (c->Fields.empty()) {
    for (int32_t i = 1; i <= writer.NumFields(); ++i) c->Fields.push_back(writer.FieldInfo(i));
    c->Columns.resize(c->Fields.size());
  }
  FSplitter.Split(row);
  const size_t nf = std::min(c->Fields.size(), FSplitter.Count());

  std::string& out = FBuffer;
  out += FFirstFeature ? "\n" : ",\n";
  FFirstFeature = false;
  out += "{\"type\":\"Feature\",\"geometry\":";
  if (count <= 0) {
    out += "null";
  } else if (writer.ObjectTypes() == otPoint) {
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
  for (size_t i = 0; i < nf; ++i) {
    const TFieldInfo& f = c->Fields[i];
    const std::string_view v = FSplitter[i];
    out += ',';
    AppendJsonString(out, f.Name);
    out += ':';
    const size_t at = out.size();
    AppendValue(out, f, v);
    // The page gets the same value text.
    std::string& col = c->Columns[i];
    if (c->Rows > 0) col += ',';
    col.append(out, at, std::string::npos);
    if (t.LinkField && f.Name == t.LinkField) ParseNumber(v, link);
    for (int k = 0; k < 2; ++k)
      if (t.NodeFields[k] && f.Name == t.NodeFields[k]) ParseNumber(v, nodes[k]);
  }
  // A short row leaves the page's columns aligned.
  for (size_t i = nf; i < c->Columns.size(); ++i) c->Columns[i] += c->Rows > 0 ? ",null" : "null";

  const bool linkKnown = link >= 1 && link <= FNet->LinkCount();
  if (t.LinkField) {
    out += ",\"link\":";
    if (linkKnown) {
      AppendJsonInt(out, link);
      const int32_t l = static_cast<int32_t>(link);
      const int64_t way = WayOfLink(l);
      out += ",\"osm_way\":";
      if (way >= 0)
        AppendJsonInt(out, way);
      else
        out += "null";
      out += ",\"name\":";
      const std::string& name = NameOfLink(l);
      AppendJsonString(out, name);
      // The page draws the finding on its link: a link the overview left
      // out comes in with it.
      const uint32_t attr = FNet->Attribute(l);
      if (FRoads && !FRoads->Holds(link, attr) && FNet->LengthRaw(l) != 0) {
        if (!t.OwnGeometry && count > 1) {
          FRoads->AddFindingRoad(link, way, name, attr, points, count);
        } else {
          FNet->ReadGISSection(l, FSection);
          FRoads->AddFindingRoad(link, way, name, attr, FSection.Pnt.data(), FSection.Count);
        }
      }
    } else {
      out += "null,\"osm_way\":null,\"name\":null";
    }
  }
  if (t.NodeFields[0]) {
    // The ways of every link that ends at either node.
    FNodeWays.clear();
    for (const int64_t node : nodes) {
      if (node < 1 || node > FNet->NodeCount()) continue;
      const int32_t n = static_cast<int32_t>(node);
      for (int32_t k = 1; k <= FNet->DegreeRaw(n); ++k) {
        const int64_t way = WayOfLink(std::abs(FNet->NodeLinkRaw(n, k)));
        if (way < 0) continue;
        bool seen = false;
        for (const int64_t w : FNodeWays) seen = seen || w == way;
        if (!seen) FNodeWays.push_back(way);
      }
    }
    out += ",\"osm_ways\":[";
    const size_t at = out.size();
    for (size_t i = 0; i < FNodeWays.size(); ++i) {
      if (i) out += ',';
      AppendJsonInt(out, FNodeWays[i]);
    }
    if (c->Rows > 0) c->Ways += ',';
    c->Ways += '[';
    c->Ways.append(out, at, std::string::npos);
    c->Ways += ']';
    out += ']';
  }
  out += "}}";

  if (t.OwnGeometry) {
    if (c->Rows > 0) c->Points += ',';
    AppendJsonInt(c->Points, count);
    for (int32_t i = 0; i < count; ++i) {
      c->Points += ',';
      AppendJsonInt(c->Points, E7(points[i].x));
      c->Points += ',';
      AppendJsonInt(c->Points, E7(points[i].y));
    }
  }
  ++c->Rows;
  if (FBuffer.size() >= kFlushSize) Flush();
}

void TFindings::Flush() {
  // A GeoJSON file that cannot be completed is of no use to anyone: the
  // file removes itself on a failed write, and later text goes nowhere.
  if (FFile && FFile->IsOpen()) FFile->Write(FBuffer);
  FBuffer.clear();
}

void TFindings::Close() {
  if (!FFile || !FFile->IsOpen()) return;
  FBuffer += "\n]}\n";
  Flush();
  FFile->Close();
  if (!FGpkgFile.empty()) AddGpkgLayerFromGeoJson(FGpkgFile, "findings", FPath);
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
    out += ",\"rows\":";
    AppendJsonInt(out, c.Rows);
    out += ",\"fields\":[";
    int linkField = -1;
    for (size_t i = 0; i < c.Fields.size(); ++i) {
      if (i) out += ',';
      AppendJsonString(out, c.Fields[i].Name);
      if (t.LinkField && c.Fields[i].Name == t.LinkField) linkField = static_cast<int>(i);
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
      out += c.Columns[i];
      out += ']';
    }
    out += "],\"xy\":[";
    out += c.Points;
    out += "],\"ways\":[";
    out += c.Ways;
    out += "]}";
  }
  out += ']';
}
