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

// One file of a run's list, as its readers know it.
struct TFileInfo {
  std::string Filename;                   // the path as listed
  TOsmFormat Format = TOsmFormat::ofXml;  // told by the content before pass 1
  // OSM XML that the line reader reads as written; any other XML goes
  // through the XML parser. Told from the file's start before pass 1, and
  // cleared for good when a later line breaks the line form.
  bool XmlLines = true;
  explicit TFileInfo(std::string name) : Filename(std::move(name)) {}
};

// A way with more node references than this is not converted: the OSM API
// allows 2,000, and a larger one is a damaged or crafted file whose refs
// would only cost memory.
inline constexpr size_t MaxWayRefs = 100000;

// A tag as plain text, whatever the form it came from: a reader decodes
// entities and references, so that every form gives the same bytes.
struct TOsmTag {
  std::string_view Key, Value;
};

// One way, handed to a pass at its end. Views are valid during the call.
class TOsmWay {
 public:
  int64_t Id = 0;
  std::span<const TOsmTag> Tags;
  // Marked deleted (JOSM's action="delete", visible="false" of history
  // files): not part of the data; the pass driver drops it.
  bool Deleted = false;

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

// One node, handed to the pass driver. Views are valid during the call.
struct TOsmNode {
  int64_t Id = 0;
  // In degrees; (0, 0) or the one given when the file lacks one or both.
  TFloatPoint P;
  // The plain text of its first "ref" tag, when HasRef.
  std::string_view Ref;
  bool HasRef = false;
  bool Deleted = false;  // as TOsmWay::Deleted
};

// The kinds of object a file holds, in the order the file holds them.
enum class TOsmKind : uint8_t { okNode, okWay, okOther };

// What a reader hands its objects to: the pass driver, which knows the
// passes; a reader knows none of them.
class IOsmHandler {
 public:
  virtual ~IOsmHandler() = default;
  // The objects that follow are of this kind: said whenever the kind
  // changes, also where the reader decodes none of them. False: stop
  // before them; the reader then stands at the first of them, and its next
  // Read goes on from there.
  virtual bool Section(TOsmKind kind) = 0;
  // A node or way begins: false when it is of no use, and the reader passes
  // over it at little cost.
  virtual bool WantNode(int64_t id) = 0;
  virtual void Node(const TOsmNode& node) = 0;
  virtual bool WantWay(int64_t id) = 0;
  virtual void Way(const TOsmWay& way) = 0;
};

// What a Read decodes. Objects of the other kinds are only told by their
// Section (a PBF reader leaves their blocks undecoded).
struct TReadRequest {
  bool Nodes = false;
  bool Ways = false;
  // An XML file's header is checked first (pass 1): a wrong one ends the
  // Read at once, with false.
  bool CheckHeader = false;
};

// A place in a file where a section begins, in its reader's terms; a new
// reader of the same file can start there.
struct TOsmPlace {
  int64_t Offset = -1;  // -1: none
  // XML read by the parser: whether a new parser can start there, and in
  // which encoding (empty: as the XML default).
  bool XmlResumable = false;
  std::string XmlEncoding;
  bool Valid() const { return Offset >= 0; }
  static TOsmPlace At(int64_t offset) {
    TOsmPlace p;
    p.Offset = offset;
    return p;
  }
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

// An OSM file being read, in any form: objects in file order to an
// IOsmHandler. A reader only reads; where passes start and stop, which
// objects count and how far the file is read is the pass driver's.
class TOsmReader : public TInputPosition {
 public:
  virtual ~TOsmReader() = default;

  // From where the reader stands to the end of the file, or to a Section
  // the handler declines. The reader polls progress (a cancel point) at
  // least once per block of input, also while it skips. False only for a
  // wrong XML header when what.CheckHeader.
  virtual bool Read(IOsmHandler& handler, const TReadRequest& what, TPassProgress& progress) = 0;
  // Inside Section(): where that section begins.
  virtual TOsmPlace SectionPlace() const = 0;
  // Before the first Read: start at a place SectionPlace gave for this
  // file. A reader that cannot go there starts earlier (at the file's
  // start at worst); the handler is told the sections it then meets.
  virtual void StartAt(const TOsmPlace& place, TPassProgress& progress) = 0;

  const std::string& FileName() const { return FFileName; }

 protected:
  explicit TOsmReader(const std::string& path) : FFileName(path) {}
  std::string FFileName;
};

// ---------------------------------------------------------------- errors

// The file ends before its data do.
[[noreturn]] void RaiseCutShort(const std::string& path, const std::string& where);

// The error.txt line of a way with more than MaxWayRefs node references,
// which is not converted.
std::string TooManyNodesLine(int64_t id, size_t refs);

// ---------------------------------------------------------------- for the readers

// A way put together from its parts as a reader meets them: refs up to
// MaxWayRefs (the rest only counted) and tags as plain text in one buffer.
class TWayBuilder {
 public:
  void Begin(int64_t id, bool deleted = false) {
    FWay.Id = id;
    FWay.Deleted = deleted;
    FRefs.clear();
    FRefCount = 0;
    FText.clear();
    FTagEnds.clear();
  }
  void Ref(int64_t ref) {
    if (FRefCount++ < MaxWayRefs) FRefs.push_back(ref);
  }
  // k and v as plain text.
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
