#include "network_stage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

#include "linvoro_giswriter.h"
#include "linvoro_import.h"
#include "linvoro_importattributes.h"
#include "linvoro_locationlist.h"
#include "linvoro_network.h"
#include "linvoro_network_calc.h"
#include "linvoro_network_spatial.h"
#include "output_files.h"

namespace {

// What every step of the stage uses.
struct TStage {
  const TRunOptions& Options;
  IRunUI& UI;
  TCheckSink* Checks;  // may be null
  std::vector<TWrittenTable>& Tables;
  const std::string& MainDir;
};

TWrittenTable DescribeTable(const TGISWriter& writer) {
  const std::string& path = writer.FileName();
  const size_t slash = path.rfind('/');
  return {slash == std::string::npos ? path : path.substr(slash + 1),
          GISFormatName(writer.Format()), writer.WrittenRecords()};
}

void NoteTable(TStage& run, const TGISWriter& writer) {
  run.Tables.push_back(DescribeTable(writer));
}

// The front end's progress display for every network object. A stop asked
// for by the user cancels the object at its next progress point; the stage
// then raises ERunCancelled once the object has returned (CheckCancelled).
TProgressCancelEvent NetworkProgress(TStage& run) {
  IRunUI* ui = &run.UI;
  return [ui](TProgress*, int32_t progress, bool& cancel) {
    ui->Progress(progress);
    ui->ProcessMessages();
    if (ui->CancelRequested()) cancel = true;
  };
}

// The steps of the network stage and the checks, reported as stages. A stop
// asked for by the user ends the stage before the next step begins.
class TStageCounter {
 public:
  TStageCounter(TStage& run, TStageKind kind, int32_t count)
      : FRun(run), FKind(kind), FCount(count) {}
  void Next(const char* name) {
    CheckCancelled(FRun.UI);
    Announce(name);
  }
  // Without the stop check: a step that ran beside others is told even
  // after a stop.
  void Announce(const char* name) {
    TRunStage s;
    s.Kind = FKind;
    s.Name = name;
    s.Number = ++FNumber;
    s.Count = FCount;
    FRun.UI.Stage(s);
  }

 private:
  TStage& FRun;
  TStageKind FKind;
  int32_t FCount;
  int32_t FNumber = 0;
};

// Removes the network file set of the folder, its report too unless asked
// to keep it.
void RemoveNetworkFiles(const TStage& run, bool keepReport) {
  for (const std::string& f : NetworkFileNames())
    if (!keepReport || f != ReportFileName) std::remove((run.MainDir + f).c_str());
}

// ------------------------------------------------------------ the import
//
// The attribute import reads only the road table's attribute half, never a
// file the network import writes, and its three pieces (attribute.bin and
// the two road-name file pairs) write files of their own: they run beside
// the network import, on threads of their own, while the stage's thread
// runs the network import and speaks to the front end. The log, the stages
// and the outcome stay those of the pieces run one after the other: the
// attribute stage is told once the network import has ended, and the first
// error in that order ends the run.

// The machine's cores, or the number (1 to 64) the environment variable
// name sets.
int32_t ThreadsFromEnvironment(const char* name) {
  int32_t n = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
  if (const char* v = std::getenv(name); v && *v) {
    char* end = nullptr;
    const long x = std::strtol(v, &end, 10);
    if (end && *end == 0 && x >= 1) n = static_cast<int32_t>(std::min(x, 64L));
  }
  return n;
}

// Threads for the network import and its attribute pieces, the stage's own
// thread included: one more than the pieces needs more cores than most
// machines spare beside it. OSM2TRASSEL_IMPORT_THREADS=1 runs the pieces
// after the network import on the stage's thread, and the import on that
// thread alone.
int32_t ImportThreads() { return ThreadsFromEnvironment("OSM2TRASSEL_IMPORT_THREADS"); }

class TAttributeImport {
 public:
  static constexpr int32_t kPieces = 3;  // attribute.bin, road names 1 and 2

  // Starts the pieces on threads - 1 threads of their own (at most one per
  // piece); with one thread Finish runs them.
  TAttributeImport(const TStage& run, uint8_t ff, int32_t threads)
      : FDir(run.MainDir), FFF(ff), FNameAndRef(run.Options.NameRef == nrNameAndRef) {
    const int32_t workers = std::min(threads - 1, kPieces);
    try {
      for (int32_t i = 0; i < workers; ++i) FThreads.emplace_back([this] { Work(); });
    } catch (...) {
      Stop();
      Join();
      throw;
    }
  }
  ~TAttributeImport() {
    Stop();
    Join();
  }
  TAttributeImport(const TAttributeImport&) = delete;
  TAttributeImport& operator=(const TAttributeImport&) = delete;

  // Every piece not yet ended ends at its next progress point and leaves no
  // file of its own.
  void Stop() { StopFrom(0); }
  // Waits for the pieces, keeping the front end alive and passing a stop on
  // to them; raises the first error in the order of the pieces (one after a
  // stopped piece would not have come about), or ERunCancelled after a stop.
  void Finish(TStage& run);

 private:
  struct TPiece {
    std::atomic<int32_t> Progress{0};
    std::atomic<bool> Stop{false};  // raised for a piece that is to end
    bool Done = false, Cancelled = false;  // under FLock
    std::exception_ptr Error;              // under FLock
  };

  // Runs piece k, as the attribute import runs it: the MIF's "attribute"
  // column comes after the extra "ref" column of the two-field name choice.
  void RunPiece(int32_t k, TProgressCancelEvent progress, const std::atomic<bool>* stop,
                bool& cancelled) const;
  void Work();
  void StopFrom(int32_t k) {
    int32_t cur = FStopFrom.load();
    while (k < cur && !FStopFrom.compare_exchange_weak(cur, k)) {
    }
    for (int32_t j = k; j < kPieces; ++j) FPieces[j].Stop = true;
  }
  void Join() {
    for (std::thread& t : FThreads)
      if (t.joinable()) t.join();
    FThreads.clear();
  }

  const std::string FDir;
  const uint8_t FFF;
  const bool FNameAndRef;
  std::atomic<int32_t> FNext{0};           // the next piece a thread takes
  std::atomic<int32_t> FStopFrom{kPieces};  // pieces from here on end
  std::mutex FLock;
  std::condition_variable FNews;
  TPiece FPieces[kPieces];
  std::vector<std::thread> FThreads;
};

void TAttributeImport::RunPiece(int32_t k, TProgressCancelEvent progress, const std::atomic<bool>* stop,
                                bool& cancelled) const {
  TImportAttributes ia;
  ia.SetDirectory(FDir);
  ia.SetOnProgress(std::move(progress));
  ia.SetStopFlag(stop);
  const TFileKind fk = FFF == gfMIF ? fkCSV : FFF == gfGPKG ? fkGPKG : fkDBF;
  ia.Add(FDir + (FFF == gfMIF    ? "roads.mid"
                 : FFF == gfGPKG ? GpkgFileName
                 : FFF == gfSHP  ? "roads.dbf"
                                 : "roads.dat"));
  if (k == 0) {
    if (fk == fkCSV)
      ia.ExecuteAttribute(FNameAndRef ? 4 : 3, "", fkCSV);
    else
      ia.ExecuteAttribute(fk == fkGPKG ? 0 : 1, "attribute", fk);
  } else {
    ia.SetRoadNameFileIndex(k);
    ia.ExecuteRoadname(k - 1, k == 1 && fk != fkCSV ? "osm_id" : "", fk);
  }
  cancelled = ia.Cancelled();
}

void TAttributeImport::Work() {
  for (int32_t k; (k = FNext++) < kPieces;) {
    TPiece& p = FPieces[k];
    bool cancelled = k >= FStopFrom;
    std::exception_ptr error;
    if (!cancelled) {
      try {
        RunPiece(
            k, [&p](TProgress*, int32_t progress, bool&) { p.Progress.store(progress, std::memory_order_relaxed); },
            &p.Stop, cancelled);
      } catch (...) {
        error = std::current_exception();
        // The pieces after this one would not have run.
        StopFrom(k + 1);
      }
    }
    {
      std::lock_guard<std::mutex> g(FLock);
      p.Done = true;
      p.Cancelled = cancelled;
      p.Error = error;
    }
    FNews.notify_all();
  }
}

void TAttributeImport::Finish(TStage& run) {
  if (FThreads.empty()) {
    // One thread: the pieces one after the other, their progress shown.
    for (int32_t k = 0; k < kPieces; ++k) {
      bool cancelled = false;
      RunPiece(k, NetworkProgress(run), nullptr, cancelled);
    }
    CheckCancelled(run.UI);
    return;
  }
  int32_t shown = -1;
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    int32_t done = 0, sum = 0;
    for (TPiece& p : FPieces) {
      done += p.Done;
      sum += p.Done ? 100 : p.Progress.load(std::memory_order_relaxed);
    }
    if (done == kPieces) break;
    lock.unlock();
    if (sum / kPieces != shown) run.UI.Progress(shown = sum / kPieces);
    run.UI.ProcessMessages();
    if (run.UI.CancelRequested()) Stop();
    lock.lock();
    FNews.wait_for(lock, std::chrono::milliseconds(50));
  }
  lock.unlock();
  Join();
  for (const TPiece& p : FPieces) {
    if (p.Error) std::rethrow_exception(p.Error);
    if (p.Cancelled) break;
  }
  CheckCancelled(run.UI);
  // A piece that ended early left its files out: never a success.
  if (FStopFrom < kPieces) throw ERunCancelled();
}

// True when the import built a network; a road table without objects builds
// none. A stop asked for ends the attribute pieces too.
bool ImportNetwork(TStage& run, uint8_t ff, int32_t threads, TAttributeImport& attributes) {
  run.UI.Log("Importing Linvoro 4 network");
  TImport import;
  import.SetDirectory(run.MainDir);
  import.SetThreads(threads);
  import.SetOnProgress([&attributes, progress = NetworkProgress(run)](TProgress* s, int32_t p, bool& cancel) {
    progress(s, p, cancel);
    if (cancel) attributes.Stop();
  });
  const char* main = ff == gfMIF    ? "roads.mif"
                     : ff == gfSHP  ? "roads.shp"
                     : ff == gfGPKG ? GpkgFileName
                                    : "roads.tab";
  import.Add(run.MainDir + main);
  import.SetAllowLoops(false);
  import.Execute();
  // A cancelled import has removed its partial file set already.
  CheckCancelled(run.UI);
  import.CreateReport();
  if (run.Checks && import.ObjectsFound())
    run.Checks->NetworkBuilt(import.LinkCount(), import.NodeCount());
  return import.ObjectsFound();
}

// The findings are told when a check that writes table begins and ends.
class TCheckScope {
 public:
  TCheckScope(TStage& run, const char* table) : FRun(run), FTable(table) {
    if (FRun.Checks) FRun.Checks->Begin(FTable);
  }
  ~TCheckScope() {
    // Left by an error: the check stays running, which the page tells as
    // failed (or stopped, when the run was).
    if (FRun.Checks && std::uncaught_exceptions() == FExceptions)
      FRun.Checks->End(FTable, FRun.UI.CancelRequested());
  }
  TCheckScope(const TCheckScope&) = delete;
  TCheckScope& operator=(const TCheckScope&) = delete;

 private:
  TStage& FRun;
  const char* FTable;
  int FExceptions = std::uncaught_exceptions();
};

// ------------------------------------------------------------ the checks

// What a check runs on: an opened network, a spatial search over it, and
// the list that split-and-snap hands on to the overpasses.
struct TCheckContext {
  TNetwork& Net;
  TSpatialSearch& Search;
  TLocationList& List;
  TGISFormat FF;
  const std::string& Dir;
  TProgressCancelEvent Progress;
  // Raises ERunCancelled once the run is stopped: a search stopped part way
  // leaves an incomplete result, of which no table is written.
  std::function<void()> StopPoint;
  // A table the check closed itself (the network's own checks tell theirs
  // through its table event).
  std::function<void(const TGISWriter&)> Written;
};

// Subnet tables: links whose entry in the search's array is non-zero.
void WriteSubnetTable(TCheckContext& c, const char* name, const TIntegerArray& ia,
                      bool withSubnet) {
  TFloatPointArrayEx section;
  std::string row;
  std::unique_ptr<TGISWriter> w = c.Net.GISoutputInit(c.Dir + name, c.FF);
  w->StartHeader(withSubnet ? 2 : 1, otPline);
  w->AddField("LinkID", gfInteger, 0, 0);
  if (withSubnet) w->AddField("Subnet", gfInteger, 0, 0);
  for (int32_t l = 1; l <= c.Net.LinkCount(); ++l) {
    if (l >= static_cast<int32_t>(ia.size()) || ia[l] == 0) continue;
    row = std::to_string(l);
    if (withSubnet) row += "," + std::to_string(ia[l]);
    c.Net.ReadGISSection(l, section);
    w->AddObject(1, false, row);
    w->AddSection(1, section);
    c.Net.TableRow(*w, row, section.Pnt.data(), section.Count);
  }
  w->Close();
  c.Written(*w);
}

void ExtendedSubnets(TCheckContext& c) {
  TIntegerArray ia;
  {
    TRouteCalc calc(&c.Net, false);
    calc.SetOnProgress(c.Progress);
    calc.SubNetEx(ia);
  }
  c.StopPoint();
  WriteSubnetTable(c, "subnets_extended", ia, false);
}

void SimpleSubnets(TCheckContext& c) {
  TIntegerArray ia;
  {
    TCalc calc(&c.Net, false);
    calc.SetOnProgress(c.Progress);
    calc.SubNet(ia);
  }
  c.StopPoint();
  WriteSubnetTable(c, "subnets", ia, true);
}

void ParallelLinks(TCheckContext& c) {
  c.Net.ParallelLinks(c.Dir + "parallel", c.FF);
}
void NetworkNodes(TCheckContext& c) {
  c.Net.ExportNodes(c.Dir + "nodes", c.FF);
}
void ObjectCheck(TCheckContext& c) {
  c.Net.ObjectCheck(c.Dir + "object_check", c.FF, 90);
}
void NonConnectedNodes(TCheckContext& c) {
  c.Search.FindNonConnectedNodes(c.Dir + "non_connected_nodes", c.FF, 0.002);
}
void NonConnectedLinks(TCheckContext& c) {
  c.Search.FindNonConnected(c.Dir + "non_connected_links", c.FF, 0.002);
}
void SplitAndSnap(TCheckContext& c) {
  c.Search.SplitAndSnap(0.002, c.List);
  c.StopPoint();
  c.Net.ExportLocationList(c.Dir + "split_and_snap", c.FF, c.List);
}
// The overpasses add their crossings to split-and-snap's list.
void Overpasses(TCheckContext& c) {
  c.Search.FindOverpasses(c.List);
  c.StopPoint();
  c.Net.ExportLocationList(c.Dir + "overpasses", c.FF, c.List);
}

struct TCheckStep {
  const char* Stage;
  const char* Log;
  const char* Table;  // told to the findings; null: an export, not a check
  bool Spatial;       // searches the spatial index
  void (*Run)(TCheckContext&);
};

// The lane a check runs on when the checks take two threads. Measured one
// by one on a country (8 million links): subnets 15 s, object check 7,
// parallel links and nodes 2.4, non-connected nodes 6 and links 23,
// split-and-snap with overpasses 32 (these two share their list of places,
// so one lane). Lane 0 takes the object check, the non-connected nodes and
// split-and-snap with overpasses; lane 1 the subnets, parallel links, nodes
// and non-connected links: about 45 s against 41.
int32_t LaneOf(const TCheckStep& s) {
  if (s.Run == ObjectCheck || s.Run == NonConnectedNodes || s.Run == SplitAndSnap || s.Run == Overpasses)
    return 0;
  return 1;
}

// The chosen checks in the order a run reports and lists them. Overpasses
// run only together with one of the other two choices.
std::vector<TCheckStep> ChosenSteps(const TRunOptions& o) {
  std::vector<TCheckStep> s;
  if (o.Subnets) {
    s.push_back({"Extended subnets", "Checking for extended subnets", "subnets_extended", false,
                 ExtendedSubnets});
    s.push_back({"Simple subnets", "Locating simple subnets", "subnets", false, SimpleSubnets});
  }
  if (o.TopoChecks) {
    s.push_back({"Parallel links", "Identifying parallel links", "parallel", false, ParallelLinks});
    s.push_back({"Network nodes", "Exporting network nodes", nullptr, false, NetworkNodes});
    s.push_back({"Object check", "Object check", "object_check", false, ObjectCheck});
    s.push_back({"Non-connected nodes", "Identifying non connected nodes", "non_connected_nodes",
                 true, NonConnectedNodes});
    s.push_back({"Non-connected links", "Identifying non connected links", "non_connected_links",
                 true, NonConnectedLinks});
  }
  if (o.Overpasses) {
    s.push_back({"Split and snap", "Identifying possible split&snap", "split_and_snap", true,
                 SplitAndSnap});
    s.push_back({"Overpasses", "Identifying overpasses", "overpasses", true, Overpasses});
  }
  return s;
}

// Threads for the checks: two, each with its lane of checks (LaneOf), when
// the machine has two cores and both lanes have checks. Each thread holds a
// network of its own, and a lane with a spatial check its search's shapes
// and boxes: more threads would hold more copies for little gain.
// OSM2TRASSEL_CHECK_THREADS=1 runs every check on the stage's own thread.
// The GeoPackage's layers share one SQLite file, which one thread of the
// writer writes whoever hands it the rows; the TAB library's thread safety
// is not known: TAB keeps one thread.
int32_t CheckThreads(TGISFormat ff, const std::vector<TCheckStep>& steps) {
  if (ff != gfMIF && ff != gfMIF8 && ff != gfSHP && ff != gfGPKG) return 1;
  const int32_t n = ThreadsFromEnvironment("OSM2TRASSEL_CHECK_THREADS");
  bool lane[2] = {false, false};
  for (const TCheckStep& s : steps) lane[LaneOf(s)] = true;
  return n >= 2 && lane[0] && lane[1] ? 2 : 1;
}

// Every check on the network the stage opened, one after the other.
void RunChecksInOrder(TStage& run, TNetwork& net, TGISFormat ff,
                      const std::vector<TCheckStep>& steps, TStageCounter& checks) {
  TSpatialSearch search(&net);
  search.SetOnProgress(NetworkProgress(run));
  TLocationList list;
  TCheckContext c{net,
                  search,
                  list,
                  ff,
                  run.MainDir,
                  NetworkProgress(run),
                  [&run] { CheckCancelled(run.UI); },
                  [&run](const TGISWriter& w) { NoteTable(run, w); }};
  for (const TCheckStep& s : steps) {
    checks.Next(s.Stage);
    run.UI.Log(s.Log);
    std::optional<TCheckScope> scope;
    if (s.Table) scope.emplace(run, s.Table);
    s.Run(c);
  }
}

// ------------------------------------------------------------ checks on several threads
//
// Each thread opens a network of its own (the network reads link shapes
// through one file position and keeps scratch buffers, so it is not shared)
// and runs its kind of checks in their order; only the spatial one opens
// the spatial index. Each thread also makes the findings of its checks'
// rows (the sink's part for the step), so that the findings' text, the
// larger part of the work for a check with millions of rows, is made on
// both cores. The stage's own thread hands what the checks found to the
// front end and the findings in the order of the steps, exactly as one
// thread would: the stage and log line when a step has begun, its text as
// it comes, its tables when it has ended. The progress shown is the step's
// being handed over; a stop asked for is passed on to every thread, whose
// checks end at their next progress point.

// Text of a step not yet handed over waits in memory up to this much (the
// step being handed over a block at least); the step being handed over is taken from at once, so
// its thread waits for room, while a later step's thread writes the rest to
// its spool file and goes on with its checks.
std::atomic<size_t> MaxWaitingText{size_t(8) << 20};

// A block of a step's text: its own, or where its thread's spool holds it.
struct TTextBlock {
  std::string Text;
  int64_t At = -1;
  size_t Size = 0;
};

struct TStepState {
  bool Started = false, Skipped = false, Done = false;
  bool Stopped = false;   // ended by the user's stop
  bool CutShort = false;  // ended because another check failed
  std::exception_ptr Error;
  std::deque<TTextBlock> Text;  // not yet handed over
  size_t TextBytes = 0;         // of those in memory
  std::vector<TWrittenTable> Tables;
};

// An unnamed temporary file a thread writes its waiting text to and the
// stage's thread reads it back from; gone with the file handle.
class TSpool {
 public:
  ~TSpool() {
    if (FFile) std::fclose(FFile);
  }
  // False when no temporary file can be made: the text then waits in memory.
  bool Usable() {
    if (!FFile && !FTried) {
      FTried = true;
      FFile = std::tmpfile();
    }
    return FFile != nullptr;
  }
  // Only the thread of the lane writes, and only past what it has told.
  int64_t Append(std::string_view text) {
    const int64_t at = FEnd;
    if (!Whole(::pwrite, const_cast<char*>(text.data()), text.size(), at))
      throw EWriteError(std::string("Cannot write the checks' waiting findings to a temporary file (") +
                        std::strerror(errno) + "): free space in the temporary folder");
    FEnd += static_cast<int64_t>(text.size());
    return at;
  }
  void Read(int64_t at, size_t size, std::string& out) const {
    out.resize(size);
    if (!Whole(::pread, out.data(), size, at))
      throw EReadError(std::string("Cannot read the checks' waiting findings back from a temporary file (") +
                       std::strerror(errno) + ")");
  }

 private:
  // All of size bytes at `at` through io (pread or pwrite), on after an
  // interruption; false with errno set when they cannot be.
  template <typename TIo>
  bool Whole(TIo io, char* data, size_t size, int64_t at) const {
    for (size_t done = 0; done < size;) {
      const ssize_t n = io(fileno(FFile), data + done, size - done, static_cast<off_t>(at + static_cast<int64_t>(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  std::FILE* FFile = nullptr;
  bool FTried = false;
  int64_t FEnd = 0;
};

class TCheckThreads {
 public:
  TCheckThreads(const TStage& run, TGISFormat ff, const std::vector<TCheckStep>& steps)
      : FDir(run.MainDir),
        FEncoding(run.Options.Encoding),
        FFF(ff),
        FSteps(steps),
        FSink(run.Checks),
        FState(steps.size()),
        FProgress(steps.size()) {}
  ~TCheckThreads() {
    Signal(FAbort);
    for (std::thread& t : FThreads) t.join();
  }
  TCheckThreads(const TCheckThreads&) = delete;
  TCheckThreads& operator=(const TCheckThreads&) = delete;

  // A thread for each lane.
  void Start() {
    for (const int32_t lane : {0, 1}) FThreads.emplace_back([this, lane] { Lane(lane); });
  }
  // Hands every step over in order; raises the first error in that order,
  // or ERunCancelled after a stop. The sink is attached: the checks may
  // begin.
  void HandOver(TStage& run, TStageCounter& checks);

 private:
  void Lane(int32_t lane);
  // Whether step k ends: the run is stopped or given up, or an earlier
  // step failed. A step before the failed one goes on, as on one thread:
  // it may fail too, and then its error is the run's.
  bool Cancelled(size_t k) const { return FAbort || FUserStop || FFailedAt < k; }
  bool Cancelled() const { return FAbort || FUserStop; }
  // Sets a flag that ends the checks; set under the lock, so that a thread
  // waiting for room for its text cannot miss it.
  void Signal(std::atomic<bool>& flag) {
    {
      std::lock_guard<std::mutex> g(FLock);
      flag = true;
    }
    FNews.notify_all();
  }
  // Waits for news of the lanes a little while, keeping the front end alive.
  void Pump(TStage& run, std::unique_lock<std::mutex>& lock, int32_t step, int32_t& shown);
  // A block of step k's text from the thread that runs it.
  void Hand(size_t k, std::string& block);

  const std::string FDir;
  const uint16_t FEncoding;
  const TGISFormat FFF;
  const std::vector<TCheckStep>& FSteps;
  TCheckSink* const FSink;  // may be null
  std::atomic<bool> FAbort{false}, FUserStop{false};
  std::atomic<size_t> FFailedAt{SIZE_MAX};  // the first failed step in step order
  std::mutex FLock;
  std::condition_variable FNews;
  bool FAttached = false;  // the sink takes parts
  size_t FHanding = 0;     // the step whose text the stage's thread takes
  std::vector<TStepState> FState;
  std::vector<std::atomic<int32_t>> FProgress;
  TSpool FSpool[2];  // per lane
  std::vector<std::thread> FThreads;
};

void TCheckThreads::Hand(size_t k, std::string& block) {
  if (block.empty()) return;
  TSpool& spool = FSpool[LaneOf(FSteps[k])];
  TStepState& s = FState[k];
  const size_t bound = MaxWaitingText.load();
  const auto room = [&] { return s.TextBytes + block.size() <= bound; };
  std::unique_lock<std::mutex> lock(FLock);
  if (FHanding != k && !room() && spool.Usable()) {
    // Read back only once the block is told, which is after this write.
    lock.unlock();
    const size_t size = block.size();
    const int64_t at = spool.Append(block);
    block.clear();
    lock.lock();
    s.Text.push_back({std::string(), at, size});
    return;
  }
  // Being handed over (or nowhere else to go): the stage's thread takes it
  // soon. A stop ends the wait; the text found until then still goes.
  FNews.wait(lock, [&] { return s.TextBytes == 0 || room() || Cancelled(k); });
  s.TextBytes += block.size();
  s.Text.push_back({std::move(block), -1, 0});
  block = std::string();
  lock.unlock();
  FNews.notify_all();
}

void TCheckThreads::Lane(int32_t lane) {
  // Only a lane with a check that searches the index opens it.
  bool spatial = false;
  for (const TCheckStep& st : FSteps)
    if (LaneOf(st) == lane && st.Spatial) spatial = true;
  int32_t current = -1;
  std::vector<TWrittenTable> tables;
  std::unique_ptr<TCheckRows> rows;
  TProgressCancelEvent progress = [this, &current](TProgress*, int32_t p, bool& cancel) {
    if (current >= 0) FProgress[current].store(p, std::memory_order_relaxed);
    if (current >= 0 ? Cancelled(static_cast<size_t>(current)) : Cancelled()) cancel = true;
  };
  auto written = [&tables](const TGISWriter& w) { tables.push_back(DescribeTable(w)); };

  std::exception_ptr openError;
  std::unique_ptr<TNetwork> net;
  std::unique_ptr<TSpatialSearch> search;
  try {
    net = std::make_unique<TNetwork>();
    net->SetDirectory(FDir);
    if (FEncoding != 0) net->SetCodepage(FEncoding);
    net->SetOnProgress(progress);
    net->SetOnTableWritten(written);
    net->SetOnTableRow([&rows](const TGISWriter& w, std::string_view row, const TFloatPoint* p, int32_t n) {
      if (rows) rows->Row(w, row, p, n);
    });
    net->Open(true, false, spatial, 0);
    search = std::make_unique<TSpatialSearch>(net.get());
    search->SetOnProgress(progress);
  } catch (...) {
    openError = std::current_exception();
  }
  {
    // The parts look up ways and names through the stage's network.
    std::unique_lock<std::mutex> lock(FLock);
    FNews.wait(lock, [this] { return FAttached || Cancelled(); });
  }

  TLocationList list;
  bool failed = false;
  for (size_t k = 0; k < FSteps.size(); ++k) {
    if (LaneOf(FSteps[k]) != lane) continue;
    {
      std::lock_guard<std::mutex> g(FLock);
      // A step after a failed one may lack what that one found.
      if (Cancelled(k) || failed)
        FState[k].Skipped = true;
      else
        FState[k].Started = true;
    }
    FNews.notify_all();
    if (FState[k].Skipped) continue;
    current = static_cast<int32_t>(k);
    tables.clear();
    std::exception_ptr error = openError;
    if (!error) {
      try {
        if (FSink && FSteps[k].Table)
          rows = FSink->Rows(FSteps[k].Table, [this, k](std::string& block) { Hand(k, block); });
        TCheckContext c{*net,
                        *search,
                        list,
                        FFF,
                        FDir,
                        progress,
                        [this, k] {
                          if (Cancelled(k)) throw ERunCancelled();
                        },
                        written};
        FSteps[k].Run(c);
      } catch (...) {
        error = std::current_exception();
      }
      // A check stopped or failed part way keeps the rows it wrote.
      try {
        if (rows) rows->Finish();
      } catch (...) {
        if (!error) error = std::current_exception();
      }
      rows.reset();
    }
    if (error) {
      failed = true;
      {
        std::lock_guard<std::mutex> g(FLock);
        if (k < FFailedAt) FFailedAt = k;
      }
      FNews.notify_all();
    }
    {
      std::lock_guard<std::mutex> g(FLock);
      TStepState& s = FState[k];
      s.Error = error;
      s.Stopped = FUserStop;
      s.CutShort = !error && (FAbort || FFailedAt < k);
      s.Tables = std::move(tables);
      s.Done = true;
    }
    tables.clear();
    current = -1;
    FNews.notify_all();
  }
}

void TCheckThreads::Pump(TStage& run, std::unique_lock<std::mutex>& lock, int32_t step,
                         int32_t& shown) {
  FNews.wait_for(lock, std::chrono::milliseconds(50));
  lock.unlock();
  if (step >= 0) {
    const int32_t p = FProgress[step].load(std::memory_order_relaxed);
    if (p != shown) run.UI.Progress(shown = p);
  }
  run.UI.ProcessMessages();
  if (!FUserStop && run.UI.CancelRequested()) Signal(FUserStop);
  lock.lock();
}

void TCheckThreads::HandOver(TStage& run, TStageCounter& checks) {
  std::exception_ptr firstError;
  std::deque<TTextBlock> blocks;
  std::string read;
  // A stop asked for while the networks opened: no check begins.
  if (run.UI.CancelRequested()) Signal(FUserStop);
  {
    std::lock_guard<std::mutex> g(FLock);
    FAttached = true;
  }
  FNews.notify_all();
  for (size_t k = 0; k < FSteps.size(); ++k) {
    const TCheckStep& step = FSteps[k];
    TStepState& s = FState[k];
    int32_t shown = -1;
    std::unique_lock<std::mutex> lock(FLock);
    FHanding = k;
    while (!s.Started && !s.Skipped) Pump(run, lock, -1, shown);
    if (s.Skipped) continue;
    lock.unlock();
    checks.Announce(step.Stage);
    run.UI.Log(step.Log);
    if (step.Table && run.Checks) run.Checks->Begin(step.Table);
    lock.lock();
    for (;;) {
      blocks.swap(s.Text);
      s.TextBytes = 0;
      const bool done = s.Done;
      if (!blocks.empty()) {
        lock.unlock();
        FNews.notify_all();  // a check may wait for room
        for (TTextBlock& b : blocks) {
          if (b.At < 0) {
            run.Checks->Text(b.Text);
          } else {
            FSpool[LaneOf(step)].Read(b.At, b.Size, read);
            run.Checks->Text(read);
          }
        }
        blocks.clear();
        lock.lock();
        continue;
      }
      if (done) break;
      Pump(run, lock, static_cast<int32_t>(k), shown);
    }
    lock.unlock();
    run.Tables.insert(run.Tables.end(), s.Tables.begin(), s.Tables.end());
    if (s.Error) {
      // Left by an error: the check stays running, as on one thread.
      if (!firstError) firstError = s.Error;
    } else if (step.Table && run.Checks && !s.CutShort) {
      run.Checks->End(step.Table, s.Stopped);
    }
  }
  for (std::thread& t : FThreads) t.join();
  FThreads.clear();
  if (firstError) std::rethrow_exception(firstError);
  if (FUserStop) throw ERunCancelled();
}

// Opens the network just built and runs the chosen checks; each writes its
// table beside the road table.
void CheckNetwork(TStage& run, TGISFormat ff, TStageCounter& steps) {
  const TRunOptions& o = run.Options;
  if (!o.Subnets && !o.TopoChecks) return;
  const std::vector<TCheckStep> chosen = ChosenSteps(o);
  const int32_t threads = CheckThreads(ff, chosen);
  steps.Next("Opening network");
  run.UI.Log("Opening network");
  // The threads open their networks while this one opens.
  std::optional<TCheckThreads> lanes;
  if (threads > 1) lanes.emplace(run, ff, chosen).Start();
  TNetwork net;
  net.SetDirectory(run.MainDir);
  if (o.Encoding != 0) net.SetCodepage(o.Encoding);  // the check tables declare it too
  net.SetOnProgress(NetworkProgress(run));
  net.SetOnTableWritten([&run](const TGISWriter& w) { NoteTable(run, w); });
  // On several threads this network only serves the findings' look-ups
  // (ways, names, road classes), which the lanes' parts make through it.
  net.Open(true, false, threads == 1, 0);
  net.OpenRoadName(1, false);
  net.OpenRoadName(2, false);
  // The findings take every check row as it is written (on several
  // threads through the lanes' parts), until the network goes.
  struct TAttached {
    TCheckSink* f;
    ~TAttached() {
      if (f) f->Detach();
    }
  } attached{run.Checks};
  if (attached.f) attached.f->Attach(net);
  TStageCounter checks(run, TStageKind::skCheck, static_cast<int32_t>(chosen.size()));
  if (threads == 1) {
    RunChecksInOrder(run, net, ff, chosen, checks);
  } else {
    lanes->HandOver(run, checks);
  }
  // The last check may have been stopped too: its table holds the rows
  // found until then, and the run ends as cancelled.
  CheckCancelled(run.UI);
}

}  // namespace

size_t SetCheckTextInMemory(size_t bytes) { return MaxWaitingText.exchange(bytes); }

void RunNetworkStage(const TRunOptions& o, IRunUI& ui, TCheckSink* checkSink,
                     std::vector<TWrittenTable>& tables) {
  TStage run{o, ui, checkSink, tables, o.MainDir};
  const uint8_t ff = o.FF();
  TStageCounter steps(run, TStageKind::skNetwork, o.Subnets || o.TopoChecks ? 3 : 2);
  // A stop asked for after the last point of pass 3 ends the run here,
  // before any network file is written.
  steps.Next("Network import");
  bool built = false;
  try {
    // Gone, its pieces ended, before any file is removed.
    const int32_t threads = ImportThreads();
    TAttributeImport attributes(run, ff, threads);
    built = ImportNetwork(run, ff, threads, attributes);
    if (built) {
      steps.Next("Attribute import");
      run.UI.Log("Importing Linvoro 4 network - attributes");
      attributes.Finish(run);
    }
  } catch (...) {
    // A network that was not completed (a full disk, a damaged table, or
    // the user stopped the run) must not stay declared by its
    // linvoro_config.ini, nor described by a report that counts its links:
    // the whole set goes, and the run reports the failure or the stop.
    RemoveNetworkFiles(run, false);
    throw;
  }
  if (!built) {
    // Nothing to build a network from: attribute and road-name files for no
    // network, or checks that look for a missing one, would only mislead, and
    // a set left by an earlier run in this folder is not this table's
    // network. The report of this import stays: it says what was rejected.
    RemoveNetworkFiles(run, true);
    run.UI.Log("No network built: the road table has no objects");
    return;
  }
  CheckNetwork(run, static_cast<TGISFormat>(ff), steps);
}
