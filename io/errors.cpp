#include "clsg/io/errors.h"

#include <new>

#include "clsg/colorseg/errors.h"
#include "clsg/platform/str.h"

namespace clsg {

namespace {

bool isContinuation(unsigned char c) { return (c & 0xc0) == 0x80; }

}  // namespace

std::size_t utf8CharLength(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char c = at(0);
    if (c < 0x80) return 1;
    const std::size_t len = c >= 0xc2 && c <= 0xdf   ? 2
                            : c >= 0xe0 && c <= 0xef ? 3
                            : c >= 0xf0 && c <= 0xf4 ? 4
                                                     : 0;
    if (len == 0 || i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if (!isContinuation(at(k))) return 0;
    // The second byte's range where the first allows fewer: no overlong
    // form, no surrogate, nothing past U+10FFFF.
    const unsigned char second = at(1);
    if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) ||
        (c == 0xf0 && second < 0x90) || (c == 0xf4 && second > 0x8f))
        return 0;
    return len;
}

std::string oneLine(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t len = byte < 0x20 || byte == 0x7f ? 0 : utf8CharLength(text, i);
        if (len > 0) {
            out.append(text, i, len);
            i += len;
        } else {
            out += kfPrintable(text.substr(i++, 1), 4);
        }
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
