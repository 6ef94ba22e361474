// Rectangles, pel windows and 2 x 2 matrices.
#pragma once

#include <algorithm>
#include <limits>
#include <type_traits>

#include "clsg/platform/pel_errors.h"

namespace kv_geometry {

// a + b, held at the type's limit where it would overflow: a rectangle far
// out may end where its type cannot count.
template <class T>
T saturatedSum(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        T sum;
        if (__builtin_add_overflow(a, b, &sum))
            return b > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
        return sum;
    } else {
        return a + b;
    }
}

// a - b, held at the type's limit where it would overflow.
template <class T>
T saturatedDifference(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        T difference;
        if (__builtin_sub_overflow(a, b, &difference))
            return b < 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
        return difference;
    } else {
        return a - b;
    }
}

}  // namespace kv_geometry

// An axis-aligned rectangle: top-left corner (x, y), width and height.
template <class T>
class kvRectangle {
public:
    kvRectangle() = default;
    kvRectangle(T x, T y, T width, T height) : x_(x), y_(y), w_(width), h_(height) {}

    T x() const { return x_; }
    T y() const { return y_; }
    T width() const { return w_; }
    T height() const { return h_; }

    bool operator==(const kvRectangle& o) const {
        return x_ == o.x_ && y_ == o.y_ && w_ == o.w_ && h_ == o.h_;
    }
    bool operator!=(const kvRectangle& o) const { return !(*this == o); }

    // The common part of both rectangles. When they do not overlap the result
    // has zero width or height, or, with throwIfDisjoint, kvPel::BadWindow
    // is thrown.
    kvRectangle intersect(const kvRectangle& o, bool throwIfDisjoint) const {
        const T left = std::max(x_, o.x_);
        const T top = std::max(y_, o.y_);
        using kv_geometry::saturatedDifference;
        using kv_geometry::saturatedSum;
        const T right = std::min(saturatedSum(x_, w_), saturatedSum(o.x_, o.w_));
        const T bottom = std::min(saturatedSum(y_, h_), saturatedSum(o.y_, o.h_));
        if ((right <= left || bottom <= top) && throwIfDisjoint)
            throw kvPel::BadWindow("rectangles do not overlap");
        return kvRectangle(left, top, right > left ? saturatedDifference(right, left) : T(0),
                           bottom > top ? saturatedDifference(bottom, top) : T(0));
    }
    kvRectangle& operator&=(const kvRectangle& o) { return *this = intersect(o, false); }

private:
    T x_{}, y_{}, w_{}, h_{};
};

// A pel window: left and top inclusive, right and bottom exclusive.
class kvPelRect {
public:
    kvPelRect() = default;
    // A negative width or height is taken as 0.
    kvPelRect(long x, long y, long width, long height)
        : left_(x), top_(y), width_(std::max(width, 0L)), height_(std::max(height, 0L)) {}
    kvPelRect(const kvRectangle<long>& r) : kvPelRect(r.x(), r.y(), r.width(), r.height()) {}
    operator kvRectangle<long>() const { return kvRectangle<long>(left_, top_, width_, height_); }

    long left() const { return left_; }
    long top() const { return top_; }
    // Held at the largest long for a window that ends beyond it.
    long right() const { return kv_geometry::saturatedSum(left_, width_); }
    long bottom() const { return kv_geometry::saturatedSum(top_, height_); }
    long width() const { return width_; }
    long height() const { return height_; }
    bool isEmpty() const { return width_ == 0 || height_ == 0; }
    bool contains(const kvPelRect& o) const {
        return o.left_ >= left_ && o.top_ >= top_ && endsWithin(o.left_, o.width_, left_, width_) &&
               endsWithin(o.top_, o.height_, top_, height_);
    }

    bool operator==(const kvPelRect& o) const {
        return left_ == o.left_ && top_ == o.top_ && width_ == o.width_ && height_ == o.height_;
    }
    bool operator!=(const kvPelRect& o) const { return !(*this == o); }

    // Grows the window by a rectangle of offsets: every pel p of the result
    // is a pel of this window plus an offset of r (the Minkowski sum), so
    // r = (-1, -1, 3, 3) adds a one-pel border on every side.
    kvPelRect operator+(const kvRectangle<long>& r) const {
        // No offsets at all leave no pels.
        using kv_geometry::saturatedSum;
        const long x = saturatedSum(left_, r.x()), y = saturatedSum(top_, r.y());
        if (r.width() <= 0 || r.height() <= 0) return kvPelRect(x, y, 0, 0);
        return kvPelRect(x, y, saturatedSum(width_, r.width() - 1),
                         saturatedSum(height_, r.height() - 1));
    }

private:
    // Whether [start, start + extent) ends within [outer, outer + outerExtent),
    // for start >= outer, counted so that nothing overflows.
    static bool endsWithin(long start, long extent, long outer, long outerExtent) {
        long offset;
        if (__builtin_sub_overflow(start, outer, &offset)) return false;  // past any end
        return extent <= outerExtent - offset;
    }

    long left_ = 0, top_ = 0, width_ = 0, height_ = 0;
};

// A square matrix of doubles; default-constructed it is the identity.
template <int N>
class kvMatrix {
public:
    kvMatrix() {
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j) m_[i][j] = (i == j) ? 1.0 : 0.0;
    }
    double& operator()(int row, int col) { return m_[row][col]; }
    double operator()(int row, int col) const { return m_[row][col]; }
    kvMatrix operator*(const kvMatrix& o) const {
        kvMatrix r;
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j) {
                double s = 0.0;
                for (int k = 0; k < N; ++k) s += m_[i][k] * o.m_[k][j];
                r.m_[i][j] = s;
            }
        return r;
    }
    bool operator==(const kvMatrix& o) const {
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j)
                if (!(m_[i][j] == o.m_[i][j])) return false;
        return true;
    }

private:
    double m_[N][N];
};
