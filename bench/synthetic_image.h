// Deterministic "natural-looking" colour content for benchmarks: smooth
// gradients, soft coloured blobs and a little sensor-like noise, in three
// 8-bit planes. Only integer and basic double arithmetic, so the pixels are
// the same on every platform for a given seed.
#pragma once

#include <cstdint>
#include <vector>

struct kvSyntheticImage {
    long width = 0;
    long height = 0;
    std::vector<unsigned char> plane[3];  // width * height each, row-major
};

namespace synthetic_detail {

// xorshift64*: small, fast and fully specified.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
    }
    double unit() { return next() * (1.0 / 4294967296.0); }  // [0, 1)
};

}  // namespace synthetic_detail

inline kvSyntheticImage makeSyntheticImage(long width, long height, uint64_t seed = 1) {
    synthetic_detail::Rng rng(seed);
    kvSyntheticImage img;
    img.width = width;
    img.height = height;
    for (auto& p : img.plane) p.resize(static_cast<size_t>(width) * height);

    // Background: a linear ramp per plane in its own direction.
    double base[3], gx[3], gy[3];
    for (int p = 0; p < 3; ++p) {
        base[p] = 40.0 + 120.0 * rng.unit();
        gx[p] = (rng.unit() - 0.5) * 120.0;
        gy[p] = (rng.unit() - 0.5) * 120.0;
    }
    // Soft blobs: amplitude / (1 + d^2 / r^2), each with a colour of its own.
    constexpr int kBlobs = 8;
    double cx[kBlobs], cy[kBlobs], r2[kBlobs], amp[kBlobs][3];
    for (int k = 0; k < kBlobs; ++k) {
        cx[k] = rng.unit() * width;
        cy[k] = rng.unit() * height;
        const double r = (0.05 + 0.2 * rng.unit()) * (width + height);
        r2[k] = r * r;
        const double brightness = (rng.unit() - 0.4) * 120.0;
        for (int p = 0; p < 3; ++p) amp[k][p] = brightness + (rng.unit() - 0.5) * 80.0;
    }

    for (long y = 0; y < height; ++y) {
        for (long x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            double c[3] = {base[0] + gx[0] * u + gy[0] * v, base[1] + gx[1] * u + gy[1] * v,
                           base[2] + gx[2] * u + gy[2] * v};
            for (int k = 0; k < kBlobs; ++k) {
                const double dx = x - cx[k], dy = y - cy[k];
                const double fall = 1.0 / (1.0 + (dx * dx + dy * dy) / r2[k]);
                for (int p = 0; p < 3; ++p) c[p] += amp[k][p] * fall;
            }
            // Noise in -2..2 (triangular), independent per plane.
            const size_t i = static_cast<size_t>(y) * width + x;
            for (int p = 0; p < 3; ++p) {
                const uint32_t bits = rng.next();
                const int noise =
                    static_cast<int>(bits % 3) + static_cast<int>((bits >> 8) % 3) - 2;
                long val = static_cast<long>(c[p] + 0.5) + noise;
                img.plane[p][i] = static_cast<unsigned char>(val < 0 ? 0 : (val > 255 ? 255 : val));
            }
        }
    }
    return img;
}
