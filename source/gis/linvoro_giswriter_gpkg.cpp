// GeoPackage writer and layer reader on GDAL's GeoPackage driver and the
// SQLite it runs on.
#include "linvoro_giswriter_gpkg.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "linvoro_charset.h"
#include "linvoro_functions.h"
#include "linvoro_gdal.h"
#include "linvoro_gdal_api.h"
#include "linvoro_platform.h"
#include "linvoro_sqlite_api.h"

void RegisterGpkgWriter() {
  TGISWriter::RegisterWriter(
      gfGPKG, []() -> std::unique_ptr<TGISWriter> { return std::make_unique<TGISWriterGPKG>(); },
      []() { return TGdalLibrary::Available(); });
}

bool TGISWriter::GPKG_supported() { return TGdalLibrary::Available(); }
std::string TGISWriter::GPKGProblem() { return TGdalLibrary::Instance().Problem(); }

namespace {

const TGdalApi& Gdal() { return TGdalLibrary::Instance().Api(); }
const TSqliteApi& Sql3() { return TGdalLibrary::Instance().Sqlite(); }

// A prepared statement, finalized however its scope is left.
class TStatement {
 public:
  TStatement(sqlite3* db, const std::string& sql) {
    if (Sql3().sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &FStmt, nullptr) != SQLITE_OK)
      FStmt = nullptr;
  }
  ~TStatement() {
    if (FStmt) Sql3().sqlite3_finalize(FStmt);
  }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt* get() const { return FStmt; }
  explicit operator bool() const { return FStmt != nullptr; }
  // Steps a statement that returns no rows and makes it ready for the next
  // values; false when SQLite refused it.
  bool Run() {
    const int rc = Sql3().sqlite3_step(FStmt);
    Sql3().sqlite3_reset(FStmt);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
  }

 private:
  sqlite3_stmt* FStmt = nullptr;
};

// The first column of the first row of a query with an optional text
// parameter, "" for none.
std::string DbText(sqlite3* db, const std::string& sql, const std::string& param = std::string()) {
  TStatement st(db, sql);
  if (!st) return std::string();
  if (!param.empty()) Sql3().sqlite3_bind_text(st.get(), 1, param.c_str(), -1, SQLITE_TRANSIENT);
  std::string v;
  if (Sql3().sqlite3_step(st.get()) == SQLITE_ROW)
    if (const unsigned char* t = Sql3().sqlite3_column_text(st.get(), 0)) v = reinterpret_cast<const char*>(t);
  return v;
}

bool DbRun(sqlite3* db, const std::string& sql) {
  return Sql3().sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Room kept before a record's WKB for the GeoPackage blob header: magic,
// version, flags, SRS id and an xy envelope.
constexpr size_t GpHeaderRoom = 40;

// GDAL's own messages go nowhere while we call it: its failures come back
// as return codes, and are reported with the file they concern.
class TQuietGdal {
 public:
  TQuietGdal() { Gdal().CPLPushErrorHandler(Gdal().CPLQuietErrorHandler); }
  ~TQuietGdal() { Gdal().CPLPopErrorHandler(); }
  TQuietGdal(const TQuietGdal&) = delete;
  TQuietGdal& operator=(const TQuietGdal&) = delete;
};

std::string LastGdalError() {
  std::string m = TGdalLibrary::Instance().TakeLastError();
  return m.empty() ? std::string() : ": " + m;
}

inline void PutLE32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
  v[at + 2] = static_cast<uint8_t>(x >> 16);
  v[at + 3] = static_cast<uint8_t>(x >> 24);
}

// A WKB header: little-endian mark, type, and a count (points, rings or
// parts) filled in later.
size_t AppendWkbHeader(std::vector<uint8_t>& v, uint32_t type) {
  const size_t at = v.size();
  v.resize(at + 9);
  v[at] = 1;
  PutLE32(v, at + 1, type);
  PutLE32(v, at + 5, 0);
  return at;
}

// The 2D kind of a geometry type (without Z or M, in either numbering);
// GDAL's macro for it calls into the library.
OGRwkbGeometryType FlatType(OGRwkbGeometryType t) {
  return static_cast<OGRwkbGeometryType>((static_cast<uint32_t>(t) & 0x7FFFFFFFu) % 1000u);
}

void AppendPoints(std::vector<uint8_t>& v, const TFloatPoint* p, size_t n) {
  static_assert(sizeof(TFloatPoint) == 16, "points are copied as x, y double pairs");
  const size_t at = v.size();
  v.resize(at + 16 * n);
  std::memcpy(v.data() + at, p, 16 * n);
}

// text quoted for SQL between q (' for a value, " for a name).
std::string SqlQuoted(const std::string& text, char q) {
  std::string r(1, q);
  for (char c : text) {
    r += c;
    if (c == q) r += c;
  }
  return r + q;
}

// The first column of the first row of a query through GDAL (which knows
// its own SQL functions), "" for none.
std::string GdalSqlText(GDALDatasetH ds, const std::string& sql) {
  std::string v;
  if (OGRLayerH r = Gdal().GDALDatasetExecuteSQL(ds, sql.c_str(), nullptr, nullptr)) {
    if (OGRFeatureH f = Gdal().OGR_L_GetNextFeature(r)) {
      if (Gdal().OGR_F_IsFieldSetAndNotNull(f, 0)) v = Gdal().OGR_F_GetFieldAsString(f, 0);
      Gdal().OGR_F_Destroy(f);
    }
    Gdal().GDALDatasetReleaseResultSet(ds, r);
  }
  return v;
}

// SQLite's R-tree keeps 32-bit floats, a box's low ends rounded down and its
// high ends up, so that it holds the exact box.
float FloatDown(double d) {
  float f = static_cast<float>(d);
  if (static_cast<double>(f) > d) f = std::nextafter(f, -HUGE_VALF);
  return f;
}
float FloatUp(double d) {
  float f = static_cast<float>(d);
  if (static_cast<double>(f) < d) f = std::nextafter(f, HUGE_VALF);
  return f;
}

void PutBE(std::string& out, uint64_t x, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((x >> (8 * i)) & 0xFF);
}

}  // namespace

// ---------------------------------------------------------------- shared datasets

// One record handed to the writing thread: its values already converted
// (numbers parsed and rounded, text cut and made UTF-8), its geometry as WKB.
struct TGpkgCell {
  enum TKind : uint8_t { ckNull, ckInteger, ckReal, ckText } Kind = ckNull;
  int64_t Integer = 0;
  double Real = 0;
  size_t Text = 0;  // offset in TGpkgRow::Text, NUL-terminated there
};

struct TGpkgRow {
  TGISWriterGPKG* Writer = nullptr;
  int64_t Record = 0;  // its number in the table, for messages
  std::vector<TGpkgCell> Cells;
  std::string Text;
  std::vector<uint8_t> Wkb;  // the GeoPackage blob from WkbStart, none when empty
  size_t WkbStart = 0;
  bool HasBox = false;  // a geometry with points: its envelope
  double Box[4] = {0, 0, 0, 0};  // min x, max x, min y, max y
};

// A GeoPackage being written: one thread owns its GDAL dataset and makes
// every call on it, taking records from a bounded queue, so that SQLite's
// work (inserts, the R-tree, commits) runs beside the work that makes the
// records, and tables written from several threads go in through one
// writer. Each table's records go in the order they were handed over.
struct TGpkgDataset {
  // Records waiting at most: about a batch of commits' worth, a few MB.
  static constexpr size_t MaxWaiting = 4096;
  static constexpr size_t MaxWaitingBytes = size_t{32} << 20;
  // The writing thread is woken when this many records wait (or for a call
  // that waits for its answer): waking it per record would cost more than
  // writing the record.
  static constexpr size_t WakeAt = 256;

  std::string Path;
  GDALDatasetH Handle = nullptr;
  sqlite3* Db = nullptr;  // GDAL's connection to the file
  // The writing thread's own.
  int64_t Pending = 0;
  bool InTransaction = false;
  std::vector<TGpkgRow> Written;  // records in, their buffers to go round

  TGpkgDataset(GDALDatasetH h, sqlite3* db, std::string path) : Path(std::move(path)), Handle(h), Db(db) {
    FThread = std::thread([this] { Loop(); });
  }
  ~TGpkgDataset() { Stop(); }
  TGpkgDataset(const TGpkgDataset&) = delete;
  TGpkgDataset& operator=(const TGpkgDataset&) = delete;

  // Queues a record, and gives row the buffers of one written already (the
  // records' memory goes round rather than to the allocator twice a
  // record, on two threads); waits while the queue is full. Raises the
  // failure of an earlier record of this file, if any.
  void Post(TGpkgRow& row);
  // Runs fn on the writing thread after everything queued before it, and
  // waits for it; raises what fn raised.
  void Call(const std::function<void()>& fn);
  // Raises the failure of a record written in the background, if any; it
  // stays, every later check of this file raises it again.
  void ThrowIfFailed();
  bool Failed() {
    std::lock_guard<std::mutex> lock(FLock);
    return !FFailure.empty();
  }
  // Ends the writing thread once the queue is empty.
  void Stop();

  // Writing thread only.
  void Commit() {
    if (!InTransaction) return;
    InTransaction = false;
    Pending = 0;
    if (Gdal().GDALDatasetCommitTransaction(Handle) != OGRERR_NONE)
      throw EWriteError("Cannot write " + Path + LastGdalError());
  }
  void Begin() {
    if (InTransaction) return;
    if (Gdal().GDALDatasetStartTransaction(Handle, FALSE) != OGRERR_NONE)
      throw EWriteError("Cannot write " + Path + LastGdalError());
    InTransaction = true;
  }
  void Counted(int64_t rows) {
    Pending += rows;
    if (Pending >= TGISWriterGPKG::TransactionSize) Commit();
  }

 private:
  struct TTask {
    TGpkgRow Row;
    const std::function<void()>* Fn = nullptr;  // a call, else a record
    bool* Done = nullptr;
    std::exception_ptr* Error = nullptr;
  };
  void Loop();
  static size_t Bytes(const TGpkgRow& r) {
    return r.Wkb.size() + r.Text.size() + r.Cells.size() * sizeof(TGpkgCell) + sizeof(TTask);
  }

  std::mutex FLock;
  std::condition_variable FWork, FRoom;
  std::deque<TTask> FQueue;
  std::vector<TGpkgRow> FSpare;
  size_t FQueuedBytes = 0;
  bool FQuit = false;
  std::string FFailure;
  std::thread FThread;
};

void TGpkgDataset::Post(TGpkgRow& row) {
  const size_t bytes = Bytes(row);
  bool wake = false;
  {
    std::unique_lock<std::mutex> lock(FLock);
    FRoom.wait(lock, [&] {
      return !FFailure.empty() || FQueue.empty() ||
             (FQueue.size() < MaxWaiting && FQueuedBytes + bytes <= MaxWaitingBytes);
    });
    if (!FFailure.empty()) throw EWriteError(FFailure);
    FQueue.emplace_back();
    FQueue.back().Row = std::move(row);
    if (!FSpare.empty()) {
      row = std::move(FSpare.back());
      FSpare.pop_back();
    }
    FQueuedBytes += bytes;
    wake = FQueue.size() >= WakeAt || FQueuedBytes >= MaxWaitingBytes / 2;
  }
  if (wake) FWork.notify_one();
}

void TGpkgDataset::Call(const std::function<void()>& fn) {
  bool done = false;
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FQueue.emplace_back();
    TTask& t = FQueue.back();
    t.Fn = &fn;
    t.Done = &done;
    t.Error = &error;
  }
  FWork.notify_one();
  {
    std::unique_lock<std::mutex> lock(FLock);
    FRoom.wait(lock, [&] { return done; });
  }
  if (error) std::rethrow_exception(error);
}

void TGpkgDataset::ThrowIfFailed() {
  std::lock_guard<std::mutex> lock(FLock);
  if (!FFailure.empty()) throw EWriteError(FFailure);
}

void TGpkgDataset::Stop() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FQuit = true;
  }
  FWork.notify_one();
  if (FThread.joinable()) FThread.join();
}

void TGpkgDataset::Loop() {
  // GDAL's error handlers are the thread's own: this one stays quiet for
  // all the thread's calls. The layers' creation options are always the
  // same valid ones: GDAL need not check them against its XML list of them
  // (parsed anew for each layer).
  TQuietGdal quiet;
  Gdal().CPLSetThreadLocalConfigOption("GDAL_VALIDATE_CREATION_OPTIONS", "NO");
  bool failed = false;
  std::deque<TTask> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FLock);
      FWork.wait(lock, [&] { return FQuit || !FQueue.empty(); });
      if (FQueue.empty()) return;
      batch.swap(FQueue);
      FQueuedBytes = 0;
    }
    FRoom.notify_all();
    for (TTask& t : batch) {
      if (t.Fn) {
        try {
          (*t.Fn)();
        } catch (...) {
          *t.Error = std::current_exception();
        }
        {
          std::lock_guard<std::mutex> lock(FLock);
          *t.Done = true;
        }
        FRoom.notify_all();
        continue;
      }
      // Records after a failed one are not written: the run ends with the
      // failure, at the next record handed over or the table's close.
      if (failed) continue;
      try {
        t.Row.Writer->Insert(t.Row);
      } catch (const Exception& e) {
        failed = true;
        std::lock_guard<std::mutex> lock(FLock);
        FFailure = e.Message();
      } catch (const std::exception& e) {
        failed = true;
        std::lock_guard<std::mutex> lock(FLock);
        FFailure = "Cannot write " + Path + ": " + e.what();
      }
      if (failed) FRoom.notify_all();
    }
    batch.clear();
    if (!Written.empty()) {
      std::lock_guard<std::mutex> lock(FLock);
      for (TGpkgRow& r : Written)
        if (FSpare.size() < MaxWaiting) FSpare.push_back(std::move(r));
    }
    Written.clear();
  }
}

namespace {

std::mutex& RegistryLock() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::weak_ptr<TGpkgDataset>>& Registry() {
  static auto* r = new std::map<std::string, std::weak_ptr<TGpkgDataset>>();
  return *r;
}

std::string RegistryKey(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

std::shared_ptr<TGpkgDataset> AcquireDataset(const std::string& path) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  const std::string key = RegistryKey(path);
  if (std::shared_ptr<TGpkgDataset> d = Registry()[key].lock()) return d;
  const TGdalLibrary& lib = TGdalLibrary::Instance();
  if (!lib.Ready()) throw Exception(lib.Problem());
  TQuietGdal quiet;
  // The file's own durability is not worth a sync per transaction: a run
  // that breaks off is run again.
  Gdal().CPLSetThreadLocalConfigOption("OGR_SQLITE_SYNCHRONOUS", "OFF");
  Gdal().CPLSetThreadLocalConfigOption("GDAL_VALIDATE_CREATION_OPTIONS", "NO");
  GDALDatasetH h = nullptr;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    const char* const drivers[] = {"GPKG", nullptr};
    h = Gdal().GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers, nullptr, nullptr);
    if (!h)
      throw EWriteError("Cannot open " + FullPath(path) + " as a GeoPackage" + LastGdalError() +
                        "; remove it or choose another output folder");
  } else {
    GDALDriverH drv = Gdal().GDALGetDriverByName("GPKG");
    h = Gdal().GDALCreate(drv, path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (!h) throw EWriteError("Cannot create " + FullPath(path) + LastGdalError());
  }
  Gdal().CPLSetThreadLocalConfigOption("OGR_SQLITE_SYNCHRONOUS", nullptr);
  Gdal().CPLSetThreadLocalConfigOption("GDAL_VALIDATE_CREATION_OPTIONS", nullptr);
  auto* db = static_cast<sqlite3*>(Gdal().GDALGetInternalHandle(h, "SQLITE_HANDLE"));
  if (!db) {
    Gdal().GDALClose(h);
    throw EWriteError("Cannot write " + FullPath(path) + ": the installed GDAL does not share its SQLite connection");
  }
  auto d = std::make_shared<TGpkgDataset>(h, db, FullPath(path));
  Registry()[key] = d;
  return d;
}

// Gives up the writer's share; the last one completes and closes the file.
void ReleaseDataset(std::shared_ptr<TGpkgDataset>& d) {
  if (!d) return;
  std::lock_guard<std::mutex> guard(RegistryLock());
  std::shared_ptr<TGpkgDataset> mine = std::move(d);
  if (mine.use_count() > 1) return;
  Registry().erase(RegistryKey(mine->Path));
  std::string failure;
  // What was queued goes in first; a record that failed is the failure.
  mine->Call([&] {
    try {
      mine->Commit();
    } catch (const Exception& e) {
      failure = e.Message();
    }
    Gdal().CPLErrorReset();
    Gdal().GDALClose(mine->Handle);
    mine->Handle = nullptr;
    mine->Db = nullptr;
    if (failure.empty() && Gdal().CPLGetLastErrorType() >= CE_Failure)
      failure = "Cannot complete " + mine->Path + LastGdalError();
  });
  mine->Stop();
  mine->ThrowIfFailed();
  if (!failure.empty()) throw EWriteError(failure);
}

}  // namespace

// ---------------------------------------------------------------- a layer from GeoJSON

namespace {
void CopyGeoJsonLayer(TGpkgDataset& dataset, const std::string& layer, const std::string& geojsonPath);
}

void AddGpkgLayerFromGeoJson(const std::string& gpkgPath, const std::string& layer,
                             const std::string& geojsonPath) {
  std::shared_ptr<TGpkgDataset> d = AcquireDataset(gpkgPath);
  try {
    d->Call([&] { CopyGeoJsonLayer(*d, layer, geojsonPath); });
  } catch (...) {
    try {
      ReleaseDataset(d);
    } catch (...) {
    }
    throw;
  }
  ReleaseDataset(d);
}

namespace {

// On the dataset's writing thread.
void CopyGeoJsonLayer(TGpkgDataset& dataset, const std::string& layer, const std::string& geojsonPath) {
  TGpkgDataset* d = &dataset;
  {
    d->Commit();
    const TGdalApi& g = Gdal();
    const char* const drivers[] = {"GeoJSON", nullptr};
    // Arrays as their JSON text, which a column can hold.
    const char* const open[] = {"ARRAY_AS_STRING=YES", nullptr};
    GDALDatasetH src = g.GDALOpenEx(geojsonPath.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers, open, nullptr);
    OGRLayerH from = src ? g.GDALDatasetGetLayer(src, 0) : nullptr;
    if (!from) {
      const std::string why = LastGdalError();
      if (src) g.GDALClose(src);
      throw EReadError("Cannot read " + FullPath(geojsonPath) + why);
    }
    GDALDatasetH ds = d->Handle;
    bool ok = true;
    for (int i = g.GDALDatasetGetLayerCount(ds) - 1; i >= 0; --i) {
      OGRLayerH l = g.GDALDatasetGetLayer(ds, i);
      if (l && layer == g.OGR_L_GetName(l)) {
        ok = g.GDALDatasetDeleteLayer(ds, i) == OGRERR_NONE;
        break;
      }
    }
    OGRSpatialReferenceH srs = g.OSRNewSpatialReference(nullptr);
    g.OSRImportFromEPSG(srs, 4326);  // GeoJSON's
    const char* options[] = {"GEOMETRY_NAME=geom", "FID=fid", "SPATIAL_INDEX=YES", nullptr};
    OGRLayerH to = ok ? g.GDALDatasetCreateLayer(ds, layer.c_str(), srs, wkbUnknown, const_cast<char**>(options))
                      : nullptr;
    g.OSRRelease(srs);
    ok = to != nullptr;
    // SQLite's column names ignore letter case: a property whose name
    // differs from another's only in case ("link" beside a table's "Link",
    // which holds the same link) shares its column.
    OGRFeatureDefnH fromDefn = g.OGR_L_GetLayerDefn(from);
    const int fields = g.OGR_FD_GetFieldCount(fromDefn);
    std::vector<int> map(static_cast<size_t>(fields), -1);
    for (int i = 0; ok && i < fields; ++i) {
      OGRFieldDefnH fd = g.OGR_FD_GetFieldDefn(fromDefn, i);
      const char* name = g.OGR_Fld_GetNameRef(fd);
      int k = g.OGR_FD_GetFieldIndex(g.OGR_L_GetLayerDefn(to), name);
      if (k < 0) {
        ok = g.OGR_L_CreateField(to, fd, TRUE) == OGRERR_NONE;
        k = g.OGR_FD_GetFieldIndex(g.OGR_L_GetLayerDefn(to), name);
      }
      map[static_cast<size_t>(i)] = k;
    }
    // One transaction: SQLite would otherwise commit every feature.
    ok = ok && g.GDALDatasetStartTransaction(ds, FALSE) == OGRERR_NONE;
    if (ok) {
      g.OGR_L_ResetReading(from);
      while (ok) {
        OGRFeatureH f = g.OGR_L_GetNextFeature(from);
        if (!f) break;
        // A fresh feature each time: no value of the last one stays, and
        // the layer numbers it.
        OGRFeatureH out = g.OGR_F_Create(g.OGR_L_GetLayerDefn(to));
        ok = g.OGR_F_SetFromWithMap(out, f, TRUE, map.data()) == OGRERR_NONE &&
             g.OGR_L_CreateFeature(to, out) == OGRERR_NONE;
        g.OGR_F_Destroy(out);
        g.OGR_F_Destroy(f);
      }
      ok = ok ? g.GDALDatasetCommitTransaction(ds) == OGRERR_NONE
              : (g.GDALDatasetRollbackTransaction(ds), false);
    }
    const std::string why = ok ? std::string() : LastGdalError();
    g.GDALClose(src);
    if (!ok) throw EWriteError("Cannot write the layer " + layer + " of " + d->Path + why);
  }
}

}  // namespace

// ---------------------------------------------------------------- TGISWriterGPKG

TGISWriterGPKG::TGISWriterGPKG() { FCodepage = 65001; }

TGISWriterGPKG::~TGISWriterGPKG() {
  // Gone while an exception ends the run: a stopped or failed run.
  if (std::uncaught_exceptions() > 0) FUnfinished = true;
  try {
    Close();
  } catch (...) {
  }
}

std::string TGISWriterGPKG::DatasetPath(const std::string& fileName) {
  const size_t slash = fileName.rfind('/');
  return (slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1)) + GpkgFileName;
}

std::string TGISWriterGPKG::LayerName(const std::string& fileName) {
  const size_t slash = fileName.rfind('/');
  return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

void TGISWriterGPKG::Fail(const std::string& what) const {
  throw EWriteError(what + " of table " + LayerName(FFileName) + " in " + DatasetPath(FFileName) +
                    LastGdalError());
}

void TGISWriterGPKG::FailSql(const std::string& what) const {
  const char* m = FDataset && FDataset->Db ? Sql3().sqlite3_errmsg(FDataset->Db) : nullptr;
  throw EWriteError(what + " of table " + LayerName(FFileName) + " in " + DatasetPath(FFileName) +
                    (m && *m ? std::string(": ") + m : std::string()));
}

void TGISWriterGPKG::StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) {
  if (FDataset) Close();
  TGISWriter::StartHeader(NumFields, ObjectTypes);
  FWrittenRecords = 0;
  FColumn.assign(static_cast<size_t>(NumFields) + 1, -1);
  FDataset = AcquireDataset(DatasetPath(FFileName));
  FLayerCreated = false;
  // The layer is created once its fields are known; a table of no fields
  // has it at once.
  if (NumFields == 0) CreateLayer();
}

void TGISWriterGPKG::CreateLayer() {
  FDataset->Call([this] { CreateLayerHere(); });
}

void TGISWriterGPKG::CreateLayerHere() {
  FDataset->Commit();
  GDALDatasetH ds = FDataset->Handle;
  const std::string name = LayerName(FFileName);
  // A table written again replaces its layer.
  for (int i = Gdal().GDALDatasetGetLayerCount(ds) - 1; i >= 0; --i) {
    OGRLayerH l = Gdal().GDALDatasetGetLayer(ds, i);
    if (l && name == Gdal().OGR_L_GetName(l)) {
      if (Gdal().GDALDatasetDeleteLayer(ds, i) != OGRERR_NONE) Fail("Cannot replace the layer");
      break;
    }
  }
  OGRwkbGeometryType type = wkbNone;
  switch (FObjectTypes) {
    case otPline: type = wkbLineString; break;
    case otRegion: type = wkbPolygon; break;
    case otPoint: type = wkbPoint; break;
    default: break;
  }
  OGRSpatialReferenceH srs = nullptr;
  if (type != wkbNone) {
    srs = Gdal().OSRNewSpatialReference(nullptr);
    Gdal().OSRImportFromEPSG(srs, Fepsg > 0 ? Fepsg : DefaultEPSG);
  }
  // Not GDAL's R-tree, built by inserts when the file closes: this one is
  // made below and packed at the table's close (FillRTree).
  const char* options[] = {"GEOMETRY_NAME=geom", "FID=fid", "SPATIAL_INDEX=NO", nullptr};
  FLayer = Gdal().GDALDatasetCreateLayer(ds, name.c_str(), srs, type, const_cast<char**>(options));
  if (srs) Gdal().OSRRelease(srs);
  if (!FLayer) Fail("Cannot create the layer");
  FRTree.clear();
  FSpatial = type != wkbNone;
  if (FSpatial && GdalSqlText(ds, "SELECT CreateSpatialIndex(" + SqlQuoted(name, '\'') + ", 'geom')") != "1")
    Fail("Cannot create the spatial index");
  for (int32_t i = 1; i <= FNumFields; ++i) {
    const TFieldInfo& f = FFieldInfo[i];
    OGRFieldType t = OFTString;
    OGRFieldSubType sub = OFSTNone;
    int width = 0, precision = 0;
    switch (f.FieldType) {
      // Small integers hold unsigned 16-bit values here (attribute), past
      // what OGR's Int16 subtype takes.
      case gfInteger: case gfSmallInt: t = OFTInteger; break;
      case gfInt64: t = OFTInteger64; break;
      case gfDecimal:
        if (f.decimals == 0 && f.Width < 10) {
          t = OFTInteger;
        } else {
          t = OFTReal;
          width = f.Width;
          precision = f.decimals;
        }
        break;
      case gfFloat: t = OFTReal; break;
      case gfDate: t = OFTDate; break;
      case gfLogical: t = OFTInteger; sub = OFSTBoolean; break;
      default: width = f.Width; break;  // characters, times and date-times as text
    }
    OGRFieldDefnH fd = Gdal().OGR_Fld_Create(f.Name.c_str(), t);
    if (width > 0) Gdal().OGR_Fld_SetWidth(fd, width);
    if (precision > 0) Gdal().OGR_Fld_SetPrecision(fd, precision);
    if (sub != OFSTNone) Gdal().OGR_Fld_SetSubType(fd, sub);
    const OGRErr e = Gdal().OGR_L_CreateField(FLayer, fd, TRUE);
    Gdal().OGR_Fld_Destroy(fd);
    if (e != OGRERR_NONE) Fail("Cannot create field " + f.Name);
    FColumn[i] = i - 1;
  }
  // GDAL makes the table itself at its first row or here.
  if (Gdal().OGR_L_SyncToDisk(FLayer) != OGRERR_NONE) Fail("Cannot create the layer");
  FLayerCreated = true;
  sqlite3* db = FDataset->Db;
  // The SRS id GDAL gave the layer, for the rows' blobs.
  if (FSpatial) {
    FSrsId = static_cast<int32_t>(std::atol(
        DbText(db, "SELECT srs_id FROM gpkg_geometry_columns WHERE lower(table_name) = lower(?)", name).c_str()));
    if (FSrsId == 0 && DbText(db, "SELECT count(*) FROM gpkg_geometry_columns WHERE lower(table_name) = lower(?)",
                              name) != "1")
      FailSql("Cannot create the layer");
  }
  // SQLite's R*Tree takes its entries one by one, a search from the root
  // and a split now and then for each, which cost more than the rows
  // themselves: the insert trigger is left out while the table is written,
  // and the tree is packed from all the entries at its close. GDAL's
  // feature count is set once at the close too.
  FHeldTriggers.clear();
  FCountTrigger = false;
  for (const std::string& trigger : {"rtree_" + name + "_geom_insert", "trigger_insert_feature_count_" + name}) {
    const std::string sql = DbText(db, "SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = ?", trigger);
    if (sql.empty()) {
      if (FSpatial && trigger[0] == 'r') Fail("Cannot create the spatial index");
      continue;
    }
    if (!DbRun(db, "DROP TRIGGER " + SqlQuoted(trigger, '"'))) FailSql("Cannot create the layer");
    FHeldTriggers.emplace_back(trigger, sql);
    if (trigger[0] == 't') FCountTrigger = true;
  }
  // The layer's columns under the names GDAL gave them.
  const char* fid = Gdal().OGR_L_GetFIDColumn(FLayer);
  std::string columns = SqlQuoted(fid && *fid ? fid : "fid", '"'), values = "?";
  OGRFeatureDefnH defn = Gdal().OGR_L_GetLayerDefn(FLayer);
  if (FSpatial) columns += ",\"geom\"", values += ",?";
  for (int i = 0, n = Gdal().OGR_FD_GetFieldCount(defn); i < n; ++i) {
    columns += "," + SqlQuoted(Gdal().OGR_Fld_GetNameRef(Gdal().OGR_FD_GetFieldDefn(defn, i)), '"');
    values += ",?";
  }
  const std::string head = "INSERT INTO " + SqlQuoted(name, '"') + " (" + columns + ") VALUES ";
  std::string many = head;
  for (size_t i = 0; i < BatchRows; ++i) many += (i ? ",(" : "(") + values + ")";
  for (auto [sql, to] : {std::pair{head + "(" + values + ")", &FInsert}, std::pair{many, &FInsertMany}}) {
    sqlite3_stmt* st = nullptr;
    if (Sql3().sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK) {
      if (st) Sql3().sqlite3_finalize(st);
      FailSql("Cannot create the layer");
    }
    *to = st;
  }
  FPendingRows.clear();
  FNextFid = 1;
  FRowsIn = 0;
  FHasExtent = false;
}

void TGISWriterGPKG::AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                              uint8_t decimals) {
  if (Width == 255) Width = 254;
  // Floats keep the decimals the dBASE form gives them when none are
  // declared, so that both hold the same values.
  if (Field == gfFloat && decimals == 0) decimals = 8;
  TGISWriter::AddField(FieldName, Field, Width, decimals);
  if (FWrittenFields == FNumFields && FDataset) CreateLayer();
}

void TGISWriterGPKG::SetValues(TGpkgRow& row) {
  row.Cells.assign(static_cast<size_t>(FNumFields), TGpkgCell{});
  row.Text.clear();
  auto text = [&row](TGpkgCell& c, std::string_view t) {
    c.Kind = TGpkgCell::ckText;
    c.Text = row.Text.size();
    row.Text.append(t).push_back(0);
  };
  for (int32_t i = 1; i <= FNumFields; ++i) {
    const TFieldInfo& f = FFieldInfo[i];
    const std::string_view v = FValues[i - 1];
    TGpkgCell& c = row.Cells[static_cast<size_t>(FColumn[i])];
    switch (f.FieldType) {
      case gfInteger:
      case gfSmallInt:
      case gfInt64: {
        int64_t x = 0;
        const auto r = std::from_chars(v.data(), v.data() + v.size(), x);
        if (v.empty())
          c.Kind = TGpkgCell::ckNull;
        else if (r.ec == std::errc() && r.ptr == v.data() + v.size())
          c.Kind = TGpkgCell::ckInteger, c.Integer = x;
        else
          c.Kind = TGpkgCell::ckInteger, c.Integer = static_cast<int64_t>(NumericPrefix(v));
        // A 32-bit column holds the nearest value it can, as OGR sets it.
        if (c.Kind == TGpkgCell::ckInteger && f.FieldType != gfInt64)
          c.Integer = std::clamp<int64_t>(c.Integer, INT32_MIN, INT32_MAX);
        break;
      }
      case gfDecimal:
      case gfFloat: {
        if (v.empty()) {
          c.Kind = TGpkgCell::ckNull;
          break;
        }
        // The value the fixed text of the other formats holds, rounded to
        // the field's decimals the same way.
        char buf[72];
        FormatFixed(buf, 70, f.decimals, NumericPrefix(v));
        buf[70] = 0;
        const double x = std::strtod(buf, nullptr);
        if (f.decimals == 0 && f.Width < 10 && f.FieldType == gfDecimal)
          c.Kind = TGpkgCell::ckInteger, c.Integer = static_cast<int64_t>(x);
        else
          c.Kind = TGpkgCell::ckReal, c.Real = x;
        break;
      }
      case gfLogical:
        c.Kind = TGpkgCell::ckInteger, c.Integer = LogicalValue(v) ? 1 : 0;
        break;
      case gfDate:
        if (v.size() == 8) {
          FText.assign(v.substr(0, 4)).append("-").append(v.substr(4, 2)).append("-").append(v.substr(6, 2));
          text(c, FText);
        } else {
          c.Kind = TGpkgCell::ckNull;
        }
        break;
      default: {
        const size_t chars = f.Width > 0 ? f.Width : SIZE_MAX;
        if (IsValidUtf8(v)) {
          FText.assign(v.size() <= chars ? v : v.substr(0, CodePageCutPoint(v, 65001, chars, SIZE_MAX)));
        } else {
          // Malformed bytes become U+FFFD: a GeoPackage holds UTF-8 only.
          FText = Utf8ToCodePage(v, 65001);
          FText.resize(CodePageCutPoint(FText, 65001, chars, SIZE_MAX));
        }
        text(c, FText);
        break;
      }
    }
  }
}

void TGISWriterGPKG::WriteObject(int32_t NumParts, std::string_view Attrib) {
  if (!FLayer) {
    TGISWriter::WriteObject(NumParts, Attrib);
    return;
  }
  FAttrib.assign(Attrib);
  SplitAttrib(FAttrib);
  TGISWriter::WriteObject(NumParts, FAttrib);
  FPartsWanted = NumParts;
  FWkb.assign(GpHeaderRoom, 0);
  FPartStart.clear();
  FPoints = 0;
  if (NumParts == 0 || FObjectTypes == otNone) {
    FNumParts = FWrittenParts = 0;
    WriteFeature();
  }
}

void TGISWriterGPKG::WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) {
  TGISWriter::WriteSection(Index, SegList);
  if (!FLayer) return;
  auto n = static_cast<size_t>(SegList.Count);
  if (FObjectTypes == otPoint) {
    if (FPartStart.empty()) {
      FPartStart.push_back(AppendWkbHeader(FWkb, wkbPoint));
      FWkb.resize(FWkb.size() - 4);  // a point has no count
      AppendPoints(FWkb, SegList.Pnt.data(), 1);
      n = 1;
    } else {
      n = 0;
    }
  } else if (FObjectTypes == otRegion) {
    if (FPartStart.empty()) FPartStart.push_back(AppendWkbHeader(FWkb, wkbPolygon));
    const size_t at = FWkb.size();
    FWkb.resize(at + 4);
    PutLE32(FWkb, at, static_cast<uint32_t>(n));
    AppendPoints(FWkb, SegList.Pnt.data(), n);
    PutLE32(FWkb, GpHeaderRoom + 5, static_cast<uint32_t>(FWrittenParts));
  } else {
    // Room for a multi-line header first; a one-part record skips it.
    if (FPartStart.empty()) AppendWkbHeader(FWkb, wkbMultiLineString);
    const size_t at = AppendWkbHeader(FWkb, wkbLineString);
    FPartStart.push_back(at);
    PutLE32(FWkb, at + 5, static_cast<uint32_t>(n));
    AppendPoints(FWkb, SegList.Pnt.data(), n);
  }
  // The envelope, for the blob's header, the R-tree and the layer's extent.
  for (size_t i = 0; i < n; ++i) {
    const TFloatPoint& p = SegList.Pnt[i];
    if (FPoints++ == 0) {
      FEnv[0] = FEnv[1] = p.x;
      FEnv[2] = FEnv[3] = p.y;
    } else {
      FEnv[0] = std::min(FEnv[0], p.x);
      FEnv[1] = std::max(FEnv[1], p.x);
      FEnv[2] = std::min(FEnv[2], p.y);
      FEnv[3] = std::max(FEnv[3], p.y);
    }
  }
  if (RecordComplete()) WriteFeature();
}

void TGISWriterGPKG::WriteFeature() {
  if (!FRow) FRow = std::make_unique<TGpkgRow>();
  TGpkgRow& row = *FRow;
  row.Writer = this;
  row.Record = FWrittenRecords + 1;
  row.WkbStart = 0;
  row.HasBox = false;
  SetValues(row);
  if (FWkb.size() > GpHeaderRoom) {
    size_t wkb = GpHeaderRoom;
    if (FObjectTypes == otPline) {
      if (FPartStart.size() == 1)
        wkb += 9;  // a one-part line skips the multi-line header
      else
        PutLE32(FWkb, GpHeaderRoom + 5, static_cast<uint32_t>(FPartStart.size()));
    }
    // The GeoPackage blob header as GDAL writes it: little-endian, an xy
    // envelope for all but points. A section has a point at least, so no
    // geometry is empty.
    const bool envelope = FObjectTypes != otPoint;
    const size_t at = wkb - (envelope ? 40 : 8);
    FWkb[at] = 'G';
    FWkb[at + 1] = 'P';
    FWkb[at + 2] = 0;
    FWkb[at + 3] = static_cast<uint8_t>(envelope ? 3 : 1);
    PutLE32(FWkb, at + 4, static_cast<uint32_t>(FSrsId));
    if (envelope) std::memcpy(FWkb.data() + at + 8, FEnv, 32);
    row.WkbStart = at;
    row.HasBox = FPoints > 0;
    std::copy(FEnv, FEnv + 4, row.Box);
  }
  row.Wkb.swap(FWkb);
  FDataset->Post(row);
  ++FWrittenRecords;
}

void TGISWriterGPKG::Insert(TGpkgRow& row) {
  if (!FInsert) Fail("Cannot write record " + std::to_string(row.Record));
  FPendingRows.push_back(std::move(row));
  if (FPendingRows.size() == BatchRows) FlushRows();
}

void TGISWriterGPKG::FlushRows() {
  if (FPendingRows.empty()) return;
  const TSqliteApi& q = Sql3();
  sqlite3* db = FDataset->Db;
  // Binds the rows from `from` to the statement and runs it.
  const auto run = [&](sqlite3_stmt* st, size_t from, size_t n) {
    int col = 1;
    for (size_t r = from; r < from + n; ++r) {
      const TGpkgRow& row = FPendingRows[r];
      q.sqlite3_bind_int64(st, col++, FNextFid + static_cast<int64_t>(r));
      if (FSpatial) {
        if (row.Wkb.size() > row.WkbStart)
          q.sqlite3_bind_blob(st, col, row.Wkb.data() + row.WkbStart,
                              static_cast<int>(row.Wkb.size() - row.WkbStart), SQLITE_STATIC);
        else
          q.sqlite3_bind_null(st, col);
        ++col;
      }
      for (const TGpkgCell& c : row.Cells) {
        switch (c.Kind) {
          case TGpkgCell::ckNull: q.sqlite3_bind_null(st, col); break;
          case TGpkgCell::ckInteger: q.sqlite3_bind_int64(st, col, c.Integer); break;
          case TGpkgCell::ckReal: q.sqlite3_bind_double(st, col, c.Real); break;
          case TGpkgCell::ckText: q.sqlite3_bind_text(st, col, row.Text.c_str() + c.Text, -1, SQLITE_STATIC); break;
        }
        ++col;
      }
    }
    const bool ok = q.sqlite3_step(st) == SQLITE_DONE;
    const std::string why = ok ? std::string() : q.sqlite3_errmsg(db);
    q.sqlite3_reset(st);
    return why.empty() && !ok ? std::string("SQLite failed") : why;
  };
  FDataset->Begin();
  const size_t n = FPendingRows.size();
  std::string why = n == BatchRows ? run(static_cast<sqlite3_stmt*>(FInsertMany), 0, n) : "-";
  if (!why.empty()) {
    // One by one: a refused row is named, with SQLite's reason for it.
    for (size_t r = 0; r < n; ++r) {
      why = run(static_cast<sqlite3_stmt*>(FInsert), r, 1);
      if (!why.empty()) {
        FRowsIn += static_cast<int64_t>(r);
        FNextFid += static_cast<int64_t>(r);
        const int64_t record = FPendingRows[r].Record;
        FPendingRows.clear();
        throw EWriteError("Cannot write record " + std::to_string(record) + " of table " + LayerName(FFileName) +
                          " in " + DatasetPath(FFileName) + ": " + why);
      }
    }
  }
  for (size_t r = 0; r < n; ++r) {
    const TGpkgRow& row = FPendingRows[r];
    if (!row.HasBox) continue;
    const double* b = row.Box;
    if (FSpatial)
      FRTree.push_back({FNextFid + static_cast<int64_t>(r), FloatDown(b[0]), FloatUp(b[1]), FloatDown(b[2]),
                        FloatUp(b[3])});
    if (!FHasExtent) {
      std::copy(b, b + 4, FExtent);
      FHasExtent = true;
    } else {
      FExtent[0] = std::min(FExtent[0], b[0]);
      FExtent[1] = std::max(FExtent[1], b[1]);
      FExtent[2] = std::min(FExtent[2], b[2]);
      FExtent[3] = std::max(FExtent[3], b[3]);
    }
  }
  FNextFid += static_cast<int64_t>(n);
  FRowsIn += static_cast<int64_t>(n);
  for (TGpkgRow& r : FPendingRows) FDataset->Written.push_back(std::move(r));
  FPendingRows.clear();
  FDataset->Counted(static_cast<int64_t>(n));
}

// SQLite's R-tree format (rtree.c): a node is a blob of the table's node
// size, a 16-bit depth (the root's: levels below it) and cell count, then
// cells of a 64-bit id (the row's, or the child node's number) and the
// box's four 32-bit floats, all big-endian; the root is node 1, and the
// _rowid and _parent tables map rows and nodes to the node holding them.
// The tree is packed Sort-Tile-Recursive: full nodes of boxes near each
// other, as tight as a tree grown by inserts, or tighter.
void TGISWriterGPKG::FillRTree() {
  sqlite3* db = FDataset->Db;
  const TSqliteApi& q = Sql3();
  const std::string table = "rtree_" + LayerName(FFileName) + "_geom";
  const std::string nodeSizeText =
      DbText(db, "SELECT length(data) FROM " + SqlQuoted(table + "_node", '"') + " WHERE nodeno = 1");
  const size_t nodeSize = static_cast<size_t>(std::atol(nodeSizeText.c_str()));
  const size_t cellSize = 8 + 4 * 4;
  if (nodeSize < 4 + 2 * cellSize) FailSql("Cannot read the spatial index");
  const size_t fanout = (nodeSize - 4) / cellSize;

  std::vector<TRTreeEntry> items;
  items.swap(FRTree);
  // Nodes and map rows go to SQLite as they are made, so that only the
  // boxes of the level being packed are held.
  TStatement nodeRow(db, "INSERT OR REPLACE INTO " + SqlQuoted(table + "_node", '"') + " VALUES (?, ?)");
  TStatement rowidRow(db, "INSERT INTO " + SqlQuoted(table + "_rowid", '"') + " VALUES (?, ?)");
  TStatement parentRow(db, "INSERT INTO " + SqlQuoted(table + "_parent", '"') + " VALUES (?, ?)");
  if (!nodeRow || !rowidRow || !parentRow) FailSql("Cannot write the spatial index");
  const auto pair = [&](TStatement& st, int64_t a, int64_t b) {
    q.sqlite3_bind_int64(st.get(), 1, a);
    q.sqlite3_bind_int64(st.get(), 2, b);
    if (!st.Run()) FailSql("Cannot write the spatial index");
  };
  std::string blob;
  // The rows' map goes in by row id: appended to SQLite's B-tree rather
  // than inserted all over it.
  std::vector<std::pair<int64_t, int64_t>> rowNodes;
  rowNodes.reserve(items.size());
  auto node = [&](int64_t number, const TRTreeEntry* cells, size_t n, int depth, bool leaf) {
    blob.clear();
    PutBE(blob, static_cast<uint64_t>(depth), 2);
    PutBE(blob, n, 2);
    for (size_t i = 0; i < n; ++i) {
      const TRTreeEntry& c = cells[i];
      PutBE(blob, static_cast<uint64_t>(c.Id), 8);
      for (float f : {c.MinX, c.MaxX, c.MinY, c.MaxY}) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        PutBE(blob, bits, 4);
      }
      if (leaf)
        rowNodes.emplace_back(c.Id, number);
      else
        pair(parentRow, c.Id, number);
    }
    blob.resize(nodeSize, '\0');
    q.sqlite3_bind_int64(nodeRow.get(), 1, number);
    q.sqlite3_bind_blob(nodeRow.get(), 2, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    if (!nodeRow.Run()) FailSql("Cannot write the spatial index");
  };
  int64_t next = 2;
  int depth = 0;
  for (bool leaf = true;; leaf = false) {
    if (items.size() <= fanout) {
      node(1, items.data(), items.size(), depth, leaf);
      break;
    }
    const size_t count = (items.size() + fanout - 1) / fanout;
    const auto slices = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(count))));
    const size_t slice = slices * fanout;
    auto centre = [](float a, float b) { return static_cast<double>(a) + static_cast<double>(b); };
    std::sort(items.begin(), items.end(), [&](const TRTreeEntry& a, const TRTreeEntry& b) {
      return centre(a.MinX, a.MaxX) < centre(b.MinX, b.MaxX);
    });
    for (size_t i = 0; i < items.size(); i += slice)
      std::sort(items.begin() + static_cast<std::ptrdiff_t>(i),
                items.begin() + static_cast<std::ptrdiff_t>(std::min(items.size(), i + slice)),
                [&](const TRTreeEntry& a, const TRTreeEntry& b) {
                  return centre(a.MinY, a.MaxY) < centre(b.MinY, b.MaxY);
                });
    std::vector<TRTreeEntry> up;
    up.reserve(count);
    for (size_t i = 0; i < items.size(); i += fanout) {
      const size_t n = std::min(fanout, items.size() - i);
      TRTreeEntry box = items[i];
      for (size_t k = i + 1; k < i + n; ++k) {
        box.MinX = std::min(box.MinX, items[k].MinX);
        box.MaxX = std::max(box.MaxX, items[k].MaxX);
        box.MinY = std::min(box.MinY, items[k].MinY);
        box.MaxY = std::max(box.MaxY, items[k].MaxY);
      }
      box.Id = next++;
      node(box.Id, &items[i], n, 0, leaf);
      up.push_back(box);
    }
    items.swap(up);
    ++depth;
  }
  std::sort(rowNodes.begin(), rowNodes.end());
  // As many map rows as the tree has entries: BatchRows to a statement.
  std::string many = "INSERT INTO " + SqlQuoted(table + "_rowid", '"') + " VALUES (?, ?)";
  for (size_t i = 1; i < BatchRows; ++i) many += ",(?, ?)";
  TStatement rowidRows(db, many);
  if (!rowidRows) FailSql("Cannot write the spatial index");
  size_t i = 0;
  for (; i + BatchRows <= rowNodes.size(); i += BatchRows) {
    for (size_t k = 0; k < BatchRows; ++k) {
      q.sqlite3_bind_int64(rowidRows.get(), static_cast<int>(2 * k + 1), rowNodes[i + k].first);
      q.sqlite3_bind_int64(rowidRows.get(), static_cast<int>(2 * k + 2), rowNodes[i + k].second);
    }
    if (!rowidRows.Run()) FailSql("Cannot write the spatial index");
  }
  for (; i < rowNodes.size(); ++i) pair(rowidRow, rowNodes[i].first, rowNodes[i].second);
}

void TGISWriterGPKG::FinishLayerHere() {
  // The rows still held go in, unless the file already failed.
  std::exception_ptr error;
  try {
    if (FLayer && FInsert && !FDataset->Failed()) FlushRows();
  } catch (...) {
    error = std::current_exception();
  }
  FPendingRows.clear();
  for (void** st : {&FInsert, &FInsertMany}) {
    if (*st) Sql3().sqlite3_finalize(static_cast<sqlite3_stmt*>(*st));
    *st = nullptr;
  }
  if (error) std::rethrow_exception(error);
  if (!FLayer) return;
  std::vector<std::pair<std::string, std::string>> held;
  held.swap(FHeldTriggers);
  sqlite3* db = FDataset->Db;
  if (FSpatial && !FUnfinished) FillRTree();
  // What GDAL records of a layer it wrote the rows of: the rows' extent,
  // the time of the last change and the feature count.
  const std::string name = LayerName(FFileName);
  if (FHasExtent) {
    TStatement st(db, "UPDATE gpkg_contents SET min_x = ?, min_y = ?, max_x = ?, max_y = ? "
                      "WHERE lower(table_name) = lower(?)");
    const double values[] = {FExtent[0], FExtent[2], FExtent[1], FExtent[3]};
    for (int i = 0; st && i < 4; ++i) Sql3().sqlite3_bind_double(st.get(), i + 1, values[i]);
    if (st) Sql3().sqlite3_bind_text(st.get(), 5, name.c_str(), -1, SQLITE_TRANSIENT);
    if (!st || !st.Run()) FailSql("Cannot complete the layer");
  }
  if (FRowsIn > 0) {
    TStatement st(db, "UPDATE gpkg_contents SET last_change = strftime('%Y-%m-%dT%H:%M:%fZ', 'now') "
                      "WHERE lower(table_name) = lower(?)");
    if (st) Sql3().sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (!st || !st.Run()) FailSql("Cannot complete the layer");
  }
  if (FCountTrigger) {
    // The rows put in, not a count(*), which would read the whole table
    // back.
    TStatement st(db, "UPDATE gpkg_ogr_contents SET feature_count = ? WHERE lower(table_name) = lower(?)");
    if (st) Sql3().sqlite3_bind_int64(st.get(), 1, FRowsIn);
    if (st) Sql3().sqlite3_bind_text(st.get(), 2, name.c_str(), -1, SQLITE_TRANSIENT);
    if (!st || !st.Run()) FailSql("Cannot complete the layer");
  }
  // Rows added later (by another program) go in through the triggers again.
  for (const auto& t : held)
    if (!DbRun(db, t.second)) FailSql("Cannot complete the layer");
  if (FSpatial && FUnfinished) {
    // An empty R-tree would hide every row from a spatial filter: the
    // layer goes without one, as GDAL removes it (its extension row, the
    // R-tree's tables and triggers); a reader scans the rows instead, and
    // CreateSpatialIndex makes one later.
    FRTree.clear();
    FRTree.shrink_to_fit();
    if (GdalSqlText(FDataset->Handle, "SELECT DisableSpatialIndex(" + SqlQuoted(name, '\'') + ", 'geom')") != "1")
      Fail("Cannot remove the unfinished spatial index");
  }
}


void TGISWriterGPKG::AddPoint(double X, double Y, std::string_view Attrib) {
  if (FObjectTypes != otPoint) return;
  CheckRecordStart();
  if (!FLayer) return;
  WriteObject(1, Attrib);
  FPoint1.Pnt[0] = TFloatPoint{X, Y};
  AddSection(0, FPoint1);
}

void TGISWriterGPKG::Close() {
  TGISWriter::Close();
  std::exception_ptr error;
  // A record left short of its sections keeps the parts it got.
  if (FLayer && !FPartStart.empty() && !RecordComplete()) {
    FNumParts = FWrittenParts;
    try {
      WriteFeature();
    } catch (...) {
      error = std::current_exception();
    }
  }
  FNumParts = FWrittenParts = 0;
  FPartStart.clear();
  FWkb.clear();
  if (FDataset) {
    // The table is complete once its queued records are in; a failure of
    // one of them is this close's.
    try {
      FDataset->Call([this] { FinishLayerHere(); });
      if (FLayer) FDataset->ThrowIfFailed();
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
  FLayer = nullptr;
  try {
    ReleaseDataset(FDataset);
  } catch (...) {
    if (!error) error = std::current_exception();
  }
  FDataset.reset();
  if (error) std::rethrow_exception(error);
}

void TGISWriterGPKG::CloseUnfinished() {
  FUnfinished = true;
  Close();
}

void TGISWriterGPKG::Drop() {
  Close();
  if (!FLayerCreated) return;
  FLayerCreated = false;
  const std::string path = DatasetPath(FFileName);
  std::shared_ptr<TGpkgDataset> d = AcquireDataset(path);
  const std::string name = LayerName(FFileName);
  d->Call([&] {
    d->Commit();
    for (int i = Gdal().GDALDatasetGetLayerCount(d->Handle) - 1; i >= 0; --i) {
      OGRLayerH l = Gdal().GDALDatasetGetLayer(d->Handle, i);
      if (l && name == Gdal().OGR_L_GetName(l)) {
        Gdal().GDALDatasetDeleteLayer(d->Handle, i);
        break;
      }
    }
  });
  ReleaseDataset(d);
}

// ---------------------------------------------------------------- TGpkgLayerReader

TGpkgLayerReader::TGpkgLayerReader(const std::string& path, const std::string& layer) : FPath(path) {
  const TGdalLibrary& lib = TGdalLibrary::Instance();
  if (!lib.Ready()) throw Exception(lib.Problem());
  TQuietGdal quiet;
  const char* const drivers[] = {"GPKG", nullptr};
  FDataset = Gdal().GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers, nullptr, nullptr);
  if (!FDataset) throw EReadError("Cannot open " + FullPath(path) + " as a GeoPackage" + LastGdalError());
  FLayer = Gdal().GDALDatasetGetLayerByName(FDataset, layer.c_str());
  if (!FLayer) {
    Gdal().GDALClose(FDataset);
    throw EReadError("The GeoPackage " + FullPath(path) + " has no layer " + layer);
  }
  FCount = Gdal().OGR_L_GetFeatureCount(FLayer, TRUE);
}

TGpkgLayerReader::~TGpkgLayerReader() {
  if (FStmt) Sql3().sqlite3_finalize(static_cast<sqlite3_stmt*>(FStmt));
  if (FFeature) Gdal().OGR_F_Destroy(FFeature);
  if (FDataset) Gdal().GDALClose(FDataset);
}

int32_t TGpkgLayerReader::FindField(const std::string& name) const {
  return Gdal().OGR_FD_GetFieldIndex(Gdal().OGR_L_GetLayerDefn(FLayer), name.c_str());
}

int32_t TGpkgLayerReader::FieldCount() const {
  return Gdal().OGR_FD_GetFieldCount(Gdal().OGR_L_GetLayerDefn(FLayer));
}

bool TGpkgLayerReader::FieldIsText(int32_t field) const {
  OGRFieldDefnH fd = Gdal().OGR_FD_GetFieldDefn(Gdal().OGR_L_GetLayerDefn(FLayer), field);
  return fd && Gdal().OGR_Fld_GetType(fd) == OFTString;
}

void TGpkgLayerReader::ReadOnly(int32_t field) {
  const TGdalApi& g = Gdal();
  if (FStmt) Sql3().sqlite3_finalize(static_cast<sqlite3_stmt*>(FStmt));
  FStmt = nullptr;
  OGRFeatureDefnH defn = g.OGR_L_GetLayerDefn(FLayer);
  // Straight from SQLite where the column's value is one OGR takes as
  // SQLite gives it.
  FField = field;
  FFieldKind = 0;
  if (OGRFieldDefnH fd = field >= 0 ? g.OGR_FD_GetFieldDefn(defn, field) : nullptr) {
    switch (g.OGR_Fld_GetType(fd)) {
      case OFTString: FFieldKind = 1; break;
      case OFTInteger: FFieldKind = 2; break;
      case OFTInteger64: FFieldKind = 3; break;
      default: break;
    }
  }
  auto* db = static_cast<sqlite3*>(g.GDALGetInternalHandle(FDataset, "SQLITE_HANDLE"));
  const char* fid = g.OGR_L_GetFIDColumn(FLayer);
  const char* geom = g.OGR_L_GetGeometryColumn(FLayer);
  if (db && fid && *fid && (field < 0 || FFieldKind != 0)) {
    std::string sql = "SELECT " + SqlQuoted(fid, '"');
    FHasGeometry = field < 0 && geom && *geom;
    if (FHasGeometry) sql += ", " + SqlQuoted(geom, '"');
    if (field >= 0) sql += ", " + SqlQuoted(g.OGR_Fld_GetNameRef(g.OGR_FD_GetFieldDefn(defn, field)), '"');
    sql += " FROM " + SqlQuoted(g.OGR_L_GetName(FLayer), '"') + " ORDER BY " + SqlQuoted(fid, '"');
    sqlite3_stmt* st = nullptr;
    if (Sql3().sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) == SQLITE_OK) {
      FStmt = st;
    } else if (st) {
      Sql3().sqlite3_finalize(st);
    }
  }
  std::vector<const char*> ignored;
  for (int i = 0, n = g.OGR_FD_GetFieldCount(defn); i < n; ++i)
    if (i != field) ignored.push_back(g.OGR_Fld_GetNameRef(g.OGR_FD_GetFieldDefn(defn, i)));
  if (field >= 0) ignored.push_back("OGR_GEOMETRY");
  ignored.push_back("OGR_STYLE");
  ignored.push_back(nullptr);
  TQuietGdal quiet;
  if (g.OGR_L_SetIgnoredFields(FLayer, ignored.data()) != OGRERR_NONE)
    throw EReadError("Cannot read " + FullPath(FPath) + LastGdalError());
  Rewind();
}

void TGpkgLayerReader::Rewind() {
  if (FFeature) Gdal().OGR_F_Destroy(FFeature);
  FFeature = nullptr;
  FEnd = false;
  FParts = 0;
  if (FStmt)
    Sql3().sqlite3_reset(static_cast<sqlite3_stmt*>(FStmt));
  else
    Gdal().OGR_L_ResetReading(FLayer);
}

namespace {
uint32_t LE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace

bool TGpkgLayerReader::DecodeLine(const uint8_t* blob, size_t size) {
  // The blob header: "GP", version 0, flags (bit 0 byte order, bits 1-3
  // the envelope's kind, bit 4 empty, bit 5 extended), SRS id, envelope.
  static const size_t envelopeBytes[] = {0, 32, 48, 48, 64};
  if (size < 8 || blob[0] != 'G' || blob[1] != 'P' || blob[2] != 0 || (blob[3] & 0x30) != 0) return false;
  const unsigned kind = (blob[3] >> 1) & 7;
  if (kind > 4) return false;
  const size_t at = 8 + envelopeBytes[kind];
  if (size < at + 9) return false;
  const uint8_t* w = blob + at;
  const size_t n = size - at;
  // Little-endian 2D lines only, and exactly as long as they say.
  if (w[0] != 1) return false;
  const uint32_t type = LE32(w + 1);
  FType = static_cast<int32_t>(type);
  if (type == wkbLineString) {
    const uint64_t count = LE32(w + 5);
    if (n != 9 + 16 * count) return false;
    FParts = 1;
    FPoints = w + 9;
    FPointCount = static_cast<int64_t>(count);
    return true;
  }
  if (type != wkbMultiLineString) return false;
  const uint32_t parts = LE32(w + 5);
  size_t pos = 9;
  for (uint32_t i = 0; i < parts; ++i) {
    if (n - pos < 9 || w[pos] != 1 || LE32(w + pos + 1) != wkbLineString) return false;
    const uint64_t count = LE32(w + pos + 5);
    if ((n - pos - 9) / 16 < count) return false;
    if (i == 0) {
      FPoints = w + pos + 9;
      FPointCount = static_cast<int64_t>(count);
    }
    pos += 9 + 16 * static_cast<size_t>(count);
  }
  if (pos != n) return false;
  FParts = static_cast<int32_t>(std::min<uint32_t>(parts, INT32_MAX));
  return true;
}

bool TGpkgLayerReader::Next() {
  if (FFeature) Gdal().OGR_F_Destroy(FFeature);
  FFeature = nullptr;
  if (!FStmt) {
    FFeature = Gdal().OGR_L_GetNextFeature(FLayer);
    return FFeature != nullptr;
  }
  if (FEnd) return false;
  const TSqliteApi& q = Sql3();
  auto* st = static_cast<sqlite3_stmt*>(FStmt);
  const int rc = q.sqlite3_step(st);
  if (rc == SQLITE_DONE) {
    FEnd = true;
    return false;
  }
  if (rc != SQLITE_ROW) {
    auto* db = static_cast<sqlite3*>(Gdal().GDALGetInternalHandle(FDataset, "SQLITE_HANDLE"));
    throw EReadError("Cannot read the layer " + std::string(Gdal().OGR_L_GetName(FLayer)) + " of " +
                     FullPath(FPath) + ": " + (db ? q.sqlite3_errmsg(db) : "SQLite failed"));
  }
  FParts = 0;
  FType = 0;
  FPoints = nullptr;
  FPointCount = 0;
  if (FHasGeometry && q.sqlite3_column_type(st, 1) != SQLITE_NULL) {
    const auto* blob = static_cast<const uint8_t*>(q.sqlite3_column_blob(st, 1));
    const int bytes = q.sqlite3_column_bytes(st, 1);
    if (!blob || bytes <= 0 || !DecodeLine(blob, static_cast<size_t>(bytes))) {
      // Anything else as OGR reads it.
      FParts = FType = 0;
      FPoints = nullptr;
      FPointCount = 0;
      TQuietGdal quiet;
      FFeature = Gdal().OGR_L_GetFeature(FLayer, q.sqlite3_column_int64(st, 0));
    }
  }
  return true;
}

std::string TGpkgLayerReader::Text(int32_t field) const {
  if (FStmt && !FFeature) {
    if (FEnd || field != FField || FFieldKind == 0) return std::string();
    const TSqliteApi& q = Sql3();
    auto* st = static_cast<sqlite3_stmt*>(FStmt);
    const int col = FHasGeometry ? 2 : 1;
    if (q.sqlite3_column_type(st, col) == SQLITE_NULL) return std::string();
    if (FFieldKind == 1) {
      const unsigned char* t = q.sqlite3_column_text(st, col);
      return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    }
    return std::to_string(Integer(field));
  }
  if (!FFeature || !Gdal().OGR_F_IsFieldSetAndNotNull(FFeature, field)) return std::string();
  return Gdal().OGR_F_GetFieldAsString(FFeature, field);
}

int64_t TGpkgLayerReader::Integer(int32_t field) const {
  if (FStmt && !FFeature) {
    if (FEnd || field != FField || FFieldKind == 0) return 0;
    const TSqliteApi& q = Sql3();
    auto* st = static_cast<sqlite3_stmt*>(FStmt);
    const int col = FHasGeometry ? 2 : 1;
    if (q.sqlite3_column_type(st, col) == SQLITE_NULL) return 0;
    switch (FFieldKind) {
      case 1: {  // OGR's reading of text as a number
        const unsigned char* t = q.sqlite3_column_text(st, col);
        return t ? std::strtoll(reinterpret_cast<const char*>(t), nullptr, 10) : 0;
      }
      case 2: return static_cast<int32_t>(q.sqlite3_column_int64(st, col));  // a 32-bit field keeps the low bits
      default: return q.sqlite3_column_int64(st, col);
    }
  }
  if (!FFeature || !Gdal().OGR_F_IsFieldSetAndNotNull(FFeature, field)) return 0;
  return Gdal().OGR_F_GetFieldAsInteger64(FFeature, field);
}

int32_t TGpkgLayerReader::GeometryType() const {
  if (FStmt && !FFeature) return FType;
  OGRGeometryH g = FFeature ? Gdal().OGR_F_GetGeometryRef(FFeature) : nullptr;
  return g ? static_cast<int32_t>(Gdal().OGR_G_GetGeometryType(g)) : 0;
}

int32_t TGpkgLayerReader::LineParts() const {
  if (FStmt && !FFeature) return FParts;
  OGRGeometryH g = FFeature ? Gdal().OGR_F_GetGeometryRef(FFeature) : nullptr;
  if (!g) return 0;
  switch (FlatType(Gdal().OGR_G_GetGeometryType(g))) {
    case wkbLineString: return 1;
    case wkbMultiLineString: return Gdal().OGR_G_GetGeometryCount(g);
    default: return -1;
  }
}

int64_t TGpkgLayerReader::LinePoints(std::vector<TFloatPoint>& pts) const {
  if (FStmt && !FFeature) {
    if (FParts != 1 || FPointCount <= 0) return 0;
    const auto n = static_cast<size_t>(FPointCount);
    if (pts.size() < n) pts.resize(n);
    std::memcpy(pts.data(), FPoints, 16 * n);
    return FPointCount;
  }
  OGRGeometryH g = FFeature ? Gdal().OGR_F_GetGeometryRef(FFeature) : nullptr;
  if (!g) return 0;
  if (FlatType(Gdal().OGR_G_GetGeometryType(g)) == wkbMultiLineString) {
    if (Gdal().OGR_G_GetGeometryCount(g) != 1) return 0;
    g = Gdal().OGR_G_GetGeometryRef(g, 0);
  }
  const int n = Gdal().OGR_G_GetPointCount(g);
  if (n <= 0) return 0;
  if (pts.size() < static_cast<size_t>(n)) pts.resize(static_cast<size_t>(n));
  Gdal().OGR_G_GetPoints(g, &pts[0].x, sizeof(TFloatPoint), &pts[0].y, sizeof(TFloatPoint), nullptr, 0);
  return n;
}
