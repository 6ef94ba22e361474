#include "clsg/tuning/label_confusion.h"

#include <limits>

#include "clsg/colorseg/errors.h"

namespace clsg {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double share(uint64_t part, uint64_t whole) {
    return whole == 0 ? kNaN : static_cast<double>(part) / static_cast<double>(whole);
}
}  // namespace

LabelConfusion::LabelConfusion(std::size_t labels)
    : labels_(labels), counts_(labels * (labels + 1), 0) {}

void LabelConfusion::add(std::size_t truth, unsigned predicted, uint64_t count) {
    if (truth >= labels_) throw kvCompositeColorSegmenterDefs::BadParams("Invalid label");
    const std::size_t column = predicted < labels_ ? predicted : labels_;
    counts_[truth * (labels_ + 1) + column] += count;
}

void LabelConfusion::add(const LabelConfusion& other) {
    if (other.labels_ != labels_)
        throw kvCompositeColorSegmenterDefs::BadParams("confusion matrices of different sizes");
    for (std::size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
}

uint64_t LabelConfusion::count(std::size_t truth, std::size_t predicted) const {
    if (truth >= labels_ || predicted > labels_)
        throw kvCompositeColorSegmenterDefs::BadParams("Invalid label");
    return counts_[truth * (labels_ + 1) + predicted];
}

uint64_t LabelConfusion::truthTotal(std::size_t label) const {
    uint64_t sum = 0;
    for (std::size_t p = 0; p <= labels_; ++p) sum += count(label, p);
    return sum;
}

uint64_t LabelConfusion::predictedTotal(std::size_t label) const {
    uint64_t sum = 0;
    for (std::size_t t = 0; t < labels_; ++t) sum += count(t, label);
    return sum;
}

uint64_t LabelConfusion::total() const {
    uint64_t sum = 0;
    for (uint64_t c : counts_) sum += c;
    return sum;
}

double LabelConfusion::recall(std::size_t label) const {
    return share(count(label, label), truthTotal(label));
}

double LabelConfusion::precision(std::size_t label) const {
    return share(count(label, label), predictedTotal(label));
}

double LabelConfusion::accuracy() const {
    uint64_t right = 0;
    for (std::size_t l = 0; l < labels_; ++l) right += count(l, l);
    return share(right, total());
}

double LabelConfusion::balancedAccuracy() const {
    double sum = 0.0;
    std::size_t present = 0;
    for (std::size_t l = 0; l < labels_; ++l) {
        if (truthTotal(l) == 0) continue;
        sum += recall(l);
        ++present;
    }
    return present == 0 ? kNaN : sum / static_cast<double>(present);
}

LabelConfusion compareLabelImages(const kvPelBuffer_const<unsigned char>& labelImage,
                                  const kvPelBuffer_const<unsigned char>& truth,
                                  std::size_t labels) {
    if (!labelImage.isBound() || !truth.isBound() || labelImage.window() != truth.window())
        throw kvCompositeColorSegmenterDefs::BadParams(
            "the label image and the truth must be bound over one window");
    LabelConfusion confusion(labels);
    const kvPelRect& w = truth.window();
    for (long y = w.top(); y < w.bottom(); ++y) {
        const unsigned char* got = labelImage.pointToRow(y);
        const unsigned char* want = truth.pointToRow(y);
        for (long x = 0; x < w.width(); ++x)
            if (want[x] < labels) confusion.add(want[x], got[x]);
    }
    return confusion;
}

}  // namespace clsg
