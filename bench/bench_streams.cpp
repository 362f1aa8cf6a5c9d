// Throughput of the buffered file stream for the long runs of small typed
// values the network files consist of, and of the text writer and reader.
// Usage: bench_streams [count of int32 values, default 100000000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

#include "linvoro_io.h"
#include "linvoro_platform.h"
#include "linvoro_textfilereader.h"
#include "linvoro_textfilewriter.h"

namespace {

// Wall time and the process's CPU time: on a shared machine the second
// shows what the code costs when the wall clock is dominated by others.
struct TClock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = CpuSeconds();
  static double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};

void Report(const char* what, double bytes, const TClock& t0) {
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0.wall).count();
  const double cpu = TClock::CpuSeconds() - t0.cpu;
  std::printf("%-40s %8.1f MB/s wall %8.1f MB/s cpu  (%.0f MB, %.3f s)\n", what, bytes / wall / 1e6,
              bytes / cpu / 1e6, bytes / 1e6, wall);
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t n = argc > 1 ? std::atoll(argv[1]) : 100000000;
  const std::string file = TempFolder() + "bench_streams_" + std::to_string(::getpid()) + ".bin";
  const double bytes = 4.0 * static_cast<double>(n);
  int rc = 0;
  try {
    {
      TClock t0;
      TLvBufferedStream s(new TLvFileStream(file, fmCreate), true);
      for (int64_t i = 0; i < n; ++i) s.WriteInt32(static_cast<int32_t>(i));
      s.Flush();
      Report("WriteInt32 via TLvBufferedStream", bytes, t0);
    }
    {
      TClock t0;
      TLvBufferedStream s(new TLvFileStream(file, fmOpenRead | fmShareDenyWrite), true);
      int64_t bad = 0;
      for (int64_t i = 0; i < n; ++i) bad += s.ReadInt32() != static_cast<int32_t>(i);
      Report("ReadInt32 via TLvBufferedStream", bytes, t0);
      if (bad) {
        std::printf("MISMATCH: %lld values differ\n", static_cast<long long>(bad));
        rc = 1;
      }
    }
    {
      // The same calls through a base-class reference, as writers hold them.
      TClock t0;
      TLvBufferedStream b(new TLvFileStream(file, fmOpenRead | fmShareDenyWrite), true);
      TLvStream& s = b;
      int64_t sum = 0;
      for (int64_t i = 0; i < n; ++i) sum += s.ReadInt32();
      Report("ReadInt32 via TLvStream& (buffered)", bytes, t0);
      if (sum != (n - 1) * n / 2 && n < 65536) rc = 1;
    }
    std::remove(file.c_str());

    // Text: 5 million lines of a MID-like record.
    const std::string txt = TempFolder() + "bench_streams_" + std::to_string(::getpid()) + ".txt";
    const int lines = static_cast<int>(std::min<int64_t>(n / 20, 5000000));
    const std::string line = "123456,\"Hauptstra\xC3\x9F" "e\",\"B 27\",50,0,1,\"residential\"";
    {
      TClock t0;
      TTextFileWriter w(txt, 1252, false);
      for (int i = 0; i < lines; ++i) w.writeln(line);
      w.Close();
      Report("TTextFileWriter.writeln (1252)", static_cast<double>(lines) * (line.size() + 1), t0);
    }
    {
      TClock t0;
      TTextFileReader r(txt, 1252);
      int count = 0;
      size_t chars = 0;
      while (!r.EOF()) {
        chars += r.ReadLine().size();
        ++count;
      }
      Report("TTextFileReader.ReadLine (1252)", static_cast<double>(r.Size()), t0);
      if (count != lines || chars != static_cast<size_t>(lines) * line.size()) {
        std::printf("MISMATCH: %d lines read\n", count);
        rc = 1;
      }
    }
    std::remove(txt.c_str());
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    std::remove(file.c_str());
    return 1;
  }
  return rc;
}
