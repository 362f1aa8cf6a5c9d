// The input forms of a conversion run: detection by content, gzip and bzip2
// decompressed, XML through the line reader or the XML parser, O5M and OSM
// PBF, and the three passes over what they deliver.
//
// Input: one option byte, then the file's bytes.
//   bits 0-1: 0 or 3 the bytes as they stand (any form), 1 the bytes
//             compressed with gzip here, 2 with bzip2 here (so that
//             mutations of XML text reach the passes through the
//             decompressors)
//   bit 2:    the file is listed twice (the way pass decompresses or
//             decodes the first copy once more)
//   bit 3:    MIF instead of SHP
//   bit 4:    build the network from the table
#include <bzlib.h>
#include <zlib.h>

#include "fuzz_common.h"

namespace {

const fuzz::TScratch& Scratch() {
  static const fuzz::TScratch s("input");
  return s;
}

std::string GzipHere(std::string_view bytes) {
  uLongf len = compressBound(static_cast<uLong>(bytes.size())) + 32;
  std::string out(len, '\0');
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Bzip2Here(std::string_view bytes) {
  unsigned len = static_cast<unsigned>(bytes.size() + bytes.size() / 100 + 600);
  std::string out(len, '\0');
  BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(bytes.data()), static_cast<unsigned>(bytes.size()),
                           1, 0, 0);
  out.resize(len);
  return out;
}

// Compressed bytes that expand beyond this are left out: a few kilobytes of
// bzip2 can stand for gigabytes, which is slow rather than wrong.
constexpr size_t MaxExpanded = size_t(16) << 20;

bool Expands(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\x1F' && bytes[1] == '\x8B') {
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    std::string out(size_t(1) << 16, '\0');
    size_t total = 0;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    for (;;) {
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      const int r = inflate(&z, Z_NO_FLUSH);
      total += out.size() - z.avail_out;
      if (total > MaxExpanded) break;
      if (r == Z_STREAM_END) {
        if (z.avail_in == 0) break;
        inflateReset(&z);  // the next member
        continue;
      }
      if (r != Z_OK || (z.avail_in == 0 && z.avail_out > 0)) break;
    }
    inflateEnd(&z);
    return total > MaxExpanded;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "BZh") {
    bz_stream s{};
    BZ2_bzDecompressInit(&s, 0, 0);
    std::string out(size_t(1) << 16, '\0');
    size_t total = 0;
    s.next_in = const_cast<char*>(bytes.data());
    s.avail_in = static_cast<unsigned>(bytes.size());
    for (;;) {
      s.next_out = out.data();
      s.avail_out = static_cast<unsigned>(out.size());
      const int r = BZ2_bzDecompress(&s);
      total += out.size() - s.avail_out;
      if (total > MaxExpanded) break;
      if (r == BZ_STREAM_END) {
        if (s.avail_in == 0) break;
        // The next stream.
        const char* next = s.next_in;
        const unsigned left = s.avail_in;
        BZ2_bzDecompressEnd(&s);
        s = bz_stream{};
        BZ2_bzDecompressInit(&s, 0, 0);
        s.next_in = const_cast<char*>(next);
        s.avail_in = left;
        continue;
      }
      // Cut off: all input taken and room left, so nothing more comes.
      if (r != BZ_OK || (s.avail_in == 0 && s.avail_out > 0)) break;
    }
    BZ2_bzDecompressEnd(&s);
    return total > MaxExpanded;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t options = data[0];
  std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string bytes;
  switch (options & 3) {
    case 1: bytes = GzipHere(body); break;
    case 2: bytes = Bzip2Here(body); break;
    default:
      if (Expands(body)) return 0;
      bytes.assign(body);
      break;
  }
  const fuzz::TScratch& scratch = Scratch();
  scratch.Fresh();
  const std::string file = scratch.Path("input");
  fuzz::WriteFile(file, bytes);
  const std::string out = scratch.Path("out/");
  std::filesystem::create_directories(out);

  TRunOptions o;
  o.Files = {file};
  if (options & 4) o.Files.push_back(file);
  o.OutputFormat = options & 8 ? 0 : 1;
  o.BuildNetwork = options & 16;
  o.Pedestrian = o.Bicycle = o.Car = true;
  for (bool& b : o.Optional) b = true;
  o.MainDir = out;

  fuzz::RunChecked(o);
  return 0;
}
