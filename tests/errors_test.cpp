// The error family: numbers, messages, catching, rethrowing and archiving.
#include "clsg/colorseg/errors.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "platform/archive.h"
#include "platform/persistent.h"

using Defs = kvCompositeColorSegmenterDefs;

namespace {

std::string storeBytes(kvPersistent& object, int times = 1) {
    std::ostringstream out;
    kvArchive archive(out);
    for (int i = 0; i < times; ++i) object.serialize(archive);
    return out.str();
}

template <class E>
void expectFamily(long number) {
    const E plain;
    EXPECT_EQ(plain.errorNumber(), number);
    EXPECT_STREQ(plain.what(), "");
    EXPECT_EQ(plain.message(), "");

    const E original("what went wrong");
    const E copy(original);
    EXPECT_EQ(copy.errorNumber(), number);
    EXPECT_EQ(copy.message(), "what went wrong");
    E assigned;
    assigned = original;
    EXPECT_STREQ(assigned.what(), "what went wrong");

    // Every level of the family catches it, and what() gives the message.
    try {
        throw E("m1");
    } catch (const Defs::Errors& e) {
        EXPECT_EQ(e.errorNumber(), number);
        EXPECT_EQ(typeid(e), typeid(E));
    }
    try {
        throw E("m2");
    } catch (const kvExceptionWithString& e) {
        EXPECT_EQ(e.message(), "m2");
    }
    try {
        throw E("m3");
    } catch (const kvException& e) {
        EXPECT_STREQ(e.what(), "m3");
    }
    try {
        throw E("m4");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "m4");
    }
}

}  // namespace

TEST(Errors, NumbersMessagesAndCatching) {
    expectFamily<Defs::BadParams>(268472576);
    expectFamily<Defs::NotTrained>(0x10009101);
    expectFamily<Defs::BadImage>(268472578);
    expectFamily<Defs::TooManyCompositeColors>(0x10009103);
    expectFamily<Defs::BadColorSpace>(268472580);

    static_assert(std::is_abstract<Defs::Errors>::value, "the family base is abstract");
    static_assert(!std::is_base_of<Defs::BadParams, Defs::BadImage>::value, "siblings");
    static_assert(std::is_base_of<kvException, Defs::NotTrained>::value, "foundation base");
}

TEST(Errors, SuicideAndRethrowThrowsItsOwnClassAndFreesItself) {
    const char* names[] = {"BadParams", "NotTrained", "BadImage", "BadColorSpace",
                           "TooManyCompositeColors"};
    for (const char* name : names) {
        kvPersistentFactory make =
            kv_Instantiator::find(std::string("kvCompositeColorSegmenterDefs::") + name);
        ASSERT_NE(make, nullptr) << name;
        auto* error = dynamic_cast<Defs::Errors*>(make());
        ASSERT_NE(error, nullptr) << name;
        const std::type_info& type = typeid(*error);
        const long number = error->errorNumber();
        try {
            error->suicideAndRethrow();  // frees error; a leak would show under the sanitizer
            ADD_FAILURE() << name << " returned";
        } catch (const Defs::Errors& e) {
            EXPECT_EQ(typeid(e), type);
            EXPECT_EQ(e.errorNumber(), number);
            EXPECT_STREQ(e.what(), "");
        }
    }

    Defs::Errors* withText = new Defs::BadImage("mask includes an invalid value");
    EXPECT_THROW(
        {
            try {
                withText->suicideAndRethrow();
            } catch (const Defs::BadImage& e) {
                EXPECT_STREQ(e.what(), "mask includes an invalid value");
                throw;
            }
        },
        Defs::BadImage);
}

TEST(Errors, ArchiveLayoutAndRoundTrip) {
    Defs::BadParams e("neighborhoodSize <= 0 ");
    // Class version, family version, then the message record (its version,
    // the length, the text).
    const std::string bytes = storeBytes(e);
    EXPECT_EQ(bytes, std::string("\0\0\0\x16\0\0\0neighborhoodSize <= 0 ", 3 + 4 + 22));

    Defs::BadParams loaded;
    std::istringstream in(bytes);
    {
        kvArchive archive(in);
        loaded.serialize(archive);
        EXPECT_EQ(archive.bytesLeft(), 0u);
    }
    EXPECT_EQ(loaded.message(), "neighborhoodSize <= 0 ");
    EXPECT_EQ(loaded.errorNumber(), 268472576);

    Defs::NotTrained empty;
    EXPECT_EQ(storeBytes(empty), std::string(7, '\0'));

    // Through a pointer record the registry recreates the right class.
    Defs::BadColorSpace original("image's color space is not RGB");
    kvPersistent* p = &original;
    std::ostringstream out;
    {
        kvArchive archive(out);
        kvPersistent::serializePointer(archive, p);
    }
    std::istringstream in2(out.str());
    kvArchive archive(in2);
    kvPersistent* q = nullptr;
    kvPersistent::serializePointer(archive, q);
    auto* back = dynamic_cast<Defs::BadColorSpace*>(q);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->what(), "image's color space is not RGB");
}

TEST(Errors, VisitedObjectPassesNothing) {
    Defs::BadImage e("image is not bound");
    const std::string once = storeBytes(e, 1);
    EXPECT_EQ(storeBytes(e, 2), once);  // the second pass writes nothing

    // Loading twice from one archive reads the record once.
    std::istringstream in(once + "trailing");
    kvArchive archive(in);
    Defs::BadImage loaded;
    loaded.serialize(archive);
    loaded.serialize(archive);
    EXPECT_EQ(archive.bytesLeft(), 8u);
    EXPECT_EQ(loaded.message(), "image is not bound");
}

TEST(Errors, UnknownVersionNamesTheLevel) {
    struct Case {
        std::string bytes;
        const char* file;
        std::size_t read;  // bytes up to the refused version
    };
    const Case cases[] = {
        {std::string("\x01\0\0\0\0\0\0", 7),
         "kvCompositeColorSegmenterDefs::TooManyCompositeColors", 1},
        {std::string("\0\x01\0\0\0\0\0", 7), "kvCompositeColorSegmenterDefs::Errors", 2},
        {std::string("\0\0\x02\0\0\0\0", 7), "kvExceptionWithString", 3},
    };
    for (const Case& c : cases) {
        Defs::TooManyCompositeColors e("kept");
        std::istringstream in(c.bytes);
        kvArchive archive(in);
        try {
            e.serialize(archive);
            ADD_FAILURE() << c.file;
        } catch (const kvArchive::UnknownVersion& v) {
            EXPECT_STREQ(v.file(), c.file);
            EXPECT_EQ(v.line(), 0);
        }
        EXPECT_EQ(e.message(), "kept");
        EXPECT_EQ(archive.bytesLeft(), c.bytes.size() - c.read);  // nothing further read
    }
}
