#include "views/main/BookingRecoveryAlert.h"

#include "core/time/ReadableTimeFormatter.h"
#include "views/main/LoadFailureView.h"
#include "views/main/PlainText.h"
#include "views/main/ReadableAlert.h"

#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>

namespace velmora {

namespace {

const QString title = QStringLiteral("Booking not confirmed");

QString duration(double seconds) {
    return ReadableTimeFormatter::format(seconds).value_or(QString());
}

// Opened the same way for all: modal on the window. Each one's texts (task names and
// tracker hosts among them) are made plain by ReadableAlert::prepare, its last step.
QMessageBox* alert(const QString& text, const QString& informative, QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    box->setInformativeText(informative);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    return box;
}

} // namespace

QString BookingRecoveryAlert::questionText(const WorkEntry& entry, const QString& taskName) {
    QString when;
    if (entry.created && entry.created->isValid()) {
        when = tr("at %1").arg(entry.created->toLocalTime().time().toString(QStringLiteral("HH:mm")));
    } else if (entry.started.time() != QTime(0, 0)) {
        when = tr("at %1").arg(entry.started.toLocalTime().time().toString(QStringLiteral("HH:mm")));
    } else {
        when = tr("on %1").arg(QLocale().toString(entry.started.date(), QLocale::ShortFormat));
    }
    return tr("A %1 work log on %2 %3 may be this booking.")
        .arg(duration(entry.spentTimeSeconds), plainName(taskName), when);
}

QMessageBox* BookingRecoveryAlert::tellNotConfirmed(const WorkLogBooking& booking, const QString& taskName,
                                                    QWidget* parent) {
    QMessageBox* box =
        alert(tr("The earlier booking may not have been saved."),
              tr("%1 on %2 was on its way to the tracker when Velmora stopped, and the tracker does not list "
                 "it. The time is kept on the timer: check the task's work log before booking it again.")
                  .arg(duration(static_cast<double>(booking.seconds)), plainName(taskName)),
              parent);
    box->setStandardButtons(QMessageBox::Ok);
    ReadableAlert::prepare(*box);
    return box;
}

QMessageBox* BookingRecoveryAlert::askWhetherSaved(const WorkLogBooking& booking, const WorkEntry& entry,
                                                   const QString& taskName, QWidget* parent,
                                                   std::function<void()> saved, std::function<void()> kept) {
    QMessageBox* box = alert(questionText(entry, taskName),
                             tr("%1 on %2 was on its way to the tracker when Velmora stopped. If that work "
                                "log is this booking, the "
                                "time is booked; otherwise it is still to be booked. Until you say it was "
                                "saved, the time stays on "
                                "the timer.")
                                 .arg(duration(static_cast<double>(booking.seconds)), plainName(taskName)),
                             parent);
    QPushButton* keep = box->addButton(keepButton, QMessageBox::RejectRole);
    QPushButton* wasSaved = box->addButton(savedButton, QMessageBox::AcceptRole);
    // Keeping loses nothing: it is the default, where the focus starts (Return presses
    // the focused button), and what Escape answers.
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    wasSaved->setAutoDefault(false);
    QObject::connect(keep, &QPushButton::clicked, box, [kept = std::move(kept)] {
        if (kept) {
            kept();
        }
    });
    QObject::connect(wasSaved, &QPushButton::clicked, box, [saved = std::move(saved)] {
        if (saved) {
            saved();
        }
    });
    ReadableAlert::prepare(*box);
    return box;
}

QString BookingRecoveryAlert::checkFailedText(const WorkLogBooking& booking, const QString& taskName,
                                              const QString& trackerName) {
    return tr("Couldn't ask %1 whether the %2 on %3 arrived.")
        .arg(plainName(trackerName), duration(static_cast<double>(booking.seconds)), plainName(taskName));
}

QMessageBox* BookingRecoveryAlert::tellCheckFailed(const WorkLogBooking& booking, const QString& taskName,
                                                   const QString& trackerName, const APIError& error,
                                                   QWidget* parent, std::function<void()> tryAgain) {
    QMessageBox* box =
        alert(checkFailedText(booking, taskName, trackerName),
              tr("%1\n\nThe booking was on its way when Velmora stopped. The time stays on the timer, "
                 "and Velmora asks again at its next start: until then, check the task's work "
                 "log before booking it again.")
                  .arg(failureExplanation(error)),
              parent);
    QPushButton* later = box->addButton(laterButton, QMessageBox::RejectRole);
    QPushButton* retry = box->addButton(tryAgainButton, QMessageBox::AcceptRole);
    box->setDefaultButton(retry);
    box->setEscapeButton(later);
    QObject::connect(retry, &QPushButton::clicked, box, [tryAgain = std::move(tryAgain)] {
        if (tryAgain) {
            tryAgain();
        }
    });
    ReadableAlert::prepare(*box);
    return box;
}

} // namespace velmora
