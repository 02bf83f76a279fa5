#include "views/main/Appearance.h"
#include "views/main/ProjectTaskRowView.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QStyleOptionViewItem>

#include <gtest/gtest.h>

#include <algorithm>

using namespace velmora;

namespace {

QPalette darkPalette() {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(40, 40, 40));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    return dark;
}

} // namespace

TEST(ReadableTextTest, SecondaryTextReadsOnWindowAndBaseInTheDefaultAndADarkPalette) {
    EXPECT_NEAR(Appearance::contrast(Qt::black, Qt::white), 21.0, 0.01);
    EXPECT_NEAR(Appearance::contrast(Qt::white, Qt::white), 1.0, 0.01);

    for (const QPalette& palette : {QApplication::palette(), darkPalette()}) {
        const QColor secondary = Appearance::secondary(palette);
        EXPECT_GE(Appearance::contrast(secondary, palette.color(QPalette::Window)),
                  Appearance::minimumContrast);
        EXPECT_GE(Appearance::contrast(secondary, palette.color(QPalette::Base)),
                  Appearance::minimumContrast);
        EXPECT_LT(secondary.alphaF(), 1.0) << "still set apart from primary text";
    }

    // A ground that 55 % cannot reach takes a stronger shade.
    QPalette grey = QApplication::palette();
    grey.setColor(QPalette::Window, QColor(200, 200, 200));
    EXPECT_GE(Appearance::contrast(Appearance::secondary(grey), grey.color(QPalette::Window)),
              Appearance::minimumContrast);
}

TEST(ReadableTextTest, CaptionsAndTaskRowsKeepThePlatformsSmallestReadableSize) {
    const QFont base = QApplication::font();
    const qreal smallest = std::min(
        QFontDatabase::systemFont(QFontDatabase::SmallestReadableFont).pointSizeF(), base.pointSizeF());
    EXPECT_GE(Appearance::scaledFont(base, 0.5).pointSizeF(), smallest);
    EXPECT_LE(Appearance::scaledFont(base, 0.5).pointSizeF(), base.pointSizeF()) << "never above the text";
    EXPECT_DOUBLE_EQ(Appearance::scaledFont(base, 2.0).pointSizeF(), base.pointSizeF() * 2.0);

    // The task row's three lines (key, name, status) are each at least that size.
    ProjectTaskRowView row;
    QStyleOptionViewItem option;
    option.font = base;
    QFont small = base;
    small.setPointSizeF(smallest);
    EXPECT_GE(row.sizeHint(option, QModelIndex()).height(), 3 * QFontMetrics(small).height());
}

// The highlight of a selected row carries its text whichever way the palette leans:
// light text deepens it, dark text lightens it, and a highlight that already reads
// stays as it is.
TEST(ReadableTextTest, TheSelectionHighlightCarriesItsText) {
    QPalette light;
    light.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    light.setColor(QPalette::HighlightedText, Qt::white);
    QPalette pale;
    pale.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    pale.setColor(QPalette::HighlightedText, Qt::black);
    QPalette strong;
    strong.setColor(QPalette::Highlight, QColor(0, 0x40, 0x90));
    strong.setColor(QPalette::HighlightedText, Qt::white);
    for (const QPalette& palette : {light, pale, strong}) {
        EXPECT_GE(Appearance::contrast(palette.color(QPalette::HighlightedText), Appearance::accent(palette)),
                  Appearance::minimumContrast);
    }
    EXPECT_LT(Appearance::accent(light).lightness(), light.color(QPalette::Highlight).lightness());
    EXPECT_EQ(Appearance::accent(strong), strong.color(QPalette::Highlight));
}
