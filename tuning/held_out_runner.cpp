#include "clsg/tuning/held_out_runner.h"

#include <algorithm>

#include "clsg/platform/pel_ops.h"

namespace clsg {

namespace {

// The picture samples: kSampleGrid x kSampleGrid tiles of kSampleSide.
constexpr long kSampleGrid = 4, kSampleSide = 16;

uint64_t mix(uint64_t v) {  // splitmix64's finaliser
    v += 0x9e3779b97f4a7c15ull;
    v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9ull;
    v = (v ^ (v >> 27)) * 0x94d049bb133111ebull;
    return v ^ (v >> 31);
}

}  // namespace

HeldOutRunner::HeldOutRunner(const SpatialFolds& folds, uint64_t perLabel, bool pack)
    : pack_(pack) {
    // Writable copies of the pictures, so that tiles can be cut from them as windows.
    for (const kv3PlanePelBuffer_const& image : folds.images())
        pictures_.push_back(kfPelCopy(image));
    for (uint32_t f = 0; f < folds.folds(); ++f) {
        const std::vector<HeldOutPiece>& pieces = folds.heldOut(f);
        std::vector<std::pair<uint64_t, std::size_t>> order;  // key, piece
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const kvPelRect& r = pieces[i].rect;
            const uint64_t at = static_cast<uint64_t>(static_cast<uint32_t>(r.top())) << 32 |
                                static_cast<uint32_t>(r.left());
            order.push_back({perLabel == 0 ? i : mix(folds.imageSeed(pieces[i].image) ^ at), i});
        }
        std::sort(order.begin(), order.end());
        std::vector<uint64_t> taken(folds.labels(), 0);
        std::vector<const HeldOutPiece*> chosen;
        for (const auto& [key, i] : order) {
            bool wanted = perLabel == 0;
            for (const HeldOutPixel& px : pieces[i].pixels)
                wanted = wanted || taken[px.label] < perLabel;
            if (!wanted) continue;
            for (const HeldOutPixel& px : pieces[i].pixels) ++taken[px.label];
            chosen.push_back(&pieces[i]);
        }
        scored_.push_back(std::move(chosen));
    }
    // Sample tiles spread evenly over every picture.
    for (std::size_t d = 0; d < pictures_.size(); ++d) {
        const kvPelRect w = pictures_[d].window();
        const long side = std::min<long>(kSampleSide, std::min(w.width(), w.height()));
        for (long i = 0; i < kSampleGrid; ++i)
            for (long j = 0; j < kSampleGrid; ++j) {
                const long x = w.left() + (w.width() - side) * (2 * j + 1) / (2 * kSampleGrid);
                const long y = w.top() + (w.height() - side) * (2 * i + 1) / (2 * kSampleGrid);
                samples_.push_back({d, kvPelRect(x, y, side, side)});
            }
    }
}

void HeldOutRunner::score(uint32_t f, const kvCompositeColorSegmenterTool& tool,
                          const kvCompositeColorSegmenterRunParams& params,
                          LabelConfusion& confusion, uint64_t* runPixels,
                          std::vector<uint64_t>* confidence, SampleTally* samples,
                          bool heldOut) const {
    const long margin = params.neighborhoodSize() / 2;
    const Mosaic& mosaic = mosaicOf(f, margin, heldOut, samples != nullptr);
    kvCompositeColorSegmenterResult packed;
    kvPelBuffer_const<unsigned char> packedLabels, packedSure;
    if (mosaic.image.window().width() > 0) {
        tool.run(mosaic.image, params, packed);
        if (runPixels)
            *runPixels += static_cast<uint64_t>(mosaic.image.width() * mosaic.image.height());
        packedLabels = packed.labelImage();
        if (confidence) packedSure = packed.confidenceImage();
    }
    const auto place = [&](std::size_t item, std::size_t picture, const kvPelRect& rect,
                           kvCompositeColorSegmenterResult& alone, long& dx, long& dy) {
        const Offset& at = mosaic.at[item];
        if (at.packed) {
            dx = at.dx, dy = at.dy;
            return std::pair{packedLabels, packedSure};
        }
        dx = dy = 0;
        const kvPelBuffer_const<unsigned char> labels =
            runGrown(picture, rect, tool, params, runPixels, &alone);
        return std::pair{labels,
                         confidence ? alone.confidenceImage() : kvPelBuffer_const<unsigned char>()};
    };
    std::size_t item = 0;
    for (const HeldOutPiece* piece : heldOut ? scored_[f] : kNoPieces) {
        kvCompositeColorSegmenterResult alone;
        long dx, dy;
        const auto [labels, sure] = place(item++, piece->image, piece->rect, alone, dx, dy);
        for (const HeldOutPixel& px : piece->pixels) {
            const unsigned got = *labels.pointToPel(px.x + dx, px.y + dy);
            confusion.add(px.label, got);
            if (confidence && got == px.label)
                (*confidence)[px.label] += *sure.pointToPel(px.x + dx, px.y + dy);
        }
    }
    if (!samples) return;
    for (const auto& [picture, rect] : samples_) {
        kvCompositeColorSegmenterResult alone;
        long dx, dy;
        const auto [labels, sure] = place(item++, picture, rect, alone, dx, dy);
        for (long y = rect.top(); y < rect.bottom(); ++y)
            for (long x = rect.left(); x < rect.right(); ++x) {
                const bool none = *labels.pointToPel(x + dx, y + dy) == 255;
                samples->none += none;
                // (an unlabelled pixel's confidence is 0)
                if (confidence) samples->sure += *sure.pointToPel(x + dx, y + dy);
            }
        samples->total += static_cast<uint64_t>(rect.width() * rect.height());
    }
}

kvPelBuffer_const<unsigned char> HeldOutRunner::runGrown(
    std::size_t picture, const kvPelRect& rect, const kvCompositeColorSegmenterTool& tool,
    const kvCompositeColorSegmenterRunParams& params, uint64_t* runPixels,
    kvCompositeColorSegmenterResult* out) const {
    const kv3PlanePelBuffer& image = pictures_[picture];
    const long margin = params.neighborhoodSize() / 2;
    const kvPelRect grown =
        kvRectangle<long>(rect +
                          kvRectangle<long>(-margin, -margin, 2 * margin + 1, 2 * margin + 1))
            .intersect(image.window(), false);
    kvPelBuffer<unsigned char> p0 = image.plane0(), p1 = image.plane1(), p2 = image.plane2();
    p0.window(grown, false);
    p1.window(grown, false);
    p2.window(grown, false);
    kvCompositeColorSegmenterResult local;
    kvCompositeColorSegmenterResult& result = out ? *out : local;
    tool.run(kv3PlanePelBuffer(p0, p1, p2), params, result);
    if (runPixels) *runPixels += static_cast<uint64_t>(grown.width() * grown.height());
    return result.labelImage();
}

const HeldOutRunner::Mosaic& HeldOutRunner::mosaicOf(uint32_t f, long margin, bool withHeldOut,
                                                     bool withSamples) const {
    const auto key = std::make_tuple(f, margin, withHeldOut, withSamples);
    const std::lock_guard<std::mutex> lock(mosaicsLock_);  // the search's threads share them
    const auto found = mosaics_.find(key);
    if (found != mosaics_.end()) return found->second;
    std::vector<std::pair<std::size_t, kvPelRect>> items;
    for (const HeldOutPiece* piece : withHeldOut ? scored_[f] : kNoPieces)
        items.push_back({piece->image, piece->rect});
    if (withSamples) items.insert(items.end(), samples_.begin(), samples_.end());
    Mosaic m;
    m.at.resize(items.size());
    std::vector<std::pair<std::size_t, kvPelRect>> grown(items.size());  // item, source
    long x = 0, y = 0, rowHeight = 0, width = 0;
    for (std::size_t i = 0; i < items.size() && pack_; ++i) {
        const kvPelRect& r = items[i].second;
        const kvPelRect g(r.left() - margin, r.top() - margin, r.width() + 2 * margin,
                          r.height() + 2 * margin);
        if (kvRectangle<long>(g).intersect(pictures_[items[i].first].window(), false) != g)
            continue;
        if (x > 0 && x + g.width() > kMosaicWidth) {
            x = 0;
            y += rowHeight;
            rowHeight = 0;
        }
        m.at[i] = {true, x - g.left(), y - g.top()};
        grown[i] = {items[i].first, g};
        x += g.width();
        width = std::max(width, x);
        rowHeight = std::max(rowHeight, g.height());
    }
    if (width > 0) {
        m.image = kv3PlanePelBuffer(kvPelRect(0, 0, width, y + rowHeight));
        kvPelBuffer<unsigned char> to[] = {m.image.plane0(), m.image.plane1(),
                                           m.image.plane2()};  // handles of its planes
        for (kvPelBuffer<unsigned char>& plane : to) kfPelSet(plane, 0);
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (!m.at[i].packed) continue;
            const kv3PlanePelBuffer& from = pictures_[grown[i].first];
            const kvPelBuffer<unsigned char>* planes[] = {&from.plane0(), &from.plane1(),
                                                          &from.plane2()};
            const kvPelRect& g = grown[i].second;
            for (int p = 0; p < 3; ++p)
                for (long row = g.top(); row < g.bottom(); ++row)
                    std::copy_n(planes[p]->pointToPel(g.left(), row), g.width(),
                                to[p].pointToPel(g.left() + m.at[i].dx, row + m.at[i].dy));
        }
    }
    return mosaics_.emplace(key, std::move(m)).first->second;
}

}  // namespace clsg
