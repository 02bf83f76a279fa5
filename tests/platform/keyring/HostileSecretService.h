#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>

struct DBusConnection;
struct DBusMessage;

// A Secret Service of the tests' own, on a bus daemon of its own (the process's session bus
// while it lives): honest by default (encrypted sessions, items in memory), it misbehaves on
// command. A second peer on the same bus, not owning the service's name, can answer calls
// before the service does.
class HostileSecretService {
public:
    enum class Trick {
        None,
        SessionPathAsString, // the session path comes as a string
        SpoofNotSupported,   // another peer refuses the encrypted session first
        SpoofNoItems,        // another peer answers a search with nothing first
        ManyPaths,           // a search answers 100,000 paths
        HugeError,           // a search fails with a 50 MB error text
        LongError,           // or with one of 8 KiB
        ForgedLogLine,       // or with an error text of two lines
        OtherSession,        // a secret names a session the client never opened
        HugeSecret,          // a secret of 40 MiB
        LargeSecret,         // one of 6 MiB, more than any credentials
        KeyZero,             // the service's public key is 0, 1 or p - 1
        KeyOne,
        KeyPrimeMinusOne,
        FailedOnDh,         // the encrypted session refused with another error
        PlainOnly,          // the encrypted session refused as not supported
        LeadingZeroShared,  // the shared secret starts with a zero byte
        ShortIv,            // a secret's IV lacks its last byte
        Prompt,             // a change asks for a prompt
        StoreWithoutAnswer, // an item is stored, its answer never sent
    };

    HostileSecretService();
    ~HostileSecretService();
    HostileSecretService(const HostileSecretService&) = delete;
    HostileSecretService& operator=(const HostileSecretService&) = delete;

    bool ok() const { return m_ok; }
    void play(Trick trick) { m_trick = trick; }
    // An item holding `secret` whose "account" attribute is `account`.
    void hold(const QByteArray& account, const QByteArray& secret);
    QByteArray secretOf(const QByteArray& account);
    // The service goes and another takes its name: a new peer, knowing no session.
    void replace();
    // The service forgets its sessions, as one started again would.
    void forgetSessions();
    // The calls seen since the last look ("OpenSession plain", "SearchItems", ...).
    QStringList takeCalls();

private:
    void serve();
    bool takeName();
    // Each writes its answer into `reply`, or puts an error in its place; false when none
    // is to be sent.
    bool answer(DBusMessage* call, DBusMessage*& reply);
    void openSession(DBusMessage* call, DBusMessage*& reply);
    void getSecret(DBusMessage* call, DBusMessage*& reply);
    void spoof(DBusMessage* call);

    QProcess m_daemon;
    QByteArray m_address;
    QByteArray m_previousAddress;
    DBusConnection* m_service = nullptr;
    DBusConnection* m_spoofer = nullptr;
    std::atomic<Trick> m_trick{Trick::None};
    std::atomic<bool> m_replace{false};
    std::atomic<bool> m_stop{false};
    bool m_ok = false;
    std::mutex m_mutex;
    QStringList m_calls;
    QMap<QByteArray, QByteArray> m_items;    // account attribute -> secret
    QMap<QByteArray, QByteArray> m_sessions; // path -> AES key, empty for a plain one
    int m_sessionCount = 0;
    std::thread m_thread;
};
