// Pass 2: coordinates and junction refs of the nodes pass 1 marked, and the
// position where each file's ways begin.
#include "osm_reader.h"
#include "run_context.h"

namespace {

class TNodeStore final : public IOsmNodes {
 public:
  TNodeStore(TRunContext& run, bool firstFile)
      : FNeeded(*run.Nodes), FStore(*run.CoordFile), FJunctions(*run.JunctionList), FFirstFile(firstFile) {}

  // A node already stored from an earlier file is not stored again; within
  // the first file no such test is made.
  bool WantNode(int64_t id) override { return FNeeded.GetBit(id) && (FFirstFile || !FStore.HasNode(id)); }

  void Node(int64_t id, const TFloatPoint& p, const std::string_view* ref) override {
    // One value per node: a node listed twice keeps its first ref.
    if (ref) FJunctions.try_emplace(id, *ref);
    FStore.AddNode(id, p);
    ++Count;
  }

  int64_t Count = 0;

 private:
  const TIdSet& FNeeded;
  TNodeListEx& FStore;
  TJunctionList& FJunctions;
  const bool FFirstFile;
};

}  // namespace

void ReadNodeCoordinates(TRunContext& run) {
  int64_t total = 0;
  const size_t last = run.FileInfo.size() - 1;
  for (size_t i = 0; i < run.FileInfo.size(); ++i) {
    BeginPassFile(run, 2, i);
    std::unique_ptr<TOsmReader> reader = OpenOsmReader(run.FileInfo[i], run.UI);
    TNodeStore store(run, i == 0);
    reader->ReadNodes(store);
    total += store.Count;
    run.UI.Progress(0);
    run.UI.ProcessMessages();
    if (i == last) run.LastFileReader = std::move(reader);
  }
  run.UI.Log(std::to_string(total) + " nodes found (coordinates read)");
}
