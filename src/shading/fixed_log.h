// Fixed-point base-2 logarithm and power (log2_fix, pow2_fix): declared with
// the other shading numeric helpers.
#pragma once

#include "shading/numeric.h"
