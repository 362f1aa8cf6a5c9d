// libosmium's objects as the passes' events: shared by the readers of the
// forms libosmium decodes.
#pragma once

#include <string>
#include <string_view>

#include <osmium/osm/location.hpp>
#include <osmium/osm/node.hpp>
#include <osmium/osm/way.hpp>

#include "osm_reader.h"
#include "xml_lines.h"

// The nearest doubles to the decimal degrees, as the XML text gives them;
// a node without coordinates is at (0, 0) as an XML node without lat and
// lon is.
inline TFloatPoint NodePointOf(const osmium::Location& loc) {
  return loc.is_undefined() ? TFloatPoint{0, 0} : TFloatPoint{loc.lon_without_check(), loc.lat_without_check()};
}

// A node to the pass: coordinates and the XML text of its "ref" tag (at
// most 999 bytes, as the line reader takes it).
inline void HandOverNode(const osmium::Node& node, IOsmNodes& nodes, std::string& buf) {
  if (!nodes.WantNode(node.id())) return;
  const TFloatPoint p = NodePointOf(node.location());
  if (const char* ref = node.tags()["ref"]) {
    const std::string_view v = XmlText(ref, buf).substr(0, 999);
    nodes.Node(node.id(), p, &v);
  } else {
    nodes.Node(node.id(), p, nullptr);
  }
}

// A way to the pass, its tags as XML text.
inline void HandOverWay(const osmium::Way& way, IOsmWays& ways, TWayBuilder& builder, std::string& kb,
                        std::string& vb) {
  if (!ways.WantWay(way.id())) return;
  builder.Begin(way.id());
  for (const osmium::NodeRef& n : way.nodes()) builder.Ref(n.ref());
  for (const osmium::Tag& t : way.tags()) builder.Tag(XmlText(t.key(), kb), XmlText(t.value(), vb));
  ways.Way(builder.Finish());
}
