#include "clsg/io/tool_file.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <vector>

#include "clsg/colorseg/archive_operators.h"
#include "clsg/colorseg/errors.h"
#include "clsg/io/errors.h"
#include "clsg/io/image_io.h"
#include "clsg/io/input_file.h"
#include "clsg/io/label_colors.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/str.h"
#include "clsg/tuning/tolerance_limits.h"

namespace clsg {

namespace {

const char* const kMagic = "clsg-tool";
constexpr std::size_t kHeaderBytes = 4 + 9 + 4 + 4;  // magic, version, payload size
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr std::size_t kMaxQualityText = 1 << 20;
constexpr uint32_t kMaxToolLabels = 254;
// A label's source texts, one per example, each followed later in the payload
// by its example, whose record (with one image) takes more than these bytes.
constexpr uint64_t kSourceWithExampleBytes = 4 + 64;

// The pels of image inside box (which lies inside it) in new planes, without
// the transform a loaded image carries.
kv3PlanePelBuffer copyWindow(const kv3PlanePelBuffer_const& image, const kvPelRect& box) {
    kv3PlanePelBuffer copy(box, image.colorSpace());
    const std::size_t w = static_cast<std::size_t>(box.width());
    for (long y = box.top(); y < box.bottom(); ++y) {
        // Copies of large examples take seconds: Ctrl-C is heard here too.
        if ((y - box.top()) % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
        std::memcpy(copy.plane0().pointToRow(y), image.plane0().pointToPel(box.left(), y), w);
        std::memcpy(copy.plane1().pointToRow(y), image.plane1().pointToPel(box.left(), y), w);
        std::memcpy(copy.plane2().pointToRow(y), image.plane2().pointToPel(box.left(), y), w);
    }
    return copy;
}

// An example as a new one would have to be (RGB images, masks of 0 and 255
// over them): the archive takes examples as they were stored.
void checkStoredExample(const kvCompositeColor& example, const std::string& name) {
    try {
        kvCompositeColor(example.images(), example.masks());
    } catch (const kvCompositeColorSegmenterDefs::Errors& e) {
        throw ToolFileError(name +
                            " is a corrupt tool file (a stored example: " + describeError(e) + ")");
    }
}

// One example pair cropped to the bounding box of its mask's non-zero pels
// over the image; the mask becomes 0 and 255. An unbound mask keeps the
// whole image.
void cropPair(kv3PlanePelBuffer_const& image, kvPelBuffer_const<unsigned char>& mask) {
    if (!image.isBound() || image.window().isEmpty()) return;
    if (!mask.isBound()) {
        image = copyWindow(image, image.window());
        return;
    }
    const kvPelRect overlap = kvRectangle<long>(image.window()).intersect(mask.window(), false);
    long left = overlap.right(), right = overlap.left(), top = overlap.bottom(),
         bottom = overlap.top();
    for (long y = overlap.top(); y < overlap.bottom(); ++y) {
        if ((y - overlap.top()) % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
        const unsigned char* row = mask.pointToPel(overlap.left(), y);
        for (long x = 0; x < overlap.width(); ++x)
            if (row[x]) {
                left = std::min(left, overlap.left() + x);
                right = std::max(right, overlap.left() + x + 1);
                top = std::min(top, y);
                bottom = std::max(bottom, y + 1);
            }
    }
    if (left >= right) return;  // nothing selected: left for training to refuse
    const kvPelRect box(left, top, right - left, bottom - top);
    kvPelBuffer<unsigned char> croppedMask(box);
    for (long y = box.top(); y < box.bottom(); ++y) {
        const unsigned char* src = mask.pointToPel(left, y);
        unsigned char* dst = croppedMask.pointToRow(y);
        for (long x = 0; x < box.width(); ++x) dst[x] = src[x] ? 255 : 0;
    }
    image = copyWindow(image, box);
    mask = croppedMask;
}

// The settings every program trains with: a tool file that holds others was
// made by hand, and would label no pixel (a fraction of 0) or wrap its scores.
void checkTrainParams(const kvCompositeColorSegmenterTrainParams& params, const std::string& name) {
    const double fraction = params.colorToleranceFrac();
    if (!(fraction >= kMinToleranceFrac && fraction <= 1))
        throw ToolFileError(name + ": the stored colour tolerance fraction " + kfStr(fraction) +
                            " is outside 0.000001 to 1");
    if (params.colorToleranceMin() > 255)
        throw ToolFileError(name + ": the stored smallest colour tolerance " +
                            std::to_string(params.colorToleranceMin()) + " is outside 0 to 255");
}

void checkLabels(const ToolFile& file, const std::string& name) {
    const auto fail = [&](const std::string& why) { return ToolFileError(name + ": " + why); };
    std::set<std::string> seen;
    for (const ToolLabel& label : file.labels) {
        const std::string problem = labelNameProblem(label.name);
        if (!problem.empty()) throw fail(problem);
        if (!seen.insert(label.name).second)
            throw fail("label name " + label.name + " appears twice");
        if (label.color > 0xffffff) throw fail("label " + label.name + " has no valid colour");
        for (const std::string& source : label.sources)
            if (source.size() > kMaxToolSourceText)
                throw fail("the source text of an example of label " + label.name + " is " +
                           std::to_string(source.size()) + " bytes, more than the " +
                           std::to_string(kMaxToolSourceText) + " a tool file keeps");
    }
    if (!file.tool.isTrained()) throw fail("the tool is not trained");
    checkTrainParams(file.tool.trainParams(), name);
    const auto& sets = file.tool.compositeColors();
    if (sets.size() != file.labels.size())
        throw fail("the tool has " + std::to_string(sets.size()) + " labels but " +
                   std::to_string(file.labels.size()) + " names");
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const std::size_t n = file.labels[i].sources.size();
        if (n != 0 && n != sets[i].instances().size())
            throw fail("label " + file.labels[i].name + " has " + std::to_string(n) +
                       " source texts for " + std::to_string(sets[i].instances().size()) +
                       " examples");
    }
    if (file.neighborhoodSize && (*file.neighborhoodSize < 1 || *file.neighborhoodSize > 255))
        throw fail("the stored neighbourhood size " + std::to_string(*file.neighborhoodSize) +
                   " is outside 1 to 255");
}

// What a version-2 payload may hold once inflated: the file limit, and no
// more than the training budget's bytes (holding the examples would cost
// more than training them may).
uint64_t maxPayload(const ToolFileLimits& limits) {
    const uint64_t budget = limits.budget.maxBytes ? limits.budget.maxBytes : UINT64_MAX;
    return std::min(limits.maxPayloadBytes, budget);
}

std::string compress(const std::string& payload) {
    uLongf size = compressBound(static_cast<uLong>(payload.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(payload.data()),
                  static_cast<uLong>(payload.size()), 6) != Z_OK)
        throw ToolFileError("cannot compress the tool file");
    out.resize(size);
    return out;
}

// The payload as the archive reads it, inflated 64 KB at a time: nothing is
// sized by the stated size, and a stream that goes wrong stops at once. The
// archive measures the stream by seeking to its end and back; those seeks
// are answered from the stated size, any other seek is refused.
class Inflater : public std::streambuf {
public:
    Inflater(const char* in, std::size_t inSize, uint32_t size, const std::string& name)
        : size_(size), name_(name) {
        if (inflateInit(&z_) != Z_OK) throw ToolFileError(name + ": cannot start decompressing");
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
        z_.avail_in = static_cast<uInt>(std::min<std::size_t>(inSize, UINT32_MAX));
        inLeft_ = inSize - z_.avail_in;
    }
    ~Inflater() override { inflateEnd(&z_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Throws unless the stream ended exactly at the stated size and the file
    // with it. Call once everything was read.
    void finish() {
        if (!problem_ && status_ != Z_STREAM_END) {
            char extra;
            z_.next_out = reinterpret_cast<Bytef*>(&extra);
            z_.avail_out = 1;
            status_ = inflate(&z_, Z_NO_FLUSH);
            if (z_.avail_out == 0)
                problem_ = "does not match its stated size";
            else if (status_ != Z_STREAM_END)
                problem_ = "is damaged or truncated";
        }
        if (!problem_ && (z_.avail_in != 0 || inLeft_ != 0))
            problem_ = "is followed by other bytes";
        check();
    }
    // Throws for a stream found bad while reading (the archive saw only its end).
    void check() const {
        if (problem_)
            throw ToolFileError(name_ + " is a corrupt tool file (the compressed payload " +
                                problem_ + ")");
    }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (problem_ || status_ == Z_STREAM_END || parked_ >= 0) return traits_type::eof();
        z_.next_out = reinterpret_cast<Bytef*>(buffer_.data());
        z_.avail_out = static_cast<uInt>(buffer_.size());
        status_ = inflate(&z_, Z_NO_FLUSH);
        const std::size_t got = buffer_.size() - z_.avail_out;
        if (status_ != Z_OK && status_ != Z_STREAM_END && !(status_ == Z_BUF_ERROR && got))
            problem_ = "is damaged or truncated";
        else if (produced_ + got > size_)
            problem_ = "does not match its stated size";
        else if (status_ == Z_STREAM_END && produced_ + got < size_)
            problem_ = "does not match its stated size";
        if (problem_ || got == 0) return traits_type::eof();
        produced_ += got;
        setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
        return traits_type::to_int_type(*gptr());
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        const off_type here = static_cast<off_type>(produced_) - (egptr() - gptr());
        const off_type from = dir == std::ios_base::beg   ? 0
                              : dir == std::ios_base::end ? static_cast<off_type>(size_)
                              : parked_ >= 0              ? parked_
                                                          : here;
        const off_type to = from + off;
        if (to == here) {
            parked_ = -1;
        } else if (to == static_cast<off_type>(size_)) {
            parked_ = to;  // reading stays refused until the archive seeks back
        } else {
            return pos_type(off_type(-1));
        }
        return pos_type(to);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

private:
    z_stream z_{};
    uint64_t size_, produced_ = 0;
    std::size_t inLeft_ = 0;  // input beyond what zlib takes at once (over 4 GiB)
    int status_ = Z_OK;
    off_type parked_ = -1;
    const char* problem_ = nullptr;
    const std::string& name_;
    // On the heap: memory running out there is an error to report, where a
    // stack that could not grow to hold it ended the process.
    std::vector<char> buffer_ = std::vector<char>(1 << 16);
};

// The pel buffers of limits.maxExampleImages example images: three planes
// and a mask each.
uint64_t bufferLimit(const ToolFileLimits& limits) {
    return limits.maxExampleImages > (UINT64_MAX >> 2) ? 0 : 4 * limits.maxExampleImages;
}

// Inflates the payload once, keeping nothing, and throws unless it is as long
// as stated. Reading sizes containers by stored counts checked against the
// bytes left: those must be bytes the file really holds, not only a claim.
// Ctrl-C stops it: a payload of a gigabyte takes seconds.
void checkInflatedSize(const char* in, std::size_t inSize, uint32_t size, const std::string& name) {
    Inflater counting(in, inSize, size, name);
    std::vector<char> sink(1 << 16);  // on the heap, as the Inflater's
    while (counting.sgetn(sink.data(), static_cast<std::streamsize>(sink.size())) > 0)
        kfThrowExceptionOnFailure(ksys_attention_check());
    counting.finish();
}

// Longest label name read (longer ones are refused as too long, the others
// by labelNameProblem, which shows them).
constexpr std::size_t kMaxReadName = 4096;

// A text whose stated length is checked against limit before any of it is
// allocated or inflated: a megabyte of file can state a gigabyte of text.
void readText(kvArchive& archive, std::string& text, std::size_t limit,
              const std::string& tooLong) {
    uint32_t size = 0;
    archive || size;
    if (size > limit) throw ToolFileError(tooLong);
    archive.checkCount(size, 1);
    text.assign(size, '\0');
    archive.bytes(text.data(), size);
}

// name: the file's, for messages (loading only).
void passLabelHeader(kvArchive& archive, ToolLabel& label, const std::string& name = {}) {
    uint32_t count = static_cast<uint32_t>(label.sources.size());
    if (archive.isLoading())
        readText(archive, label.name, kMaxReadName, name + ": a label name is too long");
    else
        archive || label.name;
    archive || label.color || count;
    if (!archive.isLoading()) {
        for (std::string& s : label.sources) archive || s;
        return;
    }
    archive.checkCount(count, kSourceWithExampleBytes);
    label.sources.resize(count);
    for (std::string& s : label.sources)
        readText(archive, s, kMaxToolSourceText, name + ": an example source text is too long");
}

// Label names become parts of output file names: checked as soon as they are
// read, before anything they could steer is built.
void checkLabelNames(const std::vector<ToolLabel>& labels, const std::string& name) {
    for (const ToolLabel& label : labels) {
        const std::string problem = labelNameProblem(label.name);
        if (!problem.empty()) throw ToolFileError(name + ": " + problem);
    }
}

ToolFile decodePayload(std::istream& payload, Inflater& inflater, const std::string& name,
                       const ToolFileLimits& limits) {
    kvArchive archive(payload);
    archive.limitPels(limits.maxExamplePixels);
    archive.limitBuffers(bufferLimit(limits));
    ToolFile file;
    file.formatVersion = 2;
    uint32_t count = 0;
    archive || count;
    archive.checkCount(count, 12);
    if (count > kMaxToolLabels)
        throw ToolFileError(name + " is a corrupt tool file (it states " + std::to_string(count) +
                            " labels; a tool has at most 254)");
    file.labels.resize(count);
    for (ToolLabel& label : file.labels) passLabelHeader(archive, label, name);
    checkLabelNames(file.labels, name);
    bool hasNeighborhood = false;
    int32_t neighborhood = 0;
    archive || hasNeighborhood || neighborhood;
    if (hasNeighborhood) file.neighborhoodSize = neighborhood;
    readText(archive, file.qualityJson, kMaxQualityText, name + ": the quality report is too long");
    std::vector<kvCompositeColorSet> sets(count);
    for (kvCompositeColorSet& set : sets) archive || set;
    kvCompositeColorSegmenterTrainParams params;
    archive || params;
    if (archive.bytesLeft() != 0)
        throw ToolFileError(name + " is a corrupt tool file (bytes after the end of the payload)");
    inflater.finish();
    for (const kvCompositeColorSet& set : sets)
        for (const kvCompositeColor& example : set.instances()) checkStoredExample(example, name);
    if (count == 0) throw ToolFileError(name + ": the tool is not trained");
    checkTrainParams(params, name);  // before the work of training
    file.tool.train(sets, params);
    return file;
}

ToolFile decodeVersion2(kvArchive& outer, std::istream& stream, const char* all,
                        std::size_t allSize, const std::string& name,
                        const ToolFileLimits& limits) {
    uint32_t size = 0;
    outer || size;
    const std::size_t at = static_cast<std::size_t>(stream.tellg());
    const std::size_t compressed = allSize - at;
    if (size > maxPayload(limits))
        throw ToolFileError(name + ": the tool file states a payload of " + std::to_string(size) +
                            " bytes, over the limit of " + std::to_string(maxPayload(limits)) +
                            " bytes");
    if (size > compressed * kMaxDeflateRatio)
        throw ToolFileError(name + " is a corrupt tool file (a payload of " + std::to_string(size) +
                            " bytes cannot come from " + std::to_string(compressed) +
                            " compressed bytes)");
    checkInflatedSize(all + at, compressed, size, name);
    Inflater inflater(all + at, compressed, size, name);
    std::istream payload(&inflater);
    try {
        ToolFile file = decodePayload(payload, inflater, name, limits);
        return file;
    } catch (const ToolFileError&) {
        throw;
    } catch (const kvArchive::TooManyPels&) {
        throw;
    } catch (const std::exception&) {
        inflater.check();  // a damaged stream is the better reason
        throw;
    }
}

ToolFile decodeVersion1(kvArchive& archive, const std::string& name) {
    ToolFile file;
    file.formatVersion = 1;
    uint32_t count = 0;
    archive || count;
    archive.checkCount(count, 4);
    file.labels.resize(count);
    for (ToolLabel& label : file.labels) archive || label.name;
    checkLabelNames(file.labels, name);
    archive || file.tool;
    if (archive.bytesLeft() != 0)
        throw ToolFileError(name + " is a corrupt tool file (" +
                            std::to_string(archive.bytesLeft()) + " bytes after the tool)");
    if (file.tool.isTrained())
        for (const kvCompositeColorSet& set : file.tool.compositeColors())
            for (const kvCompositeColor& example : set.instances())
                checkStoredExample(example, name);
    const std::vector<uint32_t> colours = assignLabelColors(file.labelNames());
    for (std::size_t i = 0; i < count; ++i) file.labels[i].color = colours[i];
    return file;
}

}  // namespace

std::vector<std::string> ToolFile::labelNames() const {
    std::vector<std::string> names;
    for (const ToolLabel& label : labels) names.push_back(label.name);
    return names;
}

std::string escapeExampleName(const std::string& fileName) {
    std::string out;
    for (char c : fileName) {
        if (c == '\\' || c == ',' || c == ':' || c == '@') out += '\\';
        out += c;
    }
    return out;
}

std::string exampleImageName(const std::string& source) {
    std::string name;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (source[i] == ':' || source[i] == '@') break;
        if (source[i] == '\\' && i + 1 < source.size()) ++i;
        name += source[i];
    }
    return name;
}

std::string labelNameProblem(const std::string& name) {
    // The characters first: a name of 40 accented letters is not too long,
    // though its bytes are.
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            return "label name \"" + kfPrintable(name, 80) +
                   "\" may hold only ASCII letters, digits, '_' and '-'";
    if (name.empty() || name.size() > 64)
        return "label name \"" + kfPrintable(name, 80) + "\" must have 1 to 64 characters";
    return {};
}

std::vector<kvCompositeColorSet> cropExamples(const std::vector<kvCompositeColorSet>& sets) {
    std::vector<kvCompositeColorSet> out;
    for (const kvCompositeColorSet& set : sets) {
        std::vector<kvCompositeColor> instances;
        for (const kvCompositeColor& example : set.instances()) {
            std::vector<kv3PlanePelBuffer_const> images = example.images();
            std::vector<kvPelBuffer_const<unsigned char>> masks = example.masks();
            for (std::size_t i = 0; i < images.size(); ++i) cropPair(images[i], masks[i]);
            instances.emplace_back(images, masks);
        }
        out.emplace_back(instances);
    }
    return out;
}

namespace {

// The largest payload a reader with the limits matching options takes.
uint64_t maxPayload(const ToolFileWriteOptions& options) {
    const uint64_t budget = options.readBudget.maxBytes ? options.readBudget.maxBytes : UINT64_MAX;
    return std::min(options.maxPayloadBytes, budget);
}

std::string payloadTooLarge(uint64_t bytes, const ToolFileWriteOptions& options) {
    return "its examples take " + std::to_string(bytes) + " bytes, more than the " +
           std::to_string(maxPayload(options)) + " a reader takes";
}

}  // namespace

std::string whyUnreadable(const std::vector<kvCompositeColorSet>& stored,
                          const kvCompositeColorSegmenterTrainParams& params,
                          const ToolFileWriteOptions& options) {
    uint64_t images = 0, pelBytes = 0;  // the file stores 3 bytes an image pixel, 1 a mask's
    for (const kvCompositeColorSet& set : stored)
        for (const kvCompositeColor& example : set.instances()) {
            images += example.images().size();
            for (std::size_t i = 0; i < example.images().size(); ++i) {
                const kvPelRect box = example.images()[i].window();
                const uint64_t pels = uint64_t{static_cast<uint32_t>(box.width())} *
                                      static_cast<uint32_t>(box.height());
                pelBytes += pels * (example.masks()[i].isBound() ? 4 : 3);
            }
        }
    if (options.maxExampleImages != 0 && images > options.maxExampleImages)
        return "it has " + std::to_string(images) + " example images, more than the " +
               std::to_string(options.maxExampleImages) + " a reader takes";
    if (pelBytes > maxPayload(options)) return payloadTooLarge(pelBytes, options);
    try {
        options.readBudget.check(stored, params);
    } catch (const kvCompositeColorSegmenterBudget::Exceeded& e) {
        return std::string(e.what()) + "; reading a tool file trains it again";
    }
    return {};
}

std::string encodeToolFile(const ToolFile& file, const ToolFileWriteOptions& options) {
    checkLabels(file, "cannot store the tool");
    if (file.qualityJson.size() > kMaxQualityText)
        throw ToolFileError(
            "cannot store the tool: it could not be read back (its quality report "
            "is longer than the " +
            std::to_string(kMaxQualityText) + " bytes a reader takes)");
    std::ostringstream payload;
    {
        kvArchive archive(payload);
        uint32_t count = static_cast<uint32_t>(file.labels.size());
        archive || count;
        for (ToolLabel label : file.labels) passLabelHeader(archive, label);
        bool hasNeighborhood = file.neighborhoodSize.has_value();
        int32_t neighborhood = file.neighborhoodSize.value_or(0);
        std::string quality = file.qualityJson;
        archive || hasNeighborhood || neighborhood || quality;
        std::vector<kvCompositeColorSet> sets = options.cropExamples
                                                    ? cropExamples(file.tool.compositeColors())
                                                    : file.tool.compositeColors();
        kvCompositeColorSegmenterTrainParams params = file.tool.trainParams();
        const std::string unreadable = whyUnreadable(sets, params, options);
        if (!unreadable.empty())
            throw ToolFileError("cannot store the tool: it could not be read back (" + unreadable +
                                ")");
        try {
            for (kvCompositeColorSet& set : sets) archive || set;
            archive || params;
        } catch (const kvArchive::Errors&) {
            // A string stream fails to grow only for want of memory.
            if (payload.bad()) throw std::bad_alloc();
            throw;
        }
    }
    const std::string raw = payload.str();
    if (raw.size() > maxPayload(options))
        throw ToolFileError("cannot store the tool: it could not be read back (" +
                            payloadTooLarge(raw.size(), options) + ")");
    if (raw.size() > UINT32_MAX) throw ToolFileError("the tool is too large to store");
    std::ostringstream out;
    {
        kvArchive archive(out);
        std::string magic = kMagic;
        uint32_t version = kToolFileVersion, size = static_cast<uint32_t>(raw.size());
        archive || magic || version || size;
    }
    return out.str() + compress(raw);
}

void writeToolFile(const std::string& path, const ToolFile& file, const std::string& shownName,
                   const ToolFileWriteOptions& options) {
    const std::string data = encodeToolFile(file, options);
    // Ctrl-C while a large tool was encoded: the file on disk stays as it was.
    kfThrowExceptionOnFailure(ksys_attention_check());
    const std::string& shown = shownName.empty() ? path : shownName;
    if (const int e = writeFileBytes(path, data))
        throw ToolFileError("cannot write " + shown + ": " + writeFailure(path, e));
}

namespace {

// A library message, in which a file's bytes are escaped already ("\x00"):
// only what is still not printable is escaped, not the backslashes of those.
std::string shownMessage(const std::string& what, std::size_t maxChars) {
    std::string out;
    for (unsigned char c : what) {
        if (out.size() >= maxChars) return out + "...";
        const bool printable = c >= 0x20 && c < 0x7f;
        out += printable ? std::string(1, static_cast<char>(c))
                         : kfPrintable(std::string(1, static_cast<char>(c)), 4);
    }
    return out;
}

// Reads bytes held elsewhere without copying them (a version-1 file holds
// whole images and may be hundreds of MB).
class ByteView : public std::streambuf {
public:
    ByteView(const char* data, std::size_t size) {
        char* p = const_cast<char*>(data);
        setg(p, p, p + size);
    }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override {
        if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
        char* from = dir == std::ios_base::beg   ? eback()
                     : dir == std::ios_base::cur ? gptr()
                                                 : egptr();
        if (off < eback() - from || off > egptr() - from) return pos_type(off_type(-1));
        setg(eback(), from + off, egptr());
        return pos_type(gptr() - eback());
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }
};

ToolFile decodeBytes(const char* bytes, std::size_t size, const std::string& name,
                     const ToolFileLimits& limits) {
    ByteView view(bytes, size);
    std::istream stream(&view);
    ToolFile file;
    const kvCompositeColorSegmenterBudgetScope budget(limits.budget);
    try {
        kvArchive archive(stream);
        std::string magic;
        try {
            archive || magic;
        } catch (const std::exception&) {
        }
        if (magic != kMagic) throw ToolFileError(name + " is not a clsg tool file");
        uint32_t version = 0;
        archive || version;
        // Examples are held to the pixel and image limits as they are read.
        archive.limitPels(limits.maxExamplePixels);
        archive.limitBuffers(bufferLimit(limits));
        if (version == 1)
            file = decodeVersion1(archive, name);
        else if (version == 2)
            file = decodeVersion2(archive, stream, bytes, size, name, limits);
        else
            throw ToolFileError(name + " has tool-file format version " + std::to_string(version) +
                                "; this clsg reads versions 1 and 2");
    } catch (const ToolFileError&) {
        throw;
    } catch (const kvAbortRequested&) {
        throw;  // stopped while training again: no fault of the file
    } catch (const kvArchive::TooManyPels& e) {
        throw ToolFileError(name + ": a stored example of " + std::to_string(e.width()) + " x " +
                            std::to_string(e.height()) + " pixels is over the limit of " +
                            std::to_string(e.limit()) + " pixels");
    } catch (const kvArchive::TooManyBuffers&) {
        throw ToolFileError(name + ": it stores more than " +
                            std::to_string(limits.maxExampleImages) +
                            " example images, over the limit of a tool file from elsewhere");
    } catch (const std::bad_alloc&) {
        throw ToolFileError(name + ": out of memory while loading the tool");
    } catch (const kvCompositeColorSegmenterBudget::Exceeded& e) {
        throw ToolFileError(name + ": training the stored tool would cost too much (" +
                            shownMessage(e.what(), 200) + ")");
    } catch (const kvCompositeColorSegmenterDefs::BadParams& e) {
        throw ToolFileError(name + " is a corrupt tool file (" + describeError(e) + ")");
    } catch (const std::exception& e) {
        std::string why = e.what();
        if (why.empty()) why = describeError(e);  // our words for the errors of no text
        if (why == "unknown error") why = "a stored record is invalid";
        throw ToolFileError(name + " is a corrupt tool file (" + shownMessage(why, 200) + ")");
    }
    checkLabels(file, name);
    return file;
}

}  // namespace

ToolFile decodeToolFile(const std::string& bytes, const std::string& name,
                        const ToolFileLimits& limits) {
    return decodeBytes(bytes.data(), bytes.size(), name, limits);
}

ToolFile decodeToolFile(const char* bytes, std::size_t size, const std::string& name,
                        const ToolFileLimits& limits) {
    return decodeBytes(bytes, size, name, limits);
}

ToolFile readToolFile(const std::string& path, const ToolFileLimits& limits) {
    return decodeToolFile(readToolFileBytes(path, limits), path, limits);
}

std::string readToolFileBytes(const std::string& path, const ToolFileLimits& limits) {
    InputFile f(path);
    if (!f.isOpen()) throw ToolFileError("cannot open " + path + ": " + std::strerror(f.error()));
    // The header: the magic text (length and bytes), version and, in version
    // 2, the payload size. It decides how much more may be read.
    std::string raw(kHeaderBytes, '\0');
    raw.resize(f.read(&raw[0], raw.size()));
    uint64_t most = raw.size();
    const std::string magic = std::string("\x09\0\0\0", 4) + kMagic;
    if (raw.compare(0, magic.size(), magic) == 0 && raw.size() == kHeaderBytes) {
        const auto word = [&](std::size_t at) {
            uint32_t v = 0;
            for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(raw[at + i]);
            return v;
        };
        const uint32_t version = word(13);
        if (version == 1) most = maxPayload(limits) + 1024;
        // Deflate never grows data by more than 5 bytes in 16 KB (and a few
        // more); one byte past the bound shows that other bytes follow.
        if (version == 2 && word(17) <= maxPayload(limits))
            most = kHeaderBytes + word(17) + word(17) / 3000 + 64 + 1;
        // A file larger than that is refused unread.
        if (version == 1 && f.sizeHint() >= most)
            throw ToolFileError(path + ": the file is " + std::to_string(f.sizeHint()) +
                                " bytes, over the limit of " + std::to_string(most - 1) +
                                " bytes for a tool file");
        if (version == 2 && most > raw.size() && f.sizeHint() >= most)
            throw ToolFileError(path + " is a corrupt tool file (" + std::to_string(f.sizeHint()) +
                                " bytes, more than its payload of " + std::to_string(word(17)) +
                                " bytes can take)");
    }
    // A string that grows holds its bytes twice while it moves: a file read
    // whole gets its room at once.
    raw.reserve(static_cast<std::size_t>(std::min(most, f.sizeHint() + 1)));
    char chunk[1 << 16];
    for (bool more = raw.size() == kHeaderBytes; more && raw.size() < most && !f.error();) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<uint64_t>(sizeof chunk, most - raw.size()));
        const std::size_t n = f.read(chunk, want);
        raw.append(chunk, n);
        more = n == want;  // fewer only at the end
    }
    if (f.error()) throw ToolFileError("cannot read " + path + ": " + std::strerror(f.error()));
    return raw;
}

}  // namespace clsg
