#include "views/main/BookingStatusView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/BookingRecords.h"
#include "state/BookingRecovery.h"
#include "state/TimerViewModel.h"
#include "views/main/Appearance.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingRecoveryAlert.h"
#include "views/main/BookingTexts.h"
#include "views/main/ReadableAlert.h"

#include <QApplication>
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
    // It holds the focus a choice it took away had (a keyboard user goes on from here), but
    // is no Tab stop of its own.
    setFocusPolicy(Qt::ClickFocus);
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    connect(&records, &BookingRecords::recordChanged, this, &BookingStatusView::recordChanged);
    if (recovery) {
        connect(recovery, &BookingRecovery::lookingUp, this, [this](const QUuid& id, bool running) {
            if (running) {
                m_asking.insert(id);
            } else {
                m_asking.remove(id);
            }
            rebuild();
        });
    }
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

QWidget* BookingStatusView::row(const QUuid& id) const {
    const auto found = m_rows.constFind(id);
    return found == m_rows.constEnd() ? nullptr : found->frame;
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
    if (record && !record->account.isEmpty() && record->account != m_account) {
        return;
    }
    // A choice put off is put off until the booking moves on (not at every look-up).
    if (!record || record->state != BookingRecord::State::unknown) {
        m_waiting.remove(id);
    }
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
    // its sheet). A sheet that follows the booking says it there already.
    if (BookTimeView::isFollowing(record.id)) {
        return;
    }
    const bool ended = record.state == BookingRecord::State::notSaved &&
                       (record.ending == BookingRecord::Ending::notListed ||
                        record.ending == BookingRecord::Ending::notLearnt);
    const bool waiting = record.state == BookingRecord::State::returned &&
                         record.ending != BookingRecord::Ending::refused &&
                         record.ending != BookingRecord::Ending::bookAgain && !record.damaged;
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
    QPointer<BookingStatusView> self(this);
    m_records->bookAgain(id, [self, id](bool onTimer) {
        if (!self) {
            return;
        }
        if (onTimer) {
            // Back on the timer: its booking sheet opens with the time and what was typed.
            NotificationCenter::defaultCenter().post(QString(NotificationName::bookAgainOnTimer), id);
        } else {
            self->bookReturned(id);
        }
    });
}

void BookingStatusView::bookReturned(const QUuid& id) {
    const auto record = m_records ? m_records->record(id) : std::nullopt;
    if (!record || record->state != BookingRecord::State::returned) {
        return;
    }
    if (!record->account.isEmpty() && record->project) {
        NotificationCenter::defaultCenter().post(QString(NotificationName::bookReturnedTime), id);
        return;
    }
    // Time of no account (or whose task did not read) goes on the task the window shows
    // selected.
    auto taken = std::make_shared<bool>(false);
    NotificationCenter::defaultCenter().post(QString(NotificationName::bookOnSelectedTask),
                                             SelectedTaskWanted{id, taken});
    if (!*taken) {
        auto* box = new QMessageBox(QMessageBox::Information, tr("Select a task first"),
                                    tr("Select the task to book the time on in a project's task list, then "
                                       "choose %1 again.")
                                        .arg(BookingTexts::bookOnSelectedButton),
                                    QMessageBox::Ok, window());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        ReadableAlert::prepare(*box);
        box->open();
    }
}

QStringList BookingStatusView::buttonsFor(const BookingRecord& record) const {
    switch (record.state) {
    case BookingRecord::State::unknown:
        if (record.lookUp == BookingRecord::LookUp::nothingListed && !m_waiting.contains(record.id)) {
            return {BookingTexts::waitButton, BookingTexts::bookAgainButton};
        }
        if (record.lookUp == BookingRecord::LookUp::failed && !m_asking.contains(record.id)) {
            return {BookingTexts::askNowButton};
        }
        return {};
    case BookingRecord::State::asked:
        return {BookingRecoveryAlert::keepButton, BookingRecoveryAlert::savedButton};
    case BookingRecord::State::returned:
        if (record.account.isEmpty() || !record.project) {
            return {BookingTexts::discardButton, BookingTexts::bookOnSelectedButton};
        }
        return {BookingTexts::discardButton, BookingTexts::bookItButton};
    case BookingRecord::State::saved:
    case BookingRecord::State::notSaved:
        return {BookingTexts::okButton};
    case BookingRecord::State::leaving:
    case BookingRecord::State::discarded:
        break;
    }
    return {};
}

void BookingStatusView::act(const QUuid& id, const QString& text) {
    if (!m_records) {
        return;
    }
    if (text == BookingTexts::waitButton) {
        m_waiting.insert(id);
        rebuild();
    } else if (text == BookingTexts::bookAgainButton) {
        bookAgain(id);
    } else if (text == BookingTexts::askNowButton) {
        if (m_recovery) {
            m_recovery->lookUpNow(id);
        }
    } else if (text == BookingRecoveryAlert::keepButton) {
        m_records->keepTime(id);
    } else if (text == BookingRecoveryAlert::savedButton) {
        m_records->confirmSaved(id);
    } else if (text == BookingTexts::discardButton) {
        m_records->discard(id);
    } else if (text == BookingTexts::bookItButton || text == BookingTexts::bookOnSelectedButton) {
        bookReturned(id);
    } else if (text == BookingTexts::okButton) {
        m_records->dismiss(id);
    }
}

BookingStatusView::Row BookingStatusView::makeRow() {
    Row made;
    made.frame = new QFrame(this);
    made.frame->setObjectName(QStringLiteral("BookingStatusRow"));
    made.frame->setFrameShape(QFrame::StyledPanel);
    made.frame->setAutoFillBackground(true);
    QPalette colors = made.frame->palette();
    colors.setColor(QPalette::Window, colors.color(QPalette::AlternateBase));
    made.frame->setPalette(colors);
    auto* layout = new QHBoxLayout(made.frame);
    layout->setContentsMargins(12, 8, 12, 8);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    made.headline = plainLabel(QString(), made.frame);
    made.headline->setObjectName(QStringLiteral("BookingStatusHeadline"));
    QFont bold = made.headline->font();
    bold.setBold(true);
    made.headline->setFont(bold);
    texts->addWidget(made.headline);
    made.detail = plainLabel(QString(), made.frame);
    made.detail->setObjectName(QStringLiteral("BookingStatusDetail"));
    texts->addWidget(made.detail);
    made.warning = plainLabel(QString(), made.frame);
    made.warning->setObjectName(QStringLiteral("BookingStatusWarning"));
    texts->addWidget(made.warning);
    layout->addLayout(texts, 1);
    made.buttons = new QHBoxLayout;
    made.buttons->setSpacing(6);
    layout->addLayout(made.buttons);
    return made;
}

namespace {

void setShown(QLabel* label, const QString& text) {
    if (label->text() != text) {
        label->setText(text);
    }
    label->setVisible(!text.isEmpty());
}

} // namespace

void BookingStatusView::fill(Row& row, const BookingRecord& record, const BookingTexts::Line& said) {
    setShown(row.headline, said.headline);
    setShown(row.detail, said.detail);
    const QStringList wanted = buttonsFor(record);
    const bool warns = wanted.contains(BookingTexts::bookAgainButton);
    setShown(row.warning, warns ? BookingTexts::twiceWarning(record, *m_records) : QString());
    if (wanted == row.buttonTexts) {
        return;
    }
    // The buttons change: one that keeps its text keeps the focus.
    QString focused;
    QList<QPushButton*> old;
    for (int i = 0; i < row.buttons->count(); ++i) {
        if (auto* button = qobject_cast<QPushButton*>(row.buttons->itemAt(i)->widget())) {
            old.push_back(button);
            if (button->hasFocus()) {
                focused = button->text();
            }
        }
    }
    QPushButton* refocus = nullptr;
    for (const QString& text : wanted) {
        QPushButton* button = nullptr;
        for (QPushButton* existing : old) {
            if (existing->text() == text) {
                button = existing;
                old.removeOne(existing);
                row.buttons->removeWidget(existing);
                break;
            }
        }
        if (!button) {
            button = new QPushButton(text, row.frame);
            button->setAutoDefault(false);
            const QUuid id = record.id;
            QPointer<BookingStatusView> self(this);
            connect(button, &QPushButton::clicked, this, [self, id, text] {
                if (self) {
                    self->act(id, text);
                }
            });
        }
        row.buttons->addWidget(button);
        button->show();
        if (text == focused) {
            refocus = button;
        }
    }
    for (QPushButton* gone : old) {
        // Out of the row at once (it may be the button whose click brought this about).
        gone->hide();
        gone->setParent(nullptr);
        gone->deleteLater();
    }
    row.buttonTexts = wanted;
    if (!focused.isEmpty() && !refocus && !row.buttonTexts.isEmpty()) {
        // The focused choice went: the row's first choice takes the focus, not the window's top.
        refocus = qobject_cast<QPushButton*>(row.buttons->itemAt(0)->widget());
    }
    if (refocus && !refocus->hasFocus()) {
        refocus->setFocus(Qt::OtherFocusReason);
    }
}

void BookingStatusView::rebuild() {
    if (!m_records) {
        for (const Row& gone : std::as_const(m_rows)) {
            gone.frame->deleteLater();
        }
        m_rows.clear();
        hide();
        return;
    }
    // The focus a choice of the strip had stays in the strip when that choice goes.
    const bool focusInStrip = isAncestorOf(window()->focusWidget());
    QList<QUuid> shown;
    for (const BookingRecord& record : m_records->records(m_account)) {
        const BookingTexts::Line said = BookingTexts::line(
            record, *m_records, {m_waiting.contains(record.id), m_asking.contains(record.id)});
        if (said.isEmpty()) {
            continue;
        }
        auto found = m_rows.find(record.id);
        if (found == m_rows.end()) {
            found = m_rows.insert(record.id, makeRow());
        }
        fill(*found, record, said);
        // In the order the bookings left.
        if (m_layout->indexOf(found->frame) != shown.size()) {
            m_layout->insertWidget(static_cast<int>(shown.size()), found->frame);
        }
        found->frame->show();
        shown.push_back(record.id);
        // A slow answer is told in words once it is slow.
        QPointer<BookingStatusView> self(this);
        BookingTexts::whenSlow(record, *m_records, this, [self] {
            if (self) {
                self->rebuild();
            }
        });
    }
    // Rows of records that went (or say nothing now) go; the focus a choice of the strip had
    // goes to a choice that stays, else to the strip itself, never to the top of the window.
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (shown.contains(it.key())) {
            ++it;
            continue;
        }
        it->frame->hide();
        m_layout->removeWidget(it->frame);
        it->frame->setParent(nullptr);
        it->frame->deleteLater();
        it = m_rows.erase(it);
    }
    if (QWidget* focused = window()->focusWidget(); focusInStrip && (!focused || !isAncestorOf(focused))) {
        QWidget* heir = this;
        for (const QUuid& id : shown) {
            const Row& kept = m_rows[id];
            if (!kept.buttonTexts.isEmpty()) {
                heir = kept.buttons->itemAt(0)->widget();
                break;
            }
        }
        heir->setFocus(Qt::OtherFocusReason);
    }
    setVisible(!m_rows.isEmpty());
}

} // namespace velmora
