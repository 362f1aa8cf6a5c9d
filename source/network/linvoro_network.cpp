#include "linvoro_network.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "linvoro_functions.h"
#include "linvoro_platform.h"

namespace {

// Records read per progress step while loading the flat arrays.
constexpr int64_t LoadChunk = 65536;

// A file of the folder, or the pre-opened source when one is set; the
// stream is positioned at 0.
class TSource {
 public:
  TSource(TLvStream* given, const std::string& path) {
    if (given) {
      FStream = given;
    } else {
      FFile = std::make_unique<TLvFileStream>(path, fmOpenRead | fmShareDenyWrite);
      FBuffered = std::make_unique<TLvBufferedStream>(FFile.get(), false);
      FStream = FBuffered.get();
    }
    FSize = FStream->Size();
    FStream->SetPosition(0);
  }
  TLvStream& operator*() const { return *FStream; }
  TLvStream* operator->() const { return FStream; }
  int64_t Size() const { return FSize; }

 private:
  std::unique_ptr<TLvFileStream> FFile;
  std::unique_ptr<TLvBufferedStream> FBuffered;
  TLvStream* FStream = nullptr;
  int64_t FSize = 0;
};

[[noreturn]] void Corrupt(const char* file, const std::string& what) {
  throw Exception(std::string(file) + " is corrupt: " + what);
}

std::string Str(int64_t v) { return std::to_string(v); }

// Reads count records of two TFile values into a[1..count] and b[1..count],
// a chunk at a time, calling done(records read so far) after each chunk.
template <class TFile, class TOut, class TDone>
void ReadPairs(TLvStream& s, int64_t count, std::vector<TOut>& a, std::vector<TOut>& b, TDone&& done) {
  std::vector<TFile> buf;
  for (int64_t i = 0; i < count; i += LoadChunk) {
    const int64_t n = std::min(LoadChunk, count - i);
    buf.resize(static_cast<size_t>(n) * 2);
    s.ReadBuffer(buf.data(), n * 2 * int64_t(sizeof(TFile)));
    for (int64_t j = 0; j < n; ++j) {
      a[i + j + 1] = static_cast<TOut>(buf[2 * j]);
      b[i + j + 1] = static_cast<TOut>(buf[2 * j + 1]);
    }
    done(i + n);
  }
}

}  // namespace

// ------------------------------------------------------------ lifecycle

TNetwork::TNetwork() : FGISarray(std::make_unique<TGISArray>()) {
  const int cp = SystemAnsiCodePage();
  FCodepage = cp > 0 && cp <= 65535 ? static_cast<uint16_t>(cp) : 1252;
}

TNetwork::~TNetwork() {
  try {
    Close();
  } catch (...) {
    // Releasing memory and streams does not fail in practice; a destructor
    // must not throw regardless.
  }
}

void TNetwork::SetCoordinateWindow(double v) {
  FCoordinateWindow = v;
  FmbrX = ExpandRectPercent(Fmbr, v);
}

std::string TNetwork::RequireFile(const char* name) const {
  std::string path = fDirectory + name;
  if (!std::filesystem::is_regular_file(path)) throw EFileMissing("File is missing: " + FullPath(path));
  return path;
}

void TNetwork::ReleaseArrays() {
  Fattribute = {};
  a = {};
  FLength = {};
  FNodearray = {};
  FDegree = {};
  Fromnode = {};
  tonode = {};
  FX = {};
  FY = {};
  FCDS.SetSize(0);
  FQuadtree.reset();
  FexternalID.reset();
  FCoord3file.Close();
  for (auto& r : FRoadNameFiles)
    if (r) {
      r->Close();
      r.reset();
    }
  FLinkCount = 0;
  FNodeCount = 0;
  Fmaxdegree = 0;
  FLengthAlpha = 0;
  fLoopLinks = false;
}

void TNetwork::Open(bool attributes, bool Coord3Cache, bool spatialindex, int32_t externalid) {
  if (fIsOpen) Close();
  try {
    // 1. Configuration.
    TConfig config;
    if (fOnConfig) {
      fOnConfig(config, this);
    } else {
      config = ReadConfigFile(RequireFile(ConfigFileName));
    }
    if (config.VersionCode != NetworkVersion)
      throw EWrongVersion("This network is not compatible with the software");
    if (config.LinkCount < 0)
      throw Exception(std::string(ConfigFileName) + " holds a negative link count");
    Fepsg = config.Epsg;
    Fprj = config.Prj;
    Fcoordsys = config.CoordSys;
    FCoordinateUnit = config.Cu;
    FLinkCount = config.LinkCount;
    Fmbr = config.Mbr;
    FDistfactor = ::DistFactor(FCoordinateUnit);
    // 2. Search window.
    FmbrX = ExpandRectPercent(Fmbr, FCoordinateWindow);

    const int64_t links = FLinkCount;
    auto progress = [this](int64_t done) {
      if (EventAssigned()) ProgressExecute(static_cast<double>(done));
    };
    // 3. length.bin
    {
      TSource s(fLengthStream, fLengthStream ? "" : RequireFile("length.bin"));
      if (s.Size() != links * 4)
        Corrupt("length.bin", "size " + Str(s.Size()) + ", expected " + Str(links * 4));
      FLength.assign(static_cast<size_t>(links) + 1, 0.0f);
      SetProgressStart(0);
      SetProgressStop(8);
      SetProgressMaxValue(static_cast<double>(links));
      for (int64_t i = 0; i < links; i += LoadChunk) {
        const int64_t n = std::min(LoadChunk, links - i);
        s->ReadBuffer(&FLength[i + 1], n * 4);
        progress(i + n);
      }
      for (int64_t l = 1; l <= links; ++l)
        if (!(FLength[l] >= 0) || std::isinf(FLength[l]))
          Corrupt("length.bin", "invalid length at link " + Str(l));
    }
    // 4. link.bin
    {
      TSource s(fLinkStream, fLinkStream ? "" : RequireFile("link.bin"));
      if (s.Size() != links * 8)
        Corrupt("link.bin", "size " + Str(s.Size()) + ", expected " + Str(links * 8));
      Fromnode.assign(static_cast<size_t>(links) + 1, 0);
      tonode.assign(static_cast<size_t>(links) + 1, 0);
      SetProgressStart(8);
      SetProgressStop(21);
      // Ids above the signed range cannot be valid; they fail the range
      // test below as negative values.
      ReadPairs<uint32_t>(*s, links, Fromnode, tonode, progress);
    }
    // 5. coord.bin
    {
      TSource s(fCoordStream, fCoordStream ? "" : RequireFile("coord.bin"));
      if (s.Size() % 16 != 0 || s.Size() / 16 >= INT32_MAX)
        Corrupt("coord.bin", "size " + Str(s.Size()) + " is not a whole number of nodes");
      FNodeCount = static_cast<int32_t>(s.Size() / 16);
      const int64_t nodes = FNodeCount;
      FX.assign(static_cast<size_t>(nodes) + 1, 0.0);
      FY.assign(static_cast<size_t>(nodes) + 1, 0.0);
      SetProgressStart(21);
      SetProgressStop(47);
      SetProgressMaxValue(static_cast<double>(nodes));
      ReadPairs<double>(*s, nodes, FX, FY, progress);
    }
    // Every link's end nodes must exist, and exactly the placeholders have
    // none; the node lists and every check rely on it.
    for (int64_t l = 1; l <= links; ++l) {
      const int32_t f = Fromnode[l], t = tonode[l];
      if (FLength[l] == 0) {
        if (f != 0 || t != 0)
          Corrupt("link.bin", "placeholder link " + Str(l) + " has end nodes");
      } else if (f < 1 || f > FNodeCount || t < 1 || t > FNodeCount) {
        Corrupt("link.bin", "link " + Str(l) + " has end nodes " + Str(uint32_t(f)) + ", " +
                                Str(uint32_t(t)) + " outside 1.." + Str(FNodeCount));
      }
    }
    // 6. node.bin
    {
      TSource s(fNodeStream, fNodeStream ? "" : RequireFile("node.bin"));
      ReadNodeFile(*s, s.Size());
    }
    // 7. Spatial index.
    if (spatialindex) {
      TSource s(fSpatialIndexStream,
                fSpatialIndexStream ? "" : RequireFile(SpatialIndexFileName));
      FQuadtree = std::make_unique<TQuadTree>();
      FQuadtree->SetDirectory(fDirectory);
      FQuadtree->SetOnProgress(TProgressCancel::OnProgress());
      FQuadtree->SetProgressStart(60);
      FQuadtree->SetProgressStop(100);
      FQuadtree->LoadFromStream(*s);
      if (!FQuadtree->MainCell()) Corrupt(SpatialIndexFileName, "no cells");
    }
    // 8. External ids.
    FexternalID = std::make_unique<TExternalID>();
    FexternalID->SetDirectory(fDirectory);
    if (externalid > 0)
      FexternalID->Open(externalid, FLinkCount, fExternalIDIndex1Stream, fExternalIDIndex2Stream);
    // 9. Link shapes.
    {
      FCoord3file.SetDirectory(fDirectory);
      if (fCoord3Stream && fCoord3iStream) {
        FCoord3file.SetStreams(fCoord3Stream, fCoord3iStream);
      } else {
        FCoord3file.SetStreams(nullptr, nullptr);
        RequireFile(Coord3FileName);
        RequireFile(Coord3IndexFileName);
      }
      FCoord3file.Open(Coord3Cache);
      if (FCoord3file.Count() != FLinkCount)
        Corrupt(Coord3IndexFileName, "holds " + Str(FCoord3file.Count()) + " links, expected " +
                                         Str(FLinkCount));
    }
    if (FQuadtree) CheckSpatialIndex();
    // 10., 11.
    ComputeLengthAlpha();
    ComputeCulDeSac();
    // 12.
    Fattribute.assign(static_cast<size_t>(links) + 1, 0);
    fLoopLinks = false;
    for (int64_t l = 1; l <= links; ++l)
      if (FLength[l] != 0 && Fromnode[l] == tonode[l]) {
        fLoopLinks = true;
        break;
      }
    SetProgressStart(0);
    SetProgressStop(100);
    if (EventAssigned()) ProgressExecuteZero();
    fIsOpen = true;
  } catch (...) {
    ReleaseArrays();
    throw;
  }
  // 13. A failure here leaves an open network without attributes.
  if (attributes) OpenAttributes();
}

void TNetwork::ReadNodeFile(TLvStream& s, int64_t size) {
  const char* file = "node.bin";
  if (size % 4 != 0 || size < 4) Corrupt(file, "size " + Str(size) + " is not a whole number of values");
  const int32_t D = s.ReadInt32();
  if (D < 1 || D > MaxLinksAtNode)
    Corrupt(file, "maximum degree " + Str(D) + " outside 1.." + Str(MaxLinksAtNode));
  if (size < int64_t(4) * (1 + D)) Corrupt(file, "ends inside the degree counts");
  Fmaxdegree = D;
  a.assign(static_cast<size_t>(D) + 2, 0);
  for (int32_t d = D; d >= 1; --d) a[d] = s.ReadInt32();
  a[D + 1] = 0;
  // a must not decrease towards degree 1; together with a[1] = NodeCount
  // this bounds every node index used below.
  for (int32_t d = D; d >= 1; --d)
    if (a[d] < a[d + 1]) Corrupt(file, "degree counts decrease at degree " + Str(d));
  if (a[1] != FNodeCount)
    Corrupt(file, "counts " + Str(a[1]) + " nodes but coord.bin holds " + Str(FNodeCount));
  int64_t entries = 0;
  for (int32_t d = 1; d <= D; ++d) entries += int64_t(d) * (a[d] - a[d + 1]);
  if (size != int64_t(4) * (1 + D + entries))
    Corrupt(file, "size " + Str(size) + ", expected " + Str(int64_t(4) * (1 + D + entries)));

  FNodearray.assign(static_cast<size_t>(D) + 1, {});
  for (int32_t k = 1; k <= D; ++k) FNodearray[k].assign(static_cast<size_t>(a[k]) + 1, 0);
  FDegree.assign(static_cast<size_t>(FNodeCount) + 1, 0);

  // Each link end must be listed once at its node: bit 0 its from end,
  // bit 1 its to end (the two entries of a loop link take one bit each).
  std::vector<uint8_t> seen(static_cast<size_t>(FLinkCount) + 1, 0);
  SetProgressStart(47);
  SetProgressStop(60);
  SetProgressMaxValue(2.0 * FLinkCount);
  std::vector<int32_t> buf;
  int64_t done = 0;
  for (int32_t d = D; d >= 1; --d) {
    const int32_t first = a[d + 1] + 1, last = a[d];
    if (first > last) continue;
    // Read this degree's lists in pieces of whole nodes.
    const int64_t perChunk = std::max<int64_t>(1, LoadChunk / d);
    for (int64_t n0 = first; n0 <= last; n0 += perChunk) {
      const int64_t cnt = std::min<int64_t>(perChunk, last - n0 + 1);
      buf.resize(static_cast<size_t>(cnt * d));
      s.ReadBuffer(buf.data(), cnt * d * 4);
      for (int64_t i = 0; i < cnt; ++i) {
        const int32_t n = static_cast<int32_t>(n0 + i);
        FDegree[n] = static_cast<uint8_t>(d);
        for (int32_t k = 1; k <= d; ++k) {
          const int32_t L = buf[i * d + k - 1];
          if (L < 1 || L > FLinkCount)
            Corrupt(file, "node " + Str(n) + " lists link " + Str(L) + " outside 1.." +
                              Str(FLinkCount));
          uint8_t bit;
          if (Fromnode[L] == n && tonode[L] == n)
            bit = (seen[L] & 1) ? 2 : 1;
          else if (Fromnode[L] == n)
            bit = 1;
          else if (tonode[L] == n)
            bit = 2;
          else
            Corrupt(file, "node " + Str(n) + " lists link " + Str(L) + " that does not end there");
          if (seen[L] & bit) Corrupt(file, "link " + Str(L) + " is listed twice at node " + Str(n));
          seen[L] |= bit;
          FNodearray[k][n] = L;
        }
      }
      done += cnt * d;
      if (EventAssigned()) ProgressExecute(static_cast<double>(done));
    }
  }
  for (int32_t L = 1; L <= FLinkCount; ++L)
    if (FLength[L] != 0 && seen[L] != 3)
      Corrupt(file, "link " + Str(L) + " is missing from the list of its " +
                        ((seen[L] & 1) ? "to" : "from") + "-node");
}

void TNetwork::CheckSpatialIndex() {
  // The searches index the node and link arrays with the index's entries
  // and walk a link's vertices by its runs; refuse an index that would make
  // them read outside.
  std::vector<const TQuadTreeCell*> stack{FQuadtree->MainCell()};
  while (!stack.empty()) {
    const TQuadTreeCell* c = stack.back();
    stack.pop_back();
    if (c->Divided) {
      for (int k = 1; k <= 4; ++k) {
        if (!c->Child(k)) Corrupt(SpatialIndexFileName, "cell " + Str(c->ID) + " lacks a child");
        stack.push_back(c->Child(k));
      }
      continue;
    }
    for (int32_t n : c->nodes)
      if (n < 1 || n > FNodeCount)
        Corrupt(SpatialIndexFileName, "cell " + Str(c->ID) + " lists node " + Str(n));
    for (const TSubLink& r : c->SLL) {
      if (r.Link < 1 || r.Link > FLinkCount || FLength[r.Link] == 0)
        Corrupt(SpatialIndexFileName, "cell " + Str(c->ID) + " lists link " + Str(r.Link));
      const int32_t last = FCoord3file.GetCount(r.Link - 1) - 1;
      if (r.sub1 >= r.sub2 || r.sub2 > last)
        Corrupt(SpatialIndexFileName, "cell " + Str(c->ID) + " lists vertices " + Str(r.sub1) +
                                          ".." + Str(r.sub2) + " of link " + Str(r.Link));
    }
  }
}

void TNetwork::ComputeLengthAlpha() {
  float alpha = 0;
  for (int32_t l = 1; l <= FLinkCount; ++l) {
    if (FLength[l] == 0) continue;
    const float r = static_cast<float>(
        DistanceRaw(NodePointRaw(Fromnode[l]), NodePointRaw(tonode[l])) / FLength[l]);
    if (r > alpha) alpha = r;
    if (alpha > 0.999f) {
      alpha = 1;
      break;
    }
  }
  FLengthAlpha = alpha;
}

void TNetwork::ComputeCulDeSac() {
  FCDS.SetSize(int64_t(FLinkCount) + 1);
  FCDS.SetAllFalse();
  if (Fmaxdegree < 1) return;
  const int32_t firstDeadEnd = (Fmaxdegree >= 2 ? a[2] : 0) + 1;
  for (int32_t s = firstDeadEnd; s <= FNodeCount; ++s) {
    int32_t n = s, k = 1;
    for (;;) {
      const int32_t L = std::abs(FNodearray[k][n]);
      FCDS.SetBit(L, true);
      n = Fromnode[L] + tonode[L] - n;
      if (FDegree[n] == 2) {
        k = std::abs(FNodearray[1][n]) == L ? 2 : 1;
        continue;
      }
      int32_t unmarked = 0, slot = 0;
      for (int32_t j = 1; j <= FDegree[n]; ++j)
        if (!FCDS.GetBit(std::abs(FNodearray[j][n]))) {
          ++unmarked;
          slot = j;
        }
      if (unmarked != 1) break;
      k = slot;
    }
  }
}

void TNetwork::OpenAttributes() {
  CheckOpen();
  TSource s(fAttributeStream, fAttributeStream ? "" : RequireFile("attribute.bin"));
  if (s.Size() != int64_t(2) * FLinkCount) throw Exception("Attribute file has incorrect size");
  std::vector<uint16_t> words(static_cast<size_t>(FLinkCount) + 1, 0);
  SetProgressStart(0);
  SetProgressStop(100);
  SetProgressMaxValue(FLinkCount);
  for (int64_t i = 0; i < FLinkCount; i += LoadChunk) {
    const int64_t n = std::min<int64_t>(LoadChunk, FLinkCount - i);
    s->ReadBuffer(&words[i + 1], n * 2);
    if (EventAssigned()) ProgressExecute(static_cast<double>(i + n));
  }
  // Re-sign the node-list entries: an entry is negative when the link may
  // not be used to leave that node.
  for (int32_t L = 1; L <= FLinkCount; ++L) {
    if (FLength[L] == 0) continue;
    const uint16_t w = words[L];
    const int32_t t = tonode[L], f = Fromnode[L];
    if (t == f) {
      // Both entries of a loop link sit at one node; either one-way bit
      // forbids leaving by one of its ends, but both entries name the link
      // and the lists cannot tell its ends apart.
      const bool neg = (w & AttrOnewayMask) != 0;
      for (int32_t k = 1; k <= FDegree[f]; ++k)
        if (std::abs(FNodearray[k][f]) == L) FNodearray[k][f] = neg ? -L : L;
      continue;
    }
    for (int32_t k = 1; k <= FDegree[t]; ++k)
      if (std::abs(FNodearray[k][t]) == L) {
        FNodearray[k][t] = (w & AttrOnewayFromTo) ? -L : L;
        break;
      }
    for (int32_t k = 1; k <= FDegree[f]; ++k)
      if (std::abs(FNodearray[k][f]) == L) {
        FNodearray[k][f] = (w & AttrOnewayToFrom) ? -L : L;
        break;
      }
  }
  Fattribute = std::move(words);
  if (EventAssigned()) ProgressExecuteZero();
}

void TNetwork::OpenRoadName(int32_t RoadFileID, bool cache) {
  CheckOpen();
  if (RoadFileID < 1 || RoadFileID > MaxRoadNameFiles)
    throw EOutOfRange("RoadFileID should be from 1 to " + Str(MaxRoadNameFiles) + ", not " +
                      Str(RoadFileID));
  auto& slot = FRoadNameFiles[RoadFileID];
  if (slot) slot->Close();
  slot = std::make_unique<TRoadNameFile>();
  slot->SetOnProgress(TProgressCancel::OnProgress());
  slot->Load(fDirectory, cache, 0, RoadFileID, FLinkCount);
}

TRoadNameFile* TNetwork::RoadNameFile(int32_t RoadFileID) const {
  if (RoadFileID < 1 || RoadFileID > MaxRoadNameFiles) return nullptr;
  return FRoadNameFiles[RoadFileID].get();
}

void TNetwork::Close() {
  if (!fIsOpen) return;
  ReleaseArrays();
  fIsOpen = false;
}

// ------------------------------------------------------------ checks

void TNetwork::CheckOpen() const {
  if (!fIsOpen) throw ENetworkIsClosed("Network is not open");
}

void TNetwork::CheckLink(int32_t link) const {
  if (link < 1) throw EOutOfRange("Link-ID must be >=1: " + Str(link));
  if (link > FLinkCount)
    throw EOutOfRange("Link-ID must be <=" + Str(FLinkCount) + ": " + Str(link));
  if (FLength[link] == 0) throw Exception("Link " + Str(link) + " is a non-valid link");
}

void TNetwork::CheckNode(int32_t node) const {
  if (node < 1) throw EOutOfRange("Node-ID must be >=1: " + Str(node));
  if (node > FNodeCount)
    throw EOutOfRange("Node-ID must be =<" + Str(FNodeCount) + ": " + Str(node));
}

void TNetwork::CheckCoordinate(const TFloatPoint& P) const {
  auto fail = [&](const char* kind) {
    throw ECoordinateCheck("(" + FormatNumber(P.x) + " , " + FormatNumber(P.y) + ") are not valid " +
                           kind + " coordinates");
  };
  switch (FCoordinateUnit) {
    case cuRad:
      if (!(P.x >= -M_PI && P.x <= M_PI && P.y >= -M_PI / 2 && P.y <= M_PI / 2)) fail("radian");
      break;
    case cuDeg:
      if (!(P.x >= -180 && P.x <= 180 && P.y >= -90 && P.y <= 90)) fail("degree");
      break;
    case cuGrad:
      if (!(P.x >= -200 && P.x <= 200 && P.y >= -100 && P.y <= 100)) fail("grad");
      break;
    default:
      break;
  }
  if (FCoordinateWindow >= 0 &&
      !(P.x >= FmbrX.xmin && P.x <= FmbrX.xmax && P.y >= FmbrX.ymin && P.y <= FmbrX.ymax)) {
    throw ECoordinateCheck("Coordinates (" + FormatNumber(P.x) + " , " + FormatNumber(P.y) +
                           ") are beyond search area");
  }
}

// ------------------------------------------------------------ accessors

int32_t TNetwork::Degree(int32_t node) const {
  CheckOpen();
  CheckNode(node);
  return FDegree[node];
}

int32_t TNetwork::Node2Link(int32_t node, int32_t linkindex) const {
  CheckOpen();
  CheckNode(node);
  if (linkindex < 1 || linkindex > FDegree[node])
    throw EOutOfRange("Link index must be from 1 to " + Str(FDegree[node]) + ": " + Str(linkindex));
  return std::abs(FNodearray[linkindex][node]);
}

int32_t TNetwork::Link2FromNode(int32_t link) const {
  CheckOpen();
  CheckLink(link);
  return Fromnode[link];
}

int32_t TNetwork::Link2ToNode(int32_t link) const {
  CheckOpen();
  CheckLink(link);
  return tonode[link];
}

float TNetwork::LinkLength(int32_t link) const {
  CheckOpen();
  if (link < 1) throw EOutOfRange("Link-ID must be >=1: " + Str(link));
  if (link > FLinkCount)
    throw EOutOfRange("Link-ID must be <=" + Str(FLinkCount) + ": " + Str(link));
  return FLength[link];
}

TFloatPoint TNetwork::Node2Coordinate(int32_t node) const {
  CheckOpen();
  CheckNode(node);
  return {FX[node], FY[node]};
}

uint16_t TNetwork::OneWayGet(int32_t link) const {
  CheckOpen();
  CheckLink(link);
  return Fattribute[link] & AttrOnewayMask;
}

uint16_t TNetwork::Attribute(int32_t link) const {
  CheckOpen();
  CheckLink(link);
  return Fattribute[link];
}

bool TNetwork::LoopLinks() const {
  CheckOpen();
  return fLoopLinks;
}

bool TNetwork::GetCulDeSac(int32_t link) const {
  CheckOpen();
  // No link check by design; ids outside the set answer false rather than
  // reading outside it.
  return link >= 0 && link < FCDS.Size() && FCDS.GetBit(link);
}

bool TNetwork::NodesConnected(int32_t node1, int32_t node2) const {
  if (node1 < 1 || node1 >= static_cast<int32_t>(FDegree.size())) return false;
  for (int32_t k = 1; k <= FDegree[node1]; ++k) {
    const int32_t L = std::abs(FNodearray[k][node1]);
    if (Fromnode[L] + tonode[L] - node1 == node2) return true;
  }
  return false;
}

double TNetwork::DistanceRule(TCoordinateUnit unit, double distfactor, const TFloatPoint& P1,
                              const TFloatPoint& P2) {
  switch (unit) {
    case cuDeg: return GreatCircleAngle(P1, P2) * distfactor;
    case cuGrad: return GreatCircleAngleGrad(P1, P2) * distfactor;
    case cuRad: return GreatCircleAngleRad(P1, P2) * distfactor;
    default: {
      const double dx = P2.x - P1.x, dy = P2.y - P1.y;
      return std::sqrt(dx * dx + dy * dy) * distfactor;
    }
  }
}

double TNetwork::DistanceBetweenPoints(const TFloatPoint& P1, const TFloatPoint& P2) const {
  CheckCoordinate(P1);
  CheckCoordinate(P2);
  return DistanceRaw(P1, P2);
}

double TNetwork::DistanceBetweenNodes(int32_t node1, int32_t node2) const {
  CheckOpen();
  CheckNode(node1);
  CheckNode(node2);
  return DistanceRaw(NodePointRaw(node1), NodePointRaw(node2));
}

void TNetwork::ReadGISSection(int32_t link, TFloatPointArrayEx& List) {
  FCoord3file.ReadSection(link - 1, List);
  List.Pnt[0] = {FX[Fromnode[link]], FY[Fromnode[link]]};
  List.Pnt[List.Count - 1] = {FX[tonode[link]], FY[tonode[link]]};
}

TFloatPointArrayEx TNetwork::GetGISSection(int32_t link) {
  CheckOpen();
  CheckLink(link);
  TFloatPointArrayEx r;
  ReadGISSection(link, r);
  return r;
}

// ------------------------------------------------------------ output tables

std::unique_ptr<TGISWriter> TNetwork::GISoutputInit(const std::string& filename,
                                                    TGISFormat GF) {
  // No in-memory writer exists in this library; gfArray gets the writer the
  // factory hands out for its code like every other format.
  std::unique_ptr<TGISWriter> w = TGISWriter::GetGISObject(GF);
  w->SetCompactMIF(FcompactMIF);
  w->SetCoordSys(Fcoordsys);
  w->Setepsg(Fepsg);
  w->SetPRJ(Fprj);
  w->SetFileName(filename);
  switch (GF) {
    case gfArray: case gfGML2: case gfKML2: case gfGeoJSON: case gfMIF8: case gfGPX:
      break;
    default:
      // Taken as it is, UTF-8 included: the check tables declare the
      // encoding of the road table they come from.
      w->SetEncoding(FCodepage);
  }
  return w;
}

void TNetwork::GISoutputDone(TGISWriter& writer, TGISFormat GF, bool dropEmpty, bool stopped) {
  if (stopped)
    writer.CloseUnfinished();
  else
    writer.Close();
  if (dropEmpty && writer.WrittenRecords() == 0)
    writer.Drop();
  else if (fOnTableWritten)
    fOnTableWritten(writer);
  if (GF == gfGeoJSON) FGeoJSON.clear();
}
