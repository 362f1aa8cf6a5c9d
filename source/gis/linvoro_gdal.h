// GDAL's C interface, bound at run time. The GeoPackage writer and reader
// are its only users: the converter does not link GDAL, so that the
// command-line tool keeps starting without loading GDAL's hundred-odd
// libraries (a route is one process per query), and GeoPackage output is
// there exactly when the GDAL the TAB library also loads is installed.
//
// Only the entry points declared here are resolved; their types come from
// GDAL's own headers in linvoro_gdal.cpp, so a mismatch fails the build,
// not a run.
#pragma once

#include <cstdint>
#include <string>

using gdal_handle = void*;

struct TGdalApi;
struct TSqliteApi;

class TGdalLibrary {
 public:
  // The process's binding; the first call loads the library (the name the
  // build found, then "libgdal.so") and registers its drivers, or waits
  // for the loading Available started.
  static TGdalLibrary& Instance();
  // Whether GeoPackage output can be offered, without waiting for GDAL
  // where the library the build found is in its place: GDAL and the
  // hundred-odd libraries it needs take a tenth of a second and more to
  // load, which then goes on beside the run's reading of its input. A
  // library there but unusable is found at the first use of Instance,
  // with the same message.
  static bool Available();

  bool Ready() const { return FReady; }
  // Why the library is not usable, as a message for the user.
  const std::string& Problem() const { return FProblem; }
  // The resolved entry points; call only when Ready.
  const TGdalApi& Api() const { return *FApi; }
  // The SQLite GDAL runs on (linvoro_sqlite_api.h); call only when Ready.
  const TSqliteApi& Sqlite() const { return *FSqlite; }
  // GDAL's last error message, "" when it has none; resets it.
  std::string TakeLastError() const;

 private:
  TGdalLibrary();

  bool FReady = false;
  std::string FProblem;
  TGdalApi* FApi = nullptr;
  TSqliteApi* FSqlite = nullptr;
};
