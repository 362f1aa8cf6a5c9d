#include "linvoro_lazynetwork.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <unordered_map>

#include "linvoro_configfile.h"
#include "linvoro_coord3file.h"
#include "linvoro_io.h"
#include "linvoro_network.h"
#include "linvoro_platform.h"
#include "linvoro_quadtree.h"
#include "linvoro_roadnamefile.h"

namespace {

enum TFileIndex { fiLength, fiLink, fiAttribute, fiCoord, fiNode, fiCoord3, fiCoord3i, fiCount };
const char* const FileNames[fiCount] = {"length.bin", "link.bin", "attribute.bin", "coord.bin",
                                        "node.bin",   Coord3FileName, Coord3IndexFileName};

std::string Str(int64_t v) { return std::to_string(v); }

// Leading and trailing characters up to the blank removed, as road names are
// read back.
std::string TrimName(std::string s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

[[noreturn]] void ReadFailed(const std::string& path, int err) {
  throw EReadError("Cannot read file \"" + FullPath(path) + "\". " + SystemErrorText(err));
}

}  // namespace

// Memory for the blocks read, in pieces of 2 MiB that the system may give as
// one huge page each: a route reads a few hundred scattered blocks, and a
// page fault for each fresh 4 KiB page would cost more than the reads.
// Networks opened with OpenSharing take blocks from one arena on several
// threads.
class TLazyNetwork::TArena {
 public:
  static constexpr size_t ChunkSize = size_t(2) << 20;
  ~TArena() {
    for (void* c : FChunks) ::munmap(c, ChunkSize);
  }
  // n bytes (at most ChunkSize), 16-byte aligned.
  uint8_t* Take(size_t n) {
    std::lock_guard<std::mutex> lock(FLock);
    n = (n + 15) & ~size_t(15);
    if (FChunks.empty() || FUsed + n > ChunkSize) NewChunk();
    uint8_t* p = static_cast<uint8_t*>(FChunks.back()) + FUsed;
    FUsed += n;
    return p;
  }

 private:
  void NewChunk() {
    // Twice the size, so that an aligned chunk fits; the rest goes back.
    void* raw = ::mmap(nullptr, 2 * ChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t r = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t a = (r + ChunkSize - 1) & ~uintptr_t(ChunkSize - 1);
    if (a > r) ::munmap(raw, a - r);
    if (a + ChunkSize < r + 2 * ChunkSize) ::munmap(reinterpret_cast<void*>(a + ChunkSize), r + ChunkSize - a);
    void* chunk = reinterpret_cast<void*>(a);
#ifdef MADV_HUGEPAGE
    ::madvise(chunk, ChunkSize, MADV_HUGEPAGE);
#endif
    FChunks.push_back(chunk);
    FUsed = 0;
  }
  std::mutex FLock;
  std::vector<void*> FChunks;
  size_t FUsed = 0;
};

// One file of the set, read in blocks on demand and kept.
class TLazyNetwork::TBlockFile {
 public:
  static constexpr int BlockShift = 14;  // 16 KiB
  static constexpr int64_t BlockSize = int64_t(1) << BlockShift;

  TBlockFile(const std::string& path, std::shared_ptr<TArena> arena) : FPath(path), FArena(std::move(arena)) {
    FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (FFd < 0) {
      const int e = errno;
      throw EFOpenError("Cannot open file \"" + FullPath(path) + "\". " + SystemErrorText(e));
    }
    struct stat st {};
    if (::fstat(FFd, &st) != 0) {
      const int e = errno;
      ::close(FFd);
      throw EFOpenError("Cannot open file \"" + FullPath(path) + "\". " + SystemErrorText(e));
    }
    FSize = st.st_size;
    // Zeroed lazily by the system: a large network's table costs only the
    // pages of the blocks a route reads.
    const size_t blocks = static_cast<size_t>((FSize + BlockSize - 1) >> BlockShift);
    FBlocks = static_cast<uint8_t**>(std::calloc(blocks + 1, sizeof(uint8_t*)));
    if (!FBlocks) {
      ::close(FFd);
      throw std::bad_alloc();
    }
  }
  ~TBlockFile() {
    std::free(FBlocks);
    ::close(FFd);
  }
  TBlockFile(const TBlockFile&) = delete;
  TBlockFile& operator=(const TBlockFile&) = delete;

  int64_t Size() const { return FSize; }

  // The bytes at offset; a record read there must not cross into the next
  // block (records of 2, 4, 8 and 16 bytes at multiples of their size never
  // do). A block, once read, never changes: threads that share the file
  // read it without a lock, and the first to need a block reads it for all.
  const uint8_t* At(int64_t offset) {
    const int64_t b = offset >> BlockShift;
    uint8_t* block = std::atomic_ref<uint8_t*>(FBlocks[b]).load(std::memory_order_acquire);
    if (!block) block = Load(b);
    return block + (offset & (BlockSize - 1));
  }

  // Any bytes, copied to dst.
  void Read(int64_t offset, int64_t n, uint8_t* dst) {
    while (n > 0) {
      const int64_t in = std::min(n, BlockSize - (offset & (BlockSize - 1)));
      std::memcpy(dst, At(offset), static_cast<size_t>(in));
      offset += in;
      dst += in;
      n -= in;
    }
  }

  // Reads without keeping: bytes offset .. offset + n - 1 into dst.
  void ReadThrough(int64_t offset, int64_t n, uint8_t* dst) const {
    int64_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(FFd, dst + got, static_cast<size_t>(n - got), offset + got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) ReadFailed(FPath, r < 0 ? errno : EIO);
      got += r;
    }
  }

 private:
  uint8_t* Load(int64_t b) {
    std::lock_guard<std::mutex> lock(FLoadLock);
    std::atomic_ref<uint8_t*> slot(FBlocks[b]);
    if (uint8_t* block = slot.load(std::memory_order_acquire)) return block;  // another thread's
    uint8_t* block = FArena->Take(static_cast<size_t>(BlockSize));
    const int64_t offset = b << BlockShift;
    ReadThrough(offset, std::min(BlockSize, FSize - offset), block);
    slot.store(block, std::memory_order_release);
    return block;
  }

  std::string FPath;
  std::shared_ptr<TArena> FArena;  // shared: the blocks live as long as any file using it
  std::mutex FLoadLock;
  int FFd = -1;
  int64_t FSize = 0;
  uint8_t** FBlocks = nullptr;
};

// Value i of a file of T records (files are little-endian, as is every
// platform this library is built for; memcpy: a block holds no alignment
// promise the compiler may rely on).
template <class T>
T TLazyNetwork::At(int file, int64_t index) const {
  T v;
  std::memcpy(&v, FFiles[file]->At(index * int64_t(sizeof(T))), sizeof(T));
  return v;
}

struct TLazyNetwork::TRoadNames {
  std::unique_ptr<TBlockFile> numbers, names;
  int32_t maxId = 0;
  int64_t width = 0;
};

struct TLazyNetwork::TScanState {
  std::shared_ptr<TBlockFile> file;
  uint8_t* buf = nullptr;  // in FArena
  int64_t cap = 0;
  int64_t bufPos = 0;  // file offset of buf[0]
  int64_t bufLen = 0;  // valid bytes in buf
  // A divided cell whose subtree some scan read through, by the offset of
  // its header.
  struct TSubtree {
    int64_t end;    // offset after its last cell
    int32_t cells;  // its cells, itself included
    TFloatRect bounds;  // of its leaves' rectangles
  };
  std::unordered_map<int64_t, TSubtree> subtrees;
};

TLazyNetwork::TLazyNetwork() = default;

TLazyNetwork::~TLazyNetwork() { Close(); }

std::string TLazyNetwork::RequireFile(const std::string& name) const {
  const std::string path = fDirectory + name;
  if (!std::filesystem::is_regular_file(path)) throw EFileMissing("File is missing: " + FullPath(path));
  return path;
}

void TLazyNetwork::Corrupt(const char* file, const std::string& what) const {
  throw Exception(FullPath(fDirectory + file) + " is corrupt: " + what);
}

// Raw little-endian value at byte p.
template <class T>
static T Raw(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

void TLazyNetwork::Open() {
  Close();
  try {
    const TConfig config = ReadConfigFile(RequireFile(ConfigFileName));
    if (config.VersionCode != NetworkVersion)
      throw EWrongVersion("This network is not compatible with the software");
    if (config.LinkCount < 0) Corrupt(ConfigFileName, "negative link count");
    FLinkCount = config.LinkCount;
    FUnit = config.Cu;
    FMbr = config.Mbr;
    FDistFactor = ::DistFactor(FUnit);

    // One arena for blocks and buffers: a route in a process of its own
    // then touches one fresh 2 MiB piece, not two.
    FBlockArena = std::make_shared<TArena>();
    FArena = FBlockArena;
    for (int i = 0; i < fiCount; ++i)
      FFiles.push_back(std::make_shared<TBlockFile>(RequireFile(FileNames[i]), FBlockArena));
    FIndexFile = std::make_shared<TBlockFile>(RequireFile(SpatialIndexFileName), FBlockArena);

    const int64_t links = FLinkCount;
    auto expectSize = [&](int idx, int64_t size) {
      if (FFiles[idx]->Size() != size)
        Corrupt(FileNames[idx], "size " + Str(FFiles[idx]->Size()) + ", expected " + Str(size) + " for " +
                                    Str(links) + " links");
    };
    expectSize(fiLength, links * 4);
    expectSize(fiLink, links * 8);
    expectSize(fiAttribute, links * 2);
    expectSize(fiCoord3i, (links + 1) * 4);
    const int64_t coordSize = FFiles[fiCoord]->Size();
    if (coordSize % 16 != 0 || coordSize / 16 >= INT32_MAX)
      Corrupt(FileNames[fiCoord], "size " + Str(coordSize) + " is not a whole number of nodes");
    FNodeCount = static_cast<int32_t>(coordSize / 16);
    const int64_t c3 = FFiles[fiCoord3]->Size();
    if (c3 % 16 != 0) Corrupt(Coord3FileName, "size " + Str(c3) + " is not a whole number of points");
    FShapePoints = c3 / 16;

    // node.bin: the degree table, then the lists of each degree in turn.
    const int64_t nbSize = FFiles[fiNode]->Size();
    if (nbSize % 4 != 0 || nbSize < 4) Corrupt("node.bin", "size " + Str(nbSize) + " is not a whole number of values");
    const int32_t D = At<int32_t>(fiNode, 0);
    if (D < 1 || D > MaxLinksAtNode)
      Corrupt("node.bin", "maximum degree " + Str(D) + " outside 1.." + Str(MaxLinksAtNode));
    if (nbSize < int64_t(4) * (1 + D)) Corrupt("node.bin", "ends inside the degree counts");
    FMaxDegree = D;
    a.assign(static_cast<size_t>(D) + 2, 0);
    for (int32_t d = D; d >= 1; --d) a[d] = At<int32_t>(fiNode, 1 + (D - d));
    for (int32_t d = D; d >= 1; --d)
      if (a[d] < a[d + 1]) Corrupt("node.bin", "degree counts decrease at degree " + Str(d));
    if (a[1] != FNodeCount)
      Corrupt("node.bin", "counts " + Str(a[1]) + " nodes but coord.bin holds " + Str(FNodeCount));
    FListBase.assign(static_cast<size_t>(D) + 2, 0);
    int64_t next = 1 + D;
    for (int32_t d = D; d >= 1; --d) {
      FListBase[d] = next;
      next += int64_t(d) * (a[d] - a[d + 1]);
    }
    if (nbSize != 4 * next) Corrupt("node.bin", "size " + Str(nbSize) + ", expected " + Str(4 * next));
    fIsOpen = true;
  } catch (...) {
    Close();
    throw;
  }
}

void TLazyNetwork::OpenSharing(const TLazyNetwork& other) {
  if (!other.fIsOpen) throw ENetworkIsClosed("Network is not open");
  if (&other == this) return;
  Close();
  fDirectory = other.fDirectory;
  FFiles = other.FFiles;
  FIndexFile = other.FIndexFile;
  FBlockArena = other.FBlockArena;
  FArena = std::make_shared<TArena>();
  FLinkCount = other.FLinkCount;
  FNodeCount = other.FNodeCount;
  FMaxDegree = other.FMaxDegree;
  FUnit = other.FUnit;
  FDistFactor = other.FDistFactor;
  FMbr = other.FMbr;
  FShapePoints = other.FShapePoints;
  a = other.a;
  FListBase = other.FListBase;
  FLengthAlpha = other.FLengthAlpha;
  FKeepSpatialIndex = other.FKeepSpatialIndex;
  fIsOpen = true;
}

void TLazyNetwork::Close() {
  for (auto& r : FRoadNames) r.reset();
  FFiles.clear();
  FScan.reset();
  FIndexFile.reset();
  FNumberBuffer = nullptr;
  FArena.reset();
  FBlockArena.reset();
  FLinkCount = FNodeCount = FMaxDegree = 0;
  FShapePoints = 0;
  a.clear();
  FListBase.clear();
  FLengthAlpha = -1;
  fIsOpen = false;
}

// ------------------------------------------------------------ links and nodes

void TLazyNetwork::CheckLink(int32_t link) const {
  if (!fIsOpen) throw ENetworkIsClosed("Network is not open");
  if (link < 1) throw EOutOfRange("Link-ID must be >=1: " + Str(link));
  if (link > FLinkCount) throw EOutOfRange("Link-ID must be <=" + Str(FLinkCount) + ": " + Str(link));
}

void TLazyNetwork::CheckNode(int32_t node) const {
  if (!fIsOpen) throw ENetworkIsClosed("Network is not open");
  if (node < 1) throw EOutOfRange("Node-ID must be >=1: " + Str(node));
  if (node > FNodeCount) throw EOutOfRange("Node-ID must be =<" + Str(FNodeCount) + ": " + Str(node));
}

float TLazyNetwork::Length(int32_t link) const {
  CheckLink(link);
  const float l = At<float>(fiLength, link - 1);
  if (!(l >= 0) || std::isinf(l)) Corrupt("length.bin", "invalid length at link " + Str(link));
  return l;
}

void TLazyNetwork::EndNodes(int32_t link, int32_t& from, int32_t& to) const {
  const float l = Length(link);
  const uint32_t f = At<uint32_t>(fiLink, 2 * int64_t(link - 1)), t = At<uint32_t>(fiLink, 2 * int64_t(link - 1) + 1);
  if (l == 0) {
    if (f != 0 || t != 0) Corrupt("link.bin", "placeholder link " + Str(link) + " has end nodes");
  } else if (f < 1 || f > uint32_t(FNodeCount) || t < 1 || t > uint32_t(FNodeCount)) {
    Corrupt("link.bin", "link " + Str(link) + " has end nodes " + Str(f) + ", " + Str(t) + " outside 1.." +
                            Str(FNodeCount));
  }
  from = static_cast<int32_t>(f);
  to = static_cast<int32_t>(t);
}

int32_t TLazyNetwork::FromNode(int32_t link) const {
  int32_t f, t;
  EndNodes(link, f, t);
  return f;
}

int32_t TLazyNetwork::ToNode(int32_t link) const {
  int32_t f, t;
  EndNodes(link, f, t);
  return t;
}

uint16_t TLazyNetwork::Attribute(int32_t link) const {
  CheckLink(link);
  return At<uint16_t>(fiAttribute, link - 1);
}

int32_t TLazyNetwork::Degree(int32_t node) const {
  CheckNode(node);
  // Most nodes have a low degree: the search starts there.
  int32_t d = 1;
  while (node <= a[d + 1]) ++d;
  return d;
}

int32_t TLazyNetwork::NodeLink(int32_t node, int32_t k) const {
  TLinkEnds ends;
  return NodeLink(node, k, ends);
}

int32_t TLazyNetwork::NodeLink(int32_t node, int32_t k, TLinkEnds& ends) const {
  const int32_t d = Degree(node);
  if (k < 1 || k > d) throw EOutOfRange("Link index must be from 1 to " + Str(d) + ": " + Str(k));
  const int64_t i = FListBase[d] + int64_t(node - a[d + 1] - 1) * d + (k - 1);
  const int32_t L = At<int32_t>(fiNode, i);
  if (L < 1 || L > FLinkCount)
    Corrupt("node.bin", "node " + Str(node) + " lists link " + Str(L) + " outside 1.." + Str(FLinkCount));
  int32_t f, t;
  EndNodes(L, f, t);
  if (f != node && t != node)
    Corrupt("node.bin", "node " + Str(node) + " lists link " + Str(L) + " that does not end there");
  // Signed as TNetwork::OpenAttributes signs its lists.
  const uint16_t w = Attribute(L);
  ends = {f, t, w};
  bool forbidden;
  if (f == t)
    forbidden = (w & 1536) != 0;
  else if (node == t)
    forbidden = (w & 512) != 0;
  else
    forbidden = (w & 1024) != 0;
  return forbidden ? -L : L;
}

TFloatPoint TLazyNetwork::NodePoint(int32_t node) const {
  CheckNode(node);
  const TFloatPoint p{At<double>(fiCoord, 2 * int64_t(node - 1)), At<double>(fiCoord, 2 * int64_t(node - 1) + 1)};
  if (!std::isfinite(p.x) || !std::isfinite(p.y))
    Corrupt("coord.bin", "node " + Str(node) + " has no valid coordinates");
  return p;
}

double TLazyNetwork::Distance(const TFloatPoint& P1, const TFloatPoint& P2) const {
  return TNetwork::DistanceRule(FUnit, FDistFactor, P1, P2);
}

int32_t TLazyNetwork::VertexCount(int32_t link) const {
  CheckLink(link);
  const int32_t s = At<int32_t>(fiCoord3i, link - 1), e = At<int32_t>(fiCoord3i, link);
  if (s < 0 || e < s || e > FShapePoints || e - s > 65533)
    Corrupt(Coord3IndexFileName, "link " + Str(link) + " has shape points " + Str(s) + ".." + Str(e) +
                                     " outside 0.." + Str(FShapePoints));
  return e - s + 2;
}

void TLazyNetwork::Vertices(int32_t link, int32_t first, int32_t last, std::vector<TFloatPoint>& out) const {
  out.clear();
  const int32_t n = VertexCount(link);
  if (first < 0 || last >= n || first > last)
    throw EOutOfRange("Vertices " + Str(first) + ".." + Str(last) + " outside 0.." + Str(n - 1) + " of link " +
                      Str(link));
  const int64_t base = At<int32_t>(fiCoord3i, link - 1);
  for (int32_t v = first; v <= last; ++v) {
    if (v == 0) {
      out.push_back(NodePoint(FromNode(link)));
    } else if (v == n - 1) {
      out.push_back(NodePoint(ToNode(link)));
    } else {
      const int64_t i = base + int64_t(v) - 1;
      out.push_back({At<double>(fiCoord3, 2 * i), At<double>(fiCoord3, 2 * i + 1)});
    }
  }
}

TFloatPoint TLazyNetwork::Vertex(int32_t link, int32_t v) const {
  const int32_t n = VertexCount(link);
  if (v < 0 || v >= n) throw EOutOfRange("Vertex " + Str(v) + " outside 0.." + Str(n - 1) + " of link " + Str(link));
  if (v == 0) return NodePoint(FromNode(link));
  if (v == n - 1) return NodePoint(ToNode(link));
  const int64_t i = At<int32_t>(fiCoord3i, link - 1) + int64_t(v) - 1;
  return {At<double>(fiCoord3, 2 * i), At<double>(fiCoord3, 2 * i + 1)};
}

void TLazyNetwork::ReadGISSection(int32_t link, TFloatPointArrayEx& List) const {
  const int32_t n = VertexCount(link);
  if (static_cast<int32_t>(List.Pnt.size()) < n) List.Pnt.resize(static_cast<size_t>(n));
  List.Count = n;
  int32_t f, t;
  EndNodes(link, f, t);
  if (f == 0) Corrupt("link.bin", "placeholder link " + Str(link) + " has a shape");
  List.Pnt[0] = NodePoint(f);
  const int64_t first = At<int32_t>(fiCoord3i, link - 1);
  for (int32_t v = 1; v + 1 < n; ++v)
    List.Pnt[static_cast<size_t>(v)] = {At<double>(fiCoord3, 2 * (first + v - 1)),
                                        At<double>(fiCoord3, 2 * (first + v - 1) + 1)};
  List.Pnt[static_cast<size_t>(n) - 1] = NodePoint(t);
}

float TLazyNetwork::LengthAlpha() {
  if (FLengthAlpha >= 0) return FLengthAlpha;
  // In practice the first straight link ends the scan.
  float alpha = 0;
  for (int32_t l = 1; l <= FLinkCount; ++l) {
    const float len = Length(l);
    if (len == 0) continue;
    int32_t f, t;
    EndNodes(l, f, t);
    const float r = static_cast<float>(NodeDistance(f, t) / len);
    if (r > alpha) alpha = r;
    if (alpha > 0.999f) {
      alpha = 1;
      break;
    }
  }
  FLengthAlpha = alpha;
  return alpha;
}

std::string TLazyNetwork::RoadName(int32_t FileNumber, int32_t link) {
  CheckLink(link);
  if (FileNumber < 1 || FileNumber > 99)
    throw EOutOfRange("RoadFileID should be from 1 to 99, not " + Str(FileNumber));
  std::unique_ptr<TRoadNames>& r = FRoadNames[FileNumber];
  if (!r) {
    auto names = std::make_unique<TRoadNames>();
    const std::string numberFile = fDirectory + TRoadNameFile::NumberFileName(FileNumber);
    const std::string nameFile = fDirectory + TRoadNameFile::NameFileName(FileNumber);
    if (!std::filesystem::exists(numberFile)) throw EFileMissing(numberFile + " does not exist");
    if (!std::filesystem::exists(nameFile)) throw EFileMissing(nameFile + " does not exist");
    names->numbers = std::make_unique<TBlockFile>(numberFile, FArena);
    if (names->numbers->Size() != int64_t(FLinkCount) * 4)
      throw EInvalidParameter("LinkCount parameter value and links in the roadname file is different");
    names->names = std::make_unique<TBlockFile>(nameFile, FArena);
    // The record width follows from the largest id, as TRoadNameFile reads
    // it. Read through in large pieces, not kept: a route looks up only a
    // few of the numbers after this.
    // The piece comes from the blocks' memory, whose pages are there
    // already: a fresh one would cost a page fault per 4 KiB.
    {
      constexpr int64_t Piece = int64_t(64) << 10;
      if (!FNumberBuffer) FNumberBuffer = FArena->Take(static_cast<size_t>(Piece));
      int32_t maxId = 0;
      for (int64_t i = 0; i < FLinkCount;) {
        const int64_t n = std::min<int64_t>(FLinkCount - i, Piece / 4);
        names->numbers->ReadThrough(4 * i, 4 * n, FNumberBuffer);
        for (int64_t k = 0; k < n; ++k) maxId = std::max(maxId, Raw<int32_t>(FNumberBuffer + 4 * k));
        i += n;
      }
      names->maxId = maxId;
    }
    names->width = names->maxId > 0 ? names->names->Size() / names->maxId : 0;
    r = std::move(names);
  }
  const int32_t id = Raw<int32_t>(r->numbers->At(4 * int64_t(link - 1)));
  if (id < 1 || id > r->maxId || r->width <= 0) return std::string();
  std::string rec(static_cast<size_t>(r->width), '\0');
  r->names->Read((id - 1) * r->width, r->width, reinterpret_cast<uint8_t*>(rec.data()));
  // Way ids and most names are ASCII: decoded without the code-page machinery.
  std::string text;
  bool ascii = r->width % 2 == 0;
  for (size_t i = 0; ascii && i + 1 < rec.size(); i += 2) {
    const unsigned lo = static_cast<unsigned char>(rec[i]), hi = static_cast<unsigned char>(rec[i + 1]);
    if (hi != 0 || lo >= 128)
      ascii = false;
    else
      text.push_back(static_cast<char>(lo));
  }
  if (!ascii) text = CodePageToUtf8(rec, 1200);
  return TrimName(std::move(text));
}

// ------------------------------------------------------------ spatial index

namespace {

inline bool Meets(const TFloatRect& a, const TFloatRect& b) {
  return a.xmin <= b.xmax && b.xmin <= a.xmax && a.ymin <= b.ymax && b.ymin <= a.ymax;
}

// Quadrant k (1 upper right, 2 upper left, 3 lower left, 4 lower right) of
// r, a little larger than the builder's, so that a child never lies outside
// it by rounding.
TFloatRect Quadrant(const TFloatRect& r, int k) {
  const double cx = (r.xmin + r.xmax) / 2, cy = (r.ymin + r.ymax) / 2;
  const double e = 1e-9 * ((r.xmax - r.xmin) + (r.ymax - r.ymin));
  const bool right = k == 1 || k == 4, upper = k == 1 || k == 2;
  return {right ? cx - e : r.xmin - e, upper ? cy - e : r.ymin - e, right ? r.xmax + e : cx + e,
          upper ? r.ymax + e : cy + e};
}

}  // namespace

// A subtree smaller than a 64th of the file (or than 512 bytes) is read
// again rather than remembered: subtrees of one depth do not overlap, so
// each depth adds at most 64 entries to the table, whatever the file's
// size. A finer table costs a process that routes once more page faults
// for its memory than later scans would save.
constexpr int64_t RememberedSubtreeParts = 64;
// A network that keeps what it read scans many times: it remembers smaller
// subtrees too, still a bounded number of them.
constexpr int64_t RememberedSubtreePartsKept = 4096;
constexpr int64_t RememberedSubtreeMinBytes = 512;

void TLazyNetwork::ScanLeaves(const TFloatRect* areas, size_t areaCount, const TLeafEvent& Leaf) const {
  if (!fIsOpen) throw ENetworkIsClosed("Network is not open");
  if (areaCount == 0) throw EInvalidParameter("A scan of the spatial index needs an area");
  auto meets = [&](const TFloatRect& r) {
    for (size_t i = 0; i < areaCount; ++i)
      if (Meets(r, areas[i])) return true;
    return false;
  };
  if (!FScan) {
    auto scan = std::make_unique<TScanState>();
    scan->file = FIndexFile;
    scan->cap = TBlockFile::BlockSize * 4;
    scan->buf = FArena->Take(static_cast<size_t>(scan->cap));
    FScan = std::move(scan);
  }
  TScanState& S = *FScan;
  TBlockFile& f = *S.file;
  const int64_t size = f.Size();
  const int64_t remember =
      std::max(size / (FKeepSpatialIndex ? RememberedSubtreePartsKept : RememberedSubtreeParts), RememberedSubtreeMinBytes);
  int64_t pos = 0;  // file offset of the next unread byte
  int64_t piece = S.cap;  // bytes of the last read
  auto fail = [&](const std::string& what) { Corrupt(SpatialIndexFileName, what); };
  // Makes bytes pos .. pos+n-1 available; a pointer to them.
  auto need = [&](int64_t n) -> const uint8_t* {
    if (pos + n > size) fail("ends at byte " + Str(size) + " inside cell data");
    if (FKeepSpatialIndex) {
      const uint8_t* p;
      if ((pos >> TBlockFile::BlockShift) == ((pos + n - 1) >> TBlockFile::BlockShift)) {
        p = f.At(pos);
      } else {
        if (n > S.cap) {
          S.cap = n;
          S.buf = FArena->Take(static_cast<size_t>(S.cap));
        }
        f.Read(pos, n, S.buf);
        p = S.buf;
      }
      pos += n;
      return p;
    }
    if (pos < S.bufPos || pos + n > S.bufPos + S.bufLen) {
      if (n > S.cap) {
        // A leaf of up to 65535 entries: half a megabyte.
        S.cap = n;
        S.buf = FArena->Take(static_cast<size_t>(S.cap));
      }
      // A piece that follows the last grows; after a step over a subtree
      // the next may well be stepped over too.
      piece = pos >= S.bufPos && pos <= S.bufPos + S.bufLen ? std::min(S.cap, 2 * piece) : TBlockFile::BlockSize / 4;
      S.bufLen = 0;  // nothing valid should the read fail
      const int64_t want = std::min(std::max(piece, n), size - pos);
      f.ReadThrough(pos, want, S.buf);
      S.bufPos = pos;
      S.bufLen = want;
    }
    const uint8_t* p = S.buf + (pos - S.bufPos);
    pos += n;
    return p;
  };
  const int32_t cells = Raw<int32_t>(need(4));
  if (cells < 1) fail("cell count " + Str(cells));
  // The divided cells on the path from the root, each with the number of its
  // next child to read (5: all read), where it starts, the cells read so far
  // in its subtree and their leaves' bounds.
  struct TLevel {
    TFloatRect rect;
    int next;
    int64_t start;
    int32_t readBefore;  // cells read before its header
    TFloatRect bounds;
    bool any;  // bounds holds a leaf
  };
  std::vector<TLevel> path;
  auto widen = [](TLevel& l, const TFloatRect& r) {
    if (!l.any) {
      l.bounds = r;
      l.any = true;
      return;
    }
    l.bounds.xmin = std::min(l.bounds.xmin, r.xmin);
    l.bounds.ymin = std::min(l.bounds.ymin, r.ymin);
    l.bounds.xmax = std::max(l.bounds.xmax, r.xmax);
    l.bounds.ymax = std::max(l.bounds.ymax, r.ymax);
  };
  // Whether a child not yet read may still meet an area.
  auto more = [&] {
    for (const TLevel& l : path)
      for (int k = l.next; k <= 4; ++k)
        if (meets(Quadrant(l.rect, k))) return true;
    return false;
  };
  int32_t read = 0;
  do {
    const int64_t start = pos;
    if (++read > cells) fail("holds more than the " + Str(cells) + " cells it counts");
    const uint8_t* h = need(37);
    const TFloatRect rect{Raw<double>(h), Raw<double>(h + 8), Raw<double>(h + 16), Raw<double>(h + 24)};
    const uint8_t divided = h[36];
    if (divided > 1) fail("cell " + Str(Raw<int32_t>(h + 32)) + " has divided flag " + Str(divided));
    if (!path.empty()) ++path.back().next;
    if (divided) {
      const auto known = S.subtrees.empty() ? S.subtrees.end() : S.subtrees.find(start);
      if (known == S.subtrees.end() || meets(known->second.bounds)) {
        path.push_back({rect, 1, start, read - 1, rect, false});
        continue;
      }
      // Read through before and whole: no leaf of it meets an area.
      const TScanState::TSubtree& t = known->second;
      if (t.cells - 1 > cells - read) fail("holds more than the " + Str(cells) + " cells it counts");
      read += t.cells - 1;
      pos = t.end;
      if (!path.empty()) widen(path.back(), t.bounds);
    } else {
      const int32_t count = Raw<uint16_t>(need(2));
      const uint8_t* entries = need(int64_t(8) * count);
      if (meets(rect)) Leaf(rect, entries, count);
      if (!path.empty()) widen(path.back(), rect);
    }
    while (!path.empty() && path.back().next > 4) {
      const TLevel done = path.back();
      path.pop_back();
      if (!path.empty()) widen(path.back(), done.bounds);
      if (pos - done.start >= remember)
        S.subtrees.emplace(done.start, TScanState::TSubtree{pos, read - done.readBefore, done.bounds});
    }
    if (!path.empty() && !more()) return;
  } while (!path.empty());
  if (read != cells) fail("counts " + Str(cells) + " cells but its tree has " + Str(read));
  if (pos != size) fail("holds " + Str(size - pos) + " bytes after its tree");
}
