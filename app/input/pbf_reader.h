// OSM PBF: blocks are read here in file order and decoded a few ahead in a
// pool of threads by the block decoder of pbf_block.h, so that every block
// is a progress and cancel point of a pass, also a block the pass skips.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "osm_reader.h"

class TPbfOsmReader final : public TOsmReader {
 public:
  // Decoded blocks held ahead of the pass, in bytes (at least one block).
  static constexpr size_t MaxAheadBytes = size_t(256) << 20;

  // Opens the file and reads its header block. Throws EFOpenError or
  // EReadError naming the file: a damaged or cut-off header, a required
  // feature the passes cannot honour.
  explicit TPbfOsmReader(const std::string& path);
  ~TPbfOsmReader() override;

  bool Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) override;
  TOsmPlace SectionPlace() const override;
  void StartAt(const TOsmPlace& place, TPassProgress& progress) override;

  // The end of the block whose objects are handed out, and the file's size.
  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override;

  // For tests: the largest amount of decoded data this reader has held ahead
  // of its pass (estimated before decoding, counted after).
  size_t PeakAheadBytes() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
};
