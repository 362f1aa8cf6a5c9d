#include "linvoro_memorypool.h"

#include <sys/mman.h>

#include <cstdint>

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// Below this a chunk comes from calloc.
constexpr size_t kMapLimit = size_t(4) << 20;

size_t MappedBytes(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* AllocateZeroed(size_t bytes) {
  if (bytes < kMapLimit) {
    void* p = std::calloc(bytes, 1);
    if (!p) throw std::bad_alloc();
    return p;
  }
  // Over-allocate by one huge page and trim both ends to get alignment.
  const size_t len = MappedBytes(bytes);
  void* raw = mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t(kHugePage) - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = aligned + len;
  const uintptr_t rawEnd = start + len + kHugePage;
  if (rawEnd > tail) munmap(reinterpret_cast<void*>(tail), rawEnd - tail);
  void* p = reinterpret_cast<void*>(aligned);
  madvise(p, len, MADV_HUGEPAGE);  // a hint; failure leaves small pages
  return p;
}

void FreeZeroed(void* p, size_t bytes) noexcept {
  if (!p) return;
  if (bytes < kMapLimit)
    std::free(p);
  else
    munmap(p, MappedBytes(bytes));
}

void BigArrayIndexError(const char* what, int64_t i) {
  throw EOutOfRange(std::string("Invalid TBigArray.") + what + " index: " + std::to_string(i));
}
