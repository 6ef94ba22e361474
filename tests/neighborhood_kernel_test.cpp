#include "clsg/clrsgint/neighborhood_kernel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<int> quadrant(int32_t n) {
    const unsigned char* w = clsgint::neighborhoodKernel(n);
    const int m = clsgint::kernelQuadrantSide(n);
    return std::vector<int>(w, w + m * m);
}

// The sum of the weights over the whole N x N neighbourhood.
int fullSum(int32_t n) {
    const std::vector<int> w = quadrant(n);
    const int m = clsgint::kernelQuadrantSide(n);
    int sum = 0;  // an even kernel's quadrant repeats 4 times; an odd one mirrors off-axis rows
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j)
            sum += w[i * m + j] * (n % 2 == 0 ? 4 : (i ? 2 : 1) * (j ? 2 : 1));
    return sum;
}

TEST(NeighborhoodKernel, TablesSumsAndSymmetry) {
    EXPECT_EQ(quadrant(2), (std::vector<int>{62}));
    EXPECT_EQ(quadrant(3), (std::vector<int>{154, 21, 21, 3}));
    EXPECT_EQ(quadrant(5), (std::vector<int>{40, 24, 6, 24, 15, 3, 6, 3, 1}));
    const std::vector<int> k9 = quadrant(9);
    EXPECT_EQ(std::vector<int>(k9.begin() + 20, k9.end()), (std::vector<int>{1, 2, 1, 0, 2}));
    EXPECT_EQ(fullSum(3), 250);
    for (int n : {2, 4, 5, 28}) EXPECT_EQ(fullSum(n), 248) << n;
    for (int n = 2; n <= 300; ++n) {
        const std::vector<int> w = quadrant(n);
        const int m = clsgint::kernelQuadrantSide(n);
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < m; ++j) ASSERT_EQ(w[i * m + j], w[j * m + i]) << "N=" << n;
        if (n < 20) continue;
        for (int v : w) ASSERT_LE(v, 3) << "N=" << n;
        if (n < 28) continue;
        EXPECT_EQ(w[0], 0) << "N=" << n;
        EXPECT_NEAR(fullSum(n), 248, 2) << "N=" << n;
    }
}

// Cached tables stay put while the cache grows, and concurrent requests get the one table.
TEST(NeighborhoodKernel, CacheIsStableAndGuarded) {
    const unsigned char* seven = clsgint::neighborhoodKernel(7);
    const std::vector<int> before = quadrant(7);
    clsgint::neighborhoodKernel(333);
    EXPECT_TRUE(clsgint::neighborhoodKernel(7) == seven && quadrant(7) == before);
    std::vector<const unsigned char*> got(8 * 50);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &got] {
            for (int n = 0; n < 50; ++n) got[t * 50 + n] = clsgint::neighborhoodKernel(400 + n);
        });
    for (auto& th : threads) th.join();
    for (int t = 1; t < 8; ++t)
        for (int n = 0; n < 50; ++n) EXPECT_EQ(got[t * 50 + n], got[n]);
    EXPECT_ANY_THROW(clsgint::neighborhoodKernel(1));
    EXPECT_ANY_THROW(clsgint::neighborhoodKernel(-4));
}

}  // namespace
