// Intensity normalisation for callers that run an image in blocks: the gain
// is searched once for the whole image, then every block is mapped by it.
#pragma once

#include <pybind11/numpy.h>

namespace clsgpy {

class Tool;

// The gain a normalised run of a height x width image would apply, from the
// image's 10 x 10 subsample (its pixels at rows and columns 0, 10, 20, ...),
// given as an H' x W' x 3 array. Only those pixels are read by the search,
// so the rest of the full-size image is never filled (and, being untouched,
// costs no memory).
double searchGainOnSample(const Tool& tool, pybind11::handle sample, long height, long width);

// block's pixels mapped by gain, as a normalised run maps them.
pybind11::array applyGain(pybind11::handle block, double gain);

}  // namespace clsgpy
