// The command-line tool around a run: what it checks and clears in the
// output folder before the run, how it labels its progress bar, and how
// Ctrl-C and SIGTERM reach the run. Apart from main() so that each can be
// tested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_ui.h"

// The files in folder dir that hold a previous run's results a new run
// must not silently replace: the road table in any format and the network
// set. Empty when there are none (or the folder does not exist).
std::vector<std::string> PreviousResults(const std::string& dir);

// Removes every file a run may write from folder dir (RunOutputFileNames),
// so that no table of another format or an older network stays beside the
// new results; removed counts them. False, with error naming the file,
// when one cannot be removed.
bool RemoveRunOutputs(const std::string& dir, int32_t& removed, std::string& error);

// The progress bar's label for a stage: "Pass 1/3, file 2 of 5: name.osm"
// for a pass (the file's name without its folder), the stage's name
// ("Network import", "Overpasses") otherwise.
std::string StageLabel(const TRunStage& stage);

// One line of the progress bar: the label (shortened at the front to at
// most 48 characters), a bar of 30 cells and the percent (0..100).
std::string ProgressBarText(const std::string& label, int32_t percent);

// SIGINT and SIGTERM ask the run to stop: the handlers only count them.
// A second one ends the process at once, as the signal would without a
// handler.
void InstallStopSignals();
// True once a stop signal arrived.
bool StopRequested();
