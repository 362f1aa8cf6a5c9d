#include "pbf_reader.h"

#include <unistd.h>

#include <osmium/thread/pool.hpp>
#include <protozero/pbf_reader.hpp>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <deque>
#include <future>
#include <memory>
#include <new>
#include <string_view>
#include <thread>

#include "input_file.h"
#include "linvoro_platform.h"
#include "linvoro_types.h"
#include "osm_format.h"
#include "pbf_block.h"
#include "run_ui.h"

namespace {

int DecoderThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n > 16 ? 16 : n);
}

// What a block will hold once decoded, before it is: its uncompressed size
// (stated in the blob) and room for the objects that many bytes can hold.
size_t DecodedEstimate(const std::string& blob) {
  size_t raw = blob.size();
  try {
    protozero::pbf_reader b{blob};
    while (b.next()) {
      if (b.tag() == 2 && b.wire_type() == protozero::pbf_wire_type::varint) {
        const int64_t n = b.get_int32();
        if (n > 0) raw = static_cast<size_t>(n);
      } else {
        b.skip();
      }
    }
  } catch (const std::exception&) {
    // The decoder says what is wrong with it.
  }
  raw = std::min(raw, cPbfMaxBlockBytes);
  return raw + std::min(raw / 2, cPbfMaxObjects) * sizeof(TPbfNode);
}

}  // namespace

struct TPbfOsmReader::TImpl {
  const std::string& Path;
  int Handle = -1;
  int64_t Size = 0;
  int64_t ReadPos = 0;  // bytes read from the file
  int64_t DonePos = 0;  // end of the block whose objects are handed out
  // History files come sorted by type, id and version; a second version of
  // an object follows its first. Only they carry the deleted mark.
  bool History = false;

  osmium::thread::Pool Pool{DecoderThreads()};
  struct TJob {
    std::future<TPbfBlock> Block;
    int64_t Start, End;  // the block's place in the file
    size_t Estimate;     // decoded bytes it may hold
  };
  std::deque<TJob> Jobs;  // in file order
  size_t AheadBytes = 0, PeakAhead = 0;
  unsigned Want = 0;
  bool FileEnded = false;

  // The block handed out: its place, and the next group and object in it.
  TPbfBlock Block;
  bool HaveBlock = false;
  int64_t BlockStart = 0;
  size_t Group = 0, Index = 0;

  TPbfKind LastKind = TPbfKind::Other;
  int64_t LastId = 0;

  // A way handed to a pass; its refs are decoded when the pass asks.
  const TPbfWay* RefWay = nullptr;
  std::vector<int64_t> Refs;
  TWayBuilder Builder;
  // The kind of the objects handed out last, and whether the handler was
  // told it (a declined section is told again by the next Read).
  TOsmKind Kind = TOsmKind::okOther;
  bool KindKnown = false;

  explicit TImpl(const std::string& path) : Path(path) {}
  ~TImpl() {
    // The pool's threads may still decode blocks of this reader.
    for (TJob& j : Jobs)
      if (j.Block.valid()) j.Block.wait();
    if (Handle >= 0) ::close(Handle);
  }

  [[noreturn]] void Damaged(const std::string& what) const {
    throw EReadError("Error reading file \"" + Path + "\". The OSM PBF data are damaged (" + what + ").");
  }
  [[noreturn]] void Truncated() const {
    throw EReadError("Error reading file \"" + Path + "\". The OSM PBF data end too early: the file is truncated.");
  }
  // Every failure of the decoder becomes a message that names the file.
  [[noreturn]] void Rethrow() const {
    try {
      throw;
    } catch (const EPbfDamaged& e) {
      Damaged(e.what());
    } catch (const EPbfUnsupported& e) {
      throw EReadError("File \"" + Path + "\" " + e.what());
    }
  }

  // Exactly n bytes; false when the file ends before the first of them and
  // that is allowed (between blocks).
  bool ReadExact(char* dst, size_t n, bool endAllowed) {
    size_t got = 0;
    while (got < n) {
      const size_t r = ReadInputFile(Handle, dst + got, n - got, Path);
      if (r == 0) {
        if (got == 0 && endAllowed) return false;
        Truncated();
      }
      got += r;
      ReadPos += static_cast<int64_t>(r);
    }
    return true;
  }

  // The next block of the expected type into blob; false at the end of the
  // file.
  bool ReadBlob(std::string& blob, std::string_view expected) {
    unsigned char size[4];
    if (!ReadExact(reinterpret_cast<char*>(size), 4, true)) return false;
    const uint32_t headerSize = uint32_t(size[0]) << 24 | uint32_t(size[1]) << 16 | uint32_t(size[2]) << 8 | size[3];
    if (headerSize == 0 || headerSize > cPbfMaxBlobHeaderBytes) Damaged("block header size " + std::to_string(headerSize));
    std::string header(headerSize, '\0');
    ReadExact(header.data(), headerSize, false);
    TPbfBlobHeader h;
    try {
      h = DecodePbfBlobHeader(header);
    } catch (...) {
      Rethrow();
    }
    if (h.Type != expected) Damaged("a block of type \"" + h.Type + "\" where " + std::string(expected) + " belongs");
    if (h.DataSize <= 0 || static_cast<uint64_t>(h.DataSize) > cPbfMaxBlockBytes)
      Damaged("block size " + std::to_string(h.DataSize));
    blob.assign(static_cast<size_t>(h.DataSize), '\0');
    ReadExact(blob.data(), blob.size(), false);
    return true;
  }

  void Open() {
    Handle = OpenInputFile(Path, Size);
    std::string blob;
    if (!ReadBlob(blob, "OSMHeader")) Truncated();
    TPbfHeaderInfo header;
    try {
      std::string data;
      InflatePbfBlob(blob, data);
      header = DecodePbfHeader(data);
    } catch (...) {
      Rethrow();
    }
    if (!header.Unsupported.empty()) {
      std::string list;
      for (const std::string& f : header.Unsupported) list += (list.empty() ? "" : ", ") + f;
      throw EReadError("File \"" + Path + "\" needs a feature of OSM PBF that is not supported: " + list + ".");
    }
    History = header.History;
    DonePos = ReadPos;
  }

  // The reader goes on at the file's byte pos (a block's start).
  void Restart(int64_t pos) {
    for (TJob& j : Jobs)
      if (j.Block.valid()) j.Block.wait();
    Jobs.clear();
    AheadBytes = 0;
    HaveBlock = false;
    FileEnded = false;
    if (::lseek(Handle, pos, SEEK_SET) < 0)
      throw EReadError("Error reading file \"" + Path + "\". " + SystemErrorText(errno));
    ReadPos = DonePos = pos;
  }

  // Blocks read and given to the pool while the decoded data ahead stay
  // within the bound (one block always), a few more than there are threads.
  void FillJobs() {
    const size_t maxJobs = static_cast<size_t>(2 * DecoderThreads() + 2);
    while (!FileEnded && Jobs.size() < maxJobs && (Jobs.empty() || AheadBytes < MaxAheadBytes)) {
      const int64_t start = ReadPos;
      std::string blob;
      if (!ReadBlob(blob, "OSMData")) {
        FileEnded = true;
        break;
      }
      const size_t estimate = DecodedEstimate(blob);
      // The blob is shared: the pool's tasks are copied.
      auto data = std::make_shared<std::string>(std::move(blob));
      const unsigned want = Want;
      const bool metadata = History;
      Jobs.push_back({Pool.submit([data, want, metadata] {
                        std::string raw;
                        InflatePbfBlob(*data, raw);
                        TPbfBlock b;
                        DecodePbfBlock(std::move(raw), want, metadata, b);
                        return b;
                      }),
                      start, ReadPos, estimate});
      AheadBytes += estimate;
      PeakAhead = std::max(PeakAhead, AheadBytes);
    }
  }

  // The next block into Block; false at the end of the file.
  bool NextBlock(TPassProgress& progress) {
    FillJobs();
    if (Jobs.empty()) return false;
    TJob job = std::move(Jobs.front());
    Jobs.pop_front();
    AheadBytes -= job.Estimate;
    try {
      Block = job.Block.get();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      Rethrow();
    }
    PeakAhead = std::max(PeakAhead, AheadBytes + Block.MemoryBytes());
    HaveBlock = true;
    BlockStart = job.Start;
    DonePos = job.End;
    Group = Index = 0;
    progress.Check();
    FillJobs();
    return true;
  }

  // A second version of an object in a history file ends the run.
  void CheckVersion(TPbfKind kind, int64_t id) {
    if (kind == LastKind && id == LastId)
      throw EReadError("File \"" + Path + "\" is an OSM history file with several versions of " +
                       (kind == TPbfKind::Nodes ? "node " : "way ") + std::to_string(id) +
                       ". Only files with one version of each object are converted.");
    LastKind = kind;
    LastId = id;
  }

  static std::span<const int64_t> DecodeRefs(const void* self) {
    auto* f = const_cast<TImpl*>(static_cast<const TImpl*>(self));
    f->Refs.clear();
    try {
      ForEachPbfRef(*f->RefWay, [f](int64_t r) { f->Refs.push_back(r); });
    } catch (...) {
      f->Rethrow();
    }
    return f->Refs;
  }

  // The kinds a Read decodes. Blocks decoded ahead for fewer kinds are
  // decoded again from the block being handed out, at the same object.
  void Require(unsigned want, TPassProgress& progress) {
    if ((Want & want) == want) return;
    Want |= want;
    if (!HaveBlock && Jobs.empty()) return;
    const bool had = HaveBlock;
    const size_t group = Group, index = Index;
    Restart(had ? BlockStart : Jobs.front().Start);
    if (had && NextBlock(progress)) {
      Group = group;
      Index = index;
    }
  }

  static TOsmKind KindOf(TPbfKind k) {
    return k == TPbfKind::Nodes ? TOsmKind::okNode : k == TPbfKind::Ways ? TOsmKind::okWay : TOsmKind::okOther;
  }

  void HandOverNodes(const TPbfGroup& g, IOsmHandler& h, TPassProgress& progress) {
    for (; Index < g.End - g.Begin; ++Index) {
      const TPbfNode& n = Block.Nodes[g.Begin + Index];
      progress.Step();
      if (History) CheckVersion(TPbfKind::Nodes, n.Id);
      if (!h.WantNode(n.Id)) continue;
      TOsmNode node;
      node.Id = n.Id;
      node.Deleted = !n.Visible;
      // The nearest doubles to the decimal degrees, as the XML text gives
      // them. A node without coordinates is at (0, 0) as an XML node
      // without lat and lon is; writers mark such a node with the largest
      // 32-bit value in both.
      const bool undefined = !n.Located || (n.X == INT32_MAX && n.Y == INT32_MAX);
      if (!undefined)
        node.P = TFloatPoint{static_cast<double>(n.X) / 10000000, static_cast<double>(n.Y) / 10000000};
      if (n.Ref >= 0) {
        node.Ref = Block.Strings[static_cast<size_t>(n.Ref)];
        node.HasRef = true;
      }
      h.Node(node);
    }
  }

  void HandOverWays(const TPbfGroup& g, IOsmHandler& h, TPassProgress& progress) {
    for (; Index < g.End - g.Begin; ++Index) {
      const TPbfWay& way = Block.Ways[g.Begin + Index];
      progress.Step();
      if (History) CheckVersion(TPbfKind::Ways, way.Id);
      if (!h.WantWay(way.Id)) continue;
      Builder.Begin(way.Id, !way.Visible);
      try {
        ForEachPbfTag(Block, way, [this](std::string_view k, std::string_view v) { Builder.Tag(k, v); });
      } catch (...) {
        Rethrow();
      }
      RefWay = &way;
      h.Way(Builder.FinishLazy(PbfRefCount(way), &TImpl::DecodeRefs, this));
    }
  }

  bool Read(IOsmHandler& h, const TReadRequest& what, TPassProgress& progress) {
    Require((what.Nodes ? cPbfWantNodes : 0u) | (what.Ways ? cPbfWantWays : 0u), progress);
    for (;;) {
      if (!HaveBlock && !NextBlock(progress)) return true;
      for (; Group < Block.Groups.size(); ++Group, Index = 0) {
        const TPbfGroup& g = Block.Groups[Group];
        const TOsmKind kind = KindOf(g.Kind);
        if (!KindKnown || kind != Kind) {
          Kind = kind;
          KindKnown = true;
          if (!h.Section(kind)) {
            KindKnown = false;
            return true;
          }
        }
        if (kind == TOsmKind::okNode && what.Nodes)
          HandOverNodes(g, h, progress);
        else if (kind == TOsmKind::okWay && what.Ways)
          HandOverWays(g, h, progress);
      }
      HaveBlock = false;
    }
  }
};

TPbfOsmReader::TPbfOsmReader(const std::string& path) : TOsmReader(path), F(std::make_unique<TImpl>(FFileName)) {
  F->Open();
}

TPbfOsmReader::~TPbfOsmReader() = default;

int64_t TPbfOsmReader::ProgressPosition() const { return F->DonePos; }

int64_t TPbfOsmReader::ProgressSize() const { return F->Size; }

size_t TPbfOsmReader::PeakAheadBytes() const { return F->PeakAhead; }

bool TPbfOsmReader::Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) {
  return F->Read(handler, what, progress);
}

TOsmPlace TPbfOsmReader::SectionPlace() const { return TOsmPlace::At(F->BlockStart); }

void TPbfOsmReader::StartAt(const TOsmPlace& place, TPassProgress&) {
  // A block's start; the header block before it has been read.
  if (place.Offset > 0) F->Restart(place.Offset);
  F->KindKnown = false;
}
