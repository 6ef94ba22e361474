// Tool files: cropped examples train the same tool; version 1 loads; hostile files are refused.
#include "clsg/io/tool_file.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "../test_images.h"
#include "clsg/colorseg/archive_operators.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/platform/attention.h"
#include "png_fixture.h"

using namespace clsg;

namespace {

using namespace clsgtest;

// Runs of the two tools on one image: equal only if the trained models are.
bool runAlike(const kvCompositeColorSegmenterTool& a, const kvCompositeColorSegmenterTool& b) {
    const auto image = noisyImage(kvPelRect(0, 0, 64, 48), 9);
    kvCompositeColorSegmenterResult ra, rb;
    a.run(image, kvCompositeColorSegmenterRunParams(3, false), ra);
    b.run(image, kvCompositeColorSegmenterRunParams(3, false), rb);
    return ra == rb;
}

// A rectangle, a sparse mask, a mask window beyond its image, an unbound mask, two pairs.
TEST(ToolFile, CroppedCompressedExamplesTrainTheSameTool) {
    const auto a = noisyImage(kvPelRect(0, 0, 60, 40), 1),
               b = noisyImage(kvPelRect(-5, 3, 30, 20), 2);
    const auto rect =
        makeMask(a.window(), [](long x, long y) { return x >= 10 && x < 20 && y >= 5 && y < 9; });
    const auto corner = makeMask(b.window(), [](long x, long y) { return x < -2 && y > 20; });
    const auto sparse = makeMask(kvPelRect(-10, 0, 40, 50),
                                 [](long x, long y) { return (x + y) % 7 == 0 && x > 3; });
    ToolFile original;
    original.labels = {{"rect", 0x112233, {"a.png@10,5,10,4"}},
                       {"sparse", 0xabcdef, {"a.png:sparse.png"}},
                       {"two-pairs", 0x000000, {"b.png + a.png"}},
                       {"whole", 0xffffff, {}}};
    original.neighborhoodSize = 7;
    original.qualityJson = "{\"accuracy\": 0.93}";
    original.tool.train(
        {kvCompositeColorSet({kvCompositeColor(a, rect)}),
         kvCompositeColorSet({kvCompositeColor(a, sparse)}),
         kvCompositeColorSet({kvCompositeColor({b, a}, {corner, rect})}),
         kvCompositeColorSet({kvCompositeColor(noisyImage(kvPelRect(0, 0, 8, 8), 3), {})})},
        kvCompositeColorSegmenterTrainParams(0.15, 3));
    const std::string bytes = encodeToolFile(original);
    const ToolFile loaded = decodeToolFile(bytes, "t.clsg");
    EXPECT_TRUE(runAlike(loaded.tool, original.tool));
    EXPECT_TRUE(encodeToolFile(loaded) == bytes);  // everything else round-trips too
    // A tool its readers would refuse to train again is not stored: one work unit less.
    ToolFileLimits strict;
    strict.budget.maxWork = 1;
    EXPECT_THROW(decodeToolFile(bytes, "t.clsg", strict), ToolFileError);
    ToolFileWriteOptions refused;
    refused.readBudget = strict.budget;
    try {
        encodeToolFile(original, refused);
        ADD_FAILURE() << "stored a tool no reader could load";
    } catch (const ToolFileError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot store the tool: it could not be read back"),
                  std::string::npos)
            << e.what();
    }
    // Stored windows are the selected pixels' bounding boxes over the image.
    const auto& sets = loaded.tool.compositeColors();
    ASSERT_EQ(sets.size(), 4u);
    const auto window = [&](int s) { return sets[s].instances()[0].images()[0].window(); };
    EXPECT_EQ(window(0), kvPelRect(10, 5, 10, 4));
    EXPECT_EQ(window(1), kvPelRect(4, 0, 26, 40));
    EXPECT_EQ(window(2), kvPelRect(-5, 21, 3, 2));
    EXPECT_EQ(window(3), kvPelRect(0, 0, 8, 8));
    EXPECT_FALSE(sets[3].instances()[0].masks()[0].isBound());
}

TEST(ToolFile, MovingAToolHandsOverItsModel) {
    kvCompositeColorSegmenterTool a;
    a.train({kvCompositeColorSet({kvCompositeColor(noisyImage(kvPelRect(0, 0, 8, 8), 3), {})})},
            kvCompositeColorSegmenterTrainParams(0.1, 2));
    const kvCompositeColorSegmenterTool copy = a;
    kvCompositeColorSegmenterTool b(std::move(a)), c;
    EXPECT_FALSE(a.isTrained());
    EXPECT_TRUE(runAlike(b, copy));
    c = std::move(b);
    EXPECT_FALSE(b.isTrained());
    EXPECT_TRUE(runAlike(c, copy));
    b = copy;  // a moved-from tool takes a new value
    EXPECT_TRUE(runAlike(b, copy));
}

TEST(ToolFile, VersionOneFilesStillLoad) {  // labels red, blue, all-of-it; fraction 0.2
    const ToolFile v1 = readToolFile(CLSG_TEST_DATA_DIR "/tool_v1.clsg");
    EXPECT_EQ(v1.formatVersion, 1u);
    EXPECT_EQ(v1.labelNames(), (std::vector<std::string>{"red", "blue", "all-of-it"}));
    EXPECT_EQ(v1.tool.trainParams().colorToleranceFrac(), 0.2);
    EXPECT_TRUE(runAlike(decodeToolFile(encodeToolFile(v1), "v2").tool, v1.tool));  // as version 2
}

// A /proc/self/status value in KiB ("VmRSS:", "VmHWM:").
long kib(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
    return -1L;
}

// A version-2 file made field by field, so that it can hold what the writer refuses to write.
struct Craft {
    std::vector<ToolLabel> labels = {{"a", 0xff0000, {}}, {"b", 0x00ff00, {}}};
    bool hasNeighborhood = false;
    int32_t neighborhood = 0;
    std::string quality, payloadTail, fileTail;  // tails: bytes after the payload, after the file
    std::function<void(std::string&)> damage;    // done to the payload before it is compressed
    int64_t statedSize = -1;                     // payload size in the header, if not the real one
    double fraction = 0.1;
    uint32_t minimum = 2;
    kv3PlanePelBuffer example = noisyImage(kvPelRect(0, 0, 4, 4), 1);  // each label's one

    std::string bytes() {
        std::ostringstream payload;
        {
            kvArchive a(payload);
            uint32_t count = static_cast<uint32_t>(labels.size());
            a || count;
            for (ToolLabel& l : labels) {
                uint32_t n = static_cast<uint32_t>(l.sources.size());
                a || l.name || l.color || n;
                for (std::string& s : l.sources) a || s;
            }
            a || hasNeighborhood || neighborhood || quality;
            kvCompositeColorSet set({kvCompositeColor(example, {})});
            for (std::size_t i = 0; i < labels.size(); ++i) a || set;
            unsigned char paramsVersion = 1;  // as written, whatever the values
            a || paramsVersion || fraction || minimum;
        }
        std::string raw = payload.str() + payloadTail;
        if (damage) damage(raw);
        uLongf zsize = compressBound(static_cast<uLong>(raw.size()));
        std::string z(zsize, '\0');
        compress(reinterpret_cast<Bytef*>(z.data()), &zsize,
                 reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()));
        z.resize(zsize);
        std::string head("\x09\0\0\0clsg-tool\x02\0\0\0", 17);  // magic, version, size
        const auto size = static_cast<uint32_t>(statedSize >= 0 ? statedSize : int64_t(raw.size()));
        for (int i = 0; i < 4; ++i) head += static_cast<char>(size >> (8 * i));
        return head + z + fileTail;
    }
};

// Its labels and examples as a version-1 file.
std::string versionOne(Craft& c) {
    std::ostringstream out;
    kvArchive a(out);
    std::string magic = "clsg-tool";
    uint32_t version = 1, count = static_cast<uint32_t>(c.labels.size());
    a || magic || version || count;
    for (ToolLabel& l : c.labels) a || l.name;
    unsigned char zero = 0;
    unsigned long sets = count;
    a || zero || zero || sets;  // versions of the tool and of its vector of sets
    kvCompositeColorSet set({kvCompositeColor(c.example, {})});
    for (uint32_t i = 0; i < count; ++i) a || set;
    kvCompositeColorSegmenterTrainParams params(c.fraction, 2);
    a || params;
    return out.str();
}

TEST(ToolFile, RefusesHostileOrDamagedFiles) {
    ToolFile dup = decodeToolFile(Craft().bytes(), "good");  // the writer holds the same rules
    dup.labels[1].name = "a";
    EXPECT_THROW(encodeToolFile(dup), ToolFileError);
    ToolFile wordy = decodeToolFile(Craft().bytes(), "good");  // a source text readers refuse
    wordy.labels[0].sources = {std::string(kMaxToolSourceText, 'x')};
    EXPECT_EQ(decodeToolFile(encodeToolFile(wordy), "kept").labels[0].sources,
              wordy.labels[0].sources);
    wordy.labels[0].sources[0] += 'x';
    EXPECT_THROW(encodeToolFile(wordy), ToolFileError);
    const std::string v1 = slurp(CLSG_TEST_DATA_DIR "/tool_v1.clsg");
    const auto with = [](const std::function<void(Craft&)>& change) {
        Craft c;
        change(c);
        return c.bytes();
    };
    std::string v1Renamed = v1;  // "red" becomes "r/d"
    v1Renamed[v1.find("red") + 1] = '/';
    const std::vector<std::pair<std::string, std::string>> cases = {
        {with([](Craft& c) { c.labels[0].name = "x/../../../ESCAPED"; }),
         "may hold only ASCII letters"},
        {with([](Craft& c) { c.labels[1].name = "a"; }), "label name a appears twice"},
        {with([](Craft& c) { c.labels[0].name = ""; }), "1 to 64 characters"},
        {with([](Craft& c) { c.labels[0].name = std::string(65, 'a'); }), "1 to 64 characters"},
        {with([](Craft& c) {  // 40 letters, 80 bytes: not too long, but not ASCII
             c.labels[0].name.clear();
             for (int k = 0; k < 40; ++k) c.labels[0].name += "\xc3\xa9";
         }),
         "may hold only ASCII letters"},
        {with([](Craft& c) { c.labels[0].name = std::string("a\0b", 3); }), "a\\x00b"},
        {with([](Craft& c) { c.hasNeighborhood = true, c.neighborhood = 256; }),
         "neighbourhood size 256 is outside 1 to 255"},
        {with([](Craft& c) { c.labels[0].sources.resize(2); }), "2 source texts for 1 examples"},
        {with([](Craft& c) { c.labels[1].color = 0x1000000; }), "no valid colour"},
        {with([](Craft& c) { c.payloadTail = "x"; }), "bytes after the end of the payload"},
        {with([](Craft& c) {  // the library's message shows the byte as it was
             c.damage = [](std::string& raw) { raw[raw.find("kv2XformLinear") + 3] = '\0'; };
         }),
         "unknown class: kv2\\x00formLinear)"},
        {with([](Craft& c) { c.fileTail = std::string(7000, 'g'); }), "followed by other bytes"},
        {with([](Craft& c) { c.statedSize = 4000000000; }), "over the limit of 1073741824 bytes"},
        {with([](Craft& c) { c.statedSize = 2000000; }), "cannot come from"},
        {std::string("\x09\0\0\0clsg-tool\x02\0\0\0\0\x10\0\0\x78\x9c\xff\xff\xff\xff", 27),
         "damaged or truncated"},
        {with([](Craft& c) { c.statedSize = 10; }), "does not match its stated size"},
        {v1 + "garbage", "7 bytes after the tool"},
        {v1Renamed, "r/d"},
        {slurp(CLSG_TEST_DATA_DIR "/tool_v1_not_rgb.clsg"),  // found by fuzzing
         "a stored example: image's color space is not RGB"},
        // Training's refusals in words, not as the conditions code writes.
        {slurp(CLSG_TEST_DATA_DIR "/tool_label_without_examples.clsg"),
         "is a corrupt tool file (a label has no examples)"},
        {slurp(CLSG_TEST_DATA_DIR "/tool_empty_example.clsg"),
         "is a corrupt tool file (an image or mask cannot be used (an example selects no pixel"},
        {with([](Craft& c) {  // the finest grid for ten labels: gigabytes
             for (char n = 'c'; n <= 'j'; ++n) c.labels.push_back({std::string(1, n), 0, {}});
             c.fraction = 1e-6;
         }),
         "training the stored tool would cost too much"},
        // Settings no program trains with: no pixel labelled, or scores wrapped round.
        {with([](Craft& c) { c.fraction = 0; }), "colour tolerance fraction 0 is outside"},
        {with([](Craft& c) { c.fraction = 1.5; }), "fraction 1.5 is outside 0.000001 to 1"},
        {with([](Craft& c) { c.minimum = 256; }), "smallest colour tolerance 256 is outside"},
        {"clsg-tool", "not a clsg tool file"},
        {std::string("\x09\0\0\0clsg-tool\x03\0\0\0", 17), "format version 3"},
    };
    // The widest settings the programs take are read as they are.
    const ToolFile widest =
        decodeToolFile(with([](Craft& c) { c.fraction = 1, c.minimum = 255; }), "widest.clsg");
    EXPECT_EQ(widest.tool.trainParams().colorToleranceFrac(), 1.0);
    EXPECT_EQ(widest.tool.trainParams().colorToleranceMin(), 255u);
    ToolFileLimits small;
    small.maxExamplePixels = 15;  // the examples are 4 x 4
    EXPECT_EQ(errorOf<ToolFileError>([&] { decodeToolFile(Craft().bytes(), "bad.clsg", small); }),
              "bad.clsg: a stored example of 4 x 4 pixels is over the limit of 15 pixels");
    // Not a tool file: refused after its first bytes (reading 2 GiB would take seconds).
    const auto bytesRead = [] {  // by this process so far
        std::ifstream io("/proc/self/io");
        std::string key;
        uint64_t value = 0;
        while (io >> key >> value && key != "rchar:") {
        }
        return value;
    };
    const uint64_t before = bytesRead();
    EXPECT_EQ(errorOf<ToolFileError>([&] { readToolFile("/dev/zero"); }),
              "/dev/zero is not a clsg tool file");
    EXPECT_LT(bytesRead() - before, 1u << 20);
    for (const auto& [bytes, word] : cases) {
        const std::string message =
            errorOf<ToolFileError>([&] { decodeToolFile(bytes, "bad.clsg"); });
        EXPECT_EQ(message.rfind("bad.clsg", 0), 0u) << message;
        EXPECT_NE(message.find(word), std::string::npos) << word << " in: " << message;
        for (unsigned char ch : message) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << message;
    }
}

// An example over the pixel limit costs only its record's first bytes: its
// size is checked before its pixels are allocated or inflated.
TEST(ToolFile, ExamplesOverThePixelLimitAreRefusedBeforeTheyAreRead) {
    Craft large;
    large.example = uniformImage(kvPelRect(0, 0, 3000, 3000), {10, 20, 30});
    ToolFileLimits limits;
    limits.maxExamplePixels = 16;  // the default examples are 4 x 4
    Craft small;
    for (const std::string& bytes : {small.bytes(), versionOne(small)})
        EXPECT_EQ(decodeToolFile(bytes, "small.clsg", limits).labelNames(),
                  (std::vector<std::string>{"a", "b"}));
    limits.maxExamplePixels = 1 << 20;
    for (const auto& [bytes, version] :
         {std::pair{large.bytes(), "2"}, std::pair{versionOne(large), "1"}}) {
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        const long before = kib("VmRSS:");
        EXPECT_EQ(errorOf<ToolFileError>([&] { decodeToolFile(bytes, "big.clsg", limits); }),
                  "big.clsg: a stored example of 3000 x 3000 pixels is over the limit of 1048576 "
                  "pixels")
            << "version " << version;
        EXPECT_LT(kib("VmHWM:") - before, 4096) << "version " << version;
    }
}

// A text states its length in four bytes, and 64 MB of it compress to 64 KB:
// each is refused from its length, before it is allocated.
TEST(ToolFile, TextsOverTheirLimitsAreRefusedBeforeTheyAreRead) {
    const std::string big(64 << 20, 'x');
    const auto with = [](const std::function<void(Craft&)>& change) {
        Craft c;
        change(c);
        return c.bytes();
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {with([&](Craft& c) { c.quality = big; }), "bad.clsg: the quality report is too long"},
        {with([&](Craft& c) { c.labels[0].sources = {big}; }),
         "bad.clsg: an example source text is too long"},
        {with([&](Craft& c) { c.labels[1].name = big; }), "bad.clsg: a label name is too long"},
    };
    for (const auto& [bytes, message] : cases) {
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        const long before = kib("VmRSS:");
        EXPECT_EQ(errorOf<ToolFileError>([&] { decodeToolFile(bytes, "bad.clsg"); }), message);
        EXPECT_LT(kib("VmHWM:") - before, 16384) << message;
    }
}

// Ctrl-C while a tool is encoded leaves the file as it was; while a payload
// is inflated, it stops there (a gigabyte takes seconds), before anything else.
TEST(ToolFile, AnAbortStopsReadingAndKeepsTheFileWritten) {
    const std::string path = testing::TempDir() + "abort.clsg";
    const std::string kept = Craft().bytes();
    std::ofstream(path, std::ios::binary) << kept;
    const ToolFile file = decodeToolFile(kept, "kept");
    Craft tail;
    tail.payloadTail = "x";  // refused, once inflated, for its bytes after the payload
    ksys_request_abort();
    EXPECT_THROW(writeToolFile(path, file), kvAbortRequested);
    EXPECT_THROW(decodeToolFile(tail.bytes(), "tail.clsg"), kvAbortRequested);
    // Cutting examples to their masks copies pixels too (seconds for large ones).
    EXPECT_THROW(cropExamples(file.tool.compositeColors()), kvAbortRequested);
    ksys_clear_abort();
    EXPECT_EQ(slurp(path), kept);
    std::remove(path.c_str());
}

// A file's payload as its bytes: stored (deflate level 0) or compressed,
// stating size (the payload's own when 0) in its header.
std::string toolFileOf(const std::string& payload, int level, uint32_t size = 0) {
    uLongf zsize = compressBound(static_cast<uLong>(payload.size()));
    std::string z(zsize, '\0');
    compress2(reinterpret_cast<Bytef*>(z.data()), &zsize,
              reinterpret_cast<const Bytef*>(payload.data()), static_cast<uLong>(payload.size()),
              level);
    z.resize(zsize);
    if (size == 0) size = static_cast<uint32_t>(payload.size());
    std::string head("\x09\0\0\0clsg-tool\x02\0\0\0", 17);
    for (int i = 0; i < 4; ++i) head += static_cast<char>(size >> (8 * i));
    return head + z;
}

std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// A file is read only as far as its header allows, and that once: into room
// of its size, not into a string that holds it twice while it grows.
TEST(ToolFile, AFileIsReadOnlyAsFarAsItsHeaderAllows) {
    ScratchDir dir;
    ToolFileLimits limits;
    limits.budget.maxBytes = 64u << 20;  // and so the largest payload
    const auto sparse = [&](const std::string& head, uint64_t size) {
        std::ofstream(dir / "t.clsg", std::ios::binary) << head;
        std::filesystem::resize_file(dir / "t.clsg", size);
        return dir / "t.clsg";
    };
    const std::string v1("\x09\0\0\0clsg-tool\x01\0\0\0", 17);
    EXPECT_EQ(errorOf<ToolFileError>([&] { readToolFile(sparse(v1, (64u << 20) + 1024), limits); }),
              dir / "t.clsg" +
                  ": the file is 67109888 bytes, over the limit of 67109887 bytes "
                  "for a tool file");
    const std::string v2 = std::string("\x09\0\0\0clsg-tool\x02\0\0\0", 17) + u32(64u << 20);
    const uint64_t bound = 21 + (64u << 20) + (64u << 20) / 3000 + 64;
    EXPECT_NE(errorOf<ToolFileError>([&] {
                  readToolFile(sparse(v2, bound + 1), limits);
              }).find("more than its payload of 67108864 bytes can take"),
              std::string::npos);
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const long before = kib("VmRSS:");
    EXPECT_NE(errorOf<ToolFileError>([&] {
                  readToolFile(sparse(v2, bound), limits);
              }).find("the compressed payload is damaged"),
              std::string::npos);
    EXPECT_LT(kib("VmHWM:") - before, 80 << 10);
}

// A small file cannot make its reader hold far more memory than its payload:
// the stated size is checked against what the stream holds before any count
// is trusted, counts are checked against what their elements need, and
// examples take memory only as they are read, up to a number of images.
TEST(ToolFile, SmallFilesCannotMakeTheirReaderHoldMuchMemory) {
    const uint32_t mib64 = 64u << 20;
    const std::string label = u32(1) + u32(1) + "a" + u32(0);  // one label "a", colour 0
    const std::string zeros(mib64, '\0');
    const std::pair<std::string, const char*> cases[] = {
        // 70 KB stored, stating 64 MiB: a million source texts it does not hold.
        {toolFileOf(label + u32(mib64 / 68 - 1000) + std::string(70000, '\0'), 0, mib64),
         "does not match its stated size"},
        // 64 MiB of zeros, 65 KB compressed: 16 million empty source texts, or 5 million
        // labels, or 6 million examples.
        {toolFileOf(label + u32(mib64 / 4 - 64) + zeros.substr(0, mib64 - 29), 9),
         "count exceeds the data left"},
        {toolFileOf(u32(mib64 / 12 - 64) + zeros.substr(0, mib64 - 4), 9),
         "it states 5592341 labels; a tool has at most 254"},
        {toolFileOf(label + u32(0) + std::string(11, '\0') + u32(mib64 / 11 - 64) +
                        zeros.substr(0, mib64 - 35),
                    9),
         "image is not bound"},
    };
    for (const auto& [bytes, why] : cases) {
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        const long before = kib("VmRSS:");
        const std::string message = errorOf<ToolFileError>([&] { decodeToolFile(bytes, "t"); });
        EXPECT_NE(message.find(why), std::string::npos) << message;
        EXPECT_LT(kib("VmHWM:") - before, 16384) << why << " (file of " << bytes.size() << ")";
    }
    // Examples are counted by their images, when written and when read.
    const ToolFile two = decodeToolFile(Craft().bytes(), "two");  // one image per label
    ToolFileLimits one;
    one.maxExampleImages = 1;
    EXPECT_EQ(errorOf<ToolFileError>([&] { decodeToolFile(Craft().bytes(), "t", one); }),
              "t: it stores more than 1 example images, over the limit of a tool file from "
              "elsewhere");
    ToolFileWriteOptions written;
    written.maxExampleImages = 1;
    EXPECT_EQ(errorOf<ToolFileError>([&] { encodeToolFile(two, written); }),
              "cannot store the tool: it could not be read back (it has 2 example images, more "
              "than the 1 a reader takes)");
    one.maxExampleImages = written.maxExampleImages = 2;
    EXPECT_EQ(decodeToolFile(encodeToolFile(two, written), "t", one).labelNames(),
              two.labelNames());
    // And by their bytes: the writer refuses what a reader with the same limits
    // would, before training by the examples' pixels, when storing by the size.
    ToolFileLimits tiny;
    tiny.maxPayloadBytes = 1;
    const std::string stated =
        errorOf<ToolFileError>([&] { decodeToolFile(encodeToolFile(two), "t", tiny); });
    const uint64_t payload = std::stoull(stated.substr(stated.find("payload of ") + 11));
    ToolFileWriteOptions fits;
    fits.maxPayloadBytes = tiny.maxPayloadBytes = payload;
    EXPECT_EQ(decodeToolFile(encodeToolFile(two, fits), "t", tiny).labelNames(), two.labelNames());
    fits.maxPayloadBytes -= 1;
    EXPECT_NE(errorOf<ToolFileError>([&] {
                  encodeToolFile(two, fits);
              }).find("could not be read back (its examples take " + std::to_string(payload)),
              std::string::npos);
    const auto& params = two.tool.trainParams();
    EXPECT_EQ(whyUnreadable(two.tool.compositeColors(), params, fits), "");  // pixels only
    fits.maxPayloadBytes = 1;
    EXPECT_NE(whyUnreadable(two.tool.compositeColors(), params, fits).find("its examples take "),
              std::string::npos);
    // A quality report is kept up to what a reader takes, and no longer written past it.
    ToolFile reported = two;
    reported.qualityJson = std::string(1 << 20, ' ');
    EXPECT_EQ(decodeToolFile(encodeToolFile(reported), "t").qualityJson.size(), 1u << 20);
    reported.qualityJson += ' ';
    EXPECT_NE(errorOf<ToolFileError>([&] {
                  encodeToolFile(reported);
              }).find("cannot store the tool: it could not be read back (its quality report"),
              std::string::npos);
}

}  // namespace
