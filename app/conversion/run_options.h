// The options of one conversion run and their persistence in osm2trassel.ini.
// The window and the command-line tool both fill a TRunOptions; the run
// driver reads nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum TSpeedUnit : int32_t { suKmh = 0, suMph = 1, suAsIs = 2 };
enum TNameRef : int32_t { nrName = 0, nrNameRef = 1, nrNameUnlessRef = 2, nrNameAndRef = 3 };
enum TDriving : int32_t { drSkip = 0, drRight = 1, drLeft = 2 };

// Bits of OutputModes.
constexpr uint8_t ModePedestrian = 1;
constexpr uint8_t ModeBicycle = 2;
constexpr uint8_t ModeCar = 4;

// Index of each optional output item, in the window's list order.
enum TOptionalItem : int32_t {
  oiBridge = 0, oiLanes, oiMaxHeight, oiMaxSpeed, oiMaxWeight, oiMaxWidth, oiToll, oiTunnel,
  oiCount
};

struct TRunOptions {
  // Window state that the settings file persists, with first-start defaults.
  int32_t OutputFormat = 1;          // radio index: 0 MIF, 1 SHP, 2 TAB, 3 GPKG
  int32_t SpeedUnit = suAsIs;        // radio index of TSpeedUnit
  bool SplitLoopLinks = true;
  bool SplitLinks = true;
  bool Pedestrian = false;
  bool Bicycle = false;
  bool Car = true;
  bool Optional[oiCount] = {};       // Bridge .. Tunnel
  int32_t NameRef = nrNameAndRef;
  int32_t Driving = drSkip;
  bool BuildNetwork = false;
  bool Subnets = false;
  bool TopoChecks = false;
  bool Overpasses = false;           // never persisted
  int32_t Simplify = 0;              // 0..15 degrees
  double minObjectLen = 0.1;         // metres
  uint32_t NameLength = 50;
  uint32_t RefLength = 25;
  std::string ExitText = "Exit";
  // Encoding of the text of every table of the run: 0 the system's ANSI
  // code page (the default), 65001 UTF-8, else a Windows code page.
  uint16_t Encoding = 0;
  // Write report.html and, when checks run, findings.geojson.
  bool Report = true;

  // Not persisted: the run's inputs.
  std::vector<std::string> Files;
  std::string MainDir;               // output folder with trailing '/'

  uint8_t OutputModes() const {
    return (Pedestrian ? ModePedestrian : 0) | (Bicycle ? ModeBicycle : 0) | (Car ? ModeCar : 0);
  }
  // The writer format code of the chosen output format (gfMIF, gfSHP, gfMITAB, gfGPKG).
  uint8_t FF() const;
  // The code page the tables are written in: Encoding, or the system's.
  uint16_t TableCodePage() const;
};

// Reads an encoding as the settings file and the command line give it:
// "system" (0), "utf-8" or "utf8" (65001), or the number of a code page that
// tables can be written in (65001 is UTF-8). Letter case does not matter.
// False, with the reason in why when given, for anything else.
bool ParseEncoding(std::string_view text, uint16_t& encoding, std::string* why = nullptr);
// The settings file's form of an encoding: "system", "utf-8" or the number.
std::string EncodingText(uint16_t encoding);

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
