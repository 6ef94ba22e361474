#include "clsg/platform/exception.h"

#include <sstream>

#include "clsg/platform/archive.h"
#include "clsg/platform/attention.h"

kvException::~kvException() = default;

std::string kvException::message() const {
    std::ostringstream out;
    message_(out);
    return out.str();
}

const char* kvException::what() const noexcept {
    try {
        what_ = message();
    } catch (...) {
        return "kvException";
    }
    return what_.c_str();
}

void kvException::message_(std::ostream&) const {}

void kvException::dispatchSerialize(kvArchive& archive) {
    unsigned char version = 0;
    archive || version;
    if (version != 0) throw kvArchive::UnknownVersion("kvException", 0);
}

void kvExceptionWithString::dispatchSerialize(kvArchive& archive) {
    unsigned char version = 0;
    archive || version;
    if (version != 0) throw kvArchive::UnknownVersion("kvExceptionWithString", 0);
    archive || text_;
}

void kvExceptionWithString::message_(std::ostream& out) const { out << text_; }

void kfThrowExceptionOnFailure(long status) {
    if (status != 0) throw kvAbortRequested();
}
