// Points and numbers as users write them, for the command line, the pairs
// file and the route service alike.
#pragma once

#include <string>
#include <string_view>

#include "linvoro_types.h"

// Blanks around a field are not part of it.
std::string TrimBlanks(std::string_view s);

// A finite decimal number, a leading '+' allowed, nothing else around it.
bool ParseDecimal(std::string_view s, double& v);

// "LAT,LON" (blanks allowed around the numbers) as a point (x longitude, y
// latitude); false when it is not two numbers or lies outside -90..90,
// -180..180.
bool ParseLatLon(std::string_view text, TFloatPoint& p);
