// The order of the three passes over a run's files: one place for every
// form, so that a reader only reads and a pass only handles objects.
//
// Pass 1 reads every file whole for its ways. A file whose nodes all come
// before its ways (as the OSM API, osmium and the extract services write
// them) is sorted: pass 2 reads its nodes and stops at its first way, and
// pass 3 starts there (in the reader pass 2 stopped in, for the last file).
// A file with a node after a way (an Overpass download, say) is read whole
// by pass 2 and from its start by pass 3: the same tables, at the cost of
// reading it once more.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "osm_reader.h"
#include "run_ui.h"

// A pass that reads ways: told each way's id first, so that a way of no use
// costs little, then the whole way.
class IOsmWays {
 public:
  virtual ~IOsmWays() = default;
  virtual bool WantWay(int64_t id) = 0;
  virtual void Way(const TOsmWay& way) = 0;
};

// A pass that reads nodes. ref: the text of the node's first "ref" tag, at
// most MaxRefBytes; null when it has none.
class IOsmNodes {
 public:
  virtual ~IOsmNodes() = default;
  // The pass moves on to file (0-based) of the list.
  virtual void BeginFile(size_t) {}
  virtual bool WantNode(int64_t id) = 0;
  virtual void Node(int64_t id, const TFloatPoint& p, const std::string_view* ref) = 0;
};

// A junction's "ref" longer than this is cut: no exit number comes near it,
// and a node's ref is kept until its ways are written.
inline constexpr size_t MaxRefBytes = 999;

class TPassDriver {
 public:
  // Tells each file's form by its content (errors name the file) before
  // anything is read or written.
  TPassDriver(const std::vector<std::string>& files, IRunUI& ui);
  ~TPassDriver();
  TPassDriver(const TPassDriver&) = delete;
  TPassDriver& operator=(const TPassDriver&) = delete;

  const std::vector<TFileInfo>& Files() const { return FFiles; }

  // Pass 1: the ways of every file. False when an XML file's header is
  // wrong: HeaderFailedFile() names it, and neither it nor the files after
  // it are read.
  bool ReadAllWays(IOsmWays& ways);
  // Pass 2: the nodes of every file.
  void ReadNodes(IOsmNodes& nodes);
  // Pass 3: the ways of every file once more.
  void ReadWays(IOsmWays& ways);

  // The file a pass reads, for messages about its data; -1 between passes.
  int32_t CurrentFile() const { return FCurrent; }
  int32_t HeaderFailedFile() const { return FHeaderFailed; }
  // Whether pass 1 found the file's nodes before its ways.
  bool Sorted(size_t file) const { return FState[file].Sorted; }
  // Where pass 2 met the first way of a sorted file; none when it met none.
  const TOsmPlace& WaysBegin(size_t file) const { return FState[file].WaysBegin; }

  // The line reader met a line that breaks the form it reads (EXmlLineForm)
  // in the current file: that file is read by the XML parser from now on,
  // and the passes start again from pass 1.
  void ReadCurrentFileWithParser();

 private:
  struct TFileState {
    bool Sorted = true;
    bool HasWays = false;
    TOsmPlace WaysBegin;  // where pass 2 met the first way of a sorted file
  };
  class THandler;
  void BeginFile(int32_t pass, size_t file);

  IRunUI& FUI;
  std::vector<TFileInfo> FFiles;
  std::vector<TFileState> FState;
  int32_t FCurrent = -1;
  int32_t FHeaderFailed = -1;
  // Pass 2 ends in the last file where its ways begin; pass 3 goes on in
  // that reader instead of decompressing or decoding the file once more.
  std::unique_ptr<TOsmReader> FKept;
};
