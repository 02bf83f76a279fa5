#include "ShellFixture.h"

#include "app/Application.h"
#include "app/MainMenu.h"
#include "app/MenuBarManager.h"
#include "app/WelcomeWindowController.h"
#include "state/BookingRecords.h"
#include "tests/support/EventLoop.h"

#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

using namespace velmora;
using namespace velmora::test;

namespace {

QMenu* accountsMenu(QMenuBar* bar) {
    return bar->findChild<QMenu*>(QStringLiteral("accountsMenu"));
}

QStringList titles(QMenu* menu) {
    QStringList result;
    for (QAction* action : menu->actions()) {
        result << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return result;
}

// A status item that remembers what it shows.
struct FakeStatusItem : StatusItem {
    bool isAvailable() const override { return true; }
    void setImage(const QString& name) override { image = name; }
    void setTitle(const QString& text) override { title = text; }
    void setMenu(const QList<StatusMenuEntry>& menu) override { entries = menu; }
    void setSubject(const QString& task) override { subject = task; }
    void setNotes(const QStringList& lines) override { notes = lines; }
    const StatusMenuEntry* entry(const QString& text) const {
        for (const auto& e : entries) {
            if (e.title == text) {
                return &e;
            }
        }
        return nullptr;
    }
    QString image;
    QString title;
    QString subject;
    QStringList notes;
    QList<StatusMenuEntry> entries;
};

} // namespace

class MainMenuTest : public ShellFixture {};

TEST_F(MainMenuTest, TheAccountsMenuListsAccountsByNameMarksTheCurrentAndFollowsTheStore) {
    launch();
    std::unique_ptr<QMenuBar> empty(MainMenu::build(*delegate));
    EXPECT_EQ(titles(accountsMenu(empty.get())), QStringList{"Add Account"});

    addAccount(QStringLiteral("Beta"));
    addAccount(QStringLiteral("Alpha"));
    addAccount(QStringLiteral("Broken"), ProviderState::missingParameters);
    windows().selectDefaultProvider(true);
    drainEvents();
    ApplicationWindowController* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(window->menuBar(), nullptr);
    QMenu* menu = accountsMenu(window->menuBar());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(titles(menu), (QStringList{"Alpha", "Beta", "Broken", "-", "Add Account"}));
    EXPECT_TRUE(menu->actions().at(0)->isChecked());
    EXPECT_FALSE(menu->actions().at(1)->isChecked());
    EXPECT_FALSE(menu->actions().at(2)->isEnabled());

    menu->actions().at(1)->trigger();
    ASSERT_TRUE(
        waitUntil([&] { return windows().provider() && providerName(*windows().provider()) == "Beta"; }));
    drainEvents();
    menu = accountsMenu(windows().applicationWindow()->menuBar());
    EXPECT_TRUE(menu->actions().at(1)->isChecked()) << "the check mark moves with the switch";

    // A store change by anyone rebuilds the menu.
    addAccount(QStringLiteral("Gamma"));
    ASSERT_TRUE(waitUntil(
        [&] { return titles(accountsMenu(windows().applicationWindow()->menuBar())).contains("Gamma"); }));
}

// The first window's menu is built once as it opens: a second build would replace the
// bar, and lay the window out again, before its first frame.
TEST_F(MainMenuTest, TheFirstWindowsMenuIsBuiltOnce) {
    addAccount(QStringLiteral("Alpha"));
    delegate = std::make_unique<AppDelegate>(environment());
    delegate->applicationDidFinishLaunching();
    ApplicationWindowController* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);
    const QPointer<QMenuBar> bar = window->menuBar();
    ASSERT_NE(accountsMenu(bar), nullptr);
    drainEvents();
    EXPECT_FALSE(bar.isNull());
    EXPECT_EQ(window->menuBar(), bar.data());
}

// The welcome window of a first start shows with its menu: a menu bar added to a shown
// window would have it laid out again before its first frame.
TEST_F(MainMenuTest, TheWelcomeWindowShowsWithItsMenu) {
    struct ShowWatch : QObject {
        int shows = 0;
        bool hadMenu = false;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show) {
                auto* welcome = qobject_cast<WelcomeWindowController*>(watched);
                if (welcome) {
                    ++shows;
                    hadMenu = welcome->layout() && welcome->layout()->menuBar();
                }
            }
            return false;
        }
    } watch;
    qApp->installEventFilter(&watch);
    launch();
    qApp->removeEventFilter(&watch);
    ASSERT_EQ(watch.shows, 1);
    EXPECT_TRUE(watch.hadMenu);
    const QPointer<QWidget> bar = windows().existingWelcomeWindow()->layout()->menuBar();
    drainEvents();
    EXPECT_FALSE(bar.isNull()) << "built once";
    EXPECT_NE(accountsMenu(qobject_cast<QMenuBar*>(bar.data())), nullptr);
}

namespace {
// A keyring that counts the starts ahead.
struct AheadKeyring : InMemoryKeyring {
    void connectAhead(const QString& account) override { accounts << account; }
    QStringList accounts;
};
} // namespace

// The keyring's connection (a bus connection and a key exchange) is opened while the app
// starts only when there is a default account to read: a first start shows the welcome
// window, whose first frame it would only slow.
TEST(ApplicationStartTest, TheKeyringConnectsAheadOnlyForADefaultAccount) {
    QTemporaryDir dir;
    UserSettings settings(dir.filePath(QStringLiteral("settings.conf")));
    AheadKeyring keyring;
    Application::connectKeyringAhead(keyring, settings);
    EXPECT_TRUE(keyring.accounts.isEmpty()) << "no account to read ahead";
    const QString account = QStringLiteral("8C9F40A0-2B9C-4E0A-9C3D-0B8E7E2A1F11");
    settings.setDefaultAccount(account);
    Application::connectKeyringAhead(keyring, settings);
    EXPECT_EQ(keyring.accounts, QStringList{account});
}

class StatusItemTest : public ShellFixture {};

TEST_F(StatusItemTest, ShowsTheTimersHoursAndMinutesAndDrivesIt) {
    auto* item = new FakeStatusItem;
    MenuBarManager manager{std::unique_ptr<StatusItem>(item)};
    int quits = 0;
    manager.setQuit([&] { ++quits; });
    manager.refresh();
    EXPECT_EQ(item->image, "MenuBarInactive");
    EXPECT_EQ(item->title, "");
    ASSERT_EQ(item->entries.size(), 1);
    item->entries.front().action();
    EXPECT_EQ(quits, 1);

    auto clock = std::make_shared<ManualClock>();
    StateEnvironment env = environment().state;
    env.clock = clock;
    TimerViewModel timer(QStringLiteral("T"), env);
    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("i")));
    manager.setTimerViewModel(&timer);
    clock->advance(3725 * 1000);
    manager.refresh();
    EXPECT_EQ(item->image, "MenuBarActive");
    EXPECT_EQ(item->title, "01:02");
    EXPECT_EQ(item->subject, "KEY-i") << "the time's task is named";
    ASSERT_TRUE(item->entry("Pause") && item->entry("Continue"));
    EXPECT_TRUE(item->entry("Pause")->enabled());
    EXPECT_FALSE(item->entry("Continue")->enabled());

    item->entry("Pause")->action();
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    clock->advance(600 * 1000);
    EXPECT_EQ(item->title, "01:02") << "frozen while paused";
    EXPECT_FALSE(item->entry("Pause")->enabled());
    item->entry("Continue")->action();
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);

    timer.reset();
    EXPECT_EQ(item->image, "MenuBarInactive");
    EXPECT_EQ(item->title, "");
    EXPECT_EQ(item->subject, "");
    manager.setTimerViewModel(nullptr);
    EXPECT_EQ(item->entries.size(), 1);
}

// Making the tray's item connects to the session bus and asks it whether a tray is
// there, which takes longer than the rest of the start-up: the shell makes the item once
// its first window has been painted, and then shows it as the timer bound to it stands.
TEST_F(StatusItemTest, TheItemIsMadeOnlyOnceTheFirstWindowHasBeenPainted) {
    addAccount(QStringLiteral("Alpha"));
    struct PaintWatch : QObject {
        bool painted = false;
        bool eventFilter(QObject* watched, QEvent* event) override {
            painted = painted || (event->type() == QEvent::Paint && watched->isWidgetType());
            return false;
        }
    } watch;
    FakeStatusItem* made = nullptr;
    int makes = 0;
    bool paintedBeforeMade = false;
    ShellEnvironment env = environment();
    env.makeStatusItem = [&]() -> std::unique_ptr<StatusItem> {
        ++makes;
        paintedBeforeMade = watch.painted;
        made = new FakeStatusItem;
        return std::unique_ptr<StatusItem>(made);
    };
    qApp->installEventFilter(&watch);
    delegate = std::make_unique<AppDelegate>(env);
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(makes, 0) << "made before the first frame";
    ASSERT_TRUE(waitUntil([&] { return makes > 0; }));
    qApp->removeEventFilter(&watch);
    EXPECT_TRUE(paintedBeforeMade);
    EXPECT_EQ(makes, 1);
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(delegate->menuBarManager().timerViewModel(), windows().applicationWindow()->timerViewModel());
    EXPECT_NE(made->entry("Quit"), nullptr) << "drawn as it stands once made";
}

// The item shows hours and minutes: it changes once a minute of the timer's time, on the
// timer's clock, and a bound timer that does not run wakes nothing.
TEST_F(StatusItemTest, RefreshesOncePerMinuteOfARunningTimerAndNeverForAnIdleOne) {
    auto* item = new FakeStatusItem;
    MenuBarManager manager{std::unique_ptr<StatusItem>(item)};
    auto clock = std::make_shared<ManualClock>();
    StateEnvironment env = environment().state;
    env.clock = clock;
    TimerViewModel timer(QStringLiteral("T"), env);
    manager.setTimerViewModel(&timer);
    int refreshes = 0;
    QObject::connect(&manager, &MenuBarManager::timerTextChanged, [&] { ++refreshes; });
    // Real time passes with the event loop running: an idle timer needs no refresh, not
    // even a refresh of the once-a-second kind, which would have come before this.
    bool aSecondPassed = false;
    QTimer::singleShot(1100, [&] { aSecondPassed = true; });
    ASSERT_TRUE(waitUntil([&] { return aSecondPassed; }));
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(clock->scheduledCount(), 0U);

    timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("i")));
    refreshes = 0;
    for (int second = 0; second < 180; ++second) {
        clock->advance(1000);
        EXPECT_LE(clock->scheduledCount(), 1U);
    }
    EXPECT_EQ(refreshes, 3);
    EXPECT_EQ(item->title, "00:03");

    timer.pause();
    refreshes = 0;
    clock->advance(3600 * 1000);
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(clock->scheduledCount(), 0U);
    timer.setDuration(3600);
    EXPECT_EQ(item->title, "01:00") << "a new duration shows at once";
}

TEST_F(StatusItemTest, EveryTimerCommandIsWrittenAtOnce) {
    StateEnvironment env = environment().state;
    auto clock = std::make_shared<ManualClock>();
    env.clock = clock;
    {
        TimerViewModel timer(QStringLiteral("K"), env);
        timer.start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("i")));
        clock->advance(90 * 1000);
        timer.pause();
        // No close hook runs: the process is killed here.
    }
    snapshots->flush();
    SnapshotManager reread(snapshotPath());
    StateEnvironment after = env;
    after.snapshots = &reread;
    TimerViewModel restored(QStringLiteral("K"), after);
    EXPECT_EQ(restored.state(), TimerViewModel::State::paused);
    EXPECT_DOUBLE_EQ(restored.elapsed(), 90.0);
}

// The tray reads what is on hold from the booking records: a line per booking whose
// outcome is open, with until when, in its menu (a task's "&" no mnemonic) and with the
// time, gone once it is settled.
TEST_F(MainMenuTest, TheTrayMenuNamesWhatIsOnHoldUntilItIsSettled) {
    auto* item = new FakeStatusItem;
    ShellEnvironment env = environment();
    env.makeStatusItem = [item]() -> std::unique_ptr<StatusItem> {
        return std::unique_ptr<StatusItem>(item);
    };
    const auto account = addAccount(QStringLiteral("Alpha"));
    delegate = std::make_unique<AppDelegate>(env);
    delegate->applicationDidFinishLaunching();
    delegate->menuBarManager().showStatusItem();
    BookingRecords& records = delegate->bookingRecords();
    BookingRecord draft;
    draft.account = uuidText(*account.id());
    draft.task = makeIssue(QStringLiteral("7"));
    draft.task.reference = QStringLiteral("R&D-7");
    draft.booking = WorkLogBooking{QStringLiteral("7"), QDateTime::currentDateTime(), 5400, QString()};
    draft.source = BookingRecord::Source::manual;
    const QUuid id = records.depart(draft, std::nullopt, {});
    records.unseen(id, APIError::failure(APIError::Cause::TimedOut));
    records.settle();
    const QString until = records.windowEndsAt(*records.record(id)).time().toString(QStringLiteral("HH:mm"));
    const QString note = QStringLiteral("1h 30m on R&D-7 on hold until ") + until;
    const QString menuLine = QStringLiteral("1h 30m on R&&D-7 on hold until ") + until;
    ASSERT_NE(item->entry(menuLine), nullptr) << item->entries.front().title.toStdString();
    EXPECT_FALSE(item->entry(menuLine)->enabled()) << "a line to read, not to click";
    EXPECT_EQ(item->notes, QStringList{note});
    records.answered(id, QStringLiteral("w1"));
    records.found(id, QStringLiteral("w1"));
    records.settle();
    EXPECT_EQ(item->entry(menuLine), nullptr);
    EXPECT_TRUE(item->notes.isEmpty());
}
