#include "linvoro_gdal.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "linvoro_gdal_api.h"
#include "linvoro_sqlite_api.h"

#ifndef LINVORO_GDAL_LIBRARY
#define LINVORO_GDAL_LIBRARY "libgdal.so"
#endif

TGdalLibrary& TGdalLibrary::Instance() {
  static TGdalLibrary* library = new TGdalLibrary();  // lives as long as the library it binds
  return *library;
}

namespace {
std::mutex LoaderLock;
std::thread* Loader = nullptr;
// The process neither ends nor forks in the middle of the library's
// loading: a child would inherit the loader's locks held, and wait on them
// for ever.
void JoinLoader() {
  std::lock_guard<std::mutex> guard(LoaderLock);
  if (Loader && Loader->joinable()) Loader->join();
}
}  // namespace

bool TGdalLibrary::Available() {
  static const bool present = [] {
#ifdef LINVORO_GDAL_PATH
    if (access(LINVORO_GDAL_PATH, R_OK) != 0) return false;
    std::atexit(JoinLoader);
    pthread_atfork(JoinLoader, nullptr, nullptr);
    std::lock_guard<std::mutex> guard(LoaderLock);
    Loader = new std::thread([] { Instance(); });
    return true;
#else
    return false;
#endif
  }();
  return present || Instance().Ready();
}

TGdalLibrary::TGdalLibrary() {
  // RTLD_NODELETE: GDAL has exit handlers of its own and must outlive them.
  const int flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
  void* lib = dlopen(LINVORO_GDAL_LIBRARY, flags);
  if (!lib) lib = dlopen("libgdal.so", flags);
  if (!lib) {
    FProblem = "GeoPackage output needs GDAL (" LINVORO_GDAL_LIBRARY "), which is not installed";
    return;
  }
  auto* api = new TGdalApi();
  std::string missing;
#define LINVORO_GDAL_RESOLVE(name)                                              \
  api->name = reinterpret_cast<decltype(api->name)>(dlsym(lib, #name));          \
  if (!api->name) missing += missing.empty() ? #name : ", " #name;
  LINVORO_GDAL_ENTRY_POINTS(LINVORO_GDAL_RESOLVE)
#undef LINVORO_GDAL_RESOLVE
  if (!missing.empty()) {
    FProblem = "The installed GDAL lacks " + missing + ", which GeoPackage output needs";
    delete api;
    return;
  }
  // The rows go into the file through GDAL's own SQLite connection.
  auto* sqlite = new TSqliteApi();
#define LINVORO_SQLITE_RESOLVE(name)                                                \
  sqlite->name = reinterpret_cast<decltype(sqlite->name)>(dlsym(lib, #name));        \
  if (!sqlite->name) missing += missing.empty() ? #name : ", " #name;
  LINVORO_SQLITE_ENTRY_POINTS(LINVORO_SQLITE_RESOLVE)
#undef LINVORO_SQLITE_RESOLVE
  if (!missing.empty()) {
    FProblem = "The installed GDAL does not give access to its SQLite (" + missing +
               "), which GeoPackage output needs";
    delete api;
    delete sqlite;
    return;
  }
  api->GDALAllRegister();
  if (!api->GDALGetDriverByName("GPKG")) {
    FProblem = "The installed GDAL has no GeoPackage driver";
    delete api;
    delete sqlite;
    return;
  }
  FApi = api;
  FSqlite = sqlite;
  FReady = true;
}

std::string TGdalLibrary::TakeLastError() const {
  if (!FReady) return FProblem;
  const char* m = FApi->CPLGetLastErrorMsg();
  std::string r = m ? m : "";
  FApi->CPLErrorReset();
  return r;
}
