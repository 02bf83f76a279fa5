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
#include "views/main/DiscardQuestion.h"
#include "views/main/ReadableAlert.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
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

// A row: a stop of the keyboard of its own, whose focus ring shows while it has the focus
// (the style draws one only after a Tab, and a row takes the focus without one).
class BookingRowFrame : public QFrame {
public:
    explicit BookingRowFrame(QWidget* parent) : QFrame(parent) { setFocusPolicy(Qt::StrongFocus); }

protected:
    void paintEvent(QPaintEvent* event) override {
        QFrame::paintEvent(event);
        if (!hasFocus()) {
            return;
        }
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Appearance::accent(palette()), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 3, 3);
    }
    void focusInEvent(QFocusEvent* event) override {
        QFrame::focusInEvent(event);
        update();
    }
    void focusOutEvent(QFocusEvent* event) override {
        QFrame::focusOutEvent(event);
        update();
    }
};

// Choices that let time go, or may book it twice: never given the focus by the strip.
bool mayLoseTime(const QString& text) {
    return text == BookingTexts::discardButton || text == BookingTexts::bookAgainButton ||
           text == BookingRecoveryAlert::savedButton;
}

// The state and ending a record is announced by.
std::pair<int, int> announcedAs(const BookingRecord& record) {
    return {static_cast<int>(record.state), record.ending ? static_cast<int>(*record.ending) : -1};
}

std::pair<QString, qint64> lookAlikeGroup(const BookingRecord& record) {
    return {record.booking.taskId, BookingRecords::minutesOf(static_cast<double>(record.booking.seconds))};
}

void setShown(QLabel* label, const QString& text) {
    if (label->text() != text) {
        label->setText(text);
    }
    label->setVisible(!text.isEmpty());
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
    connect(&records, &BookingRecords::answerNotNoted, this, &BookingStatusView::touch);
    if (recovery) {
        connect(recovery, &BookingRecovery::lookingUp, this, [this](const QUuid& id, bool running) {
            if (running) {
                m_asking.insert(id);
            } else {
                m_asking.remove(id);
            }
            touch(id);
        });
    }
    rebuild();
    // A question left open by an earlier run is asked again now; what else the records say
    // was announced then.
    for (const BookingRecord& record : records.all()) {
        if (!BookingRecords::shownFor(record, m_account)) {
            continue;
        }
        m_seen.insert(record.id, announcedAs(record));
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
    if (m_discardQuestion) {
        m_discardQuestion->deleteLater();
    }
}

QMessageBox* BookingStatusView::alert(const QUuid& id) const {
    return m_alerts.value(id);
}

QMessageBox* BookingStatusView::discardQuestion() const {
    return m_discardQuestion;
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

void BookingStatusView::touch(const QUuid& id) {
    m_dirty.insert(id);
    if (!m_rebuildAsked) {
        m_rebuildAsked = true;
        QMetaObject::invokeMethod(this, &BookingStatusView::rebuild, Qt::QueuedConnection);
    }
}

void BookingStatusView::catchUp() {
    if (m_rebuildAsked || m_full || !m_dirty.isEmpty()) {
        rebuild();
    }
}

void BookingStatusView::recordChanged(const QUuid& id) {
    if (!m_records) {
        return;
    }
    const BookingRecord* record = m_records->peek(id);
    if (record && !BookingRecords::shownFor(*record, m_account)) {
        return;
    }
    // A choice put off is put off until the booking moves on (not at every look-up).
    if (!record || record->state != BookingRecord::State::unknown) {
        m_waiting.remove(id);
    }
    const auto before = m_seen.constFind(id);
    const bool moved = !record || before == m_seen.constEnd() || *before != announcedAs(*record);
    if (record) {
        m_seen.insert(id, announcedAs(*record));
    } else {
        m_seen.remove(id);
    }
    touch(id);
    // Its look-alikes may be told apart differently now, before and after the change.
    std::vector<std::pair<QString, qint64>> groups;
    if (const auto named = m_groups.constFind(id); named != m_groups.constEnd()) {
        groups.push_back(*named);
    }
    if (record) {
        groups.push_back(lookAlikeGroup(*record));
    }
    for (const auto& [task, minutes] : groups) {
        for (const BookingRecord* alike : m_records->lookAlikes(task, minutes)) {
            touch(alike->id);
        }
    }
    if (!moved) {
        // Only what it holds changed (a part of its time was booked): nothing new to announce.
        return;
    }
    // What an alert asked is settled or moved on: the alert goes, the row says the rest.
    m_alertsWaiting.removeAll(id);
    if (QPointer<QMessageBox> open = m_alerts.take(id)) {
        open->close();
    }
    if (record) {
        popUp(*record);
    }
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
    // One alert at a time: the others wait their turn (a start with many questions open asks
    // them one after another).
    const bool oneOpen = std::any_of(m_alerts.cbegin(), m_alerts.cend(),
                                     [](const QPointer<QMessageBox>& open) { return !open.isNull(); });
    if (oneOpen) {
        if (!m_alertsWaiting.contains(record.id)) {
            m_alertsWaiting.push_back(record.id);
        }
        return;
    }
    QPointer<BookingRecords> records = m_records;
    QPointer<BookingStatusView> self(this);
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
        box = BookingRecoveryAlert::tellEnded(
            record, *m_records, window(),
            [self, id] {
                if (self) {
                    self->bookReturned(id);
                }
            },
            [self, id] {
                // Asked first, once this alert has gone.
                if (self) {
                    QMetaObject::invokeMethod(
                        self.data(),
                        [self, id] {
                            if (self) {
                                self->askDiscard(id);
                            }
                        },
                        Qt::QueuedConnection);
                }
            });
    }
    m_alerts.insert(id, box);
    // Once it is gone, the next that waited.
    connect(box, &QObject::destroyed, this,
            [this] { QMetaObject::invokeMethod(this, &BookingStatusView::nextAlert, Qt::QueuedConnection); });
    box->open();
}

void BookingStatusView::nextAlert() {
    while (!m_alertsWaiting.isEmpty() && m_records) {
        if (std::any_of(m_alerts.cbegin(), m_alerts.cend(),
                        [](const QPointer<QMessageBox>& open) { return !open.isNull(); })) {
            return;
        }
        // As its record stands now: one settled meanwhile asks nothing.
        if (const BookingRecord* record = m_records->peek(m_alertsWaiting.takeFirst())) {
            popUp(*record);
        }
    }
}

QString BookingStatusView::discardQuestionText(const BookingRecord& record, const BookingRecords& records) {
    return tr("Discard %1?").arg(BookingTexts::named(record, records));
}

void BookingStatusView::askDiscard(const QUuid& id) {
    const auto record = m_records ? m_records->record(id) : std::nullopt;
    if (!record || record->state != BookingRecord::State::returned || m_discardQuestion) {
        return;
    }
    // Time let go is gone for good: the user says so first.
    const DiscardQuestion asked = DiscardQuestion::make(
        discardQuestionText(*record, *m_records),
        tr("Velmora then lets this time go: it books it nowhere, and no longer shows it."), window());
    m_discardQuestion = asked.box;
    QPointer<BookingRecords> records = m_records;
    connect(asked.box, &QMessageBox::finished, this, [records, asked, id] {
        if (asked.box->clickedButton() == asked.discard && records) {
            records->discard(id);
        }
    });
    asked.box->open();
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
        touch(id);
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
        askDiscard(id);
    } else if (text == BookingTexts::bookItButton || text == BookingTexts::bookOnSelectedButton) {
        bookReturned(id);
    } else if (text == BookingTexts::okButton) {
        m_records->dismiss(id);
    }
}

BookingStatusView::Row BookingStatusView::makeRow(const QUuid& id) {
    Row made;
    made.frame = new BookingRowFrame(this);
    made.frame->setObjectName(QStringLiteral("BookingStatusRow"));
    made.frame->setProperty("record", id);
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
    // Beside the headline, however many lines the words take: a strip given little room
    // shows what the row is about and what can be done.
    layout->setAlignment(made.buttons, Qt::AlignTop);
    return made;
}

int BookingStatusView::leadHeight() const {
    const auto first = m_shown.isEmpty() ? m_rows.constEnd() : m_rows.constFind(m_shown.first());
    if (first == m_rows.constEnd()) {
        return 0;
    }
    const Row& row = *first;
    int lead = row.headline->sizeHint().height();
    for (int i = 0; i < row.buttons->count(); ++i) {
        if (const QWidget* button = row.buttons->itemAt(i)->widget()) {
            lead = std::max(lead, button->sizeHint().height());
        }
    }
    const QMargins margins = row.frame->layout()->contentsMargins();
    return lead + margins.top() + margins.bottom() + 2 * row.frame->frameWidth();
}

QWidget* BookingStatusView::safeFocus(const Row& row) const {
    for (int i = 0; i < row.buttons->count(); ++i) {
        auto* button = qobject_cast<QPushButton*>(row.buttons->itemAt(i)->widget());
        if (button && !mayLoseTime(button->text())) {
            return button;
        }
    }
    return row.frame;
}

bool BookingStatusView::fill(Row& row, const BookingRecord& record, const BookingTexts::Line& said) {
    setShown(row.headline, said.headline);
    setShown(row.detail, said.detail);
    row.frame->setAccessibleName(said.headline);
    const QStringList wanted = buttonsFor(record);
    const bool warns = wanted.contains(BookingTexts::bookAgainButton);
    setShown(row.warning, warns ? BookingTexts::twiceWarning(record, *m_records) : QString());
    if (wanted == row.buttonTexts) {
        return false;
    }
    // The buttons change: one that keeps its text keeps the focus. The focus is the window's,
    // read whether or not the window is active: a rebuild while an alert or another program
    // has the keyboard must still hand it on, to be found when the window is back.
    QWidget* windowFocus = window()->focusWidget();
    QString focused;
    QList<QPushButton*> old;
    for (int i = 0; i < row.buttons->count(); ++i) {
        if (auto* button = qobject_cast<QPushButton*>(row.buttons->itemAt(i)->widget())) {
            old.push_back(button);
            if (button == windowFocus) {
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
    QWidget* heir = refocus;
    if (!focused.isEmpty() && !refocus) {
        // The focused choice went: the row's safest choice takes the focus, or the row.
        heir = safeFocus(row);
    }
    if (heir && window()->focusWidget() != heir) {
        // Where the keyboard is, its ring shows.
        window()->setAttribute(Qt::WA_KeyboardFocusChange);
        heir->setFocus(Qt::OtherFocusReason);
    }
    return true;
}

int BookingStatusView::placeOf(const QUuid& id, const QHash<QUuid, int>& order) const {
    if (!order.isEmpty()) {
        const int mine = order.value(id, INT_MAX);
        return static_cast<int>(std::lower_bound(m_said.begin(), m_said.end(), mine,
                                                 [&order](const QUuid& said, int place) {
                                                     return order.value(said, INT_MAX) < place;
                                                 }) -
                                m_said.begin());
    }
    // Most often the newest booking: after every row.
    if (!m_records->all().empty() && m_records->all().back().id == id) {
        return static_cast<int>(m_said.size());
    }
    int place = 0;
    for (const BookingRecord& record : m_records->all()) {
        if (record.id == id) {
            return place;
        }
        if (m_lines.contains(record.id)) {
            ++place;
        }
    }
    return place;
}

void BookingStatusView::chainTabs(int place) {
    const auto rowAt = [this](int at) -> const Row* {
        if (at < 0 || at >= m_shown.size()) {
            return nullptr;
        }
        const auto found = m_rows.constFind(m_shown[at]);
        return found == m_rows.constEnd() ? nullptr : &*found;
    };
    const auto lastOf = [](const Row& row) -> QWidget* {
        QWidget* last = row.frame;
        for (int i = 0; i < row.buttons->count(); ++i) {
            if (QWidget* button = row.buttons->itemAt(i)->widget()) {
                last = button;
            }
        }
        return last;
    };
    const Row* row = rowAt(place);
    if (!row) {
        return;
    }
    const Row* before = rowAt(place - 1);
    QWidget* previous = place == 0 ? static_cast<QWidget*>(this) : before ? lastOf(*before) : nullptr;
    if (previous) {
        QWidget::setTabOrder(previous, row->frame);
    }
    previous = row->frame;
    for (int i = 0; i < row->buttons->count(); ++i) {
        if (QWidget* button = row->buttons->itemAt(i)->widget()) {
            QWidget::setTabOrder(previous, button);
            previous = button;
        }
    }
    if (const Row* after = rowAt(place + 1)) {
        QWidget::setTabOrder(previous, after->frame);
    } else if (place + 1 == m_shown.size() && m_more && m_more->isVisibleTo(this)) {
        QWidget::setTabOrder(previous, m_more);
        QWidget::setTabOrder(m_more, m_showMore);
    }
}

void BookingStatusView::rebuild() {
    m_rebuildAsked = false;
    if (!m_records) {
        for (const Row& gone : std::as_const(m_rows)) {
            gone.frame->deleteLater();
        }
        m_rows.clear();
        m_shown.clear();
        m_said.clear();
        m_lines.clear();
        hide();
        return;
    }
    if (m_full) {
        m_full = false;
        for (const BookingRecord& record : m_records->all()) {
            m_dirty.insert(record.id);
        }
        for (auto it = m_lines.constBegin(); it != m_lines.constEnd(); ++it) {
            m_dirty.insert(it.key());
        }
        m_refill.unite(QSet<QUuid>(m_shown.begin(), m_shown.end()));
    }
    QWidget* focusedBefore = window()->focusWidget();
    const bool focusInStrip = focusedBefore && isAncestorOf(focusedBefore);
    // The row that held the focus, and its place, for an heir should it go.
    int focusPlace = -1;
    for (int place = 0; focusInStrip && place < m_shown.size(); ++place) {
        if (m_rows.value(m_shown[place]).frame->isAncestorOf(focusedBefore) ||
            m_rows.value(m_shown[place]).frame == focusedBefore) {
            focusPlace = place;
        }
    }
    // In the order the bookings left, so that each comes in its place.
    std::vector<QUuid> changed(m_dirty.begin(), m_dirty.end());
    m_dirty.clear();
    QHash<QUuid, int> order;
    if (changed.size() > 1) {
        int place = 0;
        for (const BookingRecord& record : m_records->all()) {
            order.insert(record.id, place++);
        }
        std::sort(changed.begin(), changed.end(), [&order](const QUuid& a, const QUuid& b) {
            return order.value(a, INT_MAX) < order.value(b, INT_MAX);
        });
    }
    for (const QUuid& id : changed) {
        const BookingRecord* record = m_records->peek(id);
        const BookingTexts::Line said =
            record && BookingRecords::shownFor(*record, m_account)
                ? BookingTexts::line(*record, *m_records, {m_waiting.contains(id), m_asking.contains(id)})
                : BookingTexts::Line{};
        if (said.isEmpty()) {
            if (m_lines.remove(id)) {
                m_said.removeOne(id);
            }
            m_groups.remove(id);
            continue;
        }
        m_groups.insert(id, lookAlikeGroup(*record));
        if (!m_lines.contains(id)) {
            m_said.insert(placeOf(id, order), id);
        }
        m_lines.insert(id, said);
        m_refill.insert(id);
        // Its words change once its answer is slow, and again once it is past the wait.
        if (record->state == BookingRecord::State::leaving) {
            QPointer<BookingStatusView> self(this);
            const auto again = [self, id] {
                if (self) {
                    self->touch(id);
                }
            };
            BookingTexts::whenSlow(*record, *m_records, this, again);
            if (const qint64 since = m_records->sinceLeft(*record); since < BookingTexts::answerWait) {
                m_records->environment().bootClock->callAfter(
                    std::chrono::milliseconds(BookingTexts::answerWait - since), this, again);
            }
        }
    }
    showRows();
    // The focus a choice of the strip had stays in the strip when that choice goes: on the
    // row at its place (or the one before), never on the top of the window.
    if (QWidget* focused = window()->focusWidget(); focusInStrip && (!focused || !isAncestorOf(focused))) {
        QWidget* heir = this;
        if (!m_shown.isEmpty()) {
            const int place = std::clamp(focusPlace, 0, static_cast<int>(m_shown.size()) - 1);
            heir = m_rows.value(m_shown[place]).frame;
        }
        window()->setAttribute(Qt::WA_KeyboardFocusChange);
        heir->setFocus(Qt::OtherFocusReason);
    }
    setVisible(!m_said.isEmpty());
}

void BookingStatusView::showRows() {
    const int count = std::min<int>(m_rowsShown, static_cast<int>(m_said.size()));
    const QList<QUuid> before = m_shown;
    m_shown = m_said.mid(0, count);
    const QSet<QUuid> wanted(m_shown.begin(), m_shown.end());
    // Rows no longer among those shown go (out of the row at once: one of their buttons may be
    // the one whose click brought this about).
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (wanted.contains(it.key())) {
            ++it;
            continue;
        }
        it->frame->hide();
        m_layout->removeWidget(it->frame);
        it->frame->setParent(nullptr);
        it->frame->deleteLater();
        it = m_rows.erase(it);
    }
    for (int place = 0; place < count; ++place) {
        const QUuid id = m_shown[place];
        const BookingRecord* record = m_records->peek(id);
        auto found = m_rows.find(id);
        const bool made = found == m_rows.end();
        if (made) {
            found = m_rows.insert(id, makeRow(id));
        }
        const bool buttonsChanged =
            (made || m_refill.contains(id)) && record && fill(*found, *record, m_lines.value(id));
        if (m_layout->indexOf(found->frame) != place) {
            m_layout->insertWidget(place, found->frame);
        }
        found->frame->show();
        if (made || buttonsChanged || before.value(place) != id) {
            chainTabs(place);
        }
    }
    m_refill.clear();
    // What is not shown is counted, with a way to see more.
    const int hidden = static_cast<int>(m_said.size()) - count;
    if (hidden > 0 && !m_more) {
        m_more = new BookingRowFrame(this);
        m_more->setObjectName(QStringLiteral("BookingStatusMore"));
        m_more->setFrameShape(QFrame::StyledPanel);
        auto* layout = new QHBoxLayout(m_more);
        layout->setContentsMargins(12, 6, 12, 6);
        m_moreLabel = plainLabel(QString(), m_more);
        layout->addWidget(m_moreLabel, 1);
        m_showMore = new QPushButton(tr("Show More"), m_more);
        m_showMore->setAutoDefault(false);
        layout->addWidget(m_showMore);
        connect(m_showMore, &QPushButton::clicked, this, [this] {
            m_rowsShown += rowsAtATime;
            m_full = true;
            touch(QUuid());
        });
    }
    if (m_more) {
        if (hidden > 0) {
            m_moreLabel->setText(
                hidden == 1 ? tr("1 more booking to know of or decide on, after these.")
                            : tr("%1 more bookings to know of or decide on, after these.").arg(hidden));
            m_more->setAccessibleName(m_moreLabel->text());
            if (m_layout->indexOf(m_more) != count) {
                m_layout->insertWidget(count, m_more);
            }
        }
        m_more->setVisible(hidden > 0);
        if (hidden > 0 && count > 0) {
            chainTabs(count - 1);
        }
    }
}

} // namespace velmora
