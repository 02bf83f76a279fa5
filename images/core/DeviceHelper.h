#pragma once

#include <QString>
#include <QtGlobal>

namespace velmora::images {

// The machine's memory figures, read from /proc/meminfo.
class DeviceHelper {
public:
    DeviceHelper() = delete;

    // Physical memory in bytes.
    static quint64 totalMemory();
    // Free memory in bytes; 0 when it cannot be read.
    static quint64 freeMemory();

    // One figure of a meminfo text ("MemTotal", "MemFree", ...) in bytes; 0 when absent.
    static quint64 memInfoValue(const QByteArray& memInfo, const QByteArray& key);
};

} // namespace velmora::images
