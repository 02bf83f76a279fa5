#pragma once

#include "core/model/AnyProvider.h"

#include <QStringList>
#include <QWidget>

namespace velmora {

class BookingRecords;
class ProviderSetupView;
class SettingsViewModel;
class SnapshotManager;

// The account editor the accounts page pushes: the tracker's setup form for the
// stored account. Saving, and deleting after the confirmation, return the settings
// window to the accounts list. The confirmation names the time the account's timer
// holds and no booking took, which goes with the account, and the time its bookings
// still hold: that is never lost with the account unasked (the user waits, keeps it to
// book on another account's task, or discards it).
class EditAccountView : public QWidget {
    Q_OBJECT
public:
    // The timers are read from `snapshots` (null: the app's).
    EditAccountView(SettingsViewModel& settingsModel, const AnyProvider& provider, QWidget* parent = nullptr,
                    SnapshotManager* snapshots = nullptr, BookingRecords* bookings = nullptr);

    // "The timer of this account holds 1h 20m 30s not booked." (seconds too: all of it
    // goes with the account), or empty when it holds less than a second.
    QString unbookedTimeNote() const;
    // "Velmora still holds 30m on WEB-1 sent at 10:42, whose booking may have reached Jira…",
    // or empty when the account's bookings hold nothing.
    QString heldTimeNote() const;
    // What its bookings hold, one entry a booking ("30m on WEB-1").
    QStringList heldNames() const;
    // Everything "Delete, Discard the Time" lets go: the timer's time, then the bookings'.
    QStringList discardedNames() const;

    const AnyProvider& provider() const { return m_provider; }
    ProviderSetupView* setupView() const { return m_setup; }

private:
    void deleteAccount();
    // Deletes it once what its bookings hold is kept or discarded, on disk.
    void deleteAccountHolding(bool keepTime);

    SettingsViewModel& m_settingsModel;
    AnyProvider m_provider;
    ProviderSetupView* m_setup;
    SnapshotManager* m_snapshots;
    BookingRecords* m_bookings;
};

} // namespace velmora
