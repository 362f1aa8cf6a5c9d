#include "network_stage.h"

#include <string>

#include "linvoro_giswriter.h"
#include "linvoro_import.h"
#include "linvoro_importattributes.h"
#include "run_context.h"

namespace {

// The window's progress display for every network object; it never cancels.
TProgressCancelEvent NetworkProgress(TRunContext& run) {
  IRunUI* ui = &run.UI;
  return [ui](TProgress*, int32_t progress, bool&) {
    ui->Progress(progress);
    ui->ProcessMessages();
  };
}

void ImportNetwork(TRunContext& run, uint8_t ff) {
  run.UI.Log("Importing Linvoro 4 network");
  TImport import;
  import.SetDirectory(run.MainDir);
  import.SetOnProgress(NetworkProgress(run));
  const char* main = ff == gfMIF ? "roads.mif" : ff == gfSHP ? "roads.shp" : "roads.tab";
  import.Add(run.MainDir + main);
  import.SetAllowLoops(false);
  import.Execute();
  import.CreateReport();
}

void ImportAttributes(TRunContext& run, uint8_t ff) {
  run.UI.Log("Importing Linvoro 4 network - attributes");
  TImportAttributes ia;
  ia.SetDirectory(run.MainDir);
  ia.SetOnProgress(NetworkProgress(run));
  if (ff == gfMIF) {
    ia.Add(run.MainDir + "roads.mid");
    // The extra "ref" column of the two-field name choice shifts "attribute".
    ia.ExecuteAttribute(run.Options.NameRef == nrNameAndRef ? 4 : 3, "", fkCSV);
    ia.SetRoadNameFileIndex(1);
    ia.ExecuteRoadname(0, "", fkCSV);
    ia.SetRoadNameFileIndex(2);
    ia.ExecuteRoadname(1, "", fkCSV);
  } else {
    ia.Add(run.MainDir + (ff == gfSHP ? "roads.dbf" : "roads.dat"));
    ia.ExecuteAttribute(1, "attribute", fkDBF);
    ia.SetRoadNameFileIndex(1);
    ia.ExecuteRoadname(0, "osm_id", fkDBF);
    ia.SetRoadNameFileIndex(2);
    ia.ExecuteRoadname(1, "", fkDBF);
  }
}

}  // namespace

// The subnet and topology checks are not part of this program yet.
void RunNetworkStage(TRunContext& run) {
  const uint8_t ff = run.Options.FF();
  ImportNetwork(run, ff);
  ImportAttributes(run, ff);
}
