// The command-line tool around a run: how it labels its progress bar, and how
// Ctrl-C and SIGTERM reach the run. Apart from main() so that each can be
// tested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_folder.h"  // PreviousResults, RemoveRunOutputs: the same as the window's
#include "run_ui.h"

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
