// The error family: numbers, messages, catching, rethrowing and archiving.
#include "clsg/colorseg/errors.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <typeinfo>

#include "platform/archive.h"
#include "platform/persistent.h"

using Defs = kvCompositeColorSegmenterDefs;

TEST(Errors, NumbersMessagesAndSuicideAndRethrowThrowsItsOwnClass) {
    const std::pair<const char*, long> family[] = {{"BadParams", 268472576},
                                                   {"NotTrained", 0x10009101},
                                                   {"BadImage", 268472578},
                                                   {"TooManyCompositeColors", 0x10009103},
                                                   {"BadColorSpace", 268472580}};
    for (const auto& f : family) {
        kvPersistentFactory make =
            kv_Instantiator::find(std::string("kvCompositeColorSegmenterDefs::") + f.first);
        ASSERT_NE(make, nullptr) << f.first;
        auto* error = dynamic_cast<Defs::Errors*>(make());
        ASSERT_NE(error, nullptr) << f.first;
        const std::type_info& type = typeid(*error);
        EXPECT_EQ(error->errorNumber(), f.second) << f.first;
        try {
            error->suicideAndRethrow();  // frees error; a leak would show under the sanitizer
            ADD_FAILURE() << f.first << " returned";
        } catch (const std::exception& e) {
            EXPECT_EQ(typeid(e), type);
            EXPECT_STREQ(e.what(), "");
        }
    }
    Defs::Errors* withText = new Defs::BadImage("mask includes an invalid value");
    try {
        withText->suicideAndRethrow();
    } catch (const Defs::BadImage& e) {
        EXPECT_STREQ(e.what(), "mask includes an invalid value");
    }
}

TEST(Errors, ArchiveLayoutAndAVisitedObjectPassesNothing) {
    // Class version, family version, then the message record (its version, length, text).
    std::ostringstream out;
    kvArchive archive(out);
    Defs::BadParams e("neighborhoodSize <= 0 ");
    e.serialize(archive);
    e.serialize(archive);  // the second pass writes nothing
    const std::string once = out.str();
    EXPECT_EQ(once, std::string("\0\0\0\x16\0\0\0neighborhoodSize <= 0 ", 3 + 4 + 22));
    // Loading twice from one archive reads the record once.
    std::istringstream in(once + "trailing");
    kvArchive back(in);
    Defs::BadParams loaded;
    loaded.serialize(back);
    loaded.serialize(back);
    EXPECT_EQ(back.bytesLeft(), 8u);
    EXPECT_EQ(loaded.message(), "neighborhoodSize <= 0 ");
}

TEST(Errors, UnknownVersionNamesTheLevelAndReadsNoFurther) {
    const std::pair<const char*, const char*> cases[] = {
        {"\x01\0\0\0\0\0\0", "kvCompositeColorSegmenterDefs::TooManyCompositeColors"},
        {"\0\x01\0\0\0\0\0", "kvCompositeColorSegmenterDefs::Errors"},
        {"\0\0\x02\0\0\0\0", "kvExceptionWithString"}};
    std::size_t read = 1;  // bytes up to the refused version
    for (const auto& c : cases) {
        Defs::TooManyCompositeColors e("kept");
        std::istringstream in(std::string(c.first, 7));
        kvArchive archive(in);
        EXPECT_THROW(
            try { e.serialize(archive); } catch (const kvArchive::UnknownVersion& v) {
                EXPECT_STREQ(v.file(), c.second);
                throw;
            },
            kvArchive::UnknownVersion);
        EXPECT_EQ(e.message(), "kept");
        EXPECT_EQ(archive.bytesLeft(), 7 - read++);
    }
}
