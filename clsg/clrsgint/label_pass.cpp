// The label pass: the plain path and the choice of path.
#include "clsg/clrsgint/label_pass.h"

#include <cmath>

#include "clsg/clrsgint/label_pass_simd.h"
#include "clsg/platform/pel_ops.h"

namespace clsgint {
namespace {

void labelRowPlain(const double* const* scores, std::size_t labels, long from, long width,
                   unsigned char* label, unsigned char* confidence) {
    for (long x = from; x < width; ++x) {
        double b = 0.0, b2 = 0.0;
        unsigned char l = 255;
        for (std::size_t k = 0; k < labels; ++k) {
            const double s = scores[k][x];
            if (s > b) {
                b2 = b;
                b = s;
                l = static_cast<unsigned char>(k);
            } else if (s > b2) {
                b2 = s;
            }
        }
        label[x] = l;
        unsigned char c = 0;
        if (b != 0.0 && !std::isnan(b)) {
            const double q = (b - b2) / (b2 + b) * 255.0;
            c = static_cast<unsigned char>(kfILimit(iRound(static_cast<float>(q)), 0, 255));
        }
        confidence[x] = c;
    }
}

}  // namespace

void labelPassRow(const double* const* scores, std::size_t labels, long width, unsigned char* label,
                  unsigned char* confidence) {
    long done = 0;
    switch (labels == 0 ? kvSimdLevel::Portable : kvActiveSimd()) {  // the paths read label 0
#ifdef CLSG_X86_SIMD
        case kvSimdLevel::Avx512:
            done = labelRowAvx512(scores, labels, width, label, confidence);
            break;
        case kvSimdLevel::Avx2:
            done = labelRowAvx2(scores, labels, width, label, confidence);
            break;
#endif
        default:
            break;
    }
    labelRowPlain(scores, labels, done, width, label, confidence);
}

}  // namespace clsgint
