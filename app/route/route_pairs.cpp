#include "route_pairs.h"

#include <cerrno>
#include <cmath>
#include <exception>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "route_points.h"
#include "route_trip.h"

namespace {

// The CSV of --pairs, row by row, to the standard output or a file that is
// removed again when the command fails.
class TCsvSink {
 public:
  TCsvSink(const std::string& path, std::FILE* out) : FPath(path) {
    FFile = path.empty() ? out : std::fopen(path.c_str(), "wb");
    if (!FFile) FError = errno;
  }
  ~TCsvSink() {
    if (FFile && !FPath.empty()) std::fclose(FFile);
  }
  TCsvSink(const TCsvSink&) = delete;
  TCsvSink& operator=(const TCsvSink&) = delete;
  bool Ok() const { return FFile != nullptr; }
  int Error() const { return FError; }
  bool Write(const std::string& row) {
    if (std::fwrite(row.data(), 1, row.size(), FFile) != row.size()) {
      FError = errno;
      return false;
    }
    return true;
  }
  // Closes a file; false (with Error) when it could not be written whole.
  bool Finish() {
    if (FPath.empty()) return std::fflush(FFile) == 0;
    const bool ok = std::fclose(FFile) == 0;
    if (!ok) FError = errno;
    FFile = nullptr;
    return ok;
  }
  void Discard() {
    if (FPath.empty()) return;
    if (FFile) std::fclose(FFile);
    FFile = nullptr;
    std::remove(FPath.c_str());
  }

 private:
  std::string FPath;
  std::FILE* FFile = nullptr;
  int FError = 0;
};

// A line of the file: a pair, or the reason it is none.
struct TPair {
  std::string text[4];
  TFloatPoint from, to;
  std::string bad;
};

// Splits a CSV line into fields (a field may be quoted).
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string cur;
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        cur += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cur += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(TrimBlanks(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  fields.push_back(TrimBlanks(cur));
  return fields;
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string r = "\"";
  for (const char c : s) {
    if (c == '"') r += '"';
    r += (c == '\r' || c == '\n') ? ' ' : c;
  }
  return r + "\"";
}

// The next line of f without its end, at most limit bytes: false at the end
// of the file; tooLong when the line goes on beyond limit (the rest of it is
// read and dropped, so a file without line ends cannot fill the memory).
bool ReadLine(std::FILE* f, std::string& line, size_t limit, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c;
  bool any = false;
  while ((c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (line.size() == limit) {
      tooLong = true;
      continue;
    }
    line.push_back(static_cast<char>(c));
  }
  return any;
}

}  // namespace

int RunPairs(const TPairsJob& job, TLegRouter& router, std::FILE* out, std::FILE* err) {
  std::FILE* in = std::fopen(job.Pairs.c_str(), "rb");
  if (!in) {
    std::fprintf(err, "Cannot open file \"%s\". %s\n", FullPath(job.Pairs).c_str(), SystemErrorText(errno).c_str());
    return 1;
  }
  struct TCloser {
    std::FILE* f;
    ~TCloser() { std::fclose(f); }
  } closeIn{in};
  TCsvSink sink(job.Output, out);
  if (!sink.Ok()) {
    std::fprintf(err, "Cannot create file \"%s\". %s\n", FullPath(job.Output).c_str(),
                 SystemErrorText(sink.Error()).c_str());
    return 1;
  }
  auto writeFailed = [&] {
    std::fprintf(err, "Cannot write file \"%s\". %s\n",
                 job.Output.empty() ? "(standard output)" : FullPath(job.Output).c_str(),
                 SystemErrorText(sink.Error()).c_str());
    sink.Discard();
    return 1;
  };
  // Columns after the first six are added at the end: scripts that read
  // the older rows by position still find theirs.
  if (!sink.Write("from_lat,from_lon,to_lat,to_lon,length_km,links,reason,duration_s\n")) return writeFailed();

  // Pairs are placed a batch at a time: one pass over the spatial index for
  // many points, and memory that does not grow with the file.
  constexpr size_t Batch = 2048;
  constexpr size_t MaxLine = 65536;
  std::vector<TPair> pairs;
  std::vector<TFloatPoint> points;
  std::vector<TLinkPlace> places;
  int64_t lineNo = 0, routed = 0, unroutable = 0, malformed = 0;
  bool firstLine = true;
  const std::string far = "farther than " + FormatNumber(job.MaxSnap) + " m from every usable link";
  TTripPlanner planner(router);
  auto flush = [&]() -> bool {
    points.clear();
    for (const TPair& p : pairs)
      if (p.bad.empty()) {
        points.push_back(p.from);
        points.push_back(p.to);
      }
    router.Place(points, job.MaxSnap / 1000, places);
    size_t k = 0;
    for (const TPair& p : pairs) {
      std::string row;
      if (!p.bad.empty()) {
        row = ",,,,,," + CsvField("bad line: " + p.bad) + ",\n";
        ++malformed;
        if (!sink.Write(row)) return false;
        continue;
      }
      const TLinkPlace& a = places[k];
      const TLinkPlace& b = places[k + 1];
      k += 2;
      row = p.text[0] + "," + p.text[1] + "," + p.text[2] + "," + p.text[3] + ",";
      std::string reason;
      if (!a.Placed() && !b.Placed())
        reason = "both points " + far;
      else if (!a.Placed())
        reason = "from point " + far;
      else if (!b.Placed())
        reason = "to point " + far;
      TTripResult trip;
      if (reason.empty()) {
        const std::vector<TLinkPlace> two{a, b};
        trip = planner.Plan({p.from, p.to}, {p.text[0] + "," + p.text[1], p.text[2] + "," + p.text[3]}, job.MaxSnap,
                            &two);
        if (trip.status != TTripStatus::tsRouted)
          reason = trip.message.find("one-way") != std::string::npos ? "the one-way rules allow no way"
                                                                     : "different simple subnets";
      }
      if (reason.empty()) {
        row += FormatDecimals(trip.length, 6) + "," + std::to_string(trip.links.size()) + ",," +
               FormatDecimals(trip.duration, 1) + "\n";
        ++routed;
      } else {
        row += ",," + reason + ",\n";
        ++unroutable;
      }
      if (!sink.Write(row)) return false;
    }
    pairs.clear();
    return true;
  };
  std::string line;
  bool tooLong;
  // A network found damaged halfway leaves no half-written -o file.
  struct TDiscardOnThrow {
    TCsvSink& sink;
    int pending = std::uncaught_exceptions();
    ~TDiscardOnThrow() {
      if (std::uncaught_exceptions() > pending) sink.Discard();
    }
  } discardOnThrow{sink};
  while (ReadLine(in, line, MaxLine, tooLong)) {
    ++lineNo;
    TPair p;
    const std::string where = "line " + std::to_string(lineNo);
    if (tooLong) {
      p.bad = where + ": longer than " + std::to_string(MaxLine) + " bytes";
      firstLine = false;
      pairs.push_back(std::move(p));
      if (pairs.size() == Batch && !flush()) return writeFailed();
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNo == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (TrimBlanks(line).empty()) continue;
    const std::vector<std::string> f = CsvFields(line);
    double v[4] = {};
    bool ok = f.size() == 4;
    for (size_t k = 0; ok && k < 4; ++k) ok = ParseDecimal(f[k], v[k]);
    // Only the first line may be a header: it does not start with a number.
    if (firstLine) {
      firstLine = false;
      double first;
      if (!ok && (f.empty() || !ParseDecimal(f[0], first))) continue;
    }
    ok = ok && std::fabs(v[0]) <= 90 && std::fabs(v[1]) <= 180 && std::fabs(v[2]) <= 90 && std::fabs(v[3]) <= 180;
    if (!ok) {
      p.bad = where + ": expected from_lat,from_lon,to_lat,to_lon in degrees, found \"" + line.substr(0, 200) +
              (line.size() > 200 ? "...\"" : "\"");
      std::fprintf(err, "%s %s\n", FullPath(job.Pairs).c_str(), p.bad.c_str());
    } else {
      for (size_t k = 0; k < 4; ++k) p.text[k] = f[k];
      p.from = {v[1], v[0]};
      p.to = {v[3], v[2]};
    }
    pairs.push_back(std::move(p));
    if (pairs.size() == Batch && !flush()) return writeFailed();
  }
  if (std::ferror(in)) {
    std::fprintf(err, "Cannot read file \"%s\". %s\n", FullPath(job.Pairs).c_str(), SystemErrorText(errno).c_str());
    sink.Discard();
    return 1;
  }
  if (!pairs.empty() && !flush()) return writeFailed();
  if (!sink.Finish()) return writeFailed();
  if (unroutable > 0 || malformed > 0) {
    std::fprintf(err, "%lld routed, %lld without a route, %lld malformed lines\n", static_cast<long long>(routed),
                 static_cast<long long>(unroutable), static_cast<long long>(malformed));
    return 1;
  }
  return 0;
}
