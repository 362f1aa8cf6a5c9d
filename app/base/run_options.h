// The options of one conversion run, as plain data: the window and the
// command-line tool fill a TRunOptions (the settings file keeps it between
// runs), and every stage of the run reads its part of it.
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
  // An earlier run's findings.geojson to compare this run's findings with
  // (empty: none).
  std::string CompareFile;
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
