#pragma once

#include "core/time/AbstractWorkLogForm.h"
#include "platform/async/Cancellable.h"
#include "state/TimerViewModel.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace velmora {

class ActivityIndicator;
class ValidationMessageView;

// The sheet that books time on one task: the duration in readable form ("1h 30m"),
// the tracker's own inputs (a description, for YouTrack also a type) and Save or
// Cancel. Saving books through the form; once the tracker took the entry the sheet
// posts "TimeEntrySaved" with the project, closes and resets the window's timer.
// Cancel closes it and resets the timer without booking anything.
//
// A failed booking shows an alert and keeps the sheet as it is, so nothing typed is
// lost. While a booking is on its way Save is disabled, and a booking that ends after
// the sheet was closed only announces itself: the timer may run for something new by
// then. The sheet never owns the form; its presenter keeps the form alive until any
// booking in flight has ended.
class BookTimeView : public QDialog {
    Q_OBJECT

public:
    static constexpr int sheetWidth = 350;
    static inline const QString errorTitle = QStringLiteral("Unknown error occurred.");
    static inline const QString errorMessage =
        QStringLiteral("Check whether the provided information is correct and try again.");
    // When the failure was not the input's: the server's, the network's or the account's.
    static inline const QString notSavedTitle = QStringLiteral("The work log wasn't saved.");

    BookTimeView(AbstractWorkLogForm& form, TimerViewModel& timer, QWidget* parent = nullptr);
    ~BookTimeView() override;

    AbstractWorkLogForm* form() const { return m_form; }
    QLineEdit* durationField() const { return m_durationField; }
    ValidationMessageView* durationValidationView() const { return m_durationView; }
    QWidget* additionalFields() const { return m_additionalFields; }
    QPushButton* saveButton() const { return m_save; }
    QPushButton* cancelButton() const { return m_cancel; }
    ActivityIndicator* progressIndicator() const { return m_progress; }
    // The failure alert while it is shown.
    QMessageBox* alert() const { return m_alert; }
    // True once the sheet was closed by a save, Cancel or from outside.
    bool isDismissed() const { return m_dismissed; }

    // The Save button's action.
    void save();
    // The Cancel button's action.
    void cancel();

    // Escape and the window's close button mean Cancel.
    void reject() override;
    // Every way of closing ends here (and emits `dismissed` once).
    void done(int result) override;

signals:
    // The sheet was closed (by a save, Cancel or from outside); emitted once.
    void dismissed();

private:
    void takeDurationText();
    void showDuration();
    void updateSaveButton();
    void showAlert();
    void dismiss(int result);

    QPointer<AbstractWorkLogForm> m_form;
    QPointer<TimerViewModel> m_timer;
    QLineEdit* m_durationField = nullptr;
    ValidationMessageView* m_durationView = nullptr;
    QWidget* m_additionalFields = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_cancel = nullptr;
    ActivityIndicator* m_progress = nullptr;
    QPointer<QMessageBox> m_alert;
    bool m_allValid = false;
    bool m_dismissed = false;
    Cancellable m_allValidSubscription;
    Cancellable m_durationSubscription;
};

} // namespace velmora
