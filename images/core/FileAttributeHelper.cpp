#include "images/core/FileAttributeHelper.h"

#include <QFile>

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

namespace velmora::images {

namespace {

const QByteArray userNamespace = "user.";

QByteArray systemName(const QString& name) {
    return userNamespace + name.toUtf8();
}

bool unsupported(int code) {
    return code == ENOTSUP || code == EOPNOTSUPP;
}

void report(ImageError* error, int code, const char* function, const QString& path, bool traverseLink,
            const QString* name = nullptr, const QByteArray* value = nullptr,
            const bool* overwrite = nullptr) {
    if (!error) {
        return;
    }
    QVariantMap info{
        {QStringLiteral("error"), QString::fromLocal8Bit(std::strerror(code))},
        {QStringLiteral("function"), QString::fromLatin1(function)},
        {QStringLiteral(":path"), path},
        {QStringLiteral(":traverseLink"), traverseLink},
    };
    if (name) {
        info.insert(QStringLiteral(":name"), *name);
    }
    if (value) {
        info.insert(QStringLiteral(":value.length"), value->size());
    }
    if (overwrite) {
        info.insert(QStringLiteral(":overwrite"), *overwrite);
    }
    *error = ImageError(ImageError::posixDomain, code, QString::fromLocal8Bit(std::strerror(code)), info);
}

ssize_t listNames(const QByteArray& path, bool traverseLink, char* buffer, size_t size) {
    return traverseLink ? ::listxattr(path.constData(), buffer, size)
                        : ::llistxattr(path.constData(), buffer, size);
}

ssize_t getValue(const QByteArray& path, const QByteArray& name, bool traverseLink, void* buffer,
                 size_t size) {
    return traverseLink ? ::getxattr(path.constData(), name.constData(), buffer, size)
                        : ::lgetxattr(path.constData(), name.constData(), buffer, size);
}

// The raw NUL-separated list; nothing on failure (errno set), an empty list on a file system
// without attributes.
std::optional<QByteArray> rawNames(const QByteArray& path, bool traverseLink) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t size = listNames(path, traverseLink, nullptr, 0);
        if (size < 0) {
            if (unsupported(errno)) {
                return QByteArray();
            }
            return std::nullopt;
        }
        if (size == 0) {
            return QByteArray();
        }
        QByteArray buffer(size, Qt::Uninitialized);
        const ssize_t read = listNames(path, traverseLink, buffer.data(), size_t(buffer.size()));
        if (read >= 0) {
            buffer.truncate(read);
            return buffer;
        }
        // The list grew between the two calls: ask for the size once more.
        if (errno != ERANGE) {
            return std::nullopt;
        }
    }
    errno = ERANGE;
    return std::nullopt;
}

QStringList userNames(const QByteArray& raw) {
    QStringList names;
    names.reserve(5);
    for (const QByteArray& entry : raw.split('\0')) {
        if (entry.startsWith(userNamespace) && entry.size() > userNamespace.size()) {
            names.append(QString::fromUtf8(entry.mid(userNamespace.size())));
        }
    }
    return names;
}

} // namespace

std::optional<QStringList> FileAttributeHelper::extendedAttributeNames(const QString& path, bool traverseLink,
                                                                       ImageError* error) {
    const QByteArray encoded = QFile::encodeName(path);
    const auto raw = rawNames(encoded, traverseLink);
    if (!raw) {
        report(error, errno, "listxattr", path, traverseLink);
        return std::nullopt;
    }
    return userNames(*raw);
}

bool FileAttributeHelper::hasExtendedAttribute(const QString& name, const QString& path, bool traverseLink,
                                               ImageError* error) {
    const QByteArray encoded = QFile::encodeName(path);
    const auto raw = rawNames(encoded, traverseLink);
    if (!raw) {
        report(error, errno, "listxattr", path, traverseLink);
        return false;
    }
    const QByteArray wanted = systemName(name);
    for (const QByteArray& entry : raw->split('\0')) {
        if (entry == wanted) {
            return true;
        }
    }
    return false;
}

std::optional<QByteArray> FileAttributeHelper::extendedAttribute(const QString& name, const QString& path,
                                                                 bool traverseLink, ImageError* error) {
    const QByteArray encoded = QFile::encodeName(path);
    const QByteArray attribute = systemName(name);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t size = getValue(encoded, attribute, traverseLink, nullptr, 0);
        if (size < 0) {
            break;
        }
        QByteArray value(size, Qt::Uninitialized);
        const ssize_t read =
            size == 0 ? 0 : getValue(encoded, attribute, traverseLink, value.data(), size_t(size));
        if (read >= 0) {
            // The value may have shrunk between the calls: only what the system returned counts.
            value.truncate(read);
            return value;
        }
        if (errno != ERANGE) {
            break;
        }
        // It grew between the size query and the read: one more try with the new size.
        if (attempt == 1) {
            errno = ERANGE;
        }
    }
    const int code = errno;
    if (unsupported(code)) {
        return std::nullopt;
    }
    report(error, code, "getxattr", path, traverseLink, &name);
    return std::nullopt;
}

bool FileAttributeHelper::setExtendedAttribute(const QString& name, const QByteArray& value,
                                               const QString& path, bool traverseLink, bool overwrite,
                                               ImageError* error) {
    const QByteArray encoded = QFile::encodeName(path);
    const QByteArray attribute = systemName(name);
    const int flags = overwrite ? 0 : XATTR_CREATE;
    const int result = traverseLink ? ::setxattr(encoded.constData(), attribute.constData(),
                                                 value.constData(), size_t(value.size()), flags)
                                    : ::lsetxattr(encoded.constData(), attribute.constData(),
                                                  value.constData(), size_t(value.size()), flags);
    if (result != 0) {
        report(error, errno, "setxattr", path, traverseLink, &name, &value, &overwrite);
        return false;
    }
    return true;
}

bool FileAttributeHelper::removeExtendedAttribute(const QString& name, const QString& path, bool traverseLink,
                                                  ImageError* error) {
    const QByteArray encoded = QFile::encodeName(path);
    const QByteArray attribute = systemName(name);
    const int result = traverseLink ? ::removexattr(encoded.constData(), attribute.constData())
                                    : ::lremovexattr(encoded.constData(), attribute.constData());
    if (result != 0) {
        report(error, errno, "removexattr", path, traverseLink, &name);
        return false;
    }
    return true;
}

} // namespace velmora::images
