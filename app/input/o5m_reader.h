// O5M, the compact form of the OSM command-line filters, plain or inside
// gzip or bzip2, decoded by libosmium's reader in threads of its own.
#pragma once

#include <memory>

#include "osm_reader.h"

class TO5mReader final : public TOsmReader {
 public:
  TO5mReader(const std::string& path, TOsmFormat format);
  ~TO5mReader() override;

  bool Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) override;
  TOsmPlace SectionPlace() const override { return TOsmPlace::At(0); }
  void StartAt(const TOsmPlace& place, TPassProgress& progress) override;

  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
  TWayBuilder FWay;
  TOsmKind FKind = TOsmKind::okOther;
  bool FKindKnown = false;
};
