#pragma once

#include "core/storage/SnapshotManager.h"

#include <QCoreApplication>
#include <QString>

class QDialog;
class QMessageBox;
class QWidget;

namespace velmora {

// What the app tells the user of its own stored state that went wrong: the snapshot file
// that could not be read at start (and what it held that could be read), and a change of
// the bookings' records that could not be written. Texts are plain text.
class StoredStateAlerts {
    Q_DECLARE_TR_FUNCTIONS(StoredStateAlerts)

public:
    static inline const QString damagedTitle = QStringLiteral("Velmora's saved timers couldn't be read");
    static inline const QString notWrittenTitle = QStringLiteral("Velmora couldn't save a booking's note");

    // What the damaged file was, where it is kept, what the app went on with, and the timers
    // and bookings that could still be read of it.
    static QString damagedText(const SnapshotManager::LoadProblem& problem);
    static QMessageBox* damaged(const SnapshotManager::LoadProblem& problem, QWidget* parent);
    static inline const QString diskWaitTitle = QStringLiteral("Velmora is saving");
    // Shown (not modal, with no parent) while the app waits for its timers and bookings to
    // reach the disk, before it quits (`quitting`) or as the session ends.
    static QDialog* waitingForTheDisk(bool quitting);
    // `reason`: why the write failed. Nothing of the change happened.
    static QMessageBox* notWritten(const QString& reason, QWidget* parent);
};

} // namespace velmora
