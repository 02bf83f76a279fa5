#include "app/SingleInstance.h"

#include "tests/support/EventLoop.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <memory>
#include <pwd.h>
#include <sys/stat.h>
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
    EXPECT_FALSE(nowhere.handOver({QStringLiteral("velmora://add-account")}, 200));
    EXPECT_FALSE(nowhere.listen());
}

// A hand-over is one short message sent at once; a peer that sends more, takes longer
// or holds too many connections is dropped, and the app keeps answering real starts.
TEST(SingleInstanceLimits, PeersThatSendTooMuchTakeTooLongOrCrowdAreDropped) {
    const QString name = QStringLiteral("velmora-test-") + QUuid::createUuid().toString(QUuid::Id128);
    SingleInstance running(name);
    running.setLimits({/*maxMessage*/ 1024, /*messageTimeoutMs*/ 400, /*maxConnections*/ 3});
    ASSERT_TRUE(running.listen());
    int received = 0;
    QObject::connect(&running, &SingleInstance::linksReceived, [&] { ++received; });

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
        EXPECT_LT(clock.elapsed(), 2000);
    }

    // Too crowded: three idle peers fill the places, a fourth is dropped at once, and
    // the idle ones are dropped at the time limit.
    std::vector<std::unique_ptr<QLocalSocket>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(connectTo(name));
    }
    drainEvents();
    auto fourth = connectTo(name);
    EXPECT_TRUE(droppedByTheServer(*fourth, 300));
    for (auto& peer : idle) {
        EXPECT_TRUE(droppedByTheServer(*peer, 2000)) << "too slow";
    }

    // A message that ends is still handed over, and only once per connection.
    auto start = connectTo(name);
    start->write("velmora://add-account\n\nvelmora://add-account\n\n");
    EXPECT_TRUE(waitUntil([&] { return received > 0; }, 2000));
    drainEvents();
    EXPECT_EQ(received, 1);
}
