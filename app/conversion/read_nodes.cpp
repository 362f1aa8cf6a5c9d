// Pass 2: coordinates and junction refs of the nodes pass 1 marked, and the
// position where each file's ways begin.
#include <algorithm>

#include <osmium/osm/node.hpp>

#include "linvoro_functions.h"
#include "xml_lines.h"
#include "run_context.h"

namespace {

// lat and lon of a node line's attribute text after the id. Items: one that
// starts with a double quote runs to the closing quote, any other up to the
// next space or control character. The value of "key=..." runs from after
// the opening quote to the next double quote.
TFloatPoint NodePoint(std::string_view s) {
  TFloatPoint p;
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    while (i < n && static_cast<unsigned char>(s[i]) <= ' ') ++i;
    if (i >= n) break;
    const size_t b = i;
    if (s[i] == '"') {
      const size_t q = s.find('"', i + 1);
      i = q == std::string_view::npos ? n : q + 1;
      continue;  // a quoted item has no key of interest
    }
    while (i < n && static_cast<unsigned char>(s[i]) > ' ') ++i;
    const std::string_view item = s.substr(b, i - b);
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = item.substr(0, eq);
    const bool lat = key == "lat";
    if (!lat && key != "lon") continue;
    std::string_view value = eq + 2 <= item.size() ? item.substr(eq + 2) : std::string_view();
    const size_t q = value.find('"');
    if (q != std::string_view::npos) value = value.substr(0, q);
    if (lat)
      p.y = NumericPrefix(value);
    else
      p.x = NumericPrefix(value);
    if (p.x != 0 && p.y != 0) break;
  }
  return p;
}

}  // namespace

int64_t ReadNodesOfFile(TRunContext& run, bool firstFile, TOsmLineReader& reader, TFileInfo& info) {
  const TIdSet& needed = *run.Nodes;
  TNodeListEx& store = *run.CoordFile;
  TJunctionList& junctions = *run.JunctionList;
  TPassProgress progress(run.UI, reader);
  int64_t count = 0;

  std::string_view t;       // the trimmed line being handled
  bool pending = false;     // t was read ahead by the tag scan of a node
  int64_t pendingPos = 0;   // where that line starts
  for (;;) {
    int64_t pos;
    if (pending) {
      pos = pendingPos;
      pending = false;
    } else {
      pos = reader.Position();
      std::string_view line;
      if (!reader.ReadLine(line)) break;
      t = Trim(line);
    }
    progress.Step();
    const TElement e = SplitElement(t);
    if (e.name == "node") {
      const std::string_view idText = FirstQuoted(e.attrs);
      const int64_t id = ParseId(idText);
      if (!needed.GetBit(id) || (!firstFile && store.HasNode(id))) continue;
      // Attributes after the id's closing quote and the character after it.
      const size_t after = static_cast<size_t>(idText.data() + idText.size() - e.attrs.data()) + 2;
      const TFloatPoint p = NodePoint(after < e.attrs.size() ? e.attrs.substr(after) : std::string_view());
      // The node's tag lines; the first other line stays pending.
      for (;;) {
        pendingPos = reader.Position();
        std::string_view line;
        if (!reader.ReadLine(line)) {
          pending = false;
          break;
        }
        t = Trim(line);
        pending = true;
        if (t.find("<tag k=\"ref\"") != std::string_view::npos) {
          const size_t vpos = t.find("v=");
          if (vpos != std::string_view::npos) {
            std::string_view v = t.substr(std::min(vpos + 2 + 1, t.size()), 999);
            const size_t q = v.find('"');
            if (q != std::string_view::npos) v = v.substr(0, q);
            // One value per node: a node listed twice keeps its first ref.
            junctions.emplace(id, std::string(v));
          }
        }
        if (t.find("<tag") == std::string_view::npos) break;
      }
      store.AddNode(id, p);
      ++count;
    } else if (e.name == "way") {
      info.ThirdPassStart = pos;
      break;
    }
  }
  run.UI.Progress(0);
  run.UI.ProcessMessages();
  return count;
}

int64_t ReadNodesOfFile(TRunContext& run, bool firstFile, TPbfReader& reader) {
  const TIdSet& needed = *run.Nodes;
  TNodeListEx& store = *run.CoordFile;
  TJunctionList& junctions = *run.JunctionList;
  TPassProgress progress(run.UI, reader);
  reader.OnBlock = [&progress] { progress.Check(); };
  int64_t count = 0;
  std::string buf;
  while (const osmium::OSMObject* o = reader.Next()) {
    progress.Step();
    if (o->type() != osmium::item_type::node) {
      // The ways begin; the pass stops as it does at an XML file's first way.
      reader.Unread();
      break;
    }
    const auto& node = static_cast<const osmium::Node&>(*o);
    const int64_t id = node.id();
    if (!needed.GetBit(id) || (!firstFile && store.HasNode(id))) continue;
    // The nearest doubles to the decimal degrees, as the XML text gives them;
    // a node without coordinates is at (0, 0) as an XML node without lat and
    // lon is.
    const osmium::Location loc = node.location();
    const TFloatPoint p = loc.is_undefined() ? TFloatPoint{0, 0}
                                             : TFloatPoint{loc.lon_without_check(), loc.lat_without_check()};
    if (const char* ref = node.tags()["ref"]) {
      // As the XML file's text: escaped, at most 999 characters.
      const std::string_view v = XmlText(ref, buf);
      junctions.emplace(id, std::string(v.substr(0, 999)));
    }
    store.AddNode(id, p);
    ++count;
  }
  reader.OnBlock = nullptr;  // the progress ends here, the reader may go on
  run.UI.Progress(0);
  run.UI.ProcessMessages();
  return count;
}

void ReadNodeCoordinates(TRunContext& run) {
  int64_t total = 0;
  const size_t last = run.FileInfo.size() - 1;
  for (size_t i = 0; i < run.FileInfo.size(); ++i) {
    BeginPassFile(run, 2, i);
    TFileInfo& info = run.FileInfo[i];
    if (info.Format == TOsmFormat::ofPbf) {
      auto reader = std::make_unique<TPbfReader>(info.Filename, true, true);
      total += ReadNodesOfFile(run, i == 0, *reader);
      if (i == last) run.LastFilePbf = std::move(reader);
    } else {
      auto reader = std::make_unique<TOsmLineReader>(info.Filename, info.Format);
      total += ReadNodesOfFile(run, i == 0, *reader, info);
      if (i == last && reader->Compressed()) run.LastFileLines = std::move(reader);
    }
  }
  run.UI.Log(std::to_string(total) + " nodes found (coordinates read)");
}
