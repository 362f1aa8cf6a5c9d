// What a front end checks before a run touches anything, and what it clears:
// the input files, and the results an earlier run left in the output folder.
// The window and the command-line tool ask the same questions of the same
// list of files (RunOutputFileNames), so that a run never leaves files of an
// earlier run beside its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Why the run could not read its input files: the message of the first file
// that does not exist, cannot be opened, is a folder, or holds none of the
// forms read (the message names the file); empty when every file can be
// read. Only opens regular files, so that it never waits on a pipe; what is
// not a regular file is left to the run.
std::string InputFilesProblem(const std::vector<std::string>& files);

// The files in folder dir that a run writes (RunOutputFileNames), in that
// list's order: what an earlier run left there. Empty when there are none,
// when the folder does not exist, or when it holds only a report page (what
// a run that failed or was stopped before its first table leaves), which
// the next run replaces.
std::vector<std::string> PreviousResults(const std::string& dir);

// The first of found, for a message: "roads.shp, roads.dbf, error.txt, ...".
std::string PreviousResultsText(const std::vector<std::string>& found, size_t shown = 3);

// Removes every file a run may write from folder dir (RunOutputFileNames),
// so that no table of another format or an older network stays beside the
// new results; removed counts them. A folder of such a name is left alone.
// False, with error naming the file, when one cannot be removed.
bool RemoveRunOutputs(const std::string& dir, int32_t& removed, std::string& error);

// The name an earlier run's findings.geojson is kept under when a new run
// into the same folder compares with it.
inline constexpr const char* EarlierFindingsName = "findings-earlier.geojson";

// Before RemoveRunOutputs: when compare is the findings.geojson of folder
// dir, it is renamed to EarlierFindingsName there (replacing an older one),
// so that the new run can compare with it; returns the file to compare
// with (compare itself otherwise). Empty, with error naming the file, when
// it cannot be renamed.
std::string KeepEarlierFindings(const std::string& dir, const std::string& compare, std::string& error);

// The log line after RemoveRunOutputs removed n > 0 files.
std::string RemovedFilesLine(int32_t removed);

// Lines of a text file (a last line without a line break counts); -1 when
// it cannot be read.
int64_t CountLines(const std::string& path);
