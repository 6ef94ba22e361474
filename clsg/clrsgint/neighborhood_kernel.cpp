#include "clsg/clrsgint/neighborhood_kernel.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "clsg/platform/exception.h"

namespace {

// Number of pixels an upper-triangle entry (i <= j) and its mirror stand for.
int multiplicity(bool even, int32_t i, int32_t j) {
    if (even) return i == j ? 4 : 8;
    if (i == 0 && j == 0) return 1;
    if (i == 0 || i == j) return 4;
    return 8;
}

std::unique_ptr<unsigned char[]> buildKernel(int32_t n) {
    const bool even = (n % 2 == 0);
    const int32_t h = n / 2 - (even ? 1 : 0);
    const int32_t m = h + 1;
    const double r2 = even ? (h + 0.5) * (h + 0.5) : static_cast<double>(h * h);
    const double c = 2.0 / r2;

    std::vector<double> w(static_cast<size_t>(m) * m);
    double sum = 0.0;
    for (int32_t i = 0; i <= h; ++i) {
        for (int32_t j = i; j <= h; ++j) {
            const double d2 = even ? (j + 0.5) * (j + 0.5) + (i + 0.5) * (i + 0.5)
                                   : static_cast<double>(j * j + i * i);
            const double v = std::exp(-(d2 * c));
            w[i * m + j] = v;
            w[j * m + i] = v;
            sum += v * multiplicity(even, i, j);
        }
    }
    sum = sum * 0.004;
    const double scale = 1.0 / sum;

    // Quantise with a residual carried across the whole upper triangle, so
    // that the stored weights still add up to (almost) 250.
    auto q = std::make_unique<unsigned char[]>(static_cast<size_t>(m) * m);
    double e = 0.0;
    for (int32_t i = 0; i <= h; ++i) {
        for (int32_t j = i; j <= h; ++j) {
            const int mult = multiplicity(even, i, j);
            const double v = scale * w[i * m + j] + e / mult;
            const auto qi = static_cast<unsigned char>(static_cast<int32_t>(v));
            q[i * m + j] = qi;
            q[j * m + i] = qi;
            e = (v - qi) * mult;
        }
    }
    return q;
}

std::mutex gCacheMutex;
// Slots indexed by size; a filled slot is never changed or freed.
std::vector<std::unique_ptr<unsigned char[]>>& cache() {
    static std::vector<std::unique_ptr<unsigned char[]>> slots;
    return slots;
}

}  // namespace

const unsigned char* clsgint::neighborhoodKernel(int32_t n) {
    if (n < 2) throw kvExceptionWithString("neighborhoodKernel: size below 2");
    std::lock_guard<std::mutex> lock(gCacheMutex);
    auto& slots = cache();
    if (slots.size() < static_cast<size_t>(n) + 1) slots.resize(static_cast<size_t>(n) + 1);
    if (!slots[n]) slots[n] = buildKernel(n);
    return slots[n].get();
}
