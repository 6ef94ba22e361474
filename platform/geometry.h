// Rectangles, pel windows and 2 x 2 matrices.
#pragma once

#include <algorithm>

#include "clsg/platform/pel_errors.h"

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
        const T right = std::min(x_ + w_, o.x_ + o.w_);
        const T bottom = std::min(y_ + h_, o.y_ + o.h_);
        if ((right <= left || bottom <= top) && throwIfDisjoint)
            throw kvPel::BadWindow("rectangles do not overlap");
        return kvRectangle(left, top, right > left ? right - left : T(0),
                           bottom > top ? bottom - top : T(0));
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
    long right() const { return left_ + width_; }
    long bottom() const { return top_ + height_; }
    long width() const { return width_; }
    long height() const { return height_; }
    bool isEmpty() const { return width_ == 0 || height_ == 0; }
    bool contains(const kvPelRect& o) const {
        return o.left_ >= left_ && o.top_ >= top_ && o.right() <= right() && o.bottom() <= bottom();
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
        if (r.width() <= 0 || r.height() <= 0) return kvPelRect(left_ + r.x(), top_ + r.y(), 0, 0);
        return kvPelRect(left_ + r.x(), top_ + r.y(), width_ + r.width() - 1,
                         height_ + r.height() - 1);
    }

private:
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
