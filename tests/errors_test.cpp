// The error family: rethrowing and archiving.
#include "clsg/colorseg/errors.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <typeinfo>

#include "clsg/platform/archive.h"

using Defs = kvCompositeColorSegmenterDefs;

TEST(Errors, SuicideAndRethrowThrowsItsOwnClassWithItsMessage) {
    for (Defs::Errors* error : std::initializer_list<Defs::Errors*>{
             new Defs::BadParams("p"), new Defs::NotTrained("t"), new Defs::BadImage("i"),
             new Defs::TooManyCompositeColors("c"), new Defs::BadColorSpace("s")}) {
        const std::string text = error->what(), type = typeid(*error).name();
        try {
            error->suicideAndRethrow();  // frees error; a leak would show under the sanitizer
        } catch (const std::exception& e) {
            EXPECT_TRUE(typeid(e).name() == type && e.what() == text) << text;
        }
    }
}

// Class, family, message record (version, length, text); a second pass moves nothing.
TEST(Errors, ArchiveLayoutAndAVisitedObjectPassesNothing) {
    std::ostringstream out;
    kvArchive archive(out);
    Defs::BadParams e("neighborhoodSize <= 0 "), loaded;
    e.serialize(archive);
    e.serialize(archive);
    EXPECT_EQ(out.str(), std::string("\0\0\0\x16\0\0\0neighborhoodSize <= 0 ", 3 + 4 + 22));
    std::istringstream in(out.str() + "trailing");
    kvArchive back(in);
    loaded.serialize(back);
    loaded.serialize(back);
    EXPECT_TRUE(back.bytesLeft() == 8u && loaded.message() == e.message());
    // Another error made where a stored one was is stored in full.
    std::ostringstream both;
    kvArchive twice(both);
    std::optional<Defs::BadParams> slot("a");
    slot->serialize(twice);
    slot.emplace("b");
    slot->serialize(twice);
    EXPECT_EQ(both.str(), std::string("\0\0\0\1\0\0\0a\0\0\0\1\0\0\0b", 16));
}

// Each level's version refused in turn: nothing read past it, the message kept.
TEST(Errors, UnknownVersionReadsNoFurther) {
    for (std::size_t read = 1; read <= 3; ++read) {
        Defs::TooManyCompositeColors e("kept");
        std::istringstream in(std::string(read - 1, '\0') + char(read) +
                              std::string(7 - read, '\0'));
        kvArchive archive(in);
        EXPECT_THROW(e.serialize(archive), kvArchive::UnknownVersion);
        EXPECT_TRUE(e.message() == "kept" && archive.bytesLeft() == 7 - read);
    }
}
