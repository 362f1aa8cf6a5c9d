#include "pbf_reader.h"

#include <unistd.h>

#include <libdeflate.h>

#include <osmium/io/detail/pbf_decoder.hpp>
#include <osmium/io/header.hpp>
#include <osmium/osm/entity_bits.hpp>
#include <osmium/osm/object.hpp>
#include <osmium/thread/pool.hpp>
#include <protozero/pbf_reader.hpp>

#include <deque>
#include <future>
#include <memory>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

#include "linvoro_types.h"
#include "osm_format.h"

namespace {

// Every failure of libosmium's decoder becomes a message that names the
// file and says what is wrong with it in words a user can act on.
[[noreturn]] void Rethrow(const std::string& path) {
  try {
    throw;
  } catch (const Exception&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const osmium::pbf_error& e) {
    std::string_view what = e.what();
    if (what.starts_with("PBF error: ")) what.remove_prefix(11);
    if (what.starts_with("required feature not supported: "))
      throw EReadError("File \"" + path + "\" needs a feature of OSM PBF that is not supported: " +
                       std::string(what.substr(32)) + ".");
    if (what.ends_with("blobs not supported") || what == "unknown compression")
      throw EReadError("File \"" + path + "\" uses a block compression that cannot be read (" +
                       std::string(what) + ").");
    throw EReadError("Error reading file \"" + path + "\". The OSM PBF data are damaged (" + std::string(what) + ").");
  } catch (const std::exception& e) {
    throw EReadError("Error reading file \"" + path + "\". The OSM PBF data are damaged (" + e.what() + ").");
  }
}

// One block, decoded in a thread of the pool. zlib blocks, by far the most
// common, are inflated by libdeflate, which takes a whole block several
// times faster than zlib does; libosmium's block decoder makes the objects.
// Blocks of any other kind go through libosmium whole.
class TBlockDecoder {
 public:
  TBlockDecoder(std::string&& blob, osmium::osm_entity_bits::type types, osmium::io::read_meta metadata)
      : FBlob(std::make_shared<std::string>(std::move(blob))), FTypes(types), FMetadata(metadata) {}

  osmium::memory::Buffer operator()() const {
    std::string raw;
    return osmium::io::detail::PBFPrimitiveBlockDecoder{Inflate(raw), FTypes, FMetadata}();
  }

 private:
  protozero::data_view Inflate(std::string& raw) const {
    protozero::pbf_reader blob{*FBlob};
    int64_t rawSize = -1;
    protozero::data_view zlib;
    bool other = false;
    while (blob.next()) {
      if (blob.tag() == 2 && blob.wire_type() == protozero::pbf_wire_type::varint) {
        rawSize = blob.get_int32();
      } else if (blob.tag() == 3 && blob.wire_type() == protozero::pbf_wire_type::length_delimited) {
        zlib = blob.get_view();
      } else {
        other = true;
        blob.skip();
      }
    }
    if (other || zlib.empty()) return osmium::io::detail::decode_blob(*FBlob, raw);
    if (rawSize <= 0 || static_cast<uint64_t>(rawSize) > osmium::io::detail::max_uncompressed_blob_size)
      throw osmium::pbf_error{"illegal blob size"};
    thread_local const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater{
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor};
    if (!inflater) throw std::bad_alloc();
    raw.resize(static_cast<size_t>(rawSize));
    if (libdeflate_zlib_decompress(inflater.get(), zlib.data(), zlib.size(), raw.data(), raw.size(), nullptr) !=
        LIBDEFLATE_SUCCESS)
      throw osmium::pbf_error{"a zlib compressed block is damaged"};
    return {raw.data(), raw.size()};
  }

  std::shared_ptr<std::string> FBlob;  // shared: the pool's tasks are copied
  osmium::osm_entity_bits::type FTypes;
  osmium::io::read_meta FMetadata;
};

int DecoderThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n > 16 ? 16 : n);
}

}  // namespace

// The file is read block by block here and every block is decoded in
// libosmium's thread pool, a few blocks ahead. Unlike
// libosmium's reader, which passes over the blocks that hold none of the
// wanted objects in silence, this lets a pass show progress and stop at
// every block, also in the node blocks that the way passes skip.
struct TPbfReader::TImpl {
  std::string Path;
  int Handle = -1;
  int64_t Size = 0;
  int64_t ReadPos = 0;  // bytes read from the file
  int64_t DonePos = 0;  // end of the block whose objects are handed out

  osmium::osm_entity_bits::type Types = osmium::osm_entity_bits::nothing;
  osmium::io::read_meta Metadata = osmium::io::read_meta::no;
  // History files come sorted by type, id and version; a second version of
  // an object follows its first.
  bool History = false;

  osmium::thread::Pool Pool{DecoderThreads()};
  struct TJob {
    std::future<osmium::memory::Buffer> Objects;
    int64_t End;  // file offset after the block
  };
  std::deque<TJob> Jobs;  // in file order
  size_t Ahead = static_cast<size_t>(2 * DecoderThreads() + 2);
  bool FileEnded = false;

  // The objects of one block come in one buffer, or when they outgrew it
  // in a chain of buffers, the oldest nested deepest.
  std::deque<osmium::memory::Buffer> Parts;
  osmium::memory::Buffer Buffer;
  osmium::memory::Buffer::t_iterator<osmium::OSMObject> It, End;
  osmium::item_type LastType = osmium::item_type::undefined;
  osmium::object_id_type LastId = 0;
  const osmium::OSMObject* Last = nullptr;

  ~TImpl() {
    if (Handle >= 0) ::close(Handle);
  }

  [[noreturn]] void Damaged(const std::string& what) const {
    throw EReadError("Error reading file \"" + Path + "\". The OSM PBF data are damaged (" + what + ").");
  }

  // Exactly n bytes; false when the file ends before the first of them and
  // that is allowed (between blocks).
  bool ReadExact(char* dst, size_t n, bool endAllowed) {
    size_t got = 0;
    while (got < n) {
      const size_t r = ReadInputFile(Handle, dst + got, n - got, Path);
      if (r == 0) {
        if (got == 0 && endAllowed) return false;
        throw EReadError("Error reading file \"" + Path + "\". The OSM PBF data end too early: the file is truncated.");
      }
      got += r;
      ReadPos += static_cast<int64_t>(r);
    }
    return true;
  }

  // The next block of the expected type into blob; false at the end of the
  // file.
  bool NextBlock(std::string& blob, std::string_view expected) {
    unsigned char size[4];
    if (!ReadExact(reinterpret_cast<char*>(size), 4, true)) return false;
    const uint32_t headerSize = uint32_t(size[0]) << 24 | uint32_t(size[1]) << 16 | uint32_t(size[2]) << 8 | size[3];
    if (headerSize == 0 || headerSize > static_cast<uint32_t>(osmium::io::detail::max_blob_header_size))
      Damaged("block header size " + std::to_string(headerSize));
    std::string header(headerSize, '\0');
    ReadExact(header.data(), headerSize, false);
    std::string_view type;
    int64_t dataSize = 0;
    try {
      protozero::pbf_reader h{header};
      while (h.next()) {
        if (h.tag() == 1 && h.wire_type() == protozero::pbf_wire_type::length_delimited) {
          const protozero::data_view v = h.get_view();
          type = std::string_view(v.data(), v.size());
        } else if (h.tag() == 3 && h.wire_type() == protozero::pbf_wire_type::varint) {
          dataSize = h.get_int32();
        } else {
          h.skip();
        }
      }
    } catch (const std::exception& e) {
      Damaged(std::string("block header: ") + e.what());
    }
    if (type != expected) Damaged("a block of type \"" + std::string(type) + "\" where " + std::string(expected) + " belongs");
    if (dataSize <= 0 || static_cast<uint64_t>(dataSize) > osmium::io::detail::max_uncompressed_blob_size)
      Damaged("block size " + std::to_string(dataSize));
    blob.assign(static_cast<size_t>(dataSize), '\0');
    ReadExact(blob.data(), blob.size(), false);
    return true;
  }

  // The objects of the next block, or of the next part of one; false at
  // the end of the file.
  bool NextBuffer() {
    if (!Parts.empty()) {
      Buffer = std::move(Parts.front());
      Parts.pop_front();
      It = Buffer.begin<osmium::OSMObject>();
      End = Buffer.end<osmium::OSMObject>();
      return true;
    }
    while (Jobs.size() < Ahead && !FileEnded) {
      std::string blob;
      if (!NextBlock(blob, "OSMData")) {
        FileEnded = true;
        break;
      }
      Jobs.push_back({Pool.submit(TBlockDecoder{std::move(blob), Types, Metadata}), ReadPos});
    }
    if (Jobs.empty()) return false;
    TJob job = std::move(Jobs.front());
    Jobs.pop_front();
    osmium::memory::Buffer objects;
    try {
      objects = job.Objects.get();
    } catch (...) {
      Rethrow(Path);
    }
    DonePos = job.End;
    while (objects.has_nested_buffers()) Parts.push_back(std::move(*objects.get_last_nested()));
    Parts.push_back(std::move(objects));
    return NextBuffer();
  }
};

TPbfReader::TPbfReader(const std::string& path, bool nodes, bool ways) : F(std::make_unique<TImpl>()) {
  F->Path = path;
  F->Handle = OpenInputFile(path, F->Size);

  std::string blob;
  if (!F->NextBlock(blob, "OSMHeader"))
    throw EReadError("Error reading file \"" + path + "\". The OSM PBF data end too early: the file is truncated.");
  try {
    const osmium::io::Header header = osmium::io::detail::decode_header(blob);
    F->History = header.has_multiple_object_versions();
  } catch (...) {
    Rethrow(path);
  }
  F->DonePos = F->ReadPos;
  // Only a history file can mark objects deleted, and the mark is part of
  // the metadata: any other file is decoded without it.
  F->Metadata = F->History ? osmium::io::read_meta::yes : osmium::io::read_meta::no;
  if (nodes) F->Types |= osmium::osm_entity_bits::node;
  if (ways) F->Types |= osmium::osm_entity_bits::way;
}

TPbfReader::~TPbfReader() = default;

const osmium::OSMObject* TPbfReader::Next() {
  if (FUnread) {
    FUnread = false;
    return F->Last;
  }
  for (;;) {
    while (F->It == F->End) {
      if (!F->NextBuffer()) return F->Last = nullptr;
      if (OnBlock) OnBlock();
    }
    const osmium::OSMObject& o = *F->It;
    ++F->It;
    if (F->History) {
      if (o.type() == F->LastType && o.id() == F->LastId)
        throw EReadError("File \"" + F->Path + "\" is an OSM history file with several versions of " +
                         osmium::item_type_to_name(o.type()) + " " + std::to_string(o.id()) +
                         ". Only files with one version of each object are converted.");
      F->LastType = o.type();
      F->LastId = o.id();
      if (!o.visible()) continue;
    }
    F->Last = &o;
    return &o;
  }
}

int64_t TPbfReader::ProgressPosition() const { return F->DonePos; }

int64_t TPbfReader::ProgressSize() const { return F->Size; }

// ---------------------------------------------------------------- events

#include "osmium_objects.h"
#include "run_ui.h"

TPbfOsmReader::TPbfOsmReader(TFileInfo& info, IRunUI& ui) : TOsmReader(info.Filename, ui), FInfo(info) {
  int64_t size = 0;
  ::close(OpenInputFile(info.Filename, size));
  FSize = size;
}

TPbfOsmReader::~TPbfOsmReader() = default;

TPbfReader& TPbfOsmReader::Open(bool nodes, bool ways) {
  if (!FReader || (nodes && !FNodes) || (ways && !FWays)) {
    FReader.reset();
    FReader = std::make_unique<TPbfReader>(FFileName, nodes, ways);
    FNodes = nodes;
    FWays = ways;
  }
  return *FReader;
}

bool TPbfOsmReader::ReadAllWays(IOsmWays& ways) {
  // Nodes too, so that a node after a way is seen.
  TPbfReader& reader = Open(true, true);
  FUI.Progress(0);
  TPassProgress progress(FUI, reader);
  reader.OnBlock = [&progress] { progress.Check(); };
  TWayBuilder builder;
  std::string kb, vb;
  bool sawWay = false;
  while (const osmium::OSMObject* o = reader.Next()) {
    progress.Step();
    if (o->type() == osmium::item_type::way) {
      sawWay = true;
      HandOverWay(static_cast<const osmium::Way&>(*o), ways, builder, kb, vb);
    } else if (sawWay) {
      RaiseUnsorted(FFileName);
    }
  }
  reader.OnBlock = nullptr;
  return true;
}

void TPbfOsmReader::ReadNodes(IOsmNodes& nodes) {
  TPbfReader& reader = Open(true, true);
  TPassProgress progress(FUI, reader);
  reader.OnBlock = [&progress] { progress.Check(); };
  std::string buf;
  while (const osmium::OSMObject* o = reader.Next()) {
    progress.Step();
    if (o->type() != osmium::item_type::node) {
      // The ways begin; the pass stops as it does at an XML file's first way.
      reader.Unread();
      break;
    }
    HandOverNode(static_cast<const osmium::Node&>(*o), nodes, buf);
  }
  reader.OnBlock = nullptr;  // the progress ends here, the reader may go on
}

void TPbfOsmReader::ReadWays(IOsmWays& ways) {
  TPbfReader& reader = Open(false, true);
  TPassProgress progress(FUI, reader);
  reader.OnBlock = [&progress] { progress.Check(); };
  TWayBuilder builder;
  std::string kb, vb;
  while (const osmium::OSMObject* o = reader.Next()) {
    progress.Step();
    // Nodes after the first way are not read, as in an XML file.
    if (o->type() != osmium::item_type::way) continue;
    HandOverWay(static_cast<const osmium::Way&>(*o), ways, builder, kb, vb);
  }
  reader.OnBlock = nullptr;
}
