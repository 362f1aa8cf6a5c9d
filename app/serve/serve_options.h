// osm2trassel-cli serve: the argument parsing and the shell of the route
// service (app/serve). The service is its own program, osm2trassel-serve,
// beside the command-line tool: it links the HTTP library, which the tool,
// built for fast starts, does not.
#pragma once

#include <cstdio>
#include <string>

#include "route_server.h"

enum class TServeParse { spRun, spHelp, spUsageError };

TServeParse ParseServeCommandLine(int argc, const char* const* argv, TServeOptions& o, std::string& error);
std::string ServeUsageText();

// The whole command on argv after "serve"; returns the exit status (2 for a
// usage error).
int RunServeCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* err);
