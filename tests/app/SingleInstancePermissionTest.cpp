#include "app/SingleInstance.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace velmora;

// Links carry sign-in tokens: no other user of the machine may hand any to this app.
TEST(SingleInstancePermission, OnlyTheUserCanReachTheRunningApp) {
    QTemporaryDir folder;
    const QString path = folder.filePath(SingleInstance::defaultName());
    SingleInstance running(path);
    ASSERT_TRUE(running.listen());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0077, 0u);
}
