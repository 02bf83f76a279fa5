#include "views/main/BookingRecoveryAlert.h"

#include "core/time/ReadableTimeFormatter.h"
#include "views/main/BookingTexts.h"
#include "views/main/LoadFailureView.h"
#include "views/main/PlainText.h"
#include "views/main/ReadableAlert.h"

#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>

namespace velmora {

namespace {

QString duration(double seconds) {
    return ReadableTimeFormatter::format(seconds).value_or(QString());
}

// Opened the same way for all: modal on the window. Each one's texts (task names and
// tracker hosts among them) are made plain by ReadableAlert::prepare, its last step.
QMessageBox* alert(const QString& text, const QString& informative, QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Warning, BookingRecoveryAlert::title, text,
                                QMessageBox::NoButton, parent);
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
        .arg(duration(entry.spentTimeSeconds), quotedName(taskName), when);
}

QMessageBox* BookingRecoveryAlert::askWhetherSaved(const BookingRecord& record, const BookingRecords& records,
                                                   QWidget* parent, std::function<void()> saved,
                                                   std::function<void()> kept) {
    const BookingTexts::Line said = BookingTexts::line(record, records);
    QMessageBox* box =
        alert(said.detail,
              tr("%1 If that work log is this booking, the time is booked; otherwise it goes back to "
                 "you, to be booked. Until you say, the time is on hold.")
                  .arg(BookingTexts::whyUnknown(record)),
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

QMessageBox* BookingRecoveryAlert::tellEnded(const BookingRecord& record, const BookingRecords& records,
                                             QWidget* parent, std::function<void()> bookIt,
                                             std::function<void()> discard) {
    const BookingTexts::Line said = BookingTexts::line(record, records);
    QMessageBox* box = alert(said.headline, said.detail, parent);
    if (record.state == BookingRecord::State::returned) {
        QPushButton* book = box->addButton(BookingTexts::bookItButton, QMessageBox::AcceptRole);
        QPushButton* drop = box->addButton(BookingTexts::discardButton, QMessageBox::DestructiveRole);
        // Booking it loses nothing; Escape only closes (the main window still offers both).
        box->addButton(QMessageBox::Close);
        box->setDefaultButton(book);
        drop->setAutoDefault(false);
        QObject::connect(book, &QPushButton::clicked, box, [bookIt = std::move(bookIt)] {
            if (bookIt) {
                bookIt();
            }
        });
        QObject::connect(drop, &QPushButton::clicked, box, [discard = std::move(discard)] {
            if (discard) {
                discard();
            }
        });
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    ReadableAlert::prepare(*box);
    return box;
}

} // namespace velmora
