#include "platform/files/AtomicFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void put(const QString& path, const QByteArray& data, int ageSeconds = 0) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.flush();
    if (ageSeconds > 0) {
        file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                         QFileDevice::FileModificationTime);
    }
}

bool isLink(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

} // namespace

TEST(AtomicFileTest, AWriteReplacesWhateverIsAtThePathAndNeverWritesThroughIt) {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("users-own-file"));
    put(target, "the user's bytes");

    // A link planted at the path: the link is replaced, its target kept.
    const QString linked = dir.filePath(QStringLiteral("linked"));
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(linked).constData()), 0);
    ASSERT_TRUE(AtomicFile::write(linked, "new bytes").ok());
    EXPECT_FALSE(isLink(linked));
    EXPECT_EQ(contents(linked), "new bytes");
    EXPECT_EQ(contents(target), "the user's bytes");

    // A second name of the user's file (a hard link): the name is replaced, the file kept.
    const QString second = dir.filePath(QStringLiteral("second-name"));
    ASSERT_EQ(::link(QFile::encodeName(target).constData(), QFile::encodeName(second).constData()), 0);
    ASSERT_TRUE(AtomicFile::write(second, "other bytes", false).ok());
    EXPECT_EQ(contents(second), "other bytes");
    EXPECT_EQ(contents(target), "the user's bytes");

    // A FIFO nobody reads and a link to a device: replaced at once, never opened.
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(AtomicFile::write(fifo, "fifo no more").ok());
    EXPECT_EQ(contents(fifo), "fifo no more");
    const QString device = dir.filePath(QStringLiteral("device"));
    ASSERT_EQ(::symlink("/dev/null", QFile::encodeName(device).constData()), 0);
    EXPECT_TRUE(AtomicFile::write(device, "a file now").ok());
    EXPECT_EQ(contents(device), "a file now");

    // A folder at the path stays, and so does no temporary.
    const QString folder = dir.filePath(QStringLiteral("folder"));
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_FALSE(AtomicFile::write(folder, "x").ok());
    EXPECT_TRUE(QFileInfo(folder).isDir());
    for (const QString& name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        EXPECT_FALSE(name.contains(QLatin1String("velmora-write"))) << name.toStdString();
    }
}

TEST(AtomicFileTest, AWriteKeepsTheFilesPermissions) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("private"));
    put(path, "old");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0600), 0);
    ASSERT_TRUE(AtomicFile::write(path, "new").ok());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(AtomicFileTest, OnlyTemporariesOfTheAppsOwnWritesAreLeftovers) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    const QStringList leftovers = {QStringLiteral("Velmora.plist.velmora-write-aB3xY9"),
                                   QStringLiteral("Velmora.plist.velmora-write-QQQQQQ")};
    // A user's files of every age, the six-letter "backup" among them, and a write under way.
    const QStringList others = {QStringLiteral("Velmora.plist"),
                                QStringLiteral("Velmora.plist.backup"),
                                QStringLiteral("Velmora.plist.aB3xY9"),
                                QStringLiteral("Velmora.plist.velmora-write-aB3xY"),
                                QStringLiteral("Velmora.plist.velmora-write-aB3xY90"),
                                QStringLiteral("Velmora.plist.velmora-write-aB3-Y9"),
                                QStringLiteral("Other.plist.velmora-write-aB3xY9"),
                                QStringLiteral("xVelmora.plist.velmora-write-aB3xY9")};
    for (const auto& name : leftovers + others) {
        put(dir.filePath(name), "x", 3600);
    }
    const QString underWay = QStringLiteral("Velmora.plist.velmora-write-n0wNow");
    put(dir.filePath(underWay), "x");
    for (const auto& name : leftovers + QStringList{underWay}) {
        EXPECT_TRUE(AtomicFile::isTemporaryOf(path, name)) << name.toStdString();
    }
    for (const auto& name : others) {
        EXPECT_FALSE(AtomicFile::isTemporaryOf(path, name)) << name.toStdString();
    }

    EXPECT_EQ(AtomicFile::removeLeftovers(path, std::chrono::seconds(60)), 2);
    QStringList remaining = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    QStringList expected = others + QStringList{underWay};
    remaining.sort();
    expected.sort();
    EXPECT_EQ(remaining, expected);
    EXPECT_EQ(AtomicFile::removeLeftovers(path), 1);
    EXPECT_EQ(AtomicFile::removeLeftovers(dir.filePath(QStringLiteral("none/Velmora.plist"))), 0);
}

TEST(AtomicFileTest, ANameAtTheFileSystemsLimitIsWrittenAndItsLeftoversKnown) {
    QTemporaryDir dir;
    // 255 bytes, with wildcard and two-byte characters in it.
    const QString name = QStringLiteral("[a]*?") + QString(125, QChar(0x00e9));
    ASSERT_EQ(QFile::encodeName(name).size(), 255);
    const QString path = dir.filePath(name);
    ASSERT_TRUE(AtomicFile::write(path, "long").ok());
    EXPECT_EQ(contents(path), "long");

    const QString shortened =
        QStringLiteral("[a]*?") + QString(114, QChar(0x00e9)) + QStringLiteral(".velmora-write-abc123");
    ASSERT_LE(QFile::encodeName(shortened).size(), 255);
    put(dir.filePath(shortened), "x");
    EXPECT_TRUE(AtomicFile::isTemporaryOf(path, shortened));
    EXPECT_EQ(AtomicFile::removeLeftovers(path), 1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{name});
}

// A folder of many files the app writes (a cache) loses the temporaries of any of them, by
// the same rule: old regular files with exactly a temporary's name.
TEST(AtomicFileTest, AFoldersLeftoversAreTheTemporariesOfAnyOfItsFiles) {
    QTemporaryDir dir;
    const QStringList leftovers = {
        QStringLiteral("0cc175b9c0f1b6a831c399e269772661.png.velmora-write-aB3xY9"),
        QStringLiteral("0cc175b9c0f1b6a831c399e269772661.velmora-write-QQQQQQ"),
        QStringLiteral(".velmora-write-abc123")};
    const QStringList others = {QStringLiteral("0cc175b9c0f1b6a831c399e269772661.png"),
                                QStringLiteral("a.velmora-write-aB3xY"),
                                QStringLiteral("a.velmora-write-aB3xY90"),
                                QStringLiteral("a.velmora-write-aB3-Y9"),
                                QStringLiteral("a.velmora-writ-aB3xY9"),
                                QStringLiteral("velmora-write-aB3xY9")};
    for (const auto& name : leftovers + others) {
        put(dir.filePath(name), "x", 3600);
    }
    const QString underWay = QStringLiteral("b.velmora-write-n0wNow");
    put(dir.filePath(underWay), "x");
    // A link with a temporary's name is no file of a write: it and its target stay.
    const QString link = dir.filePath(QStringLiteral("c.velmora-write-L1nkLk"));
    ASSERT_EQ(::symlink(QFile::encodeName(dir.filePath(others[0])).constData(),
                        QFile::encodeName(link).constData()),
              0);
    for (const auto& name : leftovers + QStringList{underWay}) {
        EXPECT_TRUE(AtomicFile::isTemporary(name)) << name.toStdString();
    }
    for (const auto& name : others) {
        EXPECT_FALSE(AtomicFile::isTemporary(name)) << name.toStdString();
    }

    EXPECT_EQ(AtomicFile::removeLeftoversIn(dir.path(), std::chrono::seconds(60)), 3);
    QStringList remaining =
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QStringList expected = others + QStringList{underWay, QFileInfo(link).fileName()};
    remaining.sort();
    expected.sort();
    EXPECT_EQ(remaining, expected);
    EXPECT_TRUE(isLink(link));
    EXPECT_EQ(AtomicFile::removeLeftoversIn(dir.filePath(QStringLiteral("none")), std::chrono::seconds(60)),
              0);
}

// The temporary is a new file of this write: a link or a file planted at its name is never
// opened, whatever it leads to, and the write goes on to another name.
TEST(AtomicFileTest, ALinkOrFileAtTheTemporarysNameIsNeverWrittenThrough) {
    QTemporaryDir dir;
    const QString users = dir.filePath(QStringLiteral("users-own-file"));
    put(users, "the user's bytes");
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    put(path, "old");
    const QStringList names = {QStringLiteral("Velmora.plist.velmora-write-link01"),
                               QStringLiteral("Velmora.plist.velmora-write-name02"),
                               QStringLiteral("Velmora.plist.velmora-write-free03")};
    ASSERT_EQ(::symlink(QFile::encodeName(users).constData(),
                        QFile::encodeName(dir.filePath(names[0])).constData()),
              0);
    // A second name of the user's file.
    ASSERT_EQ(
        ::link(QFile::encodeName(users).constData(), QFile::encodeName(dir.filePath(names[1])).constData()),
        0);
    int tried = 0;
    const auto namesUpTo = [&](int count) {
        return [&names, &tried, count](int attempt) {
            tried = attempt + 1;
            return attempt < count ? names[attempt] : QString();
        };
    };

    ASSERT_TRUE(AtomicFile::write(path, "new", false, namesUpTo(3)).ok());
    EXPECT_EQ(tried, 3);
    EXPECT_EQ(contents(users), "the user's bytes");
    EXPECT_EQ(contents(path), "new");
    EXPECT_FALSE(isLink(path));
    EXPECT_TRUE(isLink(dir.filePath(names[0])));

    // With every name taken the write fails, and the file is as it was.
    EXPECT_FALSE(AtomicFile::write(path, "newer", false, namesUpTo(2)).ok());
    EXPECT_EQ(contents(path), "new");
    EXPECT_EQ(contents(users), "the user's bytes");
}

// The copy kept of a file before it is written again: the file as it was, under the other
// name, whatever was at that name before; the file itself untouched.
TEST(AtomicFileTest, AKeptCopyIsTheFileAsItWasAndReplacesWhatWasAtItsName) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("state"));
    const QString kept = dir.filePath(QStringLiteral("state.previous"));
    const QString users = dir.filePath(QStringLiteral("users-own-file"));
    put(file, "first");
    put(users, "the user's bytes");
    ASSERT_EQ(::symlink(QFile::encodeName(users).constData(), QFile::encodeName(kept).constData()), 0);

    ASSERT_TRUE(AtomicFile::keepCopy(file, kept).ok());
    EXPECT_FALSE(isLink(kept));
    EXPECT_EQ(contents(kept), "first");
    EXPECT_EQ(contents(users), "the user's bytes");
    // The file written again: the kept copy stays as it was.
    ASSERT_TRUE(AtomicFile::write(file, "second").ok());
    EXPECT_EQ(contents(kept), "first");
    EXPECT_EQ(contents(file), "second");
    // Kept already: the copy is a second name of the file (a write after the last keep failed).
    // Nothing changes, and nothing is left beside them.
    ::unlink(QFile::encodeName(kept).constData());
    ASSERT_EQ(::link(QFile::encodeName(file).constData(), QFile::encodeName(kept).constData()), 0);
    ASSERT_TRUE(AtomicFile::keepCopy(file, kept).ok());
    EXPECT_EQ(contents(kept), "second");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              (QStringList{QStringLiteral("state"), QStringLiteral("state.previous"),
                           QStringLiteral("users-own-file")}));
    // A link is never kept as the file.
    const QString link = dir.filePath(QStringLiteral("link"));
    ASSERT_EQ(::symlink(QFile::encodeName(users).constData(), QFile::encodeName(link).constData()), 0);
    EXPECT_FALSE(AtomicFile::keepCopy(link, kept).ok());
    EXPECT_EQ(contents(kept), "second");
}
