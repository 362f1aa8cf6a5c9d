#include "osm_passes.h"

#include <memory>

#include "node_store.h"
#include "way_selection.h"
#include "way_writer.h"
#include "xml_lines.h"

TPassesResult ConvertOsmFiles(TPassDriver& driver, const TRunOptions& o, const TIncludeLists& include, IRunUI& ui,
                              TRoadSink* sink, std::vector<TWrittenTable>& tables, bool& errorFileBegun) {
  errorFileBegun = false;
  std::unique_ptr<TWaySelection> sel;
  std::unique_ptr<TNodeCoordinates> nodes;
  for (;;) {
    try {
      sel = SelectWays(driver, o, include, ui);
      ui.Log(std::to_string(sel->Ways.CountTrue()) + " ways found");
      ui.Log(std::to_string(sel->Nodes->CountTrue()) + " nodes found (needed by the selected ways)");
      if (o.SplitLinks) ui.Log(std::to_string(sel->SplitNodes.CountTrue()) + " nodes marked for split");
      ui.Log("Reading node coordinates");
      nodes = StoreNodes(driver, *sel->Nodes, ui);
      break;
    } catch (const EXmlLineForm&) {
      sel.reset();
      nodes.reset();
      ui.Log("File \"" + driver.Files()[static_cast<size_t>(driver.CurrentFile())].Filename +
             "\" does not keep one element per line throughout: the run starts again, reading it with the "
             "XML parser");
      driver.ReadCurrentFileWithParser();
    }
  }
  // Pass 3 needs the selected ways, the split nodes and the coordinates.
  sel->Nodes.reset();

  TPassesResult result;
  result.HeaderFailedFile = sel->HeaderFailedFile;
  errorFileBegun = true;
  TRoadTableResult roads = WriteRoadTable(driver, *sel, *nodes, o, include, ui, sink, tables);
  result.Loops = roads.Loops;
  result.LostNames = roads.LostNames.size();
  return result;
}
