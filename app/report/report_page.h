// The report of a run: report.html, one self-contained page that opens
// from the output folder offline (the run, its counts, a map of the road
// table with the findings above it, the list of findings with links to the
// OSM editors, the lines of error.txt), and findings.geojson beside it when
// checks ran. Every run writes it, also a failed or stopped one.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "check_sink.h"
#include "findings.h"
#include "include_file.h"
#include "report_roads.h"
#include "run_options.h"
#include "run_status.h"

// The page's fixed parts, built into the program: the page template, its
// style and script, the map library (OpenLayers) with its style and licence
// texts, and the SHA-256 of each inline script for the page's content
// security policy.
struct TReportAssets {
  std::string_view Template, Style, Script, MapLibrary, MapStyle, Licences;
  std::string_view ScriptHash, MapLibraryHash;  // base64, as the policy names them
};
const TReportAssets& ReportAssets();

// The options of a run as the page lists them: caption and value.
std::vector<std::pair<std::string, std::string>> DescribeOptions(const TRunOptions& o);

class TReportPage final : public TCheckSink {
 public:
  static constexpr const char* FileName = "report.html";
  // Lines of error.txt the page shows at most; it counts them all.
  static constexpr int64_t MaxErrorLines = 20000;

  // o: the run's reconciled options (MainDir with its trailing '/'). The
  // run starts now.
  TReportPage(const TRunOptions& o, const TIncludeLists& include,
             int64_t vertexBudget = TReportRoads::DefaultVertexBudget);

  TReportRoads& Roads() { return FRoads; }
  TFindings& Findings() { return FFindings; }
  // The form of each input file, as the run told it, in list order.
  void SetInputFormats(std::vector<std::string> formats) { FInputFormats = std::move(formats); }

  // The network stage's news.
  void NetworkBuilt(int64_t links, int64_t nodes) override {
    FLinks = links;
    FNodes = nodes;
  }
  void Attach(TNetwork& net) override { FFindings.Attach(net); }
  void Detach() override { FFindings.Detach(); }
  void Begin(const std::string& table) override { FFindings.Begin(table); }
  void End(const std::string& table, bool stopped) override { FFindings.End(table, stopped); }
  std::unique_ptr<TCheckRows> Rows(const std::string& table, TCheckText text) override {
    return FFindings.Part(table, std::move(text));
  }
  void Text(std::string_view block) override { FFindings.AppendPart(block); }

  // Completes findings.geojson and writes report.html for a run that ended
  // so; returns the page's path. Throws an error naming the file that could
  // not be written (a page cut short is removed).
  std::string Write(TRunStatus status, const std::string& message,
                    const std::vector<TWrittenTable>& tables);

  // The page's data (a JSON object), as Write embeds it.
  std::string DataJson(TRunStatus status, const std::string& message,
                       const std::vector<TWrittenTable>& tables, const std::string& endTime);

 private:
  void AppendErrors(std::string& out);
  void AppendFiles(std::string& out);

  const TRunOptions& FOptions;
  TReportRoads FRoads;
  TFindings FFindings;
  std::timespec FStart{};
  std::string FStartText;
  int64_t FLinks = -1, FNodes = -1;
  int64_t FErrorLines = -1;
  std::vector<std::string> FInputFormats;
};
