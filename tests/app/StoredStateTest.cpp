#include "app/AppDelegate.h"
#include "app/ApplicationWindowController.h"
#include "app/StoredStateAlerts.h"
#include "app/WindowManager.h"
#include "platform/plist/PropertyList.h"
#include "state/BookingRecords.h"
#include "state/TimerSnapshot.h"
#include "tests/app/ShellFixture.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FileSizeLimit.h"
#include "views/main/BookingTexts.h"
#include "views/main/ReturnPressesFocusedButton.h"
#include "views/settings/EditAccountView.h"
#include "views/settings/ProviderSetupView.h"
#include "views/settings/SettingsViewModel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace velmora::test {
namespace {

class StoredStateTest : public ShellFixture {
protected:
    QString key() const { return uuidText(*account.id()); }

    // A timer of 90 minutes on KEY-7 and a booking of 30 minutes on KEY-8 whose outcome is not
    // known, as a run leaves them on disk.
    void leaveTimeBehind() {
        TimerSnapshot timer{makeProject(QStringLiteral("p1")),
                            makeIssue(QStringLiteral("7")),
                            TimerViewModel::State::paused,
                            5400,
                            std::nullopt,
                            std::nullopt};
        snapshots->save(timer, key());
        BookingRecord record;
        record.id = QUuid::createUuid();
        record.account = key();
        record.tracker = QStringLiteral("YouTrack");
        record.project = makeProject(QStringLiteral("p1"));
        record.task = makeIssue(QStringLiteral("8"));
        record.booking = WorkLogBooking{QStringLiteral("8"), QDateTime::currentDateTime(), 1800, QString()};
        record.booking.sent = QDateTime::currentDateTime();
        record.state = BookingRecord::State::unknown;
        snapshots->save(SnapshotKind::Bookings, record.id.toString(QUuid::WithoutBraces),
                        record.toSnapshot());
        bookingId = record.id;
        ASSERT_FALSE(snapshots->flush().has_value());
    }

    // Ends this run, lets `damage` do what it will to the files, and starts the app anew on them.
    void startAfter(const std::function<void()>& damage) {
        delegate.reset();
        manager.reset();
        snapshots.reset();
        damage();
        snapshots = std::make_unique<SnapshotManager>(snapshotPath());
        manager = std::make_unique<ProviderManager>(store, credentials, *snapshots);
        ProviderManager::setShared(manager.get());
        launch();
    }

    // The alert about the file, once shown.
    QMessageBox* damagedAlert() {
        QMessageBox* alert = nullptr;
        waitUntil([&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->objectName() == QStringLiteral("DamagedSnapshotAlert") && widget->isVisible()) {
                    alert = qobject_cast<QMessageBox*>(widget);
                }
            }
            return alert != nullptr;
        });
        return alert;
    }

    YouTrackProvider account = addAccount(QStringLiteral("Work"));
    QUuid bookingId;
};

// A snapshot file cut short (a disk fault): the app goes back to the file as it was before its
// last write, keeps the damaged one aside, and says so in the app, naming what it held.
TEST_F(StoredStateTest, ADamagedFileIsToldInTheAppWithWhatItHeld) {
    settings.setDefaultAccount(key());
    leaveTimeBehind();
    // One more change, so the file before it is kept.
    snapshots->save(SnapshotKind::Filters, QStringLiteral("x"), QVariantMap{});
    ASSERT_FALSE(snapshots->flush().has_value());
    startAfter([this] {
        QFile file(snapshotPath());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const QByteArray whole = file.readAll();
        ASSERT_TRUE(file.resize(whole.size() / 2));
    });
    QMessageBox* alert = damagedAlert();
    ASSERT_NE(alert, nullptr);
    const QString said = alert->informativeText();
    EXPECT_TRUE(said.contains(QStringLiteral("went back to the copy"))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral(".unreadable-"))) << "where the damaged file is kept";
    // Nothing of the timer or the booking was lost: the copy held them.
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_DOUBLE_EQ(windows().applicationWindow()->timerViewModel()->elapsed(), 5400);
    EXPECT_TRUE(delegate->bookingRecords().record(bookingId).has_value());
    alert->close();
}

// Neither the file nor its copy is a file (a link to a device, a pipe): the start reads neither,
// waits on neither, keeps both aside, and says plainly that what they held is not in the app.
TEST_F(StoredStateTest, NeitherFileReadableIsKeptAsideAndToldPlainly) {
    settings.setDefaultAccount(key());
    leaveTimeBehind();
    const QString previous = snapshotPath() + QStringLiteral(".previous");
    startAfter([&] {
        QFile::remove(snapshotPath());
        QFile::remove(previous);
        ASSERT_EQ(::symlink("/dev/zero", QFile::encodeName(snapshotPath()).constData()), 0);
        ASSERT_EQ(::mkfifo(QFile::encodeName(previous).constData(), 0600), 0);
    });
    QMessageBox* alert = damagedAlert();
    ASSERT_NE(alert, nullptr);
    const QString said = alert->informativeText();
    EXPECT_TRUE(said.contains(QStringLiteral("no ordinary file"))) << said.toStdString();
    EXPECT_TRUE(
        said.contains(QStringLiteral("copy Velmora keeps from before its last change couldn't be read")))
        << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("Nothing of what it held could be read"))) << said.toStdString();
    EXPECT_FALSE(said.contains(QStringLiteral("goes on with what"))) << said.toStdString();
    const QDir folder = QFileInfo(snapshotPath()).dir();
    EXPECT_EQ(
        folder.entryList({QStringLiteral("Velmora.plist.unreadable-*")}, QDir::AllEntries | QDir::System)
            .size(),
        1);
    EXPECT_EQ(folder
                  .entryList({QStringLiteral("Velmora.plist.previous.unreadable-*")},
                             QDir::AllEntries | QDir::System)
                  .size(),
              1);
    alert->close();
}

TEST_F(StoredStateTest, TheWordsOfADamagedFileNameWhatItHeld) {
    leaveTimeBehind();
    SnapshotManager::LoadProblem problem;
    problem.reason = QStringLiteral("the file ends in the middle of an element");
    problem.keptAt = QStringLiteral("/home/u/Velmora.plist.unreadable-20261209-101500");
    problem.readable.timers = snapshots->load().timers;
    problem.readable.bookings = snapshots->load().bookings;
    problem.partlyRead = true;
    const QString said = StoredStateAlerts::damagedText(problem);
    EXPECT_TRUE(said.contains(problem.keptAt));
    EXPECT_TRUE(said.contains(QStringLiteral("1h 30m on the timer of KEY-7"))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("30m on KEY-8"))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("goes on with what of the file could be read")))
        << said.toStdString();
}

// Deleting an account whose booking holds time asks first: waiting keeps the account; keeping
// the time deletes it and leaves the time on its record, of no account, for every window, the
// timer's time too.
TEST_F(StoredStateTest, DeletingAnAccountWhoseBookingHoldsTimeAsksAndKeepsItAsChosen) {
    leaveTimeBehind();
    launch();
    BookingRecords& records = delegate->bookingRecords();
    ASSERT_EQ(records.held(key()).size(), 1u);
    SettingsViewModel model;
    EditAccountView editor(model, AnyProvider(account), nullptr, snapshots.get(), &records);
    editor.show();
    EXPECT_TRUE(editor.heldTimeNote().contains(QStringLiteral("30m on KEY-8")))
        << editor.heldTimeNote().toStdString();
    editor.setupView()->deleteButton()->click();
    QMessageBox* asked = editor.setupView()->deleteConfirmationDialog();
    ASSERT_NE(asked, nullptr);
    ASSERT_NE(asked->defaultButton(), nullptr);
    EXPECT_EQ(asked->defaultButton()->text(), ProviderSetupView::waitButton) << "a stray Return keeps it all";
    QAbstractButton* keep = nullptr;
    for (QAbstractButton* button : asked->buttons()) {
        if (button->text() == ProviderSetupView::keepTimeButton) {
            keep = button;
        }
    }
    ASSERT_NE(keep, nullptr);
    keep->click();
    ASSERT_TRUE(waitUntil([&] { return !manager->provider(*account.id()).has_value(); }));
    records.settle();
    const auto record = records.record(bookingId);
    ASSERT_TRUE(record.has_value()) << "the held time went with the account";
    EXPECT_TRUE(record->account.isEmpty());
    EXPECT_EQ(record->state, BookingRecord::State::returned);
    const auto shown = records.records(QStringLiteral("ANOTHER-ACCOUNT"));
    EXPECT_EQ(shown.size(), 2u) << "every window shows it, and the timer's time kept with it";
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](const BookingRecord& kept) {
        return kept.task.id == QStringLiteral("7") && kept.booking.seconds == 5400;
    })) << "the timer's hour and a half went with the account";
}

// By keyboard: the default look follows the focus, Return presses what is drawn as the default,
// and "Delete, Discard the Time" asks first, naming the time, as the strip's Discard does.
TEST_F(StoredStateTest, TheDeleteDialogWithHeldTimeHasNoDestructiveKey) {
    // The keys as the app takes them.
    std::unique_ptr<ReturnPressesFocusedButton> keys(ReturnPressesFocusedButton::install(*qApp));
    leaveTimeBehind();
    launch();
    BookingRecords& records = delegate->bookingRecords();
    SettingsViewModel model;
    EditAccountView editor(model, AnyProvider(account), nullptr, snapshots.get(), &records);
    editor.show();
    editor.setupView()->deleteButton()->click();
    QMessageBox* asked = editor.setupView()->deleteConfirmationDialog();
    ASSERT_NE(asked, nullptr);
    asked->activateWindow();
    auto* wait = qobject_cast<QPushButton*>(asked->defaultButton());
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == wait; }));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
    ASSERT_NE(focused, nullptr);
    ASSERT_EQ(focused->text(), ProviderSetupView::discardTimeButton);
    EXPECT_TRUE(focused->isDefault() && !wait->isDefault()) << "the default look stayed on Wait";
    QTest::keyClick(focused, Qt::Key_Return);
    drainEvents();
    records.settle();
    EXPECT_TRUE(manager->provider(*account.id()).has_value()) << "deleted without a question";
    ASSERT_EQ(records.held(key()).size(), 1u) << "the time went without a question";
    QMessageBox* question = editor.setupView()->discardQuestionDialog();
    ASSERT_NE(question, nullptr);
    // Every second it lets go: the booking's, and the timer's.
    for (const QString& named : {QStringLiteral("30m on KEY-8"), QStringLiteral("1h 30m on the timer of KEY-7")}) {
        EXPECT_TRUE(question->text().contains(named)) << question->text().toStdString();
    }
    // Its own Discard lets the time go, and the account with it.
    for (QAbstractButton* button : question->buttons()) {
        if (button->text() == BookingTexts::discardButton) {
            button->click();
        }
    }
    ASSERT_TRUE(waitUntil([&] { return !manager->provider(*account.id()).has_value(); }));
}

} // namespace
} // namespace velmora::test
