#include "images/core/FileAttributeHelper.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>

using namespace velmora::images;

namespace {

class FileAttributeHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        file = dir.filePath("entry");
        QFile created(file);
        ASSERT_TRUE(created.open(QIODevice::WriteOnly));
        created.write("data");
        created.close();
        ImageError probe;
        if (!FileAttributeHelper::setExtendedAttribute("probe", "1", file, true, true, &probe)) {
            GTEST_SKIP() << "no user extended attributes here: " << probe.message().toStdString();
        }
        FileAttributeHelper::removeExtendedAttribute("probe", file, true);
    }

    QTemporaryDir dir;
    QString file;
};

} // namespace

TEST_F(FileAttributeHelperTest, SetGetListAndRemove) {
    ImageError error;
    EXPECT_EQ(FileAttributeHelper::extendedAttributeNames(file, true, &error), QStringList());
    EXPECT_FALSE(FileAttributeHelper::hasExtendedAttribute("extended", file, true, &error));
    EXPECT_TRUE(error.isNull());

    ASSERT_TRUE(FileAttributeHelper::setExtendedAttribute("extended", "value", file, true, false, &error));
    ASSERT_TRUE(
        FileAttributeHelper::setExtendedAttribute("empty", QByteArray(""), file, true, false, &error));
    EXPECT_EQ(FileAttributeHelper::extendedAttribute("extended", file, true, &error), QByteArray("value"));
    EXPECT_EQ(FileAttributeHelper::extendedAttribute("empty", file, true, &error), QByteArray(""));
    auto names = FileAttributeHelper::extendedAttributeNames(file, true, &error);
    ASSERT_TRUE(names.has_value());
    names->sort();
    EXPECT_EQ(*names, (QStringList{"empty", "extended"}));
    EXPECT_TRUE(FileAttributeHelper::hasExtendedAttribute("extended", file, true, &error));

    ASSERT_TRUE(FileAttributeHelper::removeExtendedAttribute("extended", file, true, &error));
    EXPECT_FALSE(FileAttributeHelper::extendedAttribute("extended", file, true, &error).has_value());
    EXPECT_EQ(error.code(), ENODATA);
    EXPECT_EQ(error.value(QStringLiteral("function")).toString(), "getxattr");
}

TEST_F(FileAttributeHelperTest, CreateOnlyRefusesAnExistingNameAndOverwriteReplacesIt) {
    ASSERT_TRUE(FileAttributeHelper::setExtendedAttribute("name", "first", file, true, false));
    ImageError error;
    EXPECT_FALSE(FileAttributeHelper::setExtendedAttribute("name", "second", file, true, false, &error));
    EXPECT_EQ(error.errorDomain(), ImageError::posixDomain);
    EXPECT_EQ(error.code(), EEXIST);
    EXPECT_EQ(error.value(QStringLiteral("function")).toString(), "setxattr");
    EXPECT_EQ(error.value(QStringLiteral(":value.length")).toInt(), 6);
    EXPECT_EQ(error.value(QStringLiteral(":overwrite")).toBool(), false);
    EXPECT_EQ(FileAttributeHelper::extendedAttribute("name", file, true), QByteArray("first"));

    EXPECT_TRUE(
        FileAttributeHelper::setExtendedAttribute("name", "a much longer second value", file, true, true));
    EXPECT_EQ(FileAttributeHelper::extendedAttribute("name", file, true),
              QByteArray("a much longer second value"));
}

TEST_F(FileAttributeHelperTest, AMissingFileFailsWithItsSystemCall) {
    const QString missing = dir.filePath("missing");
    ImageError error;
    EXPECT_FALSE(FileAttributeHelper::extendedAttributeNames(missing, true, &error).has_value());
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(error.value(QStringLiteral("function")).toString(), "listxattr");
    EXPECT_EQ(error.value(QStringLiteral(":path")).toString(), missing);
    EXPECT_FALSE(FileAttributeHelper::extendedAttribute("name", missing, true, &error).has_value());
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(error.value(QStringLiteral("function")).toString(), "getxattr");
}

TEST_F(FileAttributeHelperTest, WithoutFollowingLinksTheLinkItselfIsAddressed) {
    const QString link = dir.filePath("link");
    ASSERT_TRUE(QFile::link(file, link));
    ASSERT_TRUE(FileAttributeHelper::setExtendedAttribute("target", "on target", file, true, true));
    // Following the link reads the target's attribute; not following it reads the link, which
    // has none.
    EXPECT_EQ(FileAttributeHelper::extendedAttribute("target", link, true), QByteArray("on target"));
    EXPECT_FALSE(FileAttributeHelper::extendedAttribute("target", link, false).has_value());
    EXPECT_FALSE(FileAttributeHelper::hasExtendedAttribute("target", link, false));
    // The system keeps user attributes off symbolic links, so writing to the link itself fails
    // and leaves the target alone.
    ImageError error;
    EXPECT_FALSE(FileAttributeHelper::setExtendedAttribute("onlink", "x", link, false, true, &error));
    EXPECT_EQ(error.code(), EPERM);
    EXPECT_FALSE(FileAttributeHelper::hasExtendedAttribute("onlink", file, true));
    EXPECT_TRUE(FileAttributeHelper::setExtendedAttribute("through", "y", link, true, true));
    EXPECT_EQ(FileAttributeHelper::extendedAttribute("through", file, true), QByteArray("y"));
}
