#include "images/widgets/RemoteImageActivityIndicator.h"
#include "images/widgets/RemoteImageProgressIndicator.h"
#include "images/widgets/RemoteImageTransition.h"

#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>

using namespace velmora::images;

TEST(RemoteImageIndicatorTest, activityIndicatorsAreSmallSpinnersUnlessLarge) {
    RemoteImageActivityIndicator indicator;
    EXPECT_EQ(indicator.spinner()->controlSize(), ActivitySpinner::ControlSize::Small);
    EXPECT_EQ(indicator.indicatorView()->size(), QSize(16, 16));
    EXPECT_TRUE(indicator.indicatorView()->isHidden());
    EXPECT_EQ(RemoteImageActivityIndicator::grayLargeIndicator()->indicatorView()->size(), QSize(32, 32));
    EXPECT_EQ(RemoteImageActivityIndicator::whiteLargeIndicator()->spinner()->color(), QColor(Qt::white));
    EXPECT_EQ(RemoteImageActivityIndicator::mediumIndicator()->spinner()->controlSize(),
              ActivitySpinner::ControlSize::Small);

    QWidget host;
    indicator.indicatorView()->setParent(&host);
    indicator.startAnimatingIndicator();
    EXPECT_TRUE(indicator.spinner()->isAnimating());
    EXPECT_FALSE(indicator.indicatorView()->isHidden());
    indicator.stopAnimatingIndicator();
    EXPECT_FALSE(indicator.spinner()->isAnimating());
    EXPECT_TRUE(indicator.indicatorView()->isHidden());
}

TEST(RemoteImageIndicatorTest, theProgressBarIsIndeterminateUntilProgressIsCounted) {
    RemoteImageProgressIndicator indicator;
    EXPECT_EQ(indicator.indicatorView()->width(), 160);
    indicator.startAnimatingIndicator();
    EXPECT_TRUE(indicator.isIndeterminate());
    indicator.updateIndicatorProgress(0);
    EXPECT_TRUE(indicator.isIndeterminate());
    EXPECT_EQ(indicator.value(), 0);
    indicator.updateIndicatorProgress(0.42);
    EXPECT_FALSE(indicator.isIndeterminate());
    EXPECT_EQ(indicator.value(), 42);
    indicator.updateIndicatorProgress(7.0);
    EXPECT_EQ(indicator.value(), 100);
    indicator.stopAnimatingIndicator();
    EXPECT_TRUE(indicator.indicatorView()->isHidden());
    EXPECT_FALSE(indicator.isIndeterminate());
    EXPECT_EQ(indicator.value(), 100);
}

TEST(RemoteImageIndicatorTest, transitionPresetsMapToTheirEffects) {
    using Effect = RemoteImageTransitionEffect;
    const auto curlDown = RemoteImageTransition::curlDownTransition();
    EXPECT_EQ(curlDown->duration, 0.5);
    EXPECT_EQ(curlDown->animationOptions, 0x400000u);
    EXPECT_EQ(transitionForTransitionOptions(curlDown->animationOptions),
              (Effect{Effect::Type::Reveal, Effect::Subtype::FromBottom}));
    EXPECT_EQ(transitionForTransitionOptions(RemoteImageTransition::fadeTransition()->animationOptions),
              (Effect{Effect::Type::Fade, Effect::Subtype::None}));
    EXPECT_EQ(transitionForTransitionOptions(RemoteImageTransition::flipFromTopTransition()->animationOptions),
              (Effect{Effect::Type::Push, Effect::Subtype::FromRight}));
    EXPECT_EQ(transitionForTransitionOptions(RemoteImageTransition::flipFromBottomTransition(2)->animationOptions),
              (Effect{Effect::Type::Fade, Effect::Subtype::None}));
    EXPECT_FALSE(transitionForTransitionOptions(0));

    EXPECT_EQ(timingFunctionForTransitionOptions(0).type(), QEasingCurve::Linear);
    EXPECT_EQ(timingFunctionForTransitionOptions(0x30000).type(), QEasingCurve::Linear);
    EXPECT_EQ(timingFunctionForTransitionOptions(0x500000).type(), QEasingCurve::InOutQuad);
}

TEST(RemoteImageIndicatorTest, aFadeRunsOverItsDurationAndLeavesNoEffectBehind) {
    QWidget view;
    auto* animation =
        animationForTransitionEffect(&view, {RemoteImageTransitionEffect::Type::Fade, {}}, 0.05, QEasingCurve());
    EXPECT_EQ(animation->totalDuration(), 50);
    ASSERT_TRUE(qobject_cast<QGraphicsOpacityEffect*>(view.graphicsEffect()));
    bool finished = false;
    QObject::connect(animation, &QAbstractAnimation::finished, [&] { finished = true; });
    animation->start();
    ASSERT_TRUE(velmora::test::waitUntil([&] { return finished; }));
    EXPECT_EQ(view.graphicsEffect(), nullptr);
}
