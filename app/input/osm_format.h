// Which of the readable forms an input file is in. A file is known by its
// first bytes, never by its name: extracts are renamed, downloaded without a
// suffix, or carry ".osm" on compressed content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compressed_input.h"

enum class TOsmFormat {
  ofXml,       // OSM XML
  ofPbf,       // OSM PBF
  ofGzip,      // gzip-compressed OSM XML (one or several members)
  ofBzip2,     // bzip2-compressed OSM XML (one or several streams)
  ofO5m,       // O5M
  ofO5mGzip,   // gzip-compressed O5M
  ofO5mBzip2,  // bzip2-compressed O5M
};

// OSM XML, plain or compressed.
inline bool IsXml(TOsmFormat f) {
  return f == TOsmFormat::ofXml || f == TOsmFormat::ofGzip || f == TOsmFormat::ofBzip2;
}
inline bool IsO5m(TOsmFormat f) {
  return f == TOsmFormat::ofO5m || f == TOsmFormat::ofO5mGzip || f == TOsmFormat::ofO5mBzip2;
}
// The compression around the content.
inline TCompression CompressionOf(TOsmFormat f) {
  if (f == TOsmFormat::ofGzip || f == TOsmFormat::ofO5mGzip) return TCompression::Gzip;
  if (f == TOsmFormat::ofBzip2 || f == TOsmFormat::ofO5mBzip2) return TCompression::Bzip2;
  return TCompression::None;
}

// What a file dialog offers and what "Add Files in folder" picks up.
inline constexpr const char* OsmFileFilter =
    "OSM files (*.osm *.pbf *.osm.pbf *.osm.gz *.osm.bz2 *.o5m *.o5m.gz *.o5m.bz2)";
const std::vector<std::string>& OsmFilePatterns();  // "*.osm", "*.pbf", ...
// The formats in words, for messages and help texts.
inline constexpr const char* OsmFormatsText =
    "OSM XML (.osm, also as JOSM saves it), OSM PBF (.osm.pbf), O5M (.o5m) and gzip or bzip2 compressed OSM XML "
    "or O5M (.osm.gz, .osm.bz2, .o5m.gz, .o5m.bz2)";

// The format of the file's content. Throws EFOpenError when it cannot be
// opened, and EReadError naming the file and the formats that are read when
// it is none of them: empty, random bytes, a compressed file whose content
// is not XML.
TOsmFormat DetectOsmFormat(const std::string& path);

// The format's name in messages: "OSM XML", "OSM PBF", ...
const char* OsmFormatName(TOsmFormat format);

