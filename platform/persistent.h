// Persistent objects: the base of every class that can pass through an
// archive by pointer, the registry of persistent classes, and the reference
// count that shared objects (transforms) carry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>

class kvArchive;

long kfInterlockedIncrement(std::atomic<long>& value);  // returns the new value
long kfInterlockedDecrement(std::atomic<long>& value);  // returns the new value

class kvPersistent {
public:
    virtual ~kvPersistent();

    // Stores or loads this object, depending on the archive's direction.
    void serialize(kvArchive& archive) { dispatchSerialize(archive); }

    // Stores or loads a pointer to a persistent object: null, a new object of
    // a registered class, or a reference to one already passed through this
    // archive. A loaded object is created through the registry; the archive
    // holds one reference to it until the archive is destroyed.
    static void serializePointer(kvArchive& archive, kvPersistent*& object);

    // Intrusive reference count for objects shared through handles. The
    // release that brings the count to zero deletes the object.
    void addRef() const { kfInterlockedIncrement(refs_); }
    void release() const {
        if (kfInterlockedDecrement(refs_) == 0) delete this;
    }

protected:
    kvPersistent() : identity_(newIdentity()) {}
    // A copy is a new object: unreferenced, with an identity of its own.
    kvPersistent(const kvPersistent&) : identity_(newIdentity()) {}
    kvPersistent& operator=(const kvPersistent&) { return *this; }

    virtual void dispatchSerialize(kvArchive& archive) = 0;
    virtual void reInit() {}
    virtual bool loadSimple(kvArchive&) { return false; }

    // Whether this object (keyed by identity and size) already passed through
    // the archive, and marking it so.
    bool haveVisited(kvArchive& archive, std::size_t size) const;
    void setVisited(kvArchive& archive, std::size_t size) const;

private:
    static uint64_t newIdentity();

    mutable std::atomic<long> refs_{0};
    // What an archive knows this object by. Unlike its address, which a later
    // object may take once this one is freed, no other object of the process
    // ever has it: an archive that stored this object and then meets another
    // at the same address writes the other in full.
    const uint64_t identity_;
};

using kvPersistentFactory = kvPersistent* (*)();

// One static instance per persistent class enters the class in the registry
// under its C++ name ("kvCompositeColorSegmenterDefs::BadParams").
class kv_Instantiator {
public:
    kv_Instantiator(const std::type_info& type, kvPersistentFactory make);

    // The factory registered under name, or null.
    static kvPersistentFactory find(const std::string& name);
    // The registry name of a type.
    static std::string nameOf(const std::type_info& type);
};
