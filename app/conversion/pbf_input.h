// OSM PBF input through libosmium: its worker threads decode the blocks on
// every core while a pass takes the objects in file order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "osm_lines.h"

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
  // Bytes of the file read so far (ahead of the objects handed out by what
  // the decoders hold) and its size: the progress of a pass.
  int64_t ProgressPosition() const override;
  int64_t ProgressSize() const override;
  const std::string& FileName() const { return FPath; }

 private:
  struct TImpl;
  std::string FPath;
  std::unique_ptr<TImpl> F;
  bool FUnread = false;
};
