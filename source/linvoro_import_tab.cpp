// MapInfo TAB road tables for the network import.
#include "linvoro_import.h"

void TImport::ReadTABTables(bool /*AExtended*/) {
  throw Exception("Reading TAB tables is not available in this build");
}
