#pragma once

#include "platform/keyring/Keyring.h"

#include <chrono>
#include <memory>
#include <mutex>

namespace velmora {

// The user's keyring over the Secret Service. Each account has one item in the default
// collection (or the one given), with the attributes "account" (prefix + "." + account) and
// "service" (prefix + "." + kind); the secret is only in the item's value.
//
// A keyring daemon that hangs (or waits for a prompt no one sees) must not hang the caller.
// So every call runs on a worker thread of this object, over a bus connection of its own,
// and the caller waits at most `timeout`; a call that takes longer is cancelled and
// reported as `TimedOut`. Calls never unlock anything or prompt: a locked keyring is
// reported as `Locked`.
class SecretServiceKeyring : public Keyring {
public:
    // `collection` is the collection new items go to: an alias ("default") or a D-Bus
    // object path.
    explicit SecretServiceKeyring(QString prefix, std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                  QString collection = QStringLiteral("default"));
    ~SecretServiceKeyring() override;

    Result<std::optional<QByteArray>, KeyringError> load(const QString& account) override;
    Result<Void, KeyringError> store(const QString& account, const QString& kind,
                                     const QByteArray& secret) override;
    Result<bool, KeyringError> remove(const QString& account) override;
    // Opens the connection to the Secret Service and its session on the worker, which keeps
    // both for its later calls: opening them (a bus connection and a key exchange)
    // is most of what a first call costs. Reading an item costs a few round trips more,
    // which the app's start spends connecting to the display instead of waiting. What is
    // done ahead holds the worker no longer than `timeout`, and is cancelled as soon as it
    // is set aside (another account's load, a change, `forgetAhead`).
    void connectAhead(const QString& account = {}) override;
    void forgetAhead() override;

    QString prefix() const { return m_prefix; }

    class Worker;
    struct ReadAhead;

private:
    // What was read ahead, until a call takes it or sets it aside.
    std::shared_ptr<ReadAhead> takeReadAhead();

    const QString m_prefix;
    const QString m_collection;
    const std::chrono::milliseconds m_timeout;
    std::shared_ptr<Worker> m_worker;
    std::mutex m_readAheadMutex;
    std::shared_ptr<ReadAhead> m_readAhead;
};

} // namespace velmora
