// The --pairs batch: one route per line from_lat,from_lon,to_lat,to_lon of
// a CSV file, the network opened once, CSV out. A line that is not a pair
// gets a row with its reason and the batch goes on.
#pragma once

#include <cstdio>
#include <string>

#include "linvoro_placeroute.h"

struct TPairsJob {
  std::string Pairs;   // the input file
  std::string Output;  // the CSV file; empty: out
  double MaxSnap = 1000;  // metres
};

// Writes the CSV and, on err, a summary of routed, unroutable and malformed
// lines (or why the batch could not run). Returns 0 when every line was a
// pair with a route, else 1.
int RunPairs(const TPairsJob& job, TLegRouter& router, std::FILE* out, std::FILE* err);
