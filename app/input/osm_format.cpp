#include "osm_format.h"


#include <cerrno>
#include <cstring>
#include <string_view>

#include "compressed_input.h"
#include "input_file.h"
#include "linvoro_platform.h"
#include "linvoro_types.h"

const std::vector<std::string>& OsmFilePatterns() {
  static const std::vector<std::string> patterns = {"*.osm",    "*.pbf", "*.osm.pbf", "*.osm.gz",
                                                     "*.osm.bz2", "*.o5m", "*.o5m.gz",  "*.o5m.bz2"};
  return patterns;
}

const char* OsmFormatName(TOsmFormat format) {
  switch (format) {
    case TOsmFormat::ofXml: return "OSM XML";
    case TOsmFormat::ofPbf: return "OSM PBF";
    case TOsmFormat::ofGzip: return "gzip compressed OSM XML";
    case TOsmFormat::ofBzip2: return "bzip2 compressed OSM XML";
    case TOsmFormat::ofO5m: return "O5M";
    case TOsmFormat::ofO5mGzip: return "gzip compressed O5M";
    case TOsmFormat::ofO5mBzip2: return "bzip2 compressed O5M";
  }
  return "OSM";
}

namespace {

// Enough to see past a byte-order mark and the blanks before the first
// element, and to hold a PBF file's first header.
constexpr size_t PeekSize = 4096;

// XML: after an optional UTF-8 byte-order mark and blanks, a "<".
bool LooksLikeXml(std::string_view s) {
  if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  for (const char c : s) {
    if (c == '<') return true;
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return false;
}

// PBF: a 4-byte big-endian length of the first blob header, which names
// its blob "OSMHeader" in its first field.
bool LooksLikePbf(std::string_view s) {
  if (s.size() < 15) return false;
  const auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i])); };
  const uint32_t len = b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
  return len >= 11 && len <= 64 * 1024 && s.substr(4, 11) == std::string_view("\x0A\x09OSMHeader", 11);
}

// O5M: a reset byte, then the header dataset "o5m2" ("o5c2" is a change
// file).
bool LooksLikeO5m(std::string_view s) { return s.starts_with(std::string_view("\xFF\xE0\x04o5m2", 7)); }
bool LooksLikeO5c(std::string_view s) { return s.starts_with(std::string_view("\xFF\xE0\x04o5c2", 7)); }

[[noreturn]] void NotOsm(const std::string& path, const std::string& what) {
  throw EReadError("File \"" + path + "\" " + what + ". Input files are read as " + OsmFormatsText + ".");
}

}  // namespace

TOsmFormat DetectOsmFormat(const std::string& path) {
  const std::string head = ReadInputHead(path, PeekSize);
  if (head.empty()) NotOsm(path, "is empty");
  TOsmFormat format;
  if (head.size() >= 2 && head[0] == '\x1F' && head[1] == '\x8B')
    format = TOsmFormat::ofGzip;
  else if (head.size() >= 4 && head.starts_with("BZh") && head[3] >= '1' && head[3] <= '9')
    format = TOsmFormat::ofBzip2;
  else if (LooksLikePbf(head))
    return TOsmFormat::ofPbf;
  else if (LooksLikeO5m(head))
    return TOsmFormat::ofO5m;
  else if (LooksLikeO5c(head))
    NotOsm(path, "is an O5M change file (.o5c), not OSM data");
  else if (LooksLikeXml(head))
    return TOsmFormat::ofXml;
  else
    NotOsm(path, "is not an OSM file");

  const std::string inner = PeekDecompressed(path, CompressionOf(format), PeekSize);
  if (LooksLikeXml(inner)) return format;
  if (LooksLikeO5m(inner)) return format == TOsmFormat::ofGzip ? TOsmFormat::ofO5mGzip : TOsmFormat::ofO5mBzip2;
  if (LooksLikePbf(inner))
    NotOsm(path, std::string("holds OSM PBF inside ") + (format == TOsmFormat::ofGzip ? "gzip" : "bzip2") +
                     " compression; unpack it first");
  NotOsm(path, std::string("is ") + (format == TOsmFormat::ofGzip ? "gzip" : "bzip2") +
                   " compressed but does not hold OSM XML or O5M");
}
