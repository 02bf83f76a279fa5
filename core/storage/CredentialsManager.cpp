#include "core/storage/CredentialsManager.h"

#include "core/model/AppIdentity.h"
#include "core/model/Logger.h"
#include "platform/keyring/SecretServiceKeyring.h"

#include <mutex>

namespace velmora {

namespace {

std::mutex sharedMutex;
std::unique_ptr<CredentialsManager> sharedInstance;

void logKeychain(const QString& text) {
    logError(Logger::keychain(), QStringLiteral("[CredentialsManager] ") + text);
}

} // namespace

CredentialsManager::CredentialsManager(std::shared_ptr<Keyring> keyring) : m_keyring(std::move(keyring)) {}

CredentialsManager& CredentialsManager::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedInstance) {
        sharedInstance = std::make_unique<CredentialsManager>(
            std::make_shared<SecretServiceKeyring>(QString::fromLatin1(bundleIdentifier)));
    }
    return *sharedInstance;
}

void CredentialsManager::setSharedKeyring(std::shared_ptr<Keyring> keyring) {
    std::lock_guard lock(sharedMutex);
    sharedInstance = std::make_unique<CredentialsManager>(std::move(keyring));
}

Result<std::optional<QByteArray>, KeyringError> CredentialsManager::loadData(const QString& key) {
    auto result = m_keyring->load(key);
    if (!result.ok()) {
        logKeychain(QStringLiteral("Error while loading %1: %2").arg(key, result.error().description()));
    } else if (!result.value()) {
        logKeychain(QStringLiteral("Error while loading %1: no item").arg(key));
    }
    return result;
}

Result<Void, KeyringError> CredentialsManager::store(const QByteArray& data, const QString& key,
                                                     const QString& identifier) {
    auto result = m_keyring->store(key, identifier, data);
    if (!result.ok()) {
        logKeychain(QStringLiteral("Error while storing %1: %2").arg(key, result.error().description()));
    }
    return result;
}

Result<Void, KeyringError> CredentialsManager::remove(const QString& key) {
    auto result = m_keyring->remove(key);
    if (!result.ok()) {
        logKeychain(QStringLiteral("Error while removing %1: %2").arg(key, result.error().description()));
        return Result<Void, KeyringError>::failure(result.error());
    }
    return Result<Void, KeyringError>::success(Void{});
}

} // namespace velmora
