// The files a run writes into its output folder, by name, for front ends
// that look for a previous run's results or clear them.
#pragma once

#include <string>
#include <vector>

// Extensions of a table's files in every format the run can write: MIF/MID,
// shapefile (.shp, .shx, .dbf, .prj, .cpg, and .dbf.tmp while a table is
// narrowed on close) and TAB (.tab, .dat, .map, .id, .ind).
const std::vector<std::string>& TableExtensions();

// Base names of the check tables, in the order a run writes them.
const std::vector<std::string>& CheckTableNames();

// The Linvoro 4 file set as a run writes it: the import's files (temporary
// ones included) and its report, then the attribute and road-name files.
std::vector<std::string> NetworkFileNames();

// The road table "roads" in every format.
std::vector<std::string> RoadTableFileNames();

// The run's report page and its findings file.
inline constexpr const char* ReportPageFileName = "report.html";
const std::vector<const char*>& ReportFileNames();

// Every file a run may write: the road table in every format, error.txt,
// additional_highway_tags.txt, the network set, the check tables in every
// format, and the report with its findings file.
std::vector<std::string> RunOutputFileNames();
