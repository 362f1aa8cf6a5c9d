// Shared pieces of the fuzz targets: a scratch folder per process, writing
// the input out as files, the container that carries several files in one
// input, the rule for which exceptions count as a clean rejection, and a
// whole conversion run under that rule.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "include_file.h"
#include "linvoro_types.h"
#include "run_driver.h"

namespace fuzz {


// A folder of this process's own, on a RAM disk where there is one. Removed
// at exit; emptied by Fresh() before every input so that no input sees the
// files of the one before.
class TScratch {
 public:
  explicit TScratch(const char* target) {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/" : "/tmp/";
    FDir = std::string(base) + "osm2trassel-fuzz-" + target + "-" + std::to_string(::getpid()) + "/";
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
  }
  ~TScratch() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  const std::string& Dir() const { return FDir; }
  std::string Path(const std::string& name) const { return FDir + name; }
  void Fresh() const {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(FDir, ec))
      std::filesystem::remove_all(e.path(), ec);
  }

 private:
  std::string FDir;
};

inline void WriteFile(const std::string& path, std::string_view bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::abort();
  }
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// The container: every part but the last is a 32-bit little-endian length
// followed by that many bytes (cut short at the end of the input); the last
// part is whatever remains. Missing parts are empty. scripts/fuzz_pack.py
// builds seeds in this form.
inline std::vector<std::string_view> Unpack(const uint8_t* data, size_t size, size_t parts) {
  std::vector<std::string_view> out;
  const char* p = reinterpret_cast<const char*>(data);
  size_t left = size;
  for (size_t i = 0; i + 1 < parts; ++i) {
    if (left < 4) {
      out.emplace_back();
      left = 0;
      continue;
    }
    uint32_t n;
    std::memcpy(&n, p, 4);
    p += 4;
    left -= 4;
    const size_t take = n < left ? n : left;
    out.emplace_back(p, take);
    p += take;
    left -= take;
  }
  out.emplace_back(p, left);
  return out;
}

// A reader meeting garbage must raise one of the library's own exceptions
// with a clear text. Anything else escaping is a finding: out of memory
// (an allocation sized from the input), or a standard-library error such as
// "stoi" or "vector::_M_range_check" that tells the user nothing.
[[noreturn]] inline void Finding(const char* what, const std::string& text) {
  std::fprintf(stderr, "\n==FUZZ FINDING== %s: %s\n", what, text.c_str());
  std::abort();
}

template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (const Exception&) {
    // a clean rejection
  } catch (const std::bad_alloc&) {
    Finding("allocation failed", "std::bad_alloc");
  } catch (const std::exception& e) {
    Finding("foreign exception", e.what());
  } catch (...) {
    Finding("foreign exception", "(not a std::exception)");
  }
}

// Message texts of standard-library exceptions, for code that catches every
// exception itself and hands back only the text (the run driver). Matched
// whole or at the start only: our own messages quote the input, and the
// fuzzer soon learns to put these words into it.
inline bool ForeignMessage(const std::string& m) {
  static const char* const whole[] = {"stoi", "stol", "stoll", "stoul", "stoull", "stof", "stod",
                                      "std::bad_alloc", "Out of memory", "bad_function_call",
                                      "bad optional access", "std::bad_cast", "unknown exception"};
  for (const char* w : whole)
    if (m == w) return true;
  static const char* const starts[] = {"vector::", "basic_string", "map::at", "deque::", "bitset::",
                                       "array::", "filesystem error", "std::"};
  for (const char* p : starts)
    if (m.rfind(p, 0) == 0) return true;
  return false;
}

// A conversion run with the include file delivered with the program. A run
// that fails must fail with a message of our own.
inline void RunChecked(const TRunOptions& o) {
  static const TIncludeLists include = [] {
    TIncludeLists l;
    l.LoadIncludeFile(std::string(PROJECT_DATA_DIR) + "/include.txt");
    return l;
  }();
  TNullRunUI ui;
  const TRunResult r = RunConversion(o, include, ui);
  if (r.Status == TRunStatus::rsFailed && ForeignMessage(r.Message)) Finding("run failed with a foreign error", r.Message);
}

}  // namespace fuzz
