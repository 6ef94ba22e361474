// The five error classes are in the registry of persistent classes as soon
// as the library is loaded, even in a static link where nothing names them:
// this file uses only the registry.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <typeinfo>

#include "platform/exception.h"
#include "platform/persistent.h"

TEST(ErrorRegistry, FiveClassesRegisteredAtLoad) {
    const char* names[] = {
        "kvCompositeColorSegmenterDefs::BadParams", "kvCompositeColorSegmenterDefs::NotTrained",
        "kvCompositeColorSegmenterDefs::BadImage", "kvCompositeColorSegmenterDefs::BadColorSpace",
        "kvCompositeColorSegmenterDefs::TooManyCompositeColors"};
    std::set<kvPersistentFactory> factories;
    for (const char* name : names) {
        kvPersistentFactory make = kv_Instantiator::find(name);
        ASSERT_NE(make, nullptr) << name;
        factories.insert(make);

        std::unique_ptr<kvPersistent> object(make());
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(kv_Instantiator::nameOf(typeid(*object)), name);  // the factory's own class
        auto* error = dynamic_cast<kvExceptionWithString*>(object.get());
        ASSERT_NE(error, nullptr) << name;
        EXPECT_STREQ(error->what(), "");
        EXPECT_NE(dynamic_cast<std::exception*>(object.get()), nullptr);
    }
    EXPECT_EQ(factories.size(), 5u);

    // The abstract base has no factory.
    EXPECT_EQ(kv_Instantiator::find("kvCompositeColorSegmenterDefs::Errors"), nullptr);
}
