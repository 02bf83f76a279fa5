#include "views/main/CalendarDayView.h"

#include "core/model/NotificationNames.h"
#include "core/time/ReadableTimeFormatter.h"
#include "platform/notifications/NotificationCenter.h"
#include "views/main/Appearance.h"
#include "views/main/AssetNames.h"
#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/PlainText.h"
#include "views/main/ReadableAlert.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace velmora {

namespace {

// The cards of a day, as tall as all of them together: the strip around the columns
// scrolls, so every card of a long day can be reached, and seen to be, with the one
// scroll bar of the calendar.
class EntryList : public QListView {
public:
    using QListView::QListView;

protected:
    void updateGeometries() override {
        QListView::updateGeometries();
        const int height = std::max(0, contentsSize().height()) + 2 * frameWidth();
        if (minimumHeight() != height) {
            setMinimumHeight(height);
        }
    }
};

} // namespace

QString CalendarDayView::weekdayLabel(const QDate& date) {
    const QString name = QLocale().toString(date, QStringLiteral("dddd"));
    return name.left(3).toUpper();
}

QString CalendarDayView::totalText(double seconds) {
    return ReadableTimeFormatter::format(seconds).value_or(QStringLiteral("0m"));
}

CalendarDayView::CalendarDayView(CalendarDay day, QWidget* parent, std::shared_ptr<CardBudget> budget)
    : QWidget(parent), m_day(std::move(day)) {
    setMinimumWidth(columnWidth / 2);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 8, 0, 8);
    column->setSpacing(10);

    auto* header = new QHBoxLayout;
    m_weekday = new QLabel(weekdayLabel(m_day.date.date()), this);
    QFont bold = m_weekday->font();
    bold.setBold(true);
    m_weekday->setFont(bold);
    m_today = m_day.date.date() == QDate::currentDate();
    if (m_today) {
        // Today stands out on the accent colour.
        QColor accent = Assets::color(AssetNames::accentColor);
        if (!accent.isValid()) {
            accent = Appearance::accent(palette());
        }
        const QColor text =
            Appearance::isDark(palette()) ? Appearance::primary(palette()) : QColor(Qt::white);
        m_weekday->setStyleSheet(QStringLiteral("QLabel { background: %1; color: %2; border-radius: 3px; "
                                                "padding: 3px; }")
                                     .arg(accent.name(), text.name()));
    } else {
        m_weekday->setContentsMargins(0, 3, 0, 3);
    }
    m_dayNumber = new QLabel(QString::number(m_day.date.date().day()), this);
    // A day whose entries could not be loaded has no total to tell.
    m_total = new QLabel(m_day.unavailable ? QStringLiteral("–") : totalText(m_day.totalTimeSpent), this);
    header->addWidget(m_weekday);
    header->addWidget(m_dayNumber);
    header->addStretch(1);
    header->addWidget(m_total);
    column->addLayout(header);

    m_noRecords = new QLabel(m_day.unavailable ? tr("Entries couldn't be loaded.") : tr("No records."), this);
    m_noRecords->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_noRecords->setWordWrap(true);
    m_model = new CalendarEntryModel(this);
    m_model->setEntries(m_day.workEntries);
    m_list = new EntryList(this);
    m_list->setModel(m_model);
    m_card = new CalendarEntryCard(m_list);
    m_card->setBudget(std::move(budget));
    m_list->setItemDelegate(m_card);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setResizeMode(QListView::Adjust);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->viewport()->setAutoFillBackground(false);
    m_list->setStyleSheet(QStringLiteral("QListView { background: transparent; }"));
    column->addWidget(m_noRecords);
    column->addWidget(m_list, 1);
    const bool empty = m_day.workEntries.empty();
    m_noRecords->setVisible(empty);
    m_list->setVisible(!empty);
    if (empty) {
        column->addStretch(1);
    }

    m_list->installEventFilter(this);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
        if (m_list->hasFocus()) {
            emit cardFocused();
        }
    });
    connect(m_list, &QListView::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = m_list->indexAt(at);
        if (!index.isValid()) {
            return;
        }
        const WorkEntry entry = m_model->entry(index.row());
        QMenu menu(this);
        menu.addAction(tr("Delete"), this, [this, entry] { requestDelete(entry); });
        menu.exec(m_list->viewport()->mapToGlobal(at));
    });
}

bool CalendarDayView::layOutCardsIn(const QRect& band) {
    if (m_day.workEntries.empty()) {
        return false;
    }
    // Where the cards stand now (a layout of the list that waits is done first), the ones not laid
    // out yet as tall as their text would be.
    const QRect shown = band.translated(-m_list->geometry().topLeft());
    bool any = false;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QModelIndex index = m_model->index(row);
        const QRect card = m_list->visualRect(index);
        if (card.top() > shown.bottom()) {
            break;
        }
        if (card.intersects(shown) && m_card->waits(index)) {
            m_card->want(index);
            any = true;
        }
    }
    if (any) {
        // Asked for their sizes again, the cards shown lay out their descriptions.
        m_list->doItemsLayout();
    }
    return any;
}

QRect CalendarDayView::focusedCard() const {
    const QModelIndex current = m_list->currentIndex();
    if (!m_list->hasFocus() || !current.isValid()) {
        return {};
    }
    const QRect card = m_list->visualRect(current);
    return QRect(m_list->viewport()->mapTo(this, card.topLeft()), card.size());
}

bool CalendarDayView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list && event->type() == QEvent::FocusIn) {
        // After the list has set its current card, which it does on the focus coming in.
        QMetaObject::invokeMethod(this, &CalendarDayView::cardFocused, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

QString CalendarDayView::deleteQuestion(const WorkEntry& entry) {
    const QString task = entry.issue.reference && !entry.issue.reference->isEmpty() ? *entry.issue.reference
                                                                                    : entry.issue.name;
    return tr("Delete the %1 work log on %2?").arg(plainName(entry.spentTime), quotedName(task));
}

void CalendarDayView::requestDelete(const WorkEntry& entry) {
    m_deleting = entry;
    if (m_confirmation) {
        return;
    }
    m_confirmation = new QMessageBox(QMessageBox::Warning, confirmationTitle, confirmationTitle,
                                     QMessageBox::NoButton, window());
    m_confirmation->setAttribute(Qt::WA_DeleteOnClose);
    m_confirmation->setWindowModality(Qt::WindowModal);
    m_confirmation->setTextFormat(Qt::PlainText);
    m_confirmation->setInformativeText(deleteQuestion(entry));
    QPushButton* remove = m_confirmation->addButton(tr("Delete"), QMessageBox::DestructiveRole);
    QPushButton* cancel = m_confirmation->addButton(tr("Cancel"), QMessageBox::RejectRole);
    m_confirmation->setDefaultButton(cancel);
    connect(remove, &QPushButton::clicked, this, &CalendarDayView::confirmDelete);
    m_confirmation->setEscapeButton(cancel);
    remove->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &CalendarDayView::cancelDelete);
    ReadableAlert::prepare(*m_confirmation);
    m_confirmation->open();
}

void CalendarDayView::confirmDelete() {
    if (!m_deleting) {
        return;
    }
    // Taken out first: however the dialog closes now, the entry is announced once.
    const WorkEntry entry = *std::exchange(m_deleting, std::nullopt);
    if (m_confirmation) {
        m_confirmation->close();
    }
    NotificationCenter::defaultCenter().post(QString(NotificationName::worklogDeleted), entry);
}

void CalendarDayView::cancelDelete() {
    m_deleting.reset();
    if (m_confirmation) {
        m_confirmation->close();
    }
}

} // namespace velmora
