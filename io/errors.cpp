#include "clsg/io/errors.h"

#include <new>

#include "clsg/colorseg/errors.h"
#include "clsg/platform/str.h"

namespace clsg {

std::string oneLine(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte >= 0x20 && byte != 0x7f ? std::string(1, c) : kfPrintable(std::string(1, c), 4);
    }
    return out;
}

namespace {

// Training's refusals of empty sets, whose texts are the conditions as code
// writes them.
std::string trainingRefusal(const std::string& text) {
    if (text == "(!compositeColors.size())") return "there are no labels to train";
    if (text == "(!compositeColors[i].instances().size())") return "a label has no examples";
    if (text == "(!compositeColors[i].instances().images().size())")
        return "an example has no image";
    return text;
}

}  // namespace

std::string describeError(const std::exception& e) {
    std::string text = e.what();
    if (dynamic_cast<const std::bad_alloc*>(&e)) text = "out of memory";
    if (dynamic_cast<const kvCompositeColorSegmenterDefs::BadParams*>(&e))
        text = trainingRefusal(text);
    if (dynamic_cast<const kvCompositeColorSegmenterDefs::TooManyCompositeColors*>(&e))
        text = "too many labels (at most 254)";
    if (text.empty()) {
        using Defs = kvCompositeColorSegmenterDefs;
        if (dynamic_cast<const Defs::NotTrained*>(&e))
            text = "the tool is not trained";
        else if (dynamic_cast<const Defs::BadImage*>(&e))
            text =
                "an image or mask cannot be used (an example selects no pixel: its mask selects "
                "none or lies beside its image, or its image is empty)";
        else if (dynamic_cast<const Defs::BadColorSpace*>(&e))
            text = "the image is not RGB";
        else if (dynamic_cast<const Defs::BadParams*>(&e))
            text = "invalid parameters";
        else
            text = "unknown error";
    }
    return oneLine(text);
}

}  // namespace clsg
