// linvoro_config.ini: the description of a network file set (unit,
// coordinate system, link count, bounds) protected by a 16-bit checksum over
// its own lines, plus the coordinate-unit tables every network object shares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_types.h"

inline constexpr const char* ConfigFileName = "linvoro_config.ini";

struct TConfig {
  int32_t VersionCode = 0;
  TCoordinateUnit Cu = cuUnknown;
  std::string CoordSys;
  std::string Prj;
  int32_t Epsg = 0;
  int32_t LinkCount = 0;
  TFloatRect Mbr;
  double CheckSum = 0;
};

// "Radians" .. "Nautical Miles" by unit code; "Unknown" for cuUnknown and
// anything outside the table.
std::string CoordinateUnitName(TCoordinateUnit unit);
// The unit named (letter case ignored); cuUnknown for an unknown name.
TCoordinateUnit CoordinateUnitFromName(std::string_view name);

// Kilometres per coordinate unit; for the angular units the earth radius, to
// be applied to an arc in radians. cuUnknown (or any code outside the table)
// raises Exception("Undefined coordinate in DistFactor").
double DistFactor(TCoordinateUnit unit);

// The checksum over the lines of a config file (line terminators excluded),
// concatenated in order: h := (h * 17 + code) AND 0xFFFF per character.
uint32_t ConfigCheckSum(const std::vector<std::string>& lines, size_t count);

// Writes FileName (replacing it) in the system ANSI code page: the section,
// the keys, then the checksum computed over the file as read back.
// Config.VersionCode and Config.CheckSum are ignored: the version written is
// always NetworkVersion.
void WriteConfigFile(const std::string& FileName, const TConfig& Config);

// Reads FileName; a missing file raises EFOpenError, a checksum that does
// not match the lines raises EConfigFileCheckSumError("The config file is
// corrupted"). The version is returned as found; checking it is the
// caller's business.
TConfig ReadConfigFile(const std::string& FileName);
