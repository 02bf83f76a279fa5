#include "image-views/ImageTransition.h"
#include "image-views/Indicator.h"
#include "image-views/IndicatorStatus.h"
#include "image-views/IndicatorViewModifier.h"

#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <QGraphicsOpacityEffect>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QWidget>

using namespace velmora::imageviews;
using velmora::test::drainEvents;

TEST(IndicatorStatusTest, everyWriteSendsOneNoticeOnALaterTurn) {
    IndicatorStatus status;
    EXPECT_FALSE(status.isLoading());
    EXPECT_EQ(status.progress(), 0.0);
    int notices = 0;
    QObject::connect(&status, &IndicatorStatus::objectWillChange, [&] { ++notices; });
    status.setLoading(true);
    EXPECT_EQ(notices, 0) << "never synchronously";
    status.setProgress(1.7);
    EXPECT_EQ(status.progress(), 1.0);
    drainEvents();
    EXPECT_EQ(notices, 2);
}

TEST(IndicatorViewModifierTest, theIndicatorIsCentredOverTheContentOnlyWhileLoading) {
    QWidget content;
    content.resize(200, 100);
    IndicatorStatus status;
    auto* modifier = new IndicatorViewModifier(&status, Indicator::progress(), &content);
    EXPECT_EQ(modifier->indicatorView(), nullptr);

    status.setLoading(true);
    status.setProgress(0.5);
    drainEvents();
    auto* bar = qobject_cast<QProgressBar*>(modifier->indicatorView());
    ASSERT_TRUE(bar);
    EXPECT_EQ(bar->parentWidget(), &content);
    EXPECT_EQ(bar->geometry().center().x(), content.rect().center().x());
    EXPECT_EQ(bar->value(), 500);
    EXPECT_EQ(bar->maximum(), 1000);

    status.setLoading(false);
    drainEvents();
    EXPECT_EQ(modifier->indicatorView(), nullptr);
    EXPECT_TRUE(content.findChildren<QProgressBar*>().isEmpty());
}

TEST(ImageTransitionTest, onlyTheInsertionIsAnimated) {
    const ImageTransition fade = ImageTransition::fadeIn(0.5);
    EXPECT_EQ(fade.insertion(), ImageTransition::Kind::Opacity);
    EXPECT_FALSE(fade.animatesRemoval());
    QWidget parent;
    auto* view = new QWidget(&parent);
    view->setGeometry(10, 10, 40, 40);
    auto* animation = qobject_cast<QPropertyAnimation*>(fade.insertionAnimation(view));
    ASSERT_TRUE(animation);
    EXPECT_EQ(animation->duration(), 500);
    EXPECT_EQ(animation->easingCurve().type(), QEasingCurve::InOutQuad);
    EXPECT_TRUE(qobject_cast<QGraphicsOpacityEffect*>(view->graphicsEffect()));

    auto* move = qobject_cast<QPropertyAnimation*>(ImageTransition::moveIn(ImageTransition::Edge::Leading).insertionAnimation(view));
    ASSERT_TRUE(move);
    EXPECT_EQ(move->startValue().toPoint(), QPoint(-30, 10));
    EXPECT_EQ(move->endValue().toPoint(), QPoint(10, 10));
    view->setLayoutDirection(Qt::RightToLeft);
    auto* mirrored =
        qobject_cast<QPropertyAnimation*>(ImageTransition::moveIn(ImageTransition::Edge::Leading).insertionAnimation(view));
    EXPECT_EQ(mirrored->startValue().toPoint(), QPoint(50, 10));
    EXPECT_EQ(ImageTransition::identity().insertionAnimation(view), nullptr);
}
