#include "clsg/colorseg/segmenter_result.h"

#include "clsg/clrsgint/internal_result.h"
#include "clsg/colorseg/errors.h"

kvCompositeColorSegmenterResult::kvCompositeColorSegmenterResult()
    : result_(std::make_unique<kvCompositeColorSegmenterInternalResult>()) {}

kvCompositeColorSegmenterResult::kvCompositeColorSegmenterResult(
    const kvCompositeColorSegmenterResult& other)
    : result_(std::make_unique<kvCompositeColorSegmenterInternalResult>(*other.result_)) {}

kvCompositeColorSegmenterResult& kvCompositeColorSegmenterResult::operator=(
    const kvCompositeColorSegmenterResult& other) {
    if (this != &other) *result_ = *other.result_;
    return *this;
}

kvCompositeColorSegmenterResult::~kvCompositeColorSegmenterResult() = default;

bool kvCompositeColorSegmenterResult::operator==(
    const kvCompositeColorSegmenterResult& other) const {
    return *result_ == *other.result_;
}

void* kvCompositeColorSegmenterResult::result() const { return result_.get(); }

kvPelBuffer_const<unsigned char> kvCompositeColorSegmenterResult::labelImage() const {
    if (result_->labelScores.size() == 0) return {};
    result_->computeLabelImages();
    return result_->labelImage;
}

kvPelBuffer_const<unsigned char> kvCompositeColorSegmenterResult::confidenceImage() const {
    if (result_->labelScores.size() == 0) return {};
    result_->computeLabelImages();
    return result_->confidenceImage;
}

kvPelBuffer_const<unsigned char> kvCompositeColorSegmenterResult::scoreImage() const {
    if (result_->labelScores.size() == 0) return {};
    result_->computeScoreImage();
    return result_->scoreImage;
}

kvPelBuffer_const<unsigned char> kvCompositeColorSegmenterResult::segmentationImage(
    unsigned char label) const {
    if (label >= result_->labelScores.size())
        throw kvCompositeColorSegmenterDefs::BadParams("Invalid label");
    return result_->computeSegmentationImage(label);
}
