#include "osm_reader.h"

#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "run_ui.h"

TPassProgress::TPassProgress(IRunUI& ui, const TInputPosition& input)
    : FUI(ui), FInput(input), FLastTick(GetTickCount32()) {}

void TPassProgress::Check() {
  CheckCancelled(FUI);
  const uint32_t now = GetTickCount32();
  if (now - FLastTick <= 1000) return;
  FLastTick = now;
  const int64_t size = FInput.ProgressSize();
  const double share =
      size > 0 ? 100.0 * static_cast<double>(FInput.ProgressPosition()) / static_cast<double>(size) : 0;
  FUI.Progress(static_cast<int32_t>(Round(share)));
  FUI.ProcessMessages();
}

const TOsmWay& TWayBuilder::FinishLazy(size_t count, std::span<const int64_t> (*decode)(const void*),
                                       const void* source) {
  Finish();
  if (count > MaxWayRefs)
    FWay.SetRefs({}, count);
  else
    FWay.SetLazyRefs(count, decode, source);
  return FWay;
}

const TOsmWay& TWayBuilder::Finish() {
  FTags.clear();
  size_t b = 0;
  for (size_t i = 0; i + 1 < FTagEnds.size(); i += 2) {
    const size_t k = FTagEnds[i], v = FTagEnds[i + 1];
    FTags.push_back({std::string_view(FText).substr(b, k - b), std::string_view(FText).substr(k, v - k)});
    b = v;
  }
  FWay.Tags = FTags;
  if (FRefCount > MaxWayRefs)
    FWay.SetRefs({}, FRefCount);
  else
    FWay.SetRefs(FRefs, FRefCount);
  return FWay;
}

void RaiseCutShort(const std::string& path, const std::string& where) {
  throw EReadError("File \"" + path + "\" is cut short: it ends " + where +
                   ". The data after that point are missing; download or copy the file again.");
}

std::string TooManyNodesLine(int64_t id, size_t refs) {
  return "TooManyNodes," + std::to_string(id) + ", has " + std::to_string(refs) + " nodes, more than " +
         std::to_string(MaxWayRefs) + " (skipped)";
}
