#include "images/core/DeviceHelper.h"

#include <QFile>

#include <unistd.h>

namespace velmora::images {

namespace {
QByteArray readMemInfo() {
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // A file of the proc file system reports no size: read until its end.
    return file.readAll();
}
} // namespace

quint64 DeviceHelper::memInfoValue(const QByteArray& memInfo, const QByteArray& key) {
    for (const QByteArray& line : memInfo.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).trimmed() != key) {
            continue;
        }
        const QList<QByteArray> parts = line.mid(colon + 1).simplified().split(' ');
        bool ok = false;
        const quint64 value = parts.value(0).toULongLong(&ok);
        if (!ok) {
            return 0;
        }
        const QByteArray unit = parts.value(1).toLower();
        if (unit == "kb") {
            return value * 1024u;
        }
        return unit.isEmpty() ? value : 0;
    }
    return 0;
}

quint64 DeviceHelper::totalMemory() {
    if (const quint64 total = memInfoValue(readMemInfo(), "MemTotal")) {
        return total;
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return (pages > 0 && pageSize > 0) ? quint64(pages) * quint64(pageSize) : 0;
}

quint64 DeviceHelper::freeMemory() {
    return memInfoValue(readMemInfo(), "MemFree");
}

} // namespace velmora::images
