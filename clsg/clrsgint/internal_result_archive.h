// Archive record of the internal result (inside a result's record).
#pragma once

#include "clsg/clrsgint/internal_result.h"
#include "clsg/platform/archive.h"

// Stores version 1; loads versions 0 and 1. Loading is all or nothing: the
// record is read into a fresh object and checked before it replaces result,
// so a load that throws leaves result as it was (caches included). Refused:
// a version above 1 (UnknownVersion "clsg/clrsgint", 1625), a score-block
// version other than 0 (UnknownVersion, no file, line 0), a version-0 image
// without a transform (kvBadPointer), a run with a neighborhoodSize below 1
// (BadParams "neighborhoodSize <= 0 "), and scores that do not fit the image
// (kvArchive::Corrupt): more than 254 labels, an unbound or empty image, a
// score image whose window is not the image's, or an image without scores.
kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterInternalResult& result);
