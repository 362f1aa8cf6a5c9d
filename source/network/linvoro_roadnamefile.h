// One road-name file pair of a network: roadnameNN.bin holds every distinct
// name once as a fixed-width UTF-16LE record, in the user locale's order;
// roadnumberNN.bin holds each link's 1-based record number. Written from a
// road table's attribute half, read back for the network reader.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <functional>
#include <string>
#include <vector>

#include "linvoro_io.h"
#include "linvoro_progress.h"

class TStringTree;

class TRoadNameFile : public TProgressCancel {
 public:
  TRoadNameFile() = default;
  ~TRoadNameFile() override;

  // "roadnameNN.bin" / "roadnumberNN.bin" with NN at least two digits.
  static std::string NameFileName(int32_t FileNumber);
  static std::string NumberFileName(int32_t FileNumber);

  // From comma-separated files (MID files) read in CodePage.
  void Import1(const std::vector<std::string>& Files, const std::string& Directory,
               int CodePage, int32_t FileNumber, int32_t FieldIndex);
  // From dBASE-like tables; FieldName, when not empty, wins over FieldIndex.
  void Import2(const std::vector<std::string>& Files, const std::string& Directory,
               int CodePage, int32_t FileNumber, int32_t FieldIndex,
               const std::string& FieldName);
  // From a text field of a layer of GeoPackage files (TGpkgLayerReader),
  // its values trimmed as the dBASE reader trims them, so that a table
  // written both ways gives the same files.
  void Import3(const std::vector<std::string>& Files, const std::string& Layer,
               const std::string& Directory, int32_t FileNumber, int32_t FieldIndex,
               const std::string& FieldName);

  // The name and number files from n values, read in order 1 to n once
  // by read(r, value).
  void ImportValues(int64_t n, const std::function<void(int64_t, std::string&)>& read,
                    const std::string& Directory, int32_t FileNumber);

  void Load(const std::string& Directory, bool Cache, int32_t StartKey, int32_t FileNumber,
            int32_t LinkCount);
  void Close();
  // Keeps the name records in memory from now on, as Load with Cache does:
  // for a caller about to look up many names of an open file.
  void CacheNames();
  // Bytes of the name records (0 when not open).
  int64_t NameFileSize();

  // Names come back trimmed; ids and links outside the file give "".
  std::string RoadName1(int32_t LinkID);
  std::string RoadName2(int32_t ARoadNameID);
  // 0 for a link outside the file.
  int32_t RoadNameID1(int32_t LinkID) const;

  bool IsOpen() const { return FOpen; }
  int32_t MaxRoadNameID() const { return FMaxRoadNameID; }
  int32_t MaxRoadNameLength() const { return FMaxRoadNameLength; }
  int32_t MaxRoadNameLengthUTF8() const { return FMaxRoadNameLengthUTF8; }

 private:
  // roadnumberNN.bin: for each record, the 1-based rank of the name its
  // tree node (nodes) holds; the tree has its ids. Progress goes on to
  // progressMax.
  void WriteNumbers(const TStringTree& tree, const std::vector<int32_t>& nodes,
                    const std::string& numberFile, double progressMax);

  bool FOpen = false;
  std::vector<int32_t> FRoadNumberArray;
  int32_t FMaxRoadNameID = 0;
  int32_t FMaxRoadNameLength = 0;
  int32_t FMaxRoadNameLengthUTF8 = 0;
  std::unique_ptr<TLvStream> FRoadNameFile;
  std::mutex FCS;
};
