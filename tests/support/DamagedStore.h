#pragma once

#include "platform/store/ProviderStore.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QUuid>

namespace velmora::test {

// Leaves the account store file at `path` as a failing disk does: first enough bulky
// rows that the file spans many pages, then random bytes over a tenth of it from its
// middle. Rows stored before stay in the file (the first pages are untouched), yet the
// whole list can no longer be read. No store may have the file open. False when the
// file could not be prepared.
inline bool damageAccountStore(const QString& path) {
    {
        ProviderStore store(path);
        const auto filled = store.transaction([&] {
            for (int i = 0; i < 300; ++i) {
                ProviderEntity row;
                row.id = QUuid::createUuid();
                row.name = QStringLiteral("Filler %1").arg(i, 3, 10, QChar('0'));
                row.parametersValue = QString(1000, QChar('a' + i % 26));
                row.stateValue = QStringLiteral("operational");
                row.typeValue = QStringLiteral("YouTrack");
                if (!store.insertProvider(row).ok()) {
                    return false;
                }
            }
            return true;
        });
        if (!filled.ok() || !filled.value()) {
            return false;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || file.size() < 200 * 1024) {
        return false;
    }
    const qint64 size = file.size();
    QByteArray garbage(static_cast<qsizetype>(size / 10), '\0');
    quint32 seed = 12345;
    for (auto& byte : garbage) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 24);
    }
    return file.seek(size / 2) && file.write(garbage) == garbage.size();
}

} // namespace velmora::test
