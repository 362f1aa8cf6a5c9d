// Where the network stage tells what it builds and finds, for whoever shows
// it (the report) without reading the tables back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class TGISWriter;
class TNetwork;
struct TFloatPoint;

// The rows of one check, taken on the thread that runs it. The text made of
// them goes out in blocks, in row order, through the function it was made
// with; a part never touches what another part or the sink's own thread
// uses, so that checks beside each other need no lock.
class TCheckRows {
 public:
  virtual ~TCheckRows() = default;
  virtual void Row(const TGISWriter& writer, std::string_view row, const TFloatPoint* points,
                   int32_t count) = 0;
  // The check has ended, failed or was stopped: what was held back (a
  // row that waits for the rest of the table) goes out, then the last block.
  virtual void Finish() = 0;
};
using TCheckText = std::function<void(std::string& block)>;

class TCheckSink {
 public:
  virtual ~TCheckSink() = default;
  // The network was built with this many links and nodes.
  virtual void NetworkBuilt(int64_t links, int64_t nodes) = 0;
  // Every row of a check (between its Begin and End) is told through the
  // network's row event, from Attach until Detach, when the checks run on
  // the sink's thread; on several threads through the check's Rows part
  // instead. The rows of the nodes export, which is no check, may not come.
  virtual void Attach(TNetwork& net) = 0;
  virtual void Detach() = 0;
  // A check that writes table begins, and ends (stopped: by the user).
  // A check left by an error is never ended.
  virtual void Begin(const std::string& table) = 0;
  virtual void End(const std::string& table, bool stopped) = 0;
  // Checks that run beside others take their rows themselves, between
  // Attach and Detach: text gets the blocks, which the sink's own thread
  // hands back through Text in the order of the checks, a step's blocks in
  // the order they came.
  virtual std::unique_ptr<TCheckRows> Rows(const std::string& table, TCheckText text) = 0;
  virtual void Text(std::string_view block) = 0;
};
