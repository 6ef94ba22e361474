#include "clsg/tuning/spatial_folds.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>

#include "clsg/colorseg/errors.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/pel_ops.h"

namespace clsg {

namespace {

using BadParams = kvCompositeColorSegmenterDefs::BadParams;

// One image-mask pair of the examples: where its selected pixels can lie, and
// which distinct picture it shows.
struct Pair {
    std::size_t set, instance;
    kv3PlanePelBuffer_const image;
    kvPelBuffer_const<unsigned char> mask;  // unbound: every pixel of area
    kvPelRect area;                         // the image window, cut to the mask
    std::size_t picture;

    bool selected(long x, long y) const { return !mask.isBound() || *mask.pointToPel(x, y) == 255; }
};

uint64_t mix(uint64_t v) {  // splitmix64's finaliser
    v += 0x9e3779b97f4a7c15ull;
    v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9ull;
    v = (v ^ (v >> 27)) * 0x94d049bb133111ebull;
    return v ^ (v >> 31);
}

uint64_t pictureHash(const kv3PlanePelBuffer_const& image) {
    uint64_t h = mix(static_cast<uint64_t>(image.window().left()) ^
                     mix(static_cast<uint64_t>(image.window().top()) ^
                         mix(static_cast<uint64_t>(image.width()) ^
                             mix(static_cast<uint64_t>(image.height())))));
    for (const kvPelBuffer_const<unsigned char>* plane :
         {&image.plane0(), &image.plane1(), &image.plane2()})
        for (long y = image.window().top(); y < image.window().bottom(); ++y) {
            if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
            const unsigned char* row = plane->pointToRow(y);
            for (long x = 0; x < image.width(); ++x) h = (h ^ row[x]) * 0x100000001b3ull;
        }
    return h;
}

bool samePicture(const kv3PlanePelBuffer_const& a, const kv3PlanePelBuffer_const& b) {
    return a.window() == b.window() && kfPelEqual(a.plane0(), b.plane0()) &&
           kfPelEqual(a.plane1(), b.plane1()) && kfPelEqual(a.plane2(), b.plane2());
}

// Whether a and b are windows of the same pels (then they show the same
// picture without a look at them).
bool samePels(const kv3PlanePelBuffer_const& a, const kv3PlanePelBuffer_const& b) {
    if (a.window() != b.window()) return false;
    const long x = a.window().left(), y = a.window().top();
    const auto same = [&](const kvPelBuffer_const<unsigned char>& p,
                          const kvPelBuffer_const<unsigned char>& q) {
        return p.pointToPel(x, y) == q.pointToPel(x, y) && p.rowStride() == q.rowStride();
    };
    return same(a.plane0(), b.plane0()) && same(a.plane1(), b.plane1()) &&
           same(a.plane2(), b.plane2());
}

// The smallest rectangle holding every selected pixel of p (empty when none is).
kvPelRect selectedBounds(const Pair& p) {
    if (!p.mask.isBound()) return p.area;
    long left = p.area.right(), right = p.area.left(), top = p.area.bottom(), bottom = p.area.top();
    for (long y = p.area.top(); y < p.area.bottom(); ++y) {
        if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
        const unsigned char* row = p.mask.pointToPel(p.area.left(), y);
        long first = 0, last = p.area.width() - 1;
        while (first <= last && row[first] != 255) ++first;
        if (first > last) continue;
        while (row[last] != 255) --last;
        left = std::min(left, p.area.left() + first);
        right = std::max(right, p.area.left() + last + 1);
        top = std::min(top, y);
        bottom = y + 1;
    }
    return left < right ? kvPelRect(left, top, right - left, bottom - top) : kvPelRect();
}

// The tiles of one picture that the selected areas of its examples reach.
// Tiles are laid from the picture's top left corner and numbered row by row
// over the whole picture; only the tiles reached are kept, in that order, so
// that what is counted per tile grows with the examples, not with the picture
// (two small strokes on a large photograph need a handful of tiles).
class Tiles {
public:
    Tiles(const std::vector<Pair>& pairs, std::size_t picture, const kvPelRect& window, long tile)
        : window_(window), tile_(tile), across_((window.width() + tile - 1) / tile) {
        for (const Pair& p : pairs) {
            if (p.picture != picture || p.area.width() == 0 || p.area.height() == 0) continue;
            const long left = (p.area.left() - window.left()) / tile,
                       right = (p.area.right() - 1 - window.left()) / tile;
            for (long row = (p.area.top() - window.top()) / tile;
                 row <= (p.area.bottom() - 1 - window.top()) / tile; ++row)
                for (long column = left; column <= right; ++column)
                    numbers_.push_back(static_cast<std::size_t>(row * across_ + column));
        }
        std::sort(numbers_.begin(), numbers_.end());
        numbers_.erase(std::unique(numbers_.begin(), numbers_.end()), numbers_.end());
    }

    // How many tiles are kept, and the number in the whole picture of the i-th.
    std::size_t size() const { return numbers_.size(); }
    std::size_t number(std::size_t i) const { return numbers_[i]; }
    // The index among those kept of the tile holding (x, y), which must lie in
    // an example's selected area. Pixels come row by row, so the last tile
    // found is asked for again and again.
    std::size_t of(long x, long y) const {
        const auto n = static_cast<std::size_t>(((y - window_.top()) / tile_) * across_ +
                                                (x - window_.left()) / tile_);
        if (n != lastNumber_) {
            lastNumber_ = n;
            lastIndex_ = static_cast<std::size_t>(
                std::lower_bound(numbers_.begin(), numbers_.end(), n) - numbers_.begin());
        }
        return lastIndex_;
    }

private:
    kvPelRect window_;
    long tile_, across_;
    std::vector<std::size_t> numbers_;
    mutable std::size_t lastNumber_ = SIZE_MAX, lastIndex_ = 0;
};

std::vector<Tiles> tilesOf(const std::vector<Pair>& pairs,
                           const std::vector<kv3PlanePelBuffer_const>& pictures, long tile) {
    std::vector<Tiles> tiles;
    for (std::size_t d = 0; d < pictures.size(); ++d)
        tiles.emplace_back(pairs, d, pictures[d].window(), tile);
    return tiles;
}

constexpr uint32_t kNoFold = 0xffffffffu;

// Assigns the occupied tiles of every picture to folds, each to the fold with
// the fewest pixels of its main label: the label it holds most of or, with
// rarestFirst, the one it holds with the fewest pixels in all. The tiles come
// in an order drawn from the pictures' seeds and draw. Returns the fold
// of every tile (kNoFold where nothing is selected), or nothing when some label
// would have no training pixel in some fold (every such label in starved).
std::vector<std::vector<uint32_t>> assignTiles(const std::vector<Pair>& pairs,
                                               const std::vector<Tiles>& grids,
                                               const std::vector<uint64_t>& seeds,
                                               std::size_t labels, uint32_t folds, bool rarestFirst,
                                               uint64_t draw, std::vector<std::size_t>& starved) {
    std::vector<std::vector<uint64_t>> counts;  // per picture: tile-major, then label
    for (const Tiles& g : grids) counts.emplace_back(g.size() * labels, 0);
    std::vector<uint64_t> totals(labels, 0);
    for (const Pair& p : pairs) {
        const Tiles& g = grids[p.picture];
        for (long y = p.area.top(); y < p.area.bottom(); ++y) {
            if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
            for (long x = p.area.left(); x < p.area.right(); ++x)
                if (p.selected(x, y)) {
                    ++counts[p.picture][g.of(x, y) * labels + p.set];
                    ++totals[p.set];
                }
        }
    }

    // The order depends on each tile's number in its whole picture, and on
    // what the picture shows, not on where its examples come in the list.
    struct Tile {
        uint64_t order;
        std::size_t picture, number, index;
    };
    std::vector<Tile> tiles;
    for (std::size_t d = 0; d < grids.size(); ++d)
        for (std::size_t t = 0; t < grids[d].size(); ++t) {
            const uint64_t* c = &counts[d][t * labels];
            const std::size_t n = grids[d].number(t);
            if (std::any_of(c, c + labels, [](uint64_t k) { return k != 0; }))
                tiles.push_back({mix(seeds[d] ^ draw ^ n), d, n, t});
        }
    std::sort(tiles.begin(), tiles.end(), [](const Tile& a, const Tile& b) {
        if (a.order != b.order) return a.order < b.order;
        return a.picture != b.picture ? a.picture < b.picture : a.number < b.number;
    });

    std::vector<std::vector<uint32_t>> foldOf;
    for (const Tiles& g : grids) foldOf.emplace_back(g.size(), kNoFold);
    std::vector<uint64_t> inFold(static_cast<std::size_t>(folds) * labels, 0), foldTotal(folds, 0);
    for (const Tile& t : tiles) {
        const uint64_t* c = &counts[t.picture][t.index * labels];
        std::size_t main = static_cast<std::size_t>(std::max_element(c, c + labels) - c);
        for (std::size_t l = 0; rarestFirst && l < labels; ++l)
            if (c[l] != 0 && totals[l] < totals[main]) main = l;
        uint32_t best = 0;
        for (uint32_t f = 1; f < folds; ++f) {
            const uint64_t a = inFold[f * labels + main], b = inFold[best * labels + main];
            if (a < b || (a == b && foldTotal[f] < foldTotal[best])) best = f;
        }
        foldOf[t.picture][t.index] = best;
        for (std::size_t l = 0; l < labels; ++l) {
            inFold[best * labels + l] += c[l];
            foldTotal[best] += c[l];
        }
    }
    for (std::size_t l = 0; l < labels; ++l)
        for (uint32_t f = 0; f < folds; ++f)
            if (inFold[f * labels + l] == totals[l]) {
                starved.push_back(l);
                break;
            }
    return starved.empty() ? foldOf : std::vector<std::vector<uint32_t>>{};
}

// The folds of one label's selected pixels in one picture, over the union of
// the areas of the label's examples there (kNoFoldByte where unselected).
constexpr unsigned char kNoFoldByte = 0xff;

struct FoldMap {
    std::size_t picture, label;
    kvPelRect area;
    std::vector<unsigned char> fold;  // row-major over area

    unsigned char& at(long x, long y) {
        return fold[static_cast<std::size_t>((y - area.top()) * area.width() + (x - area.left()))];
    }
    unsigned char get(long x, long y) const {
        return fold[static_cast<std::size_t>((y - area.top()) * area.width() + (x - area.left()))];
    }
};

kvPelRect unite(const kvPelRect& a, const kvPelRect& b) {
    if (a.width() == 0 || a.height() == 0) return b;
    if (b.width() == 0 || b.height() == 0) return a;
    const long left = std::min(a.left(), b.left()), top = std::min(a.top(), b.top());
    return kvPelRect(left, top, std::max(a.right(), b.right()) - left,
                     std::max(a.bottom(), b.bottom()) - top);
}

// One map per label and picture with selected pixels, every selected pixel
// marked 0 (its fold still to be set).
std::vector<FoldMap> selectedMaps(const std::vector<Pair>& pairs) {
    std::vector<FoldMap> maps;
    const auto find = [&](const Pair& p) {
        for (std::size_t i = 0; i < maps.size(); ++i)
            if (maps[i].picture == p.picture && maps[i].label == p.set) return i;
        return maps.size();
    };
    for (const Pair& p : pairs) {
        if (p.area.width() == 0 || p.area.height() == 0) continue;
        const std::size_t i = find(p);
        if (i == maps.size())
            maps.push_back({p.picture, p.set, p.area, {}});
        else
            maps[i].area = unite(maps[i].area, p.area);
    }
    for (FoldMap& m : maps)
        m.fold.assign(static_cast<std::size_t>(m.area.width() * m.area.height()), kNoFoldByte);
    for (const Pair& p : pairs) {
        if (p.area.width() == 0 || p.area.height() == 0) continue;
        FoldMap& m = maps[find(p)];
        for (long y = p.area.top(); y < p.area.bottom(); ++y) {
            if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
            for (long x = p.area.left(); x < p.area.right(); ++x)
                if (p.selected(x, y)) m.at(x, y) = 0;
        }
    }
    return maps;
}

// Splits every label's selected pixels into folds by whole pieces (or bands
// of them): see FoldUnit::examples. False when some label has fewer
// selected pixels than folds, with every such label in starved.
bool assignExamples(std::vector<FoldMap>& maps, std::size_t labels, uint32_t folds,
                    std::vector<std::size_t>& starved) {
    struct Piece {
        std::size_t map;
        std::vector<std::pair<long, long>> pixels;  // x, y in scan order of discovery
        long left, top, right, bottom;
    };
    std::vector<std::vector<Piece>> pieces(labels);
    for (std::size_t mi = 0; mi < maps.size(); ++mi) {
        FoldMap& m = maps[mi];
        const kvPelRect a = m.area;
        std::vector<unsigned char> seen(m.fold.size(), 0);
        for (long y0 = a.top(); y0 < a.bottom(); ++y0) {
            if (y0 % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
            for (long x0 = a.left(); x0 < a.right(); ++x0) {
                const auto index = [&](long x, long y) {
                    return static_cast<std::size_t>((y - a.top()) * a.width() + (x - a.left()));
                };
                if (m.get(x0, y0) == kNoFoldByte || seen[index(x0, y0)]) continue;
                Piece piece{mi, {{x0, y0}}, x0, y0, x0 + 1, y0 + 1};
                seen[index(x0, y0)] = 1;
                for (std::size_t k = 0; k < piece.pixels.size(); ++k) {
                    const auto [x, y] = piece.pixels[k];
                    for (long dy = -1; dy <= 1; ++dy)
                        for (long dx = -1; dx <= 1; ++dx) {
                            const long nx = x + dx, ny = y + dy;
                            if (nx < a.left() || nx >= a.right() || ny < a.top() ||
                                ny >= a.bottom() || m.get(nx, ny) == kNoFoldByte ||
                                seen[index(nx, ny)])
                                continue;
                            seen[index(nx, ny)] = 1;
                            piece.pixels.push_back({nx, ny});
                            piece.left = std::min(piece.left, nx);
                            piece.right = std::max(piece.right, nx + 1);
                            piece.top = std::min(piece.top, ny);
                            piece.bottom = std::max(piece.bottom, ny + 1);
                        }
                }
                pieces[m.label].push_back(std::move(piece));
            }
        }
    }
    for (std::size_t label = 0; label < labels; ++label) {
        std::vector<Piece>& own = pieces[label];
        if (own.size() >= folds) {
            // Whole pieces, largest first (in order of discovery on a tie).
            std::vector<std::size_t> order(own.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return own[a].pixels.size() > own[b].pixels.size();
            });
            std::vector<uint64_t> held(folds, 0);
            for (std::size_t i : order) {
                const uint32_t f = static_cast<uint32_t>(
                    std::min_element(held.begin(), held.end()) - held.begin());
                held[f] += own[i].pixels.size();
                for (const auto& [x, y] : own[i].pixels)
                    maps[own[i].map].at(x, y) = static_cast<unsigned char>(f);
            }
            continue;
        }
        uint64_t total = 0;
        for (const Piece& piece : own) total += piece.pixels.size();
        if (total < folds) {
            starved.push_back(label);
            continue;
        }
        // Bands across the longer side, of equal pixel counts.
        for (Piece& piece : own) {
            const bool across = piece.right - piece.left >= piece.bottom - piece.top;
            std::stable_sort(
                piece.pixels.begin(), piece.pixels.end(),
                [&](const std::pair<long, long>& a, const std::pair<long, long>& b) {
                    return across ? std::tie(a.first, a.second) < std::tie(b.first, b.second)
                                  : std::tie(a.second, a.first) < std::tie(b.second, b.first);
                });
            const uint64_t n = piece.pixels.size();
            for (uint64_t k = 0; k < n; ++k)
                maps[piece.map].at(piece.pixels[k].first, piece.pixels[k].second) =
                    static_cast<unsigned char>(k * folds / n);
        }
    }
    return starved.empty();
}

}  // namespace

SpatialFolds::SpatialFolds(const std::vector<kvCompositeColorSet>& sets, uint32_t folds,
                           int32_t tileSize, FoldUnit unit,
                           const std::vector<std::string>& labelNames)
    : folds_(folds), tileSize_(tileSize), unit_(unit), labels_(sets.size()) {
    const auto label = [&](std::size_t s) {
        return "label " + (s < labelNames.size() ? labelNames[s] : std::to_string(s));
    };
    const auto labels = [&](const std::vector<std::size_t>& list) {  // "label a and label b"
        std::string text;
        for (std::size_t i = 0; i < list.size(); ++i)
            text += (i == 0 ? "" : i + 1 == list.size() ? " and " : ", ") + label(list[i]);
        return text;
    };
    if (folds < 2 || folds > 16) throw BadParams("folds must lie between 2 and 16");
    if (tileSize < 4) throw BadParams("tileSize must be at least 4");
    if (sets.empty()) throw BadParams("between 1 and 254 labels are needed");
    if (sets.size() > 254)  // as training refuses them
        throw kvCompositeColorSegmenterDefs::TooManyCompositeColors(
            "(compositeColors.size() > 254)");

    std::vector<Pair> pairs;
    std::vector<uint64_t> hashes;
    for (std::size_t s = 0; s < sets.size(); ++s) {
        if (sets[s].instances().empty()) throw BadParams(label(s) + " has no example");
        for (std::size_t i = 0; i < sets[s].instances().size(); ++i) {
            const kvCompositeColor& example = sets[s].instances()[i];
            if (example.images().empty())
                throw BadParams("an example of " + label(s) + " has no image");
            for (std::size_t j = 0; j < example.images().size(); ++j) {
                Pair p{s, i, example.images()[j], example.masks()[j], example.images()[j].window(),
                       0};
                if (p.mask.isBound())
                    p.area = kvRectangle<long>(p.area).intersect(p.mask.window(), false);
                // Only the selected pixels' bounds matter from here on.
                p.area = selectedBounds(p);
                p.picture = images_.size();
                for (std::size_t d = 0; d < images_.size() && p.picture == images_.size(); ++d)
                    if (samePels(images_[d], p.image)) p.picture = d;
                if (p.picture == images_.size()) {
                    const uint64_t h = pictureHash(p.image);
                    for (std::size_t d = 0; d < images_.size(); ++d) {
                        if (hashes[d] == 0) hashes[d] = pictureHash(images_[d]) | 1;
                        if (hashes[d] == (h | 1) && samePicture(images_[d], p.image)) p.picture = d;
                    }
                }
                if (p.picture == images_.size()) {
                    images_.push_back(p.image);
                    hashes.push_back(0);  // hashed when first needed
                }
                pairs.push_back(p);
            }
        }
    }

    for (std::size_t d = 0; d < images_.size(); ++d)
        seeds_.push_back(hashes[d] != 0 ? hashes[d] : pictureHash(images_[d]) | 1);

    std::vector<FoldMap> maps = selectedMaps(pairs);
    std::vector<Tiles> grids;  // of the tile side in the end, for the held-out side too
    if (unit_ == FoldUnit::tiles) {
        std::vector<std::vector<uint32_t>> foldOf;
        for (;;) {
            std::vector<std::size_t> starved;
            grids = tilesOf(pairs, images_, tileSize_);
            foldOf = assignTiles(pairs, grids, seeds_, labels_, folds_, false, 0, starved);
            if (!foldOf.empty()) break;
            if (tileSize_ / 2 >= 4) {
                tileSize_ /= 2;
                continue;
            }
            // A label of a few pixels among tiles mostly of another's may have
            // them all in one fold when tiles are balanced by their main label;
            // two rare labels sharing a tile, when it is balanced by the other.
            // Other orders of the tiles are tried before giving up.
            for (uint64_t draw = 0; draw < 16 && foldOf.empty(); ++draw) {
                starved.clear();
                foldOf = assignTiles(pairs, grids, seeds_, labels_, folds_, true,
                                     draw == 0 ? 0 : mix(draw), starved);
            }
            if (!foldOf.empty()) break;
            throw BadParams("too few selected pixels to cross-validate: " + labels(starved) +
                            (starved.size() > 1 ? " have" : " has") +
                            " them in too few places; every label needs them in more "
                            "than one place");
        }
        for (FoldMap& m : maps)
            for (long y = m.area.top(); y < m.area.bottom(); ++y) {
                if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
                for (long x = m.area.left(); x < m.area.right(); ++x)
                    if (m.get(x, y) != kNoFoldByte)
                        m.at(x, y) = static_cast<unsigned char>(
                            foldOf[m.picture][grids[m.picture].of(x, y)]);
            }
    } else if (std::vector<std::size_t> starved; !assignExamples(maps, labels_, folds_, starved)) {
        throw BadParams("too few selected pixels to cross-validate: " + labels(starved) +
                        (starved.size() > 1 ? " have" : " has") + " fewer than " +
                        std::to_string(folds_) + "; every label needs at least one per fold");
    } else {
        grids = tilesOf(pairs, images_, tileSize_);
    }
    const auto mapOf = [&](const Pair& p) -> const FoldMap& {
        for (const FoldMap& m : maps)
            if (m.picture == p.picture && m.label == p.set) return m;
        throw BadParams("internal: no fold map");  // every pair with pixels has one
    };

    // The training side: each mask without the pixels held out in the fold.
    training_.resize(folds_);
    for (uint32_t f = 0; f < folds_; ++f) {
        std::vector<kvCompositeColorSet>& out = training_[f];
        for (std::size_t s = 0; s < sets.size(); ++s) {
            std::vector<kvCompositeColor> examples;
            for (std::size_t i = 0; i < sets[s].instances().size(); ++i) {
                kvCompositeColor example;
                for (const Pair& p : pairs) {
                    if (p.set != s || p.instance != i) continue;
                    if (p.area.width() == 0 || p.area.height() == 0) continue;
                    const FoldMap& m = mapOf(p);
                    kvPelBuffer<unsigned char> mask(p.area);
                    bool any = false;
                    for (long y = p.area.top(); y < p.area.bottom(); ++y) {
                        if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
                        unsigned char* row = mask.pointToPel(p.area.left(), y);
                        for (long x = p.area.left(); x < p.area.right(); ++x) {
                            const bool keep = p.selected(x, y) && m.get(x, y) != f;
                            row[x - p.area.left()] = keep ? 255 : 0;
                            any = any || keep;
                        }
                    }
                    if (any) example.add(p.image, mask);
                }
                if (!example.images().empty()) examples.push_back(example);
            }
            out.emplace_back(examples);
        }
    }

    // The held-out side: the selected pixels of every fold, tile by tile.
    heldOut_.resize(folds_);
    for (std::size_t d = 0; d < images_.size(); ++d) {
        const Tiles& g = grids[d];
        std::vector<std::vector<HeldOutPiece>> pieces(folds_, std::vector<HeldOutPiece>(g.size()));
        for (const Pair& p : pairs) {
            if (p.picture != d || p.area.width() == 0 || p.area.height() == 0) continue;
            const FoldMap& m = mapOf(p);
            for (long y = p.area.top(); y < p.area.bottom(); ++y) {
                if (y % 16 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
                for (long x = p.area.left(); x < p.area.right(); ++x)
                    if (p.selected(x, y))
                        pieces[m.get(x, y)][g.of(x, y)].pixels.push_back(
                            {static_cast<int32_t>(x), static_cast<int32_t>(y),
                             static_cast<uint32_t>(p.set)});
            }
        }
        for (uint32_t f = 0; f < folds_; ++f)
            for (HeldOutPiece& piece : pieces[f]) {
                if (piece.pixels.empty()) continue;
                long left = piece.pixels[0].x, right = left + 1, top = piece.pixels[0].y,
                     bottom = top + 1;
                for (const HeldOutPixel& px : piece.pixels) {
                    left = std::min<long>(left, px.x);
                    right = std::max<long>(right, px.x + 1);
                    top = std::min<long>(top, px.y);
                    bottom = std::max<long>(bottom, px.y + 1);
                }
                piece.image = d;
                piece.rect = kvPelRect(left, top, right - left, bottom - top);
                heldOut_[f].push_back(std::move(piece));
            }
    }
}

}  // namespace clsg
