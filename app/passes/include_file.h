// The highway values per travel mode and their road type codes, read from
// include.txt next to the executable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TIncludeLists {
 public:
  // Reads the file (system code page, first line a heading). Each further
  // line is split like an attribute record in which spaces also separate and
  // double quotes group: three mode flags ("1" = open), the value, the code.
  // Throws EFOpenError when the file is missing; a type code that is not an
  // integer throws EConvertError after keeping the rows read before it.
  void LoadIncludeFile(const std::string& path);
  void FreeIncludeLists();

  // Case-insensitive membership in list 0 (pedestrian), 1 (bicycle),
  // 2 (car) or 3 (every value).
  bool Contains(int list, std::string_view value) const;
  // Road type code of a value of list 3; 0 when not listed.
  int32_t TypeCode(std::string_view value) const;
  const std::vector<std::string>& Values(int list) const;

 private:
  // ASCII letter case folded for hashing and comparison.
  struct CaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept;
  };
  struct CaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
  };
  using TIndex = std::unordered_map<std::string, int32_t, CaseHash, CaseEqual>;
  std::vector<std::string> FValues[4];
  std::vector<int32_t> FTypeCodes;  // parallel to FValues[3]
  TIndex FIndex[4];                 // value -> first index in FValues[list]
};
