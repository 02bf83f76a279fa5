#include "app/SingleInstance.h"

#include "tests/support/EventLoop.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;
using namespace velmora::test;

namespace {

// Sets environment variables for one test and puts them back.
class Environment {
public:
    void set(const char* name, const QByteArray& value) {
        m_saved.emplace_back(name, qgetenv(name));
        if (value.isNull()) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }
    ~Environment() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second.isNull()) {
                qunsetenv(it->first);
            } else {
                qputenv(it->first, it->second);
            }
        }
    }

private:
    std::vector<std::pair<const char*, QByteArray>> m_saved;
};

std::unique_ptr<QLocalSocket> connectTo(const QString& name) {
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(name);
    socket->waitForConnected(1000);
    return socket;
}

bool droppedByTheServer(QLocalSocket& socket, int timeoutMs) {
    return waitUntil([&] { return socket.state() == QLocalSocket::UnconnectedState; }, timeoutMs);
}

// A running app listening on a name of its own, with the links it was handed.
class SingleInstanceLimits : public ::testing::Test {
protected:
    const QString name = QStringLiteral("velmora-test-") + QUuid::createUuid().toString(QUuid::Id128);
    std::unique_ptr<SingleInstance> running;
    QList<QStringList> received;

    // Starts listening, with `limits` when given, and collects each hand-over.
    bool listen(const std::optional<SingleInstance::Limits>& limits = std::nullopt) {
        running = std::make_unique<SingleInstance>(name);
        if (limits) {
            running->setLimits(*limits);
        }
        QObject::connect(running.get(), &SingleInstance::linksReceived,
                         [this](const QStringList& links) { received << links; });
        return running->listen();
    }
};

} // namespace

// Without a runtime folder (Qt gives none when its fallback in the temporary folder
// belongs to someone else) the socket goes into a folder only the user may enter, never
// the shared temporary folder; when there is no such folder there is no hand-over.
TEST(SingleInstanceFolder, WithoutARuntimeFolderTheSocketStaysInTheUsersOwnFolder) {
    QTemporaryDir sharedTemp;
    QTemporaryDir cache;
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    // Someone else's "runtime folder": Qt refuses it.
    QFile squatted(
        QDir(sharedTemp.path()).filePath(QStringLiteral("runtime-") + QString::fromLocal8Bit(user->pw_name)));
    ASSERT_TRUE(squatted.open(QIODevice::WriteOnly));
    squatted.close();
    Environment environment;
    environment.set("VELMORA_INSTANCE_NAME", QByteArray());
    environment.set("XDG_RUNTIME_DIR", QByteArray());
    environment.set("TMPDIR", QFile::encodeName(sharedTemp.path()));
    environment.set("XDG_CACHE_HOME", QFile::encodeName(cache.path()));

    const QString name = SingleInstance::defaultName();
    const QString folder = QDir(cache.path()).filePath(QStringLiteral("velmora-run"));
    EXPECT_EQ(QFileInfo(name).absolutePath(), folder);
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0077, 0u);
    SingleInstance running(name);
    ASSERT_TRUE(running.listen());
    EXPECT_TRUE(QFileInfo::exists(name));
    EXPECT_EQ(QDir(sharedTemp.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
              QStringList{QFileInfo(squatted).fileName()})
        << "nothing was put in the shared temporary folder";

    // A folder that is a link (it could lead anywhere) is no private folder: no hand-over.
    QTemporaryDir elsewhere;
    environment.set("XDG_CACHE_HOME", QFile::encodeName(elsewhere.path()));
    QTemporaryDir open;
    ASSERT_TRUE(QFile::link(open.path(), QDir(elsewhere.path()).filePath(QStringLiteral("velmora-run"))));
    EXPECT_TRUE(SingleInstance::defaultName().isEmpty());
    SingleInstance nowhere(QString{});
    EXPECT_EQ(nowhere.handOver({QStringLiteral("velmora://add-account")}, 200),
              SingleInstance::HandOver::NoRunningApp);
    EXPECT_FALSE(nowhere.listen());
}

// A hand-over is one short message sent at once; a peer that sends more, takes longer
// or holds too many connections is dropped, and the app keeps answering real starts.
TEST_F(SingleInstanceLimits, PeersThatSendTooMuchTakeTooLongOrCrowdAreDropped) {
    ASSERT_TRUE(
        listen(SingleInstance::Limits{/*maxMessage*/ 1024, /*messageTimeoutMs*/ 400, /*maxConnections*/ 3}));

    // Too much: 10 MB without the end of a message.
    {
        auto flood = connectTo(name);
        QElapsedTimer clock;
        clock.start();
        const QByteArray garbage(1024 * 1024, 'x');
        for (int i = 0; i < 10 && flood->state() == QLocalSocket::ConnectedState; ++i) {
            flood->write(garbage);
            waitUntil(
                [&] { return flood->bytesToWrite() == 0 || flood->state() != QLocalSocket::ConnectedState; },
                2000);
        }
        EXPECT_TRUE(droppedByTheServer(*flood, 2000));
        EXPECT_LT(clock.elapsed(), scaledMs(2000));
    }

    // Too crowded: three idle peers fill the places, a fourth makes room by the drop of
    // the one waiting longest, and the others are dropped at the time limit.
    std::vector<std::unique_ptr<QLocalSocket>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(connectTo(name));
        drainEvents();
    }
    auto fourth = connectTo(name);
    EXPECT_TRUE(droppedByTheServer(*idle.front(), 300));
    EXPECT_EQ(idle.back()->state(), QLocalSocket::ConnectedState);
    idle.push_back(std::move(fourth));
    for (auto& peer : idle) {
        EXPECT_TRUE(droppedByTheServer(*peer, 2000)) << "too slow";
    }

    // A message that ends is still handed over, and only once per connection.
    auto start = connectTo(name);
    start->write("velmora://add-account\n\nvelmora://add-account\n\n");
    EXPECT_TRUE(waitUntil([&] { return !received.isEmpty(); }, 2000));
    drainEvents();
    EXPECT_EQ(received.size(), 1);
}

// The limit of a message is its size, not its time: a whole message over the limit sent at once
// is dropped unread, one within it handed over.
TEST_F(SingleInstanceLimits, AMessageOverTheSizeLimitIsDroppedEvenWhenItEndsAtOnce) {
    ASSERT_TRUE(
        listen(SingleInstance::Limits{/*maxMessage*/ 1024, /*messageTimeoutMs*/ 5000, /*maxConnections*/ 8}));

    const QString within = QStringLiteral("velmora://add-account?x=") + QString(990, QLatin1Char('a'));
    auto small = connectTo(name);
    small->write(within.toUtf8() + "\n\n");
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }, 2000));
    EXPECT_EQ(received.front(), QStringList{within});

    const QByteArray over = "velmora://add-account?x=" + QByteArray(2000, 'b') + "\n\n";
    auto large = connectTo(name);
    large->write(over);
    large->flush();
    EXPECT_TRUE(droppedByTheServer(*large, 2000));
    drainEvents();
    EXPECT_EQ(received.size(), 1);
}

namespace {

// Peers that connect and say nothing, and connect again whenever they are dropped.
class IdlePeers {
public:
    IdlePeers(const QString& name, int count) : m_name(name) {
        for (int i = 0; i < count; ++i) {
            auto* socket = new QLocalSocket;
            m_sockets.emplace_back(socket);
            QObject::connect(socket, &QLocalSocket::disconnected, socket, [this, socket] {
                ++reconnects;
                socket->connectToServer(m_name);
            });
            socket->connectToServer(m_name);
        }
    }
    int reconnects = 0;

private:
    QString m_name;
    std::vector<std::unique_ptr<QLocalSocket>> m_sockets;
};

} // namespace

TEST_F(SingleInstanceLimits, IdlePeersThatComeBackNeverKeepALaterStartOut) {
    ASSERT_TRUE(listen());
    IdlePeers idle(name, 8);
    drainEvents();

    const QStringList links{QStringLiteral("velmora://authorize-jira?token=a&refreshToken=b")};
    std::atomic<bool> finished{false};
    auto handedOver = SingleInstance::HandOver::NotConfirmed;
    std::thread later([&] {
        handedOver = SingleInstance(name).handOver(links, 3000);
        finished = true;
    });
    waitUntil([&] { return finished.load(); }, 5000);
    later.join();
    drainEvents();
    EXPECT_EQ(handedOver, SingleInstance::HandOver::Delivered);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.front(), links);
}

TEST_F(SingleInstanceLimits, AStartWhoseLinksWereNotTakenSaysSo) {
    // An app that accepts the connection and never answers, as one that is stuck would.
    QLocalServer stuck;
    ASSERT_TRUE(stuck.listen(name));
    std::atomic<bool> finished{false};
    auto handedOver = SingleInstance::HandOver::Delivered;
    std::thread later([&] {
        handedOver = SingleInstance(name).handOver({QStringLiteral("velmora://add-account")}, 500);
        finished = true;
    });
    waitUntil([&] { return finished.load(); }, 5000);
    later.join();
    EXPECT_EQ(handedOver, SingleInstance::HandOver::NotConfirmed);
    EXPECT_EQ(
        SingleInstance(QStringLiteral("velmora-test-nobody-") + QUuid::createUuid().toString(QUuid::Id128))
            .handOver({}, 200),
        SingleInstance::HandOver::NoRunningApp);

    // The app started as that later start says so in a window (and on its error output), does
    // not start, and ends with an error once the window goes (here: on a termination signal).
    QProcess second;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELMORA_INSTANCE_NAME"), name);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    second.setProcessEnvironment(environment);
    second.start(QStringLiteral(VELMORA_APP_BINARY),
                 {QStringLiteral("velmora://add-account"),
                  QStringLiteral("velmora://authorize-jira?token=secret-t&refreshToken=secret-r")});
    ASSERT_TRUE(second.waitForStarted());
    QByteArray said;
    EXPECT_TRUE(waitUntil(
        [&] {
            said += second.readAllStandardError();
            return said.contains("velmora://authorize-jira") || second.state() == QProcess::NotRunning;
        },
        20000));
    EXPECT_EQ(second.state(), QProcess::Running) << "gone without a window";
    ::kill(static_cast<pid_t>(second.processId()), SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return second.state() == QProcess::NotRunning; }, 20000));
    if (second.state() != QProcess::NotRunning) {
        second.kill();
        second.waitForFinished();
    }
    said += second.readAllStandardError();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_NE(second.exitCode(), 0);
    // Not a failure: the app listens, and a frozen one takes the links when it resumes
    // (below). The start says what it knows, and its status is that of "not confirmed".
    EXPECT_EQ(second.exitCode(), SingleInstance::notConfirmedExitCode);
    EXPECT_TRUE(said.contains("may still")) << said.toStdString();
    EXPECT_FALSE(said.contains("nothing was handed over")) << said.toStdString();
    EXPECT_TRUE(said.contains("velmora://add-account")) << said.toStdString();
    EXPECT_TRUE(said.contains("velmora://authorize-jira")) << said.toStdString();
    EXPECT_FALSE(said.contains("secret")) << "a sign-in link's tokens stay out of the output";
    EXPECT_TRUE(stuck.isListening()) << "the running app's socket is its own still";
}

// The peer that makes room for a new one may have sent its whole message already: it is
// taken and answered, not dropped with it.
TEST_F(SingleInstanceLimits, APeerThatMakesRoomHasTheMessageItSentTaken) {
    ASSERT_TRUE(
        listen(SingleInstance::Limits{/*maxMessage*/ 1024, /*messageTimeoutMs*/ 5000, /*maxConnections*/ 1}));

    // Both wait to be accepted at once; the first has sent everything before.
    auto sender = connectTo(name);
    sender->write("velmora://add-account\n\n");
    ASSERT_TRUE(sender->waitForBytesWritten(1000));
    auto next = connectTo(name);
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }, 2000));
    EXPECT_EQ(received.front(), QStringList{QStringLiteral("velmora://add-account")});
    EXPECT_TRUE(
        waitUntil([&] { return sender->bytesAvailable() > 0 || !sender->waitForReadyRead(10); }, 2000));
    EXPECT_EQ(sender->readAll(), "received\n");
}

// The running app is frozen (stopped, swapping, or busy on its main thread) for longer
// than a later start waits: the start cannot confirm the hand-over, yet the links are on
// their way and the app takes them once it resumes. So "not confirmed" is what the start
// may say, never "not handed over".
TEST_F(SingleInstanceLimits, AFrozenAppTakesTheLinksWhenItResumes) {
    ASSERT_TRUE(listen());

    const QStringList links{QStringLiteral("velmora://authorize-jira?token=a&refreshToken=b")};
    auto handedOver = SingleInstance::HandOver::Delivered;
    // This thread is the running app's: it handles no event while the start waits.
    std::thread later([&] { handedOver = SingleInstance(name).handOver(links, 300); });
    later.join();
    EXPECT_EQ(handedOver, SingleInstance::HandOver::NotConfirmed);
    EXPECT_TRUE(received.isEmpty());

    // It resumes.
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }));
    drainEvents();
    ASSERT_EQ(received.size(), 1) << "once, though unconfirmed";
    EXPECT_EQ(received.front(), links);
}
