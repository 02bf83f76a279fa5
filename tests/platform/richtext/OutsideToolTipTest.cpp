#include "platform/richtext/OutsideToolTip.h"

#include <QWidget>

#include <gtest/gtest.h>

using namespace velmora;

// Asked to show another text while it shows one (the row under the pointer renamed, or the pointer
// on the next row of the same list), the tooltip shows the new text, not the one it laid out first.
TEST(OutsideToolTip, ShowsANewTextAskedForWhileItIsShown) {
    QWidget widget;
    widget.resize(200, 100);
    widget.show();
    const QPoint at = widget.mapToGlobal(QPoint(10, 10));
    OutsideToolTip::showText(at, QStringLiteral("Fix the login page"), &widget);
    ASSERT_EQ(OutsideToolTip::text(), QStringLiteral("Fix the login page"));
    OutsideToolTip::showText(at, QStringLiteral("Fix the checkout form"), &widget);
    EXPECT_EQ(OutsideToolTip::text(), QStringLiteral("Fix the checkout form"));
    // And back: a text laid out before shows again from what was kept.
    OutsideToolTip::showText(at, QStringLiteral("Fix the login page"), &widget);
    EXPECT_EQ(OutsideToolTip::text(), QStringLiteral("Fix the login page"));
    OutsideToolTip::hideText();
    EXPECT_EQ(OutsideToolTip::text(), QString());
}
