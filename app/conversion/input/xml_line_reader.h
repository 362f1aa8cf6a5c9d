// OSM XML as the OSM API and osmium write it, one element per line, read by
// the line reader: the fast path, which never parses XML (see xml_lines.h).
#pragma once

#include "osm_reader.h"
#include "xml_lines.h"

class TXmlLineReader final : public TOsmReader {
 public:
  TXmlLineReader(TFileInfo& info, IRunUI& ui, size_t bufferSize = TOsmLineReader::DefaultBufferSize);

  bool ReadAllWays(IOsmWays& ways) override;
  void ReadNodes(IOsmNodes& nodes) override;
  void ReadWays(IOsmWays& ways) override;

  int64_t ProgressPosition() const override { return FLines.ProgressPosition(); }
  int64_t ProgressSize() const override { return FLines.ProgressSize(); }

 private:
  TFileInfo& FInfo;
  TOsmLineReader FLines;
  TWayBuilder FWay;
  std::string FRefText;  // a node's ref tag, kept beyond its line
};
