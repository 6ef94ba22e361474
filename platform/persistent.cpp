#include "clsg/platform/persistent.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "clsg/platform/archive.h"
#include "clsg/platform/str.h"

long kfInterlockedIncrement(std::atomic<long>& value) { return ++value; }
long kfInterlockedDecrement(std::atomic<long>& value) { return --value; }

kvPersistent::~kvPersistent() = default;

uint64_t kvPersistent::newIdentity() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

bool kvPersistent::haveVisited(kvArchive& archive, std::size_t size) const {
    return archive.visited(identity_, size);
}

void kvPersistent::setVisited(kvArchive& archive, std::size_t size) const {
    archive.markVisited(identity_, size);
}

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, kvPersistentFactory> factories;
};

Registry& registry() {
    static Registry r;  // built on first use, so static registrations may come in any order
    return r;
}

// Pointer records: a tag byte, then the class name and the object (new), or
// the index of an object already passed through this archive.
enum : unsigned char { kNull = 0, kNew = 1, kSeen = 2 };

// Bounds the nesting of pointer records, so hostile input cannot exhaust the stack.
constexpr int kMaxPointerDepth = 32;

}  // namespace

kv_Instantiator::kv_Instantiator(const std::type_info& type, kvPersistentFactory make) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.factories[nameOf(type)] = make;
}

kvPersistentFactory kv_Instantiator::find(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.factories.find(name);
    return it == r.factories.end() ? nullptr : it->second;
}

std::string kv_Instantiator::nameOf(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return (status == 0 && demangled) ? std::string(demangled.get()) : std::string(type.name());
}

void kvPersistent::serializePointer(kvArchive& archive, kvPersistent*& object) {
    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(d) {
            if (++depth > kMaxPointerDepth) {
                --depth;
                throw kvArchive::Corrupt("archive pointer records nested too deeply");
            }
        }
        ~DepthGuard() { --depth; }
    } guard(archive.pointerDepth_);

    if (archive.isStoring()) {
        unsigned char tag = kNull;
        if (!object) {
            archive || tag;
            return;
        }
        auto it = archive.storedObjects_.find(object->identity_);
        if (it != archive.storedObjects_.end()) {
            tag = kSeen;
            uint32_t index = it->second;
            archive || tag || index;
            return;
        }
        tag = kNew;
        std::string name = kv_Instantiator::nameOf(typeid(*object));
        const auto index = static_cast<uint32_t>(archive.storedObjects_.size());
        archive.storedObjects_[object->identity_] = index;
        archive || tag || name;
        object->dispatchSerialize(archive);
        return;
    }

    unsigned char tag = 0;
    archive || tag;
    if (tag == kNull) {
        object = nullptr;
        return;
    }
    if (tag == kSeen) {
        uint32_t index = 0;
        archive || index;
        if (index >= archive.loadedObjects_.size())
            throw kvArchive::Corrupt("archive refers to an object it does not hold");
        object = archive.loadedObjects_[index];
        return;
    }
    if (tag != kNew) throw kvArchive::Corrupt("archive holds an invalid pointer record");
    // Registered names are short: a longer one is refused from its stated
    // length, before it is read (a file can state a gigabyte of name).
    constexpr uint32_t kLongestName = 256;
    uint32_t length = 0;
    archive || length;
    std::string name(std::min(length, kLongestName), '\0');
    archive.checkCount(name.size(), 1);
    archive.bytes(name.data(), name.size());
    if (length > kLongestName)
        throw kvArchive::Corrupt("archive names an unknown class: " + kfPrintable(name, 80));
    kvPersistentFactory make = kv_Instantiator::find(name);
    if (!make) throw kvArchive::Corrupt("archive names an unknown class: " + kfPrintable(name, 80));
    kvPersistent* created = make();
    // The archive keeps one reference, so the object is freed whatever happens next.
    created->addRef();
    archive.loadedObjects_.push_back(created);
    created->dispatchSerialize(archive);
    object = created;
}
