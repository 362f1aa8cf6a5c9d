// Opening a damaged network folder (TNetwork.Open with the attributes, the
// spatial index and a road-name pair) and the link checks on what opened.
//
// Input: option byte, then the container of linvoro_config.ini, length.bin,
// link.bin, coord.bin, node.bin, coord3.bin, coord3i.bin, spatialindex.bin,
// attribute.bin, roadname01.bin, roadnumber01.bin. Option bits: 0 attributes,
// 1 cached link shapes, 2 spatial index, 3 road names (cached with bit 1),
// 4 the checks' tables as shapefiles instead of MIF.
#include "fuzz_common.h"
#include "linvoro_network.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TScratch scratch("network");
  static const std::vector<std::string> names = {
      "linvoro_config.ini", "length.bin",       "link.bin",      "coord.bin",
      "node.bin",           "coord3.bin",       "coord3i.bin",   "spatialindex.bin",
      "attribute.bin",      "roadname01.bin",   "roadnumber01.bin"};
  if (size < 1) return 0;
  scratch.Fresh();
  const uint8_t opt = data[0];
  const auto parts = fuzz::Unpack(data + 1, size - 1, names.size());
  for (size_t i = 0; i < names.size(); ++i) fuzz::WriteFile(scratch.Path(names[i]), parts[i]);

  TNetwork net;
  net.SetDirectory(scratch.Dir());
  bool open = false;
  fuzz::Guarded([&] {
    net.Open(opt & 1, opt & 2, opt & 4, 0);
    open = true;
  });
  if (!open) return 0;
  if (opt & 8) fuzz::Guarded([&] { net.OpenRoadName(1, opt & 2); });
  const TGISFormat gf = (opt & 16) ? gfSHP : gfMIF;
  fuzz::Guarded([&] {
    for (int32_t link = 1; link <= net.LinkCount(); ++link)
      if (net.LinkLength(link) != 0) (void)net.GetGISSection(link);
    for (int32_t node = 1; node <= net.NodeCount(); ++node)
      for (int32_t k = 1; k <= net.Degree(node); ++k) (void)net.Node2Link(node, k);
  });
  fuzz::Guarded([&] { (void)net.ParallelLinks(scratch.Path("parallel"), gf); });
  fuzz::Guarded([&] { net.ExportNodes(scratch.Path("nodes"), gf); });
  fuzz::Guarded([&] { (void)net.ObjectCheck(scratch.Path("object_check"), gf, 90); });
  fuzz::Guarded([&] { net.Close(); });
  return 0;
}
