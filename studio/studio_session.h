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

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "clsg/colorseg/budget.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/three_plane.h"
#include "clsg/regions/regions.h"
#include "clsg/tuning/suggest_params.h"

namespace clsg {

// A request the session cannot carry out; the message is for the page.
class StudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct StudioImage {
    std::string name;   // unique; names exported files
    std::string title;  // the name as given (its file's), shown; "(2)" on a second
    std::string path;   // the file it was read from, empty when it has none
    kv3PlanePelBuffer pixels;
    std::vector<uint8_t> marks;  // width * height, row by row
    uint64_t digest = 0;         // of the size and pixels: finds the image again
    // The file as it was when read (device, inode, size, modification time in
    // ns), all 0 when unknown: the same again, it holds the same picture.
    std::array<int64_t, 4> stamp{};
};

struct StudioLabel {
    std::string name;
    uint32_t color;                // 0xRRGGBB
    bool chosen = false;           // the colour was picked (or read from a tool file), not derived
    bool marked = false;           // it had marks when the tool was last trained
    std::optional<uint32_t> mean;  // the mean colour of its marks then
};

struct StudioSettings {
    double toleranceFrac = 0.1;
    uint32_t toleranceMin = 2;
    int32_t neighborhood = 3;
    bool normalize = false;
    // Regions of fewer pixels are shown unlabelled (the page's filter, as
    // clsg run --min-area); kept with the others, it changes no training.
    uint64_t minArea = 0;
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

// A small picture of one image with its segmentation, for the list of open
// images: width * height RGB pels and as many label values (255: no label),
// each the nearest pel of the image, and the pels per label of the whole image.
struct StudioPreview {
    long width = 0, height = 0;
    std::vector<uint8_t> rgb, labels;
    std::vector<uint64_t> counts;  // per label, then unlabelled
    double runMs = 0;              // 0 when the result was reused
};

// A session file found at the start that can be restored.
struct StudioRestore {
    std::string savedAt;     // local time, "2026-12-07 05:10:03"
    std::size_t labels = 0;  // labels it holds
    std::size_t images = 0;  // open images it has marks for
};

// A command as the page shows it: its bytes that are no UTF-8 (a Latin-1 file
// name, say), which JSON cannot carry, are written as bash's $'\xNN' (they
// stand in a word in single quotes, as shellWord puts them). The files written
// keep the bytes themselves, which any shell reads.
std::string shownCommand(const std::string& command);

// What export() wrote.
struct StudioExport {
    std::vector<std::string> files;  // relative to the output directory
    std::string trainCommand;        // the clsg train line that gives the same tool
    std::string runCommand;          // the clsg run line that segments as the studio does
    std::vector<std::string> notes;  // images whose files changed (the studio's copies exported)
};

class StudioSession {
public:
    static constexpr std::size_t kMaxLabels = 254;
    static constexpr int32_t kMaxNeighborhood = 255;  // as tool files store it
    // What the open images may hold (each pixel keeps about 8 bytes: colour,
    // marks and the kept outputs): 2^28 pixels is some 2 GiB.
    static constexpr std::size_t kMaxImages = 64;
    static constexpr uint64_t kMaxTotalPixels = uint64_t{1} << 28;
    // The largest session file read: marks take at most two bytes a pixel,
    // and a file may also keep the marks of as many pixels not open.
    static constexpr uint64_t kMaxSessionBytes = (uint64_t{1} << 20) + 4 * kMaxTotalPixels;

    // outDir: where save and export write (created when needed).
    // maxTotalPixels: what the open images may hold together.
    explicit StudioSession(std::string outDir, uint64_t maxTotalPixels = kMaxTotalPixels);

    // Adds an image; its name is made unique. Returns its index. Throws
    // StudioError beyond kMaxImages images or maxTotalPixels pixels.
    std::size_t addImage(const std::string& name, const std::string& path,
                         const kv3PlanePelBuffer& pixels);
    const std::vector<StudioImage>& images() const { return images_; }
    const std::vector<StudioLabel>& labels() const { return labels_; }
    const StudioSettings& settings() const { return settings_; }
    const std::string& outDir() const { return outDir_; }
    // Called before each save of the session; what it throws (StudioError)
    // leaves the changes unsaved, with its reason. It returns true when the
    // output directory is new to this studio (made again since it was
    // removed): a session file there is then moved aside, as at a start.
    void setBeforeSave(std::function<bool()> check) { beforeSave_ = std::move(check); }
    // Pixels another image may have (maxTotalPixels less the open ones').
    uint64_t pixelRoom() const;
    // Changes with every edit of labels, marks or settings.
    uint64_t revision() const { return revision_; }

    // Label edits; names follow the rules of clsg train. Throw StudioError.
    // Without a colour, the label gets the one clsg train would give it (see
    // labelColors): its name's colour, the mean of its marks once trained, or
    // one from the palette; it follows its name and marks until one is chosen.
    void addLabel(const std::string& name, std::optional<uint32_t> color = std::nullopt);
    // As addLabel, at index at (at most labels().size()); the marks of the
    // labels from there on move up by one. The undo of a deletion: it takes
    // back the marks of images not open that the deletion kept.
    void insertLabel(std::size_t at, const std::string& name,
                     std::optional<uint32_t> color = std::nullopt);
    // A label of a derived colour takes was, when given, as recolorLabel does
    // (the undo of a rename gives back the colour the label had).
    void renameLabel(std::size_t label, const std::string& name,
                     std::optional<uint32_t> was = std::nullopt);
    // No colour: derived again, as for a new label; from was, when given,
    // which it keeps while the marks do not move it clearly (the undo of a
    // choice gives back the colour the label had).
    void recolorLabel(std::size_t label, std::optional<uint32_t> color,
                      std::optional<uint32_t> was = std::nullopt);
    // Removes the label and its marks; later labels move down by one.
    void deleteLabel(std::size_t label);

    // Throws StudioError for values the tool does not accept.
    void setSettings(const StudioSettings& settings);
    // Chooses the tolerances and neighbourhood from the marks as clsg train
    // --auto does, and sets them (normalisation stays as it is). progress is
    // called after each step of the search (see clsg::SuggestOptions).
    // Tolerances whose training the studio's budget refuses are skipped.
    // Throws StudioError when the marks cannot be split (every label needs
    // marks in more than one place) or the budget refuses every tolerance,
    // kvAbortRequested when stopped.
    clsg::SuggestReport chooseSettings(const std::function<void(uint32_t)>& progress = {});
    // What training on the marks may cost, Auto's search included: by default
    // that of tool files from elsewhere (the marks are the page's input).
    void setTrainingBudget(const kvCompositeColorSegmenterBudget& budget) {
        trainingBudget_ = budget;
        trainSettingsChanged();
    }

    // Replaces the marks inside rect (x, y, w, h) of image with values
    // (w * h bytes, row by row, each 0 .. labels().size()).
    void paintMarks(std::size_t image, long x, long y, long w, long h,
                    const std::vector<uint8_t>& values);

    // Trains when needed and segments window of image (empty: the whole
    // image, whose outputs are kept for the next request) on every core;
    // a window gives the same bytes as that part of the whole image. Labels
    // without marks are left out of training (no pel gets them) until they
    // have some. Throws StudioError saying what to do when training cannot
    // work (no label has marks) or the library refuses.
    StudioSegmentation segment(std::size_t image, StudioView view,
                               const kvPelRect& window = kvPelRect());

    // The preview of image, at most maxSide pels wide and high; kept until
    // the tool or the run settings change. Throws as segment() does.
    StudioPreview preview(std::size_t image, long maxSide, uint64_t minArea = 0);

    // With minArea above 0, seg (a whole-image label segmentation of image
    // from segment()) as clsg run --min-area gives it: regions of fewer
    // pixels unlabelled, and the counts of that. Unchanged otherwise.
    void dropSmallRegions(std::size_t image, uint64_t minArea, StudioSegmentation& seg);

    // Regions (8-connected) of at least minArea pixels of the whole-image
    // label image kept from the last segment() of image, numbered as clsg run
    // --min-area numbers them: the count per label, and the region under
    // pixel (x, y). Empty and nullopt when no whole-image label image of that
    // image is kept, or (x, y) is unlabelled or in a smaller region.
    std::vector<uint64_t> regionCounts(std::size_t image, uint64_t minArea);
    std::optional<clsg::Region> regionAt(std::size_t image, long x, long y, uint64_t minArea);

    // Writes the trained tool to outDir/fileName, each example with the
    // image it came from; returns the path written. Refuses while a label
    // has no marks.
    std::string saveTool(const std::string& fileName);
    // The program that commands name (runCommand, exportMasks); "clsg" unless set.
    void setProgram(const std::string& path) { program_ = path; }
    // The clsg run line that segments the open images (those read from
    // files) with the tool at toolPath as segment() does, dropping regions
    // of fewer than minArea pixels as dropSmallRegions() does.
    std::string runCommand(const std::string& toolPath, uint64_t minArea = 0) const;
    // A note for each open image whose file no longer holds the picture read
    // from it: runCommand segments the file as it is now.
    std::vector<std::string> changedFileNotes() const;
    // Writes each label's marks as masks into outDir/dirName, with the
    // marked images that have no file of their own, or whose file no longer
    // holds the pixels the studio read from it (each such said in notes).
    StudioExport exportMasks(const std::string& dirName, uint64_t minArea = 0);

    // The session file: labels, colours, settings and the marks of each
    // image (found again by its pixels), rewritten after every change.
    std::string sessionPath() const;
    // Writes the session file atomically (a temporary, then a rename), so a
    // kill at any moment leaves the previous or the new one. The first write
    // moves the file found at the start aside (studio/session_files.h).
    // Throws StudioError.
    void autosave();
    // Why the last autosave failed; empty when it succeeded (or none was made).
    const std::string& unsavedReason() const { return unsaved_; }
    // Whether an autosave of this session succeeded.
    bool savedThisRun() const { return savedOnce_; }
    // The file whose session was offered (restored or not); empty when none was.
    const std::string& offeredPath() const { return offeredPath_; }
    // Reads the session files left by earlier studios on this output
    // directory, newest first, up to the first with labels and marks for
    // some open image, and offers that one (pendingRestore) until restore()
    // is called. A file that cannot be read is left alone, not offered, and
    // passed over for older ones; returns why the first such file was
    // (empty when none). Only the marks of open images are decoded. Of an
    // older file, the marks of images a newer one has marks for are left out
    // (they stay in the older file): restored, they would hide the newer ones.
    std::string findRestore();
    // findRestore() once more, for an image opened since, while the earlier
    // file is still there (no change made yet) and no offer was answered.
    void findRestoreAgain();
    const std::optional<StudioRestore>& pendingRestore() const { return restoreInfo_; }
    // accept: replaces the labels, settings and marks with the file's. Either
    // way the offer ends. Throws StudioError, leaving all as it was, when
    // labels, marks or settings changed since the offer (they would be lost).
    // Returns true when what it restored is to be saved: it came from a file
    // kept aside. Restored from the session file, nothing is written until the
    // first change, which rewrites that file in place (moves nothing aside).
    bool restore(bool accept);

    // Adds the labels, settings and examples of a tool file: an example
    // marks the open image it was cut from, else the image file it names
    // (opened), else its own pixels, added as an image (with a warning when
    // it names a file).
    // Marks hold one label per pixel, and train one example per label and
    // image: returns a warning for each thing of the file they cannot hold
    // (several examples of a label on one image, pixels two labels select),
    // after which the studio trains, and saves, a tool a little different.
    std::vector<std::string> loadTool(const std::string& path);

private:
    // An image's pixels as session files name them: digest, width, height.
    using Pixels = std::tuple<uint64_t, long, long>;
    // Offers path's session when it has marks for an open image; else adds
    // to newer the pixels of the images it has marks for.
    std::string findRestoreIn(const std::string& path, std::set<Pixels>& newer);
    // The open image an example of a tool file was cut from: one that shows
    // its pixels, the one named source (its path, else its file name) first;
    // images().size() when none shows them.
    std::size_t sourceImage(const kv3PlanePelBuffer_const& pixels, const std::string& source) const;
    // Opens the image file source names (as named, else beside the tool file
    // at toolPath) when it shows pixels; images().size() when no file does.
    // Files found that show other pixels are added to changed, and not read again.
    std::size_t openSourceFile(const kv3PlanePelBuffer_const& pixels, const std::string& source,
                               const std::string& toolPath, std::set<std::string>& changed);
    struct CarriedMarks;
    // The first open image, not yet taken, that shows saved's pixels (and has
    // its name, if sameName); images().size() when none does.
    std::size_t openImageFor(const CarriedMarks& saved, const std::vector<bool>& taken,
                             bool sameName) const;
    const StudioImage& imageAt(std::size_t image) const;
    void checkLabel(std::size_t label) const;
    void checkNewName(const std::string& name, std::size_t except) const;
    void trainSettingsChanged() { ++revision_, ++trainRevision_; }
    void train();
    // Gives every label without a chosen colour its derived one.
    void deriveColors();
    // Label values of the trained tool to label indices, in place.
    void mapLabels(kvPelBuffer<unsigned char>& labels) const;

    // One set per label from the marks, each example cut to the box of its
    // marks or (wholeImages) its whole image with a mask; throws StudioError
    // for no labels or a label without marks.
    std::vector<kvCompositeColorSet> markedSets(bool wholeImages = false) const;

    std::string outDir_;
    std::function<bool()> beforeSave_;
    std::string program_ = "clsg";
    uint64_t maxTotalPixels_;
    // The session file is this session's to write: the first autosave moved
    // the old one aside, or it is the one restored.
    bool keptPrevious_ = false;
    bool savedOnce_ = false;   // see savedThisRun
    std::string offeredPath_;  // see offeredPath
    std::string unsaved_;      // see unsavedReason
    bool restoreAnswered_ = false;
    bool restoreAccepted_ = false;  // the first answer restored the session offered
    // The marks of an image the session file holds but no open image shows
    // (checked when the file is read, renumbered with the labels): written
    // again with every save, and given to the image once it is opened.
    struct CarriedMarks {
        std::string name, path;
        long width = 0, height = 0;
        uint64_t digest = 0;
        std::string runs;  // encodeRuns of width * height marks
    };
    struct SavedSession {
        std::string path;  // the file it was read from
        std::vector<StudioLabel> labels;
        StudioSettings settings;
        std::vector<std::pair<std::size_t, std::vector<uint8_t>>> marks;  // open image, marks
        std::vector<CarriedMarks> others;
    };
    std::vector<CarriedMarks> carried_;  // from the file restored
    // Makes every mark m to[m], on every image, open or carried (the carried
    // ones without decoding them: a few bytes may stand for gigabytes).
    void renumberMarks(const std::array<uint8_t, 256>& to);
    // The carried marks as they were before each label deletion, the latest
    // last: an undo (the label inserted again where it was, under its name,
    // among the labels the deletion left) gives them back, as the page gives
    // back those of the open images; a few are kept.
    struct DeletedLabel {
        std::size_t at;
        std::string name;
        std::vector<CarriedMarks> carried;
        std::vector<std::string> after;  // the label names the deletion left
    };
    // Inserts the label; the undo of a deletion (undoing) also takes back the
    // carried marks that deletion kept.
    void placeLabel(std::size_t at, const std::string& name, std::optional<uint32_t> color,
                    bool undoing);
    void takeBackCarried(std::size_t at, const std::string& name);
    std::vector<std::string> labelNames() const;
    std::vector<DeletedLabel> deleted_;
    static constexpr std::size_t kDeletionsKept = 20;
    std::optional<SavedSession> restorable_;
    std::optional<StudioRestore> restoreInfo_;
    std::vector<StudioImage> images_;
    std::vector<StudioLabel> labels_;
    StudioSettings settings_;
    uint64_t revision_ = 1;
    uint64_t offeredRevision_ = 0;  // revision_ when the restore was looked for
    uint64_t trainRevision_ = 1;    // changes with what training depends on

    kvCompositeColorSegmenterBudget trainingBudget_ =
        kvCompositeColorSegmenterBudget::forUntrustedFiles();
    kvCompositeColorSegmenterTool tool_;
    uint64_t toolRevision_ = 0;     // the trainRevision_ tool_ was trained at, 0 for none
    std::string toolError_;         // why training failed at toolRevision_
    std::vector<uint8_t> trained_;  // the label index of each of the tool's labels

    struct KeptPreview {
        uint64_t toolRevision = 0;  // 0: none
        kvCompositeColorSegmenterRunParams params;
        long maxSide = 0;
        uint64_t minArea = 0;
        StudioPreview value;
    };
    std::vector<KeptPreview> previews_;  // per image

    // The whole-image outputs of the last run, per view (unbound until
    // asked for), and the brightness gain, for one tool, image and settings.
    kvPelBuffer<unsigned char> outputs_[3];
    // The regions of outputs_[0] (regionsOf_ shares its pixels while they
    // are current), found on first request.
    bool keptRegions(std::size_t image, uint64_t minArea);
    kvPelBuffer_const<unsigned char> regionsOf_;
    clsg::CleanedRegions regions_;
    uint64_t regionsMinArea_ = 0;
    double gain_ = 1.0;
    std::size_t resultImage_ = 0;
    uint64_t resultToolRevision_ = 0;  // 0: nothing kept
    kvCompositeColorSegmenterRunParams resultParams_;
};

}  // namespace clsg
