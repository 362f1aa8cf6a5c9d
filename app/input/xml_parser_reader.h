// OSM XML in any layout, read with a real XML parser (expat): JOSM's files
// with single quotes, attributes in any order, files without line breaks,
// comments, entities, other encodings. Slower than the line reader, which
// stays the path for the files it reads as written.
#pragma once

#include <memory>

#include "osm_reader.h"

class TXmlParserReader final : public TOsmReader {
 public:
  // A token (a start tag with its attributes, a comment, ...) longer than
  // this ends the run: OSM XML never needs one, and the parser would hold it
  // whole.
  static constexpr int64_t MaxTokenBytes = int64_t(1) << 20;

  TXmlParserReader(const std::string& path, TOsmFormat format);
  ~TXmlParserReader() override;

  bool Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) override;
  TOsmPlace SectionPlace() const override;
  void StartAt(const TOsmPlace& place, TPassProgress& progress) override;

  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
};
