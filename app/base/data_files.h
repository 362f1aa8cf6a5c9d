// Where the program finds itself and the files delivered with it.
#pragma once

#include <string>

// Full path of the running executable; empty when it cannot be found.
std::string GetExeFileName();
// The executable's folder with trailing '/'; "./" when unknown.
std::string GetExeFolder();

// A data file delivered with the program (include.txt, help.html): beside the
// executable in a build tree, in <prefix>/share/osm2trassel/ when installed.
// When neither exists the path beside the executable is returned, so that the
// error names the place a user would look first.
std::string DataFileName(const std::string& name);
// The same for a program in exeFolder (with trailing '/').
std::string DataFileNameIn(const std::string& exeFolder, const std::string& name);
