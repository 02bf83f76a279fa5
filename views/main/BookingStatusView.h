#pragma once

#include "views/main/BookingTexts.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QWidget>

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
// selected in the window). Hidden while there is nothing to say.
//
// Rows stay while their records do: a change rewrites a row's words and buttons in
// place, so a button that keeps its meaning keeps the keyboard focus.
//
// It reads the records only, and changes them only by the user's choices. A question,
// or an end without a save, also pops up once as an alert (BookingRecoveryAlert) unless
// the booking sheet that sent it says it already; its answers are the row's.
class BookingStatusView : public QWidget {
    Q_OBJECT

public:
    BookingStatusView(BookingRecords& records, BookingRecovery* recovery, const QString& account,
                      QWidget* parent = nullptr);
    ~BookingStatusView() override;

    // The row of a record, while it shows one.
    QWidget* row(const QUuid& id) const;
    // A button of that row by its text, if it shows one.
    QPushButton* button(const QUuid& id, const QString& text) const;
    // The alert of a record while it is open.
    QMessageBox* alert(const QUuid& id) const { return m_alerts.value(id); }

private:
    struct Row {
        QFrame* frame = nullptr;
        QLabel* headline = nullptr;
        QLabel* detail = nullptr;
        QLabel* warning = nullptr;
        QHBoxLayout* buttons = nullptr;
        QStringList buttonTexts;
    };

    void rebuild();
    void recordChanged(const QUuid& id);
    Row makeRow();
    // Writes what `record` says into its row.
    void fill(Row& row, const BookingRecord& record, const BookingTexts::Line& said);
    // The buttons a record's row offers now.
    QStringList buttonsFor(const BookingRecord& record) const;
    // What the button `text` of the record's row does.
    void act(const QUuid& id, const QString& text);
    void bookAgain(const QUuid& id);
    void bookReturned(const QUuid& id);
    void popUp(const BookingRecord& record);

    QPointer<BookingRecords> m_records;
    QPointer<BookingRecovery> m_recovery;
    QString m_account;
    QVBoxLayout* m_layout = nullptr;
    QHash<QUuid, Row> m_rows;
    QHash<QUuid, QPointer<QMessageBox>> m_alerts;
    // Records whose choice the user put off (Wait): until their state changes, they are
    // waited for.
    QSet<QUuid> m_waiting;
    // Records whose look-up is on its way.
    QSet<QUuid> m_asking;
};

} // namespace velmora
