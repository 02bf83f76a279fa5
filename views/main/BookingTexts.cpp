#include "views/main/BookingTexts.h"

#include "core/time/ReadableTimeFormatter.h"
#include "state/BookingRecords.h"
#include "views/main/BookingRecoveryAlert.h"
#include "views/main/LoadFailureView.h"
#include "views/main/PlainText.h"

#include <QLocale>

namespace velmora {

namespace {

QString hostOf(const APIError& error, const QString& tracker) {
    return error.host().isEmpty() ? tracker : error.host();
}

// The tracker's name where it begins a sentence.
QString trackerFirst(const BookingRecord& record) {
    return record.tracker.isEmpty() ? BookingTexts::tr("The tracker") : record.tracker;
}

// Why a booking was not saved, in one sentence, for the texts that say so.
QString whyNotSaved(const BookingRecord& record) {
    const QString tracker = trackerFirst(record);
    switch (record.ending.value_or(BookingRecord::Ending::refused)) {
    case BookingRecord::Ending::refused:
        return record.unseen ? failureExplanation(*record.unseen)
                             : BookingTexts::tr("%1 did not take it.").arg(tracker);
    case BookingRecord::Ending::notListed:
        return BookingTexts::tr("%1 doesn't list it, and the time it could still arrive in has passed.")
            .arg(tracker);
    case BookingRecord::Ending::notLearnt:
        return BookingTexts::tr("%1 couldn't be asked before the time it could still arrive in passed.")
            .arg(tracker);
    case BookingRecord::Ending::keptByUser:
        return BookingTexts::tr("You said the work log found isn't this booking.");
    case BookingRecord::Ending::bookAgain:
        return BookingTexts::tr("You chose to book it again.");
    }
    return {};
}

} // namespace

QString BookingTexts::what(const BookingRecord& record) {
    const QString duration =
        ReadableTimeFormatter::format(static_cast<double>(record.booking.seconds)).value_or(QString());
    const QString task = record.task.reference && !record.task.reference->isEmpty() ? *record.task.reference
                         : record.task.name.isEmpty()                               ? record.booking.taskId
                                                                                    : record.task.name;
    return tr("%1 on %2").arg(duration, plainName(task.left(300)));
}

void BookingTexts::whenSlow(const BookingRecord& record, const BookingRecords& records, QObject* context,
                            std::function<void()> then) {
    if (record.state != BookingRecord::State::leaving) {
        return;
    }
    const qint64 since = records.sinceLeft(record);
    if (since < slowAfter) {
        records.environment().bootClock->callAfter(std::chrono::milliseconds(slowAfter - since), context,
                                                   std::move(then));
    }
}

QString BookingTexts::tracker(const BookingRecord& record) {
    return record.tracker.isEmpty() ? tr("the tracker") : record.tracker;
}

QString BookingTexts::until(const QDateTime& moment, const QDateTime& now) {
    const QDateTime local = moment.toLocalTime();
    const QString time = local.time().toString(QStringLiteral("HH:mm"));
    if (local.date() == now.toLocalTime().date()) {
        return time;
    }
    return tr("%1 on %2").arg(time, QLocale().toString(local.date(), QLocale::ShortFormat));
}

QString BookingTexts::whyUnknown(const BookingRecord& record) {
    const QString name = tracker(record);
    if (record.stoppedWhileLeaving || !record.unseen) {
        return tr("It was on its way to %1 when Velmora stopped.").arg(name);
    }
    const APIError& error = *record.unseen;
    const QString host = hostOf(error, trackerFirst(record));
    switch (error.cause()) {
    case APIError::Cause::TimedOut:
        return tr("%1 didn't answer the booking in time.").arg(trackerFirst(record));
    case APIError::Cause::Unreachable:
        // Something of it left: the connection broke on the way, never "can't reach".
        return tr("The connection to %1 broke before %2 answered.").arg(host, name);
    case APIError::Cause::ServerError:
        if (error.httpStatus() >= 300 && error.httpStatus() <= 399) {
            return tr("%1 answered the booking with a redirect (HTTP %2), not with the work log.")
                .arg(host)
                .arg(error.httpStatus());
        }
        return tr("%1 answered the booking with an error (HTTP %2).").arg(host).arg(error.httpStatus());
    case APIError::Cause::Unreadable:
        return tr("%1 answered the booking with something that isn't the work log.").arg(host);
    case APIError::Cause::UntrustedCertificate:
    case APIError::Cause::None:
        break;
    }
    return tr("No answer said whether %1 saved it.").arg(name);
}

QString BookingTexts::twiceWarning() {
    return tr("If the first booking arrives late after all, the time will be booked twice.");
}

BookingTexts::Line BookingTexts::line(const BookingRecord& record, const BookingRecords& records) {
    const QDateTime now = records.environment().currentTime();
    const QString name = tracker(record);
    switch (record.state) {
    case BookingRecord::State::leaving: {
        const qint64 since = records.sinceLeft(record);
        if (since < slowAfter) {
            return {tr("Booking %1…").arg(what(record)), QString()};
        }
        const QDateTime waitsUntil = now.addMSecs(std::max<qint64>(0, answerWait - since));
        return {tr("Booking %1…").arg(what(record)),
                tr("%1 hasn't answered yet. Velmora waits for its answer until %2.")
                    .arg(trackerFirst(record), until(waitsUntil, now))};
    }
    case BookingRecord::State::unknown: {
        const QString end = until(records.windowEndsAt(record), now);
        QString detail = whyUnknown(record) + QLatin1Char(' ');
        switch (record.lookUp) {
        case BookingRecord::LookUp::none:
            detail += tr("Velmora is asking %1 whether it arrived, until %2.").arg(name, end);
            break;
        case BookingRecord::LookUp::nothingListed:
            detail +=
                tr("%1 doesn't list it yet (asked at %2). It may still arrive until %3: wait for it, or "
                   "book it again now.")
                    .arg(trackerFirst(record), until(record.lookedUpAt.value_or(now), now), end);
            break;
        case BookingRecord::LookUp::failed:
            detail += tr("Couldn't ask %1 whether it arrived: %2 Velmora asks again at %3, until %4.")
                          .arg(name, record.lookUpError ? failureExplanation(*record.lookUpError) : QString(),
                               until(record.nextLookUpWall.value_or(now), now), end);
            break;
        }
        return {tr("%1 is on hold.").arg(what(record)), detail};
    }
    case BookingRecord::State::asked:
        return {tr("%1 is on hold: a work log in %2 may be this booking.").arg(what(record), name),
                record.question ? BookingRecoveryAlert::questionText(
                                      *record.question, record.task.reference.value_or(record.task.name))
                                : QString()};
    case BookingRecord::State::saved:
        if (!record.savedLater) {
            return {};
        }
        return {tr("%1 was saved.").arg(what(record)), tr("%1 lists it.").arg(trackerFirst(record))};
    case BookingRecord::State::notSaved:
        switch (record.ending.value_or(BookingRecord::Ending::refused)) {
        case BookingRecord::Ending::notListed:
            return {
                tr("%1 may not have been saved.").arg(what(record)),
                whyNotSaved(record) + QLatin1Char(' ') +
                    tr("The time is back on the timer: check the task's work log before booking it again.")};
        case BookingRecord::Ending::notLearnt:
            return {
                tr("Couldn't learn whether %1 was saved.").arg(what(record)),
                whyNotSaved(record) + QLatin1Char(' ') +
                    tr("The time is back on the timer: check the task's work log before booking it again.")};
        case BookingRecord::Ending::refused:
            return {tr("%1 wasn't saved.").arg(what(record)),
                    whyNotSaved(record) + QLatin1Char(' ') + tr("The time is back on the timer.")};
        case BookingRecord::Ending::keptByUser:
        case BookingRecord::Ending::bookAgain:
            break;
        }
        return {};
    case BookingRecord::State::returned:
        return {tr("%1 wasn't booked.").arg(what(record)),
                whyNotSaved(record) + QLatin1Char(' ') +
                    tr("The timer tracks another task now, so the time waits here: book it, or discard it.")};
    case BookingRecord::State::discarded:
        break;
    }
    return {};
}

QString BookingTexts::sheetState(const BookingRecord& record, const BookingRecords& records) {
    const QDateTime now = records.environment().currentTime();
    const QString name = tracker(record);
    switch (record.state) {
    case BookingRecord::State::leaving: {
        const Line said = line(record, records);
        return said.detail;
    }
    case BookingRecord::State::unknown:
        return whyUnknown(record) + QLatin1Char(' ') +
               tr("The time is on hold while Velmora asks %1 whether it arrived, until %2; the main window "
                  "shows "
                  "what it learns.")
                   .arg(name, until(records.windowEndsAt(record), now));
    case BookingRecord::State::asked:
        return tr("A work log in %1 may be this booking: the main window asks you whether it is.").arg(name);
    case BookingRecord::State::returned:
        return whyNotSaved(record) + QLatin1Char(' ') +
               tr("The timer tracks another task now: Save books this time from here.");
    case BookingRecord::State::saved:
    case BookingRecord::State::notSaved:
    case BookingRecord::State::discarded:
        break;
    }
    return {};
}

} // namespace velmora
