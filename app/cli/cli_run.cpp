#include "cli_run.h"

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

std::string StageLabel(const TRunStage& stage) {
  if (stage.Kind != TStageKind::skPass || stage.File < 0) return stage.Name;
  return stage.Name + ", file " + std::to_string(stage.File + 1) + " of " +
         std::to_string(stage.FileCount) + ": " + fs::path(stage.FileName).filename().string();
}

std::string ProgressBarText(const std::string& label, int32_t percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  constexpr int width = 30;
  constexpr size_t maxLabel = 48;
  const int filled = percent * width / 100;
  std::string text = label;
  if (text.size() > maxLabel) {
    // Cut at the front, keeping the file name's end; never inside a UTF-8
    // sequence.
    size_t cut = text.size() - (maxLabel - 3);
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    text = "..." + text.substr(cut);
  }
  char pct[8];
  std::snprintf(pct, sizeof pct, "%3d%%", percent);
  return text + " [" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '.') +
         "] " + pct;
}

namespace {

// Lock-free, so that the handler may touch it.
std::atomic<int> gStopSignals{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int sig) {
  if (gStopSignals.fetch_add(1) == 0) return;
  // The second signal: what the signal does without a handler, now.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // Interrupted reads and writes are resumed; the run polls the flag.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested() { return gStopSignals.load(std::memory_order_relaxed) > 0; }
