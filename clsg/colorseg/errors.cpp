#include "clsg/colorseg/errors.h"

#include "clsg/platform/archive.h"

using Defs = kvCompositeColorSegmenterDefs;

// Referenced by the link options of the clsg target, so that a static link
// keeps this object file, and with it the registrations below, even when the
// client never names an error class.
extern "C" {
int clsg_link_error_registry = 0;
}

namespace {

// Passes one level's version byte (0) and refuses any other.
void passVersion(kvArchive& archive, const char* typeName) {
    unsigned char version = 0;
    archive || version;
    if (version != 0) throw kvArchive::UnknownVersion(typeName, 0);
}

}  // namespace

// Each level of an error record: skip an object already passed through this
// archive, pass the level's version byte, then the level below, then mark
// the object visited.
void Defs::Errors::dispatchSerialize(kvArchive& archive) {
    if (haveVisited(archive, sizeof(Errors))) return;
    passVersion(archive, "kvCompositeColorSegmenterDefs::Errors");
    kvExceptionWithString::dispatchSerialize(archive);
    setVisited(archive, sizeof(Errors));
}

void Defs::Errors::serialize_(kvArchive& archive, unsigned char version) {
    if (version != 0) throw kvArchive::UnknownVersion("kvCompositeColorSegmenterDefs::Errors", 0);
    kvExceptionWithString::dispatchSerialize(archive);
}

#define CLSG_DEFINE_ERROR_CLASS(Name, Number)                                            \
    long Defs::Name::errorNumber() const { return Number; }                              \
    void Defs::Name::suicideAndRethrow() {                                               \
        Name copy(*this);                                                                \
        delete this;                                                                     \
        throw copy;                                                                      \
    }                                                                                    \
    void Defs::Name::dispatchSerialize(kvArchive& archive) {                             \
        if (haveVisited(archive, sizeof(Name))) return;                                  \
        passVersion(archive, "kvCompositeColorSegmenterDefs::" #Name);                   \
        Errors::dispatchSerialize(archive);                                              \
        setVisited(archive, sizeof(Name));                                               \
    }                                                                                    \
    void Defs::Name::serialize_(kvArchive& archive, unsigned char version) {             \
        if (version != 0)                                                                \
            throw kvArchive::UnknownVersion("kvCompositeColorSegmenterDefs::" #Name, 0); \
        Errors::dispatchSerialize(archive);                                              \
    }                                                                                    \
    kvPersistent* Defs::Name::make() { return new Name(); }                              \
    const kv_Instantiator Defs::Name::sExemplar(typeid(Defs::Name), &Defs::Name::make);

// Registered in this order at load.
CLSG_DEFINE_ERROR_CLASS(BadParams, 268472576)
CLSG_DEFINE_ERROR_CLASS(NotTrained, 268472577)
CLSG_DEFINE_ERROR_CLASS(BadImage, 268472578)
CLSG_DEFINE_ERROR_CLASS(BadColorSpace, 268472580)
CLSG_DEFINE_ERROR_CLASS(TooManyCompositeColors, 268472579)

#undef CLSG_DEFINE_ERROR_CLASS
