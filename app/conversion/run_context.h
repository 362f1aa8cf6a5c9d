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
#include "osm_lines.h"
#include "pbf_input.h"
#include "run_options.h"
#include "run_ui.h"

struct TFileInfo {
  std::string Filename;        // the path as listed
  TOsmFormat Format = TOsmFormat::ofXml;  // told by the content before pass 1
  int64_t ThirdPassStart = 0;  // where pass 2 met the file's first way (XML text offset)
  explicit TFileInfo(std::string name) : Filename(std::move(name)) {}
};

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

  // Pass 2 ends in the last file where its ways begin. When that file cannot
  // seek (compressed XML) or is PBF, pass 3 goes on in the stream pass 2
  // stopped in instead of decompressing or decoding the file once more.
  std::unique_ptr<TOsmLineReader> LastFileLines;
  std::unique_ptr<TPbfReader> LastFilePbf;

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

// Pass 2 over one open file: stores the needed nodes (for every file but the
// first only those not stored yet), their "ref" tags, and records where the
// file's ways begin. Returns the number of nodes stored.
int64_t ReadNodesOfFile(TRunContext& run, bool firstFile, TOsmLineReader& reader, TFileInfo& info);
// The same over a PBF file; the reader is left at the first way, which its
// next Next() returns.
int64_t ReadNodesOfFile(TRunContext& run, bool firstFile, TPbfReader& reader);
