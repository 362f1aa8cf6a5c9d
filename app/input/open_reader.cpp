#include "open_reader.h"

#include "o5m_reader.h"
#include "osm_format.h"
#include "pbf_reader.h"
#include "xml_line_reader.h"
#include "xml_parser_reader.h"

std::unique_ptr<TOsmReader> OpenOsmReader(const TFileInfo& info) {
  if (info.Format == TOsmFormat::ofPbf) return std::make_unique<TPbfOsmReader>(info.Filename);
  if (IsO5m(info.Format)) return std::make_unique<TO5mReader>(info.Filename, info.Format);
  if (info.XmlLines) return std::make_unique<TXmlLineReader>(info.Filename, info.Format);
  return std::make_unique<TXmlParserReader>(info.Filename, info.Format);
}
