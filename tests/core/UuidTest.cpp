#include "core/Uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace keelbox {

TEST(Uuid, RandomIsVersion4WithTheStandardVariant) {
    std::set<Uuid> seen;
    for (int i = 0; i < 200; ++i) {
        const Uuid id = Uuid::random();
        EXPECT_TRUE(id.bytes()[6] >> 4 == 4 && (id.bytes()[8] & 0xC0) == 0x80) << id.toString();
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Uuid, TextFormIsUpperCaseRoundTripsAndNothingElseParses) {
    const Uuid id({0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76,
                   0x54, 0x32, 0x10});
    EXPECT_EQ(id.toString(), "01234567-89AB-CDEF-FEDC-BA9876543210");
    EXPECT_EQ(Uuid::parse(id.toString()), id);
    EXPECT_EQ(Uuid::parse("01234567-89ab-cdef-FEDC-ba9876543210"), id);
    EXPECT_EQ(Uuid().toString(), "00000000-0000-0000-0000-000000000000");
    // Nothing but the canonical form is read.
    for (const char* text : {
             "",
             "01234567-89AB-CDEF-FEDC-BA987654321",  // one digit short
             "0123456-789AB-CDEF-FEDC-BA9876543210", // hyphen moved
             "01234567-89AB-CDEF-FEDC-BA987654321G",
             "01234567-89AB-CDEF-FEDC-\xc3\xa4"
             "9876543210",
         })
        EXPECT_EQ(Uuid::parse(text), std::nullopt) << text;
}

} // namespace keelbox
