// Diagnostic records: what training and running show of their work.
//
// A kvDiagObject keeps its records in the order they were made; each record
// keeps its entries (images, texts, annotations) in call order, so tools and
// tests can read them back.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "clsg/platform/three_plane.h"

class kvDiagRecord {
public:
    enum class Kind { Image8, ImageRGB, Text, Annotation };
    struct Entry {
        Kind kind;
        kvPelBuffer_const<unsigned char> image8;  // Kind::Image8
        kv3PlanePelBuffer_const imageRGB;         // Kind::ImageRGB
        std::string text;                         // Text body or annotation
        std::string label;                        // Text label
    };

    // With copyPels the record keeps its own copy of the pels; otherwise it
    // shares them with the caller's buffer.
    void image(const kvPelBuffer_const<unsigned char>& image, bool copyPels);
    void image(const kv3PlanePelBuffer_const& image, bool copyPels);
    void text(const std::string& text, const std::string& label);
    void recordAnnotation(const std::string& text);

    const std::vector<Entry>& entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

class kvDiagObject {
public:
    // A new, empty record held by this object; the reference stays valid for
    // the object's lifetime.
    kvDiagRecord& newDiagRecord();

    std::size_t size() const { return records_.size(); }
    const kvDiagRecord& record(std::size_t i) const { return records_.at(i); }
    void clear() { records_.clear(); }

private:
    std::deque<kvDiagRecord> records_;
};
