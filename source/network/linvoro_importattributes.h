// Adds per-link data to a built network from the attribute half of its road
// table: attribute.bin (one 16-bit word per link) and numbered road-name
// file pairs. Record k of the table belongs to link k.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "linvoro_filebase.h"

// fkGPKG: the files are GeoPackages, read from their layer Layer().
enum TFileKind : uint8_t { fkCSV = 0, fkDBF = 1, fkGPKG = 2 };

class TImportAttributes : public TFileBase {
 public:
  TImportAttributes();

  void Add(const std::string& filename) { ffiles.push_back(filename); }
  void AddFiles(const std::vector<std::string>& list) {
    ffiles.insert(ffiles.end(), list.begin(), list.end());
  }
  void Clear() { ffiles.clear(); }
  const std::vector<std::string>& Files() const { return ffiles; }

  int32_t RoadNameFileIndex() const { return FRoadNameFileIndex; }
  // 1..99, else Exception "Roadname file index should be 1..99".
  void SetRoadNameFileIndex(int32_t value);
  uint16_t CodepageCSV() const { return FCodePageCSV; }
  void SetCodepageCSV(uint16_t value) { FCodePageCSV = value; }
  uint16_t CodepageDbf() const { return FCodePageDbf; }
  void SetCodepageDbf(uint16_t value) { FCodePageDbf = value; }

  const std::string& Layer() const { return FLayer; }
  void SetLayer(const std::string& v) { FLayer = v; }

  // Writes attribute.bin. fieldname is used for fkDBF and fkGPKG only.
  void ExecuteAttribute(int32_t fieldindex, const std::string& fieldname, TFileKind fk);
  // Writes roadnameNN.bin and roadnumberNN.bin for NN = RoadNameFileIndex.
  void ExecuteRoadname(int32_t fieldindex, const std::string& fieldname, TFileKind fk);

 private:
  std::vector<std::string> ffiles;
  int32_t FRoadNameFileIndex = 1;
  uint16_t FCodePageCSV = 1252;
  uint16_t FCodePageDbf = 0;
  std::string FLayer = "roads";
};
