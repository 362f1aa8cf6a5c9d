#include "node_list.h"

void TNodeListEx::NegativeId(int64_t Id) {
  throw EOutOfRange("Node ID " + std::to_string(Id) + " cannot be stored");
}
