#include "clsg/clrsgint/internal_result_archive.h"

#include <cstdint>

#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/params.h"
#include "clsg/platform/pel_archive.h"
#include "clsg/platform/persistent.h"

namespace {

// Smallest record of one score image: version byte and bound flag.
constexpr uint64_t kMinBufferRecord = 2;
// A label is one byte and 255 means "no label".
constexpr std::size_t kMaxLabels = 254;

// The per-label score images: version 0, count, the buffers in label order.
// Stored one at a time, so a run's images are scored only while written.
void passLabelScores(kvArchive& archive, kvCompositeColorSegmenterInternalResult& r) {
    unsigned char version = 0;
    archive || version;
    if (version != 0) throw kvArchive::UnknownVersion(nullptr, 0);
    uint32_t count = static_cast<uint32_t>(r.labelScores.size());
    archive || count;
    if (archive.isStoring()) {
        for (std::size_t k = 0; k < count; ++k) {
            kvPelBuffer_const<double> scores = r.labelScores[k];
            archive || static_cast<kv_PelBuffer&>(scores);
        }
        return;
    }
    // Refused before anything is allocated: each score buffer is a few bytes
    // of file but a whole handle of memory.
    if (count > kMaxLabels) throw kvArchive::Corrupt("stored result has more than 254 labels");
    kvArchive::Claim claim(archive, count, kMinBufferRecord);
    r.labelScores = kvLabelScores();
    r.labelScores.held.assign(count, kvPelBuffer<double>());
    for (kvPelBuffer<double>& s : r.labelScores.held) {
        claim.next();
        archive || static_cast<kv_PelBuffer&>(s);
    }
}

void passTransform(kvArchive& archive, kv2XformHandle& xform) {
    if (archive.isStoring()) {
        kvPersistent* object = xform.get();
        kvPersistent::serializePointer(archive, object);
        return;
    }
    kvPersistent* object = nullptr;
    kvPersistent::serializePointer(archive, object);
    // Any other class of object stands for no transform.
    xform = kv2XformHandle(dynamic_cast<kv2XformBase*>(object));
}

void passVersion1(kvArchive& archive, kvCompositeColorSegmenterInternalResult& r) {
    archive || r.image || r.colorToleranceFrac || r.colorToleranceMin || r.neighborhoodSize;
    archive || r.quantTable;
    passLabelScores(archive, r);
    archive || r.levelStep;
    passTransform(archive, r.imageFromClientXform);
    for (std::size_t t = 0; t < 256; ++t) archive || r.reciprocalTable[t] || r.toleranceTable[t];
}

void loadVersion0(kvArchive& archive, kvCompositeColorSegmenterInternalResult& r) {
    archive || r.image || r.colorToleranceFrac || r.neighborhoodSize || r.quantTable;
    passLabelScores(archive, r);
    r.colorToleranceMin = 2;
    r.imageFromClientXform = r.image.imageFromClientXformBase();
    if (!r.imageFromClientXform) throw kvBadPointer("stored image has no transform");
}

// The derived images index every score image by the image's window, so a
// held run must have one bound, non-empty window shared by all of them. A
// record without scores must be the empty result.
void checkLoaded(const kvCompositeColorSegmenterInternalResult& r) {
    if (r.labelScores.held.empty()) {
        if (r.image.isBound()) throw kvArchive::Corrupt("stored result has an image but no scores");
        return;
    }
    if (r.neighborhoodSize <= 0)
        throw kvCompositeColorSegmenterDefs::BadParams("neighborhoodSize <= 0 ");
    if (r.neighborhoodSize > kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize)
        throw kvArchive::Corrupt("stored result has a neighbourhood larger than a run accepts");
    if (r.labelScores.held.size() > kMaxLabels)
        throw kvArchive::Corrupt("stored result has more than 254 labels");
    if (!r.image.isBound()) throw kvArchive::Corrupt("stored result has scores but no image");
    // A run over an empty image holds no score. Refused, because an empty
    // window may still claim billions of rows that every derived image walks.
    if (r.image.window().isEmpty()) throw kvArchive::Corrupt("stored result covers no pixel");
    for (const kvPelBuffer<double>& s : r.labelScores.held)
        if (!s.isBound() || s.window() != r.image.window())
            throw kvArchive::Corrupt("stored score image does not cover the image");
}

}  // namespace

kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterInternalResult& result) {
    unsigned char version = 1;
    archive || version;
    if (version > 1) throw kvArchive::UnknownVersion("clsg/clrsgint", 1625);
    if (archive.isStoring()) {
        passVersion1(archive, result);
        return archive;
    }
    kvCompositeColorSegmenterInternalResult loaded;
    if (version == 1)
        passVersion1(archive, loaded);
    else
        loadVersion0(archive, loaded);
    checkLoaded(loaded);
    result = std::move(loaded);
    return archive;
}
