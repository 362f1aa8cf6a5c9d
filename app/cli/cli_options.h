// Command line of osm2trassel-cli: parsed into a run's options, apart from
// the I/O of the tool itself so that the rules can be tested.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "run_options.h"

struct TCliOptions {
  TRunOptions Run;          // first-start defaults, the settings file, then the flags
  std::string SettingsFile; // --settings, empty when not given
  bool OutputGiven = false; // -o was given (else the first file's folder)
  bool Quiet = false;
  bool Overwrite = false;   // -O: a previous run's results may be replaced
  bool Help = false;
  bool Version = false;
  std::vector<std::string> Warnings;  // notes for stderr that do not stop the run
};

enum class TCliParse { cpRun, cpHelp, cpVersion, cpUsageError };

// One option of a command line as given.
struct TCliArg {
  std::string name;
  std::string value;
  bool hasValue = false;
};

// Splits argv[1..] into the options named in known (name -> whether it takes
// a value, given as "--name=value" or as the next argument) and the operands:
// every argument that does not start with '-', "-" itself, everything after
// "--", and what operand (when given) accepts although it starts with '-'.
// False, with error, on an unknown option or a value missing or surplus.
bool SplitCommandLine(int argc, const char* const* argv, const std::map<std::string, bool>& known,
                      std::vector<TCliArg>& options, std::vector<std::string>& operands, std::string& error,
                      bool (*operand)(const std::string&) = nullptr);

// Parses argv[1..]. On cpUsageError, error holds the message. A settings
// file named by --settings is loaded before any other flag is applied, so
// flags override it; a missing settings file is a usage error.
TCliParse ParseCommandLine(int argc, const char* const* argv, TCliOptions& cli, std::string& error);

// The usage text printed by --help.
std::string UsageText();

// The folder of a file path with a trailing '/', "./" when it has none.
std::string FolderOf(const std::string& path);
