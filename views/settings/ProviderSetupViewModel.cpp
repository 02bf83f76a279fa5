#include "views/settings/ProviderSetupViewModel.h"

#include "views/settings/ProviderNameValidation.h"

namespace velmora {

ProviderSetupViewModel::ProviderSetupViewModel(ProviderType type, const QString& name, Action onSave,
                                               QObject* parent)
    : QObject(parent), m_type(type), m_manager(FormManager::ValidationType::immediate),
      m_name(ProviderNameValidation::make(name)), m_onSave(std::move(onSave)) {
    m_nameValidation = follow(*m_name);
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

void ProviderSetupViewModel::setBadCredentials(bool value) {
    if (m_badCredentials == value) {
        return;
    }
    m_badCredentials = value;
    emit badCredentialsChanged(value);
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
