#include "clsg/colorseg/archive_operators.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>

#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/color_tables.h"
#include "clsg/clrsgint/internal_result_archive.h"
#include "clsg/colorseg/errors.h"
#include "clsg/platform/pel_archive.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

// Reader names and lines carried by kvArchive::UnknownVersion.
constexpr const char* kReader = "clsg/colorseg";
constexpr int kExampleLine = 190;
constexpr int kSetLine = 229;
constexpr int kTrainParamsLine = 274;
constexpr int kRunParamsLine = 324;
constexpr int kToolLine = 488;
constexpr int kResultLine = 553;

// Smallest records an element can have, to check stored counts against the
// bytes left before anything is sized by them. They also bound the memory a
// load takes per byte of input: the elements of a vector are allocated by count.
constexpr uint64_t kMinMaskRecord = 2;  // version, bound flag
// Version, colour space, three bound planes over an empty window (version,
// bound flag, pel size, four coordinates, a null transform). Unbound images
// are refused.
constexpr uint64_t kMinImageRecord = 1 + 4 + 3 * (1 + 1 + 1 + 16 + 1);
constexpr uint64_t kMinExampleRecord = 11;  // version, two empty vector framings
constexpr uint64_t kMinSetRecord = 6;       // version, one empty vector framing

// Passes the version byte: stores current, or loads the stored one and
// refuses anything above highest.
unsigned char passVersion(kvArchive& archive, unsigned char current, unsigned char highest,
                          const char* reader, int line) {
    unsigned char version = current;
    archive || version;
    if (version > highest) throw kvArchive::UnknownVersion(reader, line);
    return version;
}

// Vector framing: version 0, count, the elements in order. Loading builds a
// new vector, so v is replaced only when every element was read. A load may
// check the stored count (checkCount throws for one it refuses) before
// anything is allocated.
template <class T, class Pass>
void passVector(kvArchive& archive, std::vector<T>& v, uint64_t minElementRecord, Pass pass,
                const std::function<void(unsigned long)>& checkCount = {}) {
    passVersion(archive, 0, 0, nullptr, 0);
    unsigned long count = v.size();
    archive || count;
    if (archive.isStoring()) {
        for (T& element : v) pass(archive, element);
        return;
    }
    if (checkCount) checkCount(count);
    kvArchive::Claim claim(archive, count, minElementRecord);
    // Grown as elements are read, so that memory follows the records really
    // there: an element takes several times its smallest record.
    std::vector<T> loaded;
    loaded.reserve(std::min<unsigned long>(count, 256));
    for (unsigned long i = 0; i < count; ++i) {
        claim.next();
        T element;
        pass(archive, element);
        loaded.push_back(std::move(element));
    }
    v.swap(loaded);
}

// Images are not validated as add() validates them: a mask may have changed
// since (buffers are shared), and what training accepts must load. Only an
// unbound image, which this library never stores, is refused.
void passImage(kvArchive& archive, kv3PlanePelBuffer_const& image) {
    archive || image;
    if (archive.isLoading() && !image.isBound()) throw Defs::BadImage("image is not bound");
}
void passMask(kvArchive& archive, kvPelBuffer_const<unsigned char>& mask) {
    archive || static_cast<kv_PelBuffer&>(mask);
}
void passExample(kvArchive& archive, kvCompositeColor& example) { archive || example; }

// A tool's sets: what training would refuse (more than 254 sets, a set
// without examples, an example without images) is refused as soon as it is
// read, with training's error, before the rest of the record is sized. The
// order is training's, which checks the sets in the order they are stored.
void passTrainableExample(kvArchive& archive, kvCompositeColor& example) {
    archive || example;
    if (example.images().empty())
        throw Defs::BadParams("(!compositeColors[i].instances().images().size())");
}
void passTrainableSet(kvArchive& archive, kvCompositeColorSet& set) {
    if (archive.isStoring()) {
        archive || set;
        return;
    }
    // The set's own record, read example by example.
    passVersion(archive, 0, 0, kReader, kSetLine);
    std::vector<kvCompositeColor> examples;
    passVector(archive, examples, kMinExampleRecord, passTrainableExample);
    if (examples.empty()) throw Defs::BadParams("(!compositeColors[i].instances().size())");
    set.instances(examples);
}

}  // namespace

kvArchive& operator||(kvArchive& archive, kvCompositeColor& example) {
    const unsigned char version = passVersion(archive, 1, 1, kReader, kExampleLine);
    if (archive.isStoring()) {
        passVector(archive, example.images_, kMinImageRecord, passImage);
        passVector(archive, example.masks_, kMinMaskRecord, passMask);
        return archive;
    }
    std::vector<kv3PlanePelBuffer_const> images;
    std::vector<kvPelBuffer_const<unsigned char>> masks;
    if (version == 1) {
        passVector(archive, images, kMinImageRecord, passImage);
        const std::size_t pairs = images.size();
        passVector(archive, masks, kMinMaskRecord, passMask, [pairs](unsigned long count) {
            if (count != pairs)
                throw Defs::BadParams("The size of Images is not the same as the size of Masks");
        });
    } else {  // one image and its mask
        images.resize(1);
        masks.resize(1);
        passImage(archive, images[0]);
        passMask(archive, masks[0]);
    }
    example.images_.swap(images);
    example.masks_.swap(masks);
    return archive;
}

kvArchive& operator||(kvArchive& archive, kvCompositeColorSet& set) {
    passVersion(archive, 0, 0, kReader, kSetLine);
    passVector(archive, set.instances_, kMinExampleRecord, passExample);
    return archive;
}

kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterTrainParams& params) {
    const unsigned char version = passVersion(archive, 1, 1, kReader, kTrainParamsLine);
    if (archive.isStoring()) {
        archive || params.colorToleranceFrac_ || params.colorToleranceMin_;
        return archive;
    }
    double fraction = 0.0;
    uint32_t minimum = 2;
    archive || fraction;
    if (version == 1) archive || minimum;
    // Values outside 0..1 are kept (training accepts them), but not one
    // training cannot turn into its integer tables.
    if (!clsgint::trainFractionUsable(fraction))
        throw Defs::BadParams("colorToleranceFrac < 0 || colorToleranceFrac > 1");
    params.colorToleranceFrac_ = fraction;
    params.colorToleranceMin_ = minimum;
    return archive;
}

kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterRunParams& params) {
    passVersion(archive, 0, 0, kReader, kRunParamsLine);
    int32_t size = params.neighborhoodSize_;
    bool normalize = params.normalizeIntensity_;
    archive || size || normalize;
    if (archive.isLoading()) {
        if (size <= 0) throw Defs::BadParams("neighborhoodSize <= 0 ");
        params.neighborhoodSize_ = size;
        params.normalizeIntensity_ = normalize;
    }
    return archive;
}

kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterTool& tool) {
    passVersion(archive, 0, 0, kReader, kToolLine);
    if (archive.isStoring()) {
        passVector(archive, tool.compositeColors_, kMinSetRecord, passTrainableSet);
        archive || tool.trainParams_;
        return archive;
    }
    std::vector<kvCompositeColorSet> sets;
    kvCompositeColorSegmenterTrainParams params;
    passVector(archive, sets, kMinSetRecord, passTrainableSet, [](unsigned long count) {
        if (count > 254) throw Defs::TooManyCompositeColors("(compositeColors.size() > 254)");
    });
    archive || params;

    // The model is not stored: train a fresh tool, and swap it in only when
    // training succeeded. A record without sets gives an untrained tool.
    kvCompositeColorSegmenterTool loaded;
    if (!sets.empty()) {
        loaded.train(sets, params);
    } else {
        loaded.trainParams_ = params;
    }
    tool.model_.swap(loaded.model_);
    tool.compositeColors_.swap(loaded.compositeColors_);
    tool.trainParams_ = loaded.trainParams_;
    return archive;
}

kvArchive& operator||(kvArchive& archive, kvCompositeColorSegmenterResult& result) {
    passVersion(archive, 0, 0, kReader, kResultLine);
    // The internal result's operator loads all or nothing by itself.
    archive || *result.result_;
    return archive;
}
