#include "views/main/BookingStatusView.h"

#include "state/BookingRecords.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "views/main/BookingRecoveryAlert.h"
#include "views/main/BookingTexts.h"

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

using namespace velmora;
using namespace velmora::test;

namespace {

const QString stripAccount = QStringLiteral("ACCOUNT");

// A window with content to type in and the booking strip under it, as the main window has
// them, on records of its own.
class BookingStatusViewTest : public ::testing::Test {
protected:
    ~BookingStatusViewTest() override {
        strip.reset();
        window.reset();
        drainEvents();
    }

    // 1h 30m typed by hand on KEY-20, whose answer never came; looked up once (nothing listed).
    QUuid unknownBooking(qint64 seconds = 5400) {
        BookingRecord draft;
        draft.account = stripAccount;
        draft.tracker = QStringLiteral("Jira");
        draft.project = makeProject(QStringLiteral("p"));
        draft.task = makeIssue(QStringLiteral("20"));
        draft.booking = WorkLogBooking{QStringLiteral("20"), env.clock->now(), seconds, QString()};
        draft.source = BookingRecord::Source::manual;
        const QUuid id = records().depart(draft, std::nullopt, {});
        records().unseen(id, APIError::failure(APIError::Cause::ServerError, 503));
        records().lookedUp(id, BookingRecord::LookUp::nothingListed, std::nullopt,
                           env.clock->now().addSecs(30));
        settle();
        env.clock->advance(60'000);
        return id;
    }

    // The same, refused: its time waits on the strip to be booked or discarded.
    QUuid returnedBooking() {
        const QUuid id = unknownBooking();
        records().end(id, BookingRecord::Ending::notListed);
        settle();
        return id;
    }

    void open() {
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        // The strip is made before the content, as the main window makes it.
        strip = std::make_unique<BookingStatusView>(records(), nullptr, stripAccount, window.get());
        content = new QLineEdit(window.get());
        layout->addWidget(content);
        layout->addWidget(strip.get());
        window->show();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window.get(); }));
    }

    void settle() {
        for (int round = 0; round < 3; ++round) {
            drainEvents();
            records().settle();
        }
    }

    // Closes whatever alert the strip popped up for the record.
    void closeAlert(const QUuid& id) {
        if (QMessageBox* told = strip->alert(id)) {
            told->close();
        }
        drainEvents();
        // The desktop gives the window back its activation once the alert is gone.
        QApplication::setActiveWindow(window.get());
        drainEvents();
    }

    // Return and Space on whatever has the focus now.
    void pressReturnAndSpace() {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
            if (QWidget* focused = QApplication::focusWidget()) {
                QTest::keyClick(focused, key);
            }
            settle();
        }
    }

    BookingRecords& records() { return *env.bookings; }

    StateTestEnvironment env;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<BookingStatusView> strip;
    QLineEdit* content = nullptr;
};

std::string focusName() {
    QWidget* focused = QApplication::focusWidget();
    if (!focused) {
        return "nothing";
    }
    if (auto* button = qobject_cast<QPushButton*>(focused)) {
        return button->text().toStdString();
    }
    return focused->metaObject()->className() + std::string(" ") + focused->objectName().toStdString();
}

} // namespace

// The account is deleted, its time kept, while the keyboard is on the row's Wait: the row's
// choices change, and the focus goes to a choice that loses nothing, its ring shown. Return and
// Space there discard nothing.
TEST_F(BookingStatusViewTest, AfterDeleteKeepTheTimeNoKeyDiscards) {
    const QUuid id = unknownBooking();
    open();
    QPushButton* wait = strip->button(id, BookingTexts::waitButton);
    ASSERT_NE(wait, nullptr);
    wait->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == wait; }));
    records().accountGoing(stripAccount, true);
    settle();
    closeAlert(id);
    ASSERT_EQ(records().record(id)->state, BookingRecord::State::returned);
    ASSERT_NE(strip->button(id, BookingTexts::discardButton), nullptr);
    EXPECT_TRUE(strip->isAncestorOf(QApplication::focusWidget())) << focusName();
    EXPECT_NE(QApplication::focusWidget(), strip->button(id, BookingTexts::discardButton)) << focusName();
    EXPECT_TRUE(window->testAttribute(Qt::WA_KeyboardFocusChange)) << "the focus ring is not drawn";
    pressReturnAndSpace();
    EXPECT_EQ(records().record(id)->state, BookingRecord::State::returned) << "one key discarded the time";
}

// A start that shows a damaged record's row: the window's first stop for the keyboard is the
// row, never its Discard; Return and Space there lose nothing.
TEST_F(BookingStatusViewTest, AtAStartWithADamagedRowNoKeyDiscards) {
    const QUuid id = returnedBooking();
    // Its note no longer reads whole.
    Snapshot all = env.snapshots->load();
    QVariantMap note = all.bookings.value(id.toString(QUuid::WithoutBraces)).toMap();
    QVariantMap booking = note.value(QStringLiteral("booking")).toMap();
    booking.insert(QStringLiteral("started"), QStringLiteral("not a date"));
    note.insert(QStringLiteral("booking"), booking);
    all.bookings.insert(id.toString(QUuid::WithoutBraces), note);
    env.snapshots->save(all);
    env.reopenSnapshots();
    ASSERT_TRUE(records().record(id)->damaged);
    open();
    ASSERT_NE(strip->button(id, BookingTexts::discardButton), nullptr);
    EXPECT_NE(QApplication::focusWidget(), strip->button(id, BookingTexts::discardButton)) << focusName();
    pressReturnAndSpace();
    EXPECT_EQ(records().record(id)->state, BookingRecord::State::returned) << "one key discarded the time";
}

// Discard asks first, naming the time; Keep is the default (Return, Escape); only the question's
// own Discard lets the time go.
TEST_F(BookingStatusViewTest, DiscardAsksNamingTheTimeAndKeepIsTheDefault) {
    const QUuid id = returnedBooking();
    open();
    closeAlert(id);
    strip->button(id, BookingTexts::discardButton)->click();
    QMessageBox* question = strip->discardQuestion();
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), QStringLiteral("Discard 1h 30m on KEY-20?"));
    ASSERT_NE(question->defaultButton(), nullptr);
    EXPECT_NE(question->defaultButton()->text(), BookingTexts::discardButton);
    QTest::keyClick(question, Qt::Key_Return);
    settle();
    EXPECT_EQ(records().record(id)->state, BookingRecord::State::returned);
    strip->button(id, BookingTexts::discardButton)->click();
    question = strip->discardQuestion();
    ASSERT_NE(question, nullptr);
    for (QAbstractButton* choice : question->buttons()) {
        if (choice->text() == BookingTexts::discardButton) {
            choice->click();
        }
    }
    settle();
    EXPECT_EQ(records().record(id)->state, BookingRecord::State::discarded);
}

// Tab goes through the rows as they are seen, each row's choices after it, whichever row's
// choices were made last; the row that has the keyboard draws its ring.
TEST_F(BookingStatusViewTest, TabFollowsTheRowsAsSeenAndARowShowsItsRing) {
    const QUuid first = unknownBooking(1800);
    const QUuid second = unknownBooking(2700);
    const QUuid third = unknownBooking(3600);
    open();
    // The first row's choices change: made anew, after the others'.
    records().lookedUp(first, BookingRecord::LookUp::failed, APIError::failure(APIError::Cause::Unreachable),
                       env.clock->now().addSecs(30));
    settle();
    ASSERT_NE(strip->button(first, BookingTexts::askNowButton), nullptr);
    // What is seen: the rows from the top, each row's choices from the left.
    std::vector<QWidget*> seen;
    for (const QUuid& id : {first, second, third}) {
        ASSERT_NE(strip->row(id), nullptr);
        seen.push_back(strip->row(id));
        std::vector<QWidget*> choices;
        for (QPushButton* choice : strip->row(id)->findChildren<QPushButton*>()) {
            if (choice->isVisible()) {
                choices.push_back(choice);
            }
        }
        std::sort(choices.begin(), choices.end(), [](QWidget* a, QWidget* b) { return a->x() < b->x(); });
        seen.insert(seen.end(), choices.begin(), choices.end());
    }
    ASSERT_LT(strip->row(first)->y(), strip->row(second)->y());
    strip->row(first)->setFocus(Qt::TabFocusReason);
    std::vector<QWidget*> tabbed{QApplication::focusWidget()};
    for (std::size_t i = 1; i < seen.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        tabbed.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(tabbed, seen);

    // The ring: the focused row looks different from itself unfocused.
    QWidget* row = strip->row(second);
    row->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return row->hasFocus(); }));
    const QImage focused = row->grab().toImage();
    content->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return !row->hasFocus(); }));
    EXPECT_NE(row->grab().toImage(), focused) << "no focus ring on the row";
}

// A returned record that shrinks (a part of its time booked) is no new end: it is not announced
// again.
TEST_F(BookingStatusViewTest, AReturnedRecordThatShrinksIsNotAnnouncedAgain) {
    const QUuid id = unknownBooking();
    open();
    records().end(id, BookingRecord::Ending::notListed);
    settle();
    ASSERT_NE(strip->alert(id), nullptr) << "the end is announced once";
    closeAlert(id);
    BookingRecord part = *records().record(id);
    part.booking.seconds = 1800;
    records().depart(part, id, {});
    settle();
    ASSERT_EQ(records().record(id)->booking.seconds, 3600);
    EXPECT_EQ(strip->alert(id), nullptr) << "announced again as new";
}

// Many held bookings: the first rows show, the rest are counted, and Show More shows them.
TEST_F(BookingStatusViewTest, ManyHeldBookingsShowTheirFirstRowsAndCountTheRest) {
    std::vector<QUuid> held;
    for (int i = 0; i < BookingStatusView::rowsAtATime + 2; ++i) {
        held.push_back(unknownBooking(600 + 60 * i));
    }
    open();
    for (int i = 0; i < BookingStatusView::rowsAtATime; ++i) {
        EXPECT_NE(strip->row(held[i]), nullptr) << i;
    }
    EXPECT_EQ(strip->row(held.back()), nullptr);
    auto* more = strip->findChild<QFrame*>(QStringLiteral("BookingStatusMore"));
    ASSERT_NE(more, nullptr);
    ASSERT_TRUE(more->isVisibleTo(strip.get()));
    QPushButton* showMore = more->findChild<QPushButton*>();
    ASSERT_NE(showMore, nullptr);
    EXPECT_TRUE(more->findChild<QLabel*>()->text().startsWith(QStringLiteral("2 more bookings")))
        << more->findChild<QLabel*>()->text().toStdString();
    showMore->click();
    settle();
    EXPECT_NE(strip->row(held.back()), nullptr);
    EXPECT_FALSE(more->isVisibleTo(strip.get()));
}

// Two ends told at once pop up one after the other: the second once the first is closed.
TEST_F(BookingStatusViewTest, OneAlertAtATime) {
    const QUuid first = unknownBooking(1800);
    const QUuid second = unknownBooking(2700);
    open();
    records().end(first, BookingRecord::Ending::notListed);
    records().end(second, BookingRecord::Ending::notListed);
    settle();
    ASSERT_NE(strip->alert(first), nullptr);
    EXPECT_EQ(strip->alert(second), nullptr) << "two alerts at once";
    strip->alert(first)->close();
    settle();
    EXPECT_NE(strip->alert(second), nullptr) << "the second end was never told";
}

namespace {

// A row's focused choice that goes in a rebuild, and where the focus is to go.
struct LostChoice {
    const char* what;
    QString focused;
    std::function<void(BookingRecords&, const QUuid&)> change; // none: the choice is pressed
    QString heir;                                              // empty: the row itself
};

void PrintTo(const LostChoice& lost, std::ostream* out) {
    *out << lost.what;
}

// With another window active while the row is rebuilt (an alert that came first, another
// program): the row's focused choice is then the window's, not the application's.
class BookingStatusFocusTest : public BookingStatusViewTest,
                               public ::testing::WithParamInterface<std::tuple<LostChoice, bool>> {};

WorkEntry entryLike(qint64 seconds) {
    WorkEntry entry;
    entry.id = QStringLiteral("w1");
    entry.issue.id = QStringLiteral("20");
    entry.spentTimeSeconds = seconds;
    return entry;
}

} // namespace

// The focused choice of a row goes: the focus goes to the row's first choice that loses nothing,
// or to the row where none is left, never where Qt would pass it on.
TEST_P(BookingStatusFocusTest, TheFocusGoesToTheRowsSafestChoice) {
    const auto& [lost, elsewhere] = GetParam();
    const QUuid id = unknownBooking();
    open();
    QPushButton* from = strip->button(id, lost.focused);
    ASSERT_NE(from, nullptr);
    from->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == from; }));
    QWidget other;
    if (elsewhere) {
        other.show();
        QApplication::setActiveWindow(&other);
        ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &other; }));
    }
    if (lost.change) {
        lost.change(records(), id);
    } else {
        from->click();
    }
    settle();
    closeAlert(id);
    // The rebuild and the focus that follows it come on later turns of the event loop, later
    // still on a busy machine: waited for, the heir read anew each time.
    const auto heir = [&]() -> QWidget* {
        return lost.heir.isEmpty() ? strip->row(id) : strip->button(id, lost.heir);
    };
    EXPECT_TRUE(waitUntil([&] { return heir() && QApplication::focusWidget() == heir(); })) << focusName();
}

INSTANTIATE_TEST_SUITE_P(
    Rebuilds, BookingStatusFocusTest,
    ::testing::Combine(::testing::Values(
        LostChoice{"refused", BookingTexts::bookAgainButton,
                   [](BookingRecords& r, const QUuid& id) { r.end(id, BookingRecord::Ending::notListed); },
                   BookingTexts::bookItButton},
        LostChoice{"kept of no account", BookingTexts::waitButton,
                   [](BookingRecords& r, const QUuid&) { r.accountGoing(stripAccount, true); },
                   BookingTexts::bookOnSelectedButton},
        LostChoice{"asked", BookingTexts::bookAgainButton,
                   [](BookingRecords& r, const QUuid& id) { r.ask(id, entryLike(5400)); },
                   BookingRecoveryAlert::keepButton},
        LostChoice{"put off", BookingTexts::waitButton, nullptr, QString()}), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<LostChoice, bool>>& info) {
        std::string name = std::get<0>(info.param).what;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name + (std::get<1>(info.param) ? "_elsewhere" : "");
    });
