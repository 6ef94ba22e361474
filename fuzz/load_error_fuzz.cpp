// Loads an error object from arbitrary bytes: the first byte picks a pointer
// record through the class registry (0) or one of the five classes' own
// records (1 to 5). Every input must end in a loaded object or in a
// kvException.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "clsg/colorseg/errors.h"
#include "clsg/platform/archive.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

std::unique_ptr<Defs::Errors> makeError(unsigned pick) {
    switch (pick) {
        case 1:
            return std::make_unique<Defs::BadParams>("old");
        case 2:
            return std::make_unique<Defs::NotTrained>("old");
        case 3:
            return std::make_unique<Defs::BadImage>("old");
        case 4:
            return std::make_unique<Defs::BadColorSpace>("old");
        default:
            return std::make_unique<Defs::TooManyCompositeColors>("old");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned pick = data[0] % 6;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    try {
        kvArchive archive(in);
        if (pick == 0) {
            kvPersistent* object = nullptr;
            kvPersistent::serializePointer(archive, object);
            if (auto* error = dynamic_cast<Defs::Errors*>(object)) {
                (void)error->what();
                (void)error->errorNumber();
            }
        } else {
            std::unique_ptr<Defs::Errors> error = makeError(pick);
            error->serialize(archive);
            (void)error->what();
        }
    } catch (const kvException&) {
    }
    return 0;
}
