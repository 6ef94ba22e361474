#include "clsg/platform/xform.h"

#include "clsg/platform/archive.h"

const kv_Instantiator kv2XformLinear::sExemplar(typeid(kv2XformLinear), &kv2XformLinear::make);

kvPersistent* kv2XformLinear::make() { return new kv2XformLinear(); }

void kv2XformLinear::map(double x, double y, double& outX, double& outY) const {
    outX = m_(0, 0) * x + m_(0, 1) * y + tx_;
    outY = m_(1, 0) * x + m_(1, 1) * y + ty_;
}

kv2XformHandle kv2XformLinear::composeBase(const kv2XformBase& other) const {
    const auto* lin = dynamic_cast<const kv2XformLinear*>(&other);
    if (!lin) throw kvBadPointer("cannot compose with this kind of transform");
    // this(other(p)) = M (M' p + t') + t
    double tx = 0.0, ty = 0.0;
    map(lin->tx_, lin->ty_, tx, ty);
    return kv2XformHandle(new kv2XformLinear(m_ * lin->m_, tx, ty));
}

bool kv2XformLinear::isEqual(const kv2XformBase& other) const {
    const auto* lin = dynamic_cast<const kv2XformLinear*>(&other);
    return lin && m_ == lin->m_ && tx_ == lin->tx_ && ty_ == lin->ty_;
}

kv2XformHandle kv2XformLinear::identity() {
    static const kv2XformHandle shared(new kv2XformLinear());
    return shared;
}

void kv2XformLinear::dispatchSerialize(kvArchive& archive) {
    unsigned char version = 0;
    archive || version;
    if (version != 0) throw kvArchive::UnknownVersion("kv2XformLinear", 0);
    archive || m_(0, 0) || m_(0, 1) || m_(1, 0) || m_(1, 1) || tx_ || ty_;
}
