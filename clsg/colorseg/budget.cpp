#include "clsg/colorseg/budget.h"

namespace {

const kvCompositeColorSegmenterBudget kUnlimited{};
thread_local const kvCompositeColorSegmenterBudget* tCurrent = &kUnlimited;

}  // namespace

kvCompositeColorSegmenterBudget kvCompositeColorSegmenterBudget::forUntrustedFiles() {
    kvCompositeColorSegmenterBudget budget;
    budget.maxBytes = uint64_t{1} << 30;
    budget.maxWork = uint64_t{1} << 32;
    return budget;
}

kvCompositeColorSegmenterBudgetScope::kvCompositeColorSegmenterBudgetScope(
    const kvCompositeColorSegmenterBudget& budget)
    : budget_(budget), previous_(tCurrent) {
    tCurrent = &budget_;
}

kvCompositeColorSegmenterBudgetScope::~kvCompositeColorSegmenterBudgetScope() {
    tCurrent = previous_;
}

const kvCompositeColorSegmenterBudget& kvCompositeColorSegmenterBudgetScope::current() {
    return *tCurrent;
}
