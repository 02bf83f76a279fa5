#include "platform/richtext/CjkFontCoverage.h"

#include <QFontDatabase>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

// The families the font database says support `system`: what fontconfig reads from the fonts'
// own language coverage, apart from the fonts Qt falls back to.
bool aFamilySupports(QFontDatabase::WritingSystem system) {
    return !QFontDatabase::families(system).isEmpty();
}

} // namespace

// Where a font for Chinese, Japanese and Korean is installed (Debian's fonts-noto-cjk), the fonts
// Qt falls back to draw their letters, punctuation and forms, and the costs of laying them out
// follow; where none is, none of them is drawn, and they cost what a search of every fallback
// font costs.
TEST(CjkFontCoverage, FollowsTheFontsInstalled) {
    const CjkFontCoverage& here = CjkFontCoverage::ofThisProcess();
    const std::pair<QFontDatabase::WritingSystem, std::vector<char32_t>> systems[] = {
        {QFontDatabase::SimplifiedChinese, {0x4E2D, 0x6587, 0x3002, 0xFF0C}},
        {QFontDatabase::Japanese, {0x3042, 0x30A2, 0x65E5, 0x30FC}},
        {QFontDatabase::Korean, {0xD55C, 0xAE00, 0x3131}},
    };
    for (const auto& [system, letters] : systems) {
        const bool installed = aFamilySupports(system);
        for (const char32_t c : letters) {
            EXPECT_EQ(here.draws(c), installed)
                << QFontDatabase::writingSystemName(system).toStdString() << " U+"
                << QString::number(c, 16).toStdString() << ", drawn by "
                << here.families().join(QStringLiteral(", ")).toStdString();
        }
    }
    // Latin is no business of it.
    EXPECT_FALSE(here.draws(U'a'));
    if (!aFamilySupports(QFontDatabase::SimplifiedChinese)) {
        GTEST_SKIP() << "no font for Chinese, Japanese and Korean here (Debian's fonts-noto-cjk): "
                        "checked that none of their letters is taken to be drawn";
    }
    // A letter its font lacks is not drawn: Qt would search every fallback font for it.
    EXPECT_FALSE(here.draws(0xFFEF)) << "an unassigned code point of the half-width forms";
}

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
