// The reader of each form, chosen by what a file was found to hold.
#pragma once

#include <memory>

#include "osm_reader.h"

// The reader for a file of the given info (its form told before pass 1),
// opened at the file's start. Errors name the file.
std::unique_ptr<TOsmReader> OpenOsmReader(const TFileInfo& info);

