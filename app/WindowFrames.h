#pragma once

#include <QString>
#include <QVariant>

namespace velmora {

// Where the shell's windows keep their frames: under the window's name in the settings file
// (or in `file`, a test's). A settings file is synced on the thread that writes it, so a quit
// holds the frames of the windows it closes until the app has nothing else to wait for:
// while it waits for the disk, its note and its answers to a later start do not wait behind
// a frame.
class WindowFrames {
public:
    static QVariant read(const QString& file, const QString& name);
    // Writes `frame` unless it is what is kept already (an unchanged frame costs no write);
    // while frames are held, keeps it for `release`.
    static void write(const QString& file, const QString& name, const QVariant& frame);

    // From now on frames wait; then `release` writes what waited. For the quit.
    static void hold();
    static void release();
};

} // namespace velmora
