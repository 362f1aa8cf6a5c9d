#include "linvoro_import.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "linvoro_dbffiles.h"
#include "linvoro_functions.h"
#include "linvoro_quadtree.h"
#include "linvoro_textfilewriter.h"
#include "linvoro_xytree.h"

static_assert(std::endian::native == std::endian::little,
              "node.bin and coord.bin are written in bulk as little-endian arrays");

namespace {

constexpr const char* CoordFromName = "coordfrom.bin";
constexpr const char* CoordToName = "coordto.bin";
constexpr const char* Coord3Name = "coord3.bin";
constexpr const char* Coord3iName = "coord3i.bin";
constexpr size_t kEndBlock = 4096;  // link end points per tree insertion block

// The network's files are written behind: the system's copy of their
// bytes runs beside the import.
std::unique_ptr<TLvBufferedStream> CreateWriter(const std::string& path) { return CreateWriteBehindFile(path); }

std::unique_ptr<TLvBufferedStream> OpenReader(const std::string& path) {
  return std::make_unique<TLvBufferedStream>(new TLvFileStream(path, fmOpenRead | fmShareDenyWrite),
                                             true);
}

// How often a loop over count items reports progress: about a thousand
// times in all, which still reaches every percent step, without reading the
// clock for every item.
int32_t ProgressStride(int64_t count) { return static_cast<int32_t>(count / 1000 + 1); }

void RemoveFile(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

// Sum of the central angles (radians) along the polyline; k converts the
// coordinates to radians.
double ArcSum(const TFloatPoint* v, size_t n, double k) {
  double sum = 0;
  double x1 = v[0].x * k, y1 = v[0].y * k;
  double cy1 = std::cos(y1);
  for (size_t i = 1; i < n; ++i) {
    const double x2 = v[i].x * k, y2 = v[i].y * k;
    const double cy2 = std::cos(y2);
    const double s1 = std::sin((y1 - y2) / 2);
    const double s2 = std::sin((x1 - x2) / 2);
    double h = std::sqrt(s1 * s1 + cy1 * cy2 * (s2 * s2));
    if (h > 1) h = 1;
    sum += 2 * std::asin(h);
    x1 = x2;
    y1 = y2;
    cy1 = cy2;
  }
  return sum;
}

double PlanarSum(const TFloatPoint* v, size_t n) {
  double sum = 0;
  for (size_t i = 1; i < n; ++i) {
    const double dx = v[i].x - v[i - 1].x, dy = v[i].y - v[i - 1].y;
    sum += std::sqrt(dx * dx + dy * dy);
  }
  return sum;
}

// MapInfo's name of a linear unit, for the NonEarth clause; nullptr for the
// units MapInfo has no name for.
const char* MapInfoUnitName(TCoordinateUnit u) {
  switch (u) {
    case cuMm: return "mm";
    case cuCm: return "cm";
    case cuM: return "m";
    case cuKm: return "km";
    case cuInch: return "in";
    case cuLink: return "link";
    case cuFt: return "ft";
    case cuSurveyft: return "survey ft";
    case cuYard: return "yd";
    case cuChain: return "chain";
    case cuRod: return "rod";
    case cuMiles: return "mi";
    case cuNmi: return "nmi";
    default: return nullptr;
  }
}

std::string DateTimeText(std::chrono::system_clock::time_point t) {
  static constexpr const char* Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d-%s-%04d %02d:%02d:%02d", tm.tm_mday, Months[tm.tm_mon % 12],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// Fixed notation with 3 decimals from at most 10 significant digits; values
// with more than 10 integer digits in scientific form.
std::string KmText(double x, char sep) {
  char buf[64];
  const double a = std::fabs(x);
  if (!std::isfinite(x) || a >= 1e10) {
    std::snprintf(buf, sizeof buf, "%.9E", x);
  } else {
    const int intDigits = a < 1 ? 0 : static_cast<int>(std::floor(std::log10(a))) + 1;
    const int decimals = std::min(3, 10 - intDigits);
    std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
    std::string s(buf);
    if (decimals < 3) {
      if (decimals == 0) s += '.';
      s.append(static_cast<size_t>(3 - decimals), '0');
    }
    std::snprintf(buf, sizeof buf, "%s", s.c_str());
  }
  std::string s(buf);
  for (char& ch : s)
    if (ch == '.') ch = sep;
  return s;
}

}  // namespace

std::string ImportErrorText(const TImportError& e) {
  std::string s = "(";
  s += std::to_string(static_cast<int>(e.errorcode));
  s += ") Object ";
  s += std::to_string(e.link);
  const std::string v = std::to_string(e.value);
  switch (e.errorcode) {
    case ecDeleted: s += " is deleted"; break;
    case ecNotGeoCoded: s += " is not geocoded"; break;
    case ecNotPolyLine:
      s += " is not a (poly)line";
      if (e.value != 0) s += ", but type " + v;
      break;
    case ecMultiSection: s += " has " + v + " sections"; break;
    case ecZeroOrOneVertices: s += " has only " + v + " vertices"; break;
    case ecLoopLink: s += " is a loop link"; break;
    case ecTooManyVertices: s += " has " + v + " vertices (max 65535)"; break;
    case ecInvalidGeography: s += " has invalid geography (MS SQL)"; break;
    case ecSinglePoint: s += " is a single point"; break;
  }
  return s;
}

// ------------------------------------------------------------ TBaseImport

TBaseImport::TBaseImport() = default;

TBaseImport::~TBaseImport() {
  try {
    CloseTempWriters();
  } catch (...) {
  }
}

char TBaseImport::ReportDecimalSeparator() const {
  char sep = '.';
  if (locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0))) {
    const char* r = nl_langinfo_l(RADIXCHAR, loc);
    if (r && r[0] != 0 && r[1] == 0) sep = r[0];
    freelocale(loc);
  }
  return sep;
}

void TBaseImport::StartImport() {
  fStartTime = std::chrono::system_clock::now();
  fg1Filename = PathOf(CoordFromName);
  fg2Filename = PathOf(CoordToName);
  fg3Filename = PathOf(Coord3Name);
  fg3iFilename = PathOf(Coord3iName);
  fg1 = CreateWriter(fg1Filename);
  fg2 = CreateWriter(fg2Filename);
  fg3 = CreateWriter(fg3Filename);
  fg3i = CreateWriter(fg3iFilename);
  const double big = static_cast<double>(1e38f);
  fMBR = {big, big, -big, -big};
  fImportErrorList.clear();
  ProgressExecuteZero();
  fLinkCount = 0;
  fLinkCountFile = 0;
  fZFrom = 0;
  fZTo = 0;
  fObjects_found = false;
  fCoord3Records = 0;
  fTotallength = 0;
  fNodeCount = 0;
  fMaxdegree = 0;
}

void TBaseImport::AddImportError(int32_t fileindex, int32_t linklocal, int32_t link,
                                 TErrorCode code, int32_t value) {
  fg1->WriteDouble(RejectedObjectPoint.x);
  fg1->WriteDouble(RejectedObjectPoint.y);
  fg2->WriteDouble(RejectedObjectPoint.x);
  fg2->WriteDouble(RejectedObjectPoint.y);
  fImportErrorList.push_back(TImportError{fileindex, linklocal, link, code, value});
}

void TBaseImport::FinishObject(int32_t fileindex) {
  int32_t n = fNumPoints;
  TFloatPoint* v = fVertices.data();
  // A closed polyline is refused before duplicates are removed, so A-A is a
  // loop and not a one-vertex object.
  if (!fAllowLoops && n > 0 && v[0] == v[n - 1] && fZFrom == fZTo) {
    AddImportError(fileindex, fLinkCountFile, fLinkCount, ecLoopLink, 0);
    return;
  }
  if (n > 1) {
    int32_t k = 1;
    for (int32_t i = 1; i < n; ++i)
      if (!(v[i] == v[k - 1])) v[k++] = v[i];
    n = k;
  }
  fNumPoints = n;
  if (n < 2) {
    AddImportError(fileindex, fLinkCountFile, fLinkCount, ecZeroOrOneVertices, n);
    return;
  }
  WritePoint(v[0], prFrom);
  for (int32_t i = 1; i < n - 1; ++i) WritePoint(v[i], prShape);
  WritePoint(v[n - 1], prTo);
}

void TBaseImport::WritePoint(const TFloatPoint& p, TPointRole role) {
  bool valid;
  switch (fCoordinateUnit) {
    case cuDeg: valid = p.x >= -180 && p.x <= 180 && p.y >= -90 && p.y <= 90; break;
    case cuRad: valid = p.x >= -Pi && p.x <= Pi && p.y >= -Pi / 2 && p.y <= Pi / 2; break;
    case cuGrad: valid = p.x >= -200 && p.x <= 200 && p.y >= -100 && p.y <= 100; break;
    // No range, but a value that is no number would poison the node order
    // and every length.
    default: valid = std::isfinite(p.x) && std::isfinite(p.y); break;
  }
  if (!valid)
    throw Exception("Coordinates (" + FormatNumber(p.x) + "," + FormatNumber(p.y) +
                    ") not valid for chosen coordinate unit");
  TFloatPoint q = p;
  if (fZLevels) {
    const int32_t z = role == prFrom ? fZFrom : (role == prTo ? fZTo : 0);
    if (z != 0) {
      q.x += fZRadius * std::sin(z * Pi / 9);
      q.y += fZRadius * std::cos(z * Pi / 9);
    }
  }
  ExtendRect(fMBR, q);
  TLvBufferedStream* s = role == prFrom ? fg1.get() : (role == prTo ? fg2.get() : fg3.get());
  s->WriteDouble(q.x);
  s->WriteDouble(q.y);
  if (role == prShape) ++fCoord3Records;
  fObjects_found = true;
}

void TBaseImport::SettleUnit() {
  fDistFactor = DistFactor(fCoordinateUnit);
  fZRadius = 0.0001 / fDistFactor;
}

void TBaseImport::CloseTempWriters() {
  // Flush explicitly so that a full disk is reported here rather than lost
  // in a destructor.
  for (auto* s : {&fg1, &fg2, &fg3, &fg3i}) {
    if (!*s) continue;
    std::unique_ptr<TLvBufferedStream> w = std::move(*s);
    w->Flush();
  }
}

void TBaseImport::DeleteReaderFiles() {
  for (const char* name : {CoordFromName, CoordToName, Coord3Name, Coord3iName})
    RemoveFile(PathOf(name));
}

const std::vector<std::string>& TBaseImport::BuildFileNames() {
  static const std::vector<std::string> names = {
      "coord.bin", CoordFromName,  CoordToName, Coord3Name,           Coord3iName,
      "length.bin", "link.bin", "node.bin",  SpatialIndexFileName, ConfigFileName};
  return names;
}

void TBaseImport::DeleteNetworkFiles() {
  for (const std::string& name : BuildFileNames()) RemoveFile(PathOf(name.c_str()));
}

void TBaseImport::BuildNetwork(int32_t c) {
  CloseTempWriters();
  if (!fObjects_found) {
    DeleteReaderFiles();
    return;
  }
  const int32_t b1 = static_cast<int32_t>(Round(c + (100 - c) * 0.38));
  const int32_t b2 = static_cast<int32_t>(Round(c + (100 - c) * 0.55));
  const int32_t b3 = static_cast<int32_t>(Round(c + (100 - c) * 0.61));
  const int32_t linkCount = fLinkCount;
  const int32_t stride = ProgressStride(linkCount);
  const double factor = DistFactor(fCoordinateUnit);
  double toRad = 0;
  if (fCoordinateUnit == cuRad) toRad = 1;
  if (fCoordinateUnit == cuDeg) toRad = DegToRad;
  if (fCoordinateUnit == cuGrad) toRad = GradToRad;

  auto from = OpenReader(fg1Filename);
  auto to = OpenReader(fg2Filename);
  // Freed once node.bin is written, before the spatial index needs memory.
  auto tree = std::make_unique<TXYTree>();

  // Lengths and nodes.
  {
    auto c3 = OpenReader(fg3Filename);
    auto c3i = OpenReader(fg3iFilename);
    auto length = CreateWriter(PathOf("length.bin"));
    if (from->Size() != int64_t(linkCount) * 16 || to->Size() != int64_t(linkCount) * 16 ||
        c3i->Size() != (int64_t(linkCount) + 1) * 4 || c3->Size() != int64_t(fCoord3Records) * 16)
      throw Exception("The temporary files of the network import are incomplete");
    SetProgressStart(c);
    SetProgressStop(b1);
    SetProgressMaxValue(linkCount);
    fTotallength = 0;
    std::vector<TFloatPoint> v;
    // End points go to the tree in blocks, which lets it overlap the memory
    // reads of one insertion with the next ones.
    std::vector<TFloatPoint> ends;
    ends.reserve(kEndBlock);
    int32_t prev = c3i->ReadInt32();
    for (int32_t k = 1; k <= linkCount; ++k) {
      if (k % stride == 0 || k == linkCount) {
        ProgressExecute(k);
        if (FCancelled) return;
      }
      const int32_t next = c3i->ReadInt32();
      const size_t n = static_cast<size_t>(next - prev);
      prev = next;
      if (v.size() < n + 2) v.resize(n + 2);
      v[0].x = from->ReadDouble();
      v[0].y = from->ReadDouble();
      if (n > 0) c3->ReadBuffer(v.data() + 1, static_cast<int64_t>(n) * 16);
      v[n + 1].x = to->ReadDouble();
      v[n + 1].y = to->ReadDouble();
      const double sum = toRad != 0 ? ArcSum(v.data(), n + 2, toRad) : PlanarSum(v.data(), n + 2);
      const double len = sum * factor;
      fTotallength += len;
      const float stored = static_cast<float>(len);
      length->WriteSingle(stored);
      // The stored value decides, as it does for every later reader: a node
      // must never count a link that link.bin leaves out.
      if (stored != 0) {
        ends.push_back(v[0]);
        ends.push_back(v[n + 1]);
        if (ends.size() >= kEndBlock) {
          tree->AddRange(ends.data(), ends.size());
          ends.clear();
        }
      }
    }
    tree->AddRange(ends.data(), ends.size());
    length->Flush();
  }

  // Numbering and coord.bin.
  tree->CreateID();
  fMaxdegree = tree->MaxDegree();
  fNodeCount = tree->NodeCount();
  {
    auto coord = CreateWriter(PathOf("coord.bin"));
    tree->Write(*coord);
    coord->Flush();
  }

  // Link table.
  {
    auto length = OpenReader(PathOf("length.bin"));
    auto link = CreateWriter(PathOf("link.bin"));
    from->Seek(0, soBeginning);
    to->Seek(0, soBeginning);
    SetProgressStart(b1);
    SetProgressStop(b2);
    // Looked up a block at a time, so that the tree searches overlap.
    const size_t block = kEndBlock / 2;
    std::vector<float> lens(block);
    std::vector<TFloatPoint> ends(2 * block);
    std::vector<int32_t> ids(2 * block);
    for (int32_t k0 = 1; k0 <= linkCount; k0 += int32_t(block)) {
      const size_t m = size_t(std::min<int64_t>(block, int64_t(linkCount) - k0 + 1));
      for (size_t j = 0; j < m; ++j) {
        const int32_t k = k0 + int32_t(j);
        if (k % stride == 0 || k == linkCount) {
          ProgressExecute(k);
          if (FCancelled) return;
        }
        lens[j] = length->ReadSingle();
        TFloatPoint& pf = ends[2 * j];
        TFloatPoint& pt = ends[2 * j + 1];
        pf.x = from->ReadDouble();
        pf.y = from->ReadDouble();
        pt.x = to->ReadDouble();
        pt.y = to->ReadDouble();
      }
      tree->NodeIDs(ends.data(), 2 * m, ids.data());
      for (size_t j = 0; j < m; ++j) {
        // A link the length table leaves out joins no nodes.
        const bool kept = lens[j] != 0;
        link->WriteUInt32(kept ? static_cast<uint32_t>(ids[2 * j]) : 0);
        link->WriteUInt32(kept ? static_cast<uint32_t>(ids[2 * j + 1]) : 0);
      }
    }
    link->Flush();
  }
  from.reset();
  to.reset();
  RemoveFile(fg1Filename);
  RemoveFile(fg2Filename);

  // Node table: the link lists of all nodes, grouped by descending degree.
  {
    const std::vector<TLeg> legs = tree->Legs();
    tree.reset();
    const int32_t D = fMaxdegree;
    const size_t total = 1 + size_t(D) + size_t(legs[1].num) + size_t(legs[1].startpos);
    std::vector<uint32_t> arr(total, 0);
    arr[0] = static_cast<uint32_t>(D);
    for (int32_t d = D; d >= 1; --d) arr[size_t(D - d + 1)] = static_cast<uint32_t>(legs[d].last);
    auto place = [&](uint32_t node, uint32_t k) {
      if (node == 0) return;
      if (node > static_cast<uint32_t>(fNodeCount))
        throw Exception("Internal error: node id " + std::to_string(node) + " out of range");
      int32_t d = D;
      while (d > 1 && static_cast<uint32_t>(legs[d].last) < node) --d;
      const size_t base = size_t(D) + size_t(legs[d].startpos) +
                          (size_t(node) - size_t(legs[d + 1].last) - 1) * size_t(d);
      size_t i = base + 1;
      const size_t end = base + 1 + size_t(d);
      while (i < end && arr[i] != 0) ++i;
      if (i == end) throw Exception("Internal error: node list overflow at node " + std::to_string(node));
      arr[i] = k;
    };
    auto link = OpenReader(PathOf("link.bin"));
    SetProgressStart(b2);
    SetProgressStop(b3);
    for (int32_t k = 1; k <= linkCount; ++k) {
      if (k % stride == 0 || k == linkCount) {
        ProgressExecute(k);
        if (FCancelled) return;
      }
      const uint32_t f = link->ReadUInt32();
      const uint32_t t = link->ReadUInt32();
      place(f, static_cast<uint32_t>(k));
      place(t, static_cast<uint32_t>(k));
    }
    auto node = CreateWriter(PathOf("node.bin"));
    node->WriteBuffer(arr.data(), static_cast<int64_t>(arr.size()) * 4);
    node->Flush();
  }

  // Description defaults.
  if (fPrj.empty() && fCoordinateUnit == cuDeg) fPrj = DefaultPrj;
  if (fEPSG == 0 && fCoordinateUnit == cuDeg) fEPSG = DefaultEPSG;
  if (fCoordSys.empty()) {
    if (fCoordinateUnit == cuDeg)
      fCoordSys = DefaultCoordSys;
    else if (const char* name = MapInfoUnitName(fCoordinateUnit))
      fCoordSys = std::string("CoordSys NonEarth Units \"") + name + "\" " +
                  BoundsText(fMBR.xmin, fMBR.ymin, fMBR.xmax, fMBR.ymax);
  }

  // Pad the rectangle. A network lying on one vertical or horizontal line
  // has no extent to pad by in that direction; it gets the other one's pad,
  // or the bounds written with 15 digits could cut off its own end points.
  double dx = 0.0005 * (fMBR.xmax - fMBR.xmin);
  double dy = 0.0005 * (fMBR.ymax - fMBR.ymin);
  if (dx == 0) dx = dy;
  if (dy == 0) dy = dx;
  fMBR.xmin -= dx;
  fMBR.xmax += dx;
  fMBR.ymin -= dy;
  fMBR.ymax += dy;

  TConfig config;
  config.VersionCode = NetworkVersion;
  config.Cu = fCoordinateUnit;
  config.CoordSys = fCoordSys;
  config.Prj = fPrj;
  config.Epsg = fEPSG;
  config.LinkCount = fLinkCount;
  config.Mbr = fMBR;
  WriteConfigFile(PathOf(ConfigFileName), config);

  if (fSkipSpatialIndex) {
    // An index left by an earlier build would describe other links.
    RemoveFile(PathOf(SpatialIndexFileName));
  } else {
    TQuadTreeSetup qt;
    qt.SetDirectory(Directory());
    qt.SetMaxNodesPerCell(fMaxNodesPerCell);
    qt.SetThreads(fThreads);
    qt.SetProgressStart(b3);
    qt.SetProgressStop(100);
    qt.SetOnProgress(eProgress);
    qt.Build();
    FCancelled = qt.Cancelled();
  }
}

void TBaseImport::CreateReport() {
  const std::string stars(45, '*');
  TTextFileWriter w(PathOf(ReportFileName), 1252, false);
  w.writeln(stars);
  w.writeln("");
  w.writeln("Report for creation of network with Linvoro 4.44");
  w.writeln("Library version: osm2trassel 1.20 network library (C++20)");
  w.writeln("Internal version date: 2023-08-28");
  w.writeln("");
  w.writeln("Start: " + DateTimeText(fStartTime));
  w.writeln("");
  w.writeln(stars);
  w.writeln("");
  w.writeln("Coordinate unit: " + CoordinateUnitName(fCoordinateUnit) + " (" +
            std::to_string(static_cast<int>(fCoordinateUnit)) + ")");
  w.writeln("");
  w.writeln("Input files:");
  for (const std::string& f : fFiles) w.writeln(FullPath(f));
  w.writeln("");
  if (fZLevels)
    w.writeln("Z-level information extracted from field " + std::to_string(fZfromField) + " and " +
              std::to_string(fZtoField));
  else
    w.writeln("No Z-level modification");
  w.writeln("");
  w.writeln(fAllowLoops ? "Loop links were allowed" : "Loop links were not allowed");
  if (fSkipSpatialIndex) w.writeln("Spatial index not created");
  w.writeln("");
  w.writeln("Coordinate system(s):");
  if (!fCoordSys.empty()) w.writeln(fCoordSys);
  if (!fPrj.empty()) w.writeln("PRJ: " + fPrj);
  if (fEPSG != 0) w.writeln("EPSG: " + std::to_string(fEPSG));
  w.writeln("");
  w.writeln("+++ Error-report +++");
  for (const TImportError& e : fImportErrorList) w.writeln(ImportErrorText(e));
  w.writeln("+++ Error-report +++");
  w.writeln("");
  w.writeln("Maximum degree: " + std::to_string(fMaxdegree));
  w.writeln("");
  const char sep = ReportDecimalSeparator();
  // Without any object there is no average; it reads as 0.
  const double average = fLinkCount > 0 ? fTotallength / fLinkCount : 0;
  w.writeln("Total length of streets: " + KmText(fTotallength, sep) + " km");
  w.writeln("Average per link:        " + KmText(average, sep) + " km");
  w.writeln("");
  w.writeln("Links in database: " + std::to_string(fLinkCount));
  w.writeln("Nodes created: " + std::to_string(fNodeCount));
  w.writeln("");
  w.writeln("End: " + DateTimeText(fStopTime));
  w.Close();
}

// ------------------------------------------------------------ TImport

namespace {

enum TInputKind { ikUnknown, ikSHP, ikMIF, ikGPKG, ikTAB, ikTABExtended, ikTABNoMap, ikTABUnsupported };

std::string UpperExt(const std::string& f) {
  std::string e = std::filesystem::path(f).extension().string();
  for (char& ch : e)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return e;
}

TInputKind Classify(const std::string& f) {
  const std::string e = UpperExt(f);
  if (e == ".SHP") return ikSHP;
  if (e == ".MIF") return ikMIF;
  if (e == ".GPKG") return ikGPKG;
  if (e != ".TAB") return ikUnknown;
  const std::string map = FileBeside(f, ".map");
  std::error_code ec;
  if (!std::filesystem::is_regular_file(map, ec)) return ikTABNoMap;
  uint16_t version = 0;
  {
    TLvFileStream s(map, fmOpenRead | fmShareDenyWrite);
    if (s.Size() < 262) return ikTABUnsupported;
    s.Seek(260, soBeginning);
    if (s.Read(&version, 2) != 2) return ikTABUnsupported;
  }
  if (version == 500 || version == 1252) return ikTAB;
  if (version == 1500) return ikTABExtended;
  return ikTABUnsupported;
}

}  // namespace

std::unique_ptr<TDbfFiles> TImport::OpenZLevelTable(const char* ext, int codepage) {
  fZLevels = fZfromField >= 0 && fZtoField >= 0;
  if (!fZLevels) return nullptr;
  auto table = std::make_unique<TDbfFiles>(codepage);
  for (const std::string& f : fFiles) table->Add(FileBeside(f, ext));
  table->Open();
  if (fZfromField >= table->FieldCount() || fZtoField >= table->FieldCount())
    throw Exception("Invalid fields for Z-levels defined");
  return table;
}

void TImport::ReadZLevels(TDbfFiles& table) {
  const int64_t z1 = table.ReadInteger(fZfromField, fLinkCount);
  const int64_t z2 = table.ReadInteger(fZtoField, fLinkCount);
  if (z1 < -9 || z1 > 9 || z2 < -9 || z2 > 9) throw EOutOfRange("Z-levels of out range (-9..9)");
  fZFrom = static_cast<int32_t>(z1);
  fZTo = static_cast<int32_t>(z2);
}

void TImport::Execute() {
  FCancelled = false;
  CheckDirectory();
  if (fFiles.empty()) throw Exception("No input files for the network import");

  // The input kinds are settled before any file is created, so that a
  // refused input leaves the folder as it was.
  const TInputKind kind = Classify(fFiles[0]);
  for (size_t i = 1; i < fFiles.size(); ++i)
    if (Classify(fFiles[i]) != kind) throw Exception("Only a single type of files are allowed");
  switch (kind) {
    case ikUnknown: throw Exception("Only MIF/SHP/TAB/GPKG files are allowed in the list");
    case ikTABNoMap: throw Exception("TAB file has no MAP component");
    case ikTABUnsupported: throw Exception("Unsupported MAP file encountered");
    default: break;
  }

  try {
    StartImport();
    SetProgressStart(0);
    SetProgressStop(26);
    switch (kind) {
      case ikSHP: ReadSHPTables(); break;
      case ikMIF: ReadMIFTables(); break;
      case ikGPKG: ReadGPKGTables(); break;
      case ikTAB: ReadTABTables(false); break;
      case ikTABExtended: ReadTABTables(true); break;
      default: break;
    }
    if (FCancelled) {
      CloseTempWriters();
      DeleteReaderFiles();
    } else {
      BuildNetwork(26);
      if (FCancelled) DeleteNetworkFiles();
    }
  } catch (...) {
    // A half-built set must not be mistaken for a network: every file of
    // this build goes, the report and the road table stay.
    try {
      CloseTempWriters();
    } catch (...) {
    }
    DeleteNetworkFiles();
    fStopTime = std::chrono::system_clock::now();
    throw;
  }
  fStopTime = std::chrono::system_clock::now();
  ProgressExecuteZero();
}
