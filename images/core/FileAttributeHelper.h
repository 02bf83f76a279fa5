#pragma once

#include "images/core/ImageError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace velmora::images {

// File extended attributes in the user namespace: a name "key" is the system's "user.key".
// `traverseLink` false addresses a symbolic link itself, not its target. Failures give an error
// in the POSIX domain whose code is errno and whose values name the system call ("function"),
// its text ("error") and the arguments (":name", ":path", ":traverseLink", and for set
// ":value.length" and ":overwrite"). A file system without extended attributes reads as a file
// that has none.
class FileAttributeHelper {
public:
    FileAttributeHelper() = delete;

    // The names of the file's user attributes, in the file system's order.
    static std::optional<QStringList> extendedAttributeNames(const QString& path, bool traverseLink,
                                                             ImageError* error = nullptr);
    static bool hasExtendedAttribute(const QString& name, const QString& path, bool traverseLink,
                                     ImageError* error = nullptr);
    // The value (empty for an empty value), or nothing when the file has no such attribute or
    // it cannot be read.
    static std::optional<QByteArray> extendedAttribute(const QString& name, const QString& path,
                                                       bool traverseLink, ImageError* error = nullptr);
    // Without overwrite an existing attribute is kept and the call fails with EEXIST.
    static bool setExtendedAttribute(const QString& name, const QByteArray& value, const QString& path,
                                     bool traverseLink, bool overwrite, ImageError* error = nullptr);
    static bool removeExtendedAttribute(const QString& name, const QString& path, bool traverseLink,
                                        ImageError* error = nullptr);
};

} // namespace velmora::images
