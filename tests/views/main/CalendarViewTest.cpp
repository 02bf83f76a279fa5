#include "views/main/CalendarView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/views/main/AlertTexts.h"
#include "views/main/Appearance.h"
#include "views/main/CalendarDayView.h"
#include "views/main/CalendarDaysView.h"
#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/CalendarViewController.h"
#include "views/main/LoadFailureView.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QApplication>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextCursor>
#include <QToolBar>

#include <gtest/gtest.h>

#include <ctime>

using namespace velmora;
using namespace velmora::test;
using namespace std::chrono_literals;

namespace {

WorkEntry entryAt(const QString& id, const QDateTime& started, double seconds) {
    WorkEntry entry;
    entry.id = id;
    entry.spentTimeSeconds = seconds;
    entry.spentTime = QStringLiteral("%1m").arg(seconds / 60);
    entry.issue = makeIssue(id);
    entry.started = started;
    return entry;
}

class CalendarViewTest : public ::testing::Test {
protected:
    CalendarViewTest() : service(std::make_shared<FakeProviderService>()) {
        service->workEntries.answer({});
        service->deletes.answer(Void{});
        viewModel = new CalendarViewModel(service, env.environment());
        controller = std::make_unique<CalendarViewController>(viewModel, 30ms);
    }

    CalendarView& view() { return *controller->calendarView(); }

    // Today of fifteen entries, more than the strip shows, at 600 px.
    void showALongDay() {
        const QDateTime morning(env.clock->now().date(), QTime(9, 0));
        std::vector<WorkEntry> entries;
        for (int i = 0; i < 15; ++i) {
            entries.push_back(entryAt(QString::number(i + 1), morning.addSecs(600 * i), 600));
        }
        service->workEntries.answer(entries);
        showAt(600);
        drainEvents();
    }

    // Shows the calendar at `width` and waits for the chosen mode to load.
    void showAt(int width) {
        controller->resize(width, 500);
        controller->show();
        ASSERT_TRUE(waitUntil([&] { return !viewModel->isLoading() && viewModel->calendarMode(); }));
    }

    StateTestEnvironment env;
    std::shared_ptr<FakeProviderService> service;
    CalendarViewModel* viewModel = nullptr;
    std::unique_ptr<CalendarViewController> controller;
};

} // namespace

TEST(CalendarModeTest, TheWidthChoosesSevenFiveOrThreeDays) {
    EXPECT_EQ(CalendarView::modeForWidth(1190), CalendarMode::sevenDays);
    EXPECT_EQ(CalendarView::modeForWidth(1189), CalendarMode::fiveDays);
    EXPECT_EQ(CalendarView::modeForWidth(850), CalendarMode::fiveDays);
    EXPECT_EQ(CalendarView::modeForWidth(849), CalendarMode::threeDays);
    EXPECT_EQ(CalendarView::modeForWidth(600), CalendarMode::threeDays);
    EXPECT_EQ(CalendarView::modeForWidth(300), CalendarMode::threeDays);
}

TEST_F(CalendarViewTest, TheFirstModeLoadsOnceAfterTheDelayAndShowsItsColumns) {
    EXPECT_FALSE(view().showsDays());
    showAt(600);
    EXPECT_EQ(viewModel->calendarMode(), CalendarMode::threeDays);
    EXPECT_EQ(service->workEntryIntervals.size(), 1u);
    EXPECT_TRUE(view().showsDays());
    EXPECT_EQ(view().daysView()->columns().size(), 3u);
    EXPECT_EQ(view().daysView()->dividerCount(), 2);
}

// The window's first frame shows the spinner: columns built behind it would only hold
// that frame up, and are built anew once the entries are in anyway.
TEST_F(CalendarViewTest, NoColumnsAreBuiltBehindTheSpinner) {
    controller->resize(600, 500);
    controller->show();
    ASSERT_TRUE(viewModel->isLoading());
    EXPECT_FALSE(view().showsDays());
    EXPECT_TRUE(view().daysView()->columns().empty());

    ASSERT_TRUE(waitUntil([&] { return !viewModel->isLoading() && viewModel->calendarMode(); }));
    EXPECT_TRUE(view().showsDays());
    EXPECT_EQ(view().daysView()->columns().size(), 3u);
}

TEST_F(CalendarViewTest, ResizesWithinTheDelayLoadOnceForTheLastFit) {
    showAt(600);
    const std::size_t loads = service->workEntryIntervals.size();
    controller->resize(900, 500);
    controller->resize(1300, 500);
    controller->resize(1000, 500);
    ASSERT_TRUE(waitUntil([&] { return viewModel->calendarMode() == CalendarMode::fiveDays; }));
    drainEvents();
    EXPECT_EQ(service->workEntryIntervals.size(), loads + 1);
    EXPECT_FALSE(viewModel->isLoading());
    EXPECT_EQ(view().daysView()->columns().size(), 5u);
}

TEST_F(CalendarViewTest, AResizeBackToTheLoadedModeStillEndsLoading) {
    showAt(600);
    const std::size_t loads = service->workEntryIntervals.size();
    controller->resize(900, 500);
    controller->resize(700, 500);
    EXPECT_TRUE(viewModel->isLoading());
    ASSERT_TRUE(waitUntil([&] { return !viewModel->isLoading(); }, 2000));
    EXPECT_EQ(service->workEntryIntervals.size(), loads);
    EXPECT_TRUE(view().showsDays());
}

TEST_F(CalendarViewTest, TheToolbarMovesByTheModesStepAndTheTitleFollows) {
    EXPECT_FALSE(CalendarViewController::step(std::nullopt));
    // Before a mode is known the buttons do nothing.
    const QDateTime start = viewModel->date();
    controller->toolbarUpcomingDay();
    EXPECT_EQ(viewModel->date(), start);

    showAt(600);
    controller->toolbarUpcomingDay();
    controller->toolbarUpcomingDay();
    EXPECT_EQ(viewModel->date(), start.addDays(4));
    controller->toolbarPreviousDay();
    EXPECT_EQ(viewModel->date(), start.addDays(2));
    EXPECT_EQ(CalendarViewController::step(CalendarMode::fiveDays), 5);
    EXPECT_EQ(CalendarViewController::step(CalendarMode::sevenDays), 7);

    EXPECT_EQ(controller->toolbarDefaultItemIdentifiers(),
              (QStringList{ToolbarItemIdentifier::previousDay, ToolbarItemIdentifier::upcomingDay}));
    QToolBar toolbar;
    controller->addToolbarItem(toolbar, ToolbarItemIdentifier::previousDay);
    controller->addToolbarItem(toolbar, QStringLiteral("Other"));
    EXPECT_EQ(toolbar.actions().size(), 1);
}

TEST_F(CalendarViewTest, DaysShowTheirEntriesAndReadableTotals) {
    // 23:59 and 00:00 a minute apart fall on two days.
    const QDateTime today = env.clock->now();
    const QDateTime midnight(today.date(), QTime(0, 0));
    service->workEntries.answer({entryAt(QStringLiteral("1"), midnight.addSecs(-60), 5400),
                                 entryAt(QStringLiteral("2"), midnight, 1800),
                                 entryAt(QStringLiteral("3"), midnight.addSecs(3600), 600)});
    showAt(600);
    const auto columns = view().daysView()->columns();
    ASSERT_EQ(columns.size(), 3u);
    EXPECT_EQ(columns[0]->totalLabel()->text(), QStringLiteral("1h 30m"));
    EXPECT_EQ(columns[0]->entryList()->model()->rowCount(), 1);
    EXPECT_EQ(columns[1]->totalLabel()->text(), QStringLiteral("40m"));
    EXPECT_EQ(columns[1]->entryList()->model()->rowCount(), 2);
    EXPECT_EQ(columns[2]->totalLabel()->text(), QStringLiteral("0m"));
    EXPECT_TRUE(columns[2]->noRecordsLabel()->isVisibleTo(columns[2]));
    EXPECT_EQ(columns[2]->noRecordsLabel()->text(), QStringLiteral("No records."));

    EXPECT_EQ(CalendarDayView::totalText(59), QStringLiteral("0m"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(CalendarDayView::weekdayLabel(QDate(2025, 3, 3)), QStringLiteral("MON"));
}

// The days the calendar names are the ones it shows whole. At scale 2 a 1366 × 768 screen is 683 px
// wide, narrower than the main window's least width: the window manager holds the window to the
// screen, Qt lays its contents out at their least width all the same, past the window's edge, and
// the calendar named three days and cut the third off there. It fits what shows of it; narrower
// than three columns' ideal width (the 420 px of a 1280 × 720 screen at scale 2), three still show
// whole.
TEST_F(CalendarViewTest, TheDaysTheCalendarNamesShowWhole) {
    const QDateTime today = env.clock->now();
    service->workEntries.answer({entryAt(QStringLiteral("1"), today.addSecs(-86400), 5400),
                                 entryAt(QStringLiteral("2"), today, 1800),
                                 entryAt(QStringLiteral("3"), today.addSecs(86400), 600)});
    auto expectShownWhole = [&](const std::string& what) {
        CalendarDaysView* strip = view().daysView();
        const auto columns = strip->columns();
        ASSERT_GE(columns.size(), 3u) << what;
        EXPECT_EQ(columns.size(), viewModel->visibleDays(*viewModel->calendarMode()).size())
            << what << ": the columns are the days named";
        QWidget* top = strip->window();
        for (CalendarDayView* column : columns) {
            const QRect shown(column->mapTo(top, QPoint(0, 0)), column->size());
            const std::string day = what + ": " + column->weekdayLabelView()->text().toStdString();
            EXPECT_TRUE(top->rect().contains(shown)) << day;
            EXPECT_LE(column->mapTo(strip->viewport(), QPoint(column->width(), 0)).x(),
                      strip->viewport()->width())
                << day;
        }
    };
    for (const int width : {420, 330}) {
        showAt(width);
        drainEvents();
        expectShownWhole(std::to_string(width) + " px");
    }
    // Laid out wider than its window, wide enough for five days: what shows holds three.
    QWidget window;
    window.resize(700, 500);
    controller->setParent(&window);
    controller->setGeometry(0, 0, 1000, 500);
    window.show();
    ASSERT_TRUE(waitUntil(
        [&] { return !viewModel->isLoading() && viewModel->calendarMode() == CalendarMode::threeDays; }));
    drainEvents();
    expectShownWhole("past the window's edge");
    controller->setParent(nullptr);
}

TEST_F(CalendarViewTest, ALongDayScrollsAndEveryEntryCanBeReached) {
    showALongDay();
    CalendarDaysView* strip = view().daysView();
    QListView* list = strip->columns()[1]->entryList();
    ASSERT_EQ(list->model()->rowCount(), 15);
    QScrollBar* bar = strip->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_TRUE(bar->isVisible()) << "the strip shows that there is more";
    EXPECT_EQ(list->verticalScrollBar()->maximum(), 0) << "no scrolling hidden inside one column";

    const auto cardInStrip = [&](int row) {
        const QRect card = list->visualRect(list->model()->index(row, 0));
        return QRect(list->viewport()->mapTo(strip->viewport(), card.topLeft()), card.size());
    };
    for (int row = 0; row < 15; ++row) {
        EXPECT_LE(list->visualRect(list->model()->index(row, 0)).bottom(), list->viewport()->height())
            << "card " << row << " is laid out whole";
    }
    EXPECT_GE(cardInStrip(0).top(), 0);
    bar->setValue(bar->maximum());
    drainEvents();
    EXPECT_LE(cardInStrip(14).bottom(), strip->viewport()->height()) << "the last card comes into view";
    EXPECT_GE(cardInStrip(14).top(), 0);
}

// The card the keyboard is on shows, and shows its ring: the day's list never scrolls itself, and
// the strip did not follow the keyboard, so a Tab or an arrow to a card below the strip's edge
// left no focus in sight.
TEST_F(CalendarViewTest, TheCardTheKeyboardIsOnComesIntoView) {
    showALongDay();
    CalendarDaysView* strip = view().daysView();
    CalendarDayView* day = strip->columns()[1];
    QListView* list = day->entryList();
    list->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return list->hasFocus() && list->currentIndex().isValid(); }));
    for (const int row : {14, 7, 0}) {
        list->setCurrentIndex(list->model()->index(row, 0));
        drainEvents();
        const QRect card = list->visualRect(list->currentIndex());
        const QRect inStrip(list->viewport()->mapTo(strip->viewport(), card.topLeft()), card.size());
        EXPECT_TRUE(strip->viewport()->rect().contains(inStrip)) << "card " << row;
        // Its ring is drawn: the accent shows along its edge.
        const QImage picture = strip->viewport()->grab(inStrip).toImage();
        const QColor ring = Appearance::accent(list->palette());
        auto near = [&](const QColor& c) {
            return std::abs(c.red() - ring.red()) + std::abs(c.green() - ring.green()) +
                       std::abs(c.blue() - ring.blue()) <
                   90;
        };
        int ringPixels = 0;
        for (int x = 0; x < picture.width(); ++x) {
            ringPixels += near(picture.pixelColor(x, 1)) || near(picture.pixelColor(x, 2));
        }

        EXPECT_GT(ringPixels, picture.width() / 2) << "card " << row;
    }
}

// Tab stops only where a ring shows it: the days' cards, never the area that holds them (a
// scroll area that draws no ring took a stop of its own).
TEST_F(CalendarViewTest, TabNeverStopsOnTheDaysArea) {
    showALongDay();
    CalendarDaysView* strip = view().daysView();
    QApplication::setActiveWindow(controller.get());
    QListView* list = strip->columns()[1]->entryList();
    list->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return list->hasFocus(); }));
    for (int step = 0; step < 12; ++step) {
        QWidget* focused = QApplication::focusWidget();
        ASSERT_NE(focused, nullptr);
        QTest::keyClick(focused, Qt::Key_Tab);
        EXPECT_NE(QApplication::focusWidget(), strip) << "after " << step + 1 << " Tabs";
        EXPECT_NE(QApplication::focusWidget(), strip->widget()) << "after " << step + 1 << " Tabs";
    }
}

TEST_F(CalendarViewTest, AConfirmedDeleteDeletesOnceAndReloadsOnce) {
    const QDateTime today = env.clock->now();
    service->workEntries.answer({entryAt(QStringLiteral("1"), today, 5400)});
    showAt(600);
    const std::size_t loads = service->workEntryIntervals.size();
    int notices = 0;
    auto observer = NotificationCenter::defaultCenter().addObserver(QString(NotificationName::worklogDeleted),
                                                                    [&](const Notification&) { ++notices; });

    CalendarDayView* column = view().daysView()->columns()[1];
    const WorkEntry entry = column->day().workEntries.at(0);
    column->requestDelete(entry);
    ASSERT_NE(column->confirmation(), nullptr);
    EXPECT_EQ(column->confirmation()->text(), CalendarDayView::confirmationTitle);
    column->cancelDelete();
    EXPECT_EQ(notices, 0);
    EXPECT_FALSE(column->deleting().has_value());

    column->requestDelete(entry);
    column->confirmDelete();
    ASSERT_TRUE(waitUntil([&] { return !viewModel->isLoading(); }));
    drainEvents();
    EXPECT_EQ(notices, 1);
    ASSERT_EQ(service->deletedEntries.size(), 1u);
    EXPECT_EQ(service->deletedEntries.front(), entry);
    EXPECT_EQ(service->workEntryIntervals.size(), loads + 1);
}

TEST_F(CalendarViewTest, TheDeleteConfirmationNamesTheWorkLogAndDefaultsToCancel) {
    WorkEntry entry = entryAt(QStringLiteral("1"), env.clock->now(), 5400);
    entry.spentTime = QStringLiteral("1h 30m");
    entry.issue.reference = QStringLiteral("WEB-1");
    EXPECT_EQ(CalendarDayView::deleteQuestion(entry), "Delete the 1h 30m work log on WEB-1?");
    entry.issue.reference.reset();
    entry.issue.name = QStringLiteral("Fix the header");
    EXPECT_EQ(CalendarDayView::deleteQuestion(entry), "Delete the 1h 30m work log on Fix the header?");

    service->workEntries.answer({entry});
    showAt(600);
    CalendarDayView* column = view().daysView()->columns()[1];
    column->requestDelete(column->day().workEntries.at(0));
    ASSERT_NE(column->confirmation(), nullptr);
    EXPECT_EQ(column->confirmation()->informativeText(), "Delete the 1h 30m work log on Fix the header?");
    ASSERT_NE(column->confirmation()->defaultButton(), nullptr);
    EXPECT_EQ(column->confirmation()->defaultButton()->text(), "Cancel");
    column->cancelDelete();
}

// The confirmation names the work log by what the tracker sent, as text on one line.
TEST_F(CalendarViewTest, TheDeleteConfirmationShowsTheTasksNameAsText) {
    WorkEntry entry = entryAt(QStringLiteral("1"), env.clock->now(), 5400);
    entry.spentTime = QStringLiteral("1h <b>30m</b>");
    entry.issue.reference.reset();
    entry.issue.name = markupName + QStringLiteral("\nagain");
    service->workEntries.answer({entry});
    showAt(600);
    CalendarDayView* column = view().daysView()->columns()[1];
    column->requestDelete(column->day().workEntries.at(0));
    QMessageBox* box = column->confirmation();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(richLabels(*box), QStringList());
    EXPECT_TRUE(showsLiterally(*box, QStringLiteral("Delete the 1h <b>30m</b> work log on ") + markupName +
                                         QStringLiteral(" again?")))
        << shownTexts(*box).join(u'|').toStdString();
    column->cancelDelete();
}

TEST_F(CalendarViewTest, AFailedDeleteTellsTheUserAndEndsLoading) {
    const QDateTime today = env.clock->now();
    service->workEntries.answer({entryAt(QStringLiteral("1"), today, 5400)});
    service->deletes.answerError(APIError::unknown());
    showAt(600);
    NotificationCenter::defaultCenter().post(QString(NotificationName::worklogDeleted),
                                             entryAt(QStringLiteral("1"), today, 5400));
    ASSERT_TRUE(waitUntil([&] { return view().alert() != nullptr; }));
    EXPECT_EQ(view().alert()->text(), QStringLiteral("Unknown error occurred."));
    EXPECT_FALSE(viewModel->isLoading());
    EXPECT_TRUE(view().showsDays());
}

TEST_F(CalendarViewTest, AHiddenCalendarDeletesNothing) {
    showAt(600);
    controller->hide();
    NotificationCenter::defaultCenter().post(QString(NotificationName::worklogDeleted),
                                             entryAt(QStringLiteral("1"), env.clock->now(), 60));
    drainEvents();
    EXPECT_TRUE(service->deletedEntries.empty());
}

// A load that fails never reads as days without records: the columns say their
// entries could not be loaded, the failure stands above them once, and Try Again
// loads the range again.
TEST_F(CalendarViewTest, AFailedLoadShowsTheOutageAndTryAgainRecovers) {
    service->workEntries.answerError(
        APIError::failure(APIError::Cause::UntrustedCertificate).withHost(QStringLiteral("tracker.example")));
    showAt(600);
    ASSERT_TRUE(view().failureBanner()->isVisible());
    EXPECT_EQ(view().failureBanner()->explanationLabel()->text(),
              "The connection to tracker.example was refused because its certificate isn't trusted.");
    ASSERT_EQ(view().daysView()->columns().size(), 3u);
    for (CalendarDayView* column : view().daysView()->columns()) {
        EXPECT_EQ(column->noRecordsLabel()->text(), "Entries couldn't be loaded.");
        EXPECT_NE(column->totalLabel()->text(), "0m");
    }
    EXPECT_EQ(view().findChildren<QPushButton*>(QStringLiteral("TryAgain")).size(), 1) << "one Try Again";

    service->workEntries.answer({entryAt(QStringLiteral("1"), env.clock->now(), 1800)});
    QTest::mouseClick(view().failureBanner()->tryAgainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !viewModel->loadError(); }));
    drainEvents();
    EXPECT_FALSE(view().failureBanner()->isVisible());
    for (CalendarDayView* column : view().daysView()->columns()) {
        EXPECT_NE(column->noRecordsLabel()->text(), "Entries couldn't be loaded.");
    }
}

namespace {

// How many pixels of `image` show `color` (within a small distance, for smoothed edges).
int pixelsOf(const QImage& image, const QColor& color) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() > 200 && std::abs(pixel.red() - color.red()) < 24 &&
                std::abs(pixel.green() - color.green()) < 24 && std::abs(pixel.blue() - color.blue()) < 24) {
                ++count;
            }
        }
    }
    return count;
}

} // namespace

// An entry that has the keyboard focus shows it: the arrows move through the cards.
TEST(CalendarEntryCardTest, TheFocusedEntryShowsAFocusRing) {
    CalendarEntryModel model;
    model.setEntries({entryAt(QStringLiteral("1"), QDateTime::currentDateTime(), 1800)});
    CalendarEntryCard card;
    QStyleOptionViewItem option;
    option.palette = QApplication::palette();
    option.font = QApplication::font();
    option.rect = QRect(0, 0, 160, card.sizeHint(option, model.index(0)).height());
    auto paint = [&](QStyle::State state) {
        QImage image(option.rect.size(), QImage::Format_ARGB32);
        image.fill(option.palette.color(QPalette::Window));
        QPainter painter(&image);
        QStyleOptionViewItem painted = option;
        painted.state = state;
        card.paint(&painter, painted, model.index(0));
        return image;
    };
    const QColor ring = Appearance::accent(option.palette);
    EXPECT_EQ(pixelsOf(paint(QStyle::State_Enabled), ring), 0);
    EXPECT_GT(pixelsOf(paint(QStyle::State_Enabled | QStyle::State_HasFocus), ring), 2 * 160);
}

// Qt's raster engine hands a fill of a hundred lines or more to a pool of threads in parts and
// waits for them: waking them cost a day of cards scrolled a page more than the fills did. A tall
// card is painted on the thread that paints it, and looks as a rounded card does: its outline along
// each side, its corners round, its body shaded.
TEST(CalendarEntryCardTest, ATallCardIsPaintedOnThePaintingThreadAlone) {
    CalendarEntryModel model;
    model.setEntries({entryAt(QStringLiteral("1"), QDateTime::currentDateTime(), 1800)});
    CalendarEntryCard card;
    QStyleOptionViewItem option;
    option.palette = QApplication::palette();
    option.font = QApplication::font();
    option.rect = QRect(0, 0, 200, 640);
    QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
    const QColor window = option.palette.color(QPalette::Window);
    auto cpu = [](clockid_t clock) {
        timespec time{};
        clock_gettime(clock, &time);
        return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
    };
    const qint64 processBefore = cpu(CLOCK_PROCESS_CPUTIME_ID);
    const qint64 threadBefore = cpu(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < 40; ++i) {
        image.fill(window);
        QPainter painter(&image);
        card.paint(&painter, option, model.index(0));
    }
    const qint64 thread = cpu(CLOCK_THREAD_CPUTIME_ID) - threadBefore;
    const qint64 others = cpu(CLOCK_PROCESS_CPUTIME_ID) - processBefore - thread;
    EXPECT_LT(others, thread / 4) << "other threads " << others / 1000 << " us, painting " << thread / 1000
                                  << " us";

    const int bottom = option.rect.height() - CalendarEntryCard::spacing - 1;
    const QColor outline = image.pixelColor(0, 320);
    EXPECT_NE(outline, window);
    for (const QPoint side : {QPoint(0, 100), QPoint(199, 320), QPoint(100, 0), QPoint(100, bottom)}) {
        EXPECT_EQ(image.pixelColor(side), outline) << side.x() << "," << side.y();
    }
    for (const QPoint corner : {QPoint(0, 0), QPoint(199, 0), QPoint(0, bottom), QPoint(199, bottom)}) {
        EXPECT_NE(image.pixelColor(corner), outline) << corner.x() << "," << corner.y();
    }
    const QColor body = image.pixelColor(100, 320);
    EXPECT_NE(body, window);
    EXPECT_EQ(image.pixelColor(150, 600), body);
    EXPECT_EQ(image.pixelColor(100, bottom + 5), window);
}

// Jira's work-log comments are text as typed: the card shows their characters, never
// their markup, while the other trackers' HTML stays HTML.
TEST(CalendarEntryModelTest, APlainTextDescriptionShowsAsTheCharactersItIs) {
    // What the card lays out for the entry's description.
    auto shown = [](const QString& description, WorkEntry::DescriptionFormat format) {
        WorkEntry entry = entryAt(QStringLiteral("1"), QDateTime::currentDateTime(), 1800);
        entry.description = description;
        entry.descriptionFormat = format;
        CalendarEntryModel model;
        model.setEntries({entry});
        auto document = std::make_unique<OutsideTextDocument>();
        document->setOutsideHtml(model.index(0).data(CalendarEntryModel::DescriptionRole).toString());
        return document;
    };
    auto bold = [](const QTextDocument& document, const QString& word) {
        QTextCursor cursor(document.find(word));
        return cursor.charFormat().fontWeight() >= QFont::Bold;
    };
    using Format = WorkEntry::DescriptionFormat;

    const QString typed = QStringLiteral("<b>second</b> & \"third\"");
    const auto asText = shown(typed, Format::plainText);
    EXPECT_EQ(asText->toPlainText(), typed);
    EXPECT_FALSE(bold(*asText, QStringLiteral("second")));
    EXPECT_EQ(shown(QStringLiteral("x<y check"), Format::plainText)->toPlainText(), u"x<y check");
    // Its lines and spaces as typed.
    EXPECT_EQ(shown(QStringLiteral("one\r\n  two\nthree  &nbsp;"), Format::plainText)->toPlainText(),
              QStringLiteral("one\n  two\nthree  &nbsp;"));

    const auto asHtml = shown(typed, Format::html);
    EXPECT_EQ(asHtml->toPlainText(), u"second & \"third\"");
    EXPECT_TRUE(bold(*asHtml, QStringLiteral("second")));
    // An entry without a description has none to show.
    WorkEntry none = entryAt(QStringLiteral("2"), QDateTime::currentDateTime(), 60);
    none.descriptionFormat = Format::plainText;
    CalendarEntryModel model;
    model.setEntries({none});
    EXPECT_FALSE(model.index(0).data(CalendarEntryModel::DescriptionRole).isValid());
}
