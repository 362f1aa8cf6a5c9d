#include "linvoro_basetree.h"

// The tree is a template; this unit instantiates the point tree once so that
// its code is checked with the library.
template class TBalancedTree<TFloatPoint, TFloatPointCompare>;
