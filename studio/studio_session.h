// What one studio page works on: the images, the labels with their colours,
// the marks painted on each image, and the settings. From these it trains a
// tool (again only when marks, labels or train settings changed), segments an
// image (again only when the tool or the run settings changed), saves the
// tool and exports the marks as mask files.
//
// Marks are one byte per pixel: 0 for no mark, i + 1 for label i. Painting
// a pixel for one label takes it from any other.
//
// Not thread-safe: the server serialises every call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/three_plane.h"
#include "clsg/regions/regions.h"

namespace clsg {

// A request the session cannot carry out; the message is for the page.
class StudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct StudioImage {
    std::string name;  // unique; names exported files
    std::string path;  // the file it was read from, empty when it has none
    kv3PlanePelBuffer pixels;
    std::vector<uint8_t> marks;  // width * height, row by row
};

struct StudioLabel {
    std::string name;
    uint32_t color;  // 0xRRGGBB
};

struct StudioSettings {
    double toleranceFrac = 0.1;
    uint32_t toleranceMin = 2;
    int32_t neighborhood = 3;
    bool normalize = false;
};

enum class StudioView { Labels, Confidence, Score };

// One segmented image, or a window of it, as the page shows it.
struct StudioSegmentation {
    kvPelRect window;              // the part of the image segmented
    std::vector<uint8_t> pixels;   // the view's bytes over window, row by row
    std::vector<uint64_t> counts;  // whole image only: pixels per label, then unlabelled
    double trainMs = 0;            // 0 when the trained tool was reused
    double runMs = 0;              // 0 when the result was reused
};

// What export() wrote.
struct StudioExport {
    std::vector<std::string> files;  // relative to the output directory
    std::string trainCommand;        // the clsg train line that gives the same tool
};

class StudioSession {
public:
    static constexpr std::size_t kMaxLabels = 254;
    static constexpr int32_t kMaxNeighborhood = 255;  // as tool files store it

    // outDir: where save and export write (created when needed).
    explicit StudioSession(std::string outDir);

    // Adds an image; its name is made unique. Returns its index.
    std::size_t addImage(const std::string& name, const std::string& path,
                         const kv3PlanePelBuffer& pixels);
    const std::vector<StudioImage>& images() const { return images_; }
    const std::vector<StudioLabel>& labels() const { return labels_; }
    const StudioSettings& settings() const { return settings_; }
    const std::string& outDir() const { return outDir_; }
    // Changes with every edit of labels, marks or settings.
    uint64_t revision() const { return revision_; }

    // Label edits; names follow the rules of clsg train. Throw StudioError.
    // Without a colour, the label gets the one clsg train would give it.
    void addLabel(const std::string& name, std::optional<uint32_t> color = std::nullopt);
    void renameLabel(std::size_t label, const std::string& name);
    void recolorLabel(std::size_t label, uint32_t color);
    // Removes the label and its marks; later labels move down by one.
    void deleteLabel(std::size_t label);

    // Throws StudioError for values the tool does not accept.
    void setSettings(const StudioSettings& settings);

    // Replaces the marks inside rect (x, y, w, h) of image with values
    // (w * h bytes, row by row, each 0 .. labels().size()).
    void paintMarks(std::size_t image, long x, long y, long w, long h,
                    const std::vector<uint8_t>& values);

    // Trains when needed and segments window of image (empty: the whole
    // image, whose outputs are kept for the next request) on every core;
    // a window gives the same bytes as that part of the whole image. Throws
    // StudioError saying what to do when training cannot work (no labels, a
    // label without marks) or the library refuses.
    StudioSegmentation segment(std::size_t image, StudioView view,
                               const kvPelRect& window = kvPelRect());

    // Regions (8-connected) of the whole-image label image kept from the last
    // segment() of image: the count per label of those of at least minArea
    // pixels, and the region under pixel (x, y). Empty and nullopt when no
    // whole-image label image of that image is kept, or (x, y) is unlabelled.
    std::vector<uint64_t> regionCounts(std::size_t image, uint64_t minArea);
    std::optional<clsg::Region> regionAt(std::size_t image, long x, long y);

    // Writes the trained tool to outDir/fileName; returns the path written.
    std::string saveTool(const std::string& fileName);
    // The clsg run line that segments the open images (those read from
    // files) with the tool at toolPath as segment() does.
    std::string runCommand(const std::string& toolPath) const;
    // Writes each label's marks as masks into outDir/dirName, with the
    // images that have no file of their own.
    StudioExport exportMasks(const std::string& dirName);

    // Adds the labels, settings and examples of a tool file: an example
    // image equal to an open image marks that image, any other is added.
    void loadTool(const std::string& path);

private:
    const StudioImage& imageAt(std::size_t image) const;
    void checkLabel(std::size_t label) const;
    void checkNewName(const std::string& name, std::size_t except) const;
    void trainSettingsChanged() { ++revision_, ++trainRevision_; }
    void train();

    std::string outDir_;
    std::vector<StudioImage> images_;
    std::vector<StudioLabel> labels_;
    StudioSettings settings_;
    uint64_t revision_ = 1;
    uint64_t trainRevision_ = 1;  // changes with what training depends on

    kvCompositeColorSegmenterTool tool_;
    uint64_t toolRevision_ = 0;  // the trainRevision_ tool_ was trained at, 0 for none
    std::string toolError_;      // why training failed at toolRevision_

    // The whole-image outputs of the last run, per view (unbound until
    // asked for), and the brightness gain, for one tool, image and settings.
    kvPelBuffer<unsigned char> outputs_[3];
    // The regions of outputs_[0] (regionsOf_ shares its pixels while they
    // are current), found on first request.
    bool keptRegions(std::size_t image);
    kvPelBuffer_const<unsigned char> regionsOf_;
    clsg::CleanedRegions regions_;
    double gain_ = 1.0;
    std::size_t resultImage_ = 0;
    uint64_t resultToolRevision_ = 0;  // 0: nothing kept
    kvCompositeColorSegmenterRunParams resultParams_;
};

}  // namespace clsg
