#include "tests/support/EventLoop.h"
#include "tests/views/settings/SettingsFixture.h"
#include "views/settings/GeneralSettingsView.h"
#include "views/settings/SettingsForm.h"
#include "views/settings/SettingsSidebarView.h"
#include "views/settings/SettingsSplitViewController.h"
#include "views/settings/SettingsViewModel.h"
#include "views/settings/SettingsWindowController.h"
#include "views/settings/TimeTrackingSettingsView.h"

#include <QAbstractButton>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>

using namespace velmora;

namespace {

class SettingsWindowTest : public test::SettingsFixture {};

TEST_F(SettingsWindowTest, OpensOnGeneralWithItsPageListAndLimits) {
    SettingsWindowController window(environment());
    EXPECT_EQ(window.windowTitle(), "Settings");
    test::drainEvents();
    EXPECT_EQ(window.windowTitle(), "General");
    SettingsSplitViewController* split = window.splitViewController();
    EXPECT_NE(qobject_cast<GeneralSettingsView*>(split->detail()), nullptr);
    EXPECT_EQ(window.minimumSize(), QSize(715, 400));
    EXPECT_EQ(split->sidebar()->width(), 215);
    EXPECT_EQ(split->sidebar()->count(), 3);
    EXPECT_EQ(split->sidebar()->item(1)->text().trimmed(), "Time Tracking");
}

// The page list shows when it has the keyboard's focus: a ring on its current row. Its
// selection looked the same with the focus on a switch of the page, so Tab left no trace there.
TEST_F(SettingsWindowTest, ThePageListShowsTheKeyboardsFocus) {
    SettingsWindowController window(environment());
    window.show();
    test::drainEvents();
    SettingsSidebarView* list = window.splitViewController()->sidebar();
    const QRect row = list->visualItemRect(list->currentItem());
    auto picture = [&] {
        test::drainEvents();
        return list->viewport()->grab(row).toImage();
    };
    list->clearFocus();
    const QImage without = picture();
    list->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(test::waitUntil([&] { return list->hasFocus(); }));
    const QImage with = picture();
    // Pixels that differ to the eye, not by a shade.
    int changed = 0;
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x) {
            const QColor a = with.pixelColor(x, y);
            const QColor b = without.pixelColor(x, y);
            changed += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                           std::abs(a.blue() - b.blue()) >
                       96;
        }
    }
    // A ring around the row, not a pixel or two.
    EXPECT_GT(changed, row.width() + row.height()) << "the focused list looks as it does without the focus";
}

TEST_F(SettingsWindowTest, ARouteSetFromOutsideShowsItsPageOnALaterTurn) {
    SettingsWindowController window(environment());
    test::drainEvents();
    SettingsSplitViewController* split = window.splitViewController();
    split->viewModel().setRoute(SettingsPage::Name::accounts);
    EXPECT_NE(qobject_cast<GeneralSettingsView*>(split->detail()), nullptr); // not inside the assignment
    test::drainEvents();
    EXPECT_EQ(window.windowTitle(), "Accounts");
    EXPECT_EQ(split->sidebar()->currentRow(), 2);

    // Choosing a row is a route too; the same route again rebuilds the page.
    split->sidebar()->setCurrentRow(1);
    test::drainEvents();
    QPointer<QWidget> page = split->detail();
    EXPECT_NE(qobject_cast<TimeTrackingSettingsView*>(page.data()), nullptr);
    split->viewModel().setRoute(SettingsPage::Name::timeTracking);
    test::drainEvents();
    EXPECT_TRUE(page.isNull());
    EXPECT_EQ(window.windowTitle(), "Time Tracking");
    EXPECT_EQ(split->splitter()->count(), 2);
}

TEST_F(SettingsWindowTest, TheFormTracksWhetherItsRowsAreAtTheTop) {
    SettingsViewModel model;
    SettingsForm form(model);
    for (int i = 0; i < 3; ++i)
        form.addSection(QStringLiteral("Section"));
    // The container reached its own scroll area through introspection.
    ASSERT_NE(form.introspectedScrollArea(), nullptr);
    EXPECT_EQ(form.introspectedScrollArea(), form.findChild<QScrollArea*>());

    // At rest the head lies below the top by the form's top margin.
    EXPECT_LE(form.offset(), -SettingsForm::scrolledToTopDistance);
    EXPECT_TRUE(model.scrolledToTop());

    int published = 0;
    QObject::connect(&model, &SettingsViewModel::scrolledToTopChanged, [&](bool) { ++published; });
    form.applyOffset(-19);
    EXPECT_FALSE(model.scrolledToTop());
    EXPECT_TRUE(form.backdropShown());
    form.applyOffset(0);
    form.applyOffset(300);
    EXPECT_EQ(published, 1); // within the range: nothing announced
    form.applyOffset(-20);
    EXPECT_TRUE(model.scrolledToTop());
    EXPECT_FALSE(form.backdropShown());
    form.applyOffset(-25);
    EXPECT_EQ(published, 2);
}

TEST_F(SettingsWindowTest, TheShadowLineFollowsTheColourSchemeAndTheWindowState) {
    SettingsViewModel model;
    SettingsForm form(model);
    EXPECT_EQ(form.shadowLineStartOpacity(), 0.17);
    EXPECT_EQ(form.shadowLineHeight(), 1); // not the active window
    QPalette dark = form.palette();
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, Qt::white);
    form.setPalette(dark);
    EXPECT_EQ(form.shadowLineStartOpacity(), 1.0);
    EXPECT_EQ(form.shadowLineHeight(), 1);
}

TEST_F(SettingsWindowTest, AFirstStartShowsTheWholeGeneralPageOnCommonScreens) {
    for (const QRect screen : {QRect(0, 0, 1440, 900), QRect(0, 0, 1024, 768)}) {
        const QSize size = SettingsWindowController::firstStartSize(screen);
        EXPECT_GE(size.width(), 715);
        EXPECT_LE(size.height(), screen.height() - 40) << "the title bar stays on screen";
        SettingsWindowController window(environment());
        window.resize(size);
        window.show();
        test::drainEvents();
        auto* scroll = window.splitViewController()->detail()->findChild<QScrollArea*>();
        ASSERT_NE(scroll, nullptr);
        EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0)
            << "the General page needs no scrolling at " << size.width() << "x" << size.height();
    }
    EXPECT_EQ(SettingsWindowController::firstStartSize(QRect(0, 0, 640, 480)), QSize(600, 420))
        << "a screen narrower than the usual minimum gets a window within it";
}

TEST_F(SettingsWindowTest, EscapeAndCtrlWCloseTheWindowFromAnyRow) {
    SettingsWindowController window(environment());
    QSignalSpy closed(&window, &SettingsWindowController::closed);
    window.show();
    test::drainEvents();
    QWidget* row = window.splitViewController()->sidebar();
    QTest::keyClick(row, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(closed.count(), 1);

    window.show();
    test::drainEvents();
    auto* check = window.splitViewController()->detail()->findChild<QAbstractButton*>();
    ASSERT_NE(check, nullptr);
    QTest::keyClick(check, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(closed.count(), 2);
}

TEST_F(SettingsWindowTest, TheFrameIsWrittenOnceAMoveRestsAndWhenTheWindowCloses) {
    const QString file = environment().windowStateFile;
    const auto stored = [&] {
        return QSettings(file, QSettings::NativeFormat)
            .value(QLatin1String(SettingsWindowController::frameAutosaveName))
            .toByteArray();
    };
    SettingsWindowController window(environment());
    window.show();
    test::drainEvents();
    for (int i = 0; i < 30; ++i) {
        window.move(100 + i, 80 + i);
        test::drainEvents();
    }
    EXPECT_TRUE(stored().isEmpty()) << "nothing written while the window is being dragged";
    ASSERT_TRUE(test::waitUntil([&] { return !stored().isEmpty(); }, 3000));
    EXPECT_EQ(stored(), window.saveGeometry());

    window.resize(800, 500);
    window.close();
    EXPECT_EQ(stored(), window.saveGeometry()) << "closing writes at once";
}

} // namespace
