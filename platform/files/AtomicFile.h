#pragma once

#include "platform/async/Result.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

namespace velmora {

// The one way the app writes a file of its own. The bytes go into a new temporary file beside it,
// made by this write alone (never opened through a name that was there before), and the
// temporary is renamed over the file: readers see the old file or the whole new one, and
// whatever was at the path (a link to another file, a FIFO, a device, a second name of a user's
// file) is replaced, never written through.
//
// A temporary is named "<file name>.velmora-write-" and six letters or digits; a write killed
// before its rename leaves it, and `removeLeftovers` removes what has exactly that name and
// nothing else: a user's "<file name>.backup" is the user's.
class AtomicFile {
public:
    // The reason when the file could not be written; the old file is then as it was. `sync`
    // waits until the bytes are on the disk before the rename, and until the new name is (its
    // folder synced) before it returns.
    static Result<Void, QString> write(const QString& path, const QByteArray& data, bool sync = true);
    // The same, trying the temporary names (in the same folder) that `temporaryName` gives for
    // each attempt in place of random ones; an empty name ends the attempts. Tests plant links
    // and files at those names.
    static Result<Void, QString> write(const QString& path, const QByteArray& data, bool sync,
                                       const std::function<QString(int attempt)>& temporaryName);

    // Makes `to` the file that is at `from` now (`from` itself is left as it is), replacing
    // whatever was at `to` the way write() does: a second name of the file where the file
    // system allows, else a copy. For keeping a file's last good state beside it before it
    // is written again. `from` is never followed through a link.
    static Result<Void, QString> keepCopy(const QString& from, const QString& to);

    // Whether `fileName` (a name in the same folder) is a temporary a write of `path` made.
    static bool isTemporaryOf(const QString& path, const QString& fileName);

    // Removes the regular files beside `path` that writes of it left, unless changed within
    // `olderThan` (a write under way in another process may still be filling one); one dated
    // ahead of now (the clock was set back) is a leftover too. How many.
    static int removeLeftovers(const QString& path, std::chrono::seconds olderThan = std::chrono::seconds(0));

    // Whether `fileName` is a temporary that a write of any file made.
    static bool isTemporary(const QString& fileName);
    // Removes the regular files in `folder` that writes of any of its files left, by the same
    // rule as `removeLeftovers`; how many. For a folder of many files the app writes (a cache).
    static int removeLeftoversIn(const QString& folder, std::chrono::seconds olderThan);
};

} // namespace velmora
