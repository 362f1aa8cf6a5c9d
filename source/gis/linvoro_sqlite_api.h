// The SQLite entry points the GeoPackage writer and reader call directly,
// typed from SQLite's header. They are resolved from the GDAL library
// TGdalLibrary loaded (dlsym searches it and what it loaded), so they are
// the very SQLite instance GDAL runs on: two copies of SQLite writing one
// file in one process would not see each other's locks.
#pragma once

#include <sqlite3.h>

#define LINVORO_SQLITE_ENTRY_POINTS(X)                                                      \
  X(sqlite3_prepare_v2) X(sqlite3_finalize) X(sqlite3_reset) X(sqlite3_step)                \
  X(sqlite3_bind_null) X(sqlite3_bind_int64) X(sqlite3_bind_double) X(sqlite3_bind_text)    \
  X(sqlite3_bind_blob) X(sqlite3_errmsg) X(sqlite3_last_insert_rowid) X(sqlite3_exec)      \
  X(sqlite3_column_type) X(sqlite3_column_int64) X(sqlite3_column_double)                   \
  X(sqlite3_column_text) X(sqlite3_column_blob) X(sqlite3_column_bytes) X(sqlite3_errcode)

struct TSqliteApi {
#define LINVORO_SQLITE_MEMBER(name) decltype(&::name) name = nullptr;
  LINVORO_SQLITE_ENTRY_POINTS(LINVORO_SQLITE_MEMBER)
#undef LINVORO_SQLITE_MEMBER
};
