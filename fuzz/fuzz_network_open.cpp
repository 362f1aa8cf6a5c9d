// Opening a damaged network folder (TNetwork.Open with the attributes, the
// spatial index and a road-name pair) and the link checks on what opened;
// the same folder read where a search goes (TLazyNetwork), with two points
// placed and routed between as the route command does.
//
// Input: option byte, then the container of linvoro_config.ini, length.bin,
// link.bin, coord.bin, node.bin, coord3.bin, coord3i.bin, spatialindex.bin,
// attribute.bin, roadname01.bin, roadnumber01.bin. Option bits: 0 attributes,
// 1 cached link shapes, 2 spatial index, 3 road names (cached with bit 1),
// 4 the checks' tables as shapefiles instead of MIF; bits 5-7 where in the
// network's bounds the two route points lie.
#include "fuzz_common.h"
#include "linvoro_lazynetwork.h"
#include "linvoro_network.h"
#include "linvoro_placeroute.h"

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

  fuzz::Guarded([&] {
    TLazyNetwork lazy;
    lazy.SetDirectory(scratch.Dir());
    lazy.Open();
    TLegRouter router(lazy);
    const TFloatRect m = lazy.Mbr();
    const double f = ((opt >> 5) + 1) / 9.0;
    const std::vector<TFloatPoint> points = {{m.xmin + f * (m.xmax - m.xmin), m.ymin + f * (m.ymax - m.ymin)},
                                             {m.xmax - f * (m.xmax - m.xmin), m.ymin + (1 - f) * (m.ymax - m.ymin)}};
    std::vector<TLinkPlace> places;
    router.Place(points, 10, places);
    if (!places[0].Placed() || !places[1].Placed()) return;
    TRouteLeg R;
    router.Route(places[0], places[1], R);
    (void)router.Connected(places[0], places[1]);
    std::vector<TFloatPoint> line;
    router.AppendShape(R, line);
    for (const int32_t e : R.links) (void)lazy.RoadName(1, e < 0 ? -e : e);
  });

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
