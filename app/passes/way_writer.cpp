#include "way_writer.h"

#include <memory>
#include <string>
#include <string_view>

#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_textfilewriter.h"
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

// Each selected way once: its record, its geometry, and done.
class TWayWriter final : public IOsmWays {
 public:
  TWayWriter(TWaySelection& sel, const TNodeCoordinates& nodes, TWayAttributes& attrs, TWayGeometry& geometry)
      : FSel(sel), FCoords(nodes.Coords), FJunctions(nodes.Junctions), FAttrs(attrs), FGeometry(geometry) {}
  bool WantWay(int64_t id) override { return FSel.Ways.GetBit(id); }
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
    FAttrs.FinishWay(hasFirst ? &firstNode : nullptr, &FJunctions, FSel.Modes[0].GetBit(way.Id),
                     FSel.Modes[1].GetBit(way.Id), FSel.Modes[2].GetBit(way.Id));
    FGeometry.FinishWay(FNodes, FCoords, FAttrs, &FSel.SplitNodes);
    // Written or rejected, the way is done: a copy of it in a later file
    // is skipped.
    FSel.Ways.SetBit(way.Id, false);
  }

 private:
  TWaySelection& FSel;
  const TNodeListEx& FCoords;
  const TJunctionList& FJunctions;
  TWayAttributes& FAttrs;
  TWayGeometry& FGeometry;
  TNode2List FNodes;
};

// A closed table in the list of written ones.
void NoteTable(std::vector<TWrittenTable>& tables, const TGISWriter& writer) {
  const std::string& path = writer.FileName();
  const size_t slash = path.rfind('/');
  tables.push_back({slash == std::string::npos ? path : path.substr(slash + 1), GISFormatName(writer.Format()),
                    writer.WrittenRecords()});
}

}  // namespace

TRoadTableResult WriteRoadTable(TPassDriver& driver, TWaySelection& sel, const TNodeCoordinates& nodes,
                                const TRunOptions& o, const TIncludeLists& include, IRunUI& ui, TRoadSink* sink,
                                std::vector<TWrittenTable>& tables) {
  ui.Log("Writing output");
  TRoadTableResult result;
  std::unique_ptr<TGISWriter> table = TGISWriter::GetGISObject(o.FF());
  table->SetFileName(o.MainDir + "roads");
  if (o.Encoding != 0) table->SetEncoding(o.Encoding);
  table->SetOnLostText([&result](std::string_view name) {
    if (result.LostNames.find(name) == result.LostNames.end()) result.LostNames.emplace(name);
  });
  std::unique_ptr<TTextFileWriter> errorFile;
  bool started = false;  // the table's files exist
  try {
    AddRoadFields(*table, o, sel.Ways.MaxId(), sel.Ways.MinId());
    started = true;
    // Findings quote names: a chosen encoding holds them there too.
    errorFile = std::make_unique<TTextFileWriter>(
        o.MainDir + "error.txt", static_cast<uint16_t>(o.Encoding != 0 ? o.Encoding : SystemAnsiCodePage()), false);
    TErrorFile errors(*errorFile);
    TWayAttributes attrs(o, include, errors);
    TWayGeometry geometry(o, *table, errors);
    geometry.SetRoadSink(sink);

    // Ways pass 1 found too long to convert, in the order it met them.
    for (const auto& [id, refs] : sel.TooLongWays) errors.ErrorLine(TooManyNodesLine(id, refs));

    TWayWriter writer(sel, nodes, attrs, geometry);
    driver.ReadWays(writer);
    result.Loops = geometry.LoopCount();

    errorFile->Close();
    table->Close();
    NoteTable(tables, *table);
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
      table->CloseUnfinished();
      if (started) NoteTable(tables, *table);
    } catch (...) {
    }
    throw;
  }
  ui.Log(std::to_string(result.Loops) + " loop links have been split");
  return result;
}
