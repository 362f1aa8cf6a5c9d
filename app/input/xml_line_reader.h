// OSM XML as the OSM API and osmium write it, one element per line, read by
// the line reader: the fast path, which never parses XML (see xml_lines.h).
#pragma once

#include "osm_reader.h"
#include "xml_lines.h"

class TXmlLineReader final : public TOsmReader {
 public:
  TXmlLineReader(const std::string& path, TOsmFormat format,
                 size_t bufferSize = TOsmLineReader::DefaultBufferSize);

  bool Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) override;
  TOsmPlace SectionPlace() const override { return TOsmPlace::At(FLineStart); }
  void StartAt(const TOsmPlace& place, TPassProgress& progress) override;

  int64_t ProgressPosition() const override { return FLines.ProgressPosition(); }
  int64_t ProgressSize() const override { return FLines.ProgressSize(); }

 private:
  bool Next(std::string_view& t, TPassProgress& progress);
  void ReadNode(IOsmHandler& handler, const TElement& e, TPassProgress& progress);
  bool InSection(TOsmKind kind) const { return FKindKnown && FKind == kind; }
  bool EnterSection(IOsmHandler& handler, TOsmKind kind, std::string_view t);

  TOsmLineReader FLines;
  TWayBuilder FWay;
  std::string FRefText, FKey, FValue;
  // The line read but not yet handled: the one a declined Section stopped
  // at, or the one behind a node's tags.
  std::string_view FPending;
  int64_t FPendingStart = 0;
  bool FHasPending = false;
  int64_t FLineStart = 0;  // where the line being handled begins
  TOsmKind FKind = TOsmKind::okOther;
  bool FKindKnown = false;
};
