// Reads arbitrary bytes as a tool file (version 2 above all: a header, then a
// deflate-compressed payload; version 1 is reached too). Every input must end
// in a loaded trained tool or in a ToolFileError. A loaded tool must store
// and read back to the same bytes. The training budget is lowered so that one
// input stays fast; the parsing before it is fuzzed whole.
#include <cstdint>
#include <string>

#include "clsg/io/tool_file.h"

namespace loadToolFileFuzz {

using namespace clsg;

inline void loadToolFileOneInput(const uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ToolFileLimits limits;
    limits.maxPayloadBytes = 16 << 20;
    limits.maxExamplePixels = 1 << 20;
    limits.budget.maxBytes = 64 << 20;
    limits.budget.maxWork = 64 << 20;
    ToolFile file;
    try {
        file = decodeToolFile(bytes, "input", limits);
    } catch (const ToolFileError&) {
        return;
    }
    if (!file.tool.isTrained()) __builtin_trap();
    // Stored examples are cropped, so the first store may differ from the
    // file read; storing what that reads back gives the same bytes.
    const std::string stored = encodeToolFile(file);
    if (encodeToolFile(decodeToolFile(stored, "again", limits)) != stored) __builtin_trap();
}

}  // namespace loadToolFileFuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    loadToolFileFuzz::loadToolFileOneInput(data, size);
    return 0;
}
