#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <initializer_list>

namespace velmora {

// Turns the termination signals (SIGTERM, SIGINT, SIGHUP) into a Qt signal on the main
// thread, so a killed app quits through its event loop and runs its clean-up.
//
// The signal handler only writes one byte to a pipe. A thread of the watcher's own reads it
// and hands the signal to the main thread; should the main thread not take it within
// `takenWithin` (its event loop not running yet, or blocked: a font that never opens), that
// thread does what can be done without the main thread (`setLastResort`) and then ends the
// process as the signal would have. A signal that comes while there is no watcher object
// ends the process so as well, at once.
class UnixSignalWatcher : public QObject {
    Q_OBJECT

public:
    // Longer than any wait the main thread is allowed (the keyring's 5 s).
    static constexpr std::chrono::seconds takenWithin{6};

    // Handles `watched` from now on: the first thing a process does, before anything can
    // block its main thread.
    static void install(std::initializer_list<int> watched);
    // What a signal the main thread does not take does before the process ends (save what
    // can be saved); called on the watcher's thread.
    static void setLastResort(std::function<void()> lastResort);

    // Installs `watched` too, and receives every signal while it lives. One at a time.
    explicit UnixSignalWatcher(std::initializer_list<int> watched, QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

    // The last signal this watcher received (0: none), for a start that must still act on a
    // signal that came before anything listened to `received`.
    int lastReceived() const { return m_lastReceived; }

signals:
    void received(int signal);

private:
    int m_lastReceived = 0;
};

} // namespace velmora
