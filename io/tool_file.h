// The tool file (part of the clsg_files library): a trained tool with what a
// person and the programs around it need to use it: label names and display
// colours, where each example came from, an optional neighbourhood size and
// an optional quality report.
//
// Format version 2 (written): one archive holding the text "clsg-tool", the
// version (uint32) and the payload size (uint32), followed by the payload
// compressed with zlib up to the end of the file. The payload is an archive
// of: the label count (uint32); per label its name (string), colour
// (uint32 0xRRGGBB), example count (uint32) and one source text per example
// (strings); whether a neighbourhood size is stored (bool) and the size
// (int32); the quality report (string, JSON text or empty); per label its
// composite colour set record; the train parameters record. Examples are
// stored cropped to the bounding box of their selected pixels, masks as 0 and
// 255; reading trains the tool from them.
//
// Format version 1 (read): "clsg-tool", version, label count, names, then the
// archived tool. Its labels get derived colours and empty sources.
//
// Reading checks what a foreign file could abuse: label names by the rule of
// labelNameProblem (they become parts of output file names), no duplicates,
// counts that match the tool, a neighbourhood size of 1 to 255, examples of
// at most maxExamplePixels (checked as each window is read, before its
// pixels), no bytes after the end. Messages show file contents through printable().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "clsg/colorseg/budget.h"
#include "clsg/colorseg/segmenter_tool.h"

namespace clsg {

constexpr uint32_t kToolFileVersion = 2;
// The longest source text of one example a tool file keeps (readers refuse
// longer ones, so writers do too).
constexpr std::size_t kMaxToolSourceText = 4096;

class ToolFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ToolLabel {
    std::string name;
    uint32_t color = 0;                // 0xRRGGBB
    std::vector<std::string> sources;  // one per example (e.g. "a.png@0,0,8,8"); may be empty
};

struct ToolFile {
    std::vector<ToolLabel> labels;  // one per composite colour set of the tool
    std::optional<int32_t> neighborhoodSize;
    std::string qualityJson;  // empty: none
    kvCompositeColorSegmenterTool tool;
    uint32_t formatVersion = kToolFileVersion;  // of the file read

    std::vector<std::string> labelNames() const;
};

struct ToolFileLimits {
    // Largest payload accepted once decompressed (and no more than
    // budget.maxBytes when that is set), and largest file read.
    uint64_t maxPayloadBytes = uint64_t{1} << 31;
    // Largest stored example image, in pixels (the image readers' limit).
    uint64_t maxExamplePixels = uint64_t{1} << 27;
    // Most stored example images, in all labels: each takes far more memory
    // than its bytes in the file. 0: no limit.
    uint64_t maxExampleImages = uint64_t{1} << 16;
    // What training the loaded tool may cost (reading a tool file trains it):
    // by default the library's budget for files from elsewhere. A caller
    // reading files it wrote itself may lift it (maxBytes = maxWork = 0).
    kvCompositeColorSegmenterBudget budget = kvCompositeColorSegmenterBudget::forUntrustedFiles();
};

// Empty when name may be a label name: 1 to 64 letters, digits, '_' or '-'.
// Otherwise why not (with the name shown through printable()).
std::string labelNameProblem(const std::string& name);

// A file name as an example's source text writes it (and clsg train's --label
// reads it): a comma, colon, at sign or backslash escaped by a backslash.
std::string escapeExampleName(const std::string& fileName);
// The image file a stored example's source text names: what comes before its
// first unescaped ':' or '@', unescaped.
std::string exampleImageName(const std::string& source);

// The examples of sets, each pair cropped to the bounding box of its
// selected (non-zero) mask pixels and its mask set to 0 and 255; pairs with an
// unbound mask stay whole. Training on the result gives the same model.
std::vector<kvCompositeColorSet> cropExamples(const std::vector<kvCompositeColorSet>& sets);

struct ToolFileWriteOptions {
    // Store examples cropped (see cropExamples). Off, whole example images
    // are kept (for a reader that matches them with images it has open).
    bool cropExamples = true;
    // Reading a tool file trains its tool again within ToolFileLimits::budget:
    // a tool over this budget is refused, as no reader could load it.
    kvCompositeColorSegmenterBudget readBudget = ToolFileLimits().budget;
    // Likewise, a tool of more example images than this is refused, and one
    // whose payload is larger than this or readBudget.maxBytes.
    uint64_t maxExampleImages = ToolFileLimits().maxExampleImages;
    uint64_t maxPayloadBytes = ToolFileLimits().maxPayloadBytes;
};

// Why a tool trained from stored (examples as a tool file keeps them, see
// cropExamples) at params could not be read back from its file (too many
// example images, a payload too large for a reader, or over
// options.readBudget); empty when it could.
std::string whyUnreadable(const std::vector<kvCompositeColorSet>& stored,
                          const kvCompositeColorSegmenterTrainParams& params,
                          const ToolFileWriteOptions& options = {});

// The file's bytes. Throws ToolFileError unless the tool is trained, has one
// set per label, the names pass labelNameProblem and differ, every label's
// source count is 0 or its example count, and a reader could take it back
// (see whyUnreadable).
std::string encodeToolFile(const ToolFile& file, const ToolFileWriteOptions& options = {});
// Writes encodeToolFile's bytes to path (not following a symbolic link at
// path); errors name shownName (path when empty) and the reason.
void writeToolFile(const std::string& path, const ToolFile& file, const std::string& shownName = {},
                   const ToolFileWriteOptions& options = {});

// Throws ToolFileError naming name for bytes that are not a tool file, of an
// unknown version, corrupt, breaking the checks above or over the limits
// (the message then says which and by how much).
ToolFile decodeToolFile(const std::string& bytes, const std::string& name,
                        const ToolFileLimits& limits = {});
ToolFile decodeToolFile(const char* bytes, std::size_t size, const std::string& name,
                        const ToolFileLimits& limits = {});
// Reads the header first: a file that is not a tool file, or whose stated
// payload is over the limits, costs only its first bytes.
ToolFile readToolFile(const std::string& path, const ToolFileLimits& limits = {});
// The file's bytes as readToolFile reads them (its header decides how many
// are read), for decodeToolFile: what a reader keeps that must use the very
// tool it read, even when the file is replaced meanwhile.
std::string readToolFileBytes(const std::string& path, const ToolFileLimits& limits = {});

}  // namespace clsg
