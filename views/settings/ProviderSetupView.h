#pragma once

#include "views/settings/ProviderSetupViewModel.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <utility>

class QCheckBox;
class QComboBox;
class QLineEdit;

class QPushButton;
class QVBoxLayout;

namespace velmora {

class ActivityIndicator;
class UnopenedAddressView;

// The form that every tracker's setup view is: "Base information" with the name,
// "Account credentials" with the tracker's fields (behind "Change credentials" when
// the account exists), and the footer with "Delete account" (when the host can
// delete), "Cancel" (when the host can cancel), the progress indicator and the main
// button ("Authorize" or "OK"). Alerts show the model's failures one at a time; closing
// one clears the flag that raised it.
//
// The view takes its model (it becomes the view's child).
class ProviderSetupView : public QWidget {
    Q_OBJECT
public:
    using Action = std::function<void()>;

    ~ProviderSetupView() override;

    ProviderSetupViewModel& viewModel() const { return *m_viewModel; }

    QLineEdit* nameField() const { return m_name; }
    QCheckBox* changeCredentialsToggle() const { return m_changeCredentials; }
    QPushButton* mainButton() const { return m_mainButton; }
    QPushButton* deleteButton() const { return m_deleteButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    ActivityIndicator* progressIndicator() const { return m_progress; }
    // The alert on screen, if any.
    QMessageBox* alert() const { return m_alert; }
    // What the delete confirmation adds to its question, asked as it opens (what the
    // account holds that goes with it); empty adds nothing.
    void setDeleteNote(std::function<QString()> note) { m_deleteNote = std::move(note); }
    // Time the account's bookings still hold (said as it opens; empty: none). While there
    // is some, the confirmation offers to wait (the account stays), or to delete it keeping
    // that time to book on another account's task, or discarding it: `onDelete` hears which.
    void setHeldTime(std::function<QString()> note, std::function<void(bool keepTime)> onDelete) {
        m_heldNote = std::move(note);
        m_onDeleteHeld = std::move(onDelete);
    }
    // The time "Delete, Discard the Time" names as it asks whether to let it go ("30m on KEY-8").
    void setHeldNames(std::function<QString()> names) { m_heldNames = std::move(names); }
    static inline const QString waitButton = QStringLiteral("Wait");
    static inline const QString keepTimeButton = QStringLiteral("Delete, Keep the Time");
    static inline const QString discardTimeButton = QStringLiteral("Delete, Discard the Time");
    // The sign-in address no browser could be opened at, with Copy; hidden otherwise.
    QWidget* unopenedAddressBox() const;
    QLineEdit* unopenedAddressField() const;
    QPushButton* copyAddressButton() const;
    // The delete confirmation on screen, if any.
    QMessageBox* deleteConfirmationDialog() const { return m_deleteDialog; }
    bool deleteConfirmation() const { return m_deleteDialog != nullptr; }
    // The question "Delete, Discard the Time" asks, while it is open.
    QMessageBox* discardQuestionDialog() const { return m_discardQuestion; }

protected:
    struct Alert {
        QString title;
        QString message;
        std::function<void()> close;
    };

    ProviderSetupView(ProviderSetupViewModel* viewModel, Action onDelete, Action onCancel, QWidget* parent);

    void keyPressEvent(QKeyEvent* event) override;

    // Builds the view; subclasses call it at the end of their constructor.
    void build();
    // Adds the tracker's credential rows to `layout` (shown only while the credentials
    // are being changed).
    virtual void buildCredentials(QVBoxLayout* layout) = 0;
    // The alert that should be on screen now; the base shows a failed store.
    virtual std::optional<Alert> pendingAlert();
    // Shows the next pending alert unless one is on screen.
    void refreshAlert();

    // A label over its field with the field's message under the label.
    static QWidget* labelled(const QString& text, const ValidationContainer& validation,
                             const QString& footnote = QString());
    static QString authorizationFailedTitle() { return QStringLiteral("Authorization failed."); }
    static QString checkCredentialsMessage() {
        return QStringLiteral("Check whether the provided credentials are correct and try again.");
    }

public:
    // The title and message that tell why credentials could not be checked: only a
    // refusal of the credentials (or a failure nothing more is known of) blames them.
    // `addressIsTyped`: the user typed the address, so it may be what is wrong.
    static std::pair<QString, QString> checkFailure(const std::optional<APIError>& failure,
                                                    bool addressIsTyped);

protected:
private:
    void rebuildMainButton();
    void updateCredentialsVisibility();
    void askToDelete();
    void askToDiscard();
    void showUnopenedAddress();

    ProviderSetupViewModel* m_viewModel;
    Action m_onDelete;
    std::function<QString()> m_deleteNote;
    std::function<QString()> m_heldNote;
    std::function<QString()> m_heldNames;
    std::function<void(bool keepTime)> m_onDeleteHeld;
    Action m_onCancel;
    QLineEdit* m_name = nullptr;
    QCheckBox* m_changeCredentials = nullptr;
    QWidget* m_credentials = nullptr;
    QWidget* m_footer = nullptr;
    QPushButton* m_mainButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    ActivityIndicator* m_progress = nullptr;
    UnopenedAddressView* m_unopenedBox = nullptr;
    QPointer<QMessageBox> m_alert;
    QPointer<QMessageBox> m_deleteDialog;
    QPointer<QMessageBox> m_discardQuestion;
};

} // namespace velmora
