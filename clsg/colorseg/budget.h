// An optional limit on what training may cost, for tools built from input
// this process did not write (a tool file from elsewhere retrains when it
// loads, and a few hundred bytes can ask for gigabytes and minutes).
//
// By default there is no budget and nothing is checked. A budget applies on
// the thread that sets it, to every train() and every tool load (operator||
// of clsg/colorseg/archive_operators.h) made while its scope lives:
//
//     kvCompositeColorSegmenterBudgetScope scope(
//         kvCompositeColorSegmenterBudget::forUntrustedFiles());
//     archive || tool;  // throws kvCompositeColorSegmenterBudget::Exceeded
//
// Training computes both costs from the examples and the parameters before it
// allocates the model, and throws Exceeded if either is over its limit; the
// tool is then untrained, as after any failed train (a load leaves it as it
// was). The work check reads each example pixel once, and stops reading when
// the work is over its limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"
#include "clsg/platform/exception.h"

struct kvCompositeColorSegmenterBudget {
    // Bytes of the trained model and of training's working memory: per
    // example, 8 bytes per colour cell (the model's weights), plus 4 bytes per
    // colour cell once (the counts); a grid of n levels per channel has n^3
    // cells. 0: no limit.
    uint64_t maxBytes = 0;
    // Work of training: per example, one unit per colour cell (clearing and
    // summing the grid) and per pixel of its images, plus, for every selected
    // pixel, the colour cells its tolerance box covers. 0: no limit.
    uint64_t maxWork = 0;

    // Limits for files from elsewhere: 1 GiB and 2^32 work units (a few
    // seconds of training on one core). Every tool trained from ordinary
    // examples at fraction 0.01 or more fits with room to spare.
    static kvCompositeColorSegmenterBudget forUntrustedFiles();

    // The check train() makes before it allocates the model, without
    // training: throws Exceeded when training sets with params would cost
    // more than this budget allows, and BadParams (and the like) where
    // train() would refuse the sets or the fraction. Reads each example pixel
    // at most once; allocates no model.
    void check(const std::vector<kvCompositeColorSet>& sets,
               const kvCompositeColorSegmenterTrainParams& params) const;

    // Thrown when training would cost more than a limit; the message gives
    // the cost and the limit.
    class Exceeded : public kvExceptionWithString {
    public:
        explicit Exceeded(const std::string& message) : kvExceptionWithString(message) {}
    };
};

// Applies a budget on this thread until destroyed, then restores the budget
// that applied before (scopes nest). Not copyable.
class kvCompositeColorSegmenterBudgetScope {
public:
    explicit kvCompositeColorSegmenterBudgetScope(const kvCompositeColorSegmenterBudget& budget);
    ~kvCompositeColorSegmenterBudgetScope();
    kvCompositeColorSegmenterBudgetScope(const kvCompositeColorSegmenterBudgetScope&) = delete;
    kvCompositeColorSegmenterBudgetScope& operator=(const kvCompositeColorSegmenterBudgetScope&) =
        delete;

    // The budget that applies on this thread now (no limits without a scope).
    static const kvCompositeColorSegmenterBudget& current();

private:
    kvCompositeColorSegmenterBudget budget_;
    const kvCompositeColorSegmenterBudget* previous_;
};
