#pragma once

#include "core/model/WorkEntry.h"
#include "state/CalendarDay.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QListView;

namespace velmora {

class CalendarEntryCard;
class CalendarEntryModel;
struct CardBudget;

// One day of the calendar: a header with the weekday (highlighted for today), the day
// of the month and the day's booked total, then the day's entries as cards, or "No
// records.". An entry's context menu offers "Delete"; once the user confirms, the
// column announces "WorklogDeleted" with the entry and the calendar deletes it.
class CalendarDayView : public QWidget {
    Q_OBJECT

public:
    static constexpr int columnWidth = 170;
    static inline const QString confirmationTitle =
        QStringLiteral("Are you sure that you want to delete this?");

    // `budget`: the budget of the screen its cards are on (see CalendarEntryCard::setBudget); none
    // lays each card out when its size is asked for.
    explicit CalendarDayView(CalendarDay day, QWidget* parent = nullptr,
                             std::shared_ptr<CardBudget> budget = nullptr);

    const CalendarDay& day() const { return m_day; }

    // "MON": the weekday's name cut to three characters (the whole name when shorter),
    // upper-cased, in the default locale.
    static QString weekdayLabel(const QDate& date);
    // The readable total, "0m" under a minute.
    static QString totalText(double seconds);
    // What the delete confirmation asks: "Delete the 1h 30m work log on WEB-1?" (the
    // task's name when it has no key).
    static QString deleteQuestion(const WorkEntry& entry);

    QLabel* weekdayLabelView() const { return m_weekday; }
    QLabel* dayNumberLabel() const { return m_dayNumber; }
    QLabel* totalLabel() const { return m_total; }
    QLabel* noRecordsLabel() const { return m_noRecords; }
    QListView* entryList() const { return m_list; }
    bool isToday() const { return m_today; }

    // The entry waiting for the user's confirmation, and the dialog that asks.
    const std::optional<WorkEntry>& deleting() const { return m_deleting; }
    QMessageBox* confirmation() const { return m_confirmation; }

    // Lays out the descriptions of the cards that show within `band` (of this column's
    // coordinates) and are not laid out yet; whether there were any.
    bool layOutCardsIn(const QRect& band);

    // The rectangle (in this column's coordinates) of the card the keyboard is on, null when
    // the column's cards do not have the focus.
    QRect focusedCard() const;

    // The context menu's "Delete": asks for confirmation.
    void requestDelete(const WorkEntry& entry);
    // The dialog's "Delete": announces the deletion (once) and closes the dialog.
    void confirmDelete();
    // The dialog's "Cancel".
    void cancelDelete();

signals:
    // The keyboard came to a card, or moved to another: the strip brings it into view, as the
    // column's list never scrolls itself.
    void cardFocused();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CalendarDay m_day;
    bool m_today = false;
    QLabel* m_weekday = nullptr;
    QLabel* m_dayNumber = nullptr;
    QLabel* m_total = nullptr;
    QLabel* m_noRecords = nullptr;
    QListView* m_list = nullptr;
    CalendarEntryModel* m_model = nullptr;
    CalendarEntryCard* m_card = nullptr;
    std::optional<WorkEntry> m_deleting;
    QPointer<QMessageBox> m_confirmation;
};

} // namespace velmora
