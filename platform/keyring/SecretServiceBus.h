#pragma once

#include "platform/async/Result.h"
#include "platform/keyring/KeyringError.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

struct DBusConnection;
struct DBusMessage;
struct DBusMessageIter;

namespace velmora {

// Tells a keyring call that its caller gave up on it: the call stops at its next look.
struct KeyringCancel {
    std::atomic<bool> cancelled{false};
};

// The Secret Service on the session bus, spoken over a private connection of our own that
// only the thread using it ever touches, so every wait is bounded by the caller's deadline
// and ends as soon as the caller gives up: connecting, signing in to the bus, and each
// call. The secrets travel encrypted (the service's Diffie-Hellman session with AES, where
// it offers one; in the clear only where it offers nothing else).
class SecretServiceBus {
public:
    using Clock = std::chrono::steady_clock;

    // A call's time and its caller's word.
    struct Wait {
        Clock::time_point deadline;
        const KeyringCancel* cancel = nullptr;
    };

    // A connection with its session; `Unavailable` when there is no bus or no Secret Service.
    static Result<std::unique_ptr<SecretServiceBus>, KeyringError> open(const Wait& wait);
    ~SecretServiceBus();
    SecretServiceBus(const SecretServiceBus&) = delete;
    SecretServiceBus& operator=(const SecretServiceBus&) = delete;

    // Still good for another call: a connection that was cut, or left mid-call (a wait that
    // ended), is not, and is opened afresh.
    bool usable() const;
    // The session went with the service (started again or replaced) or with the connection:
    // one opened afresh may well serve the call that met this.
    bool lost() const { return m_lost || m_ownerChanged; }

    struct Found {
        QList<QByteArray> unlocked;
        QList<QByteArray> locked;
    };
    Result<Found, KeyringError> searchItems(const QMap<QByteArray, QByteArray>& attributes, const Wait& wait);
    // The object path of a collection alias ("default"); "/" when it names none.
    Result<QByteArray, KeyringError> readAlias(const QByteArray& alias, const Wait& wait);
    Result<QVariant, KeyringError> property(const QByteArray& path, const char* interface, const char* name,
                                            const Wait& wait);
    Result<QByteArray, KeyringError> secretOf(const QByteArray& item, const Wait& wait);
    // Creates the item, or replaces the one with the same attributes in place.
    Result<Void, KeyringError> createItem(const QByteArray& collection, const QByteArray& label,
                                          const QMap<QByteArray, QByteArray>& attributes, const QByteArray& secret,
                                          const Wait& wait);
    Result<Void, KeyringError> deleteItem(const QByteArray& item, const Wait& wait);

    // The name of the error the last call met (empty when it met none).
    const QByteArray& lastError() const { return m_lastError; }

    // The kind an error of the bus or the service stands for.
    static KeyringError::Kind kindOfError(const QByteArray& name);
    // A path the bus takes: libdbus ends the program on one it does not.
    static bool isObjectPath(const QByteArray& path);

    // The most a secret is, either way (credentials are a few kilobytes; libdbus ends the
    // program on an array over 64 MiB).
    static constexpr qsizetype maxSecret = 4 << 20;
    // The most a text or a path of an answer is.
    static constexpr qsizetype maxText = 4096;
    // The most items a search may find: an account has one.
    static constexpr int maxPaths = 4096;
    // The largest message taken in at all (room for the largest secret): libdbus cuts the
    // connection on a larger one once it has read its header.
    static constexpr long maxMessage = 2 * maxSecret;

private:
    SecretServiceBus() = default;
    // Lets go of a message, sent or received, wiping what secrets it held first.
    struct ReplyUnref {
        void operator()(DBusMessage* message) const;
    };
    using Reply = std::unique_ptr<DBusMessage, ReplyUnref>;
    // Writes a call's arguments; false for one the bus would not take.
    using Arguments = std::function<bool(DBusMessageIter*)>;
    // Sends `message` (taking it) and waits for its answer; the answer, or why none came.
    Result<Reply, KeyringError> call(DBusMessage* message, const Wait& wait, const char* what);
    // Asks `method` of the service's object at `path` (a path the bus does not take is
    // refused here), with what `arguments` writes.
    Result<Reply, KeyringError> request(const QByteArray& path, const char* interface, const char* method,
                                        const Arguments& arguments, const Wait& wait, const char* what);
    // The same, of the peer `destination`.
    Result<Reply, KeyringError> request(const QByteArray& destination, const QByteArray& path,
                                        const char* interface, const char* method, const Arguments& arguments,
                                        const Wait& wait, const char* what);
    // Signs in to the bus and learns who owns the service's name (starting it where the bus
    // knows how), following every change of owner from then on.
    Result<Void, KeyringError> signIn(const Wait& wait);
    // Whether `message` is the bus telling of a change of the service's owner (noted).
    bool followedOwner(DBusMessage* message);
    Result<Void, KeyringError> openSession(const Wait& wait);
    // The outcome of a call whose answer holds a prompt as its argument `promptAt`: a prompt
    // the service asks for is dismissed and reported as `Locked`, since nobody may be there
    // to answer it.
    Result<Void, KeyringError> finishedWithoutPrompt(Result<Reply, KeyringError> answer, int promptAt,
                                                     const Wait& wait);
    QByteArray encrypt(const QByteArray& plain, QByteArray* parameters) const;
    std::optional<QByteArray> decrypt(const QByteArray& encrypted, const QByteArray& parameters) const;

    DBusConnection* m_connection = nullptr;
    bool m_broken = false;
    // The name of the error the last call met, if any.
    QByteArray m_lastError;
    // Whether that error came from the service itself (not from the bus).
    bool m_lastErrorFromService = false;
    // The unique name of the peer that owns the service's name.
    QByteArray m_owner;
    // Another peer has the name now, or none does.
    bool m_ownerChanged = false;
    // The session is gone with the service or the connection: opened again, a call may
    // succeed.
    bool m_lost = false;
    QByteArray m_session;
    // Empty for a session in the clear.
    QByteArray m_key;
};

} // namespace velmora
