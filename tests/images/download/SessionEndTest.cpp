// How a downloader's session ends where it is let go last. As the application ends: its last
// holder an answer queued for the main thread that never ran, so it goes while the application
// object is taken apart, when Qt delivers no more events to any thread; its session still stops
// its network thread there, closing the connections it kept and letting its transfers go. On the
// session's own network thread, where a caller's block that held it goes with a download's
// answer: the session cannot wait there for its thread to end, and still stops.

#include "images/core/CallbackQueue.h"
#include "images/download/RemoteImageDownloader.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

using namespace velmora::images;
using velmora::test::ImageAnswer;
using velmora::test::LoopbackImageServer;

namespace {

const char* childUrlVariable = "VELMORA_SESSION_END_CHILD_URL";

// Connections of this machine to `port` that are open (established), as the kernel lists them.
int establishedTo(quint16 port) {
    int count = 0;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        file.readLine(); // the column names
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            // sl, local address, remote address ("<address>:<port>" in hex), state (01: established)
            if (fields.size() > 3 && fields.at(2).split(':').value(1).toUInt(nullptr, 16) == port &&
                fields.at(3) == "01") {
                ++count;
            }
        }
    }
    return count;
}

// Holds the downloader until the answer it rides on goes, then lets it go and says what is left.
struct LastHolder {
    std::shared_ptr<RemoteImageDownloader> downloader;
    quint16 port = 0;
    ~LastHolder() {
        std::printf("application: %s\n", QCoreApplication::instance() ? "alive" : "gone");
        downloader.reset();
        std::printf("after: %d\n", establishedTo(port));
        std::fflush(stdout);
    }
};

} // namespace

// The half that runs in a child process: one download over a connection kept alive, then the
// downloader is left to an answer queued for the main thread, which main() leaves unrun.
TEST(SessionEnd, childLeavesItsDownloaderToAnUnrunAnswer) {
    const QUrl url(qEnvironmentVariable(childUrlVariable));
    if (url.isEmpty()) {
        GTEST_SKIP() << "started by ADownloaderThatGoesAsTheApplicationEndsClosesItsConnections";
    }
    QTemporaryDir folder;
    RemoteImageDownloaderConfig config;
    ImageSession::Configuration session;
    session.urlCacheDirectory = folder.path();
    // Kept far longer than the child lives: only the session's end closes it.
    session.idleConnectionSeconds = 3600;
    config.sessionConfiguration = session;
    auto holder = std::make_shared<LastHolder>();
    holder->downloader = std::make_shared<RemoteImageDownloader>(config);
    holder->port = quint16(url.port());
    bool finished = false;
    holder->downloader->downloadImage(url, [&](const Image&, const QByteArray&, const ImageError&,
                                               bool done) { finished = finished || done; });
    ASSERT_TRUE(velmora::test::waitUntil([&] { return finished; }));
    std::printf("before: %d\n", establishedTo(holder->port));
    std::fflush(stdout);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [holder] {}, Qt::QueuedConnection);
}

TEST(SessionEnd, ADownloaderThatGoesAsTheApplicationEndsClosesItsConnections) {
    if (qEnvironmentVariableIsSet(childUrlVariable)) {
        GTEST_SKIP();
    }
    LoopbackImageServer server;
    // Only the client ends a connection.
    server.setIgnoresConnectionClose(true);
    server.serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(8, 8)));
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(childUrlVariable),
                       server.url(QStringLiteral("/a.png")).toString());
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=SessionEnd.childLeavesItsDownloaderToAnUnrunAnswer")});
    ASSERT_TRUE(child.waitForFinished(velmora::test::scaledMs(60000)));
    const auto output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();
    // The connection was there, the downloader went once the application was gone, and its
    // connection went with it.
    EXPECT_TRUE(output.contains(QStringLiteral("before: 1\n"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("application: gone\n"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("after: 0\n"))) << output.toStdString();
}

TEST(SessionEnd, ADownloaderLetGoLastOnItsNetworkThreadStops) {
    LoopbackImageServer server;
    server.serve("/missing.png", ImageAnswer::failure(404));
    QTemporaryDir folder;
    RemoteImageDownloaderConfig config;
    ImageSession::Configuration session;
    session.urlCacheDirectory = folder.path();
    config.sessionConfiguration = session;
    auto downloader = std::make_shared<RemoteImageDownloader>(config);
    const std::weak_ptr<RemoteImageDownloader> gone = downloader;
    // The answer runs where it is given, the network thread, and the block holds the downloader:
    // once the block has run and goes, nothing else does.
    RemoteImageContext context;
    auto where = std::make_shared<CallbackQueue>(DispatchQueue::main());
    where->setPolicy(CallbackPolicy::Invoke);
    context.callbackQueue = where;
    std::atomic<bool> answered{false};
    downloader->downloadImage(server.url(QStringLiteral("/missing.png")), 0, context, nullptr,
                              [downloader, &answered](const Image&, const QByteArray&, const ImageError&,
                                                      bool) { answered = true; });
    downloader.reset();
    ASSERT_TRUE(velmora::test::waitUntil([&] { return answered.load() && gone.expired(); }));
}

namespace {

// A delegate whose first look at a body is held until the test lets it go, and which notes
// whether it was called once it was let go itself.
class HeldDelegate : public ImageSessionDelegate {
public:
    void didReceiveData(ImageDataTask&, const QByteArray&) override {
        if (gone) {
            calledWhenGone = true;
        }
        inCall = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        inCall = false;
    }
    void didComplete(ImageDataTask&, const ImageError&) override {
        if (gone) {
            calledWhenGone = true;
        }
    }

    std::atomic<bool> inCall{false};
    std::atomic<bool> release{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> calledWhenGone{false};
};

} // namespace

// The owner of a session's delegate invalidates the session and then lets the delegate go, while
// the session itself may live on with another holder. An invalidation from another thread
// returns only once a delegate call under way has ended, so the delegate it let go is never in use.
TEST(SessionEnd, AnInvalidationWaitsForTheDelegateCallUnderWay) {
    LoopbackImageServer server;
    server.serve("/avatar.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    QTemporaryDir folder;
    ImageSession::Configuration configuration;
    configuration.urlCacheDirectory = folder.path();
    HeldDelegate delegate;
    auto session = std::make_shared<ImageSession>(configuration, &delegate);
    ImageRequest request;
    request.url = server.url(QStringLiteral("/avatar.png"));
    session->dataTask(request, false)->resume();
    ASSERT_TRUE(velmora::test::waitUntil([&] { return delegate.inCall.load(); }));

    std::atomic<bool> asked{false};
    std::atomic<bool> invalidated{false};
    std::thread owner([&] {
        asked = true;
        session->invalidate(true);
        invalidated = true;
    });
    // The call under way is held well past the moment the invalidation was asked for.
    ASSERT_TRUE(velmora::test::waitUntil([&] { return asked.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const bool returnedDuringTheCall = invalidated.load();
    delegate.release = true;
    owner.join();
    delegate.gone = true;
    EXPECT_FALSE(returnedDuringTheCall) << "the invalidation returned while its delegate was in a call";
    EXPECT_FALSE(delegate.inCall.load());
    session.reset();
    EXPECT_FALSE(delegate.calledWhenGone.load());
}
