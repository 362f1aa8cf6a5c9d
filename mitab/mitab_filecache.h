// A write-back page cache between GDAL and the files of the tables this
// library writes.
//
// The MapInfo driver writes a table in small pieces: for every record it
// re-reads the .dat header and rewrites the end-of-file mark, and it moves
// between .map blocks with a seek before each read or write. On the plain
// file system every one of those is a system call, several per record. Paths
// under CacheFilePrefix() ("/vsimitab" + an absolute path) go through the
// cache instead: each open file keeps up to 4 MiB of 64 KiB pages in memory
// and writes changed pages back when they are evicted, flushed or closed.
#pragma once

#include <string>

// Registers the cache with GDAL (once) and returns its path prefix.
const std::string& CacheFilePrefix();
