#include "views/main/BookingStatusView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/BookingRecords.h"
#include "state/BookingRecovery.h"
#include "state/TimerViewModel.h"
#include "views/main/Appearance.h"
#include "views/main/BookingRecoveryAlert.h"
#include "views/main/BookingTexts.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>

namespace velmora {

namespace {

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setText(text);
    return label;
}

} // namespace

BookingStatusView::BookingStatusView(BookingRecords& records, BookingRecovery* recovery,
                                     const QString& account, QWidget* parent)
    : QWidget(parent), m_records(&records), m_recovery(recovery), m_account(account) {
    setObjectName(QStringLiteral("BookingStatus"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    connect(&records, &BookingRecords::recordChanged, this, &BookingStatusView::recordChanged);
    rebuild();
    // A question left open by an earlier run is asked again now.
    for (const BookingRecord& record : records.records(m_account)) {
        if (record.state == BookingRecord::State::asked) {
            popUp(record);
        }
    }
}

BookingStatusView::~BookingStatusView() {
    for (const auto& alert : std::as_const(m_alerts)) {
        if (alert) {
            alert->deleteLater();
        }
    }
}

QPushButton* BookingStatusView::button(const QUuid& id, const QString& text) const {
    QWidget* shown = row(id);
    if (!shown) {
        return nullptr;
    }
    for (QPushButton* candidate : shown->findChildren<QPushButton*>()) {
        if (candidate->text() == text) {
            return candidate;
        }
    }
    return nullptr;
}

void BookingStatusView::recordChanged(const QUuid& id) {
    if (!m_records) {
        return;
    }
    const auto record = m_records->record(id);
    if (record && record->account != m_account) {
        return;
    }
    // A look-up that tells more asks the choice again.
    m_waiting.remove(id);
    // What an alert asked is settled or moved on: the alert goes, the row says the rest.
    if (QPointer<QMessageBox> open = m_alerts.take(id)) {
        open->close();
    }
    if (record) {
        popUp(*record);
    }
    rebuild();
}

void BookingStatusView::popUp(const BookingRecord& record) {
    // The ends the user hears of nowhere else: the window ended without the booking found,
    // or its seconds wait for the user (a refusal has the sheet's alert, a booking again
    // its sheet).
    const bool ended = record.state == BookingRecord::State::notSaved &&
                       (record.ending == BookingRecord::Ending::notListed ||
                        record.ending == BookingRecord::Ending::notLearnt);
    const bool waiting = record.state == BookingRecord::State::returned &&
                         record.ending != BookingRecord::Ending::refused &&
                         record.ending != BookingRecord::Ending::bookAgain;
    if (record.state != BookingRecord::State::asked && !ended && !waiting) {
        return;
    }
    QPointer<BookingRecords> records = m_records;
    const QUuid id = record.id;
    QMessageBox* box = nullptr;
    if (record.state == BookingRecord::State::asked) {
        box = BookingRecoveryAlert::askWhetherSaved(
            record, *m_records, window(),
            [records, id] {
                if (records) {
                    records->confirmSaved(id);
                }
            },
            [records, id] {
                if (records) {
                    records->keepTime(id);
                }
            });
    } else {
        QPointer<BookingStatusView> self(this);
        box = BookingRecoveryAlert::tellEnded(
            record, *m_records, window(),
            [self, id] {
                if (self) {
                    self->bookReturned(id);
                }
            },
            [records, id] {
                if (records) {
                    records->discard(id);
                }
            });
    }
    m_alerts.insert(id, box);
    box->open();
}

void BookingStatusView::bookAgain(const QUuid& id) {
    if (!m_records) {
        return;
    }
    const auto record = m_records->record(id);
    if (!record) {
        return;
    }
    const QString account = record->account;
    if (m_records->bookAgain(id)) {
        // Back on the timer: stopping it opens its booking sheet with the time.
        if (TimerViewModel* timer = m_records->liveTimer(account)) {
            timer->cancel();
        }
    } else {
        bookReturned(id);
    }
}

void BookingStatusView::bookReturned(const QUuid& id) {
    const auto record = m_records ? m_records->record(id) : std::nullopt;
    if (record && record->state == BookingRecord::State::returned) {
        NotificationCenter::defaultCenter().post(QString(NotificationName::bookReturnedTime), id);
    }
}

QWidget* BookingStatusView::makeRow(const BookingRecord& record, const BookingTexts::Line& said) {
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("BookingStatusRow"));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setAutoFillBackground(true);
    QPalette colors = frame->palette();
    colors.setColor(QPalette::Window, colors.color(QPalette::AlternateBase));
    frame->setPalette(colors);
    auto* layout = new QHBoxLayout(frame);
    layout->setContentsMargins(12, 8, 12, 8);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    QLabel* headline = plainLabel(said.headline, frame);
    headline->setObjectName(QStringLiteral("BookingStatusHeadline"));
    QFont bold = headline->font();
    bold.setBold(true);
    headline->setFont(bold);
    texts->addWidget(headline);
    if (!said.detail.isEmpty()) {
        QLabel* detail = plainLabel(said.detail, frame);
        detail->setObjectName(QStringLiteral("BookingStatusDetail"));
        texts->addWidget(detail);
    }
    layout->addLayout(texts, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    const auto addButton = [frame, buttons](const QString& text, std::function<void()> action) {
        auto* button = new QPushButton(text, frame);
        button->setAutoDefault(false);
        QObject::connect(button, &QPushButton::clicked, frame, std::move(action));
        buttons->addWidget(button);
        return button;
    };
    QPointer<BookingRecords> records = m_records;
    QPointer<BookingRecovery> recovery = m_recovery;
    QPointer<BookingStatusView> self(this);
    const QUuid id = record.id;
    switch (record.state) {
    case BookingRecord::State::unknown:
        if (record.lookUp == BookingRecord::LookUp::nothingListed && !m_waiting.contains(id)) {
            QLabel* warning = plainLabel(BookingTexts::twiceWarning(), frame);
            warning->setObjectName(QStringLiteral("BookingStatusWarning"));
            texts->addWidget(warning);
            addButton(BookingTexts::waitButton, [self, id] {
                if (self) {
                    self->m_waiting.insert(id);
                    self->rebuild();
                }
            });
            addButton(BookingTexts::bookAgainButton, [self, id] {
                if (self) {
                    self->bookAgain(id);
                }
            });
        } else if (record.lookUp == BookingRecord::LookUp::failed) {
            addButton(BookingTexts::askNowButton, [recovery, id] {
                if (recovery) {
                    recovery->lookUpNow(id);
                }
            });
        }
        break;
    case BookingRecord::State::asked:
        addButton(BookingRecoveryAlert::keepButton, [records, id] {
            if (records) {
                records->keepTime(id);
            }
        });
        addButton(BookingRecoveryAlert::savedButton, [records, id] {
            if (records) {
                records->confirmSaved(id);
            }
        });
        break;
    case BookingRecord::State::returned:
        addButton(BookingTexts::discardButton, [records, id] {
            if (records) {
                records->discard(id);
            }
        });
        addButton(BookingTexts::bookItButton, [self, id] {
            if (self) {
                self->bookReturned(id);
            }
        });
        break;
    case BookingRecord::State::saved:
    case BookingRecord::State::notSaved:
        addButton(BookingTexts::okButton, [records, id] {
            if (records) {
                records->dismiss(id);
            }
        });
        break;
    case BookingRecord::State::leaving:
    case BookingRecord::State::discarded:
        break;
    }
    layout->addLayout(buttons);
    return frame;
}

void BookingStatusView::rebuild() {
    for (QWidget* shown : std::as_const(m_rows)) {
        shown->hide();
        shown->deleteLater();
    }
    m_rows.clear();
    if (!m_records) {
        hide();
        return;
    }
    for (const BookingRecord& record : m_records->records(m_account)) {
        const BookingTexts::Line said = BookingTexts::line(record, *m_records);
        if (said.isEmpty()) {
            continue;
        }
        QWidget* shown = makeRow(record, said);
        m_layout->addWidget(shown);
        m_rows.insert(record.id, shown);
        // A slow answer is told in words once it is slow.
        QPointer<BookingStatusView> self(this);
        BookingTexts::whenSlow(record, *m_records, this, [self] {
            if (self) {
                self->rebuild();
            }
        });
    }
    setVisible(!m_rows.isEmpty());
}

} // namespace velmora
