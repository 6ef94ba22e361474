// Writes the archive fixtures (tests/data/archive) and the fuzzers' seed
// corpora (fuzz/corpus/<target>) from the objects of
// tests/archive_fixture_recipes.h.
//
//   make_archive_fixtures <repo root>
//
// Fixtures are compatibility references: regenerate them only when the
// format changes on purpose, and keep the version-0 files as they are.
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "../tests/archive_bytes.h"
#include "../tests/archive_fixture_recipes.h"
#include "clsg/colorseg/archive_operators.h"
#include "clsg/colorseg/errors.h"
#include "clsg/platform/pel_archive.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

std::string storeError(kvPersistent& error, bool asPointer) {
    std::ostringstream out;
    kvArchive archive(out);
    if (asPointer) {
        kvPersistent* p = &error;
        kvPersistent::serializePointer(archive, p);
    } else {
        error.serialize(archive);
    }
    return out.str();
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
    std::cout << path << " (" << bytes.size() << " bytes)\n";
}

std::string u8(unsigned char v) { return std::string(1, static_cast<char>(v)); }
std::string u32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}
std::string f64(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    std::string s;
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>(u >> (8 * i)));
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_archive_fixtures <repo root>\n";
        return 2;
    }
    const std::string data = std::string(argv[1]) + "/tests/data/archive/";
    const std::string corpus = std::string(argv[1]) + "/fuzz/corpus/";

    kvCompositeColor example = fixture::example();
    kvCompositeColorSet set(std::vector<kvCompositeColor>{example, kvCompositeColor()});
    kvCompositeColorSegmenterTrainParams trainParams = fixture::trainParams();
    kvCompositeColorSegmenterRunParams runParams = fixture::runParams();
    kvCompositeColorSegmenterTool tool = fixture::tool(), untrained;
    kvCompositeColorSegmenterResult result = fixture::result(), empty;

    write(data + "example.arc", storeToBytes(example));
    write(data + "set.arc", storeToBytes(set));
    write(data + "train_params.arc", storeToBytes(trainParams));
    write(data + "run_params.arc", storeToBytes(runParams));
    write(data + "tool_trained.arc", storeToBytes(tool));
    write(data + "tool_untrained.arc", storeToBytes(untrained));
    write(data + "result_run.arc", storeToBytes(result));
    write(data + "result_empty.arc", storeToBytes(empty));

    // Version-0 records, composed field by field.
    kv3PlanePelBuffer image = fixture::image();
    kvPelBuffer<unsigned char> mask = fixture::mask();
    write(data + "train_params_v0.arc", u8(0) + f64(0.5));
    write(data + "example_v0.arc",
          u8(0) + storeToBytes(image) + storeToBytes(static_cast<kv_PelBuffer&>(mask)));
    kv3PlanePelBuffer v0Image = fixture::v0Image();
    std::string v0 = u8(0) + u8(0) + storeToBytes(v0Image) + f64(0.25) + u32(3);
    std::vector<unsigned char> quant = fixture::v0QuantTable();
    v0 += storeToBytes(quant);
    v0 += u8(0) + u32(2);
    for (int k = 0; k < 2; ++k) {
        kvPelBuffer<double> s = fixture::v0Scores(k);
        v0 += storeToBytes(static_cast<kv_PelBuffer&>(s));
    }
    write(data + "result_v0.arc", v0);

    // Error objects through the class registry.
    std::unique_ptr<Defs::Errors> errors[] = {
        std::make_unique<Defs::BadParams>(fixture::kErrorMessage),
        std::make_unique<Defs::NotTrained>(fixture::kErrorMessage),
        std::make_unique<Defs::BadImage>(fixture::kErrorMessage),
        std::make_unique<Defs::BadColorSpace>(fixture::kErrorMessage),
        std::make_unique<Defs::TooManyCompositeColors>(fixture::kErrorMessage)};
    const char* names[] = {"bad_params", "not_trained", "bad_image", "bad_color_space",
                           "too_many_composite_colors"};
    for (int i = 0; i < 5; ++i) {
        const std::string pointer = storeError(*errors[i], true);
        write(data + "error_" + names[i] + ".arc", pointer);
        // Seeds: selector 0 (pointer record) and the class's own record.
        write(corpus + "load_error_fuzz/" + names[i] + "_pointer", u8(0) + pointer);
        write(corpus + "load_error_fuzz/" + names[i] + "_record",
              u8(static_cast<unsigned char>(i + 1)) + storeError(*errors[i], false));
    }

    write(corpus + "load_tool_fuzz/tool_trained", storeToBytes(tool));
    write(corpus + "load_tool_fuzz/tool_untrained", storeToBytes(untrained));
    kvCompositeColorSegmenterTool oneSet;
    oneSet.train({fixture::sets()[1]}, kvCompositeColorSegmenterTrainParams(0.75, 2));
    write(corpus + "load_tool_fuzz/tool_one_set", storeToBytes(oneSet));
    write(corpus + "load_result_fuzz/result_run", storeToBytes(result));
    write(corpus + "load_result_fuzz/result_empty", storeToBytes(empty));
    write(corpus + "load_result_fuzz/result_v0", v0);
    return 0;
}
