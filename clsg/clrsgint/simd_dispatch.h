// The layout every vectorised kernel family follows, and the switch that says
// whether the x86 paths exist in this build.
//
// A family FAMILY (instance_accumulator, instance_scoring, self_similarity)
// consists of:
//   FAMILY.h           what the rest of the library calls;
//   FAMILY_simd.h      the job structs all paths share and the declarations of
//                      the per-instruction-set entry points;
//   FAMILY.cpp         the plain path, the driver, and the choice of path by
//                      kvActiveSimd() (x86 paths only under CLSG_X86_SIMD);
//   FAMILY_avx2.cpp,
//   FAMILY_avx512.cpp  one path each, compiled with that instruction set's
//                      flags. CMakeLists.txt lists them in CLSG_AVX2_SOURCES /
//                      CLSG_AVX512_SOURCES; they are built only on x86.
// A new family copies this: add its files, list the per-instruction-set ones.
//
// Rules for a per-instruction-set file (it is compiled with instructions the
// processor may lack, and runs only after the driver chose it):
// - it includes only <immintrin.h>, <cstddef>/<cstdint> and its FAMILY_simd.h;
// - it calls no inline function or template of another header (std::min,
//   std::fill, a member function defined in a header): the linker may keep
//   that copy, compiled with these flags, for the plain path too. Helpers
//   shared with the plain path go in an unnamed namespace in FAMILY_simd.h;
// - everything but its entry points sits in an unnamed namespace.
#pragma once

#include "clsg/clrsgint/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#define CLSG_X86_SIMD 1
#endif
