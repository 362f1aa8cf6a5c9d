#include "pass_driver.h"

#include "open_reader.h"
#include "osm_format.h"
#include "xml_lines.h"

// Between a reader and a pass: where the pass starts and stops in the file,
// which objects count (not those marked deleted) and the limits, the same
// for every form.
class TPassDriver::THandler final : public IOsmHandler {
 public:
  THandler(int32_t pass, TFileState& state, const TOsmReader& reader, IOsmWays* ways, IOsmNodes* nodes)
      : FPass(pass), FState(state), FReader(reader), FWays(ways), FNodes(nodes) {}

  bool Section(TOsmKind kind) override {
    if (kind == TOsmKind::okWay) {
      if (FPass == 1) FState.HasWays = true;
      // A sorted file's nodes end here.
      if (FPass == 2 && FState.Sorted) {
        FState.WaysBegin = FReader.SectionPlace();
        return false;
      }
      FSawWay = true;
    } else if (kind == TOsmKind::okNode && FSawWay && FPass == 1) {
      FState.Sorted = false;
    }
    return true;
  }

  bool WantNode(int64_t id) override { return FNodes != nullptr && FNodes->WantNode(id); }

  void Node(const TOsmNode& node) override {
    if (node.Deleted) return;
    if (!node.HasRef) {
      FNodes->Node(node.Id, node.P, nullptr);
      return;
    }
    const std::string_view ref = node.Ref.substr(0, MaxRefBytes);
    FNodes->Node(node.Id, node.P, &ref);
  }

  bool WantWay(int64_t id) override { return FWays != nullptr && FWays->WantWay(id); }

  void Way(const TOsmWay& way) override {
    if (!way.Deleted) FWays->Way(way);
  }

 private:
  const int32_t FPass;
  TFileState& FState;
  const TOsmReader& FReader;
  IOsmWays* const FWays;
  IOsmNodes* const FNodes;
  bool FSawWay = false;
};

TPassDriver::TPassDriver(const std::vector<std::string>& files, IRunUI& ui) : FUI(ui) {
  for (const std::string& f : files) FFiles.emplace_back(f);
  FState.resize(FFiles.size());
  // Every file is known by its content before anything is read or written:
  // a file in none of the formats read ends the run here.
  for (TFileInfo& info : FFiles) {
    info.Format = DetectOsmFormat(info.Filename);
    if (IsXml(info.Format)) info.XmlLines = XmlReadsAsLines(info.Filename, info.Format);
  }
}

TPassDriver::~TPassDriver() = default;

void TPassDriver::BeginFile(int32_t pass, size_t file) {
  FCurrent = static_cast<int32_t>(file);
  FUI.SelectFile(FCurrent);
  TRunStage s;
  s.Kind = TStageKind::skPass;
  s.Name = "Pass " + std::to_string(pass) + "/3";
  s.Number = pass;
  s.Count = 3;
  s.File = FCurrent;
  s.FileCount = static_cast<int32_t>(FFiles.size());
  s.FileName = FFiles[file].Filename;
  FUI.Stage(s);
}

bool TPassDriver::ReadAllWays(IOsmWays& ways) {
  FKept.reset();
  FHeaderFailed = -1;
  for (size_t fi = 0; fi < FFiles.size(); ++fi) {
    BeginFile(1, fi);
    FState[fi] = TFileState();
    const std::unique_ptr<TOsmReader> reader = OpenOsmReader(FFiles[fi]);
    FUI.Progress(0);
    TPassProgress progress(FUI, *reader);
    THandler handler(1, FState[fi], *reader, &ways, nullptr);
    TReadRequest what;
    what.Ways = true;
    what.CheckHeader = true;
    if (!reader->Read(handler, what, progress)) {
      FHeaderFailed = static_cast<int32_t>(fi);
      FCurrent = -1;
      return false;
    }
    if (!FState[fi].Sorted)
      FUI.Log("File \"" + FFiles[fi].Filename +
              "\" is not sorted (a node follows a way): passes 2 and 3 read it in full");
    FUI.Progress(100);
    FUI.ProcessMessages();
  }
  FCurrent = -1;
  return true;
}

void TPassDriver::ReadNodes(IOsmNodes& nodes) {
  FKept.reset();
  for (size_t fi = 0; fi < FFiles.size(); ++fi) {
    BeginFile(2, fi);
    nodes.BeginFile(fi);
    TFileState& state = FState[fi];
    state.WaysBegin = TOsmPlace();
    std::unique_ptr<TOsmReader> reader = OpenOsmReader(FFiles[fi]);
    TPassProgress progress(FUI, *reader);
    THandler handler(2, state, *reader, nullptr, &nodes);
    TReadRequest what;
    what.Nodes = true;
    // The reader of a sorted file may go on into pass 3: a PBF reader
    // then decodes the ways of the blocks it reads ahead.
    what.Ways = state.Sorted;
    reader->Read(handler, what, progress);
    FUI.Progress(0);
    FUI.ProcessMessages();
    if (fi + 1 == FFiles.size() && state.Sorted && state.WaysBegin.Valid()) FKept = std::move(reader);
  }
  FCurrent = -1;
}

void TPassDriver::ReadWays(IOsmWays& ways) {
  for (size_t fi = 0; fi < FFiles.size(); ++fi) {
    BeginFile(3, fi);
    TFileState& state = FState[fi];
    std::unique_ptr<TOsmReader> reader = fi + 1 == FFiles.size() ? std::move(FKept) : nullptr;
    const bool kept = reader != nullptr;
    // A sorted file in which pass 2 met no way has none to read.
    if (!reader && (!state.Sorted || state.WaysBegin.Valid())) reader = OpenOsmReader(FFiles[fi]);
    if (reader) {
      TPassProgress progress(FUI, *reader);
      if (state.Sorted && !kept) reader->StartAt(state.WaysBegin, progress);
      THandler handler(3, state, *reader, &ways, nullptr);
      TReadRequest what;
      what.Ways = true;
      reader->Read(handler, what, progress);
    }
    FUI.Progress(0);
  }
  FKept.reset();
  FCurrent = -1;
}

void TPassDriver::ReadCurrentFileWithParser() {
  if (FCurrent >= 0) FFiles[static_cast<size_t>(FCurrent)].XmlLines = false;
  FKept.reset();
}
