#include "intensity.h"

#include "arrays.h"
#include "clsg/colorseg/intensity_gain.h"
#include "errors.h"
#include "interrupt.h"
#include "segmenter.h"

namespace py = pybind11;

namespace clsgpy {

double searchGainOnSample(const Tool& tool, py::handle sample, long height, long width) {
    const py::array array = asArray(sample, "sample");
    const ArrayView v = checkImage(array, "sample");
    if (v.height != (height + 9) / 10 || v.width != (width + 9) / 10)
        throwBadImage("the sample is not the 10 x 10 subsample of a " + std::to_string(height) +
                      " x " + std::to_string(width) + " image");
    const auto file = tool.snapshot();
    py::gil_scoped_release release;
    return CallGuard::run([&] {
        kv3PlanePelBuffer image(kvPelRect(0, 0, width, height));
        const kvPelBuffer<unsigned char>* planes[3] = {&image.plane0(), &image.plane1(),
                                                       &image.plane2()};
        for (long y = 0; y < v.height; ++y)
            for (long x = 0; x < v.width; ++x)
                for (int c = 0; c < 3; ++c)
                    planes[c]->pointToPel(x * 10, y * 10)[0] =
                        v.data[y * v.rowStride + x * v.colStride + c * v.chanStride];
        return kfSearchIntensityGain(file->tool, image);
    });
}

py::array applyGain(py::handle block, double gain) {
    const py::array array = asArray(block, "block");
    const ArrayView v = checkImage(array, "block");
    kv3PlanePelBuffer mapped;
    {
        py::gil_scoped_release release;
        mapped = kfApplyIntensityGain(copyImage(v), gain);
    }
    return interleave(mapped);
}

}  // namespace clsgpy
