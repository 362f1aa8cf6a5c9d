// Pass 1: which ways are roads for the chosen modes, which nodes they need,
// and which nodes are shared (split candidates).
#include <cerrno>
#include <fstream>
#include <set>

#include <osmium/osm/way.hpp>

#include "linvoro_platform.h"
#include "linvoro_types.h"
#include "xml_lines.h"
#include "pbf_reader.h"
#include "run_context.h"

namespace {

// Unlisted highway values: sorted and de-duplicated with ASCII letter case
// ignored; the first spelling met is kept.
struct TCaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
      unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
      if (x >= 'A' && x <= 'Z') x += 32;
      if (y >= 'A' && y <= 'Z') y += 32;
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

enum : uint8_t { OverrideNo = 0, OverrideYes = 1, OverrideNone = 2 };

struct TWayScan {
  uint8_t WayModes = 0;
  uint8_t ModeOverride[3] = {OverrideNone, OverrideNone, OverrideNone};
  void ResetWayModes() {
    WayModes = 0;
    ModeOverride[0] = ModeOverride[1] = ModeOverride[2] = OverrideNone;
  }
};

inline void AccessOverride(std::string_view v, uint8_t& slot) {
  if (v == "yes")
    slot = OverrideYes;
  else if (v == "no")
    slot = OverrideNo;
}

void WriteUnlisted(const std::string& path, const std::set<std::string, TCaseLess>& values) {
  std::string text;
  for (const auto& v : values) {
    text += Utf8ToCodePage(v, 0);
    text += "\r\n";
  }
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(errno));
  f << text;
  f.flush();
  if (!f) throw EWriteError("Error writing file \"" + path + "\". " + SystemErrorText(errno));
}

// One way at a time, from the lines of an XML file or the ways of a PBF
// file: its tags decide the modes it is a road for, and a selected way marks
// its nodes.
class TWaySelector {
 public:
  TWaySelector(TRunContext& run, std::set<std::string, TCaseLess>& unlisted)
      : FInclude(run.Include),
        FPed(run.Options.Pedestrian),
        FBic(run.Options.Bicycle),
        FCar(run.Options.Car),
        FWayId(*run.wayid),
        FInc0(*run.inc0),
        FInc1(*run.inc1),
        FInc2(*run.inc2),
        FNodes(*run.Nodes),
        FSplit(*run.SplitNode),
        FFerryNodes(*run.FerryNodes),
        FUnlisted(unlisted) {}

  // A file begins: nothing of an unfinished way in the file before counts.
  void BeginFile() {
    FWayNodes.Reset();
    FScan.ResetWayModes();
    FInWay = FFerry = false;
  }

  // A way begins; its lines count only when it was not selected before.
  void BeginWay(int64_t id) {
    FId = id;
    // A way that lacked its closing line leaves nothing behind.
    FWayNodes.Reset();
    FScan.ResetWayModes();
    // Negative ids (objects not yet uploaded) cannot be indexed; such ways
    // are never selected.
    FInWay = id >= 0 && !FWayId.GetBit(id);
    FFerry = false;
  }
  bool InWay() const { return FInWay; }

  // k and v as the XML file holds them (not decoded).
  void Tag(std::string_view k, std::string_view v) {
    const TIncludeLists& inc = FInclude;
    if (k == "route" && v == "ferry") FFerry = true;
    const bool highway = k == "highway";
    if (FPed) {
      if ((highway && inc.Contains(0, v)) || FFerry) FScan.WayModes |= 1;
      if (k == "foot") AccessOverride(v, FScan.ModeOverride[0]);
    }
    if (FBic) {
      if ((highway && inc.Contains(1, v)) || FFerry) FScan.WayModes |= 2;
      if (k == "bicycle") AccessOverride(v, FScan.ModeOverride[1]);
    }
    if (FCar) {
      if ((highway && inc.Contains(2, v)) || FFerry) FScan.WayModes |= 4;
      if (k == "motorcar" || k == "motor_vehicle" || k == "vehicle")
        AccessOverride(v, FScan.ModeOverride[2]);
      else if (k == "tourism")
        FScan.ModeOverride[2] = OverrideNo;
    }
    if (highway && !inc.Contains(3, v) && FUnlisted.find(v) == FUnlisted.end()) FUnlisted.emplace(v);
  }

  void Node(int64_t id) { FWayNodes.Add(TNode2{id, {}, {}}); }

  // The way's end: selected when it is a road for a chosen mode.
  void EndWay() {
    for (int m = 0; m < 3; ++m)
      if (FScan.ModeOverride[m] != OverrideNone) {
        if (FScan.ModeOverride[m] == OverrideYes)
          FScan.WayModes |= uint8_t(1u << m);
        else
          FScan.WayModes &= uint8_t(~(1u << m));
      }
    if (FScan.WayModes) {
      for (const TNode2& n : FWayNodes) {
        // A negative id cannot be marked; pass 3 reports the way as
        // missing a node.
        if (n.ID < 0) continue;
        if (FFerry)
          FFerryNodes.Add(n.ID);
        else if (FNodes.GetBit(n.ID))
          FSplit.SetBit(n.ID, true);
        else
          FNodes.SetBit(n.ID, true);
      }
      FWayId.SetBit(FId, true);
      if (FScan.WayModes & 1) FInc0.SetBit(FId, true);
      if (FScan.WayModes & 2) FInc1.SetBit(FId, true);
      if (FScan.WayModes & 4) FInc2.SetBit(FId, true);
    }
    FWayNodes.Reset();
    FInWay = false;
    FScan.ResetWayModes();
  }

 private:
  const TIncludeLists& FInclude;
  const bool FPed, FBic, FCar;
  TIdSet &FWayId, &FInc0, &FInc1, &FInc2, &FNodes, &FSplit;
  TNodeIDList& FFerryNodes;
  std::set<std::string, TCaseLess>& FUnlisted;

  TNode2List FWayNodes;
  TWayScan FScan;
  int64_t FId = 0;
  bool FInWay = false, FFerry = false;
};

// An XML file, plain or compressed. False when its header is wrong.
bool ScanXmlFile(TRunContext& run, const TFileInfo& info, TWaySelector& sel) {
  TOsmLineReader reader(info.Filename, info.Format);
  if (!CheckHeader(reader)) return false;
  run.UI.Progress(0);
  TPassProgress progress(run.UI, reader);
  std::string_view line;
  while (reader.ReadLine(line)) {
    progress.Step();
    const TElement e = SplitElement(Trim(line));
    const std::string_view name = e.name;
    if (name.size() == 3 && name == "tag") {
      if (!sel.InWay()) continue;
      std::string_view k, v;
      SplitTag(e.attrs, k, v);
      sel.Tag(k, v);
    } else if (name.size() == 2 && name == "nd") {
      if (sel.InWay()) sel.Node(ParseId(FirstQuoted(e.attrs)));
    } else if (name.size() == 3 && name == "way") {
      sel.BeginWay(ParseId(FirstQuoted(e.attrs)));
    } else if (name.size() == 4 && name == "/way") {
      if (sel.InWay()) sel.EndWay();
    }
  }
  return true;
}

// A PBF file: only its ways are decoded. Tag texts reach the selection as
// the XML text of the same value.
void ScanPbfFile(TRunContext& run, const TFileInfo& info, TWaySelector& sel) {
  TPbfReader reader(info.Filename, false, true);
  run.UI.Progress(0);
  TPassProgress progress(run.UI, reader);
  reader.OnBlock = [&progress] { progress.Check(); };
  std::string kb, vb;
  while (const osmium::OSMObject* o = reader.Next()) {
    progress.Step();
    const auto& way = static_cast<const osmium::Way&>(*o);
    sel.BeginWay(way.id());
    if (!sel.InWay()) continue;
    for (const osmium::NodeRef& n : way.nodes()) sel.Node(n.ref());
    for (const osmium::Tag& t : way.tags()) sel.Tag(XmlText(t.key(), kb), XmlText(t.value(), vb));
    sel.EndWay();
  }
}

}  // namespace

void ScanWays(TRunContext& run) {
  std::set<std::string, TCaseLess> unlisted;
  TWaySelector sel(run, unlisted);
  for (size_t fi = 0; fi < run.FileInfo.size(); ++fi) {
    BeginPassFile(run, 1, fi);
    const TFileInfo& info = run.FileInfo[fi];
    sel.BeginFile();
    if (info.Format == TOsmFormat::ofPbf) {
      ScanPbfFile(run, info, sel);
    } else if (!ScanXmlFile(run, info, sel)) {
      run.UI.MessageBox("OSM version in header is not correct - should be 0.6");
      run.HeaderFailedFile = static_cast<int32_t>(fi);
      // The pass ends here: later files stay unscanned and the list of
      // unlisted values is not written.
      return;
    }
    run.UI.Progress(100);
    run.UI.ProcessMessages();
  }

  run.UI.Progress(0);
  WriteUnlisted(run.MainDir + "additional_highway_tags.txt", unlisted);
  run.UI.ProcessMessages();
}
