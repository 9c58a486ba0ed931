// The one host array function the kernels call (the gain rules test a[0]
// for NaN), defined here so that the library needs no host layer. It stays
// local to the library (marrowick.map exports only marrowick_ functions).
#include "marrowick/mex.h"

bool mxIsNaN(double value) { return value != value; }
