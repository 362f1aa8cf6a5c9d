// Sets how many threads a run's checks use (OSM2TRASSEL_CHECK_THREADS) for
// the life of the object, and restores what was set before.
#pragma once

#include <cstdlib>
#include <string>

class TCheckThreadsEnv {
 public:
  explicit TCheckThreadsEnv(int threads) {
    if (const char* v = std::getenv(kName)) {
      FHad = true;
      FOld = v;
    }
    setenv(kName, std::to_string(threads).c_str(), 1);
  }
  ~TCheckThreadsEnv() {
    if (FHad)
      setenv(kName, FOld.c_str(), 1);
    else
      unsetenv(kName);
  }
  TCheckThreadsEnv(const TCheckThreadsEnv&) = delete;
  TCheckThreadsEnv& operator=(const TCheckThreadsEnv&) = delete;

 private:
  static constexpr const char* kName = "OSM2TRASSEL_CHECK_THREADS";
  bool FHad = false;
  std::string FOld;
};
