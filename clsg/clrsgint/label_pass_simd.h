// The label pass's instruction-set paths (layout: simd_dispatch.h).
#pragma once

#include <cstddef>

#include "clsg/clrsgint/simd_dispatch.h"

namespace clsgint {

// Each path handles the pixels [0, n) for the largest n it can take in whole
// vectors and returns n; the driver finishes the row with the plain path.
using LabelRowFn = long (*)(const double* const* scores, std::size_t labels, long width,
                            unsigned char* label, unsigned char* confidence);

#ifdef CLSG_X86_SIMD
long labelRowAvx2(const double* const* scores, std::size_t labels, long width, unsigned char* label,
                  unsigned char* confidence);
long labelRowAvx512(const double* const* scores, std::size_t labels, long width,
                    unsigned char* label, unsigned char* confidence);
#endif

}  // namespace clsgint
