#pragma once

#include "core/model/APIError.h"
#include "core/model/WorkEntry.h"
#include "core/time/WorkLogBooking.h"

#include <QCoreApplication>
#include <QString>

#include <functional>

class QMessageBox;
class QWidget;

namespace velmora {

// The alerts of a booking that an earlier run sent and never saw answered: told when
// the tracker does not list it or could not be asked, asked when an entry there may be
// it. All keep the
// time on the timer unless the user says otherwise, and show every text as plain text
// (task names are the tracker's free text). Each opens window-modal on `parent` and
// deletes itself when closed.
class BookingRecoveryAlert {
    Q_DECLARE_TR_FUNCTIONS(BookingRecoveryAlert)

public:
    static inline const QString keepButton = QStringLiteral("Keep the Time");
    static inline const QString savedButton = QStringLiteral("It Was Saved");
    static inline const QString tryAgainButton = QStringLiteral("Try Again");
    static inline const QString laterButton = QStringLiteral("Later");

    // "A 30m work log on BIG-20 at 10:02 may be this booking.": the entry's minutes, the
    // task and when the tracker made it (where it does not say, its start, or its day).
    static QString questionText(const WorkEntry& entry, const QString& taskName);

    // "The earlier booking may not have been saved.", with what it was.
    static QMessageBox* tellNotConfirmed(const WorkLogBooking& booking, const QString& taskName,
                                         QWidget* parent);
    // Whether `entry` is the booking: "Keep the Time" (the default, also Escape), which
    // runs `kept`, or "It Was Saved", which runs `saved`. Closed unanswered (the app
    // quits), it runs neither.
    static QMessageBox* askWhetherSaved(const WorkLogBooking& booking, const WorkEntry& entry,
                                        const QString& taskName, QWidget* parent, std::function<void()> saved,
                                        std::function<void()> kept = {});

    // "Couldn't ask Asana whether the 30m on BIG-20 arrived."
    static QString checkFailedText(const WorkLogBooking& booking, const QString& taskName,
                                   const QString& trackerName);
    // The tracker could not be asked: why (from `error`), and that the time and the
    // record stay. "Try Again" (the default) runs `tryAgain`; "Later" (also Escape)
    // leaves it to the next start.
    static QMessageBox* tellCheckFailed(const WorkLogBooking& booking, const QString& taskName,
                                        const QString& trackerName, const APIError& error, QWidget* parent,
                                        std::function<void()> tryAgain);
};

} // namespace velmora
