#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

namespace velmora {

// One running app per user. A start while the app runs hands its links to the running
// app over a local socket (named per user, reachable by that user only) and ends; the
// running app receives them as `linksReceived`. A socket file left behind by an app
// that crashed does not keep the next one from starting.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // "velmora-" + the user's id in the user's runtime folder (or what
    // VELMORA_INSTANCE_NAME names).
    static QString defaultName();

    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    const QString& name() const { return m_name; }

    // Gives `links` to the running app; false when no app answers (this one is then
    // the first).
    bool handOver(const QStringList& links, int timeoutMs = 3000);

    // Becomes the app the next starts hand over to; false when the socket cannot be made.
    bool listen();
    bool isListening() const;

    // The command-line arguments that are links (after the program's name).
    static QStringList linksIn(const QStringList& arguments);

signals:
    // A later start's links (possibly none: the user started the app again).
    void linksReceived(const QStringList& links);

private:
    void accept();

    QString m_name;
    QLocalServer* m_server = nullptr;
};

} // namespace velmora
