#pragma once

#include "core/time/AbstractWorkLogForm.h"
#include "platform/async/Cancellable.h"
#include "state/TimerViewModel.h"

#include <QDialog>
#include <QMessageBox>
#include <QHash>
#include <QPointer>

#include <QUuid>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

namespace velmora {

class ActivityIndicator;
class BookingRecords;
class LoadFailureView;
class ValidationMessageView;

// The sheet that books time on one task: the duration in readable form ("1h 30m"),
// the tracker's own inputs (a description, for YouTrack also a type) and Save or
// Cancel. Saving books through the form; once the tracker took the entry the sheet
// closes, posts "TimeEntrySaved" with the project and resets the window's timer.
// Only Cancel discards the timer's time, and asks first when there is a minute or
// more of it; Escape or closing the window closes the sheet and leaves the time on
// the stopped timer, to be booked later. A sheet for a booking by hand (not the
// timer's time) never touches the timer.
//
// The sheet names the task it books under its title. Save books exactly what the
// duration field shows: text that does not read as a duration disables Save and says
// why; Return in the field saves once Save can. What the tracker's inputs could not
// load (the YouTrack types) is said above them, with "Try Again"; the sheet books
// without them meanwhile. The width is fixed and the height follows the content, up to the
// screen's: what is above the buttons then scrolls.
//
// Every booking leaves with its record (BookingRecords), which takes its seconds off the
// timer in the same write; nothing is sent when the record cannot be written, and the
// sheet says why. From then on the sheet follows the record, and shows nothing of the
// outcome that the record does not say: saved, it closes; refused, it keeps what was
// typed (the time is back on the timer) and says why; unknown, asked or still on its
// way (in words after a few seconds), it says so, and Save and Return do nothing until
// the record lets the time go. A sheet for seconds that were returned to the user books
// them in place of their record.
//
// Closing the sheet calls off a booking still waiting for the read of what was there;
// one that already left ends through its record, whatever became of the sheet. The
// sheet never owns the form; its presenter keeps the form alive until any booking in
// flight has ended.
class BookTimeView : public QDialog {
    Q_OBJECT

public:
    static constexpr int sheetWidth = 350;
    static inline const QString errorTitle = QStringLiteral("Unknown error occurred.");
    static inline const QString errorMessage =
        QStringLiteral("Check whether the provided information is correct and try again.");
    // When the failure was not the input's: the server's, the network's or the account's.
    static inline const QString notSavedTitle = QStringLiteral("The work log wasn't saved.");
    // Nothing was sent because the booking's record could not be kept.
    static inline const QString notSentTitle = QStringLiteral("The work log wasn't sent.");
    // "Velmora couldn't save its note of this booking: <reason>. Nothing was sent."
    static QString recordFailureMessage(const QString& reason);

    // Whose time the sheet books: the timer's (it was stopped to book it) or time
    // entered by hand.
    enum class Source { timer, manual };

    static inline const QString durationTextMessage =
        QStringLiteral("Enter the duration as weeks, days, hours and minutes, such as 1h 30m.");

    BookTimeView(AbstractWorkLogForm& form, TimerViewModel& timer, QWidget* parent = nullptr);
    BookTimeView(AbstractWorkLogForm& form, TimerViewModel& timer, Source source, QWidget* parent = nullptr);
    ~BookTimeView() override;

    AbstractWorkLogForm* form() const { return m_form; }
    // The record of the booking this sheet sent last; none before its first Save.
    const std::optional<QUuid>& bookingRecord() const { return m_record; }
    // Books the seconds of a record that were returned to the user, in its place.
    void setReplacing(const QUuid& returned) { m_replacing = returned; }
    // Whether an open sheet follows the record (it says what becomes of it there).
    static bool isFollowing(const QUuid& record);
    // Which task starts once this time is booked, for a stop the start of another task
    // asked for (and that it will not, when only part of the time is booked); hidden
    // otherwise.
    QLabel* pendingStartLabel() const { return m_pendingStartLabel; }
    // What became of the booking sent, in words, while the sheet has to say it (hidden
    // otherwise).
    QLabel* stateLabel() const { return m_stateLabel; }
    QLineEdit* durationField() const { return m_durationField; }
    ValidationMessageView* durationValidationView() const { return m_durationView; }
    // Says why the duration text cannot be booked; hidden while it can.
    QLabel* durationTextError() const { return m_durationTextError; }
    // The duration's rule ("at least one minute") while the form's duration breaks it;
    // hidden otherwise, and while the text error speaks.
    QLabel* durationRuleMessage() const { return m_durationRuleMessage; }
    QWidget* additionalFields() const { return m_additionalFields; }
    // The task booked: "WEB-1 Fix login", on one line.
    QLabel* taskLabel() const { return m_taskLabel; }
    // Says what the tracker's inputs could not load, with "Try Again"; hidden while
    // nothing failed.
    LoadFailureView* loadFailureBanner() const { return m_loadFailure; }
    QPushButton* saveButton() const { return m_save; }
    QPushButton* cancelButton() const { return m_cancel; }
    ActivityIndicator* progressIndicator() const { return m_progress; }
    // The failure alert while it is shown.
    QMessageBox* alert() const { return m_alert; }
    // The question Cancel asks before it discards tracked time, while it is shown.
    QMessageBox* discardQuestion() const { return m_discardQuestion; }
    // "Discard 2h 30m tracked on WEB-1?"
    static QString discardQuestionText(double seconds, const Issue& task);
    // True once the sheet was closed by a save, Cancel or from outside.
    bool isDismissed() const { return m_dismissed; }

    // The Save button's action.
    void save();
    // The Cancel button's action: discards the timer's time, after asking when it is
    // a minute or more.
    void cancel();

    // Escape and the window's close button: close, keeping the timer's time.
    void reject() override;
    // Every way of closing ends here (and emits `dismissed` once).
    void done(int result) override;

    // "WEB-1 Fix login": the task's reference and name as plain text on one line.
    static QString bookedTaskName(const Issue& task);

signals:
    // The sheet was closed (by a save, Cancel or from outside); emitted once.
    void dismissed();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showLoadFailure();
    void fitHeight();
    void takeDurationText();
    void durationTextEdited(const QString& text);
    void discard();
    void showDuration();
    void updateSaveButton();
    void updateDurationMessages();
    void showAlert();
    // A warning with `text` as plain text, in the failure alert's place.
    void showNotice(const QString& title, const QString& text);
    // Follows the record of the booking sent.
    void followRecord(const QUuid& id);
    // Whether the booking sent holds its seconds on the tracker's side (on its way,
    // unknown, asked): nothing more is booked from the sheet meanwhile.
    bool bookingHeld() const;
    void showState();
    // The booking's record could not be made (`failure`): nothing left, and the sheet books
    // returned time (`replacing`) only as its record holds it now.
    void notDeparted(const std::optional<QUuid>& replacing, const std::optional<QUuid>& before,
                     const QString& failure);
    void showPendingStart();
    // Scrolls the body to what the sheet answers (the booking's state, what starts next) as
    // it appears or changes: below the fields, it would otherwise be out of view on a short
    // screen. A scroll or a focus change by the user ends that until the next answer.
    void revealAnswer();
    void dismiss(int result);

    QPointer<AbstractWorkLogForm> m_form;
    QPointer<TimerViewModel> m_timer;
    QPointer<BookingRecords> m_records;
    Source m_source = Source::timer;
    std::optional<QUuid> m_record;
    std::optional<QUuid> m_replacing;
    QLabel* m_stateLabel = nullptr;
    QLabel* m_pendingStartLabel = nullptr;
    QLineEdit* m_durationField = nullptr;
    QLabel* m_durationTextError = nullptr;
    QLabel* m_durationRuleMessage = nullptr;
    Validation m_durationRule = Validation::success();
    Cancellable m_durationRulePublisher;
    Cancellable m_durationRuleSubject;
    bool m_durationTextInvalid = false;
    bool m_takingText = false;
    QPointer<QMessageBox> m_discardQuestion;
    ValidationMessageView* m_durationView = nullptr;
    QWidget* m_additionalFields = nullptr;
    QLabel* m_taskLabel = nullptr;
    LoadFailureView* m_loadFailure = nullptr;
    // A fit waits for the window to show.
    bool m_fitOnExpose = false;
    bool m_shownOnce = false;
    // Everything above the buttons.
    QScrollArea* m_body = nullptr;
    QPointer<QLabel> m_reveal;
    QHash<QLabel*, QString> m_answered;
    QPushButton* m_save = nullptr;
    QPushButton* m_cancel = nullptr;
    ActivityIndicator* m_progress = nullptr;
    QPointer<QMessageBox> m_alert;
    bool m_allValid = false;
    bool m_dismissed = false;
    // Set while the sheet closes because its time was booked or discarded.
    bool m_settling = false;
    // The returned time it was to book was booked or discarded elsewhere: nothing is left.
    bool m_gone = false;
    Cancellable m_allValidSubscription;
    Cancellable m_durationSubscription;
};

} // namespace velmora
