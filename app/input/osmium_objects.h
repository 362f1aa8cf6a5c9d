// libosmium's objects as the passes' events: shared by the readers of the
// forms libosmium decodes.
#pragma once

#include <string>
#include <string_view>

#include <osmium/osm/location.hpp>
#include <osmium/osm/node.hpp>
#include <osmium/osm/way.hpp>

#include "osm_reader.h"

// The nearest doubles to the decimal degrees, as the XML text gives them;
// a node without coordinates is at (0, 0) as an XML node without lat and
// lon is.
inline TFloatPoint NodePointOf(const osmium::Location& loc) {
  return loc.is_undefined() ? TFloatPoint{0, 0} : TFloatPoint{loc.lon_without_check(), loc.lat_without_check()};
}

// A node to the handler, with the plain text of its "ref" tag.
inline void HandOverNode(const osmium::Node& n, IOsmHandler& handler) {
  if (!handler.WantNode(n.id())) return;
  TOsmNode node;
  node.Id = n.id();
  node.P = NodePointOf(n.location());
  node.Deleted = !n.visible();
  if (const char* ref = n.tags()["ref"]) {
    node.Ref = ref;
    node.HasRef = true;
  }
  handler.Node(node);
}

// A way to the handler, its tags as plain text.
inline void HandOverWay(const osmium::Way& way, IOsmHandler& handler, TWayBuilder& builder) {
  if (!handler.WantWay(way.id())) return;
  builder.Begin(way.id(), !way.visible());
  for (const osmium::NodeRef& n : way.nodes()) builder.Ref(n.ref());
  for (const osmium::Tag& t : way.tags()) builder.Tag(t.key(), t.value());
  handler.Way(builder.Finish());
}
