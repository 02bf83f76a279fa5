#include "platform/richtext/CjkFontCoverage.h"

#include <gtest/gtest.h>

using namespace velmora;

// What tests give the bounder in place of this process's fonts.
TEST(CjkFontCoverage, NoneAndAllStandForTheTwoMachines) {
    for (const char32_t c : {0x4E2D, 0x3042, 0xD55C, 0x3002, 0xFF21}) {
        EXPECT_TRUE(CjkFontCoverage::isCjk(c)) << static_cast<unsigned>(c);
        EXPECT_TRUE(CjkFontCoverage::all().draws(c)) << static_cast<unsigned>(c);
        EXPECT_FALSE(CjkFontCoverage::none().draws(c)) << static_cast<unsigned>(c);
    }
    for (const char32_t c : {U'a', char32_t(0x0E01), char32_t(0x20000), char32_t(0x1F600)}) {
        EXPECT_FALSE(CjkFontCoverage::isCjk(c)) << static_cast<unsigned>(c);
        EXPECT_FALSE(CjkFontCoverage::all().draws(c)) << static_cast<unsigned>(c);
    }
}
