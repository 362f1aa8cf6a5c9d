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
  store->Coords.Seal();
  return store;
}

int32_t TNodeListEx::ReadPointNear(int64_t Id, TFloatPoint& P, int32_t& near) const {
  const int32_t n = FCount;
  if (!FUnique || near < 0 || near >= n) return ReadPoint(Id, P, near);
  if (!HasNode(Id)) return -1;
  const TNode* L = FList;
  const int32_t h = near;
  int64_t lo, hi;
  if (L[h].ID == Id) {
    lo = hi = h;
  } else if (L[h].ID < Id) {
    // Doubling steps to the right until an id at least Id is passed.
    int64_t step = 1;
    lo = h + 1;
    hi = h + 1;
    while (hi < n && L[hi].ID < Id) {
      lo = hi + 1;
      step <<= 1;
      hi = h + step;
    }
    if (hi >= n) hi = n - 1;
  } else {
    int64_t step = 1;
    hi = h - 1;
    lo = h - 1;
    while (lo >= 0 && L[lo].ID > Id) {
      hi = lo - 1;
      step <<= 1;
      lo = h - step;
    }
    if (lo < 0) lo = 0;
  }
  if (lo > hi) return -1;
  const TNode* end = L + hi + 1;
  const TNode* it = std::lower_bound(L + lo, end, Id, [](const TNode& a, int64_t id) { return a.ID < id; });
  if (it == end || it->ID != Id) return -1;
  P = it->P;
  near = static_cast<int32_t>(it - L);
  return 0;
}
