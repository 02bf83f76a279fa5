#include "app/DataFolderLock.h"
#include "app/SingleInstance.h"
#include "tests/support/EventLoop.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

using namespace velmora;

namespace {

// One writer per data folder: whoever holds the lock is named to the next; once it has gone
// (a crash included: the lock goes with the process), the next takes it.
TEST(DataFolderLock, OneHolderAtATimeNamedToTheNext) {
    QTemporaryDir data;
    auto first = std::make_unique<DataFolderLock>(data.path());
    ASSERT_EQ(first->take(QStringLiteral("/run/a/velmora-1")), DataFolderLock::Outcome::taken);
    DataFolderLock second(data.path());
    EXPECT_EQ(second.take(QStringLiteral("/run/b/velmora-1")), DataFolderLock::Outcome::heldByAnother);
    EXPECT_EQ(second.holder(), QStringLiteral("/run/a/velmora-1"));
    first.reset();
    EXPECT_EQ(second.take(QStringLiteral("/run/b/velmora-1")), DataFolderLock::Outcome::taken);
}

// A second session of the user (its own runtime folder, so its own socket) over the same data
// folder hands its links to the app that writes there, and ends.
TEST(DataFolderLock, ASecondProcessOverTheFolderHandsOverToTheFirst) {
    QTemporaryDir data;
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString folder = data.filePath(QStringLiteral("Velmora/Velmora"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QTemporaryDir sockets;
    SingleInstance first(sockets.filePath(QStringLiteral("velmora-first")));
    ASSERT_TRUE(first.listen());
    std::optional<QStringList> received;
    QObject::connect(&first, &SingleInstance::linksReceived, [&](const QStringList& links) { received = links; });
    DataFolderLock held(folder);
    ASSERT_EQ(held.take(first.name()), DataFolderLock::Outcome::taken);

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.remove(QStringLiteral("VELMORA_INSTANCE_NAME"));
    second.setProcessEnvironment(env);
    second.start(QStringLiteral(VELMORA_APP_BINARY), {QStringLiteral("velmora://open")});
    ASSERT_TRUE(test::waitUntil([&] { return second.state() == QProcess::NotRunning; }, 20000))
        << "a second writer started";
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return received.has_value(); }));
    EXPECT_EQ(*received, QStringList{QStringLiteral("velmora://open")});
}

} // namespace
