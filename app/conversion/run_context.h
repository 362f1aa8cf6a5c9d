// Everything one conversion run owns. The passes hand data to each other only
// through these members.
#pragma once

#include <cstdint>
#include <memory>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "node_list.h"
#include "include_file.h"
#include "id_set.h"
#include "osm_format.h"
#include "osm_reader.h"
#include "run_options.h"
#include "run_ui.h"


// A table the run wrote and closed: what its summary line in the log says.
struct TWrittenTable {
  std::string Name;    // "roads", "nodes", ...
  std::string Format;  // "SHP", "MIF", "TAB"
  int64_t Records = 0;
};

// A set of texts that is searched by string_view without making a string.
struct TTextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TTextSet = std::unordered_set<std::string, TTextHash, std::equal_to<>>;

struct TRunContext {
  const TRunOptions& Options;  // reconciled options of this run
  const TIncludeLists& Include;
  IRunUI& UI;
  std::string MainDir;  // output folder, trailing '/'

  std::vector<TFileInfo> FileInfo;
  std::unique_ptr<TIdSet> wayid, inc0, inc1, inc2;  // way id space
  std::unique_ptr<TIdSet> Nodes, SplitNode;         // node id space
  std::unique_ptr<TNodeIDList> FerryNodes;
  std::unique_ptr<TNodeListEx> CoordFile;
  std::unique_ptr<TJunctionList> JunctionList;
  int64_t LoopCount = 0;
  int32_t CurrentFile = -1;  // index into FileInfo of the file a pass reads, else -1
  // Where closed tables are listed; owned by the driver, so that the list
  // outlives a run ended by an error. Null: not listed.
  std::vector<TWrittenTable>* Tables = nullptr;
  int32_t HeaderFailedFile = -1;  // the XML file pass 1 stopped at, else -1
  // The run's report, which collects the roads and findings it shows; owned
  // by the driver. Null: no report.
  class TReportPage* Report = nullptr;

  // Pass 2 ends in the last file where its ways begin; pass 3 goes on in
  // the reader pass 2 stopped in instead of decompressing or decoding the
  // file once more.
  std::unique_ptr<TOsmReader> LastFileReader;

  // Selected ways with more than MaxWayRefs node references, met by pass 1
  // and reported by pass 3; their nodes are not marked.
  std::vector<std::pair<int64_t, size_t>> TooLongWays;

  // Distinct names of the road table that lost characters to its code page.
  TTextSet LostNames;

  TRunContext(const TRunOptions& o, const TIncludeLists& inc, IRunUI& ui)
      : Options(o), Include(inc), UI(ui), MainDir(o.MainDir) {}
};

// Pass `pass` (1..3) starts on file fi: the file is selected in the list, the
// stage reported, and errors about the data name that file.
void BeginPassFile(TRunContext& run, int32_t pass, size_t fi);

// Lists a table whose writer has been closed (nothing when Tables is null).
void NoteTable(TRunContext& run, const class TGISWriter& writer);

// The three passes.
void ScanWays(TRunContext& run);             // pass 1
void ReadNodeCoordinates(TRunContext& run);  // pass 2
void WriteOutput(TRunContext& run);          // pass 3
