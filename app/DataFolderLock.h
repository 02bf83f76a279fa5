#pragma once

#include <QString>

namespace velmora {

// One writer per data folder. Each app writes its whole view of the folder's files, so two
// apps over one folder (a second session of the same user: `su -`, a remote shell, each with
// its own runtime folder and so its own single-instance socket) would undo each other's
// writes. The app that holds the lock on "velmora.lock" in the folder (flock) is its writer,
// and keeps its socket's name in that file: a later start over the folder hands over to it,
// or refuses to start. The lock goes with the process (a crash frees it); the file stays.
class DataFolderLock {
public:
    explicit DataFolderLock(QString folder);
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    enum class Outcome {
        // This process writes the folder from now on.
        taken,
        // Another process does: holder() names its socket (empty when it wrote none yet).
        heldByAnother,
        // The lock file cannot be made (a folder that cannot be written): no lock is kept.
        unavailable,
    };
    // Takes the lock and notes `socketName` (this app's single-instance socket) in the file.
    Outcome take(const QString& socketName);
    const QString& holder() const { return m_holder; }

private:
    QString m_path;
    int m_fd = -1;
    QString m_holder;
};

} // namespace velmora
