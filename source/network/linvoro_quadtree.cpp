#include "linvoro_quadtree.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include "linvoro_configfile.h"

static_assert(std::endian::native == std::endian::little,
              "the network files are read in bulk as little-endian records");
static_assert(sizeof(TFloatPoint) == 16);

namespace {

// Cells of a file written by Build lie at most 16 levels below the root; a
// deeper nesting can only come from a damaged file and must not exhaust the
// stack.
constexpr int MaxLoadDepth = 64;

[[noreturn]] void NetworkMismatch(const std::string& what) {
  throw Exception("The network files do not match each other (" + what + ")");
}

[[noreturn]] void CorruptIndex() { throw Exception("The spatial index file is corrupt"); }

void ReadChecked(TLvStream& s, void* buffer, int64_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const int32_t chunk = count > (1 << 30) ? (1 << 30) : static_cast<int32_t>(count);
    const int32_t n = s.Read(p, chunk);
    if (n <= 0) CorruptIndex();
    p += n;
    count -= n;
  }
}

template <typename T>
T ReadValue(TLvStream& s) {
  T v;
  ReadChecked(s, &v, sizeof(T));
  return v;
}

}  // namespace

// ------------------------------------------------------------ TQuadTreeCell

std::unique_ptr<TQuadTreeCell> TQuadTreeCell::Clone() const {
  auto c = std::make_unique<TQuadTreeCell>();
  c->Divided = Divided;
  c->ID = ID;
  c->Rect = Rect;
  nodes.Clone(c->nodes);
  SLL.Clone(c->SLL);
  for (int k = 0; k < 4; ++k)
    if (QTCellArray[k]) c->QTCellArray[k] = QTCellArray[k]->Clone();
  return c;
}

// ------------------------------------------------------------ TQuadTreeSetup

bool TQuadTreeSetup::Touches(const TSegment& g, const TFloatRect& r) {
  const double P1x = g.P1x, P1y = g.P1y, P2x = g.P2x, P2y = g.P2y;
  if ((P1x >= r.xmin && P1x <= r.xmax && P1y >= r.ymin && P1y <= r.ymax) ||
      (P2x >= r.xmin && P2x <= r.xmax && P2y >= r.ymin && P2y <= r.ymax))
    return true;
  if ((P1x < r.xmin && P2x < r.xmin) || (P1y < r.ymin && P2y < r.ymin) ||
      (P1x > r.xmax && P2x > r.xmax) || (P1y > r.ymax && P2y > r.ymax))
    return false;
  // The segment's box overlaps the rectangle: it touches exactly when its
  // line separates two corners.
  const bool s1 = g.c1 * r.xmin + g.c2 * r.ymin + g.c3 > 0;
  const bool s2 = g.c1 * r.xmin + g.c2 * r.ymax + g.c3 > 0;
  const bool s3 = g.c1 * r.xmax + g.c2 * r.ymin + g.c3 > 0;
  const bool s4 = g.c1 * r.xmax + g.c2 * r.ymax + g.c3 > 0;
  return !(s1 == s2 && s2 == s3 && s3 == s4);
}

void TQuadTreeSetup::Split(TQuadTreeCell* cell, int depth, const std::vector<TFloatPoint>& pts) {
  if (FCancelled) return;
  cell->ID = ++fCellCount;
  if (cell->nodes.Count() <= fMaxNodesPerCell || depth > 15) return;
  cell->Divided = true;
  const TFloatRect& r = cell->Rect;
  const double mx = r.xmin + (r.xmax - r.xmin) * 0.5;
  const double my = r.ymin + (r.ymax - r.ymin) * 0.5;
  const TFloatRect rects[4] = {{mx, my, r.xmax, r.ymax},
                               {r.xmin, my, mx, r.ymax},
                               {r.xmin, r.ymin, mx, my},
                               {mx, r.ymin, r.xmax, my}};
  TQuadTreeCell* child[4];
  for (int k = 0; k < 4; ++k) {
    cell->QTCellArray[k] = std::make_unique<TQuadTreeCell>();
    cell->QTCellArray[k]->Rect = rects[k];
    child[k] = cell->QTCellArray[k].get();
  }
  for (const int32_t id : cell->nodes) {
    const TFloatPoint& p = pts[static_cast<size_t>(id)];
    int k;
    if (p.x >= mx && p.y >= my)
      k = 0;
    else if (p.x < mx && p.y >= my)
      k = 1;
    else if (p.x < mx && p.y < my)
      k = 2;
    else
      k = 3;
    child[k]->nodes.Add(id);
  }
  cell->nodes.Clear();
  for (int k = 0; k < 4; ++k) Split(child[k], depth + 1, pts);
}

void TQuadTreeSetup::AddSegment(TQuadTreeCell* cell, const TSegment& g, int32_t link, uint16_t pos,
                                TSubLinkList* runs) {
  if (!Touches(g, cell->Rect)) return;
  const double P1x = g.P1x, P1y = g.P1y, P2x = g.P2x, P2y = g.P2y;
  while (cell->Divided) {
    // Ends strictly on one side of both centre lines: the three other
    // children lie beyond one of their own bounds from both ends, so the
    // test would turn them down anyway. Most segments are short and take
    // this path at every level.
    const double mx = cell->QTCellArray[0]->Rect.xmin, my = cell->QTCellArray[0]->Rect.ymin;
    int k = -1;
    if (P1x > mx && P2x > mx) {
      if (P1y > my && P2y > my)
        k = 0;
      else if (P1y < my && P2y < my)
        k = 3;
    } else if (P1x < mx && P2x < mx) {
      if (P1y > my && P2y > my)
        k = 1;
      else if (P1y < my && P2y < my)
        k = 2;
    }
    if (k < 0) {
      for (int c = 0; c < 4; ++c) AddSegment(cell->QTCellArray[c].get(), g, link, pos, runs);
      return;
    }
    cell = cell->QTCellArray[k].get();
    if (!Touches(g, cell->Rect)) return;
  }
  TSubLinkList& sll = runs ? runs[cell->ID] : cell->SLL;
  if (sll.Count() > 0) {
    const TSubLink& last = sll[sll.Count() - 1];
    if (last.Link == link && last.sub2 == pos) {
      sll.incsub2();
      return;
    }
  }
  sll.Add(TSubLink{link, pos, static_cast<uint16_t>(pos + 1)});
}

void TQuadTreeSetup::WriteCell(TLvStream& s, const TQuadTreeCell* cell) {
  s.WriteDouble(cell->Rect.xmin);
  s.WriteDouble(cell->Rect.ymin);
  s.WriteDouble(cell->Rect.xmax);
  s.WriteDouble(cell->Rect.ymax);
  s.WriteInt32(cell->ID);
  s.WriteByte(cell->Divided ? 1 : 0);
  if (cell->Divided) {
    for (int k = 0; k < 4; ++k) WriteCell(s, cell->QTCellArray[k].get());
    return;
  }
  s.WriteUInt16(static_cast<uint16_t>(cell->nodes.Count() + cell->SLL.Count()));
  for (const int32_t id : cell->nodes) {
    s.WriteInt32(id);
    s.WriteUInt16(0);
    s.WriteUInt16(0);
  }
  for (const TSubLink& sl : cell->SLL) {
    s.WriteInt32(sl.Link);
    s.WriteUInt16(sl.sub1);
    s.WriteUInt16(sl.sub2);
  }
}

namespace {

// Leaves whose entry count does not fit the 16-bit field of the file.
const TQuadTreeCell* OverfullLeaf(const TQuadTreeCell* cell) {
  if (cell->Divided) {
    for (int k = 0; k < 4; ++k)
      if (const TQuadTreeCell* c = OverfullLeaf(cell->QTCellArray[k].get())) return c;
    return nullptr;
  }
  return int64_t(cell->nodes.Count()) + cell->SLL.Count() > 65535 ? cell : nullptr;
}

std::unique_ptr<TLvBufferedStream> OpenForReading(const std::string& path) {
  return std::make_unique<TLvBufferedStream>(new TLvFileStream(path, fmOpenRead | fmShareDenyWrite),
                                             true);
}

}  // namespace

// The segments of links First..Last into the leaves (runs as AddSegment
// takes them); going(links done) is asked now and then whether to go on.
template <class TGoing>
void TQuadTreeSetup::AddLinks(const TLinkRange& range, TSubLinkList* runs, TGoing&& going) const {
  if (range.First > range.Last) return;
  const std::string& dir = Directory();
  const int64_t skip = range.First - 1;
  auto lengthFile = OpenForReading(dir + "length.bin");
  auto linkFile = OpenForReading(dir + "link.bin");
  auto c3File = OpenForReading(dir + "coord3.bin");
  auto c3iFile = OpenForReading(dir + "coord3i.bin");
  lengthFile->Seek(skip * 4, soBeginning);
  linkFile->Seek(skip * 8, soBeginning);
  c3iFile->Seek(skip * 4, soBeginning);
  const std::vector<TFloatPoint>& pts = *range.Points;
  const uint32_t nodeCount = static_cast<uint32_t>(range.NodeCount);
  std::vector<TFloatPoint> verts;
  int32_t prev = c3iFile->ReadInt32();
  // Where the earlier links would have checked it.
  if (skip > 0 && (prev < 0 || prev > range.ShapeCount)) NetworkMismatch("coord3i.bin");
  c3File->Seek(int64_t(prev) * 16, soBeginning);
  // About a thousand progress calls in all still reach every percent.
  const int64_t stride = range.Last / 1000 + 1;
  TSegment g;
  for (int64_t l = range.First; l <= range.Last; ++l) {
    if ((l % stride == 0 || l == range.Last) && !going(l - skip)) return;
    const float length = lengthFile->ReadSingle();
    const int32_t next = c3iFile->ReadInt32();
    const uint32_t from = linkFile->ReadUInt32();
    const uint32_t to = linkFile->ReadUInt32();
    if (next < prev || next > range.ShapeCount) NetworkMismatch("coord3i.bin");
    const size_t nShape = static_cast<size_t>(next - prev);
    prev = next;
    if (verts.size() < nShape + 2) verts.resize(nShape + 2);
    if (nShape > 0) c3File->ReadBuffer(verts.data() + 1, static_cast<int64_t>(nShape) * 16);
    if (length == 0) continue;
    if (from < 1 || from > nodeCount || to < 1 || to > nodeCount) NetworkMismatch("link.bin");
    // Run ends are 16-bit vertex positions.
    if (nShape + 2 > 65536) NetworkMismatch("coord3.bin");
    verts[0] = pts[from];
    verts[nShape + 1] = pts[to];
    const size_t last = nShape + 1;
    for (size_t pos = 0; pos < last; ++pos) {
      g.P1x = verts[pos].x;
      g.P1y = verts[pos].y;
      g.P2x = verts[pos + 1].x;
      g.P2y = verts[pos + 1].y;
      g.c1 = g.P1y - g.P2y;
      g.c2 = g.P2x - g.P1x;
      g.c3 = g.P1x * g.P2y - g.P2x * g.P1y;
      AddSegment(fMainCell.get(), g, static_cast<int32_t>(l), static_cast<uint16_t>(pos), runs);
    }
  }
}

void TQuadTreeSetup::AppendRuns(TQuadTreeCell* cell, const std::vector<TSubLinkList>& runs) {
  if (cell->Divided) {
    for (int k = 0; k < 4; ++k) AppendRuns(cell->QTCellArray[k].get(), runs);
    return;
  }
  for (const TSubLink& r : runs[static_cast<size_t>(cell->ID)]) cell->SLL.Add(r);
}

void TQuadTreeSetup::Build(TLvStream* aFS) {
  FCancelled = false;
  fCellCount = 0;
  fMainCell.reset();
  const std::string& dir = Directory();

  // Node coordinates by id; index 0 is unused.
  std::vector<TFloatPoint> pts;
  int32_t nodeCount;
  {
    auto f = OpenForReading(dir + "coord.bin");
    const int64_t n = f->Size() / 16;
    if (n > INT32_MAX - 1) NetworkMismatch("coord.bin");
    nodeCount = static_cast<int32_t>(n);
    pts.resize(static_cast<size_t>(n) + 1);
    f->ReadBuffer(pts.data() + 1, n * 16);
  }

  fMainCell = std::make_unique<TQuadTreeCell>();
  fMainCell->Rect = ReadConfigFile(dir + ConfigFileName).Mbr;
  fMainCell->nodes.SetCapacity(nodeCount);
  for (int32_t id = 1; id <= nodeCount; ++id) fMainCell->nodes.Add(id);
  Split(fMainCell.get(), 0, pts);
  if (FCancelled) return;

  int64_t linkCount, shapeCount;
  {
    auto c3File = OpenForReading(dir + "coord3.bin");
    auto c3iFile = OpenForReading(dir + "coord3i.bin");
    linkCount = c3iFile->Size() / 4 - 1;
    shapeCount = c3File->Size() / 16;
  }
  if (linkCount > 0) {
    if (OpenForReading(dir + "length.bin")->Size() < linkCount * 4) NetworkMismatch("length.bin");
    if (OpenForReading(dir + "link.bin")->Size() < linkCount * 8) NetworkMismatch("link.bin");
  }
  SetProgressMaxValue(static_cast<double>(linkCount > 0 ? linkCount : 0));
  TLinkRange all{1, linkCount, shapeCount, nodeCount, &pts};

  // The later links on a thread of their own, into lists of their own:
  // their runs follow those of the earlier links in every leaf, as they
  // would had one thread added them all, and never continue one (a run
  // continues only its own link's).
  const int64_t half = linkCount >= kLinksForTwoThreads && fThreads > 1 ? linkCount / 2 : linkCount;
  std::vector<TSubLinkList> laterRuns;
  std::exception_ptr laterError;
  std::atomic<int64_t> laterDone{0};
  std::atomic<bool> stop{false}, laterEnded{false};
  std::thread later;
  if (half < linkCount) {
    laterRuns.resize(static_cast<size_t>(fCellCount) + 1);
    later = std::thread([&] {
      try {
        TLinkRange r = all;
        r.First = half + 1;
        AddLinks(r, laterRuns.data(), [&](int64_t done) {
          laterDone.store(done, std::memory_order_relaxed);
          return !stop.load(std::memory_order_relaxed);
        });
      } catch (...) {
        laterError = std::current_exception();
      }
      laterEnded = true;
    });
  }
  std::exception_ptr error;
  try {
    TLinkRange r = all;
    r.Last = half;
    AddLinks(r, nullptr, [&](int64_t done) {
      ProgressExecute(static_cast<double>(done + laterDone.load(std::memory_order_relaxed)));
      return !FCancelled;
    });
  } catch (...) {
    error = std::current_exception();
  }
  if (later.joinable()) {
    // The progress, and with it a stop, goes on while the later links are
    // still being placed.
    while (!error && !FCancelled && !laterEnded) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ProgressExecute(static_cast<double>(half + laterDone.load(std::memory_order_relaxed)));
    }
    if (error || FCancelled) stop = true;
    later.join();
    // An error among the earlier links is the one met first.
    if (!error) error = laterError;
  }
  if (error) std::rethrow_exception(error);
  if (FCancelled) return;
  if (!laterRuns.empty()) {
    ProgressExecute(static_cast<double>(linkCount));
    if (FCancelled) return;
    AppendRuns(fMainCell.get(), laterRuns);
  }

  if (const TQuadTreeCell* c = OverfullLeaf(fMainCell.get()))
    throw EOutOfRange("Spatial index cell " + std::to_string(c->ID) +
                      " would hold more than 65535 entries");

  std::unique_ptr<TLvBufferedStream> own;
  TLvStream* out = aFS;
  if (!out) {
    own = std::make_unique<TLvBufferedStream>(
        new TLvFileStream(dir + SpatialIndexFileName, fmCreate), true);
    out = own.get();
  }
  out->WriteInt32(fCellCount);
  WriteCell(*out, fMainCell.get());
  if (own) own->Flush();
}

// ------------------------------------------------------------ TQuadTree

void TQuadTree::Load() {
  auto s = OpenForReading(Directory() + SpatialIndexFileName);
  LoadFromStream(*s);
}

void TQuadTree::LoadFromStream(TLvStream& FS) {
  FCancelled = false;
  fMainCell.reset();
  fCellCount = 0;
  fCellsRead = 0;
  const int64_t size = FS.Size();
  SetProgressMaxValue(static_cast<double>(size > 0 ? size : 1));
  const int32_t count = ReadValue<int32_t>(FS);
  if (count < 1) CorruptIndex();
  std::unique_ptr<TQuadTreeCell> root = ReadCell(FS, 0, size);
  fEntryBuffer = std::vector<uint8_t>();
  if (FCancelled || !root) return;
  if (fCellsRead != count) CorruptIndex();
  fMainCell = std::move(root);
  fCellCount = count;
}

std::unique_ptr<TQuadTreeCell> TQuadTree::ReadCell(TLvStream& s, int depth, int64_t size) {
  if (depth > MaxLoadDepth) CorruptIndex();
  ProgressExecute(static_cast<double>(s.Position()));
  if (FCancelled) return nullptr;
  auto cell = std::make_unique<TQuadTreeCell>();
  double r[4];
  ReadChecked(s, r, sizeof r);
  cell->Rect = {r[0], r[1], r[2], r[3]};
  cell->ID = ReadValue<int32_t>(s);
  const uint8_t divided = ReadValue<uint8_t>(s);
  if (divided > 1) CorruptIndex();
  ++fCellsRead;
  cell->Divided = divided == 1;
  if (cell->Divided) {
    for (int k = 0; k < 4; ++k) {
      cell->QTCellArray[k] = ReadCell(s, depth + 1, size);
      if (!cell->QTCellArray[k]) return nullptr;
    }
    return cell;
  }
  const uint16_t n = ReadValue<uint16_t>(s);
  fEntryBuffer.resize(size_t(n) * 8);
  ReadChecked(s, fEntryBuffer.data(), int64_t(n) * 8);
  const uint8_t* p = fEntryBuffer.data();
  for (uint16_t i = 0; i < n; ++i, p += 8) {
    TSubLink e;
    std::memcpy(&e.Link, p, 4);
    std::memcpy(&e.sub1, p + 4, 2);
    std::memcpy(&e.sub2, p + 6, 2);
    if (e.sub2 == 0)
      cell->nodes.Add(e.Link);
    else
      cell->SLL.Add(e);
  }
  return cell;
}

std::unique_ptr<TQuadTree> TQuadTree::Clone() const {
  auto t = std::make_unique<TQuadTree>();
  t->SetDirectory(Directory());
  t->SetProgressStart(ProgressStart());
  t->SetProgressStop(ProgressStop());
  t->fCellCount = fCellCount;
  if (fMainCell) t->fMainCell = fMainCell->Clone();
  return t;
}
