#include "linvoro_sublinklist.h"

int64_t TSubLinkList::Vertexcount() const {
  int64_t n = 0;
  for (int32_t i = 0; i < FCount; ++i) {
    const TSubLink& s = FList[i];
    if (s.sub2 != 0) n += int64_t(s.sub2) - int64_t(s.sub1) + 1;
  }
  return n;
}
