#pragma once

#include <chrono>

#include "platform/async/Result.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace velmora {

// Why a property-list file could not be read. `NotFound` is the ordinary first
// start; the others mean a file is there that must not be thrown away lightly.
struct PropertyListError {
    // `NotAFile`: something is at the path that is no regular file (a pipe, a device, a
    // folder, a link to one or to nothing); `TooLarge`: a file larger than any this app
    // writes. Neither is opened or read.
    enum class Kind { NotFound, Unreadable, NotAFile, TooLarge, Malformed, Unencodable, WriteFailed };
    Kind kind;
    QString message;
    // The system's error number where the system refused (`Unreadable`), else 0.
    int systemError = 0;

    QString description() const { return message; }
};

// Property lists as Qt values. A document's root is a dictionary (QVariantMap) or an
// array (QVariantList); inside it: QVariantMap/QVariantHash, QVariantList/QStringList,
// QString, bool, integers (up to 64 bits), finite doubles, QByteArray (data) and valid
// QDateTime (dates, kept to whole seconds in XML). `null()` stands for an absent value:
// property lists have no null, so it is written as a marker dictionary that `parse`
// turns back into `null()`.
//
// Documents are written as XML; reading takes XML or binary.
class PropertyList {
public:
    static QVariant null() { return QVariant::fromValue(nullptr); }
    // True for `null()` and for an invalid QVariant (both are written as the marker).
    static bool isNull(const QVariant& value);

    static Result<QByteArray, PropertyListError> toXml(const QVariant& root);
    static Result<QVariant, PropertyListError> parse(const QByteArray& data);

    // Far above what the app's own files hold; a file beyond it is not read at all.
    static constexpr qint64 maxFileSize = 32 * 1024 * 1024;
    // `NotFound` when there is nothing at the path; `NotAFile` or `TooLarge` for what is
    // not read at all; `Unreadable` when it cannot be opened or read. Never waits for a
    // writer (a pipe) and never reads more than `maxFileSize` and a byte.
    static Result<QVariant, PropertyListError> readFile(const QString& path);
    // Encodes first, then replaces the file atomically: a failed write leaves the old
    // file as it was. The parent folder is created when missing.
    // A write that fails on the way (a full disk) leaves the old file byte for byte.
    static Result<Void, PropertyListError> writeFile(const QString& path, const QVariant& root);
    // Removes what interrupted writes of `path` left next to it (names only our writes
    // make: a user's "<name>.backup" stays); returns how many.
    // Only for a file that no other process writes at the same time, unless `olderThan`
    // spares what a write under way may still be filling.
    static int removeLeftoverTemporaries(const QString& path,
                                         std::chrono::seconds olderThan = std::chrono::seconds(0));
};

} // namespace velmora
