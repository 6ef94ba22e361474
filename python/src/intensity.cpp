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
    return CallGuard::run([&] { return kfSearchIntensityGainOnSample(file->tool, copyImage(v)); });
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
