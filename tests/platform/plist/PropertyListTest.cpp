#include "platform/plist/PropertyList.h"
#include "tests/support/BinaryPropertyList.h"
#include "tests/support/FileSizeLimit.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSize>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <limits>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;

namespace {

QVariantMap sample() {
    return QVariantMap{
        {QStringLiteral("text"), QStringLiteral("Zürich <&> \"quoted\" 日本")},
        {QStringLiteral("empty"), QString()},
        {QStringLiteral("yes"), true},
        {QStringLiteral("no"), false},
        {QStringLiteral("negative"), qint64(-42)},
        {QStringLiteral("large"), qint64(9007199254740993LL)},
        {QStringLiteral("real"), 1234.5678901234},
        {QStringLiteral("data"), QByteArray("\x00\x01\xff", 3)},
        {QStringLiteral("date"), QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58), Qt::UTC)},
        {QStringLiteral("before2001"), QDateTime(QDate(1999, 12, 31), QTime(12, 0, 0), Qt::UTC)},
        {QStringLiteral("absent"), PropertyList::null()},
        {QStringLiteral("list"), QVariantList{1, QStringLiteral("two"), QVariantList{}, QVariantMap{}}},
        {QStringLiteral("nested"),
         QVariantMap{{QStringLiteral("inner"), QVariantMap{{QStringLiteral("x"), 1.5}}}}},
    };
}

void expectSample(const QVariant& read) {
    ASSERT_EQ(read.typeId(), QMetaType::QVariantMap);
    const auto map = read.toMap();
    const auto expected = sample();
    EXPECT_EQ(map.keys(), expected.keys());
    EXPECT_EQ(map[QStringLiteral("text")].toString(), expected[QStringLiteral("text")].toString());
    EXPECT_EQ(map[QStringLiteral("empty")].toString(), QString());
    EXPECT_EQ(map[QStringLiteral("yes")], QVariant(true));
    EXPECT_EQ(map[QStringLiteral("no")], QVariant(false));
    EXPECT_EQ(map[QStringLiteral("negative")].toLongLong(), -42);
    EXPECT_EQ(map[QStringLiteral("large")].toLongLong(), 9007199254740993LL);
    EXPECT_DOUBLE_EQ(map[QStringLiteral("real")].toDouble(), 1234.5678901234);
    EXPECT_EQ(map[QStringLiteral("data")].toByteArray(), QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(map[QStringLiteral("date")].toDateTime(), expected[QStringLiteral("date")].toDateTime());
    EXPECT_EQ(map[QStringLiteral("before2001")].toDateTime(),
              expected[QStringLiteral("before2001")].toDateTime());
    EXPECT_TRUE(PropertyList::isNull(map[QStringLiteral("absent")]));
    const auto list = map[QStringLiteral("list")].toList();
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list[0].toLongLong(), 1);
    EXPECT_EQ(list[1].toString(), QStringLiteral("two"));
    EXPECT_EQ(list[2].typeId(), QMetaType::QVariantList);
    EXPECT_EQ(list[3].typeId(), QMetaType::QVariantMap);
    EXPECT_DOUBLE_EQ(map[QStringLiteral("nested")]
                         .toMap()[QStringLiteral("inner")]
                         .toMap()[QStringLiteral("x")]
                         .toDouble(),
                     1.5);
}

} // namespace

TEST(PropertyListTest, WritesXmlAndReadsEveryValueBack) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sub/folder/file.plist"));
    ASSERT_TRUE(PropertyList::writeFile(path, sample()).ok());

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().startsWith("<?xml"));

    auto read = PropertyList::readFile(path);
    ASSERT_TRUE(read.ok()) << read.error().message.toStdString();
    expectSample(read.value());
}

TEST(PropertyListTest, ReadsBinaryPropertyLists) {
    auto xml = PropertyList::toXml(sample());
    ASSERT_TRUE(xml.ok());
    // Turn our XML into the binary form with the library itself.
    plist_t root = nullptr;
    plist_from_xml(xml.value().constData(), static_cast<uint32_t>(xml.value().size()), &root);
    ASSERT_NE(root, nullptr);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    plist_free(root);
    const QByteArray binary(bin, static_cast<qsizetype>(length));
    plist_to_bin_free(bin);
    ASSERT_TRUE(binary.startsWith("bplist00"));

    auto read = PropertyList::parse(binary);
    ASSERT_TRUE(read.ok()) << read.error().message.toStdString();
    expectSample(read.value());
}

TEST(PropertyListTest, DatesKeepWholeSeconds) {
    const QDateTime precise = QDateTime::fromMSecsSinceEpoch(1700000000789LL, Qt::UTC);
    auto xml = PropertyList::toXml(QVariantMap{{QStringLiteral("d"), precise}});
    ASSERT_TRUE(xml.ok());
    auto read = PropertyList::parse(xml.value());
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value().toMap()[QStringLiteral("d")].toDateTime(),
              QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
}

TEST(PropertyListTest, RefusesValuesItCouldNotReadBackAndKeepsTheOldFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file.plist"));
    ASSERT_TRUE(PropertyList::writeFile(path, QVariantMap{{QStringLiteral("kept"), 1}}).ok());

    const QList<QVariant> bad = {
        QVariantMap{{QStringLiteral("nan"), std::numeric_limits<double>::quiet_NaN()}},
        QVariantMap{{QStringLiteral("inf"), std::numeric_limits<double>::infinity()}},
        QVariantMap{{QStringLiteral("date"), QDateTime()}},
        QVariantMap{{QStringLiteral("far"), QDateTime(QDate(2200, 1, 1), QTime(0, 0), Qt::UTC)}},
        QVariantMap{{QStringLiteral("huge"), std::numeric_limits<quint64>::max()}},
        QVariantMap{{QStringLiteral("size"), QSize(1, 2)}},
        QVariantList{QVariantMap{{QStringLiteral("deep"), QUrl(QStringLiteral("https://x"))}}},
        QVariant(QStringLiteral("a root that is no container")),
    };
    for (const auto& value : bad) {
        auto written = PropertyList::writeFile(path, value);
        ASSERT_FALSE(written.ok());
        EXPECT_EQ(written.error().kind, PropertyListError::Kind::Unencodable);
    }
    auto read = PropertyList::readFile(path);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value().toMap(), (QVariantMap{{QStringLiteral("kept"), qint64(1)}}));
}

TEST(PropertyListTest, TellsMissingFromUnreadableFromMalformed) {
    QTemporaryDir dir;
    auto missing = PropertyList::readFile(dir.filePath(QStringLiteral("none.plist")));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, PropertyListError::Kind::NotFound);

    auto xml = PropertyList::toXml(sample());
    ASSERT_TRUE(xml.ok());
    const QList<QByteArray> malformed = {
        QByteArray(),
        QByteArray("not a property list at all"),
        QByteArray("<?xml version=\"1.0\"?><plist><string>scalar root</string></plist>"),
        xml.value().left(xml.value().size() / 2),
        QByteArray("bplist00\x00\x01\x02", 11),
        QByteArray(4096, '\xff'),
    };
    for (const auto& bytes : malformed) {
        auto read = PropertyList::parse(bytes);
        EXPECT_FALSE(read.ok()) << bytes.left(40).toStdString();
        if (!read.ok()) {
            EXPECT_EQ(read.error().kind, PropertyListError::Kind::Malformed);
        }
    }
}

namespace {

// What reading `path` comes to, or nothing when it had not come back within a minute.
std::optional<PropertyListError::Kind> readingEnds(const QString& path) {
    auto read = std::async(std::launch::async, [path] {
        auto result = PropertyList::readFile(path);
        return result.ok() ? std::optional<PropertyListError::Kind>() : result.error().kind;
    });
    if (read.wait_for(std::chrono::minutes(1)) == std::future_status::ready) {
        return read.get();
    }
    // A reader stuck on a pipe is let go (a writer comes and goes), so the test can end.
    const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
        ::close(writer);
    }
    read.wait();
    return std::nullopt;
}

} // namespace

// Only a regular file is read, and only up to the bound: what else stands at the path is told
// at once, never opened, waited on or read to its end.
TEST(PropertyListTest, OnlyARegularFileIsReadAndOnlyUpToTheBound) {
    QTemporaryDir dir;
    const auto at = [&dir](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
    ASSERT_EQ(::mkfifo(QFile::encodeName(at("fifo.plist")).constData(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", QFile::encodeName(at("zero.plist")).constData()), 0);
    ASSERT_EQ(::symlink("fifo.plist", QFile::encodeName(at("to-fifo.plist")).constData()), 0);
    ASSERT_EQ(::symlink("none", QFile::encodeName(at("dangling.plist")).constData()), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.plist")));
    for (const char* name : {"fifo.plist", "zero.plist", "to-fifo.plist", "dangling.plist", "folder.plist"}) {
        const auto kind = readingEnds(at(name));
        ASSERT_TRUE(kind.has_value()) << name << " was waited on";
        EXPECT_EQ(*kind, PropertyListError::Kind::NotAFile) << name;
    }

    // A sparse file one byte past the bound costs nothing to refuse; at the bound it is read.
    for (const qint64 size : {PropertyList::maxFileSize + 1, PropertyList::maxFileSize}) {
        QFile large(at("large.plist"));
        ASSERT_TRUE(large.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(large.resize(size));
        large.close();
        const auto kind = readingEnds(at("large.plist"));
        ASSERT_TRUE(kind.has_value());
        EXPECT_EQ(*kind, size > PropertyList::maxFileSize ? PropertyListError::Kind::TooLarge
                                                          : PropertyListError::Kind::Malformed);
    }

    // A link to a regular file reads as that file.
    ASSERT_TRUE(PropertyList::writeFile(at("real.plist"), sample()).ok());
    ASSERT_EQ(::symlink("real.plist", QFile::encodeName(at("link.plist")).constData()), 0);
    auto linked = PropertyList::readFile(at("link.plist"));
    ASSERT_TRUE(linked.ok());
    EXPECT_EQ(linked.value().toMap().value(QStringLiteral("text")), sample().value(QStringLiteral("text")));
}

TEST(PropertyListTest, WriteFailsWhenTheFolderCannotBeMade) {
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("blocker")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto written = PropertyList::writeFile(dir.filePath(QStringLiteral("blocker/file.plist")), QVariantMap{});
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().kind, PropertyListError::Kind::WriteFailed);
}

TEST(PropertyListTest, AMarkerLookalikeWithOtherContentStaysADictionary) {
    const QVariantMap value{
        {QStringLiteral("a"), QVariantMap{{QStringLiteral("$null"), QStringLiteral("text")}}},
        {QStringLiteral("b"), QVariantMap{{QStringLiteral("$null"), true}, {QStringLiteral("c"), 1}}}};
    auto xml = PropertyList::toXml(value);
    ASSERT_TRUE(xml.ok());
    auto read = PropertyList::parse(xml.value());
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value().toMap()[QStringLiteral("a")].typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(read.value().toMap()[QStringLiteral("b")].toMap().size(), 2);
}

TEST(PropertyListTest, BinaryFilesTheWriterCouldNotProduceAreMalformedNotFatal) {
    using namespace velmora::test;
    const auto nulText = utf16Object({u'a', 0});
    const QList<std::pair<const char*, QByteArray>> files = {
        {"UTF-16 text with NUL", snapshotWithStarredProject(nulText)},
        {"ASCII text with NUL", snapshotWithStarredProject(asciiObject(QByteArray("a\0b", 3)))},
        {"UTF-16 key with NUL", binaryPropertyList({dictObject({1}, {2}), nulText, asciiObject("value")})},
        {"real that is not a number", snapshotWithStarredProject(realObject(qQNaN()))},
        {"infinite real", snapshotWithStarredProject(realObject(qInf()))},
        {"date that is not a number", snapshotWithStarredProject(dateObject(qQNaN()))},
        {"date beyond 32-bit seconds", snapshotWithStarredProject(dateObject(1e12))},
        {"offset table outside the file",
         binaryPropertyList({dictObject({1}, {2}), asciiObject("k"), QByteArray("\x5f\x10\x7f", 3)})},
    };
    for (const auto& [what, bytes] : files) {
        auto read = PropertyList::parse(bytes);
        ASSERT_FALSE(read.ok()) << what;
        EXPECT_EQ(read.error().kind, PropertyListError::Kind::Malformed) << what;
    }

    // The same shape with ordinary values still reads.
    auto fine = PropertyList::parse(snapshotWithStarredProject(utf16Object({u'a', u'\u00e9'})));
    ASSERT_TRUE(fine.ok()) << fine.error().message.toStdString();
    EXPECT_EQ(fine.value()
                  .toMap()[QStringLiteral("starredProjects")]
                  .toMap()[QStringLiteral("K")]
                  .toMap()[QStringLiteral("projects")]
                  .toList(),
              QVariantList{QStringLiteral("a\u00e9")});
    auto date = PropertyList::parse(snapshotWithStarredProject(dateObject(86400.5)));
    ASSERT_TRUE(date.ok());
    EXPECT_EQ(date.value()
                  .toMap()[QStringLiteral("starredProjects")]
                  .toMap()[QStringLiteral("K")]
                  .toMap()[QStringLiteral("projects")]
                  .toList()
                  .value(0)
                  .toDateTime(),
              QDateTime(QDate(2001, 1, 2), QTime(0, 0, 0, 500), Qt::UTC));
}

namespace {
QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TEST(PropertyListTest, AWriteThatRunsOutOfRoomKeepsTheOldFileByteForByte) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    ASSERT_TRUE(PropertyList::writeFile(path, sample()).ok());
    const QByteArray before = fileBytes(path);
    ASSERT_FALSE(before.isEmpty());

    // Small enough to sit in the write buffer whole, so write() itself reports
    // success and only the way out to the disk fails; and one larger than the buffer.
    for (const qsizetype size : {qsizetype(6000), qsizetype(200000)}) {
        const QVariantMap larger{{QStringLiteral("blob"), QByteArray(size, 'x')}};
        Result<Void, PropertyListError> written = Result<Void, PropertyListError>::success(Void{});
        {
            test::FileSizeLimit fullDisk(1024);
            ASSERT_TRUE(fullDisk.active());
            written = PropertyList::writeFile(path, larger);
        }
        ASSERT_FALSE(written.ok()) << size;
        EXPECT_EQ(written.error().kind, PropertyListError::Kind::WriteFailed);
        EXPECT_EQ(fileBytes(path), before) << size;
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("Velmora.plist")})
            << "no half-written file is left behind";
    }

    // With room again the same write goes through.
    ASSERT_TRUE(
        PropertyList::writeFile(path, QVariantMap{{QStringLiteral("blob"), QByteArray(6000, 'x')}}).ok());
    EXPECT_EQ(PropertyList::readFile(path).value().toMap().value(QStringLiteral("blob")).toByteArray().size(),
              6000);
}

TEST(PropertyListTest, LeftoversOfInterruptedWritesAreRemovedAndNothingElse) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    const QStringList leftovers = {QStringLiteral("Velmora.plist.velmora-write-aB3xY9"),
                                   QStringLiteral("Velmora.plist.velmora-write-QQQQQQ")};
    // The user's own files, a six-letter "backup" among them: no write of ours made them.
    const QStringList others = {QStringLiteral("Velmora.plist"),
                                QStringLiteral("Velmora.plist.unreadable-20260101-000000"),
                                QStringLiteral("Velmora.plist.abc-12"),
                                QStringLiteral("Velmora.plist.abcdefg"),
                                QStringLiteral("Velmora.plist.backup"),
                                QStringLiteral("Velmora.plist.aB3xY9"),
                                QStringLiteral("Other.plist.velmora-write-aB3xY9")};
    for (const auto& name : leftovers + others) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    EXPECT_EQ(PropertyList::removeLeftoverTemporaries(path), 2);
    QStringList remaining = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    QStringList expected = others;
    remaining.sort();
    expected.sort();
    EXPECT_EQ(remaining, expected);
    EXPECT_EQ(PropertyList::removeLeftoverTemporaries(dir.filePath(QStringLiteral("none/Velmora.plist"))), 0);
}

TEST(PropertyListTest, AWriteReplacesALinkAtThePathAndKeepsWhatItPointsAt) {
    QTemporaryDir dir;
    const QString users = dir.filePath(QStringLiteral("users-own.txt"));
    {
        QFile file(users);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("the user's own bytes");
    }
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    ASSERT_TRUE(QFile::link(users, path));
    ASSERT_TRUE(PropertyList::writeFile(path, QVariantMap{{QStringLiteral("a"), 1}}).ok());
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(PropertyList::readFile(path).value().toMap().value(QStringLiteral("a")).toInt(), 1);
    QFile file(users);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "the user's own bytes");
}
