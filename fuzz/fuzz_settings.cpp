// The settings file reader, and the writer that keeps every line it does not
// own: what LoadSettings read must survive a SaveSettings / LoadSettings
// round trip.
#include "fuzz_common.h"
#include "run_options.h"
#include "settings_file.h"

namespace {
bool SameOptions(const TRunOptions& a, const TRunOptions& b) {
  for (int i = 0; i < oiCount; ++i)
    if (a.Optional[i] != b.Optional[i]) return false;
  return a.OutputFormat == b.OutputFormat && a.SpeedUnit == b.SpeedUnit &&
         a.SplitLoopLinks == b.SplitLoopLinks && a.SplitLinks == b.SplitLinks &&
         a.Pedestrian == b.Pedestrian && a.Bicycle == b.Bicycle && a.Car == b.Car &&
         a.NameRef == b.NameRef && a.Driving == b.Driving && a.BuildNetwork == b.BuildNetwork &&
         a.Subnets == b.Subnets && a.TopoChecks == b.TopoChecks && a.Simplify == b.Simplify &&
         a.NameLength == b.NameLength && a.RefLength == b.RefLength && a.ExitText == b.ExitText;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("settings");
  const std::string path = scratch.Path("osm2trassel.ini");
  fuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  fuzz::Guarded([&] {
    TRunOptions o;
    LoadSettings(path, o);
    // Saving into the same file keeps the foreign lines (and ExitText).
    SaveSettings(path, o);
    TRunOptions again;
    LoadSettings(path, again);
    if (!SameOptions(o, again)) fuzz::Finding("settings round trip", "values changed");
  });
  return 0;
}
