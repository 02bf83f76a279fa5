#include "app/AppStyle.h"

#include "tests/support/LoadedImagePlugins.h"
#include "views/main/Appearance.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMainWindow>
#include <QPainter>
#include <QPushButton>
#include <QStyleOption>
#include <QToolBar>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace velmora;

// Qt's own pictures for a toolbar's overflow arrow and a search field's clear button
// are files that Qt identifies by asking every image plugin in turn; the app's style
// draws them, so opening a window loads no image plugin.
TEST(AppStyle, AWindowWithAToolbarAndASearchFieldLoadsNoImagePlugin) {
    QApplication::setStyle(new AppStyle);
    {
        QMainWindow window;
        QToolBar* toolbar = window.addToolBar(QStringLiteral("Tools"));
        auto* search = new QLineEdit;
        search->setClearButtonEnabled(true);
        toolbar->addWidget(search);
        window.resize(300, 200);
        window.show();
        QApplication::processEvents();
    }
    EXPECT_EQ(velmora::test::loadedImagePlugins(), QStringList())
        << velmora::test::loadedImagePlugins().join(u' ').toStdString();

    for (const auto icon : {QStyle::SP_ToolBarHorizontalExtensionButton,
                            QStyle::SP_ToolBarVerticalExtensionButton, QStyle::SP_LineEditClearButton}) {
        const QImage drawn = QApplication::style()->standardIcon(icon).pixmap(16, 16).toImage();
        ASSERT_EQ(drawn.size(), QSize(16, 16)) << icon;
        // Something is drawn, and not over the whole square.
        int opaque = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                opaque += qAlpha(drawn.pixel(x, y)) > 128 ? 1 : 0;
            }
        }
        EXPECT_GT(opaque, 8) << icon;
        EXPECT_LT(opaque, 200) << icon;
    }
}

// Lists that Qt draws itself (the settings pages) select with the palette's own
// highlight: the app's palette carries a highlight its text reads on.
TEST(AppStyle, TheApplicationsHighlightCarriesItsText) {
    QApplication::setStyle(new AppStyle);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        const QPalette palette = QApplication::palette();
        EXPECT_GE(Appearance::contrast(palette.color(group, QPalette::HighlightedText),
                                       palette.color(group, QPalette::Highlight)),
                  Appearance::minimumContrast)
            << palette.color(group, QPalette::Highlight).name().toStdString();
    }
}

// A toolbar button reached by the keyboard wears a ring in the accent colour: the
// style's own pale frame is hard to see on the toolbar's grey.
TEST(AppStyle, AToolButtonWithKeyboardFocusWearsAnAccentRing) {
    AppStyle style;
    QStyleOptionToolButton option;
    option.rect = QRect(0, 0, 32, 32);
    option.palette = QApplication::palette();
    option.subControls = QStyle::SC_ToolButton;
    option.features = QStyleOptionToolButton::None;
    option.toolButtonStyle = Qt::ToolButtonIconOnly;
    option.state = QStyle::State_Enabled | QStyle::State_AutoRaise;
    const QColor accent = option.palette.color(QPalette::Active, QPalette::Highlight);
    auto accentPixels = [&](QStyle::State extra) {
        QImage image(32, 32, QImage::Format_ARGB32);
        image.fill(option.palette.color(QPalette::Window));
        QPainter painter(&image);
        QStyleOptionToolButton painted = option;
        painted.state |= extra;
        style.drawComplexControl(QStyle::CC_ToolButton, &painted, &painter);
        painter.end();
        int count = 0;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const QColor pixel = image.pixelColor(x, y);
                count += std::abs(pixel.red() - accent.red()) < 24 &&
                                 std::abs(pixel.green() - accent.green()) < 24 &&
                                 std::abs(pixel.blue() - accent.blue()) < 24
                             ? 1
                             : 0;
            }
        }
        return count;
    };
    EXPECT_EQ(accentPixels(QStyle::State_HasFocus), 0) << "a click's focus shows no ring";
    EXPECT_GT(accentPixels(QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange), 64);
    EXPECT_EQ(accentPixels(QStyle::State_KeyboardFocusChange), 0);
}

// A dialog's default button (what Return presses) is filled with the accent; the button the
// keyboard is on wears only a ring of it, so the two never look alike.
TEST(AppStyle, TheDefaultButtonIsFilledAndTheFocusedOneRingedOnly) {
    QApplication::setStyle(new AppStyle);
    QDialog dialog;
    auto* layout = new QHBoxLayout(&dialog);
    auto* focused = new QPushButton(QStringLiteral("Delete"), &dialog);
    focused->setAutoDefault(false);
    auto* standing = new QPushButton(QStringLiteral("Cancel"), &dialog);
    standing->setDefault(true);
    layout->addWidget(focused);
    layout->addWidget(standing);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    focused->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    ASSERT_TRUE(focused->hasFocus());
    ASSERT_TRUE(standing->isDefault());
    const QColor accent = dialog.palette().color(QPalette::Active, QPalette::Highlight);
    // The share of a button's pixels in the accent colour.
    const auto accentShare = [&accent](QPushButton* button) {
        const QImage drawn = button->grab().toImage();
        int near = 0;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                const QColor pixel = drawn.pixelColor(x, y);
                near += std::abs(pixel.red() - accent.red()) + std::abs(pixel.green() - accent.green()) +
                                    std::abs(pixel.blue() - accent.blue()) <
                                60
                            ? 1
                            : 0;
            }
        }
        return double(near) / double(drawn.width() * drawn.height());
    };
    EXPECT_GT(accentShare(standing), 0.4) << "the default is filled with the accent";
    EXPECT_LT(accentShare(focused), 0.25) << "the focused button only wears a ring";
}
