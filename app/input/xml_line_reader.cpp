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

// The id in double quotes right after prefix, which ends in the opening
// quote: read digit by digit while it is found, the common case of every
// node, way and nd line, without looking for its quotes first. Anything
// else (a sign, 19 digits or more, no such prefix) goes the general way,
// to the same result.
struct TQuotedId {
  int64_t id;
  std::string_view text;
};

inline TQuotedId QuotedId(std::string_view attrs, std::string_view prefix) {
  if (attrs.starts_with(prefix)) {
    const size_t at = prefix.size();
    const size_t end = std::min(attrs.size(), at + 18);
    uint64_t v = 0;
    size_t i = at;
    for (; i < end; ++i) {
      const unsigned d = static_cast<unsigned char>(attrs[i]) - '0';
      if (d > 9) break;
      v = v * 10 + d;
    }
    if (i > at && i < attrs.size() && attrs[i] == '"') return {static_cast<int64_t>(v), attrs.substr(at, i - at)};
  }
  const std::string_view text = FirstQuoted(attrs);
  return {ParseId(text), text};
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

TXmlLineReader::TXmlLineReader(const std::string& path, TOsmFormat format, size_t bufferSize)
    : TOsmReader(path), FLines(path, format, bufferSize) {}

void TXmlLineReader::StartAt(const TOsmPlace& place, TPassProgress& progress) {
  // SectionPlace gives a line's exact start.
  if (place.Offset > 0) FLines.Seek(place.Offset, [&progress] { progress.Check(); });
  FHasPending = false;
  FKindKnown = false;
}

// The next trimmed line, the pending one first.
inline bool TXmlLineReader::Next(std::string_view& t, TPassProgress& progress) {
  if (FHasPending) {
    FHasPending = false;
    t = FPending;
    FLineStart = FPendingStart;
    return true;
  }
  FLineStart = FLines.Position();
  std::string_view line;
  if (!FLines.ReadLine(line)) return false;
  progress.Step();
  t = Trim(line);
  return true;
}

// A node line and its tag lines; the first line after them stays pending.
void TXmlLineReader::ReadNode(IOsmHandler& handler, const TElement& e, TPassProgress& progress) {
  const auto [id, idText] = QuotedId(e.attrs, "id=\"");
  if (!handler.WantNode(id)) return;
  // Attributes after the id's closing quote and the character after it.
  const size_t after = static_cast<size_t>(idText.data() + idText.size() - e.attrs.data()) + 2;
  const std::string_view rest = after < e.attrs.size() ? e.attrs.substr(after) : std::string_view();
  const TNodeItems items = NodePoint(rest);
  // A coordinate written otherwise than lat="..." is not one the line
  // reader can take.
  if (!items.hasLat) Expect(!HasKey(rest, "lat"));
  if (!items.hasLon) Expect(!HasKey(rest, "lon"));
  TOsmNode node;
  node.Id = id;
  node.P = items.p;
  node.Deleted = items.deleted;
  if (!SelfClosing(Trim(e.attrs))) {
    for (;;) {
      const int64_t start = FLines.Position();
      std::string_view line;
      if (!FLines.ReadLine(line)) break;
      progress.Step();
      const std::string_view t = Trim(line);
      if (!node.HasRef && t.find("<tag k=\"ref\"") != std::string_view::npos) {
        Expect(t.compare(12, 4, " v=\"") == 0);
        std::string_view v = t.substr(16);
        const size_t q = v.find('"');
        if (q != std::string_view::npos) v = v.substr(0, q);
        // The first ref tag counts; its text is kept, the line buffer
        // moves on.
        FRefText.assign(XmlUnescape(v, FValue));
        node.Ref = FRefText;
        node.HasRef = true;
      }
      if (t.find("<tag") == std::string_view::npos) {
        FPending = t;
        FPendingStart = start;
        FHasPending = true;
        break;
      }
    }
  }
  handler.Node(node);
}

// A change of the objects' kind is told before the first of them; a
// declined one leaves its line pending for the next Read.
bool TXmlLineReader::EnterSection(IOsmHandler& handler, TOsmKind kind, std::string_view t) {
  FKind = kind;
  FKindKnown = true;
  if (handler.Section(kind)) return true;
  FKindKnown = false;
  FPending = t;
  FPendingStart = FLineStart;
  FHasPending = true;
  return false;
}

bool TXmlLineReader::Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) {
  // Pass 1 checks the header and the line form of every line; the later
  // passes read the lines it passed.
  const bool strict = what.CheckHeader;
  if (strict && !CheckHeader(FLines)) return false;
  bool inWay = false;     // a wanted way is being put together
  bool wayOpen = false;   // between <way ...> and </way>
  bool nodeOpen = false;  // between <node ...> and </node>
  bool ended = false;
  std::string_view t;
  while (Next(t, progress)) {
    if (strict) {
      if (t.empty()) continue;
      Expect(t.front() == '<' && t.back() == '>' && !ended);
    }
    const TElement e = SplitElement(t);
    const std::string_view name = e.name;
    switch (name.size()) {
      case 3:
        if (name == "tag") {
          if (strict) Expect(e.attrs.starts_with("k=\""));
          if (!inWay) continue;
          std::string_view k, v;
          SplitTag(e.attrs, k, v);
          // v in double quotes right after k's closing quote.
          if (strict) Expect(v.data() == k.data() + k.size() + 5 && v.data()[-4] == ' ' && v.data()[-3] == 'v');
          // One look for an escape in the whole line, not one per key and value.
          if (e.attrs.find('&') == std::string_view::npos)
            FWay.Tag(k, v);
          else
            FWay.Tag(XmlUnescapeAll(k, FKey), XmlUnescapeAll(v, FValue));
          continue;
        }
        if (name == "way") {
          if (strict) Expect(e.attrs.starts_with("id=\"") && !wayOpen && !nodeOpen);
          if (!InSection(TOsmKind::okWay) && !EnterSection(handler, TOsmKind::okWay, t)) return true;
          wayOpen = !SelfClosing(t);
          // A self-closed way has no closing line: it never ends.
          inWay = false;
          if (wayOpen && what.Ways) {
            const int64_t id = QuotedId(e.attrs, "id=\"").id;
            inWay = handler.WantWay(id);
            if (inWay) FWay.Begin(id, Deleted(e.attrs));
          }
          continue;
        }
        break;
      case 2:
        if (name == "nd") {
          if (strict) Expect(e.attrs.starts_with("ref=\""));
          if (inWay) FWay.Ref(QuotedId(e.attrs, "ref=\"").id);
          continue;
        }
        break;
      case 4:
        if (name == "/way") {
          if (strict) Expect(wayOpen);
          wayOpen = false;
          if (inWay) {
            handler.Way(FWay.Finish());
            inWay = false;
          }
          continue;
        }
        if (name == "node") {
          if (strict) Expect(e.attrs.starts_with("id=\"") && !nodeOpen && !wayOpen);
          if (!InSection(TOsmKind::okNode) && !EnterSection(handler, TOsmKind::okNode, t)) return true;
          if (what.Nodes) {
            ReadNode(handler, e, progress);
          } else {
            nodeOpen = !SelfClosing(t);
          }
          continue;
        }
        if (name == "/osm") {
          if (strict) Expect(!wayOpen && !nodeOpen);
          ended = true;
          continue;
        }
        break;
      case 5:
        if (name == "/node") {
          if (strict) Expect(nodeOpen || what.Nodes);
          nodeOpen = false;
          continue;
        }
        break;
      case 8:
        if (name == "relation") {
          if (!InSection(TOsmKind::okOther) && !EnterSection(handler, TOsmKind::okOther, t)) return true;
          continue;
        }
        break;
      default:
        break;
    }
    if (!strict) continue;
    if (!name.empty() && name[0] == '!') {
      // A comment on one line is nothing; one that spans lines, a CDATA
      // section or a declaration would hide or change lines.
      Expect(t.starts_with("<!--") && t.ends_with("-->") && t.size() >= 7);
    } else {
      // A blank other than a space after the name would hide the element.
      Expect(name.find_first_of("\t\v\f") == std::string_view::npos);
    }
  }
  if (strict && !ended)
    RaiseCutShort(FFileName, wayOpen ? "inside a way" : nodeOpen ? "inside a node" : "before its closing </osm>");
  return true;
}
