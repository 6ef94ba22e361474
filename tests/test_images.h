// Small image builders shared by the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "clsg/platform/pel_ops.h"
#include "clsg/platform/three_plane.h"

struct Rgb {
    unsigned char r, g, b;
};

// A colour image over window whose pel at absolute (x, y) is colour(x, y).
inline kv3PlanePelBuffer makeImage(const kvPelRect& window,
                                   const std::function<Rgb(long, long)>& colour) {
    kv3PlanePelBuffer image(window);
    for (long y = window.top(); y < window.bottom(); ++y)
        for (long x = window.left(); x < window.right(); ++x) {
            const Rgb c = colour(x, y);
            image.plane0().pointToPel(x, y)[0] = c.r;
            image.plane1().pointToPel(x, y)[0] = c.g;
            image.plane2().pointToPel(x, y)[0] = c.b;
        }
    return image;
}

inline kv3PlanePelBuffer uniformImage(const kvPelRect& window, Rgb c) {
    return makeImage(window, [c](long, long) { return c; });
}

// Random colours jittered around three centres.
inline kv3PlanePelBuffer noisyImage(const kvPelRect& window, uint32_t seed) {
    std::mt19937 rng(seed);
    const Rgb centres[3] = {{200, 40, 30}, {30, 160, 60}, {40, 60, 210}};
    return makeImage(window, [&](long, long) {
        const Rgb c = centres[rng() % 3];
        auto jitter = [&](unsigned char v) {
            const int j = static_cast<int>(v) + static_cast<int>(rng() % 41) - 20;
            return static_cast<unsigned char>(j < 0 ? 0 : (j > 255 ? 255 : j));
        };
        return Rgb{jitter(c.r), jitter(c.g), jitter(c.b)};
    });
}

// A mask over window, 255 where care(x, y), else 0.
inline kvPelBuffer<unsigned char> makeMask(const kvPelRect& window,
                                           const std::function<bool(long, long)>& care) {
    kvPelBuffer<unsigned char> mask(window);
    for (long y = window.top(); y < window.bottom(); ++y)
        for (long x = window.left(); x < window.right(); ++x)
            mask.pointToPel(x, y)[0] = care(x, y) ? 255 : 0;
    return mask;
}

inline kvPelBuffer_const<unsigned char> noMask() { return kvPelBuffer_const<unsigned char>(); }

// The message of the E that f throws, or "<no exception>".
template <class E, class F>
std::string messageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no exception>";
}
