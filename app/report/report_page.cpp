#include "report_page.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "linvoro_textfilereader.h"
#include "output_files.h"
#include "report_text.h"
#include "version.h"
#include "whole_file.h"

namespace {

std::string LocalTimeText(const std::timespec& t) {
  std::tm tm{};
  localtime_r(&t.tv_sec, &tm);
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm);
  return std::string(buf, n);
}

std::timespec Now() {
  std::timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

const char* StatusKey(TRunStatus s) {
  switch (s) {
    case TRunStatus::rsOk: return "ok";
    case TRunStatus::rsCancelled: return "stopped";
    case TRunStatus::rsHeaderFailed: return "incomplete";
    default: return "failed";
  }
}

// At most max bytes of a line, never cut inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

std::string YesNo(bool v) { return v ? "yes" : "no"; }

}  // namespace

std::vector<std::pair<std::string, std::string>> DescribeOptions(const TRunOptions& o) {
  std::vector<std::pair<std::string, std::string>> d;
  static const char* const kFormats[] = {"MIF", "SHP", "TAB", "GPKG"};
  d.emplace_back("Output format", kFormats[o.OutputFormat >= 0 && o.OutputFormat <= 3 ? o.OutputFormat : 1]);
  std::string modes;
  for (const auto& [on, name] : {std::pair{o.Pedestrian, "Pedestrian"}, std::pair{o.Bicycle, "Bicycle"},
                                 std::pair{o.Car, "Car"}})
    if (on) modes += (modes.empty() ? "" : ", ") + std::string(name);
  d.emplace_back("Modes", modes.empty() ? "none" : modes);
  static const char* const kOptional[oiCount] = {"Bridge", "Lanes", "Max Height", "Max Speed",
                                                 "Max Weight", "Max Width", "Toll", "Tunnel"};
  std::string optional;
  for (int i = 0; i < oiCount; ++i)
    if (o.Optional[i]) optional += (optional.empty() ? "" : ", ") + std::string(kOptional[i]);
  d.emplace_back("Optional fields", optional.empty() ? "none" : optional);
  static const char* const kNameRef[] = {"Name", "Name (Ref)", "Name unless Ref is defined",
                                         "Name & Ref (2 fields)"};
  d.emplace_back("Output of Name and Ref", kNameRef[o.NameRef >= 0 && o.NameRef <= 3 ? o.NameRef : 3]);
  static const char* const kSpeed[] = {"km/h", "mph", "leave as is"};
  d.emplace_back("Speed unit", kSpeed[o.SpeedUnit >= 0 && o.SpeedUnit <= 2 ? o.SpeedUnit : 2]);
  static const char* const kDriving[] = {"Skip", "Right-hand driving", "Left-hand driving"};
  d.emplace_back("Roundabout checking", kDriving[o.Driving >= 0 && o.Driving <= 2 ? o.Driving : 0]);
  d.emplace_back("Simplification of geometry",
                 o.Simplify == 0 ? std::string("none") : std::to_string(o.Simplify) + " degrees");
  d.emplace_back("Split loop links", YesNo(o.SplitLoopLinks));
  d.emplace_back("Split links for routing", YesNo(o.SplitLinks));
  d.emplace_back("Shortest link written", FormatNumber(o.minObjectLen) + " m");
  d.emplace_back("Name and ref field widths",
                 std::to_string(o.NameLength) + " and " + std::to_string(o.RefLength));
  d.emplace_back("Exit text", o.ExitText);
  d.emplace_back("Table encoding", o.Encoding == 0 ? "system (code page " + std::to_string(o.TableCodePage()) + ")"
                                                   : o.Encoding == 65001 ? std::string("UTF-8")
                                                                          : "code page " + std::to_string(o.Encoding));
  d.emplace_back("Build Linvoro 4 network", YesNo(o.BuildNetwork));
  d.emplace_back("Detect subnets", YesNo(o.Subnets));
  d.emplace_back("Topological checks", YesNo(o.TopoChecks));
  d.emplace_back("Overpasses", YesNo(o.Overpasses && (o.Subnets || o.TopoChecks)));
  return d;
}

TReportPage::TReportPage(const TRunOptions& o, const TIncludeLists& include, int64_t vertexBudget)
    : FOptions(o),
      FRoads(include, vertexBudget),
      FFindings(o.MainDir + TFindings::FileName, &FRoads),
      FStart(Now()),
      FStartText(LocalTimeText(FStart)) {
  if (o.FF() == gfGPKG) FFindings.SetGpkgFile(o.MainDir + GpkgFileName);
}

void TReportPage::AppendErrors(std::string& out) {
  // error.txt of this run only: an older one is not this run's findings.
  const std::string path = FOptions.MainDir + "error.txt";
  struct stat st {};
  FErrorLines = -1;
  out += "{\"lines\":[";
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtim.tv_sec >= FStart.tv_sec - 1) {
    try {
      TTextFileReader reader(path, FOptions.TableCodePage());
      int64_t n = 0;
      while (!reader.EOF()) {
        const std::string line = reader.ReadLine();
        if (n < MaxErrorLines) {
          if (n) out += ',';
          AppendJsonString(out, CutUtf8(line, 2000));
        }
        ++n;
      }
      FErrorLines = n;
    } catch (const std::exception&) {
      // Not readable after all: the page says nothing about its lines.
    }
  }
  out += "],\"total\":";
  if (FErrorLines >= 0)
    AppendJsonInt(out, FErrorLines);
  else
    out += "null";
  out += '}';
}

void TReportPage::AppendFiles(std::string& out) {
  // What this run wrote: the files a run writes that have changed since it
  // began (a second's slack for file systems with coarse times).
  // Each with its group: the table it belongs to, the network, or none.
  const std::vector<std::string> network = NetworkFileNames();
  std::vector<std::string> tables = CheckTableNames();
  tables.insert(tables.begin(), "roads");
  out += '[';
  bool first = true;
  for (const std::string& name : RunOutputFileNames()) {
    if (name == FileName) continue;  // being written
    struct stat st {};
    if (stat((FOptions.MainDir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_mtim.tv_sec < FStart.tv_sec - 1) continue;
    std::string group;
    for (const std::string& t : tables)
      if (name.size() > t.size() && name.compare(0, t.size(), t) == 0 && name[t.size()] == '.') group = t;
    for (const std::string& n : network)
      if (name == n) group = "network";
    if (!first) out += ',';
    first = false;
    out += "{\"name\":";
    AppendJsonString(out, name);
    out += ",\"group\":";
    AppendJsonString(out, group);
    out += ",\"size\":";
    AppendJsonInt(out, static_cast<int64_t>(st.st_size));
    out += '}';
  }
  if (!first) out += ',';
  out += "{\"name\":";
  AppendJsonString(out, FileName);
  out += ",\"group\":\"\",\"size\":null}]";
}

std::string TReportPage::DataJson(TRunStatus status, const std::string& message,
                                 const std::vector<TWrittenTable>& tables, const std::string& endTime) {
  const TRunOptions& o = FOptions;
  std::string out;
  out.reserve(static_cast<size_t>(FRoads.Vertices()) * 6 + (1 << 16));
  out += "{\"program\":";
  AppendJsonString(out, ProgramCaption);
  out += ",\"version\":";
  AppendJsonString(out, ProgramVersion);
  out += ",\"status\":";
  AppendJsonString(out, StatusKey(status));
  out += ",\"message\":";
  AppendJsonString(out, message);
  out += ",\"start\":";
  AppendJsonString(out, FStartText);
  out += ",\"end\":";
  AppendJsonString(out, endTime);
  out += ",\"folder\":";
  AppendJsonString(out, FullPath(o.MainDir));

  out += ",\"inputs\":[";
  for (size_t i = 0; i < o.Files.size(); ++i) {
    const std::string& f = o.Files[i];
    if (i) out += ',';
    out += "{\"name\":";
    AppendJsonString(out, f);
    out += ",\"format\":";
    // Unknown when the run ended before it told the files' forms.
    if (i < FInputFormats.size())
      AppendJsonString(out, FInputFormats[i]);
    else
      out += "null";
    out += ",\"size\":";
    struct stat st {};
    if (stat(f.c_str(), &st) == 0)
      AppendJsonInt(out, static_cast<int64_t>(st.st_size));
    else
      out += "null";
    out += '}';
  }
  out += "],\"options\":[";
  bool first = true;
  for (const auto& [caption, value] : DescribeOptions(o)) {
    if (!first) out += ',';
    first = false;
    out += '[';
    AppendJsonString(out, caption);
    out += ',';
    AppendJsonString(out, value);
    out += ']';
  }
  out += "],\"tables\":[";
  int64_t roadRecords = -1;
  for (size_t i = 0; i < tables.size(); ++i) {
    const TWrittenTable& t = tables[i];
    if (t.Name == "roads") roadRecords = t.Records;
    if (i) out += ',';
    out += "{\"name\":";
    AppendJsonString(out, t.Name);
    out += ",\"format\":";
    AppendJsonString(out, t.Format);
    out += ",\"records\":";
    AppendJsonInt(out, t.Records);
    out += '}';
  }
  out += "],\"errors\":";
  AppendErrors(out);
  out += ",\"counts\":{\"roads\":";
  const auto countOrNull = [&out](int64_t v) {
    if (v >= 0)
      AppendJsonInt(out, v);
    else
      out += "null";
  };
  countOrNull(roadRecords);
  out += ",\"errors\":";
  countOrNull(FErrorLines);
  out += ",\"links\":";
  countOrNull(FLinks);
  out += ",\"nodes\":";
  countOrNull(FNodes);
  out += "},\"network\":";
  out += o.BuildNetwork ? "true" : "false";
  out += ",\"checksChosen\":{\"subnets\":";
  out += o.Subnets ? "true" : "false";
  out += ",\"topo\":";
  out += o.TopoChecks ? "true" : "false";
  out += ",\"overpasses\":";
  out += o.Overpasses && (o.Subnets || o.TopoChecks) ? "true" : "false";
  out += "},\"findingsFile\":";
  if (FFindings.FileCreated())
    AppendJsonString(out, TFindings::FileName);
  else
    out += "null";
  out += ",\"compared\":";
  if (const TEarlierFindings* e = FFindings.Earlier(); e && FFindings.FileCreated())
    AppendJsonString(out, FullPath(e->Path()));
  else
    out += "null";
  out += ",\"files\":";
  AppendFiles(out);
  out += ",\"roads\":";
  FRoads.AppendJson(out);
  out += ",\"checks\":";
  FFindings.AppendJson(out, status == TRunStatus::rsCancelled);
  out += '}';
  return out;
}

std::string TReportPage::Write(TRunStatus status, const std::string& message,
                              const std::vector<TWrittenTable>& tables) {
  FFindings.Detach();
  FFindings.Close(status == TRunStatus::rsCancelled);
  const std::string endTime = LocalTimeText(Now());
  const std::string data = DataJson(status, message, tables, endTime);

  const TReportAssets& a = ReportAssets();
  std::string banner;
  switch (status) {
    case TRunStatus::rsOk: break;
    case TRunStatus::rsCancelled:
      banner = "<div id=\"run-status\" class=\"status stopped\"><strong>The run was stopped</strong> at " +
               HtmlEscape(endTime) + ". The tables written until then are complete; this page shows them.</div>";
      break;
    case TRunStatus::rsHeaderFailed:
      banner = "<div id=\"run-status\" class=\"status failed\"><strong>The run is incomplete:</strong> " +
               HtmlEscape(message) + "</div>";
      break;
    default:
      banner = "<div id=\"run-status\" class=\"status failed\"><strong>The run failed:</strong> " +
               HtmlEscape(message) + "<br>The files written until then stay; this page shows them.</div>";
      break;
  }
  const std::string csp = "default-src 'none'; script-src 'sha256-" + std::string(a.MapLibraryHash) +
                          "' 'sha256-" + std::string(a.ScriptHash) +
                          "'; style-src 'unsafe-inline'; img-src data: blob:; frame-src http://127.0.0.1:8111";

  const std::string path = FOptions.MainDir + FileName;
  TWholeFile page(path);
  // The template's markers: @@NAME@@, each replaced by its part.
  const auto fill = [&](std::string_view name) {
    if (name == "CSP")
      page.Write(HtmlEscape(csp));
    else if (name == "MAP_STYLE")
      page.Write(a.MapStyle);
    else if (name == "STYLE")
      page.Write(a.Style);
    else if (name == "STATUS")
      page.Write(banner);
    else if (name == "DATA")
      page.Write(JsonAsAscii(data));
    else if (name == "LICENCES")
      page.Write(HtmlEscape(a.Licences));
    else if (name == "MAP_LIBRARY")
      page.Write(a.MapLibrary);
    else if (name == "SCRIPT")
      page.Write(a.Script);
    else
      throw Exception("The report template names an unknown part " + std::string(name));
  };
  std::string_view rest = a.Template;
  for (size_t at; (at = rest.find("@@")) != std::string_view::npos;) {
    const size_t end = rest.find("@@", at + 2);
    if (end == std::string_view::npos) break;
    page.Write(rest.substr(0, at));
    fill(rest.substr(at + 2, end - at - 2));
    rest = rest.substr(end + 2);
  }
  page.Write(rest);
  page.Close();
  return FullPath(path);
}
