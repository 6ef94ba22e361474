// The error family: numbers, messages, catching, rethrowing and archiving.
#include "clsg/colorseg/errors.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>

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
    static_assert(std::is_base_of<kvException, E>::value, "foundation base");
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

    // Caught as the standard exception, it is still the whole family member.
    try {
        throw E("m");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "m");
        EXPECT_EQ(dynamic_cast<const kvExceptionWithString&>(e).message(), "m");
        EXPECT_EQ(dynamic_cast<const Defs::Errors&>(e).errorNumber(), number);
        EXPECT_EQ(typeid(e), typeid(E));
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
}

TEST(Errors, SuicideAndRethrowThrowsItsOwnClassAndFreesItself) {
    for (const char* name :
         {"BadParams", "NotTrained", "BadImage", "BadColorSpace", "TooManyCompositeColors"}) {
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
    try {
        withText->suicideAndRethrow();
        ADD_FAILURE() << "returned";
    } catch (const Defs::BadImage& e) {
        EXPECT_STREQ(e.what(), "mask includes an invalid value");
    }
}

TEST(Errors, ArchiveLayout) {
    // Class version, family version, then the message record (its version,
    // the length, the text).
    Defs::BadParams e("neighborhoodSize <= 0 ");
    const std::string bytes = storeBytes(e);
    EXPECT_EQ(bytes, std::string("\0\0\0\x16\0\0\0neighborhoodSize <= 0 ", 3 + 4 + 22));
    Defs::NotTrained empty;
    EXPECT_EQ(storeBytes(empty), std::string(7, '\0'));
    // Loading through the registry: ArchiveFixtures.ErrorObjects.
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
    const struct {
        std::string bytes;
        const char* file;
        std::size_t read;  // bytes up to the refused version
    } cases[] = {
        {std::string("\x01\0\0\0\0\0\0", 7),
         "kvCompositeColorSegmenterDefs::TooManyCompositeColors", 1},
        {std::string("\0\x01\0\0\0\0\0", 7), "kvCompositeColorSegmenterDefs::Errors", 2},
        {std::string("\0\0\x02\0\0\0\0", 7), "kvExceptionWithString", 3},
    };
    for (const auto& c : cases) {
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
