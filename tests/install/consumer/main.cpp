// Trains two labels through the installed headers and library, and checks
// that registration of the error classes survived the static link.
#include <clsg/clsg.h>

#include <cstdio>

int main() {
    if (!kv_Instantiator::find("kvCompositeColorSegmenterDefs::BadImage")) {
        std::puts("error classes are not registered");
        return 1;
    }
    kv3PlanePelBuffer image(kvPelRect(0, 0, 4, 2));
    for (long y = 0; y < 2; ++y)
        for (long x = 0; x < 4; ++x) {
            image.plane0().pointToPel(x, y)[0] = x < 2 ? 220 : 20;
            image.plane1().pointToPel(x, y)[0] = 40;
            image.plane2().pointToPel(x, y)[0] = x < 2 ? 20 : 220;
        }
    auto half = [](bool left) {
        kvPelBuffer<unsigned char> mask(kvPelRect(0, 0, 4, 2));
        for (long y = 0; y < 2; ++y)
            for (long x = 0; x < 4; ++x) mask.pointToPel(x, y)[0] = (x < 2) == left ? 255 : 0;
        return mask;
    };
    kvCompositeColorSegmenterTool tool;
    tool.train({kvCompositeColorSet({kvCompositeColor(image, half(true))}),
                kvCompositeColorSet({kvCompositeColor(image, half(false))})},
               kvCompositeColorSegmenterTrainParams());
    kvCompositeColorSegmenterResult result;
    tool.run(image, kvCompositeColorSegmenterRunParams(1), result);
    const int left = result.labelImage().pointToPel(0, 0)[0];
    const int right = result.labelImage().pointToPel(3, 1)[0];
    std::printf("labels: %d %d\n", left, right);
    return left == 0 && right == 1 ? 0 : 1;
}
