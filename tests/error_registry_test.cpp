// The error classes are registered at load even in a static link where nothing names them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>

#include "clsg/platform/exception.h"
#include "clsg/platform/persistent.h"

TEST(ErrorRegistry, FiveClassesRegisteredAtLoad) {
    for (const char* name :
         {"BadParams", "NotTrained", "BadImage", "BadColorSpace", "TooManyCompositeColors"}) {
        const std::string full = std::string("kvCompositeColorSegmenterDefs::") + name;
        kvPersistentFactory make = kv_Instantiator::find(full);
        ASSERT_NE(make, nullptr) << name;
        std::unique_ptr<kvPersistent> object(make());
        EXPECT_EQ(kv_Instantiator::nameOf(typeid(*object)), full);  // the factory's own class
        EXPECT_NE(dynamic_cast<kvExceptionWithString*>(object.get()), nullptr) << name;
    }
}
