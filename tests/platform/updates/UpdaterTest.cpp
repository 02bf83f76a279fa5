#include "platform/updates/Updater.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeUpdateFeed.h"

#include <QTemporaryDir>

#include <chrono>

#include <gtest/gtest.h>

using namespace velmora;
using Release = test::FakeUpdateFeed::Release;

namespace {

struct RecordingDriver : UserDriver {
    std::vector<AppcastItem> offered;
    int notFound = 0;
    std::vector<QString> errors;
    void showUpdateFound(const AppcastItem& item, const QString&) override { offered.push_back(item); }
    void showUpdateNotFound(const QString&) override { ++notFound; }
    void showUpdaterError(const QString& message) override { errors.push_back(message); }
};

const QByteArray kDeviceId = QByteArray(64, 'a');

// How long a feed that does answer may take: the first request of a test loads the TLS
// library and shakes hands, which on a loaded machine under the sanitizers takes seconds
// (stretched by the run's time scale). Only a test about late answers sets a short
// time-out of its own.
const std::chrono::milliseconds kAnswerTimeout = test::scaled(std::chrono::seconds(30));
// The outcome comes within the time-out and some; waitUntil stretches this in its turn.
constexpr int kOutcomeWithinMs = 30000 + 10000;

class UpdaterTest : public ::testing::Test {
protected:
    std::unique_ptr<Updater> makeUpdater(QString currentVersion = QStringLiteral("1.9"),
                                         std::chrono::milliseconds requestTimeout = kAnswerTimeout) {
        Updater::Options options;
        options.settingsFile = dir.filePath(QStringLiteral("updates.ini"));
        options.currentVersion = std::move(currentVersion);
        options.clock = clock;
        options.session = SessionConfiguration::standard();
        options.session->extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
        options.session->requestTimeout = requestTimeout;
        auto updater = std::make_unique<Updater>(options, driver);
        updater->setFeedUrlProvider([this] { return feed.feedUrl(QStringLiteral("1.9")); });
        updater->setHttpHeaders({{"Device-ID", kDeviceId}});
        updater->setSendsSystemProfile(true);
        return updater;
    }

    std::optional<Updater::Outcome> run(Updater& updater, bool userInitiated) {
        std::optional<Updater::Outcome> outcome;
        QObject::connect(&updater, &Updater::checkFinished, [&](Updater::Outcome o) { outcome = o; });
        userInitiated ? updater.checkForUpdates() : updater.checkForUpdatesInBackground();
        test::waitUntil([&] { return outcome.has_value(); }, kOutcomeWithinMs);
        return outcome;
    }

    QTemporaryDir dir;
    test::FakeUpdateFeed feed;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<RecordingDriver> driver = std::make_shared<RecordingDriver>();
};

TEST_F(UpdaterTest, TheFeedRequestCarriesTheDeviceIdAndTheSystemProfile) {
    auto updater = makeUpdater();
    ASSERT_EQ(run(*updater, true), Updater::Outcome::NoUpdate);
    ASSERT_EQ(feed.requests().size(), 1);
    const test::FakeRequest request = feed.requests().first();
    EXPECT_EQ(request.header("Device-ID"), kDeviceId);
    EXPECT_EQ(request.queryValue("appVersion"), "1.9");
    for (const char* item : {"osName", "osVersion", "cpuArchitecture", "lang"})
        EXPECT_TRUE(request.hasQueryItem(QString::fromLatin1(item))) << item;
    EXPECT_EQ(driver->notFound, 1);
}

// Making the updater is part of every start: it must not read the authorities there
// (which loads the TLS library on the main thread before the first window), only when
// its first check makes the session, and then it honours them as they stand.
TEST_F(UpdaterTest, TheProcessAuthoritiesAreTakenWhenTheFirstCheckRunsNotWhenTheUpdaterIsMade) {
    Updater::Options options;
    options.settingsFile = dir.filePath(QStringLiteral("updates.ini"));
    options.currentVersion = QStringLiteral("1.9");
    options.clock = clock;
    Updater updater(options, driver);
    updater.setFeedUrlProvider([this] { return feed.feedUrl(QStringLiteral("1.9")); });
    SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
    const auto outcome = run(updater, true);
    SessionConfiguration::setProcessExtraCaCertificates({});
    EXPECT_EQ(outcome, Updater::Outcome::NoUpdate);
    EXPECT_TRUE(driver->errors.empty());
}

TEST_F(UpdaterTest, OffersTheNewestNewerVersionOnly) {
    auto updater = makeUpdater();
    feed.serve({{"1.9", "1.9"}, {"1.8", "1.8"}});
    EXPECT_EQ(run(*updater, false), Updater::Outcome::NoUpdate);
    EXPECT_TRUE(driver->offered.empty());
    EXPECT_EQ(driver->notFound, 0); // nobody asked: nothing to say

    feed.serve({{"1.10", "1.10"}, {"1.9.5", "1.9.5"}, {"1.2", "1.2"}});
    EXPECT_EQ(run(*updater, false), Updater::Outcome::UpdateFound);
    ASSERT_EQ(driver->offered.size(), 1u);
    EXPECT_EQ(driver->offered.front().version, "1.10");
}

TEST_F(UpdaterTest, AnItemWithoutNotesIsOfferedWithTheNotesItsLinkPointsTo) {
    auto updater = makeUpdater();
    const QString page = feed.server().url(QStringLiteral("/notes/2.0.html")).toString();
    feed.server().on(
        "GET", "/notes/2.0.html",
        test::FakeResponse{200, {{"Content-Type", "text/html"}}, "<h2>2.0</h2><p>Faster sync.</p>"});
    Release release{"2.0", "2.0"};
    release.notes.clear();
    release.notesLink = page;
    feed.serve({release});
    ASSERT_EQ(run(*updater, false), Updater::Outcome::UpdateFound);
    ASSERT_EQ(driver->offered.size(), 1u);
    EXPECT_TRUE(driver->offered.front().releaseNotes.contains("Faster sync."));
    EXPECT_EQ(driver->offered.front().releaseNotesLink, QUrl(page));
}

TEST_F(UpdaterTest, NotesThatAreNotHttpsOrTooLongOrMissingLeaveTheOfferWithoutNotes) {
    auto updater = makeUpdater();
    feed.server().on("GET", "/notes/huge.html",
                     test::FakeResponse{200, {}, QByteArray(Updater::kReleaseNotesCap + 1, 'x')});
    feed.server().on("GET", "/notes/gone.html", test::FakeResponse{404, {}, "<p>Not here</p>"});
    const QString plain = feed.server()
                              .url(QStringLiteral("/notes/2.0.html"))
                              .toString()
                              .replace(QStringLiteral("https://"), QStringLiteral("http://"));
    for (const QString& link : {plain, QStringLiteral("file:///etc/hostname"),
                                feed.server().url(QStringLiteral("/notes/huge.html")).toString(),
                                feed.server().url(QStringLiteral("/notes/gone.html")).toString()}) {
        driver->offered.clear();
        Release release{"2.0", "2.0"};
        release.notes.clear();
        release.notesLink = link;
        feed.serve({release});
        ASSERT_EQ(run(*updater, false), Updater::Outcome::UpdateFound) << link.toStdString();
        ASSERT_EQ(driver->offered.size(), 1u) << link.toStdString();
        EXPECT_TRUE(driver->offered.front().releaseNotes.isEmpty()) << link.toStdString();
    }
    EXPECT_TRUE(feed.server().requestsTo(QStringLiteral("/notes/2.0.html")).isEmpty()) << "nothing over http";
}

TEST_F(UpdaterTest, NeverOffersADownloadPageThatIsNotHttps) {
    auto updater = makeUpdater();
    Release plain{"2.0", "2.0", "http://downloads.example.test/velmora.tar.gz"};
    Release script{"2.1", "2.1", "javascript:alert(1)"};
    Release safe{"1.11", "1.11"};
    feed.serve({plain, script, safe});
    EXPECT_EQ(run(*updater, true), Updater::Outcome::UpdateFound);
    ASSERT_EQ(driver->offered.size(), 1u);
    EXPECT_EQ(driver->offered.front().version, "1.11");
}

TEST_F(UpdaterTest, AFeedThatCannotBeUsedOffersNothingAndKeepsTheLastCheckDate) {
    std::optional<QDateTime> checked;
    {
        auto first = makeUpdater();
        feed.serve({{"1.9", "1.9"}});
        ASSERT_EQ(run(*first, false), Updater::Outcome::NoUpdate);
        checked = first->lastUpdateCheckDate();
        ASSERT_TRUE(checked);
        EXPECT_EQ(*checked, clock->now());
    }

    clock->advance(3600 * 1000);
    // This one gives up on an answer after 400 ms, so that a late answer and none at all
    // fail quickly; every answer below is a failure however late it comes.
    auto updater = makeUpdater(QStringLiteral("1.9"), std::chrono::milliseconds(400));
    ASSERT_EQ(updater->lastUpdateCheckDate(), checked);
    const std::vector<test::FakeResponse> failures{
        test::FakeResponse::text("<rss><channel><item>", 200),
        test::FakeResponse::text(test::FakeUpdateFeed::appcast({{"", "2.0"}}), 200),
        test::FakeResponse::text("", 200),
        test::FakeResponse::text(test::FakeUpdateFeed::appcast({{"2.0", "2.0"}}), 500),
        test::FakeResponse::text(test::FakeUpdateFeed::appcast({{"2.0", "2.0"}})).withDelay(2000),
        test::FakeResponse::noAnswer(),
    };
    for (const auto& failure : failures) {
        feed.serve(failure);
        EXPECT_EQ(run(*updater, false), Updater::Outcome::Failed);
        EXPECT_TRUE(driver->errors.empty()); // quiet: nobody asked
    }
    feed.serve(test::FakeResponse::text("", 503));
    EXPECT_EQ(run(*updater, true), Updater::Outcome::Failed);
    EXPECT_EQ(driver->errors.size(), 1u); // the user asked: told plainly

    // A feed past its size limit is not read, however good the rest of it is.
    QByteArray oversized = test::FakeUpdateFeed::appcast({{"2.0", "2.0"}});
    oversized.replace("<item>", "<item><!--" + QByteArray(Updater::maxFeedSize, ' ') + "-->");
    feed.serve(test::FakeResponse::text(oversized, 200));
    EXPECT_EQ(run(*updater, true), Updater::Outcome::Failed);
    ASSERT_EQ(driver->errors.size(), 2u);

    EXPECT_TRUE(driver->offered.empty());
    EXPECT_EQ(updater->lastUpdateCheckDate(), checked);
}

TEST_F(UpdaterTest, AskingDuringAnAutomaticCheckShowsThatChecksOutcome) {
    auto updater = makeUpdater();
    feed.serve(test::FakeResponse::text(test::FakeUpdateFeed::appcast({{"1.9", "1.9"}})).withDelay(200));
    std::optional<Updater::Outcome> outcome;
    QObject::connect(updater.get(), &Updater::checkFinished, [&](Updater::Outcome o) { outcome = o; });
    updater->checkForUpdatesInBackground();
    updater->checkForUpdates();
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, kOutcomeWithinMs));
    EXPECT_EQ(feed.requests().size(), 1);
    EXPECT_EQ(driver->notFound, 1);
}

TEST_F(UpdaterTest, TheAutomaticSwitchAndTheLastCheckDatePersistAcrossRestarts) {
    {
        auto updater = makeUpdater();
        EXPECT_FALSE(updater->automaticallyChecksForUpdates());
        int changes = 0;
        QObject::connect(updater.get(), &Updater::automaticallyChecksForUpdatesChanged,
                         [&](bool) { ++changes; });
        updater->setAutomaticallyChecksForUpdates(true);
        updater->setAutomaticallyChecksForUpdates(true);
        EXPECT_EQ(changes, 1);
        ASSERT_EQ(run(*updater, false), Updater::Outcome::NoUpdate);
    }
    auto restarted = makeUpdater();
    EXPECT_TRUE(restarted->automaticallyChecksForUpdates());
    EXPECT_EQ(restarted->lastUpdateCheckDate(), clock->now());
}

TEST_F(UpdaterTest, ChecksOnceADayWhileTheSwitchIsOn) {
    auto updater = makeUpdater();
    updater->start();
    EXPECT_FALSE(updater->nextScheduledCheck());
    test::drainEvents();
    EXPECT_EQ(feed.requests().size(), 0);

    // Never checked before: the first automatic check is due at once.
    std::optional<Updater::Outcome> outcome;
    QObject::connect(updater.get(), &Updater::checkFinished, [&](Updater::Outcome o) { outcome = o; });
    updater->setAutomaticallyChecksForUpdates(true);
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, kOutcomeWithinMs));
    EXPECT_EQ(feed.requests().size(), 1);
    EXPECT_EQ(updater->nextScheduledCheck(), clock->now().addDays(1));

    updater->setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(updater->nextScheduledCheck());
}

} // namespace
