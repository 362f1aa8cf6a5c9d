// The whole conversion run on one arbitrary .osm file: the three passes, the
// writers, and on request the network stage that reads the table back.
//
// Input: four option bytes, then the file's bytes.
//   byte 0: bits 0-1 format (0 MIF, 1 SHP, 2 TAB, 3 SHP), bit 2 pedestrian,
//           bit 3 bicycle, bit 4 car (car when no mode is set), bit 5 split
//           loop links, bit 6 split links, bit 7 build the network
//   byte 1: the eight optional attributes
//   byte 2: bits 0-3 simplification degrees, bits 4-5 name/ref choice,
//           bits 6-7 driving side (3 = skip)
//   byte 3: bits 0-1 speed unit (3 = as is), bits 2-3 name length,
//           bits 4-5 ref length, bits 6-7 minimum object length
#include "fuzz_common.h"

namespace {

const fuzz::TScratch& Scratch() {
  static const fuzz::TScratch s("passes");
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const fuzz::TScratch& scratch = Scratch();
  scratch.Fresh();

  TRunOptions o;
  const uint8_t b0 = data[0], b1 = data[1], b2 = data[2], b3 = data[3];
  static const int32_t formats[4] = {0, 1, 2, 1};
  o.OutputFormat = formats[b0 & 3];
  o.Pedestrian = b0 & 4;
  o.Bicycle = b0 & 8;
  o.Car = (b0 & 16) || !(b0 & 12);
  o.SplitLoopLinks = b0 & 32;
  o.SplitLinks = b0 & 64;
  o.BuildNetwork = b0 & 128;
  for (int i = 0; i < oiCount; ++i) o.Optional[i] = (b1 >> i) & 1;
  o.Simplify = b2 & 15;
  o.NameRef = (b2 >> 4) & 3;
  o.Driving = ((b2 >> 6) & 3) == 3 ? drSkip : (b2 >> 6) & 3;
  o.SpeedUnit = (b3 & 3) == 3 ? suAsIs : b3 & 3;
  static const uint32_t lengths[4] = {50, 1, 10, 254};
  o.NameLength = lengths[(b3 >> 2) & 3];
  o.RefLength = lengths[(b3 >> 4) & 3];
  static const double minLen[4] = {0.1, 0, 10, 1000};
  o.minObjectLen = minLen[(b3 >> 6) & 3];

  const std::string osm = scratch.Path("input.osm");
  fuzz::WriteFile(osm, std::string_view(reinterpret_cast<const char*>(data) + 4, size - 4));
  const std::string out = scratch.Path("out/");
  std::filesystem::create_directories(out);
  o.Files = {osm};
  o.MainDir = out;

  fuzz::RunChecked(o);
  return 0;
}
