// Windows code pages against MapInfo charset names and numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "linvoro_baselist.h"

struct TCharSet {
  uint16_t codepage = 0;
  uint8_t ID = 0;        // MapInfo charset number
  std::string charset;   // MapInfo charset name
  bool EFALonly = false; // the Unicode entries, accepted only by EFAL
};

class TCharSetList : public TBaseList<TCharSet> {
 public:
  // Filled with the table in its fixed order.
  TCharSetList();

  // First match in table order; "" / 0 / 0 when nothing matches.
  std::string CodePage2Charset(uint16_t Codepage) const;
  uint8_t CodePage2ID(uint16_t Codepage) const;
  // Name compared ignoring ASCII letter case.
  uint16_t Charset2CodePage(std::string_view charset) const;
};

// The one instance all lookups use, built on first use.
const TCharSetList& CharSetList();
