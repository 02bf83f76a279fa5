#include "ShellFixture.h"

#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "platform/async/BootClock.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecords.h"
#include "state/BookingRecovery.h"
#include "state/TimerSnapshot.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestData.h"
#include "tests/views/main/AlertTexts.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingStatusView.h"
#include "views/main/BookingTexts.h"
#include "views/main/ProviderSelectorView.h"
#include "views/main/RateLimitView.h"
#include "views/main/SidebarSplitViewController.h"
#include "views/main/SidebarView.h"
#include "views/main/TimerBlockView.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QAbstractButton>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTest>
#include <QTextLayout>
#include <QTimeZone>
#include <QToolBar>

#include <algorithm>

using namespace velmora;
using namespace velmora::test;

namespace {
class ApplicationWindowControllerTest : public ShellFixture {
protected:
    ApplicationWindowController& openWindow() {
        account = addAccount(QStringLiteral("Alpha"));
        launch();
        EXPECT_NE(windows().applicationWindow(), nullptr);
        return *windows().applicationWindow();
    }
    QString key() const { return uuidText(*account.id()); }
    std::optional<TimerSnapshot> savedTimer() { return snapshots->value<TimerSnapshot>(key()); }
    void startTimer(ApplicationWindowController& window) {
        window.timerViewModel()->start(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")));
    }
    static void pump() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
    }

    YouTrackProvider account;
};
} // namespace

TEST_F(ApplicationWindowControllerTest, OpensWithTheSidebarTheCalendarAndItsToolbar) {
    auto& window = openWindow();
    pump();
    // 812 by 400 where the screen holds it (this test's screen is smaller).
    EXPECT_EQ(window.minimumSize(), ApplicationWindowController::minimumSizeWithin(
                                        QGuiApplication::primaryScreen()->availableGeometry()));
    auto* split = window.splitViewController();
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->count(), 2);
    EXPECT_EQ(split->sidebarView()->width(), 220);
    // 592 wide where the screen has room beside the sidebar; what it has otherwise.
    EXPECT_EQ(window.contentSplitItem()->minimumWidth(),
              std::min(592, window.minimumSize().width() - 220 - split->handleWidth()));
    ASSERT_NE(window.toolbar(), nullptr);
    EXPECT_EQ(window.toolbar()->objectName(), ToolbarIdentifier::applicationCalendar);
    EXPECT_EQ(window.applicationViewModel()->projects().size(), 2u) << "the projects were loaded";
}

TEST_F(ApplicationWindowControllerTest, RoutesSwapTheDetailPaneOnlyWhenTheyChange) {
    auto& window = openWindow();
    pump();
    const Project project = makeProject(QStringLiteral("p1"));
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));
    QWidget* projectPane = window.contentSplitItem();
    EXPECT_EQ(projectPane->objectName(), "ProjectView");
    EXPECT_EQ(window.toolbar()->objectName(), ToolbarIdentifier::applicationProject);

    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));
    EXPECT_EQ(window.contentSplitItem(), projectPane) << "the same project is not built again";

    window.applicationViewModel()->setRoute(ApplicationRoute::calendar());
    EXPECT_EQ(window.contentSplitItem()->objectName(), "CalendarView");
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p2"))));
    EXPECT_EQ(window.splitViewController()->count(), 2);
    EXPECT_EQ(window.toolbar()->objectName(), ToolbarIdentifier::applicationProject);
}

TEST_F(ApplicationWindowControllerTest, ARateLimitOfThisAccountShowsTheScreenUntilRetry) {
    auto& window = openWindow();
    pump();
    const Project project = makeProject(QStringLiteral("p2"));
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));

    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited,
                                             RateLimitInfo{QUuid::createUuid(), 30});
    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited, QStringLiteral("junk"));
    EXPECT_NE(window.splitViewController(), nullptr) << "another account's limit changes nothing";

    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited,
                                             RateLimitInfo{*account.id(), 30});
    EXPECT_EQ(window.splitViewController(), nullptr);
    EXPECT_EQ(window.toolbar(), nullptr);
    EXPECT_FALSE(window.previousRoute().has_value());

    auto* screen = window.centralWidget()->findChild<RateLimitView*>();
    ASSERT_NE(screen, nullptr);
    // The way back opens once the wait has been counted down.
    screen->bringMeBackButton()->click();
    pump();
    EXPECT_EQ(window.splitViewController(), nullptr);
    while (screen->delay() > 0) {
        screen->tick();
    }
    screen->bringMeBackButton()->click();
    pump();
    ASSERT_NE(window.splitViewController(), nullptr);
    EXPECT_EQ(window.contentSplitItem()->objectName(), "ProjectView")
        << "the project comes back, not the calendar";
    EXPECT_EQ(window.previousRoute(), ApplicationRoute::forProject(project));
}

TEST_F(ApplicationWindowControllerTest, ClosingPausesOrKeepsTheTimerAsTheUserSetIt) {
    settings.setStopTimeTrackingWhenClosed(true);
    auto& window = openWindow();
    startTimer(window);
    window.close();
    ASSERT_TRUE(savedTimer().has_value());
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::paused);
    delegate.reset();

    settings.setStopTimeTrackingWhenClosed(false);
    launch();
    ApplicationWindowController* second = windows().applicationWindow();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->timerViewModel()->state(), TimerViewModel::State::paused)
        << "restored from the snapshot";
    second->timerViewModel()->resume();
    second->close();
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::active);
}

TEST_F(ApplicationWindowControllerTest, SwitchingAccountsUsesTheSwitchingSetting) {
    settings.setStopTimeTrackingWhenClosed(true);
    settings.setStopTimeTrackingWhenSwitching(false);
    auto& window = openWindow();
    const auto other = addAccount(QStringLiteral("Beta"));
    startTimer(window);
    windows().switchProvider(other, false);
    EXPECT_TRUE(window.hasClosed());
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::active);

    settings.setStopTimeTrackingWhenSwitching(true);
    windows().switchProvider(account, false);
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(windows().applicationWindow()->timerViewModel()->state(), TimerViewModel::State::active);
    windows().switchProvider(other, false);
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::paused);
}

TEST_F(ApplicationWindowControllerTest, AnIdleTimerLeavesNoSnapshotBehind) {
    auto& window = openWindow();
    startTimer(window);
    window.timerViewModel()->reset();
    snapshots->save(TimerSnapshot{}, key());
    window.close();
    EXPECT_FALSE(snapshots->value(SnapshotKind::Timers, key()).has_value());
}

TEST_F(ApplicationWindowControllerTest, TheWindowReopensWhereItWasAndNeverSmallerThanItsMinimum) {
    auto& window = openWindow();
    // Within this test's screen, which is smaller than the usual minimum allows.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize least = ApplicationWindowController::minimumSizeWithin(available);
    const QRect kept(available.topLeft() + QPoint(10, 20), least + QSize(0, 30));
    window.setGeometry(kept);
    window.close();
    delegate.reset();
    launch();
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(windows().applicationWindow()->geometry(), kept);

    QSettings(dir.filePath(QStringLiteral("windows.conf")), QSettings::NativeFormat)
        .setValue(ApplicationWindowController::frameAutosaveName, QByteArray("garbage"));
    delegate.reset();
    launch();
    EXPECT_GE(windows().applicationWindow()->width(), least.width());
    EXPECT_GE(windows().applicationWindow()->height(), least.height());
    windows().applicationWindow()->resize(100, 100);
    EXPECT_EQ(windows().applicationWindow()->size(), least) << "never smaller";
}

TEST_F(ApplicationWindowControllerTest, AFirstStartOpensLargeEnoughForItsContentWithinTheScreen) {
    using W = ApplicationWindowController;
    EXPECT_EQ(W::firstStartSize(QRect(0, 0, 1440, 900)), QSize(1100, 720));
    const QSize small = W::firstStartSize(QRect(0, 0, 1024, 768));
    EXPECT_GE(small.width(), 900) << "room for the sidebar and a task list with its detail";
    EXPECT_LE(small.width(), 1024 - 40);
    EXPECT_GE(small.height(), 600);
    EXPECT_LE(small.height(), 768 - 60) << "the title bar and the bottom edge stay on screen";

    // With nothing saved the window opens at that size on the screen it has.
    auto& window = openWindow();
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(window.size(), W::firstStartSize(available));
}

// A screen narrower than the window's usual minimum still holds the whole window: a
// small screen, or a large one at a high scale (1,600 pixels at scale 2 are 800).
TEST_F(ApplicationWindowControllerTest, TheWindowOpensWithinTheScreenAtAnyScale) {
    using W = ApplicationWindowController;
    for (const double scale : {1.0, 1.25, 1.5, 2.0, 2.5, 3.0}) {
        // A 1,600 by 1,000 screen with a 32-pixel panel, in the window's own units.
        const QRect available(0, qRound(32 / scale), qRound(1600 / scale), qRound(968 / scale));
        const QSize size = W::firstStartSize(available);
        EXPECT_LE(size.width(), available.width() - 40) << "scale " << scale;
        EXPECT_LE(size.height(), available.height() - 60) << "scale " << scale;
        const QSize minimum = W::minimumSizeWithin(available);
        EXPECT_LE(minimum.width(), size.width()) << "scale " << scale;
        EXPECT_LE(minimum.height(), size.height()) << "scale " << scale;
        if (available.width() >= 852 && available.height() >= 460) {
            EXPECT_EQ(minimum, QSize(W::minimumWidth, W::minimumHeight)) << "the usual minimum where it fits";
        }
        // A frame kept from a larger screen, or from a smaller scale, comes back within this one.
        const QRect kept = W::placedWithin(QRect(300, 200, 1400, 900), available);
        EXPECT_TRUE(available.contains(kept)) << "scale " << scale;
        EXPECT_GE(kept.width(), minimum.width());
    }
    // A frame that fits stays where it was.
    EXPECT_EQ(W::placedWithin(QRect(40, 50, 1000, 700), QRect(0, 0, 1440, 900)), QRect(40, 50, 1000, 700));
}

TEST_F(ApplicationWindowControllerTest, AProjectSuppliesTheToolbarAndItsSearchFieldSurvivesRebuilds) {
    service->tasks = makeIssues(3);
    settings.setShowUnresolvedTasksByDefault(false);
    settings.setShowMyTasksByDefault(false);
    auto& window = openWindow();
    pump();
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p1"))));
    pump();
    pump();
    ASSERT_NE(window.toolbar(), nullptr);
    QStringList items;
    for (QAction* action : window.toolbar()->actions()) {
        items << action->objectName();
    }
    EXPECT_TRUE(items.contains(ToolbarItemIdentifier::startTimeTracking)) << items.join(',').toStdString();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("3 issues — Project p1"));

    auto* search = window.toolbar()->findChild<QLineEdit*>(ToolbarItemIdentifier::searchItem);
    ASSERT_NE(search, nullptr);
    search->setText(QStringLiteral("needle"));
    window.updateToolbar();
    window.updateToolbar();
    pump();
    EXPECT_TRUE(window.toolbar()->isAncestorOf(search));
    EXPECT_EQ(search->text(), "needle");
}

// The title shows a project's name apart from what stands around it, whatever its direction: a
// Hebrew name ending in a number pulled the title's own "12 issues" into its run, and the title
// read "Pay 12 — 900 100 ו issues". It does so with no invisible marks, which tools that match
// window titles do not type.
TEST_F(ApplicationWindowControllerTest, TheTitleKeepsAProjectsNameApartFromItsNeighbours) {
    service->tasks = makeIssues(12);
    settings.setShowUnresolvedTasksByDefault(false);
    settings.setShowMyTasksByDefault(false);
    auto& window = openWindow();
    pump();
    Project project = makeProject(QStringLiteral("p1"));
    project.name = QStringLiteral("\u05EA\u05E9\u05DC\u05D5\u05DD 100 900");
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));
    pump();
    pump();
    const QString title = window.windowTitle();
    for (const QChar c : title) {
        EXPECT_NE(c.category(), QChar::Other_Format)
            << "an invisible mark U+" << QString::number(c.unicode(), 16).toStdString()
            << ": tools that match titles miss it";
    }
    const qsizetype name = title.indexOf(project.name);
    const qsizetype count = title.indexOf(QStringLiteral("12 issues"));
    ASSERT_GE(name, 0) << title.toStdString();
    ASSERT_GE(count, 0) << title.toStdString();

    // Laid out left to right, and in the direction the title's own letters give it, as title
    // bars do: the count reads whole and in its order, apart from the name.
    for (const auto direction : {Qt::LeftToRight, Qt::LayoutDirectionAuto}) {
        QTextLayout layout(title);
        QTextOption option;
        option.setTextDirection(direction);
        layout.setTextOption(option);
        layout.beginLayout();
        const QTextLine line = layout.createLine();
        layout.endLayout();
        const auto span = [&line](qsizetype from, qsizetype length) {
            qreal least = line.cursorToX(static_cast<int>(from));
            qreal most = least;
            for (qsizetype i = from; i <= from + length; ++i) {
                least = std::min(least, line.cursorToX(static_cast<int>(i)));
                most = std::max(most, line.cursorToX(static_cast<int>(i)));
            }
            return std::pair(least, most);
        };
        const auto [nameLeft, nameRight] = span(name, project.name.size());
        const auto [countLeft, countRight] = span(count, 9);
        EXPECT_TRUE(countRight <= nameLeft + 0.5 || countLeft >= nameRight - 0.5)
            << "the count inside the name's run in " << title.toStdString();
        qreal previous = line.cursorToX(static_cast<int>(count));
        for (qsizetype i = count + 1; i < count + 9; ++i) {
            const qreal x = line.cursorToX(static_cast<int>(i));
            EXPECT_GE(x, previous) << "\"12 issues\" at " << i - count << " in " << title.toStdString();
            previous = x;
        }
    }
}

// A list that failed to load has no count to open the title with: the title still opens with the
// app's words, not with a right-to-left name ("Velmora — 2026 אתר — 01:30 ⏱" in a title bar).
TEST_F(ApplicationWindowControllerTest, ATitleOpensInTheAppsDirectionWhenTheListFailed) {
    service->holdPages = true;
    auto& window = openWindow();
    startTimer(window);
    Project project = makeProject(QStringLiteral("p1"));
    project.name =
        namedTestText(QStringLiteral("outside-text/names-cut-in-sentences.txt"), QStringLiteral("opening"));
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));
    ASSERT_TRUE(waitUntil([&] { return service->waitingPages() > 0; }));
    service->failPage(service->pageRequests.size() - 1, APIError::failure(APIError::Cause::Unreachable));
    pump();
    const QString title = window.windowTitle();
    EXPECT_TRUE(title.contains(project.name) && !title.isRightToLeft()) << title.toStdString();
}

// Where no tray shows the running time, the title does; a view's own title replaces
// only the view's part of it.
TEST_F(ApplicationWindowControllerTest, TheRunningTimeStaysInTheTitleAcrossViewChanges) {
    auto& window = openWindow();
    pump();
    startTimer(window);
    pump();
    const QString running = QStringLiteral("⏱ ");
    ASSERT_TRUE(window.windowTitle().startsWith(running)) << window.windowTitle().toStdString();
    const QString time = window.windowTitle().section(QStringLiteral(" — "), 0, 0);

    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p1"))));
    pump();
    pump();
    EXPECT_TRUE(window.windowTitle().endsWith(QStringLiteral(" — Project p1")))
        << window.windowTitle().toStdString();
    EXPECT_TRUE(window.windowTitle().startsWith(time + QStringLiteral(" — ")))
        << window.windowTitle().toStdString();
    window.applicationViewModel()->setRoute(ApplicationRoute::calendar());
    pump();
    pump();
    EXPECT_TRUE(window.windowTitle().startsWith(time + QStringLiteral(" — ")))
        << window.windowTitle().toStdString();
    EXPECT_EQ(window.windowTitle().count(running), 1);

    window.timerViewModel()->reset();
    pump();
    EXPECT_FALSE(window.windowTitle().contains(running)) << window.windowTitle().toStdString();
}

TEST_F(ApplicationWindowControllerTest, TheSidebarsSwitcherSwitchesAfterTheTimerWasSettled) {
    settings.setStopTimeTrackingWhenSwitching(true);
    settings.setChangeDefaultAccountAutomatically(false);
    auto& window = openWindow();
    const auto other = addAccount(QStringLiteral("Beta"));
    pump();
    startTimer(window);

    auto* sidebar = window.findChild<SidebarView*>();
    ASSERT_NE(sidebar, nullptr);
    sidebar->toggleProviderSelector();
    auto* sheet = window.findChild<ProviderSelectorView*>();
    ASSERT_NE(sheet, nullptr);
    ASSERT_EQ(sheet->rows().size(), 2u);
    // Rows in order of name: Alpha, Beta.
    sheet->rows()[1]->click();
    pump();

    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(providerName(windows().applicationWindow()->provider()), QStringLiteral("Beta"));
    // The old window's timer was paused and saved before the new content was made.
    ASSERT_TRUE(savedTimer().has_value());
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::paused);
    EXPECT_EQ(settings.defaultAccount(), uuidText(*account.id())) << "the default follows only when allowed";
    Q_UNUSED(other);
}

// A rate limit met by a read in the background while the user types a booking: the
// sheet and its text stay, and the screen comes once the sheet has closed, with what
// is left of the wait.
TEST_F(ApplicationWindowControllerTest, ARateLimitWaitsForTheOpenBookingSheet) {
    auto& window = openWindow();
    window.show();
    pump();
    ScriptedWorkLogForm form(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")), 0);
    QPointer<BookTimeView> sheet = new BookTimeView(form, *window.timerViewModel(), &window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->open();
    pump();
    form.editor->setPlainText(QStringLiteral("Half a day of review"));
    sheet->durationField()->setText(QStringLiteral("2h"));

    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited,
                                             RateLimitInfo{*account.id(), 30});
    pump();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(form.editor->toPlainText(), QStringLiteral("Half a day of review"));
    EXPECT_EQ(sheet->durationField()->text(), QStringLiteral("2h"));
    EXPECT_NE(window.splitViewController(), nullptr) << "the content stays while the sheet is open";

    sheet->cancel();
    ASSERT_TRUE(waitUntil([&] { return window.splitViewController() == nullptr; }, 2000));
    auto* screen = window.centralWidget()->findChild<RateLimitView*>();
    ASSERT_NE(screen, nullptr);
    EXPECT_GT(screen->delay(), 0);
    EXPECT_LE(screen->delay(), 30);
}

// A booking whose note cannot be written (the disk is full) is told of once, by the sheet
// that saved it: one alert, which has the keyboard.
TEST_F(ApplicationWindowControllerTest, ASaveTheDiskRefusesIsToldInOneAlert) {
    auto& window = openWindow();
    window.show();
    pump();
    snapshots->flush();
    ScriptedWorkLogForm form(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")), 5400);
    QPointer<BookTimeView> sheet = new BookTimeView(form, *window.timerViewModel(), &window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->open();
    pump();
    {
        FileSizeLimit full(static_cast<rlim_t>(QFileInfo(snapshotPath()).size()));
        ASSERT_TRUE(full.active());
        sheet->save();
        ASSERT_TRUE(waitUntil([&] { return sheet && sheet->alert() != nullptr; }));
        drainEvents();
        delegate->bookingRecords().settle();
        drainEvents();
    }
    std::vector<QMessageBox*> shown;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            shown.push_back(box);
        }
    }
    ASSERT_EQ(shown.size(), 1u) << "the same failure told twice";
    EXPECT_EQ(shown.front(), sheet->alert());
    EXPECT_EQ(shown.front()->windowTitle(), BookTimeView::notSentTitle);
    sheet->alert()->close();
    sheet->reject();
}

// A booking an earlier version sent and never saw answered, kept on its timer, with an
// entry in the tracker that may be it: its record takes it over and the time, the window
// asks, and "It Was Saved" settles it.
TEST_F(ApplicationWindowControllerTest, ABookingThatMayHaveBeenSavedIsAskedAboutAsTheWindowOpens) {
    account = addAccount(QStringLiteral("Alpha"));
    const QDateTime sent = QDateTime::currentDateTime().addSecs(-600);
    WorkLogBooking booking{QStringLiteral("7"), sent, 1800, QString()};
    booking.dating = WorkLogBooking::Dating::day;
    booking.sent = sent;
    TimerSnapshot timer{makeProject(QStringLiteral("p1")),
                        makeIssue(QStringLiteral("7")),
                        TimerViewModel::State::paused,
                        1800,
                        std::nullopt,
                        std::nullopt};
    QVariantMap stored = timer.toSnapshot().toMap();
    stored.insert(QStringLiteral("booking"), BookingRecord::encodeBooking(booking));
    snapshots->save(SnapshotKind::Timers, key(), stored);
    // The same minutes that day; the tracker does not say when it was made.
    WorkEntry entry;
    entry.id = QStringLiteral("w9");
    entry.issue = makeIssue(QStringLiteral("7"));
    entry.spentTimeSeconds = 1800;
    entry.started = QDateTime(sent.toUTC().date(), QTime(0, 0), QTimeZone::utc());
    service->workEntries.answer({entry});
    launch();
    auto* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);
    QMessageBox* question = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        question = window->findChild<QMessageBox*>();
        return question != nullptr;
    }));
    EXPECT_TRUE(question->text().startsWith(QStringLiteral("A 30m work log on KEY-7 ")))
        << question->text().toStdString();
    EXPECT_FALSE(window->timerViewModel()->isInUse()) << "the half hour is the record's meanwhile";
    ASSERT_NE(question->defaultButton(), nullptr);
    EXPECT_EQ(question->defaultButton()->text(), QStringLiteral("Keep the Time"));
    for (QAbstractButton* button : question->buttons()) {
        if (button->text() == QStringLiteral("It Was Saved")) {
            button->click();
        }
    }
    delegate->bookingRecords().settle();
    const auto records = delegate->bookingRecords().records(key());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.front().state, BookingRecord::State::saved);
    EXPECT_FALSE(window->timerViewModel()->isInUse());
}

// A tracker that cannot be reached as the window opens: the window's booking line says
// so, with the next try and the end of the hold; the time stays on the record, and Ask
// Now asks once more.
TEST_F(ApplicationWindowControllerTest, ABookingCheckThatCannotReachTheTrackerIsToldAndTriedAgain) {
    account = addAccount(QStringLiteral("Alpha"));
    storeUnansweredBooking(key(), 1800);
    const QDateTime sent = QDateTime::currentDateTime().addSecs(-60);
    launch();
    auto* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);
    auto* status = qobject_cast<BookingStatusView*>(window->bookingStatus());
    ASSERT_NE(status, nullptr);
    const QUuid id = delegate->bookingRecords().records(key()).front().id;
    ASSERT_TRUE(waitUntil([&] { return status->button(id, BookingTexts::askNowButton) != nullptr; }));
    EXPECT_TRUE(window->statusBar()->isVisible());
    QString shown;
    for (const QLabel* label : status->row(id)->findChildren<QLabel*>()) {
        shown += label->text() + QLatin1Char('\n');
    }
    EXPECT_TRUE(shown.contains(QStringLiteral("30m on KEY-7 is on hold."))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("when Velmora stopped")))
        << "it did, with the booking on its way";
    EXPECT_TRUE(shown.contains(QStringLiteral("yt.example.test")));
    EXPECT_FALSE(window->timerViewModel()->isInUse());

    // Reached now, the tracker lists the booking, made as it arrived.
    WorkEntry entry;
    entry.id = QStringLiteral("w9");
    entry.issue = makeIssue(QStringLiteral("7"));
    entry.spentTimeSeconds = 1800;
    entry.started = QDateTime(sent.toUTC().date(), QTime(0, 0), QTimeZone::utc());
    entry.created = sent.addSecs(3);
    service->workEntries.answer({entry});
    status->button(id, BookingTexts::askNowButton)->click();
    ASSERT_TRUE(waitUntil(
        [&] { return delegate->bookingRecords().record(id)->state == BookingRecord::State::saved; }));
    ASSERT_TRUE(waitUntil([&] { return status->button(id, BookingTexts::okButton) != nullptr; }));
    status->button(id, BookingTexts::okButton)->click();
    EXPECT_TRUE(waitUntil([&] { return !window->statusBar()->isVisible(); })) << "nothing left to say";
}

// The alert of a booking that may not have been saved names the task by what the
// tracker sent, as text on one line.
TEST_F(ApplicationWindowControllerTest, TheBookingNotConfirmedAlertShowsTheTasksNameAsText) {
    auto& window = openWindow();
    pump();
    Issue task = makeIssue(QStringLiteral("7"));
    task.reference.reset();
    task.name = markupName + QStringLiteral("\nagain");
    window.timerViewModel()->start(makeProject(QStringLiteral("p1")), task);
    BookingRecords& records = delegate->bookingRecords();
    BookingRecord draft;
    draft.account = key();
    draft.project = makeProject(QStringLiteral("p1"));
    draft.task = task;
    draft.booking = WorkLogBooking{task.id, QDateTime::currentDateTime(), 5400, QString()};
    const QUuid id = records.depart(draft, std::nullopt, {});
    records.unseen(id, APIError::failure(APIError::Cause::TimedOut));
    records.end(id, BookingRecord::Ending::notListed);
    records.settle();
    QMessageBox* alert = window.findChild<QMessageBox*>();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(richLabels(*alert), QStringList());
    EXPECT_TRUE(showsLiterally(*alert, QStringLiteral("1h 30m on ") + markupName +
                                           QStringLiteral(" again may not have been saved")))
        << shownTexts(*alert).join(u'|').toStdString();
    alert->close();
    window.timerViewModel()->reset();
}

// An account switch inside a booking's arrival window ends neither the window nor its
// look-ups: the records are the process's, not the window's. The tracker lists the
// booking late; it is found once, its time never given back as unbooked.
TEST_F(ApplicationWindowControllerTest, AnAccountSwitchInsideTheWindowKeepsTheHoldAndItsLookUps) {
    account = addAccount(QStringLiteral("Alpha"));
    const auto other = addAccount(QStringLiteral("Beta"));
    settings.setChangeDefaultAccountAutomatically(false);
    settings.setDefaultAccount(key());
    ShellEnvironment env = environment();
    auto wall = std::make_shared<ManualClock>(QDateTime::currentDateTime());
    auto boot = std::make_shared<ManualBootClock>();
    env.state.clock = wall;
    env.state.bootClock = boot;
    delegate = std::make_unique<AppDelegate>(env);
    delegate->applicationDidFinishLaunching();
    pump();
    ASSERT_NE(windows().applicationWindow(), nullptr);
    TimerViewModel* timer = windows().applicationWindow()->timerViewModel();
    timer->start(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")));
    wall->advance(5400 * 1000);
    timer->pause();

    // The booking leaves; its answer is not seen; the tracker does not list it yet.
    service->workEntries.answer({});
    BookingRecords& records = delegate->bookingRecords();
    BookingRecord draft;
    draft.account = key();
    draft.project = makeProject(QStringLiteral("p1"));
    draft.task = makeIssue(QStringLiteral("7"));
    draft.booking = WorkLogBooking{QStringLiteral("7"), wall->now(), 5400, QString()};
    draft.booking.dating = WorkLogBooking::Dating::day;
    draft.booking.sent = wall->now();
    draft.booking.trackerClock = ClockOffset{-500, 500};
    const QUuid id = records.depart(draft, std::nullopt, {});
    records.settle();
    EXPECT_FALSE(timer->isInUse());
    records.unseen(id, APIError::failure(APIError::Cause::TimedOut));
    ASSERT_TRUE(
        waitUntil([&] { return records.record(id)->lookUp == BookingRecord::LookUp::nothingListed; }));
    const int asked = service->workEntries.calls();

    // To Beta and back, four minutes into the window, the look-ups going on meanwhile.
    windows().switchProvider(other, false);
    pump();
    ASSERT_EQ(providerName(windows().applicationWindow()->provider()), QStringLiteral("Beta"));
    for (int i = 0; i < 8; ++i) {
        boot->advance(BookingRecovery::recheckDelay);
        drainEvents();
    }
    EXPECT_GE(service->workEntries.calls(), asked + 8) << "the look-ups stopped with the window";
    EXPECT_EQ(records.record(id)->state, BookingRecord::State::unknown) << "the window ended with the switch";
    windows().switchProvider(account, false);
    pump();
    ASSERT_EQ(providerName(windows().applicationWindow()->provider()), QStringLiteral("Alpha"));
    timer = windows().applicationWindow()->timerViewModel();
    EXPECT_FALSE(timer->isInUse()) << "the time was given back as unbooked";
    auto* status = qobject_cast<BookingStatusView*>(windows().applicationWindow()->bookingStatus());
    ASSERT_NE(status, nullptr);
    EXPECT_NE(status->row(id), nullptr) << "the hold shows in the window again";

    // Listed now, made as it arrived.
    WorkEntry entry;
    entry.id = QStringLiteral("w9");
    entry.issue = makeIssue(QStringLiteral("7"));
    entry.spentTimeSeconds = 5400;
    entry.started = QDateTime(draft.booking.sent->date(), QTime(0, 0));
    entry.created = draft.booking.sent->addSecs(3);
    service->workEntries.answer({entry});
    boot->advance(BookingRecovery::recheckDelay);
    ASSERT_TRUE(waitUntil([&] { return records.record(id)->state == BookingRecord::State::saved; }));
    EXPECT_FALSE(timer->isInUse());
}

namespace {

// The widgets that Tab gives the focus to, from the window's first, once round.
QList<QWidget*> tabStops(QWidget& window) {
    QApplication::setActiveWindow(&window);
    window.activateWindow();
    QList<QWidget*> stops;
    for (int i = 0; i < 60; ++i) {
        QWidget* from = QApplication::focusWidget() ? QApplication::focusWidget() : &window;
        QTest::keyClick(from, Qt::Key_Tab);
        QWidget* focused = QApplication::focusWidget();
        if (!focused || (!stops.isEmpty() && focused == stops.front())) {
            break;
        }
        stops << focused;
    }
    return stops;
}

QWidget* toolbarWidget(ApplicationWindowController& window, const QString& identifier) {
    for (QAction* action : window.toolbar()->actions()) {
        if (action->objectName() == identifier) {
            return window.toolbar()->widgetForAction(action);
        }
    }
    return nullptr;
}

} // namespace

// Every control of the window can be reached with Tab: the account switcher, the week
// arrows of the calendar and the timer commands of a project's toolbar.
TEST_F(ApplicationWindowControllerTest, TabReachesTheAccountSwitcherTheWeekArrowsAndStart) {
    service->tasks = makeIssues(3);
    settings.setShowUnresolvedTasksByDefault(false);
    settings.setShowMyTasksByDefault(false);
    auto& window = openWindow();
    window.show();
    pump();
    QWidget* previous = toolbarWidget(window, ToolbarItemIdentifier::previousDay);
    QWidget* upcoming = toolbarWidget(window, ToolbarItemIdentifier::upcomingDay);
    ASSERT_TRUE(previous && upcoming);
    auto* sidebar = window.findChild<SidebarView*>();
    ASSERT_NE(sidebar, nullptr);
    QList<QWidget*> stops = tabStops(window);
    EXPECT_TRUE(stops.contains(sidebar->accountHeader()));
    EXPECT_TRUE(stops.contains(previous));
    EXPECT_TRUE(stops.contains(upcoming));
    // The toolbar comes before the pane it belongs to.
    EXPECT_LT(stops.indexOf(previous), stops.indexOf(upcoming));

    // Return on the account header opens the switcher.
    sidebar->accountHeader()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(sidebar->accountHeader(), Qt::Key_Return);
    EXPECT_TRUE(sidebar->isProviderSelectorShown());
    sidebar->toggleProviderSelector();
    pump();

    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p1"))));
    pump();
    pump();
    QWidget* start = toolbarWidget(window, ToolbarItemIdentifier::startTimeTracking);
    ASSERT_NE(start, nullptr);
    stops = tabStops(window);
    ASSERT_TRUE(stops.contains(start));
    QWidget* refresh = toolbarWidget(window, ToolbarItemIdentifier::refreshData);
    EXPECT_TRUE(stops.contains(refresh));
    // Round from the account header: the sidebar, the toolbar, then the pane.
    auto* list = window.contentSplitItem()->findChild<QListView*>();
    ASSERT_NE(list, nullptr);
    ASSERT_TRUE(stops.contains(list) && stops.contains(sidebar->accountHeader()));
    std::rotate(stops.begin(), stops.begin() + stops.indexOf(sidebar->accountHeader()), stops.end());
    EXPECT_LT(stops.indexOf(sidebar->timerBlock()->findChild<QAbstractButton*>()), stops.indexOf(refresh));
    EXPECT_LT(stops.indexOf(refresh), stops.indexOf(start));
    EXPECT_LT(stops.indexOf(start), stops.indexOf(list));

    // Starting from the keyboard keeps the focus in the toolbar, on the timer's item.
    start->setFocus(Qt::TabFocusReason);
    QTest::keyClick(start, Qt::Key_Space);
    pump();
    EXPECT_EQ(window.timerViewModel()->state(), TimerViewModel::State::active);
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(window.toolbar()->isAncestorOf(focused));

    // The toolbar rebuilt while another window has the keyboard (a project opened from the
    // tray): the focus is in the new toolbar when the window is back.
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &other; }));
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p2"))));
    pump();
    pump();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &window; }));
    focused = QApplication::focusWidget();
    EXPECT_TRUE(focused && window.toolbar()->isAncestorOf(focused))
        << (focused ? focused->metaObject()->className() : "nothing");
}
