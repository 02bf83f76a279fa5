#include "app/StoredStateAlerts.h"

#include "core/time/ReadableTimeFormatter.h"
#include "state/BookingRecord.h"
#include "state/TimerSnapshot.h"
#include "views/main/BookingTexts.h"
#include "views/main/PlainText.h"
#include "views/main/ReadableAlert.h"

#include <QDateTime>
#include <QDialog>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QVBoxLayout>

namespace velmora {

namespace {

// At most this many of what the damaged file held are named; the rest are counted.
constexpr int namedMost = 8;

QString taskName(const Issue& task) {
    const QString name = task.reference && !task.reference->isEmpty() ? *task.reference : task.name;
    return quotedName(name, quotedNameShortLength);
}

QMessageBox* warning(const QString& title, const QString& text, QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, title, QMessageBox::Ok, parent);
    box->setInformativeText(text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setAttribute(Qt::WA_QuitOnClose, false);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    ReadableAlert::prepare(*box);
    return box;
}

} // namespace

QString StoredStateAlerts::damagedText(const SnapshotManager::LoadProblem& problem) {
    using Cause = SnapshotManager::LoadProblem::Cause;
    QStringList parts;
    switch (problem.cause) {
    case Cause::NotAFile:
        parts << tr(
            "Where Velmora keeps its running timers and bookings on hold, there is no ordinary file but "
            "something else (a pipe, a device, a folder, or a link to one or to nothing), so Velmora "
            "didn't read it.");
        break;
    case Cause::TooLarge:
        parts << tr(
            "The file of running timers and bookings on hold is far larger than any Velmora writes, so "
            "Velmora didn't read it.");
        break;
    case Cause::Unreadable:
        parts << tr("The file of running timers and bookings on hold couldn't be read; the system said: %1.")
                     .arg(problem.systemError.left(200));
        break;
    case Cause::Damaged:
        parts << tr(
            "The file of running timers and bookings on hold is damaged: it isn't in the form Velmora "
            "writes it in (it may have been cut short, or written over by another program).");
        break;
    }
    if (problem.keptAt.isEmpty()) {
        parts << tr("It couldn't be moved aside either, so nothing Velmora changes is saved until it quits.");
    } else {
        parts << tr("It is kept as it was, at %1.").arg(problem.keptAt);
    }
    if (problem.previousFrom) {
        parts << tr("Velmora went back to the copy it kept from %1: a timer started or stopped, or a booking "
                    "made, after that may be missing.")
                     .arg(QLocale().toString(problem.previousFrom->toLocalTime(), QLocale::ShortFormat));
    } else {
        if (problem.previousUnreadable) {
            parts
                << (problem.previousKeptAt.isEmpty()
                        ? tr("The copy Velmora keeps from before its last change couldn't be read either.")
                        : tr("The copy Velmora keeps from before its last change couldn't be read either; it "
                             "is kept at %1.")
                              .arg(problem.previousKeptAt));
        }
        parts
            << (problem.partlyRead
                    ? tr("Velmora goes on with what of the file could be read.")
                    : tr("Nothing of what it held could be read: any timer that was running and any booking "
                         "on hold are not in Velmora now. Time you tracked and didn't book yet has to be "
                         "booked by hand."));
    }
    // What the damaged file held that still reads, so the user can book it by hand.
    QStringList held;
    const QDateTime now = QDateTime::currentDateTime();
    int unnamed = 0;
    for (auto it = problem.readable.timers.constBegin(); it != problem.readable.timers.constEnd(); ++it) {
        const auto timer = TimerSnapshot::fromSnapshot(it.value());
        if (!timer || !timer->task || timer->elapsed(now) < 60) {
            continue;
        }
        if (held.size() >= namedMost) {
            ++unnamed;
            continue;
        }
        held << tr("%1 on the timer of %2")
                    .arg(ReadableTimeFormatter::format(timer->elapsed(now)).value_or(QString()),
                         taskName(*timer->task));
    }
    for (auto it = problem.readable.bookings.constBegin(); it != problem.readable.bookings.constEnd(); ++it) {
        auto record = BookingRecord::decode(it.value());
        std::optional<BookingRecord> read =
            record.ok() ? std::optional(record.value()) : BookingRecord::salvage(it.value(), it.key());
        if (!read || !read->holdsSeconds()) {
            continue;
        }
        if (held.size() >= namedMost) {
            ++unnamed;
            continue;
        }
        held << tr("%1, a booking not known to be saved").arg(BookingTexts::what(*read));
    }
    if (!held.isEmpty()) {
        QString list = tr("It held: %1.").arg(held.join(QStringLiteral("; ")));
        if (unnamed > 0) {
            list += QLatin1Char(' ') + tr("And %n more.", nullptr, unnamed);
        }
        parts << list;
    }
    return parts.join(QLatin1Char(' '));
}

QMessageBox* StoredStateAlerts::damaged(const SnapshotManager::LoadProblem& problem, QWidget* parent) {
    QMessageBox* box = warning(damagedTitle, damagedText(problem), parent);
    box->setObjectName(QStringLiteral("DamagedSnapshotAlert"));
    return box;
}

QDialog* StoredStateAlerts::waitingForTheDisk(bool quitting) {
    auto* note = new QDialog(nullptr, Qt::Dialog);
    note->setObjectName(QStringLiteral("DiskWaitNote"));
    note->setWindowTitle(diskWaitTitle);
    note->setAttribute(Qt::WA_DeleteOnClose);
    note->setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QVBoxLayout(note);
    auto* text =
        new QLabel(quitting ? tr("Velmora is still saving your timers and bookings, and quits as soon as "
                                 "they are on the disk. The disk is slow to take them.")
                            : tr("Velmora is still saving your timers and bookings. The disk is slow to "
                                 "take them."),
                   note);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    layout->addWidget(text);
    // No end is known: the bar only shows that the app is alive.
    auto* busy = new QProgressBar(note);
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    layout->addWidget(busy);
    note->setMinimumWidth(note->fontMetrics().averageCharWidth() * 48);
    note->show();
    note->raise();
    note->activateWindow();
    return note;
}

QMessageBox* StoredStateAlerts::notWritten(const QString& reason, QWidget* parent) {
    QMessageBox* box = warning(notWrittenTitle,
                               tr("The file of timers and bookings couldn't be written (%1). Nothing of what "
                                  "you did last about a booking happened: the time is where it was.")
                                   .arg(reason.left(300)),
                               parent);
    box->setObjectName(QStringLiteral("BookingNotWrittenAlert"));
    return box;
}

} // namespace velmora
