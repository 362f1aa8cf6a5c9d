#include "linvoro_stringtree.h"

#include <cstdint>

#include "linvoro_platform.h"

int TStringTree::Compare(const std::string& a, const std::string& b) const {
  const int r = CompareUserLocale(a, b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int32_t TStringTree::Add(const std::string& key) {
  // A UTF-16 text never has more code units than its UTF-8 form has bytes,
  // so only a longer key can widen the maximum.
  if (static_cast<int64_t>(key.size()) > fMaxLength) {
    const int32_t len = static_cast<int32_t>(Utf8ToCodePage(key, 1200).size() / 2);
    if (len > fMaxLength) fMaxLength = len;
  }
  return TBalancedTree<std::string>::Add(key);
}
