// The exceptions clsg throws for what it detects itself.
//
// Catch one class, the whole family (kvCompositeColorSegmenterDefs::Errors),
// or any foundation exception (kvException, which is a std::exception).
// Every class has a fixed error number and persists through an archive.
#pragma once

#include <string>

#include "clsg/platform/exception.h"

class kvCompositeColorSegmenterDefs {
public:
    kvCompositeColorSegmenterDefs& operator=(const kvCompositeColorSegmenterDefs&) { return *this; }

    class Errors : public kvExceptionWithString {
    public:
        Errors(const Errors&) = default;
        Errors& operator=(const Errors& other) {
            kvExceptionWithString::operator=(other);
            return *this;
        }

        virtual long errorNumber() const = 0;
        // Throws a copy of this object as its own class and deletes this
        // object, which must have been created with new.
        [[noreturn]] virtual void suicideAndRethrow() = 0;

    protected:
        explicit Errors(const std::string& message = std::string())
            : kvExceptionWithString(message) {}
        // Layout: version byte 0, then the message record.
        void dispatchSerialize(kvArchive& archive) override;
        void serialize_(kvArchive& archive, unsigned char version);
    };

#define CLSG_DECLARE_ERROR_CLASS(Name)                                                 \
    class Name : public Errors {                                                       \
    public:                                                                            \
        explicit Name(const std::string& message = std::string()) : Errors(message) {} \
        Name(const Name&) = default;                                                   \
        Name& operator=(const Name& other) {                                           \
            Errors::operator=(other);                                                  \
            return *this;                                                              \
        }                                                                              \
        long errorNumber() const override;                                             \
        [[noreturn]] void suicideAndRethrow() override;                                \
                                                                                       \
    protected:                                                                         \
        void dispatchSerialize(kvArchive& archive) override;                           \
        void serialize_(kvArchive& archive, unsigned char version);                    \
                                                                                       \
    private:                                                                           \
        static kvPersistent* make();                                                   \
        static const kv_Instantiator sExemplar;                                        \
    };

    // Invalid parameters or training input (268472576, 0x10009100).
    CLSG_DECLARE_ERROR_CLASS(BadParams)
    // The tool has not been trained (268472577, 0x10009101).
    CLSG_DECLARE_ERROR_CLASS(NotTrained)
    // An image or mask that cannot be used (268472578, 0x10009102).
    CLSG_DECLARE_ERROR_CLASS(BadImage)
    // More than 254 labels (268472579, 0x10009103).
    CLSG_DECLARE_ERROR_CLASS(TooManyCompositeColors)
    // An image that is not RGB (268472580, 0x10009104).
    CLSG_DECLARE_ERROR_CLASS(BadColorSpace)

#undef CLSG_DECLARE_ERROR_CLASS
};
