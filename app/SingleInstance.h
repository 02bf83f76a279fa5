#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <deque>
#include <memory>

class QLocalServer;

namespace velmora {

// One running app per user. A start while the app runs hands its links to the running
// app over a local socket (named per user, reachable by that user only) and ends; the
// running app receives them as `linksReceived` and answers, so that the start knows its
// links arrived. A socket file left behind by an app that crashed does not keep the next
// one from starting.
//
// Whatever arrives on the socket is sized before it is kept: a message larger than
// `maxMessage` and one that takes longer than `messageTimeoutMs` are dropped unread. At
// most `maxConnections` peers may be sending at a time; a new one makes room by dropping
// the one waiting longest, so peers that connect and say nothing never keep a start out.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    struct Limits {
        qsizetype maxMessage = 64 * 1024;
        int messageTimeoutMs = 1000;
        int maxConnections = 8;
    };

    // "velmora-" + the user's id in the user's runtime folder, or without one in a
    // folder of the user's cache that only the user may enter (or what
    // VELMORA_INSTANCE_NAME names). Empty when there is no such folder: the socket is
    // never put where another user could make it first, so there is no hand-over.
    static QString defaultName();

    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    const QString& name() const { return m_name; }

    // Tests shorten the limits.
    void setLimits(const Limits& limits) { m_limits = limits; }

    enum class HandOver {
        // The running app has the links: it said so.
        Delivered,
        // No app listens (no socket, or one a crashed app left): this one is the first.
        NoRunningApp,
        // An app listens but did not say it has the links within the time. They may still
        // reach it: an app that was frozen (stopped, swapping, busy) takes what was sent
        // once it resumes, so this is "not confirmed", never "not handed over".
        NotConfirmed,
        // The running app is quitting (waiting for the disk): it took nothing, and this start
        // cannot be the app until it has gone.
        Quitting,
    };
    // The status a start ends with when its hand-over was not confirmed: neither success
    // (0) nor the failure of a start (1).
    static constexpr int notConfirmedExitCode = 2;
    // The status of a start that found the app quitting.
    static constexpr int quittingExitCode = 3;
    // Gives `links` to the running app.
    HandOver handOver(const QStringList& links, int timeoutMs = 3000);

    // Becomes the app the next starts hand over to; false when the socket cannot be made.
    bool listen();
    // From now on a later start hears that this app is quitting, and its links are not taken.
    // The socket stays this app's until it has gone, so no second app starts on its files.
    void setQuitting() { m_quitting = true; }
    bool isListening() const;

    // The command-line arguments that are links (after the program's name).
    static QStringList linksIn(const QStringList& arguments);

signals:
    // A later start's links (possibly none: the user started the app again).
    void linksReceived(const QStringList& links);

private:
    struct Peer;
    // What the running app answers a whole message with; as long, what a quitting one
    // answers.
    static const QByteArray& acknowledgement();
    static const QByteArray& quittingAnswer();
    static void drop(Peer& peer);
    void accept();
    void read(Peer& peer);

    QString m_name;
    Limits m_limits;
    QLocalServer* m_server = nullptr;
    bool m_quitting = false;
    // The connections still sending, the longest waiting first.
    std::deque<std::shared_ptr<Peer>> m_peers;
};

} // namespace velmora
