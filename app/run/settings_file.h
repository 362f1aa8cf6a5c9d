// The options' persistence in osm2trassel.ini, and the locale's number form
// the file keeps them in.
#pragma once

#include <string>

#include "run_options.h"

// Settings folder: $XDG_CONFIG_HOME (or ~/.config) + "/osm2trassel/", created
// when missing (one level). Throws EOSError on failure to create it.
std::string SettingsFolder();
// SettingsFolder() + "osm2trassel.ini".
std::string DefaultSettingsPath();

// Reads [main] in key order; a missing key, an integer that does not parse,
// a number that is not in the user's locale format or an encoding that is
// none (ParseEncoding) keeps the default; a boolean is true for any non-zero
// integer. "buildnetwork" false keeps the sub-options' stored values: the
// front end shows them disabled and the run ignores them. Returns false when
// the file does not exist (o unchanged).
bool LoadSettings(const std::string& path, TRunOptions& o);

// Writes every key but "ExitText" in key order into [main], keeping every
// other line of the file (other sections, unknown keys, ExitText). The
// "encoding" key is written only when the file has it already or the
// encoding is not the system's, so that the files of users who never chose
// one stay as they were. Throws EFCreateError when the file cannot be written.
void SaveSettings(const std::string& path, const TRunOptions& o);

// The decimal separator of the user's locale (LC_NUMERIC of the environment,
// read without changing the process's locale); "." when unknown.
std::string LocaleDecimalPoint();
// A floating-point value in the user's locale format, as the settings file
// stores minObjectLength: general format, the locale's decimal separator.
std::string FormatLocaleFloat(double x);
std::string FormatLocaleFloat(double x, const std::string& point);
// Accepts the locale's decimal separator and "."; false when the whole text
// (spaces around it aside) is not a finite number.
bool ParseLocaleFloat(const std::string& text, double& x);
bool ParseLocaleFloat(const std::string& text, double& x, const std::string& point);
