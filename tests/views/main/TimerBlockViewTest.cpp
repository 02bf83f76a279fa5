#include "views/main/TimerBlockView.h"

#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "views/main/TimeEditFieldView.h"
#include "views/main/TimeLabel.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSet>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>

#include <algorithm>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

class TimerBlockViewTest : public ::testing::Test {
protected:
    TimerBlockViewTest() : timer(QStringLiteral("ACCOUNT"), env.environment()), block(timer) { block.show(); }

    // Clicks the time, types `text` and presses Return.
    void edit(const QString& text) {
        auto* field = block.timeField();
        QTest::mouseClick(field->elapsedLabel(), Qt::LeftButton);
        ASSERT_TRUE(field->isEditing());
        field->textField()->selectAll();
        QTest::keyClicks(field->textField(), text);
        QTest::keyClick(field->textField(), Qt::Key_Return);
    }

    StateTestEnvironment env;
    TimerViewModel timer;
    TimerBlockView block;
};

} // namespace

TEST_F(TimerBlockViewTest, AnIdleTimerShowsTheClockZeroAndNoButtons) {
    EXPECT_TRUE(block.showsClock());
    EXPECT_EQ(block.timeField()->elapsedLabel()->text(), QStringLiteral("00:00:00"));
    EXPECT_FALSE(block.stopButton()->isVisible());
    EXPECT_FALSE(block.pauseButton()->isVisible());
    EXPECT_FALSE(block.playButton()->isVisible());
}

TEST_F(TimerBlockViewTest, TheButtonsAndTheReferenceFollowTheTimer) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("7")));
    EXPECT_FALSE(block.showsClock());
    EXPECT_EQ(block.referenceLabel()->text(), QStringLiteral("KEY-7"));
    EXPECT_TRUE(block.stopButton()->isVisible());
    EXPECT_TRUE(block.pauseButton()->isVisible());
    EXPECT_FALSE(block.playButton()->isVisible());

    QTest::mouseClick(block.pauseButton(), Qt::LeftButton);
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    EXPECT_FALSE(block.pauseButton()->isVisible());
    EXPECT_TRUE(block.playButton()->isVisible());
    QTest::mouseClick(block.playButton(), Qt::LeftButton);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);

    // Stopping pauses the timer (the booking sheet opens from the sidebar).
    QTest::mouseClick(block.stopButton(), Qt::LeftButton);
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);

    Issue bare = makeIssue(QStringLiteral("8"));
    bare.reference.reset();
    timer.start(makeProject(QStringLiteral("p")), bare);
    EXPECT_TRUE(block.showsClock());
}

TEST_F(TimerBlockViewTest, TheBackgroundDependsOnTheAppearance) {
    QPalette light = block.palette();
    light.setColor(QPalette::Window, Qt::white);
    light.setColor(QPalette::WindowText, Qt::black);
    block.setPalette(light);
    EXPECT_NEAR(block.backgroundColor().alphaF(), 0.3 * 0.2, 0.01);
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, Qt::white);
    block.setPalette(dark);
    EXPECT_NEAR(block.backgroundColor().alphaF(), 0.3 * 0.5, 0.01);
}

TEST_F(TimerBlockViewTest, TypedClockTimeReplacesTheElapsedTime) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("1")));
    env.clock->advance(12'400);
    QTest::mouseClick(block.timeField()->elapsedLabel(), Qt::LeftButton);
    // The field starts at the elapsed time in whole seconds.
    EXPECT_EQ(block.timeField()->value(), 12);
    EXPECT_EQ(block.timeField()->textField()->text(), QStringLiteral("00:00:12"));
    // Return with the value unchanged leaves the timer alone (no rounding to 12 s).
    block.timeField()->commitEdit();
    EXPECT_DOUBLE_EQ(timer.elapsed(), 12.4);

    edit(QStringLiteral("1:30"));
    EXPECT_FALSE(block.timeField()->isEditing());
    EXPECT_EQ(timer.elapsed(), 5400);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_EQ(block.timeField()->elapsedLabel()->text(), QStringLiteral("01:30:00"));
}

TEST_F(TimerBlockViewTest, TextThatIsNoTimeLeavesTheTimerAlone) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("1")));
    env.clock->advance(600'000);
    for (const QString& text : {QStringLiteral("1:75"), QStringLiteral("abc"), QStringLiteral("1h")}) {
        edit(text);
        EXPECT_EQ(timer.elapsed(), 600) << text.toStdString();
        EXPECT_EQ(timer.state(), TimerViewModel::State::active);
        EXPECT_EQ(timer.startedAt(), env.clock->now().addSecs(-600));
        EXPECT_FALSE(block.timeField()->isEditing());
    }
}

TEST_F(TimerBlockViewTest, LeavingTheFieldCommitsLikeReturn) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("1")));
    QLineEdit other;
    other.show();
    QTest::mouseClick(block.timeField()->elapsedLabel(), Qt::LeftButton);
    block.timeField()->textField()->selectAll();
    QTest::keyClicks(block.timeField()->textField(), QStringLiteral("2:00:30"));
    QEvent focusOut(QEvent::FocusOut);
    QCoreApplication::sendEvent(block.timeField()->textField(), &focusOut);
    EXPECT_FALSE(block.timeField()->isEditing());
    EXPECT_EQ(timer.elapsed(), 7230);
}

// Another window taking the keyboard, or the field's own menu, is no leaving: a time half typed
// ("0:0" on the way to "0:05:00") is not taken for the timer's while the user looks elsewhere.
TEST_F(TimerBlockViewTest, AnotherWindowOrAMenuLeavesTheEditAsItIs) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("1")));
    env.clock->advance(7'200'000);
    QLineEdit other;
    other.show();
    const auto activate = [](QWidget* window) {
        window->activateWindow();
        return QTest::qWaitForWindowActive(window);
    };
    ASSERT_TRUE(activate(&block));
    QTest::mouseClick(block.timeField()->elapsedLabel(), Qt::LeftButton);
    block.timeField()->textField()->selectAll();
    QTest::keyClicks(block.timeField()->textField(), QStringLiteral("0:0"));
    ASSERT_TRUE(activate(&other));
    EXPECT_TRUE(block.timeField()->isEditing());
    EXPECT_EQ(timer.elapsed(), 7200) << "the half-typed time was taken";
    ASSERT_TRUE(activate(&block));
    QFocusEvent menu(QEvent::FocusOut, Qt::PopupFocusReason);
    QCoreApplication::sendEvent(block.timeField()->textField(), &menu);
    EXPECT_TRUE(block.timeField()->isEditing());
    QTest::keyClicks(block.timeField()->textField(), QStringLiteral("5:00"));
    QTest::keyClick(block.timeField()->textField(), Qt::Key_Return);
    EXPECT_EQ(timer.elapsed(), 300);

    // Left open while the time was booked from elsewhere (the tray's Stop): it goes with the time.
    QTest::mouseClick(block.timeField()->elapsedLabel(), Qt::LeftButton);
    QTest::keyClicks(block.timeField()->textField(), QStringLiteral("1:00:00"));
    ASSERT_TRUE(activate(&other));
    timer.cancel();
    timer.reset();
    EXPECT_FALSE(block.timeField()->isEditing());
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("2")));
    EXPECT_EQ(timer.elapsed(), 0) << "time typed for the booked task reached the next";
}

// The time is edited from the keyboard too: Tab reaches it, Return, Space or F2 opens
// its field (and a figure typed on it starts the field with that figure), Return takes
// the new time, Escape leaves the time as it was, and either way the focus stays on it.
TEST_F(TimerBlockViewTest, TheKeyboardReachesAndEditsTheTime) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("1")));
    env.clock->advance(600'000);
    block.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&block));
    TimeEditFieldView* field = block.timeField();
    TimeLabel* time = field->elapsedLabel();

    block.stopButton()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(block.stopButton(), Qt::Key_Tab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), time) << "Shift+Tab from the first button reaches the time";

    QTest::keyClick(time, Qt::Key_Return);
    ASSERT_TRUE(field->isEditing());
    EXPECT_EQ(QApplication::focusWidget(), field->textField());
    QTest::keyClicks(field->textField(), QStringLiteral("1:30"));
    QTest::keyClick(field->textField(), Qt::Key_Return);
    EXPECT_FALSE(field->isEditing());
    EXPECT_EQ(timer.elapsed(), 5400);
    EXPECT_EQ(QApplication::focusWidget(), time) << "the focus stays where the user was";

    for (const Qt::Key key : {Qt::Key_F2, Qt::Key_Space}) {
        QTest::keyClick(time, key);
        ASSERT_TRUE(field->isEditing()) << key;
        QTest::keyClicks(field->textField(), QStringLiteral("9"));
        QTest::keyClick(field->textField(), Qt::Key_Escape);
        EXPECT_FALSE(field->isEditing());
        EXPECT_EQ(timer.elapsed(), 5400) << "Escape takes nothing";
        EXPECT_EQ(QApplication::focusWidget(), time);
    }

    QTest::keyClick(time, Qt::Key_2);
    ASSERT_TRUE(field->isEditing());
    EXPECT_EQ(field->textField()->text(), QStringLiteral("2"));
    QTest::keyClick(field->textField(), Qt::Key_Enter);
    EXPECT_EQ(timer.elapsed(), 7200);
}

TEST_F(TimerBlockViewTest, TheShortStyleShowsHoursAndMinutes) {
    EXPECT_EQ(timer.shortFormatter().string(3725), QStringLiteral("01:02"));
}

// The clock text follows the timer's own seconds, on the timer's clock, and nothing is
// kept scheduled while the timer does not run.
TEST_F(TimerBlockViewTest, TheClockTicksOnTheTimersSecondsOnlyWhileItRuns) {
    TimeLabel* label = block.timeField()->elapsedLabel();
    env.clock->advance(5000);
    EXPECT_EQ(env.clock->scheduledCount(), 0U) << "an idle timer schedules nothing";

    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("7")));
    int changes = 0;
    QString shown = label->text();
    for (int step = 0; step < 30; ++step) {
        env.clock->advance(100);
        if (label->text() != shown) {
            ++changes;
            shown = label->text();
        }
        EXPECT_LE(env.clock->scheduledCount(), 1U);
    }
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(shown, QStringLiteral("00:00:03"));

    timer.pause();
    env.clock->advance(2000);
    EXPECT_EQ(env.clock->scheduledCount(), 0U) << "a paused timer schedules nothing";
    env.clock->advance(60000);
    EXPECT_EQ(label->text(), QStringLiteral("00:00:03"));

    // Back from a pause the seconds count from the time gathered, not from the clock's
    // whole seconds.
    env.clock->advance(400);
    timer.resume();
    env.clock->advance(999);
    EXPECT_EQ(label->text(), QStringLiteral("00:00:03"));
    env.clock->advance(1);
    EXPECT_EQ(label->text(), QStringLiteral("00:00:04"));

    timer.setDuration(7200);
    EXPECT_EQ(label->text(), QStringLiteral("02:00:00")) << "a new duration shows at once";
    env.clock->advance(1000);
    EXPECT_EQ(label->text(), QStringLiteral("02:00:01"));
}

namespace {

// Counts the layout requests that reach the widgets it watches.
class LayoutRequests : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::LayoutRequest) {
            ++count;
        }
        return false;
    }
};

} // namespace

// A running timer's new text each second is a repaint of the clock alone: asking for a
// new layout would have the whole window laid out every second, for as long as it runs.
TEST_F(TimerBlockViewTest, EachSecondRedrawsTheClockWithoutLayingOutTheWindow) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("7")));
    drainEvents();
    LayoutRequests requests;
    for (QWidget* widget : block.findChildren<QWidget*>()) {
        widget->installEventFilter(&requests);
    }
    block.installEventFilter(&requests);
    TimeLabel* label = block.timeField()->elapsedLabel();
    for (int second = 1; second <= 3; ++second) {
        env.clock->advance(1000);
        drainEvents();
        EXPECT_EQ(label->text(), QStringLiteral("00:00:0%1").arg(second));
    }
    EXPECT_EQ(requests.count, 0);
    // Hours past a hundred still fit the clock's room.
    timer.setDuration(360000);
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
}

namespace {

// The pixels of `image` that are not transparent.
QSet<QPoint> drawnPixels(const QImage& image) {
    QSet<QPoint> drawn;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) != 0) {
                drawn.insert(QPoint(x, y));
            }
        }
    }
    return drawn;
}

// The pixels in which `a` and `b` differ.
QSet<QPoint> differentPixels(const QImage& a, const QImage& b) {
    QSet<QPoint> different;
    for (int y = 0; y < std::min(a.height(), b.height()); ++y) {
        for (int x = 0; x < std::min(a.width(), b.width()); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y)) {
                different.insert(QPoint(x, y));
            }
        }
    }
    return different;
}

// What `widget` draws of its own, on nothing.
QImage grabbed(QWidget* widget) {
    QImage image(widget->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

} // namespace

// The time reached by Tab shows where the keyboard is and still draws a line of plain
// text at each second: a label that takes the focus makes its text a document, laid out
// again at every tick for as long as the timer runs.
TEST_F(TimerBlockViewTest, TheFocusedTimeTicksAsPlainTextWithItsRingClearOfIt) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("7")));
    block.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&block));
    QWidget* time = block.timeField()->elapsedLabel();
    block.stopButton()->setFocus(Qt::TabFocusReason);
    ASSERT_FALSE(time->hasFocus());
    const QImage unfocused = grabbed(time);

    QTest::keyClick(block.stopButton(), Qt::Key_Tab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), time);
    for (int second = 1; second <= 2; ++second) {
        env.clock->advance(1000);
        drainEvents();
        time->repaint();
    }
    for (QObject* part : time->findChildren<QObject*>()) {
        EXPECT_EQ(qobject_cast<QTextDocument*>(part), nullptr) << "the time is laid out as a document";
        EXPECT_STRNE(part->metaObject()->className(), "QWidgetTextControl");
    }

    // The ring is drawn, and none of it over the text, hundreds of hours included.
    timer.setDuration(0);
    const QSet<QPoint> ring = differentPixels(unfocused, grabbed(time));
    EXPECT_FALSE(ring.isEmpty()) << "no focus ring";
    for (const double duration : {0.0, 999.0 * 3600 + 59 * 60 + 59}) {
        timer.setDuration(duration);
        const QSet<QPoint> text = drawnPixels(grabbed(time)) - ring;
        EXPECT_FALSE(text.isEmpty()) << "no time drawn";
        // Two pixels at least between them: a single one between two antialiased edges
        // reads as touching.
        const auto near = [&](const QPoint& p) {
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    if (ring.contains(p + QPoint(dx, dy))) {
                        return true;
                    }
                }
            }
            return false;
        };
        EXPECT_TRUE(std::none_of(text.begin(), text.end(), near))
            << static_cast<TimeLabel*>(time)->text().toStdString() << ": the time touches the ring";
    }
}

// A screen reader on the time hears what it is, how to change it, and the time itself.
TEST_F(TimerBlockViewTest, AScreenReaderReadsTheTime) {
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("7")));
    env.clock->advance(61'000);
    QAccessibleInterface* time = QAccessible::queryAccessibleInterface(block.timeField()->elapsedLabel());
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->role(), QAccessible::StaticText);
    EXPECT_EQ(time->text(QAccessible::Name), QStringLiteral("Tracked time"));
    EXPECT_EQ(time->text(QAccessible::Description), QStringLiteral("Press Return to change the time"));
    EXPECT_EQ(time->text(QAccessible::Value), QStringLiteral("00:01:01"));
    EXPECT_TRUE(time->state().focusable);
}
