#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

namespace velmora {

// Turns the termination signals (SIGTERM, SIGINT, SIGHUP) into a Qt signal on the
// main thread, so a killed app quits through its event loop and runs its clean-up.
// The signal handler only writes one byte to a pipe; everything else happens later.
// One watcher per process.
class UnixSignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit UnixSignalWatcher(std::initializer_list<int> watched, QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void received(int signal);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace velmora
