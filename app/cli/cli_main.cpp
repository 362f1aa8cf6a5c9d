// osm2trassel-cli: the conversion run from a terminal or a script.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cli_options.h"
#include "cli_route.h"
#include "cli_run.h"
#include "data_files.h"
#include "include_file.h"
#include "linvoro_platform.h"
#include "run_driver.h"
#include "version.h"

namespace {

// osm2trassel-cli serve runs osm2trassel-serve from beside this program:
// the service links the HTTP library, which this program, built for fast
// starts with its C++ runtime inside, must not load.
int ExecServeProgram(char** argv) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = ".";
  if (n > 0) {
    self[n] = 0;
    dir = self;
    dir = dir.substr(0, dir.rfind('/'));
  }
  std::string program = dir + "/osm2trassel-serve";
  argv[0] = program.data();
  execv(program.c_str(), argv);
  std::fprintf(stderr, "Cannot start \"%s\". %s\nInstall it beside osm2trassel-cli.\n", program.c_str(),
               SystemErrorText(errno).c_str());
  return 1;
}

// stdout and stderr lead to the same file (both a terminal, or one log):
// a message for both is printed once.
bool SameOutput() {
  struct stat a {}, b {};
  return fstat(STDOUT_FILENO, &a) == 0 && fstat(STDERR_FILENO, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// The log on stdout, line by line as the window shows it; the progress bar,
// labelled with the pass or stage, on stderr, only when stderr is a
// terminal.
class TConsoleUI : public IRunUI {
 public:
  explicit TConsoleUI(bool quiet) : FQuiet(quiet), FBar(!quiet && isatty(STDERR_FILENO)) {}

  void Log(const std::string& line) override {
    if (FQuiet) return;
    ClearBar();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  void Progress(int32_t percent) override {
    if (!FBar) return;
    std::fprintf(stderr, "\r\033[K%s", ProgressBarText(FLabel, percent).c_str());
    std::fflush(stderr);
    FShown = true;
  }
  void SelectFile(int32_t) override {}
  void Stage(const TRunStage& stage) override { FLabel = StageLabel(stage); }
  void MessageBox(const std::string& text) override {
    ClearBar();
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  void ProcessMessages() override {}
  bool CancelRequested() override {
    if (!StopRequested()) return false;
    if (!FStopShown) {
      FStopShown = true;
      ClearBar();
      std::fputs("Stopping at the next step; the tables written so far are completed"
                 " (a second Ctrl-C ends at once)\n",
                 stderr);
    }
    return true;
  }
  std::string LostCharactersAdvice() const override { return "give --encoding utf-8 to keep them"; }
  void Done() { ClearBar(); }
  bool Quiet() const { return FQuiet; }

 private:
  void ClearBar() {
    if (!FShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    FShown = false;
  }
  bool FQuiet;
  bool FBar;
  bool FShown = false;
  bool FStopShown = false;
  std::string FLabel;
};

}  // namespace

int main(int argc, char** argv) {
  // A command of its own, which only reads a network: no run, no signals.
  if (argc >= 2 && std::string(argv[1]) == "route") return RunRouteCommand(argc - 1, argv + 1, stdout, stderr);
  if (argc >= 2 && std::string(argv[1]) == "serve") return ExecServeProgram(argv + 1);
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
  InstallStopSignals();

  // Checks of the user's choices touch nothing.
  if (cli.Run.OutputModes() == 0) {
    std::fputs("Choose at least 1 mode in output\n", stderr);
    return 2;
  }
  // A run that cannot read its input would only leave an empty folder, or
  // lose the previous results to -O: the inputs are tried first.
  if (const std::string problem = InputFilesProblem(cli.Run.Files); !problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  }
  const std::string& dir = cli.Run.MainDir;
  if (!cli.Overwrite) {
    const std::vector<std::string> found = PreviousResults(dir);
    if (!found.empty()) {
      std::fprintf(stderr,
                   "osm2trassel-cli: the output folder \"%s\" already holds the results of a run (%s).\n"
                   "Give --overwrite (-O) to replace them, or choose another folder with -o.\n",
                   FullPath(dir).c_str(), PreviousResultsText(found).c_str());
      return 2;
    }
  }

  if (cli.OutputGiven) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      std::fprintf(stderr, "Cannot create folder \"%s\". %s\n", FullPath(dir).c_str(), ec.message().c_str());
      return 1;
    }
  }

  TConsoleUI ui(cli.Quiet);
  if (!cli.Run.CompareFile.empty()) {
    // Said before anything is removed; the run reads the file itself.
    struct stat st {};
    if (::stat(cli.Run.CompareFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      std::fprintf(stderr, "Cannot compare with \"%s\": it is not a file. Name the findings.geojson of an "
                   "earlier run.\n", cli.Run.CompareFile.c_str());
      return 1;
    }
  }
  if (cli.Overwrite) {
    int32_t removed = 0;
    // The findings this run replaces, when it compares with them.
    error.clear();
    cli.Run.CompareFile = KeepEarlierFindings(dir, cli.Run.CompareFile, error);
    if (!error.empty()) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    if (!RemoveRunOutputs(dir, removed, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    if (removed > 0) ui.Log(RemovedFilesLine(removed));
  }

  // As at the window's start: a missing include file is reported, and the
  // run goes on with empty lists (only ferries are selected then).
  TIncludeLists include;
  try {
    include.LoadIncludeFile(DataFileName("include.txt"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }

  const TRunResult r = RunConversion(cli.Run, include, ui);
  ui.Done();
  // The log (stdout) and stderr both tell how a run ended badly, once when
  // they lead to the same place.
  const bool logShown = !ui.Quiet() && !SameOutput();
  // The summary ends with the report, whatever way the run ended.
  const auto logReport = [&] {
    if (!r.ReportFile.empty()) ui.Log(ReportLogLine(r.ReportFile));
  };
  switch (r.Status) {
    case TRunStatus::rsOk:
      logReport();
      return 0;
    case TRunStatus::rsNoMode:
      return 2;  // the message box text is already on stderr
    case TRunStatus::rsFailed:
    case TRunStatus::rsHeaderFailed:  // the tables were written without that file's ways
      // The log's failure line came from the run, before its finish line.
      logReport();
      if (ui.Quiet() || logShown) std::fprintf(stderr, "%s\n", r.Message.c_str());
      return 1;
    case TRunStatus::rsCancelled:
      // The log already says so.
      logReport();
      if (ui.Quiet() || logShown) std::fputs("Run cancelled\n", stderr);
      return 130;  // as a shell reports a command ended by Ctrl-C
  }
  return 1;
}
