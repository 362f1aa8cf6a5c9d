// The name tree of the road-name import: the distinct names of a table in
// the user locale's case-sensitive order, with the width of the longest one.
#pragma once

#include <cstdint>
#include <string>

#include "linvoro_basetree.h"

class TStringTree : public TBalancedTree<std::string> {
 public:
  int Compare(const std::string& a, const std::string& b) const override;
  // Also widens fMaxLength to the key's length in UTF-16 code units.
  int32_t Add(const std::string& key) override;

  // Length in UTF-16 code units of the longest key added (0 when empty).
  int32_t MaxLength() const { return fMaxLength; }
  // The id given by CreateID to an equal key, -1 when absent.
  int32_t ID(const std::string& key) const {
    const int32_t i = IndexOf(key);
    return i < 0 ? -1 : Node(i).id;
  }

 protected:
  int32_t fMaxLength = 0;
};
