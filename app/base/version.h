#pragma once

inline constexpr const char* ProgramName = "osm2trassel";
inline constexpr const char* ProgramCaption = "OSM > Trassel converter";
inline constexpr const char* ProgramVersion = "1.20";
