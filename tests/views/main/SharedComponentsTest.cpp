#include "views/main/EffectView.h"
#include "views/main/LoadFailureView.h"
#include "views/main/PopoverOnHover.h"
#include "views/main/ReadableAlert.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>

using namespace velmora;

TEST(PopoverOnHoverTest, ShowsWhileThePointerRestsAndWrapsAtItsWidth) {
    QWidget target;
    target.resize(40, 20);
    // With room above it on the screen.
    target.move(200, 300);
    target.show();
    const QString text = QStringLiteral("The provider is not functioning. Please review the settings for "
                                        "diagnostic purposes.");
    auto* popover = PopoverOnHover::attach(&target, text, PopoverOnHover::ArrowEdge::bottom, 200);
    EXPECT_EQ(popover->popover(), nullptr);

    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(&target, &enter);
    EXPECT_TRUE(popover->isHovering());
    auto* shown = qobject_cast<QLabel*>(popover->popover());
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->text(), text);
    EXPECT_TRUE(shown->wordWrap());
    EXPECT_EQ(shown->width(), 200 + 2 * shown->margin());
    // The arrow at the bottom puts the popup above the view.
    EXPECT_LT(shown->geometry().bottom(), target.mapToGlobal(QPoint(0, 0)).y());

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&target, &leave);
    EXPECT_FALSE(popover->isHovering());
    EXPECT_EQ(popover->popover(), nullptr);
}

TEST(EffectViewTest, MaterialAndBlendingChangeTheFillButEmphasisIsFixed) {
    EffectView view(EffectView::Material::sidebar, EffectView::BlendingMode::behindWindow, false);
    const QColor sidebar = view.fillColor();
    view.setMaterial(EffectView::Material::windowBackground);
    EXPECT_NE(view.fillColor(), sidebar);
    const QColor behind = view.fillColor();
    view.setBlendingMode(EffectView::BlendingMode::withinWindow);
    EXPECT_NE(view.fillColor().alphaF(), behind.alphaF());
    EXPECT_FALSE(view.isEmphasized());

    EffectView emphasized(EffectView::Material::sidebar, EffectView::BlendingMode::behindWindow, true);
    EXPECT_TRUE(emphasized.isEmphasized());
    EXPECT_DOUBLE_EQ(emphasized.fillColor().alphaF(), 1.0);
}

TEST(ReadableAlertTest, AShortHeadlineDoesNotSqueezeTheExplanationIntoAColumn) {
    QMessageBox alert(QMessageBox::Warning, QStringLiteral("Authorization failed."),
                      QStringLiteral("Authorization failed."), QMessageBox::Ok);
    alert.setInformativeText(
        QStringLiteral("Check whether the provided credentials are correct and try again."));
    ReadableAlert::prepare(alert);
    alert.show();
    QCoreApplication::processEvents();
    EXPECT_GE(alert.width(), ReadableAlert::minimumTextWidth(alert));
    // About sixty characters of the alert's font a line, within 340 to 480 pixels.
    const int sixty = alert.fontMetrics().averageCharWidth() * 60;
    EXPECT_EQ(ReadableAlert::minimumTextWidth(alert), std::clamp(sixty, 340, 480));
    for (const int pixels : {2, 9, 12, 13, 14, 60}) {
        QMessageBox sized;
        QFont font = sized.font();
        font.setPixelSize(pixels);
        sized.setFont(font);
        const int wanted = sized.fontMetrics().averageCharWidth() * 60;
        EXPECT_EQ(ReadableAlert::minimumTextWidth(sized), std::clamp(wanted, 340, 480)) << pixels;
        EXPECT_GE(ReadableAlert::minimumTextWidth(sized), 340) << pixels;
        EXPECT_LE(ReadableAlert::minimumTextWidth(sized), 480) << pixels;
    }
    for (QAbstractButton* button : alert.buttons()) {
        EXPECT_TRUE(button->icon().isNull()) << button->text().toStdString();
    }
    // The explanation has that width to itself, beside the icon.
    int explanations = 0;
    for (const QLabel* label : alert.findChildren<QLabel*>()) {
        if (label->text().startsWith(QStringLiteral("Check"))) {
            ++explanations;
            EXPECT_GE(label->width(), ReadableAlert::minimumTextWidth(alert));
        }
    }
    EXPECT_EQ(explanations, 1);
}

// A tracker that asks for one second is waited for "1 second", wherever the failure is
// told (a load failure's row or page, the sheets' and the crash check's alerts).
TEST(LoadFailureViewTest, AWaitOfOneSecondIsWrittenInTheSingular) {
    const QString host = QStringLiteral("tracker.example");
    EXPECT_EQ(failureExplanation(APIError::rateLimited(1).withHost(host)).toStdString(),
              "tracker.example asked us to slow down. Try again in 1 second.");
    EXPECT_EQ(failureExplanation(APIError::rateLimited(2).withHost(host)).toStdString(),
              "tracker.example asked us to slow down. Try again in 2 seconds.");
    EXPECT_EQ(failureExplanation(APIError::rateLimited(0).withHost(host)).toStdString(),
              "tracker.example asked us to slow down. Try again in 0 seconds.");

    LoadFailureView view(LoadFailureView::Style::banner, QStringLiteral("Couldn't load the tasks"));
    view.setError(APIError::rateLimited(1));
    EXPECT_EQ(view.explanationLabel()->text().toStdString(),
              "The server asked us to slow down. Try again in 1 second.");
}
