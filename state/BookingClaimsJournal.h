#pragma once

#include "state/BookingRecord.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace velmora {

// Where the claims on entries live: a file of their own beside the snapshot file
// ("Velmora.claims"), one line a change, appended. A Save that makes a claim appends its line
// (and waits for it to be on the disk) before the write that saves its record, so what a Save
// writes does not grow with the claims kept; a start reads the lines back (the last line of a
// claim wins, a line "gone" ends it) and, where the file holds more ended lines than live ones
// (or claims came from an earlier version's snapshot file), writes it anew.
//
// A line is a claim as BookingClaim::toSnapshot() gives it, in compact JSON, with its record's
// id under "record"; or {"gone": id}. A line that does not read is not skipped silently: what of
// it reads is salvaged, and where nothing does, every look-alike is asked about until the file is
// written anew without it. An unfinished last line (a write cut short) was never a claim: its
// record's save had not been written yet.
class BookingClaimsJournal {
public:
    // The journal beside `snapshotPath`.
    static QString pathFor(const QString& snapshotPath);

    struct Read {
        // Each live claim, as stored (key, value), in the order last written.
        std::vector<std::pair<QString, QVariant>> claims;
        // Lines that ended or replaced a claim: what writing the file anew would save.
        int endedLines = 0;
        // Lines that did not read at all (no record's id in them).
        int unreadable = 0;
    };
    static Read read(const QString& path);

    static QByteArray lineOf(const BookingClaim& claim);
    static QByteArray goneLine(const QUuid& record);
    // Appends `lines` and waits until they are on the disk; why not, where they are not. Off the
    // main thread.
    static std::optional<QString> append(const QString& path, const QByteArray& lines);
    // Writes the file anew with `lines` alone (a new file renamed over it).
    static std::optional<QString> rewrite(const QString& path, const QByteArray& lines);
};

} // namespace velmora
