// Where the network stage tells what it builds and finds, for whoever shows
// it (the report) without reading the tables back.
#pragma once

#include <cstdint>
#include <string>

class TNetwork;

class TCheckSink {
 public:
  virtual ~TCheckSink() = default;
  // The network was built with this many links and nodes.
  virtual void NetworkBuilt(int64_t links, int64_t nodes) = 0;
  // Every row of a check (between its Begin and End) is told through the
  // network's row event, from Attach until Detach, in the order of the
  // checks also when they run on several threads; the rows of the nodes
  // export, which is no check, may not come.
  virtual void Attach(TNetwork& net) = 0;
  virtual void Detach() = 0;
  // A check that writes table begins, and ends (stopped: by the user).
  // A check left by an error is never ended.
  virtual void Begin(const std::string& table) = 0;
  virtual void End(const std::string& table, bool stopped) = 0;
};
