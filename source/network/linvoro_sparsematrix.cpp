#include "linvoro_sparsematrix.h"

TSparseMatrix::TSparseMatrix(int64_t dim)
    : FTable(1024, EmptySlot), FRows(dim > 0 ? dim : 0), FCols(dim > 0 ? dim : 0) {}

bool TSparseMatrix::Find(uint64_t key) const {
  if (key == EmptySlot) return FHasEmptyKey;
  const size_t mask = FTable.size() - 1;
  for (size_t i = Hash(key) & mask;; i = (i + 1) & mask) {
    const uint64_t v = FTable[i];
    if (v == key) return true;
    if (v == EmptySlot) return false;
  }
}

void TSparseMatrix::Insert(uint64_t key) {
  const size_t mask = FTable.size() - 1;
  size_t i = Hash(key) & mask;
  while (FTable[i] != EmptySlot) i = (i + 1) & mask;
  FTable[i] = key;
}

void TSparseMatrix::Grow() {
  std::vector<uint64_t> old(FTable.size() * 2, EmptySlot);
  old.swap(FTable);
  for (uint64_t k : old)
    if (k != EmptySlot) Insert(k);
}

bool TSparseMatrix::Contains(int32_t ARow, int32_t ACol) const {
  return MaybePresent(ARow, ACol) && Find(Key(ARow, ACol));
}

bool TSparseMatrix::Add(int32_t ARow, int32_t ACol) {
  const uint64_t key = Key(ARow, ACol);
  if (MaybePresent(ARow, ACol) && Find(key)) return true;
  if (ARow >= 0) FRows.SetBit(ARow, true);
  if (ACol >= 0) FCols.SetBit(ACol, true);
  ++FCount;
  if (key == EmptySlot) {
    FHasEmptyKey = true;
    return false;
  }
  if (size_t(FCount) * 2 > FTable.size()) Grow();
  Insert(key);
  return false;
}
