// Measuring how late a thread answers: the parts of a late wake-up that are
// the machine's and not the waiting program's. Used by the window latency
// benchmark and the window's tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <thread>

// How long the calling thread has waited for a processor while it could run,
// in ms (the kernel's count); 0 where the kernel does not say.
inline int64_t QueuedMs() {
  std::ifstream f("/proc/thread-self/schedstat");
  int64_t running = 0, waiting = 0;
  if (!(f >> running >> waiting)) return 0;
  return waiting / 1000000;
}

// A thread that only sleeps 10 ms at a time and keeps its longest lateness:
// what it sees late during a measurement is the machine's, not the measured
// program's.
class TBareTimer {
 public:
  TBareTimer() : FThread([this] { Loop(); }) {}
  ~TBareTimer() { Stop(); }
  TBareTimer(const TBareTimer&) = delete;
  TBareTimer& operator=(const TBareTimer&) = delete;

  // Stops the thread; the longest lateness in ms.
  int64_t Stop() {
    FStop.store(true);
    if (FThread.joinable()) FThread.join();
    return FLongest.load();
  }

 private:
  void Loop() {
    using namespace std::chrono;
    auto last = steady_clock::now();
    while (!FStop.load()) {
      std::this_thread::sleep_for(milliseconds(10));
      const auto now = steady_clock::now();
      const int64_t late = duration_cast<milliseconds>(now - last).count() - 10;
      FLongest.store(std::max(FLongest.load(), late));
      last = now;
    }
  }

  std::atomic<bool> FStop{false};
  std::atomic<int64_t> FLongest{0};
  std::thread FThread;
};
