// The Python-facing tool and result.
//
// A tool may be run from several Python threads at once: runs read the
// trained tool, and train and load replace it as a whole (a run in progress
// keeps the one it started with). A result guards its derived images, which
// the library builds on first request, with a lock of its own.
#pragma once

#include <pybind11/numpy.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bare_objects.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/io/output_files.h"
#include "clsg/io/tool_file.h"
#include "clsg/regions/regions.h"

namespace clsgpy {

// The binding speaks the file library's names unqualified.
using namespace clsg;

class Result {
public:
    Result(kvCompositeColorSegmenterResult result, std::vector<std::string> names, int neighborhood,
           bool normalized, long width, long height);

    pybind11::array labels();
    pybind11::array confidence();
    pybind11::array score();
    // label: a label name or index.
    pybind11::array segmentation(pybind11::handle label);
    // The regions of the label image, cleaned as asked: a pandas DataFrame
    // when pandas imports, else a dict of numpy arrays (one per column).
    pybind11::object regions(pybind11::handle minArea, pybind11::handle fillHoles,
                             pybind11::handle connectivity);
    // The label image cleaned as regions() counts it (a new image), and that
    // table.
    pybind11::tuple cleaned(pybind11::handle minArea, pybind11::handle fillHoles,
                            pybind11::handle connectivity);
    // As cleaned(), the table always a dict of numpy arrays: for a worker
    // thread, which must not import pandas while its process's other threads
    // may be importing it too.
    pybind11::tuple cleanedColumns(pybind11::handle minArea, pybind11::handle fillHoles,
                                   pybind11::handle connectivity);

    // The result as pickle keeps it: its archive bytes, the label names, the
    // neighbourhood, whether intensity was normalised and the size; and back.
    pybind11::tuple state();
    static std::shared_ptr<Result> fromState(const pybind11::tuple& state);

    const std::vector<std::string>& labelNames() const { return names_; }
    int neighborhood() const { return neighborhood_; }
    bool normalized() const { return normalized_; }
    long width() const { return width_; }
    long height() const { return height_; }

private:
    template <class F>
    pybind11::array derived(F f);
    clsg::CleanedRegions clean(pybind11::handle minArea, pybind11::handle fillHoles,
                               pybind11::handle connectivity);
    pybind11::object regionTable(const std::vector<clsg::Region>& table, bool frame = true) const;

    std::mutex mutex_;
    kvCompositeColorSegmenterResult result_;
    std::vector<std::string> names_;
    int neighborhood_;
    bool normalized_;
    long width_, height_;
};

// Chooses the parameters for labels (as Tool.train takes them) by
// cross-validation, as clsg train --auto does, on `threads` threads (0: one
// per core); returns the report as JSON.
std::string suggest(const pybind11::dict& labels, unsigned threads);

class Tool {
public:
    Tool() : file_(std::make_shared<ToolFile>()) {}

    // labels: dict of name -> list of (image, mask or None); colors: None or
    // dict of name -> "#rrggbb" or (r, g, b), the others derived from names.
    void train(const pybind11::dict& labels, pybind11::handle toleranceFrac,
               pybind11::handle toleranceMin, pybind11::handle colors);
    // neighborhood None: the size the tool file stores, else 3. warnNarrow: a
    // UserWarning for an image narrower than a neighbourhood whose nearest
    // weights are 0 (a Dask block at the image's edge is no such image).
    std::shared_ptr<Result> run(pybind11::handle image, pybind11::handle neighborhood,
                                bool normalizeIntensity, bool warnNarrow = true) const;
    void save(const std::string& path) const;
    static std::shared_ptr<Tool> load(const std::string& path);

    // The tool file's bytes (empty for an untrained tool), for pickling:
    // Dask sends tools to its workers this way.
    pybind11::bytes toBytes() const;
    static std::shared_ptr<Tool> fromBytes(const pybind11::bytes& bytes);

    std::vector<std::string> labels() const;
    std::vector<std::string> colors() const;  // "#rrggbb", in label order
    std::optional<int> neighborhood() const;  // the stored size, if any
    // Stores size (1..255) as the tool file's neighbourhood; None removes it.
    void setNeighborhood(pybind11::handle size);
    bool isTrained() const;
    double toleranceFrac() const;
    unsigned toleranceMin() const;
    bool operator==(const Tool& other) const;

    // The wall-clock and this thread's CPU seconds of each of repeats C++
    // runs on image, outside Python and without converting the image each
    // time: the baseline of the binding's overhead.
    std::vector<std::pair<double, double>> timeRuns(pybind11::handle image, long long neighborhood,
                                                    bool normalizeIntensity, int repeats) const;
    // The same for the tiled runner on threads threads (label image only).
    std::vector<double> timeTiledRuns(pybind11::handle image, long long neighborhood,
                                      bool normalizeIntensity, unsigned threads, int repeats) const;

    // The trained tool as it is now; train and load replace it, never change it.
    std::shared_ptr<const ToolFile> snapshot() const;
    // A tool of its own that shares the trained tool as it is now (cheap: a
    // later train of either replaces only its own).
    std::shared_ptr<Tool> copy() const;

private:
    mutable std::mutex mutex_;  // guards the pointers, not the tool
    std::shared_ptr<const ToolFile> file_;
    // toBytes of bytesOf_, kept while it is file_: Dask pickles a tool once
    // per task.
    mutable std::shared_ptr<const ToolFile> bytesOf_;
    mutable std::shared_ptr<const std::string> bytes_;
};

// Whole-file images (PNG, PNM, and what the image layer reads).
pybind11::array readImage(const std::string& path);
void writeImage(const std::string& path, pybind11::handle image);
// Writes each image to its path, all or none. Paths from the program (names
// made in a folder) take no device or pipe.
void writeImages(const std::vector<std::string>& paths, const pybind11::sequence& images,
                 clsg::FinalNameFrom from = clsg::FinalNameFrom::user);

}  // namespace clsgpy
