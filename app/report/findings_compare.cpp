#include "findings_compare.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

#include "linvoro_json.h"
#include "linvoro_platform.h"

namespace {

// What is wrong with the text, without the file's name (added by the caller).
struct EBadJson : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A cursor over JSON text that takes what the findings need and steps over
// the rest; nesting is bounded so that no text can exhaust the stack.
class TJsonCursor {
 public:
  explicit TJsonCursor(std::string_view text) : T(text) {}

  void Ws() {
    while (P < T.size() && (T[P] == ' ' || T[P] == '\n' || T[P] == '\r' || T[P] == '\t')) ++P;
  }
  bool Eat(char c) {
    Ws();
    if (P < T.size() && T[P] == c) {
      ++P;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Eat(c)) Fail(std::string("'") + c + "' expected");
  }
  [[noreturn]] void Fail(const std::string& what) const {
    throw EBadJson(what + " at byte " + std::to_string(P + 1));
  }

  std::string String() {
    Expect('"');
    std::string out;
    while (true) {
      if (P >= T.size()) Fail("unterminated string");
      const char c = T[P++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (P >= T.size()) Fail("unterminated string");
      const char e = T[P++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp = Hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && P + 1 < T.size() && T[P] == '\\' && T[P + 1] == 'u') {
            P += 2;
            const uint32_t lo = Hex4();
            cp = lo >= 0xDC00 && lo < 0xE000 ? 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00) : 0xFFFD;
          } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
          }
          AppendUtf8(out, cp);
          break;
        }
        default: Fail("bad escape in a string");
      }
    }
  }

  // Steps over one value; returns its text.
  std::string_view Value(int depth = 0) {
    if (depth > 64) Fail("nesting too deep");
    Ws();
    const size_t start = P;
    if (P >= T.size()) Fail("value expected");
    const char c = T[P];
    if (c == '"') {
      String();
    } else if (c == '{') {
      ++P;
      if (!Eat('}')) {
        do {
          String();
          Expect(':');
          Value(depth + 1);
        } while (Eat(','));
        Expect('}');
      }
    } else if (c == '[') {
      ++P;
      if (!Eat(']')) {
        do Value(depth + 1);
        while (Eat(','));
        Expect(']');
      }
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      while (P < T.size() && std::string_view("+-.eE0123456789").find(T[P]) != std::string_view::npos) ++P;
    } else {
      for (const std::string_view word : {"true", "false", "null"})
        if (T.substr(P, word.size()) == word) P += word.size();
      if (P == start) Fail("value expected");
    }
    return T.substr(start, P - start);
  }

  std::string_view T;
  size_t P = 0;

 private:
  uint32_t Hex4() {
    if (P + 4 > T.size()) Fail("bad \\u escape");
    uint32_t v = 0;
    if (std::from_chars(T.data() + P, T.data() + P + 4, v, 16).ptr != T.data() + P + 4) Fail("bad \\u escape");
    P += 4;
    return v;
  }
};

bool NumberOf(std::string_view v, double& out) {
  const auto r = std::from_chars(v.data(), v.data() + v.size(), out);
  return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

bool WayOf(std::string_view v, int64_t& out) {
  const auto r = std::from_chars(v.data(), v.data() + v.size(), out);
  return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

// Every number of a coordinates array, in order.
void Numbers(std::string_view text, std::vector<double>& out) {
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '-' || (c >= '0' && c <= '9')) {
      size_t j = i;
      while (j < text.size() && std::string_view("+-.eE0123456789").find(text[j]) != std::string_view::npos) ++j;
      double d;
      if (NumberOf(text.substr(i, j - i), d)) out.push_back(d);
      i = j;
    } else {
      ++i;
    }
  }
}

// Metres between two points in degrees, on the sphere at small distances.
double Metres(const TFloatPoint& a, const TFloatPoint& b) {
  constexpr double kDeg = 6371008.8 * 3.14159265358979323846 / 180;
  const double dx = (a.x - b.x) * std::cos((a.y + b.y) * 3.14159265358979323846 / 360) * kDeg;
  const double dy = (a.y - b.y) * kDeg;
  return std::sqrt(dx * dx + dy * dy);
}

// Up to n points of a line, its ends among them, for the distance test.
std::vector<TFloatPoint> Sample(const TFloatPoint* p, int32_t count, int32_t n = 64) {
  std::vector<TFloatPoint> out;
  if (count <= 0) return out;
  if (count <= n) return std::vector<TFloatPoint>(p, p + count);
  for (int32_t i = 0; i < n; ++i) out.push_back(p[static_cast<int64_t>(i) * (count - 1) / (n - 1)]);
  return out;
}

}  // namespace

std::string FindingKey(std::string_view check, std::vector<int64_t> ways) {
  std::sort(ways.begin(), ways.end());
  std::string key(check);
  for (const int64_t w : ways) key += ',' + std::to_string(w);
  return key;
}

TEarlierFindings::TEarlierFindings(const std::string& path) : FPath(path) {
  const std::string what = "Cannot compare with \"" + path + "\". ";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw Exception(what + SystemErrorText(errno));
  if (!S_ISREG(st.st_mode)) throw Exception(what + "It is not a file; name the findings.geojson of an earlier run.");
  if (st.st_size > MaxFileSize)
    throw Exception(what + "It is larger than " + std::to_string(MaxFileSize >> 20) +
                    " MB; compare runs of smaller areas.");
  std::string text;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Exception(what + SystemErrorText(errno));
    text.resize(static_cast<size_t>(st.st_size));
    in.read(text.data(), st.st_size);
    text.resize(static_cast<size_t>(in.gcount()));
  }
  try {
    TJsonCursor j(text);
    j.Expect('{');
    bool features = false;
    if (!j.Eat('}')) {
      do {
        const std::string key = j.String();
        j.Expect(':');
        if (key != "features") {
          j.Value();
          continue;
        }
        features = true;
        j.Expect('[');
        if (j.Eat(']')) continue;
        do {
          TItem item;
          std::string_view geometry = "null";
          std::vector<std::pair<std::string, std::string_view>> props;
          j.Expect('{');
          if (!j.Eat('}')) {
            do {
              const std::string k = j.String();
              j.Expect(':');
              if (k == "geometry") {
                geometry = j.Value();
              } else if (k == "properties") {
                j.Expect('{');
                if (!j.Eat('}')) {
                  do {
                    std::string name = j.String();
                    j.Expect(':');
                    props.emplace_back(std::move(name), j.Value());
                  } while (j.Eat(','));
                  j.Expect('}');
                }
              } else {
                j.Value();
              }
            } while (j.Eat(','));
            j.Expect('}');
          }
          bool fixedBefore = false;
          for (const auto& [k, v] : props) {
            TJsonCursor vj(v);
            if (k == "check" && !v.empty() && v[0] == '"') {
              item.Check = vj.String();
            } else if (k == "name" && !v.empty() && v[0] == '"') {
              item.Name = vj.String();
            } else if (k == "change" && !v.empty() && v[0] == '"') {
              fixedBefore = vj.String() == "fixed";
            } else if (k == "osm_way") {
              int64_t w;
              if (WayOf(v, w)) item.Ways.push_back(w);
            } else if (k == "osm_ways") {
              std::vector<double> ws;
              Numbers(v, ws);
              item.Ways.clear();
              for (const double w : ws) item.Ways.push_back(static_cast<int64_t>(w));
            }
          }
          // What was fixed before is no finding of that run.
          if (item.Check.empty() || fixedBefore) continue;
          std::sort(item.Ways.begin(), item.Ways.end());
          item.Ways.erase(std::unique(item.Ways.begin(), item.Ways.end()), item.Ways.end());
          std::vector<double> xy;
          const size_t at = geometry.find("\"coordinates\"");
          if (at != std::string_view::npos) Numbers(geometry.substr(at + 13), xy);
          // Points of two coordinates (GeoJSON may add a height: not here).
          for (size_t i = 0; i + 1 < xy.size(); i += 2) item.Points.push_back({xy[i], xy[i + 1]});
          std::vector<TFloatPoint> all;
          all.swap(item.Points);
          item.Points = Sample(all.data(), static_cast<int32_t>(all.size()));
          item.Feature = "{\"type\":\"Feature\",\"geometry\":";
          item.Feature += geometry;
          item.Feature += ",\"properties\":{";
          bool first = true;
          for (const auto& [k, v] : props) {
            if (k == "change") continue;
            if (!first) item.Feature += ',';
            first = false;
            AppendJsonString(item.Feature, k);
            item.Feature += ':';
            item.Feature += v;
          }
          item.Feature += first ? "\"change\":\"fixed\"}}" : ",\"change\":\"fixed\"}}";
          FByKey[FindingKey(item.Check, item.Ways)].push_back(FItems.size());
          FItems.push_back(std::move(item));
        } while (j.Eat(','));
        j.Expect(']');
      } while (j.Eat(','));
      j.Expect('}');
    }
    if (!features) throw EBadJson("no \"features\"");
  } catch (const EBadJson& e) {
    throw Exception(what + "It is not a findings.geojson of a run (" + e.what() + ").");
  }
}

bool TEarlierFindings::Match(std::string_view check, const std::vector<int64_t>& ways, const TFloatPoint* points,
                             int32_t count) {
  std::vector<int64_t> w = ways;
  std::sort(w.begin(), w.end());
  w.erase(std::unique(w.begin(), w.end()), w.end());
  const auto it = FByKey.find(FindingKey(check, w));
  if (it == FByKey.end()) return false;
  const std::vector<TFloatPoint> mine = Sample(points, count);
  for (const size_t i : it->second) {
    TItem& item = FItems[i];
    if (item.Matched) continue;
    bool near = mine.empty() && item.Points.empty();
    for (size_t a = 0; a < mine.size() && !near; ++a)
      for (size_t b = 0; b < item.Points.size() && !near; ++b)
        near = Metres(mine[a], item.Points[b]) <= SameWithinMetres;
    if (near) {
      item.Matched = true;
      return true;
    }
  }
  return false;
}

void TEarlierFindings::ForEachFixed(const std::function<void(const TFixed&)>& f) const {
  for (const TItem& item : FItems)
    if (!item.Matched) f(TFixed{item.Check, item.Ways, item.Points, item.Name, item.Feature});
}
