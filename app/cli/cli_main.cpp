// osm2trassel-cli: the conversion run from a terminal or a script.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli_options.h"
#include "data_files.h"
#include "include_file.h"
#include "run_driver.h"
#include "version.h"

namespace {

// The log on stdout, line by line as the window shows it; the progress bar on
// stderr, only when stderr is a terminal.
class TConsoleUI : public IRunUI {
 public:
  TConsoleUI(const TRunOptions& o, bool quiet)
      : FFiles(o.Files), FQuiet(quiet), FBar(!quiet && isatty(STDERR_FILENO)) {}

  void Log(const std::string& line) override {
    if (FQuiet) return;
    ClearBar();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  void Progress(int32_t percent) override {
    if (!FBar) return;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    const int width = 30, filled = percent * width / 100;
    std::string name = FFile >= 0 && FFile < static_cast<int32_t>(FFiles.size())
                           ? std::filesystem::path(FFiles[static_cast<size_t>(FFile)]).filename().string()
                           : std::string();
    if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
    std::fprintf(stderr, "\r\033[K%s [%s%s] %3d%%", name.c_str(), std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(width - filled), '.').c_str(), percent);
    std::fflush(stderr);
    FShown = true;
  }
  void SelectFile(int32_t index) override { FFile = index; }
  void MessageBox(const std::string& text) override {
    ClearBar();
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  void ProcessMessages() override {}
  void Done() { ClearBar(); }

 private:
  void ClearBar() {
    if (!FShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    FShown = false;
  }
  const std::vector<std::string>& FFiles;
  bool FQuiet;
  bool FBar;
  bool FShown = false;
  int32_t FFile = -1;
};

}  // namespace

int main(int argc, char** argv) {
  TCliOptions cli;
  std::string error;
  switch (ParseCommandLine(argc, argv, cli, error)) {
    case TCliParse::cpHelp:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case TCliParse::cpVersion:
      std::printf("osm2trassel-cli (%s) %s\n", ProgramCaption, ProgramVersion);
      return 0;
    case TCliParse::cpUsageError:
      std::fprintf(stderr, "osm2trassel-cli: %s\nTry 'osm2trassel-cli --help'.\n", error.c_str());
      return 2;
    case TCliParse::cpRun:
      break;
  }
  for (const auto& w : cli.Warnings) std::fprintf(stderr, "osm2trassel-cli: %s\n", w.c_str());

  if (cli.OutputGiven) {
    std::error_code ec;
    std::filesystem::create_directories(cli.Run.MainDir, ec);
    if (ec) {
      std::fprintf(stderr, "Cannot create folder \"%s\". %s\n", cli.Run.MainDir.c_str(), ec.message().c_str());
      return 1;
    }
  }

  // As at the window's start: a missing include file is reported, and the
  // run goes on with empty lists (only ferries are selected then).
  TIncludeLists include;
  try {
    include.LoadIncludeFile(DataFileName("include.txt"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }

  TConsoleUI ui(cli.Run, cli.Quiet);
  const TRunResult r = RunConversion(cli.Run, include, ui);
  ui.Done();
  switch (r.Status) {
    case TRunStatus::rsOk:
      return 0;
    case TRunStatus::rsNoMode:
      return 2;  // the message box text is already on stderr
    case TRunStatus::rsFailed:
      std::fprintf(stderr, "%s\n", r.Message.c_str());
      return 1;
    case TRunStatus::rsCancelled:
      return 130;  // as a shell reports a command ended by Ctrl-C
  }
  return 1;
}
