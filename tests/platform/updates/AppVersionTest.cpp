#include "platform/updates/AppVersion.h"

#include <gtest/gtest.h>

using velmora::AppVersion;

TEST(AppVersionTest, ComparesPartsAsNumbers) {
    EXPECT_GT(AppVersion::compare("1.10", "1.9"), 0);
    EXPECT_LT(AppVersion::compare("1.2.3", "1.2.10"), 0);
    EXPECT_GT(AppVersion::compare("10", "9.99.99"), 0);
    EXPECT_GT(AppVersion::compare("1.123456789012345678901", "1.99"), 0); // longer than any integer
}

TEST(AppVersionTest, MissingPartsAndLeadingZerosAreZero) {
    EXPECT_EQ(AppVersion::compare("1.0", "1"), 0);
    EXPECT_EQ(AppVersion::compare("1.0.0", "1.00"), 0);
    EXPECT_EQ(AppVersion::compare(" 2.1 ", "2.1"), 0);
}

TEST(AppVersionTest, APreReleaseComesBeforeItsRelease) {
    EXPECT_LT(AppVersion::compare("2.0b1", "2.0"), 0);
    EXPECT_LT(AppVersion::compare("2.0b1", "2.0b2"), 0);
    EXPECT_GT(AppVersion::compare("2.0rc1", "1.9"), 0);
}
