#include "clsg/io/errors.h"

#include <new>

#include "clsg/colorseg/errors.h"

namespace clsg {

std::string describeError(const std::exception& e) {
    std::string text = e.what();
    if (dynamic_cast<const std::bad_alloc*>(&e)) text = "out of memory";
    if (dynamic_cast<const kvCompositeColorSegmenterDefs::TooManyCompositeColors*>(&e))
        text = "too many labels (at most 254)";
    if (text.empty()) {
        using Defs = kvCompositeColorSegmenterDefs;
        if (dynamic_cast<const Defs::NotTrained*>(&e))
            text = "the tool is not trained";
        else if (dynamic_cast<const Defs::BadImage*>(&e))
            text =
                "an image or mask cannot be used (a mask selects no pixel, or lies beside its "
                "image)";
        else if (dynamic_cast<const Defs::BadColorSpace*>(&e))
            text = "the image is not RGB";
        else if (dynamic_cast<const Defs::BadParams*>(&e))
            text = "invalid parameters";
        else
            text = "unknown error";
    }
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace clsg
