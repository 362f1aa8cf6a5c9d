#include "xml_line_reader.h"

#include <algorithm>

#include "linvoro_functions.h"
#include "run_ui.h"

namespace {

// JOSM marks an object it deleted but has not uploaded with
// action="delete"; files with history mark deleted objects visible="false".
// Neither is part of the data. (Node lines are read item by item anyway:
// NodePoint sees their marks.)
bool Deleted(std::string_view attrs) {
  return attrs.find(" action=\"delete\"") != std::string_view::npos ||
         attrs.find(" visible=\"false\"") != std::string_view::npos;
}

// An attribute key at the start or after a blank, with blanks before its
// "=".
bool HasKey(std::string_view s, std::string_view key) {
  for (size_t at = s.find(key); at != std::string_view::npos; at = s.find(key, at + 1)) {
    if (at > 0 && static_cast<unsigned char>(s[at - 1]) > ' ') continue;
    size_t i = at + key.size();
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
    if (i < s.size() && s[i] == '=') return true;
  }
  return false;
}

bool SelfClosing(std::string_view t) { return t.size() >= 2 && t[t.size() - 2] == '/'; }

// The line form the line reader relies on, checked on the lines it
// interprets at the cost of a comparison or two: a line that breaks it
// sends the file to the XML parser (EXmlLineForm).
inline void Expect(bool ok) {
  if (!ok) [[unlikely]]
    throw EXmlLineForm();
}


// lat and lon of a node line's attribute text after the id. Items: one that
// starts with a double quote runs to the closing quote, any other up to the
// next space or control character. The value of "key=..." runs from after
// the opening quote to the next double quote. As soon as both coordinates
// are non-zero the remaining items are skipped. The marks of a deleted node
// are seen among the items read: the writers that set them put them before
// the coordinates.
struct TNodeItems {
  TFloatPoint p;
  bool hasLat = false, hasLon = false, deleted = false;
};

TNodeItems NodePoint(std::string_view s) {
  TNodeItems r;
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
    if (key.size() == 3) {
      std::string_view value = eq + 2 <= item.size() ? item.substr(eq + 2) : std::string_view();
      const size_t q = value.find('"');
      if (q != std::string_view::npos) value = value.substr(0, q);
      if (key == "lat") {
        r.p.y = NumericPrefix(value);
        r.hasLat = true;
      } else if (key == "lon") {
        r.p.x = NumericPrefix(value);
        r.hasLon = true;
      }
      if (r.p.x != 0 && r.p.y != 0) break;
    } else if ((key.size() == 6 && key == "action" && item.substr(eq).starts_with("=\"delete\"")) ||
               (key.size() == 7 && key == "visible" && item.substr(eq).starts_with("=\"false\""))) {
      r.deleted = true;
    }
  }
  return r;
}

}  // namespace

TXmlLineReader::TXmlLineReader(TFileInfo& info, IRunUI& ui, size_t bufferSize)
    : TOsmReader(info.Filename, ui), FInfo(info), FLines(info.Filename, info.Format, bufferSize) {}

bool TXmlLineReader::ReadAllWays(IOsmWays& ways) {
  if (!CheckHeader(FLines)) return false;
  FUI.Progress(0);
  TPassProgress progress(FUI, FLines);
  bool inWay = false;     // a wanted way is being put together
  bool wayOpen = false;   // between <way ...> and </way>
  bool nodeOpen = false;  // between <node ...> and </node>
  bool sawWay = false, ended = false;
  std::string_view line;
  while (FLines.ReadLine(line)) {
    progress.Step();
    const std::string_view t = Trim(line);
    if (t.empty()) continue;
    Expect(t.front() == '<' && t.back() == '>' && !ended);
    const TElement e = SplitElement(t);
    const std::string_view name = e.name;
    if (name.size() == 3 && name == "tag") {
      Expect(e.attrs.starts_with("k=\""));
      if (!inWay) continue;
      std::string_view k, v;
      SplitTag(e.attrs, k, v);
      // v in double quotes right after k's closing quote.
      Expect(v.data() == k.data() + k.size() + 5 && v.data()[-4] == ' ' && v.data()[-3] == 'v');
      FWay.Tag(k, v);
    } else if (name.size() == 2 && name == "nd") {
      Expect(e.attrs.starts_with("ref=\""));
      if (inWay) FWay.Ref(ParseId(FirstQuoted(e.attrs)));
    } else if (name.size() == 4 && name == "node") {
      Expect(e.attrs.starts_with("id=\"") && !nodeOpen && !wayOpen);
      if (sawWay) RaiseUnsorted(FFileName);
      nodeOpen = !SelfClosing(t);
    } else if (name.size() == 3 && name == "way") {
      Expect(e.attrs.starts_with("id=\"") && !wayOpen && !nodeOpen);
      sawWay = true;
      const int64_t id = ParseId(FirstQuoted(e.attrs));
      wayOpen = !SelfClosing(t);
      // A self-closed way has no closing line: it never ends.
      inWay = wayOpen && ways.WantWay(id) && !Deleted(e.attrs);
      if (inWay) FWay.Begin(id);
    } else if (name.size() == 4 && name == "/way") {
      Expect(wayOpen);
      wayOpen = false;
      if (inWay) {
        ways.Way(FWay.Finish());
        inWay = false;
      }
    } else if (name.size() == 5 && name == "/node") {
      Expect(nodeOpen);
      nodeOpen = false;
    } else if (name.size() == 4 && name == "/osm") {
      Expect(!wayOpen && !nodeOpen);
      ended = true;
    } else if (!name.empty() && name[0] == '!') {
      // A comment on one line is nothing; one that spans lines, a CDATA
      // section or a declaration would hide or change lines.
      Expect(t.starts_with("<!--") && t.ends_with("-->") && t.size() >= 7);
    } else {
      // A blank other than a space after the name would hide the element.
      Expect(name.find_first_of("\t\v\f") == std::string_view::npos);
    }
  }
  if (!ended) RaiseCutShort(FFileName, wayOpen ? "inside a way" : nodeOpen ? "inside a node" : "before its closing </osm>");
  return true;
}

void TXmlLineReader::ReadNodes(IOsmNodes& nodes) {
  TPassProgress progress(FUI, FLines);
  std::string_view t;      // the trimmed line being handled
  bool pending = false;    // t was read ahead by the tag scan of a node
  int64_t pendingPos = 0;  // where that line starts
  for (;;) {
    int64_t pos;
    if (pending) {
      pos = pendingPos;
      pending = false;
    } else {
      pos = FLines.Position();
      std::string_view line;
      if (!FLines.ReadLine(line)) break;
      t = Trim(line);
    }
    progress.Step();
    const TElement e = SplitElement(t);
    if (e.name == "node") {
      const std::string_view idText = FirstQuoted(e.attrs);
      const int64_t id = ParseId(idText);
      if (!nodes.WantNode(id)) continue;
      // Attributes after the id's closing quote and the character after it.
      const size_t after = static_cast<size_t>(idText.data() + idText.size() - e.attrs.data()) + 2;
      const std::string_view rest = after < e.attrs.size() ? e.attrs.substr(after) : std::string_view();
      const TNodeItems items = NodePoint(rest);
      // A coordinate written otherwise than lat="..." is not one the line
      // reader can take.
      if (!items.hasLat) Expect(!HasKey(rest, "lat"));
      if (!items.hasLon) Expect(!HasKey(rest, "lon"));
      // The node's tag lines; the first other line stays pending.
      std::string_view ref;
      bool hasRef = false;
      for (;;) {
        pendingPos = FLines.Position();
        std::string_view line;
        if (!FLines.ReadLine(line)) {
          pending = false;
          break;
        }
        t = Trim(line);
        pending = true;
        if (!hasRef && t.find("<tag k=\"ref\"") != std::string_view::npos) {
          Expect(t.compare(12, 4, " v=\"") == 0);
          const size_t vpos = t.find("v=");
          if (vpos != std::string_view::npos) {
            std::string_view v = t.substr(std::min(vpos + 2 + 1, t.size()), 999);
            const size_t q = v.find('"');
            if (q != std::string_view::npos) v = v.substr(0, q);
            // The first ref tag counts. The text is kept: the node is
            // handed over only after the line behind it has been read.
            FRefText.assign(v);
            ref = FRefText;
            hasRef = true;
          }
        }
        if (t.find("<tag") == std::string_view::npos) break;
      }
      if (!items.deleted) nodes.Node(id, items.p, hasRef ? &ref : nullptr);
    } else if (e.name == "way") {
      FInfo.ThirdPassStart = pos;
      break;
    }
  }
}

void TXmlLineReader::ReadWays(IOsmWays& ways) {
  TPassProgress progress(FUI, FLines);
  std::string_view line;
  if (!SeekToWays(FLines, FInfo.ThirdPassStart, line, [&progress] { progress.Check(); })) return;
  bool inWay = false;  // the current way is wanted and not yet handed over
  do {
    const std::string_view t = Trim(line);
    const TElement e = SplitElement(t);
    switch (e.name.size()) {
      case 3:
        if (e.name == "way") {
          const int64_t id = ParseId(FirstQuoted(e.attrs));
          inWay = !SelfClosing(t) && ways.WantWay(id);
          if (inWay) FWay.Begin(id);
        } else if (inWay && e.name == "tag") {
          std::string_view k, v;
          SplitTag(e.attrs, k, v);
          FWay.Tag(k, v);
        }
        break;
      case 2:
        if (inWay && e.name == "nd") FWay.Ref(ParseId(FirstQuoted(e.attrs)));
        break;
      case 4:
        if (inWay && e.name == "/way") {
          ways.Way(FWay.Finish());
          inWay = false;
        }
        break;
      default:
        break;
    }
    progress.Step();
  } while (FLines.ReadLine(line));
}
