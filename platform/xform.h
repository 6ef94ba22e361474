// Client-from-image transforms and the reference-counted handle that pixel
// buffers and results use to share them.
#pragma once

#include <utility>

#include "clsg/platform/geometry.h"
#include "clsg/platform/persistent.h"

class kv2XformHandle;

// A 2-D point transform. Persistent and shared by reference count.
class kv2XformBase : public kvPersistent {
public:
    ~kv2XformBase() override = default;

    // Maps the point (x, y).
    virtual void map(double x, double y, double& outX, double& outY) const = 0;
    // The transform that applies other first, then this one.
    virtual kv2XformHandle composeBase(const kv2XformBase& other) const = 0;
    virtual bool isEqual(const kv2XformBase& other) const = 0;
};

// Shares one kv2XformBase; the last handle to let go deletes it.
class kv2XformHandle {
public:
    kv2XformHandle() = default;
    explicit kv2XformHandle(kv2XformBase* p) : p_(p) {
        if (p_) p_->addRef();
    }
    kv2XformHandle(const kv2XformHandle& o) : kv2XformHandle(o.p_) {}
    kv2XformHandle(kv2XformHandle&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    kv2XformHandle& operator=(const kv2XformHandle& o) {
        if (o.p_ != p_) {  // re-point only to a different object
            if (o.p_) o.p_->addRef();
            if (p_) p_->release();
            p_ = o.p_;
        }
        return *this;
    }
    kv2XformHandle& operator=(kv2XformHandle&& o) noexcept {
        if (this != &o) {
            if (p_) p_->release();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~kv2XformHandle() {
        if (p_) p_->release();
    }

    kv2XformBase* get() const { return p_; }
    const kv2XformBase* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    kv2XformBase* p_ = nullptr;
};

// x' = M x + t.
class kv2XformLinear : public kv2XformBase {
public:
    kv2XformLinear() = default;
    kv2XformLinear(const kvMatrix<2>& matrix, double tx, double ty)
        : m_(matrix), tx_(tx), ty_(ty) {}

    const kvMatrix<2>& matrix() const { return m_; }
    double tx() const { return tx_; }
    double ty() const { return ty_; }

    void map(double x, double y, double& outX, double& outY) const override;
    kv2XformHandle composeBase(const kv2XformBase& other) const override;
    bool isEqual(const kv2XformBase& other) const override;

    // A handle to a shared identity transform.
    static kv2XformHandle identity();

protected:
    // Layout: version byte 0, the matrix row by row (4 doubles), tx, ty.
    void dispatchSerialize(kvArchive& archive) override;

private:
    static kvPersistent* make();
    static const kv_Instantiator sExemplar;
    kvMatrix<2> m_;
    double tx_ = 0.0, ty_ = 0.0;
};
