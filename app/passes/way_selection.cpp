// Pass 1: which ways are roads for the chosen modes, which nodes they need,
// and which nodes are shared (split candidates).
#include "way_selection.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <set>

#include "linvoro_platform.h"
#include "linvoro_types.h"
#include "node_list.h"

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

// One way at a time: its tags decide the modes it is a road for, and a
// selected way marks its nodes.
class TWaySelector final : public IOsmWays {
 public:
  TWaySelector(const TRunOptions& o, const TIncludeLists& include, TWaySelection& sel, TNodeIDList& ferryNodes,
               std::set<std::string, TCaseLess>& unlisted)
      : FSelection(sel),
        FInclude(include),
        FPed(o.Pedestrian),
        FBic(o.Bicycle),
        FCar(o.Car),
        FWayId(sel.Ways),
        FInc0(sel.Modes[0]),
        FInc1(sel.Modes[1]),
        FInc2(sel.Modes[2]),
        FNodes(*sel.Nodes),
        FSplit(sel.SplitNodes),
        FFerryNodes(ferryNodes),
        FUnlisted(unlisted) {}

  // A way counts only when it was not selected before (in an earlier file,
  // or listed twice).
  bool WantWay(int64_t id) override { return !FWayId.GetBit(id); }

  void Way(const TOsmWay& way) override {
    FScan.ResetWayModes();
    FFerry = false;
    for (const TOsmTag& t : way.Tags) Tag(t.Key, t.Value);
    for (int m = 0; m < 3; ++m)
      if (FScan.ModeOverride[m] != OverrideNone) {
        if (FScan.ModeOverride[m] == OverrideYes)
          FScan.WayModes |= uint8_t(1u << m);
        else
          FScan.WayModes &= uint8_t(~(1u << m));
      }
    if (!FScan.WayModes) return;
    // A way beyond the limit is a damaged or crafted one: it is reported,
    // and its refs are never looked at.
    if (way.RefCount() > MaxWayRefs) {
      auto& longWays = FSelection.TooLongWays;
      if (std::find_if(longWays.begin(), longWays.end(), [&](const auto& w) { return w.first == way.Id; }) ==
          longWays.end())
        longWays.emplace_back(way.Id, way.RefCount());
      return;
    }
    for (const int64_t n : way.Refs()) {
      if (FFerry)
        FFerryNodes.Add(n);
      else if (FNodes.GetBit(n))
        FSplit.SetBit(n, true);
      else
        FNodes.SetBit(n, true);
    }
    FWayId.SetBit(way.Id, true);
    if (FScan.WayModes & 1) FInc0.SetBit(way.Id, true);
    if (FScan.WayModes & 2) FInc1.SetBit(way.Id, true);
    if (FScan.WayModes & 4) FInc2.SetBit(way.Id, true);
  }

 private:
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

  TWaySelection& FSelection;
  const TIncludeLists& FInclude;
  const bool FPed, FBic, FCar;
  TIdSet &FWayId, &FInc0, &FInc1, &FInc2, &FNodes, &FSplit;
  TNodeIDList& FFerryNodes;
  std::set<std::string, TCaseLess>& FUnlisted;

  TWayScan FScan;
  bool FFerry = false;
};

// A ferry's nodes are shared with the roads at its ends: each is a split
// point where a road reaches it, else a node of the ferry alone.
void MarkFerryNodes(TNodeIDList& ferry, TWaySelection& sel) {
  ferry.RemoveDuplicates();
  for (const int64_t id : ferry) {
    if (sel.Nodes->GetBit(id))
      sel.SplitNodes.SetBit(id, true);
    else
      sel.Nodes->SetBit(id, true);
  }
}

}  // namespace

std::unique_ptr<TWaySelection> SelectWays(TPassDriver& driver, const TRunOptions& o, const TIncludeLists& include,
                                          IRunUI& ui) {
  auto sel = std::make_unique<TWaySelection>();
  std::set<std::string, TCaseLess> unlisted;
  TNodeIDList ferryNodes;
  TWaySelector selector(o, include, *sel, ferryNodes, unlisted);
  if (!driver.ReadAllWays(selector)) {
    ui.MessageBox("OSM version in header is not correct - should be 0.6");
    // The pass ends here: later files stay unscanned and the list of
    // unlisted values is not written.
    sel->HeaderFailedFile = driver.HeaderFailedFile();
  } else {
    ui.Progress(0);
    WriteUnlisted(o.MainDir + "additional_highway_tags.txt", unlisted);
    ui.ProcessMessages();
  }
  MarkFerryNodes(ferryNodes, *sel);
  return sel;
}
