// Opening a network folder for routes, with messages that say what to do.
#pragma once

#include <string>

#include "linvoro_lazynetwork.h"

// Opens dir read-only. Raises Exception with a message for the user: a
// missing folder, a file given as the folder, a folder without a network
// ("... build one with --network"), a network not in degrees, and a
// damaged network (the library's message, naming the folder, and "rebuild
// it with --network").
void OpenRouteNetwork(TLazyNetwork& nw, const std::string& dir);

// The folder's full path without a trailing separator.
std::string RouteFolderPath(const std::string& dir);
