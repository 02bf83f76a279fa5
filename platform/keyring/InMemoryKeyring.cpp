#include "platform/keyring/InMemoryKeyring.h"

namespace velmora {

Result<std::optional<QByteArray>, KeyringError> InMemoryKeyring::load(const QString& account) {
    using R = Result<std::optional<QByteArray>, KeyringError>;
    std::lock_guard lock(m_mutex);
    if (m_failure) {
        return R::failure(*m_failure);
    }
    const auto it = m_items.constFind(account);
    if (it == m_items.constEnd()) {
        return R::success(std::nullopt);
    }
    return R::success(it->secret);
}

Result<Void, KeyringError> InMemoryKeyring::store(const QString& account, const QString& kind,
                                                  const QByteArray& secret) {
    std::lock_guard lock(m_mutex);
    ++m_storeCalls;
    if (m_failure) {
        return Result<Void, KeyringError>::failure(*m_failure);
    }
    m_items.insert(account, Item{kind, secret});
    return Result<Void, KeyringError>::success(Void{});
}

Result<bool, KeyringError> InMemoryKeyring::remove(const QString& account) {
    std::lock_guard lock(m_mutex);
    ++m_removeCalls;
    if (m_failure) {
        return Result<bool, KeyringError>::failure(*m_failure);
    }
    return Result<bool, KeyringError>::success(m_items.remove(account) > 0);
}

void InMemoryKeyring::failWith(KeyringError error) {
    std::lock_guard lock(m_mutex);
    m_failure = std::move(error);
}

void InMemoryKeyring::clearFailure() {
    std::lock_guard lock(m_mutex);
    m_failure.reset();
}

bool InMemoryKeyring::contains(const QString& account) const {
    std::lock_guard lock(m_mutex);
    return m_items.contains(account);
}

QString InMemoryKeyring::kindOf(const QString& account) const {
    std::lock_guard lock(m_mutex);
    return m_items.value(account).kind;
}

QByteArray InMemoryKeyring::secretOf(const QString& account) const {
    std::lock_guard lock(m_mutex);
    return m_items.value(account).secret;
}

int InMemoryKeyring::itemCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_items.size());
}

int InMemoryKeyring::storeCalls() const {
    std::lock_guard lock(m_mutex);
    return m_storeCalls;
}

int InMemoryKeyring::removeCalls() const {
    std::lock_guard lock(m_mutex);
    return m_removeCalls;
}

} // namespace velmora
