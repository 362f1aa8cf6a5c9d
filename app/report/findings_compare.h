// An earlier run's findings.geojson, to tell this run's findings as new or
// unchanged and the earlier ones that are gone as fixed. A finding is the
// same when its check and OSM way(s) are the same and it lies within 5 m of
// the earlier one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "linvoro_types.h"

class TEarlierFindings {
 public:
  // The largest file read: the findings are held in memory for the run.
  static constexpr int64_t MaxFileSize = int64_t(512) << 20;
  static constexpr double SameWithinMetres = 5;

  // Reads path (findings.geojson of an earlier run). Throws an error that
  // names the file and says what to do when it cannot be read, is larger
  // than MaxFileSize or is not a findings file.
  explicit TEarlierFindings(const std::string& path);

  const std::string& Path() const { return FPath; }
  size_t Count() const { return FItems.size(); }

  // Whether an earlier finding is the same as this one; the first such is
  // taken, so that each earlier finding answers once.
  bool Match(std::string_view check, const std::vector<int64_t>& ways, const TFloatPoint* points, int32_t count);

  // Each earlier finding that was not matched, in file order: its check,
  // ways, points and the feature's text with "change":"fixed".
  struct TFixed {
    std::string_view Check;
    const std::vector<int64_t>& Ways;
    const std::vector<TFloatPoint>& Points;
    std::string_view Name;
    const std::string& Feature;
  };
  void ForEachFixed(const std::function<void(const TFixed&)>& f) const;

 private:
  struct TItem {
    std::string Check;
    std::vector<int64_t> Ways;  // sorted
    std::vector<TFloatPoint> Points;
    std::string Name;
    std::string Feature;  // as it goes into the new file
    bool Matched = false;
  };
  std::string FPath;
  std::vector<TItem> FItems;
  std::unordered_map<std::string, std::vector<size_t>> FByKey;  // check and ways
};

// The key of a finding for the comparison: its check and its sorted ways.
std::string FindingKey(std::string_view check, std::vector<int64_t> ways);
