#pragma once

#include "state/BookingRecord.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>

#include <functional>

namespace velmora {

class BookingRecords;

// What the app says of a booking, from its record alone: the main window's booking
// line, the sheet's state line and the alerts all take their words from here, so each
// says what happened and nothing else ("when Velmora stopped" only after a stop, "Can't
// reach" only when nothing reached the server, "try again" only where trying is allowed).
// Every text is plain text (task names are the tracker's free text).
class BookingTexts {
    Q_DECLARE_TR_FUNCTIONS(BookingTexts)

public:
    // An answer this late (ms after the booking left) is slow: the user is told in words
    // how long the app waits for it.
    static constexpr qint64 slowAfter = 5000;
    // How long the app waits for a booking's answer (ms): the request's time-out.
    static constexpr qint64 answerWait = 60000;

    // Runs `then` on `context` once the answer of a booking still on its way becomes slow,
    // so its words can change then; nothing when it is slow already or not on its way.
    static void whenSlow(const BookingRecord& record, const BookingRecords& records, QObject* context,
                         std::function<void()> then);

    // "1h 30m on PRJ-1".
    static QString what(const BookingRecord& record);
    // "PRJ-1": the task's reference, else its name, as plain text.
    static QString taskOf(const BookingRecord& record);
    // Why the tracker refused a booking, in words for someone who knows nothing of HTTP: a
    // permission refused (403) is not mended by signing in again.
    static QString refusal(const APIError& error, const QString& trackerName);
    // The same, told apart from another booking of the records that reads the same:
    // "30m on PRJ-1 sent at 10:42" (with the seconds where both left the same minute).
    static QString named(const BookingRecord& record, const BookingRecords& records);
    // "Jira", or "the tracker" where the record does not say.
    static QString tracker(const BookingRecord& record);
    // A moment to wait until: "10:52" today, with the date on another day.
    static QString until(const QDateTime& moment, const QDateTime& now);
    // Why the outcome of an unknown booking is not known.
    static QString whyUnknown(const BookingRecord& record);

    // A line of the main window: a headline and what follows from it; empty when the
    // record has nothing to say there.
    struct Line {
        QString headline;
        QString detail;
        bool isEmpty() const { return headline.isEmpty(); }
    };
    // What the main window knows beyond the record: the user chose to wait for it, a
    // look-up of it is on its way.
    struct Shown {
        bool waiting = false;
        bool askingNow = false;
    };
    static Line line(const BookingRecord& record, const BookingRecords& records, Shown shown);
    static Line line(const BookingRecord& record, const BookingRecords& records);
    // The booking sheet's word on the booking it sent; empty when the sheet needs none.
    static QString sheetState(const BookingRecord& record, const BookingRecords& records);

    // The tray's lines of what is on hold (BookingRecords::heldNotes), each task's name quoted
    // as a sentence quotes one where several share a line.
    static QStringList heldNotes(const BookingRecords& records);

    // The warning beside "Book Again Now", naming the booking it is about.
    static QString twiceWarning(const BookingRecord& record, const BookingRecords& records);
    // The answers the main window offers.
    static inline const QString bookAgainButton = QStringLiteral("Book Again Now");
    static inline const QString waitButton = QStringLiteral("Wait");
    static inline const QString askNowButton = QStringLiteral("Ask Now");
    static inline const QString bookItButton = QStringLiteral("Book It");
    // Time of no account (its account was deleted, or did not read): booked on the task
    // selected in the window.
    static inline const QString bookOnSelectedButton = QStringLiteral("Book on Selected Task");
    static inline const QString discardButton = QStringLiteral("Discard");
    static inline const QString okButton = QStringLiteral("OK");
};

} // namespace velmora
