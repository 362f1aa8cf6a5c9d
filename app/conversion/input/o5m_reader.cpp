#include "o5m_reader.h"

#include <osmium/io/o5m_input.hpp>
#include <osmium/io/any_compression.hpp>
#include <osmium/io/reader.hpp>
#include <osmium/memory/buffer.hpp>

#include <unistd.h>

#include <optional>

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
    const TOsmFormat c = CompressionOf(Format);
    file.set_compression(c == TOsmFormat::ofGzip    ? osmium::io::file_compression::gzip
                         : c == TOsmFormat::ofBzip2 ? osmium::io::file_compression::bzip2
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
      const osmium::OSMObject& o = *It;
      if (o.visible()) return &o;
      ++It;
    }
  }
  void Advance() { ++It; }
};

TO5mReader::TO5mReader(TFileInfo& info, IRunUI& ui)
    : TOsmReader(info.Filename, ui), F(std::make_unique<TImpl>()), FInfo(info) {
  F->Path = info.Filename;
  F->Format = info.Format;
  // The size for the progress bar; the file is opened by each pass.
  int64_t size = 0;
  const int fd = OpenInputFile(info.Filename, size);
  ::close(fd);
  F->Size = size;
}

TO5mReader::~TO5mReader() { F->Close(); }

int64_t TO5mReader::ProgressPosition() const {
  return F->Reader ? static_cast<int64_t>(F->Reader->offset()) : 0;
}

int64_t TO5mReader::ProgressSize() const { return F->Size; }

bool TO5mReader::ReadAllWays(IOsmWays& ways) {
  // Nodes too, so that a node after a way is seen.
  F->Open(osmium::osm_entity_bits::node | osmium::osm_entity_bits::way);
  FUI.Progress(0);
  TPassProgress progress(FUI, *this);
  TWayBuilder builder;
  std::string kb, vb;
  bool sawWay = false;
  while (const osmium::OSMObject* o = F->Next([&progress] { progress.Check(); })) {
    progress.Step();
    if (o->type() == osmium::item_type::way) {
      sawWay = true;
      HandOverWay(static_cast<const osmium::Way&>(*o), ways, builder, kb, vb);
    } else if (sawWay) {
      RaiseUnsorted(FFileName);
    }
    F->Advance();
  }
  return true;
}

void TO5mReader::ReadNodes(IOsmNodes& nodes) {
  F->Open(osmium::osm_entity_bits::node | osmium::osm_entity_bits::way);
  TPassProgress progress(FUI, *this);
  std::string buf;
  while (const osmium::OSMObject* o = F->Next([&progress] { progress.Check(); })) {
    progress.Step();
    // The ways begin: the pass stops here, and a reader kept for pass 3
    // goes on from this way.
    if (o->type() != osmium::item_type::node) return;
    HandOverNode(static_cast<const osmium::Node&>(*o), nodes, buf);
    F->Advance();
  }
}

void TO5mReader::ReadWays(IOsmWays& ways) {
  F->Open(osmium::osm_entity_bits::way);
  TPassProgress progress(FUI, *this);
  TWayBuilder builder;
  std::string kb, vb;
  while (const osmium::OSMObject* o = F->Next([&progress] { progress.Check(); })) {
    progress.Step();
    if (o->type() == osmium::item_type::way) HandOverWay(static_cast<const osmium::Way&>(*o), ways, builder, kb, vb);
    F->Advance();
  }
}
