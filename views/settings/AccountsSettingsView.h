#pragma once

#include "core/model/AnyProvider.h"
#include "core/model/ProviderType.h"
#include "platform/async/Cancellable.h"
#include "views/settings/AccountSelectionView.h"
#include "views/settings/CreateAccountView.h"
#include "views/settings/EditAccountView.h"

#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <optional>

class QHBoxLayout;
class QPushButton;
class QStackedWidget;

namespace velmora {

class BookingRecords;

class FetchProviders;
class ProviderStore;
class SnapshotManager;
class SettingsForm;
class SettingsSection;
class SettingsViewModel;

// The Accounts page of the settings window: the stored accounts by name, each opening
// its editor inside the page, and "Add Account", which asks for the tracker and then
// shows its setup form for a new account. The notice "AddAccount" starts the same
// while the page is on screen.
class AccountsSettingsView : public QWidget {
    Q_OBJECT
public:
    // `store`: the accounts' store (null: the app's).
    explicit AccountsSettingsView(SettingsViewModel& model, ProviderStore* store = nullptr,
                                  QWidget* parent = nullptr);
    ~AccountsSettingsView() override;

    // Where the accounts' timers are read (null, the default: the app's snapshot).
    void setSnapshots(SnapshotManager* snapshots) { m_snapshots = snapshots; }
    // The records of the bookings, whose held time an account's deletion asks about.
    void setBookings(BookingRecords* bookings) { m_bookings = bookings; }

    // The list's rows (account rows, the "No accounts" row, or the row saying the
    // accounts could not be read).
    SettingsSection* section() const { return m_section; }
    QPushButton* addAccountButton() const { return m_addAccount; }
    // The sheets and the editor on screen, if any.
    AccountSelectionView* selectionSheet() const { return m_selection; }
    CreateAccountView* setupSheet() const { return m_setup; }
    EditAccountView* editor() const { return m_editor; }
    bool addAccountSheetPresented() const { return m_selection != nullptr; }
    const std::optional<ProviderType>& selectedProvider() const { return m_selectedProvider; }

    // Pushes the editor of `provider`.
    void openEditor(const AnyProvider& provider);
    // Back to the list.
    void popEditor();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void reloadRows();
    void presentSelection();
    void presentSetup(ProviderType type);

    SettingsViewModel& m_model;
    SnapshotManager* m_snapshots = nullptr;
    BookingRecords* m_bookings = nullptr;
    FetchProviders* m_accounts;
    QStackedWidget* m_stack;
    SettingsForm* m_form;
    SettingsSection* m_section;
    QPushButton* m_addAccount;
    // The row that holds Add Account.
    QHBoxLayout* m_footer = nullptr;
    QPointer<AccountSelectionView> m_selection;
    QPointer<CreateAccountView> m_setup;
    QPointer<EditAccountView> m_editor;
    // The account the editor shows, whose row takes the keyboard back.
    std::optional<QUuid> m_openedAccount;
    std::optional<ProviderType> m_selectedProvider;
    Cancellable m_addAccountObserver;
};

} // namespace velmora
