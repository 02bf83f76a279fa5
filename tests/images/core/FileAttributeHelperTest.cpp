#include "images/core/FileAttributeHelper.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/xattr.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

using namespace velmora::images;

// getxattr and lgetxattr are replaced in this test program: a read of the attribute
// "user.scripted" is answered by the script a test sets, step by step, so the races that a
// real file system only shows now and then (a value that shrinks or grows between the size
// query and the read) happen on every run. Every other read goes to the system.
namespace {

const char scriptedName[] = "user.scripted";

// One answer: fills `buffer` (of `size` bytes) and gives the result; sets errno for -1.
using Step = std::function<ssize_t(void* buffer, size_t size)>;

std::mutex scriptMutex;
std::vector<Step> script;
size_t scriptCalls = 0;

ssize_t answerFromScript(void* buffer, size_t size) {
    std::lock_guard lock(scriptMutex);
    if (scriptCalls >= script.size()) {
        ++scriptCalls;
        errno = EIO;
        return -1;
    }
    return script[scriptCalls++](buffer, size);
}

using GetAttribute = ssize_t (*)(const char*, const char*, void*, size_t);

ssize_t passOn(const char* function, const char* path, const char* name, void* buffer, size_t size) {
    const auto next = reinterpret_cast<GetAttribute>(::dlsym(RTLD_NEXT, function));
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(path, name, buffer, size);
}

} // namespace

extern "C" ssize_t getxattr(const char* path, const char* name, void* buffer, size_t size) noexcept {
    if (std::strcmp(name, scriptedName) == 0) {
        return answerFromScript(buffer, size);
    }
    return passOn("getxattr", path, name, buffer, size);
}

extern "C" ssize_t lgetxattr(const char* path, const char* name, void* buffer, size_t size) noexcept {
    if (std::strcmp(name, scriptedName) == 0) {
        return answerFromScript(buffer, size);
    }
    return passOn("lgetxattr", path, name, buffer, size);
}

namespace {

Step sizeIs(ssize_t size) {
    return [size](void*, size_t) { return size; };
}

Step fills(QByteArray value) {
    return [value](void* buffer, size_t size) -> ssize_t {
        if (size_t(value.size()) > size) {
            errno = ERANGE;
            return -1;
        }
        std::memcpy(buffer, value.constData(), size_t(value.size()));
        return value.size();
    };
}

Step fails(int code) {
    return [code](void*, size_t) -> ssize_t {
        errno = code;
        return -1;
    };
}

// Runs the script against one read of the scripted attribute; says how many steps it took.
struct ScriptedRead {
    std::optional<QByteArray> value;
    ImageError error;
    size_t calls = 0;
};

ScriptedRead readWith(std::vector<Step> steps, bool traverseLink = true) {
    {
        std::lock_guard lock(scriptMutex);
        script = std::move(steps);
        scriptCalls = 0;
    }
    ScriptedRead read;
    read.value = FileAttributeHelper::extendedAttribute(
        QStringLiteral("scripted"), QStringLiteral("/nonexistent"), traverseLink, &read.error);
    std::lock_guard lock(scriptMutex);
    read.calls = scriptCalls;
    script.clear();
    return read;
}

} // namespace

TEST(FileAttributeReadTest, OnlyTheBytesTheSystemReturnedCount) {
    // The value shrank between the size query and the read.
    const auto read = readWith({sizeIs(10), fills("abcd")});
    EXPECT_EQ(read.value, QByteArray("abcd"));
    EXPECT_TRUE(read.error.isNull());
}

TEST(FileAttributeReadTest, AValueThatGrewIsReadAgainOnceWithItsNewSize) {
    const auto grew = readWith({sizeIs(4), fills("abcdefgh"), sizeIs(8), fills("abcdefgh")}, false);
    EXPECT_EQ(grew.value, QByteArray("abcdefgh"));
    EXPECT_TRUE(grew.error.isNull());
    EXPECT_EQ(grew.calls, 4u);

    // Growing again is given up on, with the system's error, after one more try.
    const auto keepsGrowing = readWith({sizeIs(4), fills("abcdefgh"), sizeIs(8), fills("abcdefghijkl")});
    EXPECT_FALSE(keepsGrowing.value.has_value());
    EXPECT_EQ(keepsGrowing.error.code(), ERANGE);
    EXPECT_EQ(keepsGrowing.error.value(QStringLiteral("function")).toString(), "getxattr");
    EXPECT_EQ(keepsGrowing.calls, 4u);
}

TEST(FileAttributeReadTest, AFileSystemWithoutAttributesReadsAsNone) {
    const auto read = readWith({fails(ENOTSUP)});
    EXPECT_FALSE(read.value.has_value());
    EXPECT_TRUE(read.error.isNull()) << "no attributes is no failure";
    const auto other = readWith({fails(EACCES)});
    EXPECT_FALSE(other.value.has_value());
    EXPECT_EQ(other.error.code(), EACCES);
}

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
