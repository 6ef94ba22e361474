// The error family: numbers, messages, catching, rethrowing and archiving.
#include "clsg/colorseg/errors.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <typeinfo>

#include "platform/archive.h"
#include "platform/persistent.h"

using Defs = kvCompositeColorSegmenterDefs;

TEST(Errors, SuicideAndRethrowThrowsItsOwnClassWithItsMessage) {
    Defs::Errors* errors[] = {new Defs::BadParams("p"), new Defs::NotTrained("t"),
                              new Defs::BadImage("i"), new Defs::TooManyCompositeColors("c"),
                              new Defs::BadColorSpace("s")};
    for (Defs::Errors* error : errors) {
        const std::type_info& type = typeid(*error);
        const std::string text = error->what();
        try {
            error->suicideAndRethrow();  // frees error; a leak would show under the sanitizer
            ADD_FAILURE() << text << " returned";
        } catch (const std::exception& e) {
            EXPECT_TRUE(typeid(e) == type && e.what() == text) << text;
        }
    }
}

TEST(Errors, ArchiveLayoutAndAVisitedObjectPassesNothing) {
    std::ostringstream out;
    kvArchive archive(out);
    Defs::BadParams e("neighborhoodSize <= 0 ");
    e.serialize(archive);
    e.serialize(archive);                // the second pass writes nothing
    const std::string once = out.str();  // class, family, message record: version, length, text
    EXPECT_EQ(once, std::string("\0\0\0\x16\0\0\0neighborhoodSize <= 0 ", 3 + 4 + 22));
    std::istringstream in(once + "trailing");
    kvArchive back(in);
    Defs::BadParams loaded;
    loaded.serialize(back);
    loaded.serialize(back);  // read once
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
