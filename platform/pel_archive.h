// Archive operators of pixel buffers.
//
// A buffer record: version byte 0, bound flag; when bound: pel size byte,
// window left, top, width, height (int32 each), the transform as a pointer
// record, then the pels row by row, little-endian. A colour image: version
// byte 0, colour-space tag (int32), then its three planes.
#pragma once

#include "clsg/platform/archive.h"
#include "clsg/platform/three_plane.h"

// Loading checks that the stored pel size matches the buffer's type.
kvArchive& operator||(kvArchive& archive, kv_PelBuffer& buffer);
kvArchive& operator||(kvArchive& archive, kv3PlanePelBuffer& image);
kvArchive& operator||(kvArchive& archive, kv3PlanePelBuffer_const& image);
