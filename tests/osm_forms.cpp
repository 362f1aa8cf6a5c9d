#include "osm_forms.h"

#include <bzlib.h>
#include <zlib.h>

#include <osmium/io/any_input.hpp>
#include <osmium/io/any_output.hpp>
#include <osmium/io/reader.hpp>
#include <osmium/io/writer.hpp>
#include <protozero/pbf_writer.hpp>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace osmforms {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Gzip(const std::string& bytes, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, bytes.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (r != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

std::string Bzip2(const std::string& bytes, int blockSize) {
  unsigned len = static_cast<unsigned>(bytes.size() + bytes.size() / 100 + 600);
  std::string out(len, '\0');
  if (BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(bytes.data()),
                               static_cast<unsigned>(bytes.size()), blockSize, 0, 0) != BZ_OK)
    throw std::runtime_error("BZ2_bzBuffToBuffCompress");
  out.resize(len);
  return out;
}

std::string Gunzip(const std::string& path) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("gzopen " + path);
  std::string out;
  char buf[1 << 16];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  gzclose(f);
  return out;
}

void Convert(const std::string& in, const std::string& inFormat, const std::string& out,
             const std::string& outFormat) {
  osmium::io::Reader reader{osmium::io::File{in, inFormat}};
  osmium::io::Header header = reader.header();
  header.set("generator", "osm2trassel tests");
  osmium::io::Writer writer{osmium::io::File{out, outFormat}, header, osmium::io::overwrite::allow};
  while (osmium::memory::Buffer buffer = reader.read()) writer(std::move(buffer));
  writer.close();
  reader.close();
}

// ---------------------------------------------------------------- hand-built PBF

std::string PbfFrame(const std::string& type, const std::string& blob) {
  std::string header;
  {
    protozero::pbf_writer h{header};
    h.add_string(1, type);
    h.add_int32(3, static_cast<int32_t>(blob.size()));
  }
  std::string out(4, '\0');
  const uint32_t n = static_cast<uint32_t>(header.size());
  out[0] = static_cast<char>(n >> 24);
  out[1] = static_cast<char>(n >> 16);
  out[2] = static_cast<char>(n >> 8);
  out[3] = static_cast<char>(n);
  return out + header + blob;
}

std::string RawBlob(const std::string& data) {
  std::string blob;
  protozero::pbf_writer b{blob};
  b.add_bytes(1, data);
  return blob;
}

std::string PbfHeader(std::initializer_list<const char*> required) {
  std::string block;
  {
    protozero::pbf_writer h{block};
    for (const char* f : required) h.add_string(4, f);
    h.add_string(16, "osm2trassel tests");
  }
  return PbfFrame("OSMHeader", RawBlob(block));
}

}  // namespace osmforms
