#include "node_store.h"

#include <algorithm>
#include <climits>

namespace {

class TNodeStore final : public IOsmNodes {
 public:
  TNodeStore(const TIdSet& needed, TNodeCoordinates& store) : FNeeded(needed), FStore(store) {}

  // A node already stored from an earlier file is not stored again; within
  // the first file no such test is made (a file lists a node once), which
  // spares a look-up per node of the largest file of most runs.
  bool WantNode(int64_t id) override {
    return FNeeded.GetBit(id) && (FFirstFile || !FStore.Coords.HasNode(id));
  }
  void BeginFile(size_t file) override { FFirstFile = file == 0; }

  void Node(int64_t id, const TFloatPoint& p, const std::string_view* ref) override {
    if (ref) FStore.Junctions.try_emplace(id, *ref);
    FStore.Coords.AddNode(id, p);
    ++Count;
  }

  int64_t Count = 0;

 private:
  const TIdSet& FNeeded;
  TNodeCoordinates& FStore;
  bool FFirstFile = true;
};

}  // namespace

std::unique_ptr<TNodeCoordinates> StoreNodes(TPassDriver& driver, const TIdSet& needed, IRunUI& ui) {
  auto store = std::make_unique<TNodeCoordinates>();
  store->Coords.SetCapacity(static_cast<int32_t>(std::min<int64_t>(needed.CountTrue(), INT32_MAX)));
  TNodeStore handler(needed, *store);
  driver.ReadNodes(handler);
  ui.Log(std::to_string(handler.Count) + " nodes found (coordinates read)");
  store->Coords.Sort();
  return store;
}
