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
        return record.unseen ? BookingTexts::refusal(*record.unseen, record.tracker)
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
    case BookingRecord::Ending::accountGone:
        return BookingTexts::tr("Its account was deleted before Velmora learnt whether %1 has it.")
            .arg(BookingTexts::tracker(record));
    }
    return {};
}

// Whether the record's outcome was never learnt: the tracker may have it.
bool mayHaveBeenSaved(const BookingRecord& record) {
    return record.ending == BookingRecord::Ending::notListed ||
           record.ending == BookingRecord::Ending::notLearnt ||
           record.ending == BookingRecord::Ending::accountGone;
}

} // namespace

QString BookingTexts::refusal(const APIError& error, const QString& trackerName) {
    if (error.httpStatus() == 403) {
        // Signing in again gives the account no permission it lacks.
        const QString name = trackerName.isEmpty() ? tr("the tracker") : trackerName;
        const QString first = !error.host().isEmpty() ? error.host()
                              : trackerName.isEmpty() ? tr("The tracker")
                                                      : trackerName;
        return tr("%1 refused it (HTTP 403): the account may not log work on this task. Ask whoever runs "
                  "%2 for that permission, or book the time on another task.")
            .arg(first, name);
    }
    return failureExplanation(error);
}

QString BookingTexts::taskOf(const BookingRecord& record) {
    QString task = record.task.reference && !record.task.reference->isEmpty() ? *record.task.reference
                   : record.task.name.isEmpty()                               ? record.booking.taskId
                                                                              : record.task.name;
    if (task.isEmpty()) {
        return tr("a task whose name did not read");
    }
    return quotedName(task);
}

QStringList BookingTexts::heldNotes(const BookingRecords& records) {
    return records.heldNotes({}, [](const QString& name) { return quotedName(name, quotedNameShortLength); });
}

QString BookingTexts::what(const BookingRecord& record) {
    const QString duration =
        ReadableTimeFormatter::format(static_cast<double>(record.booking.seconds)).value_or(QString());
    if (duration.isEmpty()) {
        return tr("The booking on %1").arg(taskOf(record));
    }
    return tr("%1 on %2").arg(duration, taskOf(record));
}

QString BookingTexts::named(const BookingRecord& record, const BookingRecords& records) {
    const QString said = what(record);
    const auto leftAt = [](const BookingRecord& one) {
        return one.booking.sent.value_or(one.booking.started);
    };
    bool alike = false;
    bool sameMinute = false;
    // Only a booking of the same task and minutes reads the same: those alone are compared.
    for (const BookingRecord* candidate : records.lookAlikes(
             record.booking.taskId, BookingRecords::minutesOf(static_cast<double>(record.booking.seconds)))) {
        const BookingRecord& other = *candidate;
        if (other.id == record.id || !BookingRecords::shownFor(other, record.account) ||
            what(other) != said) {
            continue;
        }
        alike = true;
        const QDateTime mine = leftAt(record).toLocalTime();
        const QDateTime theirs = leftAt(other).toLocalTime();
        sameMinute =
            sameMinute || (mine.date() == theirs.date() && mine.time().hour() == theirs.time().hour() &&
                           mine.time().minute() == theirs.time().minute());
    }
    if (!alike) {
        return said;
    }
    const QDateTime left = leftAt(record).toLocalTime();
    return tr("%1 sent at %2")
        .arg(said, left.time().toString(sameMinute ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm")));
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
    if (record.answerOfAnother) {
        return tr("%1 answered with a work log that is another booking's (an answer given twice), not "
                  "with this one's.")
            .arg(trackerFirst(record));
    }
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

QString BookingTexts::twiceWarning(const BookingRecord& record, const BookingRecords& records) {
    return tr("If the booking of %1 arrives late after all, the time will be booked twice.")
        .arg(named(record, records));
}

BookingTexts::Line BookingTexts::line(const BookingRecord& record, const BookingRecords& records) {
    return line(record, records, Shown{});
}

BookingTexts::Line BookingTexts::line(const BookingRecord& record, const BookingRecords& records,
                                      Shown shown) {
    const QDateTime now = records.environment().currentTime();
    const QString name = tracker(record);
    const QString booking = named(record, records);
    if (const auto answer = records.unnoted(record.id); answer && record.isOpen()) {
        // What the tracker said is known, though not on disk: said as it is.
        const QString why = tr("Velmora couldn't note that on disk (%1), so the time stays on hold here, "
                               "and the next start of Velmora asks %2 again.")
                                .arg(answer->failure, name);
        switch (answer->kind) {
        case BookingRecords::Unnoted::Kind::saved:
            return {tr("%1 said it saved %2.").arg(trackerFirst(record), booking), why};
        case BookingRecords::Unnoted::Kind::refused:
            return {tr("%1 refused %2.").arg(trackerFirst(record), booking), why};
        case BookingRecords::Unnoted::Kind::unknown:
            return {tr("%1 didn't say whether it saved %2.").arg(trackerFirst(record), booking), why};
        }
    }
    if (record.damaged) {
        if (record.state == BookingRecord::State::discarded) {
            // The user let it go: nothing is left to say.
            return {};
        }
        if (!record.holdsSeconds()) {
            // Nothing of its time read.
            return {
                tr("Velmora couldn't read its note of a booking on %1.").arg(taskOf(record)),
                tr("How much time it held did not read either. Check the task's work log in %1.").arg(name)};
        }
        return {tr("%1 may not have been booked.").arg(booking),
                tr("Velmora couldn't read all of its note of this booking: it may have been saved. The time "
                   "waits "
                   "here: check the task's work log in %1, then book it or discard it.")
                    .arg(name)};
    }
    switch (record.state) {
    case BookingRecord::State::leaving: {
        const qint64 since = records.sinceLeft(record);
        QString detail;
        if (since >= answerWait) {
            // Past the wait: no time that has gone by is named.
            detail = tr("%1 hasn't answered in the time Velmora waits for it; Velmora then asks %2 whether "
                        "it arrived.")
                         .arg(trackerFirst(record), name);
        } else if (since >= slowAfter) {
            detail = tr("%1 hasn't answered yet. Velmora waits for its answer until %2.")
                         .arg(trackerFirst(record), until(now.addMSecs(answerWait - since), now));
        }
        if (record.account.isEmpty()) {
            // Its account went while it was on its way: its answer still settles it.
            detail = tr("Its account was deleted while it was on its way: if %1 saved it, it is booked "
                        "there; if not, the time waits here.")
                         .arg(name) +
                     (detail.isEmpty() ? QString() : QLatin1Char(' ') + detail);
        }
        return {tr("Booking %1…").arg(booking), detail};
    }
    case BookingRecord::State::unknown: {
        const QDateTime windowEnd = records.windowEndsAt(record);
        const QString end = until(windowEnd, now);
        QString detail = whyUnknown(record) + QLatin1Char(' ');
        // When it is asked next: now, at a time still to come, or once more as the window ends.
        const auto nextAsk = [&](bool withEnd) -> QString {
            if (shown.askingNow) {
                return tr("Velmora is asking %1 now.").arg(name);
            }
            const QDateTime next = std::max(record.nextLookUpWall.value_or(now), now);
            if (next.secsTo(windowEnd) < 60) {
                return tr("Velmora asks one last time at %1.").arg(until(windowEnd, now));
            }
            return withEnd ? tr("Velmora asks again at %1, until %2.").arg(until(next, now), end)
                           : tr("Velmora asks again at %1.").arg(until(next, now));
        };
        switch (record.lookUp) {
        case BookingRecord::LookUp::none:
            detail += tr("Velmora is asking %1 whether it arrived, until %2.").arg(name, end);
            break;
        case BookingRecord::LookUp::nothingListed:
            if (shown.waiting) {
                detail += tr("%1 doesn't list it yet (asked at %2). Velmora waits for it until %3. ")
                              .arg(trackerFirst(record), until(record.lookedUpAt.value_or(now), now), end) +
                          nextAsk(false);
            } else {
                detail +=
                    tr("%1 doesn't list it yet (asked at %2). It may still arrive until %3: wait for it, "
                       "or book it again now.")
                        .arg(trackerFirst(record), until(record.lookedUpAt.value_or(now), now), end);
            }
            break;
        case BookingRecord::LookUp::failed:
            detail +=
                tr("Couldn't ask %1 whether it arrived: %2 ")
                    .arg(name, record.lookUpError ? failureExplanation(*record.lookUpError) : QString()) +
                nextAsk(true);
            break;
        }
        return {tr("%1 is on hold.").arg(booking), detail};
    }
    case BookingRecord::State::asked: {
        QString question = record.question
                               ? BookingRecoveryAlert::questionText(
                                     *record.question, record.task.reference.value_or(record.task.name))
                               : QString();
        if (const auto rival = record.rival ? records.record(*record.rival) : std::nullopt) {
            question +=
                QLatin1Char(' ') + tr("It may also be the booking of %1.").arg(named(*rival, records));
        }
        return {tr("%1 is on hold: a work log in %2 may be this booking.").arg(booking, name), question};
    }
    case BookingRecord::State::saved:
        if (!record.savedLater) {
            return {};
        }
        if (record.account.isEmpty()) {
            return {tr("%1 was saved.").arg(booking),
                    tr("%1 saved it after all: its answer came after its account was deleted. The time is "
                       "booked there.")
                        .arg(trackerFirst(record))};
        }
        return {tr("%1 was saved.").arg(booking), tr("%1 lists it.").arg(trackerFirst(record))};
    case BookingRecord::State::notSaved:
        // Not saved and nowhere but on the timer: each ending says so.
        switch (record.ending.value_or(BookingRecord::Ending::refused)) {
        case BookingRecord::Ending::notListed:
            return {
                tr("%1 may not have been saved.").arg(booking),
                whyNotSaved(record) + QLatin1Char(' ') +
                    tr("The time is back on the timer: check the task's work log before booking it again.")};
        case BookingRecord::Ending::notLearnt:
            return {
                tr("Couldn't learn whether %1 was saved.").arg(booking),
                whyNotSaved(record) + QLatin1Char(' ') +
                    tr("The time is back on the timer: check the task's work log before booking it again.")};
        case BookingRecord::Ending::refused:
            return {tr("%1 wasn't saved.").arg(booking),
                    whyNotSaved(record) + QLatin1Char(' ') + tr("The time is back on the timer.")};
        case BookingRecord::Ending::keptByUser:
        case BookingRecord::Ending::bookAgain:
        case BookingRecord::Ending::accountGone:
            break;
        }
        return {};
    case BookingRecord::State::returned: {
        QString where;
        if (record.account.isEmpty()) {
            where =
                tr("Its account is gone, so the time waits here: select a task of this account and book it "
                   "there, or discard it.");
        } else if (record.source == BookingRecord::Source::timer) {
            // True whatever the timer does later.
            where = tr("The timer was on another task when the time came back, so the time waits here: "
                       "book it, or discard it.");
        } else {
            where = tr("The time waits here: book it, or discard it.");
        }
        if (mayHaveBeenSaved(record)) {
            // Nobody knows whether it was booked: never said that it wasn't.
            where = tr("Check the task's work log in %1 before booking it again.").arg(name) +
                    QLatin1Char(' ') + where;
            return {record.ending == BookingRecord::Ending::notListed
                        ? tr("%1 may not have been booked.").arg(booking)
                        : tr("Couldn't learn whether %1 was booked.").arg(booking),
                    whyNotSaved(record) + QLatin1Char(' ') + where};
        }
        return {tr("%1 wasn't booked.").arg(booking), whyNotSaved(record) + QLatin1Char(' ') + where};
    }
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
               tr("The time waits in the main window until it is booked or discarded: Save books it from "
                  "here.");
    case BookingRecord::State::notSaved:
        if (record.ending == BookingRecord::Ending::refused) {
            return whyNotSaved(record) + QLatin1Char(' ') +
                   tr("The time is back on the timer: Save books it again.");
        }
        break;
    case BookingRecord::State::saved:
    case BookingRecord::State::discarded:
        break;
    }
    return {};
}

} // namespace velmora
