#include "views/settings/ProviderSetupViewModel.h"

#include "views/settings/ProviderNameValidation.h"

#include "core/model/Logger.h"

#include <QDesktopServices>

namespace velmora {

ProviderSetupViewModel::ProviderSetupViewModel(ProviderType type, const QString& name, Action onSave,
                                               QObject* parent)
    : QObject(parent), m_type(type), m_manager(FormManager::ValidationType::immediate),
      m_name(ProviderNameValidation::make(name)), m_storedName(name), m_onSave(std::move(onSave)) {
    m_nameValidation = follow(*m_name);
    connect(this, &ProviderSetupViewModel::choicesChanged, this, &ProviderSetupViewModel::dropUnlistedChoice);
}

void ProviderSetupViewModel::dropUnlistedChoice() {
    // A new sign-in may grant other sites or workspaces than the last one: a choice
    // that is no longer offered must not be saved with the new credentials. With the
    // stored credentials kept, the stored choice stays whatever a sign-in offered.
    TextField* field = parameterField();
    if (!changeCredentials() || !field || field->value().isEmpty()) {
        return;
    }
    for (const Choice& choice : choices()) {
        if (choice.id == field->value()) {
            return;
        }
    }
    field->setValue(QString());
}

ProviderSetupViewModel::~ProviderSetupViewModel() = default;

ValidationContainer ProviderSetupViewModel::follow(TextField& field) {
    ValidationContainer container = field.validation(m_manager);
    m_following.push_back(container.publisher().subscribe([](const Validation&) {}));
    return container;
}

void ProviderSetupViewModel::setChangeCredentials(bool value) {
    m_changeCredentials = value;
    credentialsModeChanged(value);
    emit changeCredentialsChanged(value);
    emit choicesChanged();
}

void ProviderSetupViewModel::checkFailed(const APIError& error) {
    m_failure = error;
    setBadCredentials(true);
}

void ProviderSetupViewModel::setBadCredentials(bool value) {
    if (!value) {
        m_failure.reset();
    }
    if (m_badCredentials == value) {
        return;
    }
    m_badCredentials = value;
    emit badCredentialsChanged(value);
}

void ProviderSetupViewModel::openInBrowser(const QUrl& address) {
    const bool opened = m_openBrowser ? m_openBrowser(address) : QDesktopServices::openUrl(address);
    const QUrl unopened = opened ? QUrl() : address;
    if (!opened) {
        logError(Logger::network(), QStringLiteral("No browser could be opened for the sign-in"));
    }
    if (unopened != m_unopenedAddress) {
        m_unopenedAddress = unopened;
        emit unopenedAddressChanged(m_unopenedAddress);
    }
}

void ProviderSetupViewModel::forgetUnopenedAddress() {
    if (!m_unopenedAddress.isEmpty()) {
        m_unopenedAddress.clear();
        emit unopenedAddressChanged(m_unopenedAddress);
    }
}

void ProviderSetupViewModel::setSaveError(const QString& message) {
    if (m_saveError == message) {
        return;
    }
    m_saveError = message;
    emit saveErrorChanged(message);
}

QString ProviderSetupViewModel::saveErrorMessage(const ProviderManagerError& error) {
    switch (error.kind) {
    case ProviderManagerError::Kind::Keyring:
        return QStringLiteral(
            "The credentials could not be stored in the keyring. Unlock the keyring and try again.");
    case ProviderManagerError::Kind::NotFound:
        return QStringLiteral("The account no longer exists.");
    case ProviderManagerError::Kind::Database:
        break;
    }
    return QStringLiteral("The account could not be stored. Try again.");
}

void ProviderSetupViewModel::track(Cancellable& slot, Cancellable subscription) {
    const bool wasRunning = slot.isActive();
    slot = std::move(subscription);
    if (!wasRunning) {
        setRunning(m_running + 1);
    }
}

void ProviderSetupViewModel::release(Cancellable& slot) {
    if (!slot.isActive()) {
        return;
    }
    // The request has delivered; letting go of it now cancels nothing.
    Cancellable done = std::move(slot);
    setRunning(m_running - 1);
}

void ProviderSetupViewModel::setRunning(int running) {
    const bool before = networkRequestInProgress();
    m_running = running;
    if (before != networkRequestInProgress()) {
        emit networkRequestInProgressChanged(networkRequestInProgress());
    }
}

void ProviderSetupViewModel::finishSave() {
    if (m_onSave) {
        // A copy: the action may end this model.
        Action action = m_onSave;
        action();
    }
}

} // namespace velmora
