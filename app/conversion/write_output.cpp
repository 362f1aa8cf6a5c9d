// Pass 3: the way sections of every file once more. Each selected way gets
// its attribute record, its nodes' coordinates, and is cut into links that go
// to the road table; findings go to error.txt.
#include <memory>
#include <string>
#include <string_view>

#include <osmium/osm/way.hpp>

#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_textfilewriter.h"
#include "osm_lines.h"
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
    AddRoadFields(*table, run.Options, run.wayid ? run.wayid->MaxId() : 0);
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
    TNode2List nodes;

    // The end of a selected way: its record, its geometry, and done.
    const auto finishWay = [&](int64_t way) {
      const bool hasFirst = nodes.Count() > 0;
      const int64_t firstNode = hasFirst ? nodes[0].ID : 0;
      attrs.FinishWay(hasFirst ? &firstNode : nullptr, run.JunctionList.get(), Bit(run.inc0, way),
                      Bit(run.inc1, way), Bit(run.inc2, way));
      geometry.FinishWay(nodes, coords, attrs, run.SplitNode.get());
      // Written or rejected, the way is done: a copy of it in a later file
      // is skipped.
      wayid->SetBit(way, false);
    };

    const auto xmlFile = [&](TOsmLineReader& reader, int64_t thirdPassStart) {
      std::string_view line;
      if (!SeekToWays(reader, thirdPassStart, line)) return;
      TPassProgress progress(run.UI, reader);
      int64_t way = 0;
      bool selected = false;  // the current way is selected and not yet written
      do {
        const TElement e = SplitElement(Trim(line));
        switch (e.name.size()) {
          case 3:
            if (e.name == "way") {
              way = ParseId(FirstQuoted(e.attrs));
              selected = wayid->GetBit(way);
              if (selected) {
                attrs.ResetWayState(way);
                nodes.Reset();
              }
            } else if (selected && e.name == "tag") {
              std::string_view k, v;
              SplitTag(e.attrs, k, v);
              attrs.HandleTag(k, v);
            }
            break;
          case 2:
            if (selected && e.name == "nd") {
              TNode2 node;
              node.ID = ParseId(FirstQuoted(e.attrs));
              nodes.Add(node);
            }
            break;
          case 4:
            if (selected && e.name == "/way") {
              finishWay(way);
              selected = false;
            }
            break;
          default:
            break;
        }
        progress.Step();
      } while (reader.ReadLine(line));
    };

    // Tag texts reach the attributes as the XML text of the same value.
    const auto pbfFile = [&](TPbfReader& reader) {
      TPassProgress progress(run.UI, reader);
      reader.OnBlock = [&progress] { progress.Check(); };
      std::string kb, vb;
      while (const osmium::OSMObject* o = reader.Next()) {
        progress.Step();
        // Nodes after the first way are not read, as in an XML file.
        if (o->type() != osmium::item_type::way) continue;
        const auto& w = static_cast<const osmium::Way&>(*o);
        const int64_t way = w.id();
        if (!wayid->GetBit(way)) continue;
        attrs.ResetWayState(way);
        nodes.Reset();
        for (const osmium::NodeRef& n : w.nodes()) {
          TNode2 node;
          node.ID = n.ref();
          nodes.Add(node);
        }
        for (const osmium::Tag& t : w.tags()) attrs.HandleTag(XmlText(t.key(), kb), XmlText(t.value(), vb));
        finishWay(way);
      }
    };

    for (size_t f = 0; f < run.FileInfo.size(); ++f) {
      BeginPassFile(run, 3, f);
      const TFileInfo& info = run.FileInfo[f];
      // The last file may go on in the stream pass 2 stopped in.
      const bool last = f + 1 == run.FileInfo.size();
      if (info.Format == TOsmFormat::ofPbf) {
        std::unique_ptr<TPbfReader> reader = last ? std::move(run.LastFilePbf) : nullptr;
        if (!reader) reader = std::make_unique<TPbfReader>(info.Filename, false, true);
        if (wayid != nullptr) pbfFile(*reader);
      } else {
        std::unique_ptr<TOsmLineReader> reader = last ? std::move(run.LastFileLines) : nullptr;
        if (!reader) reader = std::make_unique<TOsmLineReader>(info.Filename, info.Format);
        if (wayid != nullptr) xmlFile(*reader, info.ThirdPassStart);
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
