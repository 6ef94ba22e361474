// Storing a value to archive bytes and loading it back (tests, fuzz harnesses).
#pragma once

#include <sstream>
#include <string>

#include "clsg/platform/archive.h"

template <class T>
std::string storeToBytes(T& value) {
    std::ostringstream out;
    kvArchive archive(out);
    archive || value;
    return out.str();
}

template <class T>
void loadFromBytes(const std::string& bytes, T& value) {
    std::istringstream in(bytes);
    kvArchive archive(in);
    archive || value;
}

// Store, load into a new T, store again: same bytes? (A loaded NaN is unequal to itself.)
template <class T>
bool restoresToSameBytes(T& value) {
    const std::string bytes = storeToBytes(value);
    T reloaded;
    loadFromBytes(bytes, reloaded);
    return storeToBytes(reloaded) == bytes;
}
