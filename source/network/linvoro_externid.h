// External-id index of a network: index1.bin maps ids of the source data to
// link ids, index2.bin maps link ids back to source ids. The network reader
// creates this object but opens it only on request; the converter never
// writes these files.
//
// Layouts (little-endian, no header):
//   index1.bin: records of 12 bytes, int64 external id, int32 link id,
//               sorted by external id ascending;
//   index2.bin: one int64 external id per link, in link order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "linvoro_filebase.h"
#include "linvoro_io.h"

inline constexpr const char* ExternalIDIndex1FileName = "index1.bin";
inline constexpr const char* ExternalIDIndex2FileName = "index2.bin";

class TExternalID : public TFileBase {
 public:
  TExternalID() = default;
  ~TExternalID() override = default;

  // Mode 1: read both files on demand; 2: hold index2.bin in memory;
  // 3: hold both in memory. Missing files raise EFileMissing, sizes that are
  // not whole records raise Exception. LinkCount bounds the link ids.
  void Open(int32_t Mode, int32_t LinkCount, TLvStream* S1 = nullptr, TLvStream* S2 = nullptr);
  void Close();

  // The link carrying external id ID; 0 when unknown.
  int32_t Link(int64_t ID);
  // The external id of link (1..LinkCount); 0 outside.
  int64_t ID(int32_t link);

 private:
  int32_t FMode = 0;
  int32_t FLinkCount = 0;
  int64_t FCount1 = 0;
  std::unique_ptr<TLvStream> FOwn1, FOwn2;
  TLvStream* FS1 = nullptr;
  TLvStream* FS2 = nullptr;
  std::vector<int64_t> FIds1;
  std::vector<int32_t> FLinks1;
  std::vector<int64_t> FIds2;
};
