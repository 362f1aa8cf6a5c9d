#include "o5m_reader.h"

#include <osmium/io/o5m_input.hpp>
#include <osmium/io/any_compression.hpp>
#include <osmium/io/reader.hpp>
#include <osmium/memory/buffer.hpp>

#include <unistd.h>

#include <optional>

#include "input_file.h"
#include "osmium_objects.h"
#include "run_ui.h"

struct TO5mReader::TImpl {
  std::string Path;
  TOsmFormat Format;
  int64_t Size = 0;
  std::optional<osmium::io::Reader> Reader;
  osmium::osm_entity_bits::type Types = osmium::osm_entity_bits::nothing;
  osmium::memory::Buffer Buffer;
  osmium::memory::Buffer::t_iterator<osmium::OSMObject> It, End;
  bool Ended = false;

  [[noreturn]] void Damaged(const char* what) const {
    throw EReadError("Error reading file \"" + Path + "\". The O5M data are damaged (" + std::string(what) + ").");
  }

  // A reader for the object kinds a pass needs; the one open is kept when
  // it reads them already.
  void Open(osmium::osm_entity_bits::type types) {
    if (Reader && (Types & types) == types) return;
    Close();
    osmium::io::File file{Path, "o5m"};
    const TCompression c = CompressionOf(Format);
    file.set_compression(c == TCompression::Gzip    ? osmium::io::file_compression::gzip
                         : c == TCompression::Bzip2 ? osmium::io::file_compression::bzip2
                                                    : osmium::io::file_compression::none);
    try {
      Reader.emplace(file, types, osmium::io::read_meta::no);
    } catch (const std::exception& e) {
      throw EFOpenError("Cannot open file \"" + Path + "\". " + e.what());
    }
    Types = types;
    Buffer = osmium::memory::Buffer();
    It = End = {};
    Ended = false;
  }
  void Close() {
    if (Reader) {
      try {
        Reader->close();
      } catch (...) {
      }
      Reader.reset();
    }
  }

  // The next object, nullptr at the end; onBuffer runs before each buffer.
  template <class F>
  const osmium::OSMObject* Next(F&& onBuffer) {
    for (;;) {
      while (It == End) {
        if (Ended) return nullptr;
        onBuffer();
        try {
          Buffer = Reader->read();
        } catch (const Exception&) {
          throw;
        } catch (const std::bad_alloc&) {
          throw;
        } catch (const std::exception& e) {
          Damaged(e.what());
        }
        if (!Buffer) {
          Ended = true;
          return nullptr;
        }
        It = Buffer.begin<osmium::OSMObject>();
        End = Buffer.end<osmium::OSMObject>();
      }
      return &*It;
    }
  }
  void Advance() { ++It; }
};

TO5mReader::TO5mReader(const std::string& path, TOsmFormat format) : TOsmReader(path), F(std::make_unique<TImpl>()) {
  F->Path = path;
  F->Format = format;
  // The size for the progress bar; the file is opened by the first Read.
  int64_t size = 0;
  const int fd = OpenInputFile(path, size);
  ::close(fd);
  F->Size = size;
}

TO5mReader::~TO5mReader() { F->Close(); }

int64_t TO5mReader::ProgressPosition() const {
  return F->Reader ? static_cast<int64_t>(F->Reader->offset()) : 0;
}

int64_t TO5mReader::ProgressSize() const { return F->Size; }

// libosmium's reader cannot seek: a reader of O5M starts at the file's
// start wherever it is asked to.
void TO5mReader::StartAt(const TOsmPlace&, TPassProgress&) {}

bool TO5mReader::Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) {
  // Nodes are read also where none is wanted, so that their place among
  // the ways is told.
  F->Open(osmium::osm_entity_bits::node | osmium::osm_entity_bits::way);
  while (const osmium::OSMObject* o = F->Next([&progress] { progress.Check(); })) {
    progress.Step();
    const TOsmKind kind = o->type() == osmium::item_type::way ? TOsmKind::okWay : TOsmKind::okNode;
    if (!FKindKnown || kind != FKind) {
      FKind = kind;
      FKindKnown = true;
      // Declined: the object stays the next one.
      if (!handler.Section(kind)) {
        FKindKnown = false;
        return true;
      }
    }
    if (kind == TOsmKind::okWay) {
      if (what.Ways) HandOverWay(static_cast<const osmium::Way&>(*o), handler, FWay);
    } else if (what.Nodes) {
      HandOverNode(static_cast<const osmium::Node&>(*o), handler);
    }
    F->Advance();
  }
  return true;
}
