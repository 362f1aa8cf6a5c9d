// Sets how many threads a run's checks use (OSM2TRASSEL_CHECK_THREADS), or
// its network import (OSM2TRASSEL_IMPORT_THREADS), for the life of the
// object, and restores what was set before.
#pragma once

#include <cstdlib>
#include <string>

class TThreadsEnv {
 public:
  TThreadsEnv(const char* name, int threads) : FName(name) {
    if (const char* v = std::getenv(FName)) {
      FHad = true;
      FOld = v;
    }
    setenv(FName, std::to_string(threads).c_str(), 1);
  }
  ~TThreadsEnv() {
    if (FHad)
      setenv(FName, FOld.c_str(), 1);
    else
      unsetenv(FName);
  }
  TThreadsEnv(const TThreadsEnv&) = delete;
  TThreadsEnv& operator=(const TThreadsEnv&) = delete;

 private:
  const char* FName;
  bool FHad = false;
  std::string FOld;
};

class TCheckThreadsEnv : public TThreadsEnv {
 public:
  explicit TCheckThreadsEnv(int threads) : TThreadsEnv("OSM2TRASSEL_CHECK_THREADS", threads) {}
};

class TImportThreadsEnv : public TThreadsEnv {
 public:
  explicit TImportThreadsEnv(int threads) : TThreadsEnv("OSM2TRASSEL_IMPORT_THREADS", threads) {}
};
