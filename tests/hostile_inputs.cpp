#include "hostile_inputs.h"

#include <bzlib.h>
#include <zlib.h>

#include <protozero/pbf_writer.hpp>

#include <fstream>
#include <stdexcept>

#include "osm_forms.h"

namespace hostile {

namespace {

const char* const kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<osm version=\"0.6\" generator=\"hostile\">\n";

// Writes `bytes` copies of c after head through f(buffer, size).
template <class F>
void Repeat(const std::string& head, char c, uint64_t bytes, F&& f) {
  f(head.data(), head.size());
  const std::string block(size_t(1) << 20, c);
  for (uint64_t left = bytes; left > 0;) {
    const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
    f(block.data(), n);
    left -= n;
  }
}

std::string ZlibBlob(const std::string& data) {
  uLongf len = compressBound(static_cast<uLong>(data.size()));
  std::string z(len, '\0');
  if (compress2(reinterpret_cast<Bytef*>(z.data()), &len, reinterpret_cast<const Bytef*>(data.data()),
                static_cast<uLong>(data.size()), 9) != Z_OK)
    throw std::runtime_error("zlib");
  z.resize(len);
  std::string blob;
  protozero::pbf_writer b{blob};
  b.add_int32(2, static_cast<int32_t>(data.size()));
  b.add_bytes(3, z);
  return blob;
}

// A primitive block of one group of ways, each with refs from refsOf(i)
// and the given tags.
std::string WayBlock(const std::vector<std::vector<int64_t>>& ways, bool tagged) {
  std::string block;
  protozero::pbf_writer pb{block};
  {
    protozero::pbf_writer st{pb, 1};
    st.add_bytes(1, "");
    st.add_bytes(1, "highway");
    st.add_bytes(1, "residential");
  }
  {
    protozero::pbf_writer group{pb, 2};
    int64_t id = 1;
    for (const auto& refs : ways) {
      protozero::pbf_writer way{group, 3};
      way.add_int64(1, id++);
      if (tagged) {
        const uint32_t key = 1, value = 2;
        way.add_packed_uint32(2, &key, &key + 1);
        way.add_packed_uint32(3, &value, &value + 1);
      }
      protozero::packed_field_sint64 packed{way, 8};
      int64_t last = 0;
      for (const int64_t r : refs) {
        packed.add_element(static_cast<int64_t>(static_cast<uint64_t>(r) - static_cast<uint64_t>(last)));
        last = r;
      }
    }
  }
  return block;
}

std::string NodeBlock(int64_t firstId, int count) {
  std::string block;
  protozero::pbf_writer pb{block};
  {
    protozero::pbf_writer st{pb, 1};
    st.add_bytes(1, "");
  }
  {
    protozero::pbf_writer group{pb, 2};
    protozero::pbf_writer dense{group, 2};
    {
      protozero::packed_field_sint64 ids{dense, 1};
      for (int i = 0; i < count; ++i) ids.add_element(i == 0 ? firstId : 1);
    }
    {
      protozero::packed_field_sint64 lats{dense, 8};
      for (int i = 0; i < count; ++i) lats.add_element(i == 0 ? 481000000 : 1000);
    }
    {
      protozero::packed_field_sint64 lons{dense, 9};
      for (int i = 0; i < count; ++i) lons.add_element(i == 0 ? 101000000 : 1000);
    }
  }
  return block;
}

void Write(const std::string& path, const std::string& bytes) { osmforms::WriteBytes(path, bytes); }

std::string Header() { return osmforms::PbfHeader({"OsmSchema-V0.6", "DenseNodes"}); }

}  // namespace

void LongLineBzip2(const std::string& path, uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  bz_stream s{};
  if (BZ2_bzCompressInit(&s, 9, 0, 0) != BZ_OK) throw std::runtime_error("bzip2");
  std::string buf(size_t(1) << 16, '\0');
  const auto drain = [&](int action) {
    for (;;) {
      s.next_out = buf.data();
      s.avail_out = static_cast<unsigned>(buf.size());
      const int r = BZ2_bzCompress(&s, action);
      out.write(buf.data(), static_cast<std::streamsize>(buf.size() - s.avail_out));
      if (action == BZ_RUN ? s.avail_in == 0 : r == BZ_STREAM_END) return;
    }
  };
  Repeat(kHead, 'x', bytes, [&](const char* p, size_t n) {
    s.next_in = const_cast<char*>(p);
    s.avail_in = static_cast<unsigned>(n);
    drain(BZ_RUN);
  });
  drain(BZ_FINISH);
  BZ2_bzCompressEnd(&s);
}

void LongLinePlain(const std::string& path, uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  Repeat(kHead, 'x', bytes, [&](const char* p, size_t n) { out.write(p, static_cast<std::streamsize>(n)); });
}

void WayRefsPbf(const std::string& path, uint64_t count, int64_t first, int64_t step) {
  std::vector<int64_t> refs(count);
  for (uint64_t i = 0; i < count; ++i)
    refs[i] = static_cast<int64_t>(static_cast<uint64_t>(first) + i * static_cast<uint64_t>(step));
  Write(path, Header() + osmforms::PbfFrame("OSMData", ZlibBlob(WayBlock({refs}, true))));
}

void ManyRefBlocksPbf(const std::string& path, int blocks, uint64_t refs) {
  std::vector<int64_t> r(refs);
  for (uint64_t i = 0; i < refs; ++i) r[i] = static_cast<int64_t>(i + 1);
  const std::string frame = osmforms::PbfFrame("OSMData", ZlibBlob(WayBlock({r}, false)));
  std::string bytes = Header();
  for (int i = 0; i < blocks; ++i) bytes += frame;
  Write(path, bytes);
}

void UnsortedPbf(const std::string& path) {
  Write(path, Header() + osmforms::PbfFrame("OSMData", ZlibBlob(WayBlock({{1, 2}}, true))) +
                  osmforms::PbfFrame("OSMData", ZlibBlob(NodeBlock(1, 2))));
}

void UnsortedXml(const std::string& path) {
  Write(path, std::string(kHead) +
                  " <way id=\"1\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n  <tag k=\"highway\" v=\"residential\"/>\n"
                  " </way>\n <node id=\"1\" lat=\"48.1\" lon=\"10.1\"/>\n <node id=\"2\" lat=\"48.2\" lon=\"10.2\"/>\n"
                  "</osm>\n");
}

void LargeGzipXml(const std::string& path, int megabytes) {
  gzFile f = gzopen(path.c_str(), "wb1");
  if (!f) throw std::runtime_error("gzip");
  gzwrite(f, kHead, static_cast<unsigned>(std::char_traits<char>::length(kHead)));
  std::string chunk;
  int64_t id = 1;
  uint64_t written = 0;
  while (written < uint64_t(megabytes) << 20) {
    chunk.clear();
    for (int i = 0; i < 10000; ++i, ++id)
      chunk += " <node id=\"" + std::to_string(id) + "\" lat=\"48." + std::to_string(id % 100000) + "\" lon=\"10." +
               std::to_string(id % 99991) + "\"/>\n";
    gzwrite(f, chunk.data(), static_cast<unsigned>(chunk.size()));
    written += chunk.size();
  }
  const std::string ways = " <way id=\"1\">\n  <nd ref=\"1\"/>\n  <nd ref=\"2\"/>\n  <tag k=\"highway\" v=\"residential\"/>\n"
                           " </way>\n</osm>\n";
  gzwrite(f, ways.data(), static_cast<unsigned>(ways.size()));
  gzclose(f);
}

}  // namespace hostile
