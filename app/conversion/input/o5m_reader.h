// O5M, the compact form of the OSM command-line filters, plain or inside
// gzip or bzip2, decoded by libosmium's reader in threads of its own.
#pragma once

#include <memory>

#include "osm_reader.h"

class TO5mReader final : public TOsmReader {
 public:
  TO5mReader(TFileInfo& info, IRunUI& ui);
  ~TO5mReader() override;

  bool ReadAllWays(IOsmWays& ways) override;
  void ReadNodes(IOsmNodes& nodes) override;
  void ReadWays(IOsmWays& ways) override;

  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
  TFileInfo& FInfo;
};
