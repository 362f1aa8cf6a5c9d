#include "linvoro_int64list.h"
