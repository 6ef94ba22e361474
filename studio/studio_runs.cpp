#include "studio/studio_runs.h"

namespace clsg {

namespace {

void appendRun(std::string& out, uint8_t value, std::size_t run) {
    out.push_back(static_cast<char>(value));
    for (;; run >>= 7) {
        const uint8_t low = static_cast<uint8_t>(run & 0x7f);
        if (run < 0x80) {
            out.push_back(static_cast<char>(low));
            break;
        }
        out.push_back(static_cast<char>(low | 0x80));
    }
}

}  // namespace

std::string encodeRuns(const uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size;) {
        std::size_t j = i + 1;
        while (j < size && data[j] == data[i]) ++j;
        appendRun(out, data[i], j - i);
        i = j;
    }
    return out;
}

namespace {

// Calls take(value, run) for each run of text while it returns true. False
// when text is truncated, has a zero or overlong run, decodes to more or fewer
// than size bytes, or take refused a run.
template <typename Take>
bool forEachRun(const std::string& text, std::size_t size, Take take) {
    std::size_t done = 0;
    for (std::size_t i = 0; i < text.size();) {
        const uint8_t value = static_cast<uint8_t>(text[i++]);
        uint64_t run = 0;
        for (unsigned shift = 0;; shift += 7) {
            if (i >= text.size() || shift > 35) return false;
            const uint8_t b = static_cast<uint8_t>(text[i++]);
            run |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) break;
        }
        if (run == 0 || run > size - done || !take(value, static_cast<std::size_t>(run)))
            return false;
        done += static_cast<std::size_t>(run);
    }
    return done == size;
}

}  // namespace

bool decodeRuns(const std::string& text, std::size_t size, std::vector<uint8_t>& out) {
    out.clear();
    out.reserve(size);
    return forEachRun(text, size, [&](uint8_t value, std::size_t run) {
        out.insert(out.end(), run, value);
        return true;
    });
}

bool mapRuns(const std::string& text, std::size_t size, const std::array<uint8_t, 256>& to,
             std::string& out) {
    out.clear();
    uint8_t value = 0;
    std::size_t run = 0;  // of value, not yet written
    const bool whole = forEachRun(text, size, [&](uint8_t v, std::size_t n) {
        if (run > 0 && to[v] != value) appendRun(out, value, run), run = 0;
        value = to[v], run += n;
        return true;
    });
    if (run > 0) appendRun(out, value, run);
    return whole;
}

bool checkRuns(const std::string& text, std::size_t size, uint8_t most) {
    return forEachRun(text, size, [most](uint8_t value, std::size_t) { return value <= most; });
}

uint32_t boxDigest(const uint8_t* image, std::size_t width, std::size_t x, std::size_t y,
                   std::size_t w, std::size_t h) {
    uint32_t digest = 2166136261u;
    for (std::size_t row = y; row < y + h; ++row)
        for (const uint8_t* p = image + row * width + x; p != image + row * width + x + w; ++p)
            digest = (digest ^ *p) * 16777619u;
    return digest;
}

}  // namespace clsg
