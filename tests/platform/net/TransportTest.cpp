#include "platform/net/NetworkSession.h"
#include "platform/net/TransferThread.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/TimeScale.h"
#include "tests/support/UnansweredNames.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace velmora;
using namespace std::chrono_literals;
using test::ImageAnswer;

namespace {

using Outcome = Result<HttpResponse, TransportError>;

// The outcomes of transfers started on the transfer thread directly, by transfer.
struct Outcomes {
    TransferThread::Done sink() {
        return [this](quint64 transfer, Outcome outcome) {
            std::lock_guard lock(mutex);
            ends.emplace_back(transfer, std::move(outcome));
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return ends.size();
    }
    std::mutex mutex;
    std::vector<std::pair<quint64, Outcome>> ends;
};

// A server that never answers, reached one transfer at a time.
struct OneAtATime {
    OneAtATime() {
        server.serve("/silent", ImageAnswer::neverAnswered());
        use->perHost = 1;
    }
    TransferOrder order() const {
        TransferOrder order;
        order.url = server.url(QStringLiteral("/silent"));
        order.connections = use;
        return order;
    }
    test::LoopbackImageServer server;
    std::shared_ptr<ConnectionUse> use = std::make_shared<ConnectionUse>();
};

std::optional<Outcome> run(const std::shared_ptr<NetworkSession>& session, const QUrl& url, int waitMs) {
    std::optional<Outcome> outcome;
    HttpRequest request;
    request.url = url;
    auto running = session->send(std::move(request)).subscribe([&](Outcome r) { outcome = std::move(r); });
    test::waitUntil([&] { return outcome.has_value(); }, waitMs);
    return outcome;
}

} // namespace

// The application's end stops the transport: a transfer under way and one still waiting for a
// connection each hear that the network is shutting down, said as never sent only for the one
// that never went out, so a caller never waits for an answer that cannot come.
TEST(Transport, StoppingTellsEveryTransferUnderWayOrWaitingHowItEnded) {
    OneAtATime silent;
    test::LoopbackImageServer& server = silent.server;
    Outcomes outcomes;
    std::vector<quint64> started;
    for (int i = 0; i < 2; ++i) {
        started.push_back(TransferThread::instance().start(silent.order(), outcomes.sink()));
    }
    ASSERT_TRUE(test::waitUntil([&] { return server.acceptedConnections() == 1; }, 5000));
    ASSERT_TRUE(test::waitUntil([&] { return server.requestCount("/silent") == 1; }, 5000));
    TransferThread::instance().stop();
    ASSERT_EQ(outcomes.count(), 2u);
    for (const auto& [transfer, outcome] : outcomes.ends) {
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().kind, TransportError::Kind::ConnectionFailed);
        EXPECT_TRUE(outcome.error().message.contains(QStringLiteral("shutting down")))
            << outcome.error().message.toStdString();
        // The first went out and may have reached the server; the second never left.
        EXPECT_EQ(outcome.error().neverSent, transfer == started[1]) << transfer;
    }
    // A later request starts the transport again.
    server.serve("/ping", ImageAnswer::image("{}", "application/json"));
    const auto again = run(NetworkSession::create(), server.url(QStringLiteral("/ping")), 5000);
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(again->ok()) << again->error().description().toStdString();
}

// The last holder of a session may let go on the transport's own thread, in a transfer's ending,
// just as the application's end stops the transport. The session's end asks the transport to
// forget its connections, which must not wait for the very thread it runs on (the stop waited for
// that thread for ever: the app hung at its end), and the thread still knows itself meanwhile, so
// that what it runs never waits there for a call under way on that same thread.
TEST(Transport, ASessionLetGoOnTheTransportsThreadAsItStopsEndsWithoutWaitingForItself) {
    test::LoopbackImageServer server;
    server.serve("/ping", ImageAnswer::image("{}", "application/json"));
    auto gone = std::make_shared<ConnectionUse>();
    std::atomic<bool> ending = false;
    std::atomic<bool> knewItself = false;
    std::atomic<bool> forgot = false;
    TransferOrder order;
    order.url = server.url(QStringLiteral("/ping"));
    TransferThread::instance().start(order, [&, gone](quint64, Outcome) {
        ending = true;
        // The stop below takes the thread meanwhile and waits for it.
        std::this_thread::sleep_for(300ms);
        knewItself = TransferThread::instance().isCurrentThread();
        TransferThread::instance().forget(gone.get());
        forgot = true;
    });
    ASSERT_TRUE(test::waitUntil([&] { return ending.load(); }, 10000));
    std::atomic<bool> stopped = false;
    std::thread stopping([&] {
        TransferThread::instance().stop();
        stopped = true;
    });
    if (!test::waitUntil([&] { return stopped.load(); }, 15000)) {
        // Nothing can end the thread that waits for itself: fail the whole program here.
        std::fprintf(stderr, "the transport's stop never ended: its thread waits for itself\n");
        std::fflush(stderr);
        std::_Exit(1);
    }
    stopping.join();
    EXPECT_TRUE(forgot);
    EXPECT_TRUE(knewItself) << "the transport's thread took itself for another while it stopped";
}

// An idle tracker connection is kept while its server keeps it, so the sheet's read seconds
// after the timer's Stop goes on it: past a gap of several seconds when the server says nothing,
// and closed by this side before the time a server says it keeps one (it was 4 s, whatever
// the server said).
TEST(Transport, AnIdleTrackerConnectionIsKeptWhileItsServerKeepsItAndClosedByThisSideFirst) {
    test::LoopbackImageServer says;
    test::LoopbackImageServer silent;
    says.serve("/ping",
               ImageAnswer::image("{}", "application/json").withHeader("Keep-Alive", "timeout=12, max=100"));
    silent.serve("/ping", ImageAnswer::image("{}", "application/json"));
    const auto session = NetworkSession::create();
    for (test::LoopbackImageServer* server : {&says, &silent}) {
        server->setIgnoresConnectionClose(true);
        const auto outcome = run(session, server->url(QStringLiteral("/ping")), 5000);
        ASSERT_TRUE(outcome.has_value() && outcome->ok());
    }
    QElapsedTimer idle;
    idle.start();
    test::waitUntil([] { return false; }, 5000);
    // A machine that held this test past the server's time says nothing of the age kept: only a
    // look well within it is judged.
    if (idle.elapsed() < 10000) {
        EXPECT_EQ(says.openConnections(), 1) << "closed after " << idle.elapsed() << " ms idle";
    }
    const auto later = run(session, silent.url(QStringLiteral("/ping")), 5000);
    ASSERT_TRUE(later.has_value() && later->ok());
    EXPECT_EQ(silent.acceptedConnections(), 1) << "the read after the gap opened a connection";
    EXPECT_TRUE(test::waitUntil([&] { return says.openConnections() == 0; },
                                std::max(1000, int(12000 - idle.elapsed()))))
        << "still open after " << idle.elapsed() << " ms idle";
}

// How long a tracker connection is kept idle: what its server says less a second, a minute where
// it says nothing (or nothing readable), never more than two.
TEST(Transport, AnIdleConnectionsAgeFollowsWhatItsServerSaysItKeeps) {
    ConnectionUse use;
    use.serverKeeps = ConnectionUse::ServerKeeps{};
    const std::pair<QByteArray, std::chrono::milliseconds> cases[] = {
        {"timeout=5, max=100", 4s}, {"max=100,Timeout = 30", 29s}, {"timeout=1", 0s},
        {"timeout=86400", 120s},    {"max=100", 60s},               {"timeout=soon", 60s},
    };
    for (const auto& [said, age] : cases) {
        EXPECT_EQ(use.idleAgeAfter({{"keep-alive", said}}), age) << said.toStdString();
    }
    EXPECT_EQ(use.idleAgeAfter({}), 60s);
}

// A kept connection the server closed anyway, silently and before this side's age (idle a
// while, or as the next request arrived), costs a read a new connection and nothing else: no
// error reaches the user, and the read reaches the server once where its close came first.
TEST(Transport, AReadOnAKeptConnectionTheServerClosedAnywayGoesOnANewOne) {
    using Scheme = test::LoopbackImageServer::Scheme;
    auto configuration = SessionConfiguration::standard();
    configuration.extraCaCertificates = test::LoopbackImageServer::trustedCaCertificates();
    const auto session = NetworkSession::create(configuration);
    for (const Scheme scheme : {Scheme::Http, Scheme::Https}) {
        for (const bool idleClose : {true, false}) {
            test::LoopbackImageServer server(scheme);
            server.serve("/ping", ImageAnswer::image("{}", "application/json"));
            server.setClosesIdleConnectionsAfter(idleClose ? 200 : -1);
            server.setClosesKeptConnectionsOnRequest(!idleClose);
            std::optional<Outcome> outcome = run(session, server.url(QStringLiteral("/ping")), 5000);
            ASSERT_TRUE(test::waitUntil([&] { return server.openConnections() == (idleClose ? 0 : 1); }, 5000));
            outcome = run(session, server.url(QStringLiteral("/ping")), 10000);
            ASSERT_TRUE(outcome.has_value() && outcome->ok()) << int(scheme) << idleClose;
            // Closed as the read arrived, on a connection that seemed alive: libcurl sends it
            // once more, on a new one.
            EXPECT_EQ(server.requestCount("/ping"), idleClose ? 2 : 3) << int(scheme) << idleClose;
        }
    }
}

// A name that never answers holds a tracker request's place no longer than the connection's
// own bound, however long the request may stall otherwise.
TEST(Transport, ANameThatNeverAnswersHoldsATrackerRequestOnlyForTheConnectionsBound) {
    test::UnansweredNames unanswered;
    auto configuration = SessionConfiguration::standard();
    configuration.requestTimeout = 60s;
    QElapsedTimer clock;
    clock.start();
    const auto outcome = run(NetworkSession::create(configuration),
                             QUrl(QStringLiteral("http://tracker.unanswered.test/rest/api/3/myself")), 30000);
    ASSERT_TRUE(outcome.has_value()) << "still waiting after " << clock.elapsed() << " ms";
    EXPECT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::TimedOut) << outcome->error().description().toStdString();
    EXPECT_GE(clock.elapsed(), 9000);
}

// The head's time runs from its first byte, whatever its lines' length: a head that comes a byte
// a time, a status line that never ends, ends at the head's bound (it ran to the stall bound).
TEST(Transport, AHeadThatComesAByteAtATimeEndsAtTheHeadsBoundCountedFromItsFirstByte) {
    using Scheme = test::LoopbackImageServer::Scheme;
    for (const Scheme scheme : {Scheme::Http, Scheme::Https}) {
        test::LoopbackImageServer server(scheme);
        server.serve("/slow", ImageAnswer::headByteByByte(100));
        TransferOrder order;
        order.url = server.url(QStringLiteral("/slow"));
        order.headTimeout = 1500ms;
        order.stallTimeout = 30s;
        order.authorities =
            TrustStore::of(TrustStore::derOf(test::LoopbackImageServer::trustedCaCertificates()));
        Outcomes outcomes;
        QElapsedTimer clock;
        clock.start();
        TransferThread::instance().start(order, outcomes.sink());
        ASSERT_TRUE(test::waitUntil([&] { return outcomes.count() == 1; }, 10000))
            << (scheme == Scheme::Https ? "https" : "http") << ": still reading the head";
        const Outcome& outcome = outcomes.ends.front().second;
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().kind, TransportError::Kind::TimedOut);
        EXPECT_TRUE(outcome.error().message.contains(QStringLiteral("head"))) << outcome.error().message.toStdString();
        EXPECT_GE(clock.elapsed(), 1500);
    }
}

// A request that timed out while it still waited for a connection place never left: it is said
// so, and a booking's time may go again (it read as possibly sent).
TEST(Transport, ARequestThatTimedOutInItsQueueIsNeverSent) {
    OneAtATime silent;
    Outcomes outcomes;
    TransferOrder order = silent.order();
    const quint64 first = TransferThread::instance().start(order, outcomes.sink());
    ASSERT_TRUE(test::waitUntil([&] { return silent.server.requestCount("/silent") == 1; }, 5000));
    order.method = "POST";
    order.body = QByteArray("{}");
    order.resourceTimeout = 500ms;
    TransferThread::instance().start(order, outcomes.sink());
    ASSERT_TRUE(test::waitUntil([&] { return outcomes.count() == 1; }, 5000));
    TransferThread::instance().cancel(first);
    const Outcome& queued = outcomes.ends.front().second;
    ASSERT_FALSE(queued.ok());
    EXPECT_EQ(queued.error().kind, TransportError::Kind::TimedOut);
    EXPECT_TRUE(queued.error().neverSent) << queued.error().message.toStdString();
}

// A proxied target's addresses are looked up on a few threads, not one thread per request:
// names that never answer hold those few, and every transfer, queued or not, ends at its
// connection's bound.
TEST(Transport, AProxiedTargetsLookUpsRunOnAFewThreads) {
    test::UnansweredNames unanswered;
    Outcomes outcomes;
    for (int i = 0; i < 12; ++i) {
        TransferOrder order;
        order.url = QUrl(QStringLiteral("http://host%1.unanswered.test/a.png").arg(i));
        order.proxy = "http://127.0.0.1:1";
        order.addresses = std::make_shared<AddressRule>();
        order.connectTimeout = 1500ms;
        TransferThread::instance().start(order, outcomes.sink());
    }
    ASSERT_TRUE(test::waitUntil([] { return test::UnansweredNames::waiting() > 0; }, 5000));
    test::waitUntil([] { return false; }, 500);
    EXPECT_LE(test::UnansweredNames::waiting(), 4);
    ASSERT_TRUE(test::waitUntil([&] { return outcomes.count() == 12; }, 8000)) << outcomes.count() << " ended";
    for (const auto& [transfer, outcome] : outcomes.ends) {
        EXPECT_EQ(outcome.error().kind, TransportError::Kind::TimedOut);
    }
}
