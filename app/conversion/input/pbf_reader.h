// OSM PBF input through libosmium: its block decoder, in its worker threads
// on every core, decodes the blocks a few ahead while a pass takes the
// objects in file order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "osm_reader.h"

namespace osmium {
class OSMObject;
}

class TPbfReader final : public TInputPosition {
 public:
  // nodes, ways: the object kinds the pass needs; blocks of other kinds are
  // skipped without decoding. Throws EFOpenError or EReadError naming the
  // file: a damaged header, a required feature the passes cannot honour.
  TPbfReader(const std::string& path, bool nodes, bool ways);
  ~TPbfReader();
  TPbfReader(const TPbfReader&) = delete;
  TPbfReader& operator=(const TPbfReader&) = delete;

  // The next node or way in file order, deleted ones skipped; nullptr at the
  // end. Valid until the next call. Throws EReadError naming the file for a
  // damaged or cut-off file and for several versions of one object.
  const osmium::OSMObject* Next();
  // The object Next returned last comes once more from the next call.
  void Unread() { FUnread = true; }
  // Called by Next whenever it moves on to the next block, also to a block
  // without any wanted object: a pass polls its progress and cancel request
  // here, which it cannot do per object while blocks are skipped.
  std::function<void()> OnBlock;
  // The end of the block whose objects are handed out, and the file's
  // size: the progress of a pass.
  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
  bool FUnread = false;
};

struct TFileInfo;

// The passes' events from an OSM PBF file.
class TPbfOsmReader final : public TOsmReader {
 public:
  TPbfOsmReader(TFileInfo& info, IRunUI& ui);
  ~TPbfOsmReader() override;

  bool ReadAllWays(IOsmWays& ways) override;
  void ReadNodes(IOsmNodes& nodes) override;
  void ReadWays(IOsmWays& ways) override;

  int64_t ProgressPosition() const override { return FReader ? FReader->ProgressPosition() : 0; }
  int64_t ProgressSize() const override { return FSize; }

 private:
  // A block reader for the object kinds a pass needs; the one open is kept
  // when it reads them already.
  TPbfReader& Open(bool nodes, bool ways);
  TFileInfo& FInfo;
  std::unique_ptr<TPbfReader> FReader;
  bool FNodes = false, FWays = false;
  int64_t FSize = 0;
};
