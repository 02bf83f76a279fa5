#include "views/settings/EditAccountView.h"

#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "core/time/ReadableTimeFormatter.h"
#include "platform/richtext/OutsideName.h"
#include "state/BookingRecords.h"
#include "state/TimerSnapshot.h"
#include "views/main/BookingTexts.h"
#include "views/settings/ProviderSetupView.h"
#include "views/settings/ProviderSetupViews.h"
#include "views/settings/SettingsViewModel.h"

#include <QDateTime>
#include <QPointer>
#include <QVBoxLayout>

namespace velmora {

EditAccountView::EditAccountView(SettingsViewModel& settingsModel, const AnyProvider& provider,
                                 QWidget* parent, SnapshotManager* snapshots, BookingRecords* bookings)
    : QWidget(parent), m_settingsModel(settingsModel), m_provider(provider), m_snapshots(snapshots),
      m_bookings(bookings) {
    setObjectName(QStringLiteral("EditAccountView"));
    QPointer<SettingsViewModel> model(&settingsModel);
    QPointer<EditAccountView> self(this);
    m_setup = ProviderSetupViews::edit(
        provider,
        [model] {
            if (model) {
                model->setRoute(SettingsPage::Name::accounts);
            }
        },
        [self] {
            if (self) {
                self->deleteAccount();
            }
        });
    m_setup->setDeleteNote([self] { return self ? self->unbookedTimeNote() : QString(); });
    m_setup->setHeldTime([self] { return self ? self->heldTimeNote() : QString(); },
                         [self](bool keepTime) {
                             if (self) {
                                 self->deleteAccountHolding(keepTime);
                             }
                         });
    m_setup->setHeldNames(
        [self] { return self ? self->discardedNames().join(QStringLiteral("; ")) : QString(); });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_setup);
}

QString EditAccountView::unbookedTimeNote() const {
    const auto& id = providerId(m_provider);
    if (!id) {
        return {};
    }
    SnapshotManager& snapshots = m_snapshots ? *m_snapshots : SnapshotManager::shared();
    // As the account's window last wrote it: a running timer counts on to now.
    const auto timer = snapshots.value<TimerSnapshot>(uuidText(*id));
    const double seconds = timer ? timer->elapsed(QDateTime::currentDateTime()) : 0;
    if (seconds < 1) {
        return {};
    }
    return tr("The timer of this account holds %1 not booked.")
        .arg(ReadableTimeFormatter::format(seconds, ReadableTimeFormatter::Smallest::seconds)
                 .value_or(QString()));
}

QStringList EditAccountView::heldNames() const {
    const auto& id = providerId(m_provider);
    QStringList held;
    if (id && m_bookings) {
        for (const BookingRecord& record : m_bookings->held(uuidText(*id))) {
            held << BookingTexts::named(record, *m_bookings);
        }
    }
    return held;
}

QStringList EditAccountView::discardedNames() const {
    QStringList named;
    const auto& id = providerId(m_provider);
    SnapshotManager& snapshots = m_snapshots ? *m_snapshots : SnapshotManager::shared();
    const auto timer = id ? snapshots.value<TimerSnapshot>(uuidText(*id)) : std::nullopt;
    const double seconds = timer ? timer->elapsed(QDateTime::currentDateTime()) : 0;
    // The timer's time goes with the account too: a question that named only the bookings'
    // let an hour go unsaid.
    if (seconds >= 1) {
        const QString time = ReadableTimeFormatter::format(seconds).value_or(QString());
        named << (timer->task ? tr("%1 on the timer of %2")
                                    .arg(time, quotedName(timer->task->reference.value_or(timer->task->name)))
                              : tr("%1 on the timer").arg(time));
    }
    return named + heldNames();
}

QString EditAccountView::heldTimeNote() const {
    const QStringList held = heldNames();
    if (held.isEmpty()) {
        return {};
    }
    return tr("Its bookings still hold %1: Velmora may not know yet whether they reached the tracker, or "
              "they "
              "wait to be booked. Wait and delete the account later, or delete it now and keep that time to "
              "book on a task of another account (the main window shows it), or discard it.")
        .arg(held.join(QStringLiteral("; ")));
}

void EditAccountView::deleteAccountHolding(bool keepTime) {
    const auto& id = providerId(m_provider);
    if (!id || !m_bookings) {
        deleteAccount();
        return;
    }
    QPointer<EditAccountView> self(this);
    m_bookings->accountGoing(uuidText(*id), keepTime, [self](const std::optional<QString>& failure) {
        // What the bookings held is on disk as the user chose before the account goes; a
        // write that failed keeps the account (the failure is told).
        if (self && !failure) {
            self->deleteAccount();
        }
    });
}

void EditAccountView::deleteAccount() {
    const auto& id = providerId(m_provider);
    if (!id) {
        return;
    }
    // A failure is logged by the account store; the list then still shows the account.
    (void)ProviderManager::shared().deleteProvider(*id);
    m_settingsModel.setRoute(SettingsPage::Name::accounts);
}

} // namespace velmora
