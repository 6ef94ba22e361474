// How a label image agrees with the true labels: a confusion matrix of pixel
// counts and the measures derived from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "clsg/platform/pel_buffer.h"

namespace clsg {

class LabelConfusion {
public:
    explicit LabelConfusion(std::size_t labels = 0);

    std::size_t labels() const { return labels_; }
    // The column of pixels that got no label (255 in a label image, or any
    // value from labels() on).
    std::size_t noneColumn() const { return labels_; }

    // Counts pixels whose true label is truth (below labels()) and whose
    // label image holds predicted.
    void add(std::size_t truth, unsigned predicted, uint64_t count = 1);
    // Adds another matrix of the same size.
    void add(const LabelConfusion& other);

    // predicted runs over 0 .. labels() (the last is noneColumn()).
    uint64_t count(std::size_t truth, std::size_t predicted) const;
    uint64_t truthTotal(std::size_t label) const;
    uint64_t predictedTotal(std::size_t label) const;
    uint64_t total() const;

    // Share of the label's true pixels that got the label; NaN without any.
    double recall(std::size_t label) const;
    // Share of the pixels given the label that truly are it; NaN when no
    // pixel got it.
    double precision(std::size_t label) const;
    // Share of all counted pixels that got their true label; NaN when empty.
    double accuracy() const;
    // Mean recall over the labels that have true pixels; NaN when none has.
    double balancedAccuracy() const;

    bool operator==(const LabelConfusion& other) const {
        return labels_ == other.labels_ && counts_ == other.counts_;
    }

private:
    std::size_t labels_;
    std::vector<uint64_t> counts_;  // labels_ rows of labels_ + 1 columns
};

// Compares a label image with a true label image over the same window: every
// pixel whose true value is below labels counts; other true values (255, say)
// are ignored. Throws BadParams for unbound images or different windows.
LabelConfusion compareLabelImages(const kvPelBuffer_const<unsigned char>& labelImage,
                                  const kvPelBuffer_const<unsigned char>& truth,
                                  std::size_t labels);

}  // namespace clsg
