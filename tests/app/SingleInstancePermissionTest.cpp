#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace velmora;

// Links carry sign-in tokens: no other user of the machine may hand any to this app.
TEST(SingleInstancePermission, OnlyTheUserCanReachTheRunningApp) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QFileInfo(SingleInstance::defaultName()).fileName());
    SingleInstance running(path);
    ASSERT_TRUE(running.listen());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0077, 0u);
}

// In the shared temporary folder anyone could make the socket first and be handed the
// links of the user's later starts; the runtime folder is the user's own, one per session.
TEST(SingleInstancePermission, TheSocketLivesInTheUsersOwnRuntimeFolder) {
    QTemporaryDir session;
    ASSERT_TRUE(
        QFile::setPermissions(session.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray previous = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray previousName = qgetenv("VELMORA_INSTANCE_NAME");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(session.path()));
    qunsetenv("VELMORA_INSTANCE_NAME");

    const QString name = SingleInstance::defaultName();
    EXPECT_EQ(QFileInfo(name).absolutePath(), QDir(session.path()).absolutePath());
    SingleInstance running(name);
    ASSERT_TRUE(running.listen());
    EXPECT_TRUE(QFileInfo::exists(name));

    // Another session (another throw-away home) has a runtime folder of its own and so
    // its own app.
    QTemporaryDir other;
    ASSERT_TRUE(QFile::setPermissions(other.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(other.path()));
    SingleInstance elsewhere(SingleInstance::defaultName());
    EXPECT_EQ(elsewhere.handOver({}, 200), SingleInstance::HandOver::NoRunningApp);

    if (previous.isNull()) {
        qunsetenv("XDG_RUNTIME_DIR");
    } else {
        qputenv("XDG_RUNTIME_DIR", previous);
    }
    if (!previousName.isNull()) {
        qputenv("VELMORA_INSTANCE_NAME", previousName);
    }
}
