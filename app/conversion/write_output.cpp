// Pass 3: the way sections of every file once more. Each selected way gets
// its attribute record, its nodes' coordinates, and is cut into links that go
// to the road table; findings go to error.txt.
#include <memory>
#include <string>
#include <string_view>

#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_textfilewriter.h"
#include "osm_reader.h"
#include "run_context.h"
#include "report_page.h"
#include "way_attributes.h"
#include "way_geometry.h"

namespace {

class TErrorFile final : public TErrorSink {
 public:
  explicit TErrorFile(TTextFileWriter& file) : FFile(file) {}
  void ErrorLine(std::string_view line) override { FFile.writeln(line); }

 private:
  TTextFileWriter& FFile;
};

bool Bit(const std::unique_ptr<TIdSet>& set, int64_t index) {
  return set && set->GetBit(index);
}

}  // namespace

void WriteOutput(TRunContext& run) {
  run.UI.Log("Writing output");

  std::unique_ptr<TGISWriter> table = TGISWriter::GetGISObject(run.Options.FF());
  table->SetFileName(run.MainDir + "roads");
  if (run.Options.Encoding != 0) table->SetEncoding(run.Options.Encoding);
  table->SetOnLostText([&run](std::string_view name) {
    if (run.LostNames.find(name) == run.LostNames.end()) run.LostNames.emplace(name);
  });
  std::unique_ptr<TTextFileWriter> errorFile;
  int64_t loops = 0;
  bool started = false;  // the table's files exist
  try {
    AddRoadFields(*table, run.Options, run.wayid ? run.wayid->MaxId() : 0, run.wayid ? run.wayid->MinId() : 0);
    started = true;
    // Findings quote names: a chosen encoding holds them there too.
    errorFile = std::make_unique<TTextFileWriter>(
        run.MainDir + "error.txt",
        static_cast<uint16_t>(run.Options.Encoding != 0 ? run.Options.Encoding : SystemAnsiCodePage()), false);
    TErrorFile errors(*errorFile);
    TWayAttributes attrs(run.Options, run.Include, errors);
    TWayGeometry geometry(run.Options, *table, errors);
    if (run.Report) geometry.SetRoadSink(&run.Report->Roads());
    if (!run.CoordFile) run.CoordFile = std::make_unique<TNodeListEx>();
    const TNodeListEx& coords = *run.CoordFile;
    TIdSet* wayid = run.wayid.get();

    // Ways pass 1 found too long to convert, in the order it met them.
    for (const auto& [id, refs] : run.TooLongWays) errors.ErrorLine(TooManyNodesLine(id, refs));

    // Each selected way once: its record, its geometry, and done.
    class TWayWriter final : public IOsmWays {
     public:
      TWayWriter(TRunContext& run, TWayAttributes& attrs, TWayGeometry& geometry, const TNodeListEx& coords)
          : FRun(run), FAttrs(attrs), FGeometry(geometry), FCoords(coords), FWayId(*run.wayid) {}
      bool WantWay(int64_t id) override { return FWayId.GetBit(id); }
      void Way(const TOsmWay& way) override {
        FAttrs.ResetWayState(way.Id);
        for (const TOsmTag& t : way.Tags) FAttrs.HandleTag(t.Key, t.Value);
        FNodes.Reset();
        for (const int64_t id : way.Refs()) {
          TNode2 node;
          node.ID = id;
          FNodes.Add(node);
        }
        const bool hasFirst = FNodes.Count() > 0;
        const int64_t firstNode = hasFirst ? FNodes[0].ID : 0;
        FAttrs.FinishWay(hasFirst ? &firstNode : nullptr, FRun.JunctionList.get(), Bit(FRun.inc0, way.Id),
                         Bit(FRun.inc1, way.Id), Bit(FRun.inc2, way.Id));
        FGeometry.FinishWay(FNodes, FCoords, FAttrs, FRun.SplitNode.get());
        // Written or rejected, the way is done: a copy of it in a later
        // file is skipped.
        FWayId.SetBit(way.Id, false);
      }

     private:
      TRunContext& FRun;
      TWayAttributes& FAttrs;
      TWayGeometry& FGeometry;
      const TNodeListEx& FCoords;
      TIdSet& FWayId;
      TNode2List FNodes;
    };

    for (size_t f = 0; f < run.FileInfo.size(); ++f) {
      BeginPassFile(run, 3, f);
      // The last file goes on in the reader pass 2 stopped in.
      const bool last = f + 1 == run.FileInfo.size();
      std::unique_ptr<TOsmReader> reader = last ? std::move(run.LastFileReader) : nullptr;
      if (!reader) reader = OpenOsmReader(run.FileInfo[f], run.UI);
      if (wayid != nullptr) {
        TWayWriter writer(run, attrs, geometry, coords);
        reader->ReadWays(writer);
      }
      run.UI.Progress(0);
    }
    loops = geometry.LoopCount();

    errorFile->Close();
    table->Close();
    NoteTable(run, *table);
  } catch (...) {
    // The run ends here (an error, or the user stopped it); what was
    // written so far is completed on disk as a whole table.
    if (errorFile) {
      try {
        errorFile->Close();
      } catch (...) {
      }
    }
    try {
      table->Close();
      if (started) NoteTable(run, *table);
    } catch (...) {
    }
    throw;
  }

  run.LoopCount += loops;
  run.UI.Log(std::to_string(run.LoopCount) + " loop links have been split");
}
