#include "pbf_input.h"

#include <osmium/io/pbf_input.hpp>
#include <osmium/io/reader.hpp>
#include <osmium/osm/entity_bits.hpp>
#include <osmium/osm/object.hpp>
#include <osmium/thread/pool.hpp>

#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "linvoro_types.h"

namespace {

// libosmium reads "-" as standard input and "scheme://..." as a download;
// a listed file is always a local file.
std::string LocalName(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return "./" + path;
}

// Every failure of libosmium or of the file becomes a message that names the
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
    if (what.find("EOF") != std::string_view::npos)
      throw EReadError("Error reading file \"" + path + "\". The OSM PBF data end too early: the file is truncated.");
    throw EReadError("Error reading file \"" + path + "\". The OSM PBF data are damaged (" + std::string(what) + ").");
  } catch (const std::system_error& e) {
    throw EReadError("Error reading file \"" + path + "\". " + e.code().message());
  } catch (const std::exception& e) {
    throw EReadError("Error reading file \"" + path + "\". The OSM PBF data are damaged (" + e.what() + ").");
  }
}

int DecoderThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n > 16 ? 16 : n);
}

}  // namespace

struct TPbfReader::TImpl {
  osmium::thread::Pool Pool{DecoderThreads()};
  std::optional<osmium::io::Reader> Reader;
  osmium::memory::Buffer Buffer;
  osmium::memory::Buffer::t_iterator<osmium::OSMObject> It, End;
  // History files come sorted by type, id and version; a second version of
  // an object follows its first.
  bool History = false;
  osmium::item_type LastType = osmium::item_type::undefined;
  osmium::object_id_type LastId = 0;
  const osmium::OSMObject* Last = nullptr;
  bool Ended = false;  // the reader gave its last buffer
};

TPbfReader::TPbfReader(const std::string& path, bool nodes, bool ways) : FPath(path), F(std::make_unique<TImpl>()) {
  try {
    // The header alone first: a history file needs the objects' metadata
    // to tell deleted objects, any other file is read without it.
    osmium::io::File file(LocalName(path), "pbf");
    {
      osmium::io::Reader probe(file, F->Pool, osmium::osm_entity_bits::nothing);
      F->History = probe.header().has_multiple_object_versions();
      probe.close();
    }
    file.set_has_multiple_object_versions(F->History);
    osmium::osm_entity_bits::type types = osmium::osm_entity_bits::nothing;
    if (nodes) types |= osmium::osm_entity_bits::node;
    if (ways) types |= osmium::osm_entity_bits::way;
    F->Reader.emplace(file, F->Pool, types, F->History ? osmium::io::read_meta::yes : osmium::io::read_meta::no);
  } catch (...) {
    Rethrow(path);
  }
}

TPbfReader::~TPbfReader() {
  if (F->Reader) {
    try {
      F->Reader->close();
    } catch (...) {
      // the reader is being dropped; its errors no longer matter
    }
  }
}

const osmium::OSMObject* TPbfReader::Next() {
  if (FUnread) {
    FUnread = false;
    return F->Last;
  }
  for (;;) {
    while (F->It == F->End) {
      if (F->Ended) return F->Last = nullptr;
      try {
        F->Buffer = F->Reader->read();
      } catch (...) {
        Rethrow(FPath);
      }
      if (!F->Buffer) {
        F->Ended = true;
        return F->Last = nullptr;
      }
      F->It = F->Buffer.begin<osmium::OSMObject>();
      F->End = F->Buffer.end<osmium::OSMObject>();
    }
    const osmium::OSMObject& o = *F->It;
    ++F->It;
    if (F->History) {
      if (o.type() == F->LastType && o.id() == F->LastId)
        throw EReadError("File \"" + FPath + "\" is an OSM history file with several versions of " +
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

int64_t TPbfReader::ProgressPosition() const { return static_cast<int64_t>(F->Reader->offset()); }

int64_t TPbfReader::ProgressSize() const { return static_cast<int64_t>(F->Reader->file_size()); }
