// The same OSM data in every form the converter reads: plain XML, gzip,
// bzip2 and PBF (written by libosmium from the XML, as `osmium cat` does),
// plus hand-built PBF pieces for the damaged-file cases. Compiled once into a
// library of its own: libosmium's reader and writer are slow to compile.
#pragma once

#include <initializer_list>
#include <string>

namespace osmforms {

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

// One gzip member of the bytes.
std::string Gzip(const std::string& bytes, int level = 6);

// One bzip2 stream of the bytes.
std::string Bzip2(const std::string& bytes, int blockSize = 9);

std::string Gunzip(const std::string& path);

// Converts between the formats libosmium knows by their names ("osm",
// "pbf", "opl", "osh.pbf" for a history PBF), as `osmium cat` does.
void Convert(const std::string& in, const std::string& inFormat, const std::string& out,
             const std::string& outFormat);

// ---------------------------------------------------------------- hand-built PBF

// A blob header and blob, framed as in a file.
std::string PbfFrame(const std::string& type, const std::string& blob);

// A blob holding data uncompressed.
std::string RawBlob(const std::string& data);

// A file header naming these required features.
std::string PbfHeader(std::initializer_list<const char*> required);

}  // namespace osmforms
