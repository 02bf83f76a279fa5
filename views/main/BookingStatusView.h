#pragma once

#include "views/main/BookingTexts.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QWidget>

#include <optional>
#include <utility>

class QFrame;
class QHBoxLayout;
class QLabel;
class QMessageBox;
class QPushButton;
class QVBoxLayout;

namespace velmora {

class BookingRecords;
class BookingRecovery;
struct BookingRecord;

// The main window's word on the account's bookings whose outcome the user should know
// or decide: one row per record, in the words of BookingTexts, with what the user may
// do. A booking on hold says which task and time, that the tracker is being asked, and
// until when; once the tracker answered that it does not list it yet, the user may book
// it again at once (told plainly that it may then be there twice) or wait; a look-up
// that failed can be asked again; a question about an entry is answered here; what a
// look-up found, or an end without a save, is said until the user has read it; seconds
// that had nowhere to go are booked or discarded here (time of no account on the task
// selected in the window).
//
// Rows stay while their records do: a change rewrites a row's words and buttons in
// place, so a button that keeps its meaning keeps the keyboard focus. Changes are taken
// in once per turn of the event loop, and only the words they touch are written again; the
// first ten rows are shown, the rest counted with Show More: a start with many held
// bookings costs what their words cost once, and lays out a few rows.
//
// No key throws time away: a row is a stop of its own for the keyboard (its focus ring
// drawn), and where a choice with the focus goes, the focus goes to the row's safest
// choice (Book It, Wait, Keep the Time, Ask Now, OK) or to the row, never to Discard,
// Book Again Now or It Was Saved. Discard asks first, naming the time. Tab goes through
// the rows as they are seen, each row's choices after it.
//
// It reads the records only, and changes them only by the user's choices. A question,
// or an end without a save, also pops up once as an alert (BookingRecoveryAlert) unless
// the booking sheet that sent it says it already; its answers are the row's. One alert is
// open at a time; the others follow, each as its record stands then.
class BookingStatusView : public QWidget {
    Q_OBJECT

public:
    // Rows shown at first, and each Show More shows this many more.
    static constexpr int rowsAtATime = 10;

    BookingStatusView(BookingRecords& records, BookingRecovery* recovery, const QString& account,
                      QWidget* parent = nullptr);
    ~BookingStatusView() override;

    // The row of a record, while it shows one.
    QWidget* row(const QUuid& id) const;
    // A button of that row by its text, if it shows one.
    QPushButton* button(const QUuid& id, const QString& text) const;
    // The alert of a record while it is open.
    QMessageBox* alert(const QUuid& id) const;
    // The question Discard asks before it lets a record's time go, while it is open.
    QMessageBox* discardQuestion() const;
    // "Discard 1h 30m on WEB-1?"
    static QString discardQuestionText(const BookingRecord& record, const BookingRecords& records);

    // Takes in the changes told so far now, rather than at the next turn of the event loop.
    void catchUp();

    // The height that shows the first row's headline and buttons (its words may scroll); 0
    // while no row shows.
    int leadHeight() const;

private:
    struct Row {
        QFrame* frame = nullptr;
        QLabel* headline = nullptr;
        QLabel* detail = nullptr;
        QLabel* warning = nullptr;
        QHBoxLayout* buttons = nullptr;
        QStringList buttonTexts;
    };

    // Rewrites the rows of the records changed since the last time (all of them at first).
    void rebuild();
    // Asks for a rebuild at the next turn of the event loop, with `id` among the changed.
    void touch(const QUuid& id);
    void recordChanged(const QUuid& id);
    Row makeRow(const QUuid& id);
    // Writes what `record` says into its row; whether its buttons changed.
    bool fill(Row& row, const BookingRecord& record, const BookingTexts::Line& said);
    // The record's place among those that say something: in the order the bookings left (by
    // `order` where it is given).
    int placeOf(const QUuid& id, const QHash<QUuid, int>& order) const;
    // Makes and places the rows of the first `m_rowsShown` records that say something, and
    // counts the rest.
    void showRows();
    // Tab goes from the row before (or the strip) to this row, then its buttons, then on to
    // the row after.
    void chainTabs(int place);
    // The choice of a row that takes the focus when the focused one went; the row itself when
    // it offers none that is safe.
    QWidget* safeFocus(const Row& row) const;
    // The buttons a record's row offers now.
    QStringList buttonsFor(const BookingRecord& record) const;
    // What the button `text` of the record's row does.
    void act(const QUuid& id, const QString& text);
    void bookAgain(const QUuid& id);
    void bookReturned(const QUuid& id);
    // Asks whether to let the record's time go; only a Discard there does.
    void askDiscard(const QUuid& id);
    void popUp(const BookingRecord& record);
    // Opens the alert that waited for the one before to close.
    void nextAlert();

    QPointer<BookingRecords> m_records;
    QPointer<BookingRecovery> m_recovery;
    QString m_account;
    QVBoxLayout* m_layout = nullptr;
    // The records that say something, in the order the bookings left, and what each says.
    QList<QUuid> m_said;
    QHash<QUuid, BookingTexts::Line> m_lines;
    // The look-alike group (task, minutes) each was named among.
    QHash<QUuid, std::pair<QString, qint64>> m_groups;
    // Rows, made for the first `m_rowsShown` of them (a start with a thousand bookings on hold
    // lays out a few rows, and counts the rest).
    QHash<QUuid, Row> m_rows;
    // The shown rows' records, in the order shown.
    QList<QUuid> m_shown;
    int m_rowsShown = rowsAtATime;
    // Records whose words changed since their row was last written.
    QSet<QUuid> m_refill;
    // The count of what is not shown, with Show More.
    QFrame* m_more = nullptr;
    QLabel* m_moreLabel = nullptr;
    QPushButton* m_showMore = nullptr;
    QHash<QUuid, QPointer<QMessageBox>> m_alerts;
    // Records whose alert waits for the open one to close, in turn.
    QList<QUuid> m_alertsWaiting;
    QPointer<QMessageBox> m_discardQuestion;
    // Records whose choice the user put off (Wait): until their state changes, they are
    // waited for.
    QSet<QUuid> m_waiting;
    // Records whose look-up is on its way.
    QSet<QUuid> m_asking;
    // What each record's state and ending were when last seen: only a change of them is
    // announced (a returned record that shrank, as a part of it was booked, is not new).
    QHash<QUuid, std::pair<int, int>> m_seen;
    // Records changed since the last rebuild; all of them when `m_full`.
    QSet<QUuid> m_dirty;
    bool m_full = true;
    bool m_rebuildAsked = false;
};

} // namespace velmora
