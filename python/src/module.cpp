// clsg._clsg: the compiled part of the clsg package. The public names are
// re-exported by clsg/__init__.py; their documentation lives here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "clsg/io/errors.h"
#include "clsg/io/output_files.h"
#include "clsg/io/teaching_warnings.h"
#include "errors.h"
#include "intensity.h"
#include "interrupt.h"
#include "segmenter.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// The path's bytes as the system takes them: a str (with the file system's
// encoding), bytes or any os.PathLike of either.
std::string pathArg(py::handle path) {
    return py::module_::import("os").attr("fsencode")(path).cast<py::bytes>().cast<std::string>();
}

// A flag as Tool.run has always taken it: None (False) and whatever has a
// truth of its own (bools, numbers, numpy's bools and one-element arrays);
// a string (where "False" would be true) or anything else is refused in a
// line, where pybind11's own refusal would print every argument.
bool flagOf(py::handle value, const char* name) {
    if (value.is_none()) return false;
    const PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
    if (number && number->nb_bool) {
        const int truth = number->nb_bool(value.ptr());
        if (truth >= 0) return truth == 1;
        PyErr_Clear();  // an array of several values, say: no flag
    }
    std::string shown = py::repr(value).cast<std::string>();
    std::size_t cut =
        std::min<std::size_t>(shown.find('\n'), shown.size() > 40 ? 37 : shown.size());
    while (cut > 0 && cut < shown.size() && (static_cast<unsigned char>(shown[cut]) & 0xc0) == 0x80)
        --cut;  // not inside a character
    if (cut < shown.size()) shown = shown.substr(0, cut) + "...";
    throw py::type_error(std::string(name) + " must be True or False; got " + shown);
}

// Pickling as protocol 2 does it (a new object, then its state) for every
// protocol: for 0 and 1 Python would call the base type's constructor, which
// a bound type does not have, and the process would abort.
py::tuple reduceByState(py::object self) {
    return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                          py::make_tuple(py::type::of(self)), self.attr("__getstate__")());
}

void bindResult(py::module_& m) {
    py::class_<clsgpy::Result, std::shared_ptr<clsgpy::Result>>(m, "Result", R"doc(
The outcome of Tool.run: every image below is an H x W uint8 numpy array,
read-only, sharing the result's memory (no copy is made). The run builds
labels and confidence; score is built on first request and kept; each
segmentation image is built on every call, from per-pixel score sums
(8 bytes a pixel) that the first call builds and the result keeps. A result
keeps a copy of the image it ran on (3 bytes a pixel). A result may be used
from several threads, and pickled (for other processes): the pickle holds
its score images (8 bytes a pixel and label), which the unpickled result
keeps, and gives the same images.)doc")
        .def_property_readonly("labels", &clsgpy::Result::labels, R"doc(
The winning label per pixel: its index in Tool.labels (the lower index on a
tie), 255 where no label scored.)doc")
        .def_property_readonly("confidence", &clsgpy::Result::confidence, R"doc(
How clearly the winner beat the runner-up: (best - second) / (best + second)
* 255, rounded; 255 where only one label scored, 0 on a tie and where none
did.)doc")
        .def_property_readonly("score", &clsgpy::Result::score, R"doc(
The winner's score as a share of what a perfectly uniform, perfectly trained
neighbourhood would reach, times 255 (0..255). Made when first read; its cost
grows as the neighbourhood to the fourth power (a 600 x 400 image: a few
seconds at 31, minutes at 255); the other images cost about the same at any
neighbourhood.)doc")
        .def("segmentation", &clsgpy::Result::segmentation, "label"_a, R"doc(
One label's share of the sum of all label scores, times 255 (0..255); 0 where
no label scored. label is a name of Tool.labels or its index. Raises
BadParamsError for a label the result does not hold.)doc")
        .def("regions", &clsgpy::Result::regions, "min_area"_a = 0, "fill_holes"_a = 0,
             "connectivity"_a = 8, R"doc(
The objects of each label: connected pixels of one label (8-connected, or
4-connected with connectivity=4), one row each, sorted by label, then top,
then left. Regions of fewer than min_area pixels are left out; holes of at
most fill_holes pixels inside a region (all the pixels it surrounds, away
from the border, whatever their labels) count as part of it; a region that filling cuts below
min_area pixels is left out too. Columns: label (name), label_index,
id (1, 2, ... within the label), area, left, top, width, height, centroid_x,
centroid_y, mean_confidence (of the confidence image, 0..255) and
touches_border. A pandas DataFrame when pandas is installed, else a dict of
numpy arrays.)doc")
        .def("cleaned", &clsgpy::Result::cleaned, "min_area"_a = 0, "fill_holes"_a = 0,
             "connectivity"_a = 8, R"doc(
The label image cleaned as regions() with the same arguments counts it:
regions of fewer than min_area pixels set to 255 (no label), holes of at most
fill_holes pixels given the label around them (then regions this cuts below
min_area set to 255 as well), as clsg run --min-area and
--fill-holes write it. Returns (labels, table): a new read-only H x W uint8
array and the table regions() gives.)doc")
        .def("_cleaned_columns", &clsgpy::Result::cleanedColumns, "min_area"_a = 0,
             "fill_holes"_a = 0, "connectivity"_a = 8,
             "As cleaned(), the table a dict of numpy arrays without pandas.")
        .def(py::pickle([](clsgpy::Result& r) { return r.state(); },
                        [](const py::tuple& state) { return clsgpy::Result::fromState(state); }))
        .def("__reduce__", &reduceByState)
        .def("__reduce_ex__", [](py::object self, py::handle) { return reduceByState(self); })
        .def_property_readonly("label_names", &clsgpy::Result::labelNames,
                               "The tool's label names at the time of the run.")
        .def_property_readonly("neighborhood", &clsgpy::Result::neighborhood,
                               "The neighbourhood size of the run.")
        .def_property_readonly("normalize_intensity", &clsgpy::Result::normalized,
                               "Whether the run normalised the image's intensity.")
        .def_property_readonly(
            "shape", [](const clsgpy::Result& r) { return py::make_tuple(r.height(), r.width()); },
            "(height, width) of the run's image.")
        .def("__repr__", [](const clsgpy::Result& r) {
            return "<clsg.Result " + std::to_string(r.width()) + " x " +
                   std::to_string(r.height()) + ", " + std::to_string(r.labelNames().size()) +
                   " labels, neighborhood " + std::to_string(r.neighborhood()) + ">";
        });
}

void bindTool(py::module_& m) {
    py::class_<clsgpy::Tool, std::shared_ptr<clsgpy::Tool>>(m, "Tool", R"doc(
A colour segmenter: train it with example pixels per label, then run it on
RGB images.

Images are H x W x 3 uint8 numpy arrays (RGB, any memory layout); masks are
H x W bool or uint8 arrays in which a non-zero pixel is selected. A tool may
be run from several threads at once; train, run and the result images release
the GIL, and Ctrl-C stops them (KeyboardInterrupt).)doc")
        .def(py::init<>(), "An untrained tool.")
        .def("train", &clsgpy::Tool::train, "labels"_a, "tolerance_frac"_a = 0.1,
             "tolerance_min"_a = 2, "colors"_a = py::none(), R"doc(
Trains the tool from scratch, replacing what it knew.

labels maps each label name to its examples, a list of (image, mask) pairs;
a mask of None selects the whole image. Label i of the results is the i-th
key; names are 1 to 64 ASCII letters, digits, '_' or '-'. tolerance_frac (above 0, at most 1) is
the relative colour tolerance, tolerance_min (0..255) its floor in channel
units.
colors optionally maps label names to display colours ("#rrggbb" or
(r, g, b)); of the other labels, one named after a colour ("red",
"darkgreen") gets that colour and any other a colour near its examples'
mean, apart from the colours of the labels before it, as clsg train gives
them. Raises BadParamsError, BadImageError or
TooManyLabelsError (more than 254 labels); a failed train leaves the tool as
it was.)doc")
        .def(
            "run",
            [](const clsgpy::Tool& t, py::handle image, py::handle n, py::handle normalize) {
                return t.run(image, n, flagOf(normalize, "normalize_intensity"));
            },
            "image"_a, "neighborhood"_a = py::none(), "normalize_intensity"_a = false, R"doc(
Scores every pixel of image against every label and returns a Result.

neighborhood (1..255) is the side of the square over which each pixel is
scored; None takes the size the tool file stores (Tool.neighborhood), else
3. normalize_intensity first searches the brightness gain that best
matches the trained colours. Raises NotTrainedError, BadImageError or
BadParamsError, and a UserWarning for an image narrower than a neighbourhood
from 28 on, where the pixels nearest each one weigh 0 (as clsg run notes).
Each thread that runs keeps the planes of its last image (3 bytes a pixel,
for images up to 4 megapixels), so that a loop over frames of one size
allocates nothing new for them.)doc")
        .def(
            "_run_quiet",
            [](const clsgpy::Tool& t, py::handle image, py::handle n, py::handle normalize) {
                return t.run(image, n, flagOf(normalize, "normalize_intensity"), false);
            },
            "image"_a, "neighborhood"_a, "normalize_intensity"_a,
            "Tool.run without the narrow-image warning: for a block of a larger image.")
        .def(
            "save", [](const clsgpy::Tool& t, py::handle path) { t.save(pathArg(path)); }, "path"_a,
            R"doc(
Writes the tool file that the clsg program reads (label names and colours
included).
Raises NotTrainedError for an untrained tool, ToolFileError when the file
cannot be written.)doc")
        .def_static(
            "load", [](py::handle path) { return clsgpy::Tool::load(pathArg(path)); }, "path"_a,
            R"doc(
Reads a tool file written by Tool.save or the clsg program. Raises
ToolFileError for a missing, foreign, newer or corrupt file.)doc")
        .def_property_readonly("labels", &clsgpy::Tool::labels,
                               "The label names, in label order (empty when untrained).")
        .def_property_readonly("colors", &clsgpy::Tool::colors,
                               "The labels' display colours as \"#rrggbb\", in label order.")
        .def_property("neighborhood", &clsgpy::Tool::neighborhood, &clsgpy::Tool::setNeighborhood,
                      "The neighbourhood size the tool file stores (clsg train --auto chooses "
                      "one), or None: run's default, kept by save. Set it to 1..255 (as "
                      "clsg.suggest chooses it) or None; train removes it.")
        .def_property_readonly("is_trained", &clsgpy::Tool::isTrained,
                               "Whether the tool was trained (or loaded trained).")
        .def_property_readonly(
            "tolerance_frac", &clsgpy::Tool::toleranceFrac,
            "The relative colour tolerance of the training; NotTrainedError before one.")
        .def_property_readonly(
            "tolerance_min", &clsgpy::Tool::toleranceMin,
            "The colour tolerance's floor, in channel units; NotTrainedError before a training.")
        .def(py::pickle([](const clsgpy::Tool& t) { return py::make_tuple(t.toBytes()); },
                        [](const py::tuple& state) {
                            return clsgpy::Tool::fromBytes(state[0].cast<py::bytes>());
                        }))
        .def("__reduce__", &reduceByState)
        .def("__reduce_ex__", [](py::object self, py::handle) { return reduceByState(self); })
        .def("__copy__", &clsgpy::Tool::copy,
             "A tool that keeps what this one knows now; training either changes only itself.")
        .def(
            "__deepcopy__", [](const clsgpy::Tool& t, py::handle) { return t.copy(); }, "memo"_a)
        .def("__eq__", [](const clsgpy::Tool& a, const clsgpy::Tool& b) { return a == b; })
        // Anything else: Python then compares identities (unequal, not an error).
        .def("__eq__",
             [](const clsgpy::Tool&, py::handle) {
                 return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             })
        .def("__repr__",
             [](const clsgpy::Tool& t) {
                 if (!t.isTrained()) return std::string("<clsg.Tool untrained>");
                 std::string s = "<clsg.Tool labels=[";
                 for (const std::string& n : t.labels())
                     s += (s.back() == '[' ? "'" : ", '") + n + "'";
                 return s + "]>";
             })
        .def("_time_runs", &clsgpy::Tool::timeRuns, "image"_a, "neighborhood"_a = 3,
             "normalize_intensity"_a = false, "repeats"_a = 5,
             "(wall-clock, thread CPU) seconds of each of repeats runs timed in C++ (for "
             "benchmarks).")
        .def("_time_tiled_runs", &clsgpy::Tool::timeTiledRuns, "image"_a, "neighborhood"_a = 3,
             "normalize_intensity"_a = false, "threads"_a = 2, "repeats"_a = 5,
             "Seconds of each of repeats tiled runs (label image) timed in C++.");
    m.attr("Tool").attr("__hash__") = py::none();
}

// Functions of the package and the private helpers clsg and clsg.dask use.
void bindFunctions(py::module_& m) {
    m.def(
        "_keep_freed_memory",
        [](int mmapThreshold, int trimThreshold) {
#ifdef __GLIBC__
            return mallopt(M_MMAP_THRESHOLD, mmapThreshold) == 1 &&
                   mallopt(M_TRIM_THRESHOLD, trimThreshold) == 1;
#else
            (void)mmapThreshold;
            (void)trimThreshold;
            return false;
#endif
        },
        "mmap_threshold"_a, "trim_threshold"_a,
        "Has glibc serve blocks up to mmap_threshold bytes from the heap and give freed memory "
        "back only beyond trim_threshold bytes; False where the C library has no such "
        "settings.");
    m.def("_suggest", &clsgpy::suggest, "labels"_a, "threads"_a,
          "The report of clsg.suggest as JSON (see clsg.suggest).");
    m.def("_search_intensity_gain_on_sample", &clsgpy::searchGainOnSample, "tool"_a, "sample"_a,
          "height"_a, "width"_a,
          "The gain a normalised run of a height x width image applies, from its image[::10, "
          "::10].");
    m.def("_apply_intensity_gain", &clsgpy::applyGain, "block"_a, "gain"_a,
          "block's pixels mapped by gain, as a normalised run maps them.");
    m.def("_narrow_image_note", &clsg::narrowImageNote, "name"_a, "width"_a, "height"_a,
          "neighborhood"_a,
          "What Tool.run warns of for an image of this size at this neighbourhood, or ''.");
    m.def(
        "_write_file",
        [](py::handle path, py::bytes data, const std::vector<std::string>& inputs) {
            const std::string to = pathArg(path), bytes = data;
            std::string error;
            {
                py::gil_scoped_release release;  // a pipe may make it wait for its reader,
                clsgpy::CallGuard::run([&] {     // until Ctrl-C
                    try {
                        clsg::OutputFiles out;
                        for (const std::string& input : inputs) out.protect(input);
                        out.writeStaged(to, bytes);
                        out.commit();
                    } catch (const clsg::FileError& e) {
                        error = e.what();
                    }
                });
            }
            if (!error.empty()) {
                PyErr_SetString(PyExc_OSError, error.c_str());
                throw py::error_already_set();
            }
        },
        "path"_a, "data"_a, "inputs"_a,
        "Writes data to path as every output is written (a new file renamed over the old one: "
        "a failed write leaves it whole), never over one of inputs; OSError names the reason.");
    m.def(
        "_write_images",
        [](const py::sequence& paths, const py::sequence& images) {
            std::vector<std::string> names;
            for (py::handle path : paths) names.push_back(pathArg(path));
            clsgpy::writeImages(names, images, clsg::FinalNameFrom::program);
        },
        "paths"_a, "images"_a,
        "Writes images[i] to paths[i] as write_image does, all or none: every earlier file stays "
        "whole unless all are written. For names made in a folder (segment_files' outputs): a "
        "pipe or device at one is refused, not written into.");
    m.def(
        "read_image", [](py::handle path) { return clsgpy::readImage(pathArg(path)); }, "path"_a,
        R"doc(
Reads an image file as an H x W x 3 uint8 array (RGB); grey and palette
images are converted. Raises ImageFileError with a message naming the file.)doc");
    m.def(
        "write_image",
        [](py::handle path, py::handle image) { clsgpy::writeImage(pathArg(path), image); },
        "path"_a, "image"_a, R"doc(
Writes an H x W (grey) or H x W x 3 (RGB) uint8 array: PGM/PPM for names
ending in .pgm, .ppm or .pnm, PNG otherwise.)doc");
}

}  // namespace

PYBIND11_MODULE(_clsg, m) {
    m.doc() = "The compiled core of clsg; use the clsg package instead.";
    clsgpy::registerErrorTranslator();
    clsgpy::initInterrupts();
    bindResult(m);
    bindTool(m);
    bindFunctions(m);
}
