// Which of the readable forms an input file is in. A file is known by its
// first bytes, never by its name: extracts are renamed, downloaded without a
// suffix, or carry ".osm" on compressed content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TOsmFormat {
  ofXml,    // OSM XML, one element per line
  ofPbf,    // OSM PBF
  ofGzip,   // gzip-compressed OSM XML (one or several members)
  ofBzip2,  // bzip2-compressed OSM XML (one or several streams)
};

// What a file dialog offers and what "Add Files in folder" picks up.
inline constexpr const char* OsmFileFilter = "OSM files (*.osm *.pbf *.osm.pbf *.osm.gz *.osm.bz2)";
const std::vector<std::string>& OsmFilePatterns();  // "*.osm", "*.pbf", ...
// The formats in words, for messages and help texts.
inline constexpr const char* OsmFormatsText =
    "OSM XML (.osm), OSM PBF (.osm.pbf) and gzip or bzip2 compressed OSM XML (.osm.gz, .osm.bz2)";

// The format of the file's content. Throws EFOpenError when it cannot be
// opened, and EReadError naming the file and the formats that are read when
// it is none of them: empty, random bytes, a compressed file whose content
// is not XML.
TOsmFormat DetectOsmFormat(const std::string& path);

// The format's name in messages: "OSM XML", "OSM PBF", ...
const char* OsmFormatName(TOsmFormat format);

// An input file opened for sequential reading: the descriptor, which the
// caller closes, and the file's size. Throws EFOpenError naming the file
// and the system's reason (also for a folder).
int OpenInputFile(const std::string& path, int64_t& size);
// Up to n bytes of an input file opened so; 0 only at its end. Throws
// EReadError naming the file and the system's reason.
size_t ReadInputFile(int fd, char* dst, size_t n, const std::string& path);
