#include "segmenter.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <limits>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "arrays.h"
#include "clsg/colorseg/archive_operators.h"
#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/io/errors.h"
#include "clsg/io/image_io.h"
#include "clsg/io/label_colors.h"
#include "clsg/io/output_files.h"
#include "clsg/io/teaching_warnings.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/str.h"
#include "clsg/regions/regions.h"
#include "clsg/tiled/tiled_run.h"
#include "clsg/tuning/quality_report.h"
#include "clsg/tuning/search_warnings.h"
#include "clsg/tuning/suggest_params.h"
#include "clsg/tuning/tolerance_limits.h"
#include "clsg/tuning/training_heap.h"
#include "errors.h"
#include "interrupt.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace clsgpy {

namespace {

kvCompositeColorSegmenterRunParams runParams(long long neighborhood, bool normalize) {
    if (neighborhood < 1 || neighborhood > kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize)
        throwBadParams("neighborhood must be 1 to " +
                       std::to_string(kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize) +
                       "; got " + std::to_string(neighborhood));
    return kvCompositeColorSegmenterRunParams(static_cast<int32_t>(neighborhood), normalize);
}

std::string labelText(const std::string& name) { return "'" + name + "'"; }

// True for Python's bool and numpy's (which some numpy versions let pass as an index).
bool isBool(py::handle v) {
    if (PyBool_Check(v.ptr())) return true;
    const std::string type = Py_TYPE(v.ptr())->tp_name;
    return type == "numpy.bool_" || type == "numpy.bool";
}

// v as a Python int when it is an integer: an int or a numpy integer, not a bool.
std::optional<py::int_> asInteger(py::handle v) {
    if (isBool(v) || !PyIndex_Check(v.ptr())) return std::nullopt;
    PyObject* i = PyNumber_Index(v.ptr());
    if (i == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return py::reinterpret_steal<py::int_>(i);
}

// An integer's value, or LLONG_MIN when it lies outside long long (it is then out
// of every range asked for).
long long integerValue(const py::int_& i) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    return overflow != 0 ? std::numeric_limits<long long>::min() : v;
}

// A str's UTF-8 bytes. What UTF-8 cannot hold is refused with the rest by
// every name and colour: the lone surrogates of an undecodable file name as
// the bytes they stand for, any other as a backslash escape.
std::string strText(py::handle s) {
    try {
        return s.attr("encode")("utf-8", "surrogateescape").cast<std::string>();
    } catch (const py::error_already_set&) {
        return s.attr("encode")("utf-8", "backslashreplace").cast<std::string>();
    }
}

// "#rrggbb" or an (r, g, b) sequence of 0..255 integers.
uint32_t colorArg(py::handle value, const std::string& label) {
    const std::string what = "the colour of " + labelText(label);
    if (py::isinstance<py::str>(value)) {
        uint32_t rgb = 0;
        if (!parseColorText(strText(value), &rgb))
            throwBadParams(what + " must be \"#rrggbb\"; got " +
                           py::repr(value).cast<std::string>());
        return rgb;
    }
    if (py::isinstance<py::sequence>(value) && !py::isinstance<py::bytes>(value) &&
        py::len(value) == 3) {
        uint32_t rgb = 0;
        for (py::handle c : value) {
            const std::optional<py::int_> i = asInteger(c);
            const long long v = i ? integerValue(*i) : -1;
            if (v < 0 || v > 255)
                throwBadParams(what + " must hold three integers 0..255; got " +
                               py::repr(value).cast<std::string>());
            rgb = rgb << 8 | static_cast<uint32_t>(v);
        }
        return rgb;
    }
    throwBadParams(what + " must be \"#rrggbb\" or (r, g, b); got " +
                   py::repr(value).cast<std::string>());
}

// A real number (an int, a float, numpy's), not a bool, a string nor an array.
double realArg(py::handle value, const char* name) {
    const bool array =
        py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() != 0;
    if (!isBool(value) && !array && !py::isinstance<py::str>(value) &&
        !py::isinstance<py::bytes>(value)) {
        const double v = PyFloat_AsDouble(value.ptr());
        if (!(v == -1.0 && PyErr_Occurred())) return v;
        PyErr_Clear();
    }
    throwBadParams(std::string(name) + " must be a number; got " +
                   py::repr(value).cast<std::string>());
}

// None: the tool file's size, else 3.
long long neighborhoodArg(py::handle value, const ToolFile& file) {
    if (value.is_none()) return file.neighborhoodSize.value_or(3);
    const std::optional<py::int_> i = asInteger(value);
    if (!i)
        throwBadParams("neighborhood must be an int or None; got " +
                       py::repr(value).cast<std::string>());
    const long long v = integerValue(*i);
    if (v < 1 || v > kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize)  // as given
        throwBadParams("neighborhood must be 1 to " +
                       std::to_string(kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize) +
                       "; got " + py::repr(value).cast<std::string>());
    return v;
}

// An example checked with the GIL, its arrays kept alive to be copied without it.
struct Example {
    py::array image, mask;
    ArrayView imageView, maskView;
    bool hasMask = false;
};

// Whether a mask selects some pixel (a value other than 0).
bool selectsAny(const ArrayView& m) {
    for (std::ptrdiff_t y = 0; y < m.height; ++y)
        for (std::ptrdiff_t x = 0; x < m.width; ++x)
            if (m.data[y * m.rowStride + x * m.colStride] != 0) return true;
    return false;
}

// Checks labels (dict of name -> list of (image, mask or None)); fills names.
std::vector<std::vector<Example>> parseExamples(const py::dict& labels,
                                                std::vector<std::string>& names) {
    std::vector<std::vector<Example>> examples;
    for (auto item : labels) {
        if (!py::isinstance<py::str>(item.first))
            throwBadParams("label names must be str; got " +
                           py::repr(item.first).cast<std::string>());
        names.push_back(strText(item.first));
        const std::string label = labelText(names.back());
        // The name goes into tool files and output file names.
        const std::string problem = labelNameProblem(names.back());
        if (!problem.empty()) throwBadParams(problem);
        if (py::isinstance<py::str>(item.second) || !py::isinstance<py::iterable>(item.second))
            throwBadParams("the examples of " + label +
                           " must be a list of (image, mask or None) pairs");
        examples.emplace_back();
        for (py::handle pair : item.second) {
            const std::string what =
                "example " + std::to_string(examples.back().size() + 1) + " of " + label;
            py::tuple t;
            if (py::isinstance<py::tuple>(pair) || py::isinstance<py::list>(pair))
                t = py::tuple(py::reinterpret_borrow<py::object>(pair));
            if (t.size() != 2) throwBadParams(what + " must be an (image, mask or None) pair");
            Example e;
            e.image = asArray(t[0], "the image of " + what);
            e.imageView = checkImage(e.image, "the image of " + what);
            if (!t[1].is_none()) {
                e.mask = asArray(t[1], "the mask of " + what);
                e.maskView = checkMask(e.mask, e.imageView, "the mask of " + what);
                e.hasMask = true;
                if (!selectsAny(e.maskView))
                    throwBadImage("the mask of " + what + " selects no pixel (it is 0 everywhere)");
            }
            examples.back().push_back(std::move(e));
        }
        if (examples.back().empty()) throwBadParams(label + " has no examples");
    }
    if (examples.empty()) throwBadParams("no labels given: labels is an empty dict");
    return examples;
}

// The examples as the library takes them (call without the GIL).
std::vector<kvCompositeColorSet> copyExamples(const std::vector<std::vector<Example>>& examples) {
    std::vector<kvCompositeColorSet> sets;
    for (const auto& label : examples) {
        std::vector<kvCompositeColor> instances;
        for (const Example& e : label) {
            // Examples of many megapixels take a while to copy: Ctrl-C is
            // heard between them.
            kfThrowExceptionOnFailure(ksys_attention_check());
            instances.emplace_back(copyImage(e.imageView),
                                   e.hasMask
                                       ? kvPelBuffer_const<unsigned char>(copyMask(e.maskView))
                                       : kvPelBuffer_const<unsigned char>());
        }
        sets.emplace_back(instances);
    }
    return sets;
}

}  // namespace

// ---- Result ----

Result::Result(kvCompositeColorSegmenterResult result, std::vector<std::string> names,
               int neighborhood, bool normalized, long width, long height)
    : result_(std::move(result)),
      names_(std::move(names)),
      neighborhood_(neighborhood),
      normalized_(normalized),
      width_(width),
      height_(height) {}

py::tuple Result::state() {
    std::string bytes;
    {
        py::gil_scoped_release release;
        // Storing scores the kept image again: Ctrl-C stops it.
        bytes = CallGuard::run([&] {
            std::ostringstream out;
            std::lock_guard<std::mutex> lock(mutex_);
            kvArchive archive(out);
            archive || result_;
            return out.str();
        });
    }
    py::list names;
    for (const std::string& n : names_) names.append(n);
    return py::make_tuple(py::bytes(bytes), names, neighborhood_, normalized_, width_, height_);
}

namespace {

std::vector<std::string> namesOf(py::handle list) {
    std::vector<std::string> names;
    for (py::handle n : list) names.push_back(n.cast<std::string>());
    return names;
}

}  // namespace

std::shared_ptr<Result> Result::fromState(const py::tuple& state) {
    if (state.size() != 6) throwBadParams("not the state of a pickled clsg.Result");
    const std::string bytes = state[0].cast<py::bytes>();
    kvCompositeColorSegmenterResult result;
    {
        py::gil_scoped_release release;
        std::istringstream in(bytes);
        kvArchive archive(in);
        archive || result;
    }
    // The rest must agree with the archive: its images' size, and a name for
    // every label it holds (a label past the names is refused by the result).
    std::vector<std::string> names = namesOf(state[1]);
    const int neighborhood = state[2].cast<int>();
    const long width = state[4].cast<long>(), height = state[5].cast<long>();
    const kvPelBuffer_const<unsigned char> labels = result.labelImage();
    if (!labels.isBound() || labels.width() != width || labels.height() != height)
        throwBadParams("not the state of a pickled clsg.Result: its size is not its images' size");
    bool moreLabels = names.size() < 255;
    try {
        if (moreLabels) result.segmentationImage(static_cast<unsigned char>(names.size()));
    } catch (const kvCompositeColorSegmenterDefs::BadParams&) {
        moreLabels = false;
    }
    if (names.empty() || moreLabels || neighborhood < 1 || neighborhood > 255)
        throwBadParams(
            "not the state of a pickled clsg.Result: its names or neighbourhood do not "
            "fit its images");
    return std::make_shared<Result>(std::move(result), std::move(names), neighborhood,
                                    state[3].cast<bool>(), width, height);
}

template <class F>
py::array Result::derived(F f) {
    kvPelBuffer_const<unsigned char> image;
    {
        py::gil_scoped_release release;
        image = CallGuard::run([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return f(result_);
        });
    }
    return viewOf(image);
}

py::array Result::labels() {
    return derived([](const kvCompositeColorSegmenterResult& r) { return r.labelImage(); });
}

py::array Result::confidence() {
    return derived([](const kvCompositeColorSegmenterResult& r) { return r.confidenceImage(); });
}

py::array Result::score() {
    return derived([](const kvCompositeColorSegmenterResult& r) { return r.scoreImage(); });
}

py::array Result::segmentation(py::handle label) {
    long index = -1;
    if (py::isinstance<py::str>(label)) {
        const std::string name = strText(label);
        for (size_t i = 0; i < names_.size(); ++i)
            if (names_[i] == name) index = static_cast<long>(i);
        if (index < 0) throwBadParams("no label named " + labelText(name));
    } else if (const std::optional<py::int_> given = asInteger(label)) {
        const long long i = integerValue(*given);
        if (i < 0 || i >= static_cast<long long>(names_.size()))
            throwBadParams("label index " + std::string(py::str(given->ptr())) + " is not in 0.." +
                           std::to_string(static_cast<long>(names_.size()) - 1));
        index = static_cast<long>(i);
    } else {
        throwBadParams("a label is a name (str) or an index (int)");
    }
    const auto l = static_cast<unsigned char>(index);
    return derived(
        [l](const kvCompositeColorSegmenterResult& r) { return r.segmentationImage(l); });
}

namespace {

// A pixel count of at least 0; counts beyond 64 bits mean "more than any image
// holds" and are taken as the largest.
uint64_t pixelCountArg(py::handle value, const char* name) {
    const std::optional<py::int_> i = asInteger(value);
    if (!i || PyObject_RichCompareBool(i->ptr(), py::int_(0).ptr(), Py_LT) == 1)
        throwBadParams(std::string(name) + " must be a whole number of at least 0; got " +
                       py::repr(value).cast<std::string>());
    const unsigned long long v = PyLong_AsUnsignedLongLong(i->ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // beyond 64 bits
        return std::numeric_limits<uint64_t>::max();
    }
    return v;
}

}  // namespace

clsg::CleanedRegions Result::clean(py::handle minArea, py::handle fillHoles,
                                   py::handle connectivity) {
    clsg::RegionOptions options;
    options.minArea = pixelCountArg(minArea, "min_area");
    options.fillHoles = pixelCountArg(fillHoles, "fill_holes");
    const std::optional<py::int_> given = asInteger(connectivity);
    const long long neighbours = given ? integerValue(*given) : 0;
    if (neighbours != 4 && neighbours != 8)
        throwBadParams("connectivity must be 4 or 8; got " +
                       py::repr(connectivity).cast<std::string>());
    options.connectivity = static_cast<int>(neighbours);
    py::gil_scoped_release release;
    return CallGuard::run([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return clsg::cleanRegions(result_.labelImage(), result_.confidenceImage(), options);
    });
}

py::object Result::regions(py::handle minArea, py::handle fillHoles, py::handle connectivity) {
    return regionTable(clean(minArea, fillHoles, connectivity).regions);
}

py::tuple Result::cleaned(py::handle minArea, py::handle fillHoles, py::handle connectivity) {
    clsg::CleanedRegions c = clean(minArea, fillHoles, connectivity);
    return py::make_tuple(viewOf(c.labels), regionTable(c.regions));
}

py::tuple Result::cleanedColumns(py::handle minArea, py::handle fillHoles,
                                 py::handle connectivity) {
    clsg::CleanedRegions c = clean(minArea, fillHoles, connectivity);
    return py::make_tuple(viewOf(c.labels), regionTable(c.regions, false));
}

py::object Result::regionTable(const std::vector<clsg::Region>& table, bool frame) const {
    const auto n = static_cast<py::ssize_t>(table.size());
    py::list names;
    py::array_t<uint8_t> labelIndex(n);
    py::array_t<uint32_t> id(n);
    py::array_t<uint64_t> area(n);
    py::array_t<int64_t> left(n), top(n), width(n), height(n);
    py::array_t<double> cx(n), cy(n), confidence(n);
    py::array_t<bool> border(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        const clsg::Region& r = table[static_cast<std::size_t>(i)];
        names.append(r.label < names_.size() ? names_[r.label] : std::to_string(r.label));
        labelIndex.mutable_at(i) = r.label;
        id.mutable_at(i) = r.id;
        area.mutable_at(i) = r.area;
        left.mutable_at(i) = r.left, top.mutable_at(i) = r.top;
        width.mutable_at(i) = r.width, height.mutable_at(i) = r.height;
        cx.mutable_at(i) = r.centroidX, cy.mutable_at(i) = r.centroidY;
        confidence.mutable_at(i) = r.meanConfidence;
        border.mutable_at(i) = r.touchesBorder;
    }
    py::dict columns;
    columns["label"] = py::module_::import("numpy").attr("array")(names, "dtype"_a = "str");
    columns["label_index"] = labelIndex;
    columns["id"] = id;
    columns["area"] = area;
    columns["left"] = left;
    columns["top"] = top;
    columns["width"] = width;
    columns["height"] = height;
    columns["centroid_x"] = cx;
    columns["centroid_y"] = cy;
    columns["mean_confidence"] = confidence;
    columns["touches_border"] = border;
    if (!frame) return std::move(columns);
    try {
        return py::module_::import("pandas").attr("DataFrame")(columns);
    } catch (const py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return std::move(columns);
    }
}

// ---- Tool ----

namespace {

// A path the system cannot take whole; said here in full, since a message
// with a NUL in it would end there.
void checkPath(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throwBadParams("the path " + kfPrintable(path, 200) + " holds a NUL character");
}

}  // namespace

std::shared_ptr<const ToolFile> Tool::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_;
}

std::shared_ptr<Tool> Tool::copy() const {
    auto other = std::make_shared<Tool>();
    std::lock_guard<std::mutex> lock(mutex_);
    other->file_ = file_;
    other->bytesOf_ = bytesOf_;
    other->bytes_ = bytes_;
    return other;
}

void Tool::train(const py::dict& labels, py::handle fracArg, py::handle minArg, py::handle colors) {
    const double toleranceFrac = realArg(fracArg, "tolerance_frac");
    const std::optional<py::int_> minInt = asInteger(minArg);
    if (!minInt)
        throwBadParams("tolerance_min must be an integer; got " +
                       py::repr(minArg).cast<std::string>());
    const long long toleranceMin = integerValue(*minInt);
    // Above 255 the floor would widen every level range while the tolerance the
    // scores are scaled by wraps round (256 scores as 0): clsg train refuses it too.
    if (toleranceMin < 0 || toleranceMin > 255)
        throwBadParams("tolerance_min must be in 0..255; got " +
                       py::repr(minArg).cast<std::string>());
    if (!(toleranceFrac >= 0.0 && toleranceFrac <= 1.0))
        throwBadParams("tolerance_frac must be in 0..1; got " + kfStr(toleranceFrac));
    if (toleranceFrac < kMinToleranceFrac)
        throwBadParams(
            "tolerance_frac 0, or below 0.000001, gives every colour a weight of (about) 0, "
            "so the tool would label no pixel; give 0.02 to 0.3, or use suggest; got " +
            kfStr(toleranceFrac));
    const kvCompositeColorSegmenterTrainParams params(toleranceFrac,
                                                      static_cast<uint32_t>(toleranceMin));

    std::vector<std::string> names;
    const std::vector<std::vector<Example>> examples = parseExamples(labels, names);

    std::vector<std::optional<uint32_t>> chosen(names.size());
    if (!colors.is_none()) {
        if (!py::isinstance<py::dict>(colors))
            throwBadParams("colors must be a dict of label name -> \"#rrggbb\" or (r, g, b)");
        for (auto item : py::reinterpret_borrow<py::dict>(colors)) {
            const auto at = py::isinstance<py::str>(item.first)
                                ? std::find(names.begin(), names.end(), strText(item.first))
                                : names.end();
            if (at == names.end())
                throwBadParams("colors names " + py::repr(item.first).cast<std::string>() +
                               ", which is not a label being trained");
            chosen[static_cast<std::size_t>(at - names.begin())] = colorArg(item.second, *at);
        }
    }
    auto trained = std::make_shared<ToolFile>();
    std::vector<std::optional<uint32_t>> means(names.size());
    std::vector<kvCompositeColorSet> cropped;
    std::string unreadable;
    {
        py::gil_scoped_release release;
        CallGuard::run([&] {
            const std::vector<kvCompositeColorSet> sets = copyExamples(examples);
            // Keep only what a tool file keeps (each example cut to its
            // mask's box): the same model, and a saved and reloaded tool
            // equals this one.
            cropped = cropExamples(sets);
            for (std::size_t i = 0; i < sets.size(); ++i) means[i] = meanExampleColor(sets[i]);
            unreadable = whyUnreadable(cropped, params);
        });
    }
    // Said before a training that may take minutes: the tool runs here, but
    // save and pickle (Dask's processes) will refuse it.
    if (!unreadable.empty() &&
        PyErr_WarnEx(PyExc_UserWarning,
                     ("this tool will run, but cannot be saved or pickled: it could not be read "
                      "back (" +
                      unreadable + "); give fewer or smaller examples")
                         .c_str(),
                     1) != 0)
        throw py::error_already_set();
    {
        py::gil_scoped_release release;
        CallGuard::run([&] { trained->tool.train(cropped, params); });
    }
    // Colours as clsg train gives them: the name's, else near the examples' mean.
    const std::vector<uint32_t> assigned = labelColors(names, chosen, means);
    for (std::size_t i = 0; i < names.size(); ++i)
        trained->labels.push_back({names[i], assigned[i], {}});
    // Said before the tool changes: a filter that makes warnings errors leaves it as it was.
    for (const std::string& warning : teachingWarnings(names, cropped, assigned))
        if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = std::move(trained);
}

std::string suggest(const py::dict& labels, unsigned threads) {
    clsg::useTrainingHeap();  // the search's colour tables stay in the heap
    std::vector<std::string> names;
    const std::vector<std::vector<Example>> examples = parseExamples(labels, names);
    nlohmann::json report;
    std::vector<std::string> warnings;  // as clsg train --auto says them
    {
        py::gil_scoped_release release;
        CallGuard::run([&] {
            const std::vector<kvCompositeColorSet> sets = copyExamples(examples);
            // Only tolerances whose tool Tool.save could store: reading a
            // tool file trains it again within the readers' budget.
            const std::vector<kvCompositeColorSet> stored = cropExamples(sets);
            clsg::SuggestOptions options;
            options.threads = threads ? threads : std::max(1u, std::thread::hardware_concurrency());
            options.labelNames = names;
            options.checkCost = [&](const kvCompositeColorSegmenterTrainParams& p) {
                ToolFileLimits().budget.check(stored, p);
            };
            const clsg::SuggestReport found = clsg::suggestSegmenterParams(sets, options);
            report = suggestReportJson(names, found);
            warnings = teachingWarnings(names, stored, {});  // as the tool would keep them
            for (std::string& w : searchWarnings(names, found)) warnings.push_back(std::move(w));
        });
    }
    for (const std::string& warning : warnings)  // at the line that called clsg.suggest
        if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 2) != 0) throw py::error_already_set();
    return report.dump();
}

std::shared_ptr<Result> Tool::run(py::handle image, py::handle neighborhoodSize,
                                  bool normalizeIntensity, bool warnNarrow) const {
    const auto file = snapshot();
    const long long neighborhood = neighborhoodArg(neighborhoodSize, *file);
    const auto params = runParams(neighborhood, normalizeIntensity);
    const py::array array = asArray(image, "image");
    const ArrayView view = checkImage(array, "image");
    kvCompositeColorSegmenterResult result;
    {
        py::gil_scoped_release release;
        // The planes of this thread's last run, refilled when the next image has the same
        // size (a run keeps a copy of its input, so nothing else holds them): a frame loop
        // costs no fresh memory for them. Kept only up to a few megapixels.
        thread_local kv3PlanePelBuffer planes;
        constexpr long kKeptPixels = 4L << 20;
        CallGuard::run([&] {
            planes = copyImage(view, std::move(planes));
            file->tool.run(planes, params, result);
            if (view.width * view.height > kKeptPixels) planes = kv3PlanePelBuffer();
        });
    }
    // Said once the run has shown the tool trained and the image good.
    const std::string narrow =
        narrowImageNote("the image", view.width, view.height, static_cast<int32_t>(neighborhood));
    if (warnNarrow && !narrow.empty() && PyErr_WarnEx(PyExc_UserWarning, narrow.c_str(), 1) != 0)
        throw py::error_already_set();
    return std::make_shared<Result>(std::move(result), file->labelNames(),
                                    static_cast<int>(neighborhood), normalizeIntensity, view.width,
                                    view.height);
}

namespace {

double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

std::vector<std::pair<double, double>> Tool::timeRuns(py::handle image, long long neighborhood,
                                                      bool normalizeIntensity, int repeats) const {
    const auto params = runParams(neighborhood, normalizeIntensity);
    const py::array array = asArray(image, "image");
    const ArrayView view = checkImage(array, "image");
    const auto file = snapshot();
    std::vector<std::pair<double, double>> seconds;
    py::gil_scoped_release release;
    CallGuard::run([&] {
        const kv3PlanePelBuffer_const planes = copyImage(view);
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const double cpuStart = threadSeconds();
            {
                kvCompositeColorSegmenterResult result;
                file->tool.run(planes, params, result);
                result.labelImage();
            }  // freeing the result counts, as it does in Python
            seconds.emplace_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                threadSeconds() - cpuStart);
        }
    });
    return seconds;
}

std::vector<double> Tool::timeTiledRuns(py::handle image, long long neighborhood,
                                        bool normalizeIntensity, unsigned threads,
                                        int repeats) const {
    const auto params = runParams(neighborhood, normalizeIntensity);
    const py::array array = asArray(image, "image");
    const ArrayView view = checkImage(array, "image");
    const auto file = snapshot();
    std::vector<double> seconds;
    py::gil_scoped_release release;
    CallGuard::run([&] {
        const kv3PlanePelBuffer_const planes = copyImage(view);
        clsg::TiledOptions options;
        options.threads = threads;
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            clsg::tiledRun(file->tool, planes, params, clsg::TiledOutputs(), options);
            seconds.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    });
    return seconds;
}

void Tool::save(const std::string& path) const {
    checkPath(path);
    const auto file = snapshot();
    if (!file->tool.isTrained()) throw kvCompositeColorSegmenterDefs::NotTrained();
    py::gil_scoped_release release;
    // A new file renamed over the old one: a failed write leaves the old file
    // whole (Ctrl-C ends a wait for a pipe's reader).
    CallGuard::run([&] {
        OutputFiles out;
        writeToolFile(out.stage(path), *file, path);
        out.commit();
    });
}

std::shared_ptr<Tool> Tool::load(const std::string& path) {
    checkPath(path);
    auto tool = std::make_shared<Tool>();
    {
        py::gil_scoped_release release;
        // Reading trains the tool again: Ctrl-C stops it.
        tool->file_ =
            CallGuard::run([&] { return std::make_shared<const ToolFile>(readToolFile(path)); });
    }
    return tool;
}

py::bytes Tool::toBytes() const {
    std::shared_ptr<const ToolFile> file;
    std::shared_ptr<const std::string> data;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        file = file_;
        if (bytesOf_ == file_) data = bytes_;
    }
    if (!file->tool.isTrained()) return py::bytes();
    if (!data) {
        {
            py::gil_scoped_release release;
            data = std::make_shared<const std::string>(encodeToolFile(*file));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        bytesOf_ = file;
        bytes_ = data;
    }
    return py::bytes(*data);
}

std::shared_ptr<Tool> Tool::fromBytes(const py::bytes& bytes) {
    auto tool = std::make_shared<Tool>();
    const std::string data = bytes;
    if (data.empty()) return tool;
    py::gil_scoped_release release;
    // Dask sends a tool with every task, and reading one trains it again:
    // while a tool read from the same bytes is alive, share it. The cache
    // holds no tool itself: deleting the last one frees its model.
    static std::mutex lastMutex;
    static std::string lastBytes;
    static std::weak_ptr<const ToolFile> lastFile;
    {
        std::lock_guard<std::mutex> lock(lastMutex);
        if (auto alive = lastFile.lock(); alive && lastBytes == data) {
            tool->file_ = std::move(alive);
            return tool;
        }
    }
    auto file = CallGuard::run(
        [&] { return std::make_shared<const ToolFile>(decodeToolFile(data, "the tool's bytes")); });
    {
        std::lock_guard<std::mutex> lock(lastMutex);
        lastBytes = data;
        lastFile = file;
    }
    tool->file_ = std::move(file);
    return tool;
}

std::vector<std::string> Tool::labels() const { return snapshot()->labelNames(); }
std::vector<std::string> Tool::colors() const {
    std::vector<std::string> texts;
    for (const ToolLabel& label : snapshot()->labels) texts.push_back(colorText(label.color));
    return texts;
}
std::optional<int> Tool::neighborhood() const { return snapshot()->neighborhoodSize; }

void Tool::setNeighborhood(py::handle size) {
    for (;;) {  // a train meanwhile is not undone: the size goes to the tool it made
        const auto file = snapshot();
        auto changed = std::make_shared<ToolFile>(*file);
        changed->neighborhoodSize.reset();
        if (!size.is_none())
            changed->neighborhoodSize = static_cast<int>(neighborhoodArg(size, *file));
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ != file) continue;
        file_ = std::move(changed);
        return;
    }
}
bool Tool::isTrained() const { return snapshot()->tool.isTrained(); }
double Tool::toleranceFrac() const { return snapshot()->tool.trainParams().colorToleranceFrac(); }
unsigned Tool::toleranceMin() const { return snapshot()->tool.trainParams().colorToleranceMin(); }
bool Tool::operator==(const Tool& other) const {
    const auto a = snapshot(), b = other.snapshot();
    if (a->labels.size() != b->labels.size() || a->neighborhoodSize != b->neighborhoodSize)
        return false;
    for (std::size_t i = 0; i < a->labels.size(); ++i)
        if (a->labels[i].name != b->labels[i].name || a->labels[i].color != b->labels[i].color)
            return false;
    return a->tool == b->tool;
}

// ---- image files ----

py::array readImage(const std::string& path) {
    checkPath(path);
    kv3PlanePelBuffer image;
    {
        py::gil_scoped_release release;
        image = CallGuard::run([&] { return readColorImage(path); });  // a pipe may wait
    }
    return interleave(image);
}

namespace {

// An image array to write, checked (with the GIL held); its pixels are read
// when it is written.
struct ImageToWrite {
    py::array array;  // keeps the pixels alive
    ArrayView view;
    bool grey = false;
};

ImageToWrite imageToWrite(py::handle obj) {
    ImageToWrite image{asArray(obj, "image"), {}, false};
    const py::array& array = image.array;
    if (array.ndim() != 2) {
        image.view = checkImage(array, "image");
        return image;
    }
    ArrayView size;
    size.height = array.shape(0);
    size.width = array.shape(1);
    if (array.dtype().kind() != 'u' || array.itemsize() != 1)
        throwBadImage("a grey image must have dtype uint8; got " +
                      py::str(array.dtype()).cast<std::string>());
    if (size.height == 0 || size.width == 0) throwBadImage("image is empty");
    image.view = checkMask(array, size, "image");
    image.grey = true;
    return image;
}

void writeImageAs(const ImageToWrite& image, const std::string& temp, const std::string& path) {
    const ArrayView& v = image.view;
    if (!image.grey) {
        writeColorImage(temp, copyImage(v), formatForPath(path), path);
        return;
    }
    kvPelBuffer<unsigned char> grey(kvPelRect(0, 0, v.width, v.height));
    for (long y = 0; y < v.height; ++y)
        for (long x = 0; x < v.width; ++x)
            grey.pointToRow(y)[x] = v.data[y * v.rowStride + x * v.colStride];
    writeGreyImage(temp, grey, formatForPath(path), path);
}

}  // namespace

void writeImages(const std::vector<std::string>& paths, const py::sequence& arrays,
                 clsg::FinalNameFrom from) {
    if (paths.size() != py::len(arrays)) throwBadParams("one image per path, please");
    std::vector<ImageToWrite> images;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        checkPath(paths[i]);
        images.push_back(imageToWrite(arrays[i]));
    }
    py::gil_scoped_release release;
    // New files renamed over the old ones once all are written: a failed write
    // leaves every earlier file whole, and so does Ctrl-C during the writes
    // (the call then raises KeyboardInterrupt, the new files dropped).
    CallGuard::run([&] {
        clsg::OutputFiles out;
        try {
            for (std::size_t i = 0; i < paths.size(); ++i)
                writeImageAs(images[i], out.stage(paths[i], from), paths[i]);
            kfThrowExceptionOnFailure(ksys_attention_check());
            out.commit();
        } catch (const clsg::FileError& e) {
            throw ImageError(e.what());
        }
    });
}

void writeImage(const std::string& path, py::handle obj) {
    writeImages({path}, py::make_tuple(obj));
}

}  // namespace clsgpy
