#include "clsg/platform/diag.h"

#include "clsg/platform/pel_ops.h"

void kvDiagRecord::image(const kvPelBuffer_const<unsigned char>& img, bool copyPels) {
    Entry e{Kind::Image8, img, {}, {}, {}};
    if (copyPels && img.isBound()) e.image8 = kfPelCopy(img);
    entries_.push_back(std::move(e));
}

void kvDiagRecord::image(const kv3PlanePelBuffer_const& img, bool copyPels) {
    Entry e{Kind::ImageRGB, {}, img, {}, {}};
    if (copyPels && img.isBound()) e.imageRGB = kfPelCopy(img);
    entries_.push_back(std::move(e));
}

void kvDiagRecord::text(const std::string& body, const std::string& label) {
    entries_.push_back(Entry{Kind::Text, {}, {}, body, label});
}

void kvDiagRecord::recordAnnotation(const std::string& body) {
    entries_.push_back(Entry{Kind::Annotation, {}, {}, body, {}});
}

kvDiagRecord& kvDiagObject::newDiagRecord() {
    records_.emplace_back();
    return records_.back();
}
