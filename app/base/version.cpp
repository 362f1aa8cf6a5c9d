// Keeps the core library non-empty even before any pass is linked in, and
// gives the version one home.
#include "version.h"
