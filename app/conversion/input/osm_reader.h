// What the three passes read from an OSM file, whatever its form: a reader
// per form (XML lines, XML through a parser, PBF, O5M) turns the file into
// nodes and ways, reports its position for the progress bar and polls the
// user's stop request, so that a pass is written once, for every form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_types.h"
#include "osm_format.h"

class IRunUI;

// One file of a run's list, as the passes know it.
struct TFileInfo {
  std::string Filename;                   // the path as listed
  TOsmFormat Format = TOsmFormat::ofXml;  // told by the content before pass 1
  // OSM XML that the line reader reads as written; any other XML goes
  // through the XML parser. Told from the file's start before pass 1, and
  // cleared for good when a later line breaks the line form.
  bool XmlLines = true;
  // Where pass 2 met the file's first way, in its reader's terms (the text
  // offset for XML); 0 when it has none.
  int64_t ThirdPassStart = 0;
  // XML read by the parser: whether a new parser can start at
  // ThirdPassStart, and in which encoding (empty: as the XML default).
  bool XmlResumable = false;
  std::string XmlEncoding;
  explicit TFileInfo(std::string name) : Filename(std::move(name)) {}
};

// A way with more node references than this is not converted: the OSM API
// allows 2,000, and a larger one is a damaged or crafted file whose refs
// would only cost memory.
inline constexpr size_t MaxWayRefs = 100000;

// A tag as OSM XML text holds it: entities and references as osmium
// writes them (XmlText), whatever the form it came from. The passes
// compare and decode that text, so every form gives the same bytes.
struct TOsmTag {
  std::string_view Key, Value;
};

// One way, handed to a pass at its end. Views are valid during the call.
class TOsmWay {
 public:
  int64_t Id = 0;
  std::span<const TOsmTag> Tags;

  // The number of node references, also beyond MaxWayRefs.
  size_t RefCount() const { return FRefCount; }
  // The node references in order; empty when RefCount() > MaxWayRefs. A
  // form that stores them packed decodes them on the first call only, so
  // that a pass pays for the refs of the ways it keeps.
  std::span<const int64_t> Refs() const {
    if (FDecode != nullptr && !FDecoded) {
      FRefs = FDecode(FSource);
      FDecoded = true;
    }
    return FRefs;
  }

  // For the readers.
  void SetRefs(std::span<const int64_t> refs, size_t count) {
    FRefs = refs;
    FRefCount = count;
    FDecode = nullptr;
  }
  void SetLazyRefs(size_t count, std::span<const int64_t> (*decode)(const void*), const void* source) {
    FRefs = {};
    FRefCount = count;
    FDecode = decode;
    FSource = source;
    FDecoded = false;
  }

 private:
  mutable std::span<const int64_t> FRefs;
  size_t FRefCount = 0;
  std::span<const int64_t> (*FDecode)(const void*) = nullptr;
  const void* FSource = nullptr;
  mutable bool FDecoded = false;
};

// A pass that reads ways.
class IOsmWays {
 public:
  virtual ~IOsmWays() = default;
  // A way begins: false when the pass has no use for it, which the reader
  // then passes over at little cost.
  virtual bool WantWay(int64_t id) = 0;
  // A wanted way, complete.
  virtual void Way(const TOsmWay& way) = 0;
};

// A pass that reads nodes.
class IOsmNodes {
 public:
  virtual ~IOsmNodes() = default;
  // A node begins: false when the pass has no use for it; its coordinates
  // and tags are then not looked at.
  virtual bool WantNode(int64_t id) = 0;
  // A wanted node: its coordinates in degrees ((0, 0) or the one given
  // when the file lacks one or both) and the XML text of its "ref" tag (at
  // most 999 bytes), null when it has none.
  virtual void Node(int64_t id, const TFloatPoint& p, const std::string_view* ref) = 0;
};

// Where a pass is in its file, for the progress bar: bytes of the file on
// disk behind what the pass has taken (the compressed bytes for a
// compressed file) and the file's size.
class TInputPosition {
 public:
  virtual int64_t ProgressPosition() const = 0;
  virtual int64_t ProgressSize() const = 0;

 protected:
  ~TInputPosition() = default;
};

// Percentage progress of a pass over one file, shown at most once per second
// and then letting the front end process pending events. The tick counter is
// consulted only every 1024 lines (or objects) to keep the per-line cost at
// an increment. Every check is also a cancel point: a stop request raises
// ERunCancelled.
class TPassProgress {
 public:
  TPassProgress(IRunUI& ui, const TInputPosition& input);
  void Step() {
    if ((++FLines & 1023) == 0) [[unlikely]] Check();
  }
  // The same check at once, for a reader that moved on without handing
  // out lines or objects.
  void Check();

 private:
  IRunUI& FUI;
  const TInputPosition& FInput;
  uint32_t FLines = 0;
  uint32_t FLastTick;
};

// A file being read by one pass. A reader reads one file in one pass, apart
// from the last file of a run, whose reader pass 2 leaves at the first way
// for pass 3 to go on with.
class TOsmReader : public TInputPosition {
 public:
  virtual ~TOsmReader() = default;

  // Pass 1: the whole file. False when an XML file's header is wrong
  // (nothing of the file is read then). Every way is offered; nodes are
  // only checked to come before the ways.
  virtual bool ReadAllWays(IOsmWays& ways) = 0;
  // Pass 2: the nodes, up to the first way, whose place the reader notes in
  // the file's info for pass 3.
  virtual void ReadNodes(IOsmNodes& nodes) = 0;
  // Pass 3: the ways from where pass 2 found them to begin (this reader
  // may be the one pass 2 left there).
  virtual void ReadWays(IOsmWays& ways) = 0;

  const std::string& FileName() const { return FFileName; }

 protected:
  TOsmReader(const std::string& path, IRunUI& ui) : FFileName(path), FUI(ui) {}
  std::string FFileName;
  IRunUI& FUI;
};

// The reader for a file of the given info (its form told before pass 1),
// opened. Errors name the file.
std::unique_ptr<TOsmReader> OpenOsmReader(TFileInfo& info, IRunUI& ui);

// ---------------------------------------------------------------- errors

// The file is not sorted: a node follows a way. The passes read nodes
// before ways, so such a file cannot be converted as it is.
[[noreturn]] void RaiseUnsorted(const std::string& path);

// The file ends before its data do.
[[noreturn]] void RaiseCutShort(const std::string& path, const std::string& where);

// The error.txt line of a way with more than MaxWayRefs node references,
// which is not converted.
std::string TooManyNodesLine(int64_t id, size_t refs);

// ---------------------------------------------------------------- for the readers

// A way put together from its parts as a reader meets them: refs up to
// MaxWayRefs (the rest only counted) and tags as XML text in one buffer.
class TWayBuilder {
 public:
  void Begin(int64_t id) {
    FWay.Id = id;
    FRefs.clear();
    FRefCount = 0;
    FText.clear();
    FTagEnds.clear();
  }
  void Ref(int64_t ref) {
    if (FRefCount++ < MaxWayRefs) FRefs.push_back(ref);
  }
  // k and v as XML text.
  void Tag(std::string_view k, std::string_view v) {
    FText.append(k);
    FTagEnds.push_back(FText.size());
    FText.append(v);
    FTagEnds.push_back(FText.size());
  }
  // The way; valid until the next Begin.
  const TOsmWay& Finish();
  // The same for a form that stores refs packed: count of them, decoded by
  // decode(source) when a pass asks (never beyond MaxWayRefs).
  const TOsmWay& FinishLazy(size_t count, std::span<const int64_t> (*decode)(const void*), const void* source);

 private:
  TOsmWay FWay;
  std::vector<int64_t> FRefs;
  size_t FRefCount = 0;
  std::string FText;
  std::vector<size_t> FTagEnds;  // end of each key and value in FText
  std::vector<TOsmTag> FTags;
};
