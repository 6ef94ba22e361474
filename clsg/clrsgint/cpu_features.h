// Run-time choice of the instruction set used by the vectorised kernels.
#pragma once

enum class kvSimdLevel { Portable = 0, Avx2 = 1, Avx512 = 2 };

// The best level this processor supports, lowered by kvSetSimdLimit().
kvSimdLevel kvActiveSimd();

// Caps the level the kernels may use (tests use it to run every path).
// Returns the previous cap. Not meant to be changed while kernels run.
kvSimdLevel kvSetSimdLimit(kvSimdLevel limit);
