// The exception family of the foundation layer. Every exception the library
// throws derives from kvException, which derives from std::exception: what()
// gives the message.
#pragma once

#include <exception>
#include <iosfwd>
#include <string>

#include "clsg/platform/persistent.h"

class kvException : public kvPersistent, public std::exception {
public:
    kvException() = default;
    kvException(const kvException& other) : kvPersistent(other), std::exception(other) {}
    kvException& operator=(const kvException&) { return *this; }
    ~kvException() override;

    // The message as text.
    std::string message() const;
    const char* what() const noexcept override;

protected:
    void dispatchSerialize(kvArchive& archive) override;
    virtual void message_(std::ostream& out) const;

private:
    mutable std::string what_;
};

class kvExceptionWithString : public kvException {
public:
    explicit kvExceptionWithString(const std::string& message = std::string()) : text_(message) {}
    kvExceptionWithString(const kvExceptionWithString&) = default;
    kvExceptionWithString& operator=(const kvExceptionWithString& other) {
        text_ = other.text_;
        return *this;
    }

protected:
    // Layout: version byte 0, then the message as a string.
    void dispatchSerialize(kvArchive& archive) override;
    void message_(std::ostream& out) const override;

private:
    std::string text_;
};

// A required pointer or handle was null.
class kvBadPointer : public kvExceptionWithString {
public:
    explicit kvBadPointer(const std::string& message = "null pointer")
        : kvExceptionWithString(message) {}
};

// Thrown by kfThrowExceptionOnFailure when the abort check failed.
class kvAbortRequested : public kvExceptionWithString {
public:
    kvAbortRequested() : kvExceptionWithString("operation aborted") {}
};
