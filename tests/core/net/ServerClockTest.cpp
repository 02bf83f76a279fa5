#include "core/net/ServerClock.h"
#include "core/net/APIRequest.h"
#include "tests/support/Await.h"
#include "tests/support/FakeHttpsServer.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

// 2026-03-05 10:02:07 UTC, as ms since 1970.
const qint64 stamped = QDateTime(QDate(2026, 3, 5), QTime(10, 2, 7), QTimeZone::utc()).toMSecsSinceEpoch();
const QByteArray stampedText = "Thu, 05 Mar 2026 10:02:07 GMT";
const QString host = QStringLiteral("tracker.example.test:443");

class ServerClockTest : public ::testing::Test {
protected:
    ServerClockTest() { ServerClock::forgetAll(); }
    ~ServerClockTest() override { ServerClock::forgetAll(); }
};

} // namespace

TEST_F(ServerClockTest, ReadsOnlyTheDateFormServersSend) {
    EXPECT_EQ(ServerClock::parseHttpDate(stampedText), stamped);
    EXPECT_EQ(ServerClock::parseHttpDate(" " + stampedText + " "), stamped);
    for (const QByteArray& odd :
         {QByteArray("Thu, 05 Mar 2026 10:02:07 +0000"), QByteArray("Thursday, 05-Mar-26 10:02:07 GMT"),
          QByteArray("Thu Mar  5 10:02:07 2026"), QByteArray("Thu, 31 Feb 2026 10:02:07 GMT"),
          QByteArray("Thu, 05 Mar 2026 25:02:07 GMT"), QByteArray("Thu, 05 Mar 2026 1x:02:07 GMT"),
          QByteArray("Thu, 05 Foo 2026 10:02:07 GMT"), QByteArray(), QByteArray(100000, 'x')}) {
        EXPECT_FALSE(ServerClock::parseHttpDate(odd).has_value()) << odd.left(40).toStdString();
    }
}

TEST_F(ServerClockTest, OneAnswerBoundsTheOffsetToItsSecondAndItsWay) {
    // Sent 300 ms before the stamped second began here, answered 200 ms into it: the
    // date was written somewhere in its second, while the request was on its way.
    ServerClock::observe(host, stamped - 300, stamped + 200, stampedText);
    const auto offset = ServerClock::offset(host, stamped + 1000);
    ASSERT_TRUE(offset.has_value());
    EXPECT_EQ(offset->least, -200);
    EXPECT_EQ(offset->most, 999 + 300);
    EXPECT_FALSE(ServerClock::offset(QStringLiteral("other.example.test:443"), stamped).has_value());
}

TEST_F(ServerClockTest, AnswersTogetherNarrowTheOffsetAndANewClockStartsAnew) {
    // The tracker a minute behind: one answer in the second's start, one near its end.
    const QByteArray behind = "Thu, 05 Mar 2026 10:01:07 GMT";
    ServerClock::observe(host, stamped - 10, stamped + 10, behind);
    ServerClock::observe(host, stamped + 980, stamped + 990, behind);
    auto offset = ServerClock::offset(host, stamped + 2000);
    ASSERT_TRUE(offset.has_value());
    // Each alone leaves a second; together, what both allow.
    EXPECT_EQ(offset->least, -60'000 - 10);
    EXPECT_EQ(offset->most, -60'000 + 999 - 980);

    // Set right since: the newer answer does not agree with the older, and which one the
    // tracker stamps by is not known until the older ones have aged out.
    ServerClock::observe(host, stamped + 5000, stamped + 5010, "Thu, 05 Mar 2026 10:02:12 GMT");
    EXPECT_FALSE(ServerClock::offset(host, stamped + 6000).has_value());
    ServerClock::observe(
        host, stamped + ServerClock::sampleLifetime + 2000, stamped + ServerClock::sampleLifetime + 2010,
        QLocale::c()
                .toString(QDateTime::fromMSecsSinceEpoch(stamped + ServerClock::sampleLifetime + 2000,
                                                         QTimeZone::utc()),
                          QStringLiteral("ddd, dd MMM yyyy HH:mm:ss"))
                .toLatin1() +
            " GMT");
    offset = ServerClock::offset(host, stamped + ServerClock::sampleLifetime + 4000);
    ASSERT_TRUE(offset.has_value());
    EXPECT_GE(offset->least, -1000);
    EXPECT_LE(offset->most, 1000);

    // Answers of long ago tell nothing of the clock now.
    EXPECT_FALSE(ServerClock::offset(host, stamped + 3 * ServerClock::sampleLifetime).has_value());
}

TEST_F(ServerClockTest, ADateThatIsNoClockIsLeftOut) {
    ServerClock::observe(host, stamped, stamped + 10, "Thu, 05 Mar 1970 10:02:07 GMT");
    ServerClock::observe(host, stamped + 10, stamped, stampedText);
    EXPECT_FALSE(ServerClock::offset(host, stamped).has_value());
}

TEST_F(ServerClockTest, EveryAnswerOfATrackerTellsItsClockAndRefusalsToo) {
    SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
    test::FakeHttpsServer server;
    server.setClockOffset(-60'000);
    server.on("GET", "/api/refused", test::FakeResponse::json("{}", 403));
    auto client = APIRequest::youTrack(QStringLiteral("t"), server.hostAndPort());
    EXPECT_FALSE(client->trackerClock().has_value());
    (void)test::awaitOutcome(
        client->perform<Void>(QUrl(server.url(QStringLiteral("/api/refused"))), HttpMethod::Get));
    const auto offset = client->trackerClock();
    ASSERT_TRUE(offset.has_value());
    EXPECT_LE(offset->least, -60'000);
    EXPECT_GE(offset->most, -60'000);
    EXPECT_LT(offset->least, offset->most);
    // Generous room for a slow machine: the bound is a second and the way there and back.
    EXPECT_GT(offset->least, -60'000 - 30'000);
    EXPECT_LT(offset->most, -60'000 + 30'000);
}

TEST_F(ServerClockTest, AnswersOfTwoClocksLeaveTheClockUnknownNeverTheNewest) {
    // Two machines behind one name, 40 s apart, answering in turn.
    const QByteArray ahead = "Thu, 05 Mar 2026 10:02:47 GMT";
    ServerClock::observe(host, stamped + 100, stamped + 110, stampedText);
    ServerClock::observe(host, stamped + 200, stamped + 210, ahead);
    EXPECT_FALSE(ServerClock::offset(host, stamped + 1000).has_value());
    ServerClock::observe(host, stamped + 300, stamped + 310, stampedText);
    EXPECT_FALSE(ServerClock::offset(host, stamped + 1000).has_value());
    // Bounds that only just miss each other are no range either (least above most).
    ServerClock::forgetAll();
    ServerClock::observe(host, stamped - 10, stamped + 10, stampedText);
    ServerClock::observe(host, stamped + 1990, stamped + 2000, stampedText);
    EXPECT_FALSE(ServerClock::offset(host, stamped + 3000).has_value());
}

TEST_F(ServerClockTest, ADateACacheServedIsNotTheTrackersClock) {
    SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
    test::FakeHttpsServer server;
    // Stored two minutes ago by a cache in front of the tracker, dated then.
    server.setCachedDates(120);
    server.on("GET", "/api/cached", test::FakeResponse::json("{}", 200));
    auto client = APIRequest::youTrack(QStringLiteral("t"), server.hostAndPort());
    (void)test::awaitOutcome(
        client->perform<Void>(QUrl(server.url(QStringLiteral("/api/cached"))), HttpMethod::Get));
    EXPECT_FALSE(client->trackerClock().has_value());
    // Fresh from the tracker ("Age: 0"), it is.
    server.setCachedDates(0);
    (void)test::awaitOutcome(
        client->perform<Void>(QUrl(server.url(QStringLiteral("/api/cached"))), HttpMethod::Get));
    const auto offset = client->trackerClock();
    ASSERT_TRUE(offset.has_value());
    EXPECT_GT(offset->least, -30'000);
    EXPECT_LT(offset->most, 30'000);
}
