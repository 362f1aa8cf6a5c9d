// Pass 1: which ways are roads for the chosen modes, which nodes they need,
// and which nodes are shared (split candidates).
#include <cerrno>
#include <fstream>
#include <set>

#include "linvoro_platform.h"
#include "linvoro_types.h"
#include "osm_lines.h"
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

}  // namespace

void ScanWays(TRunContext& run) {
  const TRunOptions& o = run.Options;
  const TIncludeLists& inc = run.Include;
  const bool ped = o.Pedestrian, bic = o.Bicycle, car = o.Car;
  TIdSet& wayid = *run.wayid;
  TIdSet& inc0 = *run.inc0;
  TIdSet& inc1 = *run.inc1;
  TIdSet& inc2 = *run.inc2;
  TIdSet& nodes = *run.Nodes;
  TIdSet& split = *run.SplitNode;
  TNodeIDList& ferryNodes = *run.FerryNodes;
  std::set<std::string, TCaseLess> unlisted;

  for (size_t fi = 0; fi < run.FileInfo.size(); ++fi) {
    BeginPassFile(run, 1, fi);
    TOsmLineReader reader(run.FileInfo[fi].Filename);
    if (!CheckHeader(reader)) {
      run.UI.MessageBox("OSM version in header is not correct - should be 0.6");
      // The pass ends here: later files stay unscanned and the list of
      // unlisted values is not written.
      return;
    }
    run.UI.Progress(0);
    TNode2List wayNodes;
    TWayScan w;
    bool inWay = false, ferry = false;
    int64_t curId = 0;
    TPassProgress progress(run.UI, reader);

    std::string_view line;
    while (reader.ReadLine(line)) {
      progress.Step();
      const TElement e = SplitElement(Trim(line));
      const std::string_view name = e.name;
      if (name.size() == 3 && name == "tag") {
        if (!inWay) continue;
        std::string_view k, v;
        SplitTag(e.attrs, k, v);
        if (k == "route" && v == "ferry") ferry = true;
        const bool highway = k == "highway";
        if (ped) {
          if ((highway && inc.Contains(0, v)) || ferry) w.WayModes |= 1;
          if (k == "foot") AccessOverride(v, w.ModeOverride[0]);
        }
        if (bic) {
          if ((highway && inc.Contains(1, v)) || ferry) w.WayModes |= 2;
          if (k == "bicycle") AccessOverride(v, w.ModeOverride[1]);
        }
        if (car) {
          if ((highway && inc.Contains(2, v)) || ferry) w.WayModes |= 4;
          if (k == "motorcar" || k == "motor_vehicle" || k == "vehicle")
            AccessOverride(v, w.ModeOverride[2]);
          else if (k == "tourism")
            w.ModeOverride[2] = OverrideNo;
        }
        if (highway && !inc.Contains(3, v) && unlisted.find(v) == unlisted.end())
          unlisted.emplace(v);
      } else if (name.size() == 2 && name == "nd") {
        if (!inWay) continue;
        const int64_t id = ParseId(FirstQuoted(e.attrs));
        wayNodes.Add(TNode2{id, {}, {}});
      } else if (name.size() == 3 && name == "way") {
        curId = ParseId(FirstQuoted(e.attrs));
        // A way that lacked its closing line leaves nothing behind.
        wayNodes.Reset();
        w.ResetWayModes();
        // Negative ids (objects not yet uploaded) cannot be indexed; such
        // ways are never selected.
        inWay = curId >= 0 && !wayid.GetBit(curId);
        ferry = false;
      } else if (name.size() == 4 && name == "/way") {
        if (!inWay) continue;
        for (int m = 0; m < 3; ++m)
          if (w.ModeOverride[m] != OverrideNone) {
            if (w.ModeOverride[m] == OverrideYes)
              w.WayModes |= uint8_t(1u << m);
            else
              w.WayModes &= uint8_t(~(1u << m));
          }
        if (w.WayModes) {
          for (const TNode2& n : wayNodes) {
            // A negative id cannot be marked; pass 3 reports the way as
            // missing a node.
            if (n.ID < 0) continue;
            if (ferry)
              ferryNodes.Add(n.ID);
            else if (nodes.GetBit(n.ID))
              split.SetBit(n.ID, true);
            else
              nodes.SetBit(n.ID, true);
          }
          wayid.SetBit(curId, true);
          if (w.WayModes & 1) inc0.SetBit(curId, true);
          if (w.WayModes & 2) inc1.SetBit(curId, true);
          if (w.WayModes & 4) inc2.SetBit(curId, true);
        }
        wayNodes.Reset();
        inWay = false;
        w.ResetWayModes();
      }
    }
    run.UI.Progress(100);
    run.UI.ProcessMessages();
  }

  run.UI.Progress(0);
  WriteUnlisted(run.MainDir + "additional_highway_tags.txt", unlisted);
  run.UI.ProcessMessages();
}
