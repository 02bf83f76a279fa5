#pragma once

#include "core/model/WorkEntry.h"
#include "state/BookingRecord.h"

#include <QCoreApplication>
#include <QString>

#include <functional>

class QMessageBox;
class QWidget;

namespace velmora {

class BookingRecords;

// The alerts of a booking whose answer was not seen, when its record changes in a way
// the user must hear of at once: a work log that may be it (the question), or an end
// without a save (not listed or not learnt when its arrival window ended, or its
// seconds returned for the user to book or discard). The main window's booking line
// says the same for as long as it holds, so closing an alert loses no answer. Texts are
// BookingTexts', shown as plain text (task names are the tracker's free text). Each
// opens window-modal on `parent` and deletes itself when closed.
class BookingRecoveryAlert {
    Q_DECLARE_TR_FUNCTIONS(BookingRecoveryAlert)

public:
    static inline const QString title = QStringLiteral("Booking not confirmed");
    static inline const QString keepButton = QStringLiteral("Keep the Time");
    static inline const QString savedButton = QStringLiteral("It Was Saved");

    // "A 30m work log on BIG-20 at 10:02 may be this booking.": the entry's minutes, the
    // task and when the tracker made it (where it does not say, its start, or its day).
    static QString questionText(const WorkEntry& entry, const QString& taskName);

    // Whether the entry the record asks about is the booking: "Keep the Time" (the
    // default, also Escape), which runs `kept`, or "It Was Saved", which runs `saved`.
    // Closed unanswered, it runs neither: the question stays open in the main window.
    static QMessageBox* askWhetherSaved(const BookingRecord& record, const BookingRecords& records,
                                        QWidget* parent, std::function<void()> saved,
                                        std::function<void()> kept);
    // The record ended without a save, and where its time went: OK; for seconds that
    // wait for the user, "Book It" (the default), which runs `bookIt`, and "Discard".
    static QMessageBox* tellEnded(const BookingRecord& record, const BookingRecords& records, QWidget* parent,
                                  std::function<void()> bookIt = {}, std::function<void()> discard = {});
};

} // namespace velmora
