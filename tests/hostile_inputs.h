// Small files that would take a careless reader's memory or its stop
// button: made here from a few parameters instead of being stored, for the
// tests and for the benchmark that measures peak memory and time on each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

// An OSM XML header, then `bytes` of one character without a line break,
// bzip2-compressed as a stream (a few hundred bytes stand for a gigabyte).
void LongLineBzip2(const std::string& path, uint64_t bytes);
// The same uncompressed.
void LongLinePlain(const std::string& path, uint64_t bytes);

// A PBF with one way tagged highway=residential whose refs are
// first, first + step, first + 2 step, ... (step may be negative).
void WayRefsPbf(const std::string& path, uint64_t count, int64_t first, int64_t step);

// A PBF of `blocks` blocks, each one untagged way of `refs` refs (zlib
// compressed: a few hundred kilobytes in all).
void ManyRefBlocksPbf(const std::string& path, int blocks, uint64_t refs);

// A PBF whose way block comes before its node block.
void UnsortedPbf(const std::string& path);
// The same in OSM XML.
void UnsortedXml(const std::string& path);

// An OSM XML file of about `megabytes` of nodes, then a few ways, gzip
// compressed: a long wait in the passes that skip its nodes.
void LargeGzipXml(const std::string& path, int megabytes);

}  // namespace hostile
